// Arbitrary bytes as the events of a USB capture: byte 0 picks the link type (189 or 220), then
// each event is a 2-byte length followed by that many bytes (cut at the input's end). The events
// are sorted by device; a device that can be replayed then answers a few control requests and
// bulk reads into small buffers, and every answer must stay inside them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "driver/virtual/usb_capture_replay.h"

using namespace vexo::driver;
using namespace vexo::driver::virt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int link = (data[0] & 1) ? 220 : 189;
    UsbmonEvents events;
    size_t at = 1;
    while (at + 2 <= size) {
        const size_t n = data[at] | (size_t(data[at + 1]) << 8);
        at += 2;
        const size_t take = n < size - at ? n : size - at;
        // A copy of exactly the event's bytes, so that a read past them is caught.
        std::vector<uint8_t> event(data + at, data + at + take);
        events.add(link, event.data(), event.size());
        at += take;
    }
    CapturedDevice device;
    std::string error;
    if (!events.device(std::nullopt, device, error)) return 0;
    std::vector<SetupPacket> setups;
    for (const auto& e : device.control) setups.push_back(e.setup);
    std::vector<uint8_t> endpoints;
    for (const auto& [endpoint, reads] : device.reads) endpoints.push_back(endpoint);
    VirtualDeviceDescription description;
    if (!replayDevice(std::move(device), "fuzz", description, error)) return 0;
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
    return 0;
}
