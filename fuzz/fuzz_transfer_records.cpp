// Arbitrary request bytes to a virtual device: a request code, input and output lengths and
// the record bytes. Buffers are allocated to their exact lengths so that the sanitizers catch
// any access outside them; closing the handle each round ends whatever is still in flight
// before the buffers go.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/driver_service.h"
#include "driver/virtual/virtual_bus.h"

using namespace vexo::driver;
using namespace vexo::driver::virt;

namespace {

class FuzzModel : public DeviceModel {
  public:
    ControlResult control(const SetupPacket& s, uint8_t* data) override {
        if (s.bRequest & 1) return ControlResult::stall();
        if (s.isIn())
            for (uint32_t i = 0; i < s.wLength; ++i) data[i] = uint8_t(i);
        return ControlResult::ack(s.wValue);  // may claim more than wLength
    }
    BulkResult bulkIn(uint8_t, uint8_t* data, uint32_t capacity) override {
        // Never for ever: a synchronous read must come back.
        if (++reads_ % 3 == 0)
            return BulkResult::waitUntil(Clock::now() + std::chrono::milliseconds(1));
        if (reads_ % 5 == 0) return BulkResult::fail();
        std::memset(data, 0xAB, capacity);      // data is never null, even for 0 bytes
        return BulkResult::done(capacity + 7);  // more than asked: the backend must cut it
    }

  private:
    unsigned reads_ = 0;
};

std::vector<uint8_t> device() {
    return {18, 1, 0, 3, 0, 0, 0, 9, 0xCB, 0x52, 0xF1, 0x03, 0, 1, 1, 2, 3, 1};
}

std::vector<uint8_t> configuration() {
    return {9, 2, 39,   0, 1, 1,    0, 0x80, 0x32,  //
            9, 4, 0,    0, 3, 0xFF, 0, 0,    0,     //
            7, 5, 0x81, 2, 0, 4,    0,              // bulk IN
            7, 5, 0x01, 2, 0, 4,    0,              // bulk OUT
            7, 5, 0x82, 1, 0, 4,    1};             // isochronous IN
}

const std::string& path() {
    static const std::string p = [] {
        VirtualDeviceDescription description;
        description.descriptors.device = device();
        description.descriptors.configurations = {configuration()};
        description.descriptors.bos = {5, 15, 5, 0, 0};
        description.descriptors.languages = {0x0409};
        description.descriptors.strings = {{1, u"Fuzz"}};
        description.model = std::make_shared<FuzzModel>();
        return devicePath(addDevice(std::move(description)));
    }();
    return p;
}

constexpr uint32_t kCodes[] = {0x220000, 0x220004, 0x220008, 0x220010, 0x220020, 0x220024, 0x220038,
                               0x22003C, 0x220040, 0x220044, 0x22004B, 0x22004C, 0x220099};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint32_t code = kCodes[data[0] % (sizeof kCodes / sizeof kCodes[0])];
    const bool overlapped = data[0] & 0x80;
    const bool sameBuffer = data[0] & 0x40;
    const uint32_t inLength = data[1] | (uint32_t(data[2] & 0x0F) << 8);
    const uint32_t outLength = data[3] | (uint32_t(data[4] & 0x0F) << 8);
    data += 5;
    size -= 5;

    std::unique_ptr<uint8_t[]> in(new uint8_t[inLength ? inLength : 1]);
    for (uint32_t i = 0; i < inLength; ++i) in[i] = i < size ? data[i] : 0;
    std::unique_ptr<uint8_t[]> out(new uint8_t[outLength ? outLength : 1]);
    uint8_t* outBuffer = sameBuffer ? in.get() : out.get();
    const uint32_t outLen = sameBuffer ? inLength : outLength;

    const Handle handle = createFile(path().c_str());
    if (handle == kInvalidHandle) return 0;
    Overlapped ov;
    ov.event = createEvent();
    uint32_t bytes = 0;
    deviceIoControl(handle, code, inLength ? in.get() : nullptr, inLength,
                    outLen ? outBuffer : nullptr, outLen, &bytes, overlapped ? &ov : nullptr);
    if (overlapped) waitForEvent(ov.event, 0);
    closeHandle(handle);  // cancels what is still in flight
    if (overlapped) getOverlappedResult(kInvalidHandle, &ov, &bytes, true);
    closeEvent(ov.event);
    return 0;
}
