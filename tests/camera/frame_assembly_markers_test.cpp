#include <gtest/gtest.h>

#include <vector>

#include "camera/jpeg_markers.h"

namespace vexo::camera::test {
namespace {

/* Frames of every length up to a few search blocks, full of lone 0xFF bytes and FF 00
 * pairs, with end markers at two positions: both searches find the right one of the
 * markers within their range, whatever block the marker falls in. */
TEST(JpegMarkers, FirstAndLastMarkerAtEveryPosition) {
    for (size_t len = 2; len <= 200; len += 3) {
        for (size_t p = 0; p + 1 < len; p += 5) {
            const size_t q = (p + len) / 2 + 1 < len - 1 ? (p + len) / 2 + 1 : p;
            std::vector<uint8_t> f(len + 1, 0xFF); /* the byte past the frame is never read */
            for (size_t i = 1; i < len; i += 3) f[i] = 0x00;
            f[len - 1] = 0xFF;
            f[len] = kJpegEnd;
            for (const size_t at : {p, q}) f[at] = 0xFF, f[at + 1] = kJpegEnd;
            SCOPED_TRACE(::testing::Message() << "len " << len << " markers at " << p << ", " << q);
            EXPECT_EQ(findMarker(f.data(), 0, len, kJpegEnd), p);
            EXPECT_EQ(findLastMarker(f.data(), 0, len, kJpegEnd), q);
            EXPECT_EQ(findMarker(f.data(), q, len, kJpegEnd), q);
            EXPECT_EQ(findLastMarker(f.data(), 0, q + 1, kJpegEnd), q > p ? p : kNoMarker);
            EXPECT_EQ(findMarker(f.data(), q + 1, len, kJpegEnd), kNoMarker);
            EXPECT_EQ(findLastMarker(f.data(), p + 1, len, kJpegEnd), q > p ? q : kNoMarker);
            EXPECT_EQ(findMarker(f.data(), 0, len, kJpegStart), kNoMarker);
        }
    }
}

/* The trailer-framed rule: the image starts at the first start marker, and needs an end
 * marker after it (not overlapping it). */
TEST(JpegMarkers, ImageStartNeedsAnEndMarkerAfterTheStartMarker) {
    const std::vector<uint8_t> good{0x00, 0xFF, 0xD8, 0xFF, 0xD8, 0x11, 0xFF, 0xD9, 0x00};
    EXPECT_EQ(jpegImageStart(good.data(), good.size()), 1u);
    const std::vector<uint8_t> endFirst{0xFF, 0xD9, 0xFF, 0xD8, 0x00};
    EXPECT_EQ(jpegImageStart(endFirst.data(), endFirst.size()), kNoMarker);
    const std::vector<uint8_t> overlapping{0xFF, 0xD8, 0xD9};
    EXPECT_EQ(jpegImageStart(overlapping.data(), overlapping.size()), kNoMarker);
    const std::vector<uint8_t> adjacent{0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_EQ(jpegImageStart(adjacent.data(), adjacent.size()), 0u);
}

}  // namespace
}  // namespace vexo::camera::test
