// vexo/isp_settings.hpp — how the ISP turns a sensor's raw values into colour: the [colour]
// section of a camera configuration file as a value (docs/camera-config.md, docs/isp.md).
//
// Threading: plain values.
#pragma once

#include <array>
#include <cstdint>

namespace vexo {

/// The [colour] section of a camera file. The defaults are what the ISP uses for a file
/// without one: no black level, automatic white balance, the identity matrix, the sRGB curve,
/// gradient-corrected demosaicking and no auto exposure.
struct ColourSettings {
    enum class Gamma : uint8_t {
        Srgb,    ///< the sRGB transfer curve
        Linear,  ///< linear light, scaled to the output's full range
    };
    enum class Demosaic : uint8_t {
        Gradient,  ///< gradient-corrected 5x5, on companded values
        Bilinear,  ///< mean of the 3x3 same-colour neighbours, on companded values
    };

    /// Black level in raw codes of the sensor's significant bits, for the mosaic's red,
    /// green-on-red-rows, green-on-blue-rows and blue sites. MON uses the first green value.
    std::array<double, 4> blackLevel{0, 0, 0, 0};
    /// True: white balance found in each frame (whiteBalance holds the starting gains).
    bool autoWhiteBalance = true;
    /// Multipliers of the camera's red, green and blue after the black level.
    std::array<double, 3> whiteBalance{1, 1, 1};
    /// Camera RGB (white balanced) to linear sRGB, row-major.
    std::array<double, 9> ccm{1, 0, 0, 0, 1, 0, 0, 0, 1};
    Gamma gamma = Gamma::Srgb;
    Demosaic demosaic = Demosaic::Gradient;
    /// Whether programs that drive the sensor (the preview, vexosrc, Python) run auto exposure.
    bool autoExposure = false;

    bool operator==(const ColourSettings&) const = default;
};

}  // namespace vexo
