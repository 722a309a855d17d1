// The answer to a standard GET_DESCRIPTOR request from a virtual device's descriptor tables,
// for every transport that serves such a device.
//
// Threading: pure function.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "driver/virtual/device_model.h"

namespace vexo::driver::virt {

/// The whole descriptor GET_DESCRIPTOR with `wValue` (type in the high byte, index in the low)
/// asks for: device, configuration `index`, the language table (string 0), string `index` or the
/// BOS; empty when the tables hold none. String descriptors are built into `built`, which the
/// result may point into. The caller cuts the reply to wLength.
std::span<const uint8_t> descriptorReply(const DescriptorTables& tables, uint16_t wValue,
                                         std::vector<uint8_t>& built);

}  // namespace vexo::driver::virt
