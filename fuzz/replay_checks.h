// What every capture fuzzer asks of a device it managed to read: replayed, its captured control
// requests asked again and its bulk endpoints read into small buffers, every answer inside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/virtual/usb_capture_replay.h"

namespace vexo::fuzz {

/// Replays @device and traps when an answer runs past the buffer it was given.
inline void checkReplay(vexo::driver::virt::CapturedDevice&& device) {
    using namespace vexo::driver;
    using namespace vexo::driver::virt;
    std::vector<SetupPacket> setups;
    for (const auto& e : device.control) setups.push_back(e.setup);
    std::vector<uint8_t> endpoints;
    for (const auto& [endpoint, reads] : device.reads) endpoints.push_back(endpoint);
    VirtualDeviceDescription description;
    std::string error;
    if (!replayDevice(std::move(device), "fuzz", description, error)) return;
    for (size_t i = 0; i < setups.size() && i < 16; ++i) {
        std::vector<uint8_t> reply(setups[i].wLength);
        const ControlResult r = description.model->control(setups[i], reply.data());
        if (r.ok && r.length > setups[i].wLength) __builtin_trap();
    }
    for (uint8_t endpoint : endpoints) {
        for (uint32_t capacity : {0u, 1u, 7u, 512u}) {
            std::vector<uint8_t> buffer(capacity);
            const BulkResult r = description.model->bulkIn(endpoint, buffer.data(), capacity);
            if (r.kind == BulkResult::Kind::Done && r.length > capacity) __builtin_trap();
        }
    }
}

}  // namespace vexo::fuzz
