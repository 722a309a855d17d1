// Baseline JPEG compression of the virtual board's RGB picture.
//
// Threading: one JpegEncoder per renderer, used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vexo::driver::virt {

/// Compresses width x height RGB888 images into a buffer allocated once, so that no frame
/// allocates. The first quality of a fixed ladder (90 down to 10) whose output fits `limit`
/// bytes is used, so small frame buffers still receive whole JPEG images.
class JpegEncoder {
  public:
    JpegEncoder(uint32_t width, uint32_t height, size_t limit);
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    /// Compresses `rgb` (width x height x 3 bytes). The result starts with FF D8, ends with
    /// FF D9 and stays valid until the next call; empty when compression failed. When no
    /// quality fits `limit`, the lowest-quality image is returned and fits() is false.
    std::span<const uint8_t> encode(const uint8_t* rgb);
    bool fits() const { return fits_; }

  private:
    void* handle_;
    uint32_t width_, height_;
    size_t limit_;
    std::vector<uint8_t> buffer_;
    bool fits_ = true;
};

}  // namespace vexo::driver::virt
