#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vexo/image_files.hpp>

namespace vexo {

namespace {

bool failErrno(const char* path, std::string& error) {
    error = std::string(path) + ": " + std::strerror(errno);
    return false;
}

}  // namespace

namespace {

// The libpng part of writePng. libpng reports failures by longjmp back into this frame, so it
// holds only plain C objects: nothing here has a destructor or may be clobbered.
bool encodePng(FILE* file, const uint8_t* pixels, uint32_t width, uint32_t height, int colourType,
               int depth, size_t stride, int significantBits) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, width, height, depth, colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (significantBits > 0 && significantBits < depth) {
        png_color_8 sbit{};
        sbit.red = sbit.green = sbit.blue = sbit.gray = static_cast<png_byte>(significantBits);
        png_set_sBIT(png, info, &sbit);
    }
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(pixels + y * stride));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool writePng(FILE* file, const ImageView& image) {
    int colourType = PNG_COLOR_TYPE_RGB, depth = 8;
    size_t bytesPerPixel = 3;
    if (image.layout == PixelLayout::Gray8) {
        colourType = PNG_COLOR_TYPE_GRAY;
        bytesPerPixel = 1;
    } else if (image.layout == PixelLayout::Gray16) {
        colourType = PNG_COLOR_TYPE_GRAY;
        depth = 16;
        bytesPerPixel = 2;
    } else if (image.layout == PixelLayout::Rgb16) {
        depth = 16;
        bytesPerPixel = 6;
    }
    const size_t stride = size_t{image.width} * bytesPerPixel;
    return encodePng(file, image.pixels.data(), image.width, image.height, colourType, depth,
                     stride, image.significantBits);
}

bool writePng(const char* path, const ImageView& image, std::string& error) {
    FILE* file = std::fopen(path, "wb");
    if (!file) return failErrno(path, error);
    if (!writePng(file, image)) {
        std::fclose(file);
        error = std::string(path) + ": PNG encoding failed";
        return false;
    }
    if (std::fclose(file) != 0) return failErrno(path, error);
    return true;
}

size_t jpegLength(std::span<const uint8_t> frame) {
    for (size_t i = frame.size(); i >= 2; --i) {
        if (frame[i - 2] == 0xFF && frame[i - 1] == 0xD9) return i;
    }
    return frame.size();
}

bool writeJpeg(const char* path, std::span<const uint8_t> frame, std::string& error) {
    FILE* file = std::fopen(path, "wb");
    if (!file) return failErrno(path, error);
    const size_t n = jpegLength(frame);
    const bool written = std::fwrite(frame.data(), 1, n, file) == n;
    const int savedErrno = errno;
    if (std::fclose(file) != 0 || !written) {
        if (!written) errno = savedErrno;
        return failErrno(path, error);
    }
    return true;
}

}  // namespace vexo
