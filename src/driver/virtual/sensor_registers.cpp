#include "driver/virtual/sensor_registers.h"

namespace vexo::driver::virt {

namespace {

uint32_t byteAt(const std::map<uint16_t, uint32_t>& registers, uint16_t reg) {
    auto it = registers.find(reg);
    return it == registers.end() ? 0 : it->second & 0xFF;
}

}  // namespace

SensorExposure exposureOf(const std::map<uint16_t, uint32_t>& r) {
    SensorExposure e;
    const uint32_t joined = byteAt(r, kSensorExposure[0]) << 16 |
                            byteAt(r, kSensorExposure[1]) << 8 | byteAt(r, kSensorExposure[2]);
    e.lines = joined >> 4;
    e.gainCode = (byteAt(r, kSensorGain[0]) << 8 | byteAt(r, kSensorGain[1])) & 0x7FF;
    return e;
}

bool groupHeld(const std::map<uint16_t, uint32_t>& registers) {
    return byteAt(registers, kSensorGroupHold) & 1;
}

void addPowerOnExposure(std::map<uint16_t, uint32_t>& r) {
    const uint32_t joined = kDefaultExposureLines << 4;
    r.try_emplace(kSensorExposure[0], (joined >> 16) & 0xFF);
    r.try_emplace(kSensorExposure[1], (joined >> 8) & 0xFF);
    r.try_emplace(kSensorExposure[2], joined & 0xFF);
    r.try_emplace(kSensorGain[0], kDefaultGainCode >> 8);
    r.try_emplace(kSensorGain[1], kDefaultGainCode & 0xFF);
}

}  // namespace vexo::driver::virt
