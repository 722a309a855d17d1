// Arbitrary bytes as configuration and BOS blocks. The first byte picks the parse; the parse
// must end, stay inside the block, and either build objects or raise DescriptorError.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "usb/device_error.h"
#include "usb/driver_bos.h"
#include "usb/driver_config.h"

using namespace vexo::usb;

namespace {

// Reads every field the parse produced, so that a bad object shows under the sanitizers.
unsigned touch(const DriverConfig& c) {
    unsigned sum = c.altInterfaceCount + c.wTotalLength;
    for (const auto& i : c.interfaces) {
        if (!i) continue;
        sum += i->spanLength + i->altSettingCount + i->bNumEndpoints;
        for (const UsbEndpoint* e : i->endpoints)
            if (e) sum += e->maxPacketSize + e->packetsPerFrame + e->address + e->bytesPerInterval;
    }
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    // An exact-size copy, so that any read past the block is caught.
    std::vector<uint8_t> block(data + 1, data + size);
    volatile unsigned sink = 0;
    try {
        switch (mode % 3) {
            case 0:
            case 1: {
                DriverConfig config(vexo::driver::kInvalidHandle, block, mode % 3 == 0);
                sink = touch(config);
                break;
            }
            default: {
                DriverBos bos(block);
                sink = bos.bNumDeviceCaps + (bos.superSpeed ? bos.superSpeed->wU2DevExitLat : 0) +
                       (bos.usb20Extension ? bos.usb20Extension->bmAttributes : 0) +
                       (bos.containerId ? bos.containerId->containerId[15] : 0);
                break;
            }
        }
    } catch (const DescriptorError&) {
    }
    (void)sink;
    return 0;
}
