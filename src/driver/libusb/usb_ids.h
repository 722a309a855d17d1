// Which attached USB devices are camera boards: the two vendor ids the boards ship with, plus
// the ids a user adds in VEXO_USB_IDS (for a board flashed with another id).
//
// VEXO_USB_IDS holds entries separated by commas, semicolons or spaces; each entry is a vendor
// id ("2a0e") or a vendor and product id ("2a0e:0101"), in hexadecimal with an optional "0x".
//
// Threading: plain values; the functions are reentrant.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::driver::lusb {

inline constexpr uint16_t kBoardVendorIds[] = {0x52CB, 0x04B4};

/// One accepted id: a vendor, and a product when the entry names one.
struct UsbId {
    uint16_t vendorId = 0;
    std::optional<uint16_t> productId;

    bool operator==(const UsbId&) const = default;
};

/// The ids a device may carry to be served as a board.
class UsbIdFilter {
  public:
    /// The boards' own vendor ids only.
    UsbIdFilter();
    /// The boards' vendor ids plus `extra`.
    explicit UsbIdFilter(std::vector<UsbId> extra);

    bool matches(uint16_t vendorId, uint16_t productId) const;

  private:
    std::vector<UsbId> ids_;
};

/// Parses a VEXO_USB_IDS value. Well-formed entries land in `ids`; for each malformed one a
/// short description is appended to `errors`. Never reads outside `text`.
void parseUsbIds(std::string_view text, std::vector<UsbId>& ids, std::vector<std::string>& errors);

/// The filter for this process: the boards' ids plus VEXO_USB_IDS (read on every call, so that a
/// test may change it). Malformed entries are reported once per distinct value on stderr.
UsbIdFilter usbIdFilterFromEnvironment();

}  // namespace vexo::driver::lusb
