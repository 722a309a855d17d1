#include "driver/virtual/board_jpeg.h"

#include <turbojpeg.h>

namespace vexo::driver::virt {

namespace {
constexpr int kQualities[] = {90, 75, 50, 25, 10};
constexpr int kSubsampling = TJSAMP_420;
}  // namespace

JpegEncoder::JpegEncoder(uint32_t width, uint32_t height, size_t limit)
    : handle_(tjInitCompress()), width_(width), height_(height), limit_(limit) {
    buffer_.resize(tjBufSize(static_cast<int>(width), static_cast<int>(height), kSubsampling));
}

JpegEncoder::~JpegEncoder() {
    if (handle_) tjDestroy(static_cast<tjhandle>(handle_));
}

std::span<const uint8_t> JpegEncoder::encode(const uint8_t* rgb) {
    if (!handle_) return {};
    unsigned long size = 0;
    for (int quality : kQualities) {
        unsigned char* out = buffer_.data();
        size = buffer_.size();
        // NOREALLOC: the buffer is tjBufSize() bytes, the worst case for this image size.
        if (tjCompress2(static_cast<tjhandle>(handle_), rgb, static_cast<int>(width_), 0,
                        static_cast<int>(height_), TJPF_RGB, &out, &size, kSubsampling, quality,
                        TJFLAG_NOREALLOC) != 0)
            return {};
        fits_ = size <= limit_;
        if (fits_) break;
    }
    return {buffer_.data(), size};
}

}  // namespace vexo::driver::virt
