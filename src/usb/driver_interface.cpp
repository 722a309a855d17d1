// Building an interface and its endpoint objects from a configuration block.
#include "usb/driver_interface.h"

#include "usb/control_endpoint.h"
#include "usb/data_endpoints.h"
#include "usb/descriptor_bytes.h"
#include "usb/device_error.h"

namespace vexo::usb {

namespace {

std::unique_ptr<UsbEndpoint> makeEndpoint(driver::Handle handle, const EndpointDescriptor& d,
                                          const CompanionDescriptor* companion) {
    switch (d.bmAttributes & 3) {
        case kTransferControl:
            // A control endpoint takes no companion.
            return std::make_unique<ControlEndpoint>(handle, d, nullptr);
        case kTransferIsochronous:
            return std::make_unique<IsocEndpoint>(handle, d, companion);
        case kTransferBulk:
            return std::make_unique<BulkEndpoint>(handle, d, companion);
        default:
            return std::make_unique<InterruptEndpoint>(handle, d, companion);
    }
}

}  // namespace

DriverInterface::DriverInterface(driver::Handle driverHandle, std::span<const uint8_t> block,
                                 uint32_t offset, bool companionLookAhead) {
    const uint8_t* b = block.data();
    const size_t end = block.size();
    if (offset >= end || end - offset < 9 || b[offset] < 9 || b[offset] > end - offset)
        throw DescriptorError("interface descriptor truncated");
    const uint8_t* d = b + offset;
    bLength = d[0];
    bDescriptorType = d[1];
    bInterfaceNumber = d[2];
    bAlternateSetting = d[3];
    bNumEndpoints = d[4];
    bInterfaceClass = d[5];
    bInterfaceSubClass = d[6];
    bInterfaceProtocol = d[7];
    iInterface = d[8];
    if (bNumEndpoints > kSlots - 1) throw DescriptorError("interface claims too many endpoints");

    uint32_t span = bLength;
    size_t pos = offset + bLength;
    int taken = 0;
    int foreign = 0;
    while (taken < bNumEndpoints && pos < end) {
        if (end - pos < 2) throw DescriptorError("descriptor truncated");
        const uint8_t len = b[pos];
        const uint8_t type = b[pos + 1];
        if (len < 2) throw DescriptorError("descriptor of length 0 or 1");
        if (len > end - pos) throw DescriptorError("descriptor runs past the table");

        if (type == kDescEndpoint) {
            if (len < 7) throw DescriptorError("endpoint descriptor too short");
            const uint8_t* e = b + pos;
            EndpointDescriptor ep{e[0], e[1], e[2], e[3], le16(e + 4), e[6]};
            span += len;
            pos += len;
            CompanionDescriptor companion;
            bool hasCompanion = false;
            if (companionLookAhead && end - pos >= 2 && b[pos + 1] == kDescCompanion) {
                const uint8_t clen = b[pos];
                if (clen < 6 || clen > end - pos)
                    throw DescriptorError("endpoint companion malformed");
                const uint8_t* c = b + pos;
                companion = CompanionDescriptor{c[0], c[1], c[2], c[3], le16(c + 4)};
                hasCompanion = true;
                span += clen;
                pos += clen;
            }
            ++taken;
            owned_[taken] = makeEndpoint(driverHandle, ep, hasCompanion ? &companion : nullptr);
            endpoints[taken] = owned_[taken].get();
            continue;
        }
        if (companionLookAhead && type == kDescCompanion)
            throw DescriptorError("endpoint companion without its endpoint");
        // Class-specific and other descriptors are stepped over; past the model's limit the
        // interface ends here and the configuration walk goes on from this descriptor.
        if (foreign == kMaxForeign) break;
        ++foreign;
        span += len;
        pos += len;
    }
    if (span > 0xFFFF) throw DescriptorError("interface longer than a configuration");
    spanLength = static_cast<uint16_t>(span);
}

}  // namespace vexo::usb
