#include "camera/jpeg_markers.h"

namespace vexo::camera {

namespace {

// Marker positions tested at once. Entropy-coded data holds a 0xFF about every 256 bytes
// (stuffed as FF 00), so stopping at each 0xFF would cost a call per few hundred bytes;
// a block is tested whole without branches (the compiler turns the loop into vector
// compares) and walked only when it holds the marker.
constexpr size_t kBlock = 64;

// Whether a marker starts at one of b[0 .. kBlock); reads b[0 .. kBlock].
bool blockHoldsMarker(const uint8_t* b, uint8_t second) {
    uint8_t hit = 0;
    for (size_t j = 0; j < kBlock; ++j)
        hit |= static_cast<uint8_t>((b[j] == 0xFF) & (b[j + 1] == second));
    return hit != 0;
}

bool markerAt(const uint8_t* bytes, size_t i, uint8_t second) {
    return bytes[i] == 0xFF && bytes[i + 1] == second;
}

}  // namespace

size_t findMarker(const uint8_t* bytes, size_t from, size_t len, uint8_t second) {
    if (len < 2) return kNoMarker;
    const size_t end = len - 1;  // markers start before the last byte
    while (from < end && end - from >= kBlock && !blockHoldsMarker(bytes + from, second))
        from += kBlock;
    for (; from < end; ++from)
        if (markerAt(bytes, from, second)) return from;
    return kNoMarker;
}

size_t findLastMarker(const uint8_t* bytes, size_t from, size_t len, uint8_t second) {
    if (len < 2) return kNoMarker;
    size_t end = len - 1;
    while (end > from && end - from >= kBlock && !blockHoldsMarker(bytes + end - kBlock, second))
        end -= kBlock;
    while (end > from) {
        --end;
        if (markerAt(bytes, end, second)) return end;
    }
    return kNoMarker;
}

size_t jpegImageStart(const uint8_t* bytes, size_t len) {
    const size_t start = findMarker(bytes, 0, len, kJpegStart);
    // Any end marker after the start marker will do: the last one is found soonest, as a
    // frame ends with it.
    if (start == kNoMarker || findLastMarker(bytes, start + 2, len, kJpegEnd) == kNoMarker)
        return kNoMarker;
    return start;
}

}  // namespace vexo::camera
