// Descriptors served from a virtual device's tables.
#include "driver/virtual/descriptor_reply.h"

#include <algorithm>

namespace vexo::driver::virt {

namespace {

constexpr uint8_t kDeviceType = 1;
constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kStringType = 3;
constexpr uint8_t kBosType = 15;

// A string descriptor: bLength, type 3, then at most 126 UTF-16LE code units (or language ids).
template <typename Units>
void buildString(const Units& units, std::vector<uint8_t>& d) {
    const size_t n = std::min<size_t>(units.size(), 126);
    d.assign(2 + 2 * n, 0);
    d[0] = static_cast<uint8_t>(d.size());
    d[1] = kStringType;
    for (size_t i = 0; i < n; ++i) {
        d[2 + 2 * i] = static_cast<uint8_t>(units[i]);
        d[3 + 2 * i] = static_cast<uint8_t>(units[i] >> 8);
    }
}

}  // namespace

std::span<const uint8_t> descriptorReply(const DescriptorTables& tables, uint16_t wValue,
                                         std::vector<uint8_t>& built) {
    const uint8_t type = wValue >> 8;
    const uint8_t index = wValue & 0xFF;
    if (type == kDeviceType) return tables.device;
    if (type == kConfigurationType && index < tables.configurations.size())
        return tables.configurations[index];
    if (type == kStringType && index == 0 && !tables.languages.empty()) {
        buildString(tables.languages, built);
        return built;
    }
    if (type == kStringType && index != 0) {
        const auto it = tables.strings.find(index);
        if (it == tables.strings.end()) return {};
        buildString(it->second, built);
        return built;
    }
    if (type == kBosType) return tables.bos;
    return {};
}

}  // namespace vexo::driver::virt
