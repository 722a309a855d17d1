// The virtual sensor's exposure registers: where exposure time, analogue gain and the group
// hold live, their power-on values, and how the sensor latches them at each frame start.
//
// The registers are 8 bits wide (a wider write keeps its low byte for the sensor's purposes):
//   0x0104       group hold: while bit 0 is set, frame starts keep the values latched before
//                the hold; the first frame start after it clears takes every change at once
//   0x3500-3502  exposure time in lines: bits 4..23 of the three bytes joined, most
//                significant first (0x3502's low nibble is not part of it); power-on 1024
//   0x3508-3509  analogue gain x 128: bits 0..10 of the two bytes joined, most significant
//                first; power-on 128 (1x)
// A frame's values scale its signal by (lines / 1024) x (gain / 128): at power-on the picture
// is the scene's own levels.
//
// Threading: plain values and reentrant functions.
#pragma once

#include <cstdint>
#include <map>

namespace vexo::driver::virt {

inline constexpr uint16_t kSensorGroupHold = 0x0104;
inline constexpr uint16_t kSensorExposure[3] = {0x3500, 0x3501, 0x3502};
inline constexpr uint16_t kSensorGain[2] = {0x3508, 0x3509};
inline constexpr uint32_t kDefaultExposureLines = 1024;
inline constexpr uint32_t kDefaultGainCode = 128;

/// Exposure time and analogue gain as a frame is exposed with them.
struct SensorExposure {
    uint32_t lines = kDefaultExposureLines;
    uint32_t gainCode = kDefaultGainCode;

    double timeRatio() const { return lines / double(kDefaultExposureLines); }
    double gainRatio() const { return gainCode / double(kDefaultGainCode); }
    bool operator==(const SensorExposure&) const = default;
};

/// The values the registers hold now.
SensorExposure exposureOf(const std::map<uint16_t, uint32_t>& registers);
/// Whether the group hold is set.
bool groupHeld(const std::map<uint16_t, uint32_t>& registers);
/// Sets the exposure registers to their power-on values where `registers` holds none.
void addPowerOnExposure(std::map<uint16_t, uint32_t>& registers);

/// What a sensor takes from its registers at each frame start.
class ExposureLatch {
  public:
    /// Starts with what `registers` hold (power-on).
    void reset(const std::map<uint16_t, uint32_t>& registers) { latched_ = exposureOf(registers); }
    /// At a frame start: the registers' values, unless the group hold is set, when the values
    /// latched before stay.
    const SensorExposure& frameStart(const std::map<uint16_t, uint32_t>& registers) {
        if (!groupHeld(registers)) latched_ = exposureOf(registers);
        return latched_;
    }
    const SensorExposure& latched() const { return latched_; }

  private:
    SensorExposure latched_;
};

}  // namespace vexo::driver::virt
