// How the virtual sensor turns light into raw samples (RAW, RAW_D, MON and MON_D streams).
//
// Each sample of the frame has a clean level: what the scene gives at that pixel with the
// register defaults' exposure and gain and no black level, in raw codes (the white level
// 2^bits - 1 for linear light 1.0). These are computed once per configuration. A frame then
// takes each one times the latched exposure and gain, adds the black level, adds shot and read
// noise, and clips to 0..white. Noise comes from a generator seeded with the configuration's
// seed and the frame number, so frame N always has the same bytes; it draws from a table of
// normal quantiles, one table look-up and a multiply per sample.
//
// Threading: used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "driver/virtual/board_config.h"
#include "driver/virtual/sensor_registers.h"

namespace vexo::driver::virt {

/// Which light a sample measures.
enum class SampleChannel : uint8_t { Red, Green, Blue, Luminance };

class SensorModel {
  public:
    SensorModel(const SensorConfig& sensor, uint8_t bits);

    uint16_t white() const { return white_; }
    bool noisy() const { return readNoise_ > 0 || fullWell_ > 0; }

    /// Camera level (0..1 for scene light up to white) of linear sRGB light `rgb`, as the
    /// sample of `channel` sees it: the matrix, then the gains.
    float cameraLevel(const float rgb[3], SampleChannel channel) const;

    /// The clean levels, one per sample, in raw codes at the default exposure.
    std::vector<float>& levels() { return levels_; }

    /// Takes the exposure a frame starts with; false when it is the one already in use.
    bool setExposure(const SensorExposure& exposure);

    /// Writes every sample: `pixelBytes` per sample (little-endian), and when `inverted` is
    /// not null the same image inverted (white - value) there. `frame` seeds the noise.
    void expose(uint8_t* out, uint8_t* inverted, uint8_t pixelBytes, uint32_t frame) const;

    /// The code a scene level gives without noise (for drawn marks: 1.0 white, 0 black).
    uint16_t codeOf(double level) const;

  private:
    template <bool kNoise, uint8_t kBytes>
    void exposeAs(uint8_t* out, uint8_t* inverted, uint32_t frame) const;
    void buildNoiseTable();

    std::array<double, 9> matrix_;
    std::array<double, 3> gains_;
    uint16_t white_;
    float black_;
    double readNoise_, fullWell_;
    uint64_t seed_;
    std::vector<float> levels_;
    SensorExposure exposure_;
    float span_;                // (white - black) / white: the codes light is scaled over
    float scale_;               // exposure x gain, relative to the defaults, times span_
    std::vector<float> sigma_;  // noise standard deviation by clean code
};

}  // namespace vexo::driver::virt
