// Reads the images the tool writes back into memory: PNG with libpng, JPEG with TurboJPEG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexo::tools::test {

struct DecodedImage {
    uint32_t width = 0;
    uint32_t height = 0;
    unsigned channels = 0;          ///< 1 grey, 3 RGB
    unsigned bitDepth = 0;          ///< 8 or 16
    std::vector<uint16_t> samples;  ///< row by row, channels interleaved

    uint16_t at(uint32_t x, uint32_t y, unsigned channel = 0) const {
        return samples[(size_t{y} * width + x) * channels + channel];
    }
};

/// False (with a reason) when the file is missing or not a valid PNG.
bool readPng(const std::string& path, DecodedImage& image, std::string& error);
/// Decodes to 8-bit RGB. False (with a reason) when the file is not a valid JPEG.
bool readJpeg(const std::string& path, DecodedImage& image, std::string& error);
/// JPEG bytes decoded to 8-bit RGB. False (with a reason) when they are not a valid JPEG.
bool decodeJpeg(const std::string& bytes, DecodedImage& image, std::string& error);

/// Median of one channel over the column x, rows [y0, y1): robust against the moving marker
/// and the frame number drawn over the picture.
uint16_t columnMedian(const DecodedImage& image, uint32_t x, uint32_t y0, uint32_t y1,
                      unsigned channel);

}  // namespace vexo::tools::test
