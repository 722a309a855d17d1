// The colour tags of a DNG from a camera file's [colour] section, so that raw converters
// render the frame as the ISP does.
#pragma once

#include <vexo/camera.h>

#include <array>
#include <vexo/isp_settings.hpp>

namespace vexo {

struct DngColour {
    /// BlackLevel in the order of the 2x2 CFA cell (BlackLevelRepeatDim 2 x 2).
    std::array<float, 4> black{};
    /// AsShotNeutral: the camera's raw response to white, green 1 (the inverse of manual
    /// white-balance gains; 1 1 1 for automatic white balance, which a file cannot fix).
    std::array<float, 3> neutral{1, 1, 1};
    /// ColorMatrix1, XYZ (D65) to camera: diag(neutral) x inverse(ccm) x XYZ-to-linear-sRGB.
    std::array<float, 9> xyzToCamera{};
};

/// The tags for `settings` (the defaults give black 0, neutral 1 1 1 and the camera taken as
/// having sRGB's primaries) and the mosaic order `bayer`.
DngColour dngColour(const ColourSettings& settings, RawMode bayer);

}  // namespace vexo
