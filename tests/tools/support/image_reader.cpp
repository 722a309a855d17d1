#include "tools/support/image_reader.h"

#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace vexo::tools::test {

namespace {

// The libpng part of readPng. libpng reports failures by longjmp back into this frame, so it
// holds only plain C objects; on success the caller reads the rows and then destroys them.
bool decodePng(FILE* file, png_structp* read, png_infop* info) {
    *read = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    *info = *read ? png_create_info_struct(*read) : nullptr;
    if (!*read || !*info) return false;
    if (setjmp(png_jmpbuf(*read))) return false;
    png_init_io(*read, file);
    png_read_png(*read, *info, PNG_TRANSFORM_IDENTITY, nullptr);
    return true;
}

}  // namespace

bool readPng(const std::string& path, DecodedImage& image, std::string& error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = path + ": cannot open";
        return false;
    }
    png_structp read = nullptr;
    png_infop info = nullptr;
    if (!decodePng(file, &read, &info)) {
        png_destroy_read_struct(&read, &info, nullptr);
        std::fclose(file);
        error = path + ": PNG decoding failed";
        return false;
    }
    image.width = png_get_image_width(read, info);
    image.height = png_get_image_height(read, info);
    image.bitDepth = png_get_bit_depth(read, info);
    image.channels = png_get_channels(read, info);
    png_bytepp rows = png_get_rows(read, info);
    image.samples.assign(size_t{image.width} * image.height * image.channels, 0);
    const size_t perRow = size_t{image.width} * image.channels;
    for (uint32_t y = 0; y < image.height; ++y) {
        for (size_t i = 0; i < perRow; ++i) {
            image.samples[y * perRow + i] =
                image.bitDepth == 16
                    ? static_cast<uint16_t>(rows[y][2 * i] << 8 | rows[y][2 * i + 1])
                    : rows[y][i];
        }
    }
    png_destroy_read_struct(&read, &info, nullptr);
    std::fclose(file);
    return true;
}

bool readJpeg(const std::string& path, DecodedImage& image, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        error = path + ": empty or missing";
        return false;
    }
    if (decodeJpeg(bytes, image, error)) return true;
    error = path + ": " + error;
    return false;
}

bool decodeJpeg(const std::string& bytes, DecodedImage& image, std::string& error) {
    tjhandle tj = tjInitDecompress();
    if (!tj) {
        error = "TurboJPEG cannot start a decoder";
        return false;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(tj, data, bytes.size(), &width, &height, &subsampling, &colourspace) !=
        0) {
        error = tjGetErrorStr2(tj);
        tjDestroy(tj);
        return false;
    }
    std::vector<unsigned char> rgb(size_t(width) * height * 3);
    const int status =
        tjDecompress2(tj, data, bytes.size(), rgb.data(), width, 0, height, TJPF_RGB, 0);
    tjDestroy(tj);
    if (status != 0) {
        error = "JPEG decoding failed";
        return false;
    }
    image.width = static_cast<uint32_t>(width);
    image.height = static_cast<uint32_t>(height);
    image.channels = 3;
    image.bitDepth = 8;
    image.samples.assign(rgb.begin(), rgb.end());
    return true;
}

uint16_t columnMedian(const DecodedImage& image, uint32_t x, uint32_t y0, uint32_t y1,
                      unsigned channel) {
    std::vector<uint16_t> values;
    for (uint32_t y = y0; y < y1; ++y) values.push_back(image.at(x, y, channel));
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

}  // namespace vexo::tools::test
