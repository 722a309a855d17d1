// Making and reading real boards' device paths.
#include "driver/libusb/device_path.h"

#include <cstdio>

namespace vexo::driver::lusb {

namespace {

constexpr std::string_view kClassSuffix = "#{ae18aa60-7f6a-11d4-97dd-00010229b959}";

// Reads exactly `digits` digits of base `base` from the front of `text`.
std::optional<uint32_t> takeNumber(std::string_view& text, size_t digits, uint32_t base) {
    if (text.size() < digits) return std::nullopt;
    uint32_t value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const char c = text[i];
        uint32_t d;
        if (c >= '0' && c <= '9')
            d = static_cast<uint32_t>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = static_cast<uint32_t>(c - 'a' + 10);
        else
            return std::nullopt;
        if (d >= base) return std::nullopt;
        value = value * base + d;
    }
    text.remove_prefix(digits);
    return value;
}

bool takeLiteral(std::string_view& text, std::string_view literal) {
    if (!text.starts_with(literal)) return false;
    text.remove_prefix(literal.size());
    return true;
}

}  // namespace

std::string makeDevicePath(const DeviceLocation& location) {
    char head[64];
    std::snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x#libusb-%03u-%03u",
                  location.vendorId, location.productId, location.bus, location.address);
    return std::string(head) + std::string(kClassSuffix);
}

std::optional<DeviceLocation> parseDevicePath(std::string_view path) {
    DeviceLocation location;
    if (!takeLiteral(path, "\\\\?\\usb#vid_")) return std::nullopt;
    const auto vendor = takeNumber(path, 4, 16);
    if (!vendor || !takeLiteral(path, "&pid_")) return std::nullopt;
    const auto product = takeNumber(path, 4, 16);
    if (!product || !takeLiteral(path, "#libusb-")) return std::nullopt;
    const auto bus = takeNumber(path, 3, 10);
    if (!bus || !takeLiteral(path, "-")) return std::nullopt;
    const auto address = takeNumber(path, 3, 10);
    if (!address || *bus > 255 || *address > 255 || path != kClassSuffix) return std::nullopt;
    location.vendorId = static_cast<uint16_t>(*vendor);
    location.productId = static_cast<uint16_t>(*product);
    location.bus = static_cast<uint8_t>(*bus);
    location.address = static_cast<uint8_t>(*address);
    return location;
}

}  // namespace vexo::driver::lusb
