/*
 * The JPEG marker searches of the frame assembly against the plain searches they replace,
 * on arbitrary frames; any difference traps. The first input byte chooses how the rest
 * becomes a frame: as it is, or with most bytes mapped to 0xFF, 0xD8 and 0xD9 so that
 * markers, stuffed FF 00 pairs and runs of 0xFF are common. The frame is a copy of exactly
 * its length, so a read past it is caught by AddressSanitizer.
 */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "camera/jpeg_markers.h"

using namespace vexo::camera;

namespace {

/* The trailer-framed rule as first written: memchr for each 0xFF, then the next byte. */
size_t referenceFindMarker(const uint8_t* bytes, size_t from, size_t len, uint8_t second) {
    while (from + 1 < len) {
        const void* hit = std::memchr(bytes + from, 0xFF, len - 1 - from);
        if (!hit) return kNoMarker;
        const size_t i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - bytes);
        if (bytes[i + 1] == second) return i;
        from = i + 1;
    }
    return kNoMarker;
}

size_t referenceImageStart(const uint8_t* bytes, size_t len) {
    const size_t start = referenceFindMarker(bytes, 0, len, 0xD8);
    if (start == kNoMarker || referenceFindMarker(bytes, start + 2, len, 0xD9) == kNoMarker)
        return kNoMarker;
    return start;
}

/* The chunk-framed end search as first written: byte by byte back from the frame's end
 * over the last 1025 bytes; @len is at least 1026. */
size_t referenceChunkEnd(const uint8_t* bytes, size_t len) {
    for (size_t i = len - 2;; --i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xD9) return i;
        if (i == len - 1 - 1024) return kNoMarker;
    }
}

uint8_t markerDense(uint8_t b) {
    switch (b & 7) {
        case 0:
        case 1:
        case 2:
            return 0xFF;
        case 3:
            return 0xD8;
        case 4:
            return 0xD9;
        case 5:
            return 0x00;
        default:
            return b;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    const size_t len = size - 1;
    std::unique_ptr<uint8_t[]> frame(new uint8_t[len ? len : 1]);
    for (size_t i = 0; i < len; ++i) frame[i] = (mode & 1) ? markerDense(data[1 + i]) : data[1 + i];
    const uint8_t* f = frame.get();

    if (jpegImageStart(f, len) != referenceImageStart(f, len)) __builtin_trap();
    if (len >= 1026 && findLastMarker(f, len - 1025, len, kJpegEnd) != referenceChunkEnd(f, len))
        __builtin_trap();

    /* Both searches from the starts near either end of the frame (the searches test blocks
     * of 64 positions, walked from one end), for both markers and one chosen byte. */
    const auto compare = [f, len, mode](size_t from) {
        for (const uint8_t second : {kJpegStart, kJpegEnd, uint8_t(mode >> 1)}) {
            if (findMarker(f, from, len, second) != referenceFindMarker(f, from, len, second))
                __builtin_trap();
            size_t last = kNoMarker;
            for (size_t i = len < 2 ? 0 : len - 1; i > from;)
                if (f[--i] == 0xFF && f[i + 1] == second) {
                    last = i;
                    break;
                }
            if (findLastMarker(f, from, len, second) != last) __builtin_trap();
        }
    };
    for (size_t k = 0; k < 72; ++k) {
        compare(k);
        if (len + 1 >= k) compare(len + 1 - k);
    }
    return 0;
}
