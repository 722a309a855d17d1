// Building a configuration object from its descriptor block.
#include "usb/driver_config.h"

#include <algorithm>

#include "usb/descriptor_bytes.h"
#include "usb/device_error.h"

namespace vexo::usb {

DriverConfig::DriverConfig(driver::Handle driverHandle, std::span<const uint8_t> block,
                           bool companionLookAhead) {
    if (block.size() < 9) throw DescriptorError("configuration shorter than its header");
    const uint8_t* b = block.data();
    bLength = b[0];
    bDescriptorType = b[1];
    wTotalLength = le16(b + 2);
    bNumInterfaces = b[4];
    bConfigurationValue = b[5];
    iConfiguration = b[6];
    bmAttributes = b[7];
    MaxPower = b[8];
    altInterfaceCount = 0;
    const size_t end = std::min<size_t>(wTotalLength, block.size());
    if (bLength < 9 || bLength > end) throw DescriptorError("configuration header malformed");
    const std::span<const uint8_t> table = block.first(end);

    size_t offset = bLength;
    uint8_t previousType = bDescriptorType;
    while (offset < end && altInterfaceCount < kMaxInterfaces) {
        if (end - offset < 2) throw DescriptorError("descriptor truncated");
        const uint8_t len = b[offset];
        const uint8_t type = b[offset + 1];
        if (len < 2) throw DescriptorError("descriptor of length 0 or 1");
        if (len > end - offset) throw DescriptorError("descriptor runs past the table");
        if (type == kDescInterface) {
            auto iface = std::make_unique<DriverInterface>(
                driverHandle, table, static_cast<uint32_t>(offset), companionLookAhead);
            offset += iface->spanLength;
            interfaces[altInterfaceCount++] = std::move(iface);
            previousType = kDescInterface;
            continue;
        }
        if (companionLookAhead && type == kDescCompanion && previousType != kDescEndpoint)
            throw DescriptorError("endpoint companion without its endpoint");
        previousType = type;
        offset += len;
    }

    for (auto& i : interfaces) {
        if (!i) continue;
        i->altSettingCount = static_cast<uint8_t>(std::count_if(
            interfaces.begin(), interfaces.end(),
            [&](const auto& j) { return j && j->bInterfaceNumber == i->bInterfaceNumber; }));
    }
}

}  // namespace vexo::usb
