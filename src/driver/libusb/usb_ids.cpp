// Parsing of VEXO_USB_IDS and the id filter.
#include "driver/libusb/usb_ids.h"

#include <cstdio>
#include <cstdlib>
#include <set>

#include "common/mutex.h"

namespace vexo::driver::lusb {

namespace {

bool isSeparator(char c) {
    return c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A 16-bit hexadecimal number: one to four digits after an optional 0x.
std::optional<uint16_t> parseHex16(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 4) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        const int d = hexDigit(c);
        if (d < 0) return std::nullopt;
        value = value * 16 + static_cast<uint32_t>(d);
    }
    return static_cast<uint16_t>(value);
}

}  // namespace

UsbIdFilter::UsbIdFilter() : UsbIdFilter(std::vector<UsbId>{}) {}

UsbIdFilter::UsbIdFilter(std::vector<UsbId> extra) : ids_(std::move(extra)) {
    for (uint16_t vendor : kBoardVendorIds) ids_.push_back(UsbId{vendor, std::nullopt});
}

bool UsbIdFilter::matches(uint16_t vendorId, uint16_t productId) const {
    for (const UsbId& id : ids_) {
        if (id.vendorId != vendorId) continue;
        if (!id.productId || *id.productId == productId) return true;
    }
    return false;
}

void parseUsbIds(std::string_view text, std::vector<UsbId>& ids, std::vector<std::string>& errors) {
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && isSeparator(text[pos])) ++pos;
        size_t end = pos;
        while (end < text.size() && !isSeparator(text[end])) ++end;
        if (end == pos) break;
        const std::string_view entry = text.substr(pos, end - pos);
        pos = end;

        const size_t colon = entry.find(':');
        const std::optional<uint16_t> vendor = parseHex16(entry.substr(0, colon));
        std::optional<uint16_t> product;
        bool ok = vendor.has_value();
        if (ok && colon != std::string_view::npos) {
            product = parseHex16(entry.substr(colon + 1));
            ok = product.has_value();
        }
        if (!ok) {
            errors.push_back("'" + std::string(entry) +
                             "' is not a hexadecimal vendor id or vendor:product pair");
            continue;
        }
        ids.push_back(UsbId{*vendor, product});
    }
}

UsbIdFilter usbIdFilterFromEnvironment() {
    const char* value = std::getenv("VEXO_USB_IDS");
    if (!value) return UsbIdFilter();
    std::vector<UsbId> ids;
    std::vector<std::string> errors;
    parseUsbIds(value, ids, errors);
    if (!errors.empty()) {
        // Enumeration runs often (every scan and open); say it once per value.
        static struct {
            Mutex mutex;
            std::set<std::string> values VEXO_GUARDED_BY(mutex);
        } reported;
        MutexLock lock(reported.mutex);
        if (reported.values.insert(value).second)
            std::fprintf(stderr, "vexo: VEXO_USB_IDS: %s; the entry is ignored\n",
                         errors.front().c_str());
    }
    return UsbIdFilter(std::move(ids));
}

}  // namespace vexo::driver::lusb
