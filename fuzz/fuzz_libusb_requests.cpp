// The parsers of outside bytes the libusb backend uses: the request decoders over arbitrary record
// bytes and buffer sizes, the VEXO_USB_IDS text and device paths. Each buffer is exactly as
// long as the decoder is told, so AddressSanitizer catches any step outside it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver_wire.h"
#include "driver/libusb/device_path.h"
#include "driver/libusb/usb_ids.h"

using namespace vexo::driver;
using namespace vexo::driver::lusb;

namespace {

// Checks that a decoded pointer range lies inside one of the two buffers.
void requireInside(const uint8_t* p, uint32_t n, const std::vector<uint8_t>& a,
                   const std::vector<uint8_t>& b) {
    if (!p || n == 0) return;
    auto inside = [&](const std::vector<uint8_t>& v) {
        return !v.empty() && p >= v.data() && p + n <= v.data() + v.size();
    };
    if (!inside(a) && !inside(b)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t selector = data[0];
    const uint32_t outLength = data[1] | (uint32_t(data[2]) << 8);
    std::vector<uint8_t> in(data + 3, data + size);
    std::vector<uint8_t> out(outLength, 0);
    uint8_t* inPtr = in.empty() ? nullptr : in.data();
    uint8_t* outPtr = out.empty() ? nullptr : out.data();
    const auto inLength = static_cast<uint32_t>(in.size());

    switch (selector % 6) {
        case 0: {
            auto d = decodeControlRequest(inPtr, inLength, outPtr, outLength);
            if (d.request) {
                requireInside(d.request->data, d.request->capacity, in, out);
                requireInside(d.request->statusHeader, kTransferRecordSize, in, out);
                writeStatusWords(d.request->statusHeader, 1, 2);
            }
            break;
        }
        case 1: {
            auto d = decodeBufferedRequest(inPtr, inLength, outPtr, outLength);
            if (d.request) {
                requireInside(d.request->data, d.request->length, in, out);
                requireInside(d.request->statusHeader, kTransferRecordSize, in, out);
            }
            break;
        }
        case 2: {
            auto d = decodeDirectRequest(inPtr, inLength, outPtr, outLength);
            if (d.request) {
                requireInside(d.request->data, d.request->length, in, out);
                requireInside(d.request->statusHeader, kTransferRecordSize, in, out);
            }
            break;
        }
        case 3:
            decodeTransferSize(inPtr, inLength);
            decodeAbortPipe(inPtr, inLength);
            if (outPtr) {
                std::string text(in.begin(), in.end());
                writeNameReply(outPtr, outLength, text.c_str());
            }
            break;
        case 4: {
            std::vector<UsbId> ids;
            std::vector<std::string> errors;
            parseUsbIds(std::string_view(reinterpret_cast<const char*>(in.data()), in.size()), ids,
                        errors);
            break;
        }
        default: {
            std::string_view path(reinterpret_cast<const char*>(in.data()), in.size());
            if (auto location = parseDevicePath(path)) {
                // A path that parses names the same device when made again.
                auto again = parseDevicePath(makeDevicePath(*location));
                if (!again || !(*again == *location)) __builtin_trap();
            }
            break;
        }
    }
    return 0;
}
