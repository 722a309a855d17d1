// Building the BOS object and its capability records.
#include "usb/driver_bos.h"

#include <algorithm>
#include <cstring>

#include "usb/descriptor_bytes.h"
#include "usb/device_error.h"

namespace vexo::usb {

DriverBos::DriverBos(std::span<const uint8_t> block) {
    if (block.size() < 5) throw DescriptorError("BOS shorter than its header");
    const uint8_t* b = block.data();
    bLength = b[0];
    bDescriptorType = b[1];
    wTotalLength = le16(b + 2);
    bNumDeviceCaps = b[4];
    if (bLength < 5) throw DescriptorError("BOS header malformed");
    int remainder = int(wTotalLength) - bLength;
    if (remainder < 0 || bNumDeviceCaps == 0) return;

    const size_t end = std::min<size_t>(wTotalLength, block.size());
    size_t offset = bLength;
    for (int i = 0; i < bNumDeviceCaps && remainder >= 0; ++i) {
        if (offset >= end) break;  // fewer capabilities than announced: keep what was found
        if (end - offset < 3) throw DescriptorError("capability truncated");
        const uint8_t* c = b + offset;
        const uint8_t len = c[0];
        if (len < 3) throw DescriptorError("capability of length below 3");
        if (len > end - offset) throw DescriptorError("capability runs past the table");
        switch (c[2]) {
            case 2:
                if (len < 7) throw DescriptorError("USB 2.0 extension too short");
                usb20Extension = std::make_unique<Usb20ExtensionCapability>(
                    Usb20ExtensionCapability{c[0], c[1], c[2], le32(c + 3)});
                break;
            case 3:
                if (len < 10) throw DescriptorError("SuperSpeed capability too short");
                superSpeed = std::make_unique<SuperSpeedCapability>(SuperSpeedCapability{
                    c[0], c[1], c[2], c[3], le16(c + 4), c[6], c[7], le16(c + 8)});
                break;
            case 4: {
                if (len < 20) throw DescriptorError("Container ID too short");
                auto id = std::make_unique<ContainerIdCapability>();
                id->bLength = c[0];
                id->bDescriptorType = c[1];
                id->bDevCapabilityType = c[2];
                std::memcpy(id->containerId.data(), c + 4, 16);  // c[3] is reserved
                containerId = std::move(id);
                break;
            }
            default:
                // An unknown capability is not stepped over: nothing after it is recorded.
                return;
        }
        remainder -= len;
        offset += len;
    }
}

}  // namespace vexo::usb
