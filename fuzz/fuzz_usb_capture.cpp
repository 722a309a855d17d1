// Arbitrary bytes as the events of a USB capture: byte 0 picks the link type (189 or 220), then
// each event is a 2-byte length followed by that many bytes (cut at the input's end). The events
// are sorted by device; a device that can be replayed then answers a few control requests and
// bulk reads into small buffers, and every answer must stay inside them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/virtual/usb_capture_replay.h"
#include "replay_checks.h"

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
    vexo::fuzz::checkReplay(std::move(device));
    return 0;
}
