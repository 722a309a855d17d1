// Shared pieces of the C++-layer tests: a clean virtual bus per test and frame checks against
// the pictures the boards draw.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>
#include <vexo/vexo.hpp>

#include "driver/virtual/virtual_board.h"

namespace vexo::cpptest {

namespace virt = vexo::driver::virt;

class CppTest : public ::testing::Test {
  protected:
    void SetUp() override { virt::removeAllDevices(); }
    void TearDown() override { virt::removeAllDevices(); }

    std::shared_ptr<virt::VirtualBoard> add(const virt::BoardConfig& config = {}) {
        std::string error;
        auto board = virt::addVirtualBoard(config, &error);
        EXPECT_NE(board, nullptr) << error;
        return board;
    }
};

/// A board with a small picture, so that many frames are cheap to render.
inline virt::BoardConfig smallBoard(uint32_t width = 64, uint32_t height = 32) {
    virt::BoardConfig config;
    config.stream.width = width;
    config.stream.height = height;
    return config;
}

inline Config configFor(const virt::BoardConfig& board) {
    Config config;
    config.width = board.stream.width;
    config.height = board.stream.height;
    config.pixelBytes = board.stream.pixelBytes;
    config.pixelBits = static_cast<uint8_t>(8 * board.stream.pixelBytes);
    return config;
}

/// Matches frames against the board's pictures. Frames arrive in order but not all of them:
/// a full queue drops new frames, so each frame is looked for among the next `window`
/// pictures after the last one matched.
class PictureMatcher {
  public:
    explicit PictureMatcher(const virt::StreamConfig& stream, uint32_t window = 600)
        : stream_(stream), window_(window) {}

    bool matches(std::span<const uint8_t> bytes) {
        const uint32_t first = static_cast<uint32_t>(last_ + 1);
        for (uint32_t n = first; n < first + window_; ++n) {
            const std::vector<uint8_t>& expected = picture(n);
            if (bytes.size() == expected.size() &&
                std::equal(expected.begin(), expected.end(), bytes.begin())) {
                last_ = n;
                cache_.erase(cache_.begin(), cache_.lower_bound(n + 1));
                return true;
            }
        }
        return false;
    }

  private:
    const std::vector<uint8_t>& picture(uint32_t number) {
        auto it = cache_.find(number);
        if (it != cache_.end()) return it->second;
        std::vector<uint8_t>& out = cache_[number];
        virt::renderFrame(stream_, number, out);
        return out;
    }

    virt::StreamConfig stream_;
    uint32_t window_;
    int64_t last_ = -1;
    std::map<uint32_t, std::vector<uint8_t>> cache_;
};

/// Bytes of the board-controller writes to `reg`, in order (request 0xD7, device 0x46).
inline std::vector<uint8_t> controllerWrites(const virt::VirtualBoard& board, uint8_t reg) {
    std::vector<uint8_t> out;
    for (const virt::ControlRecord& r : board.controlRequests())
        if (r.setup.bRequest == 0xD7 && r.setup.wValue == 0x4600 && r.setup.wIndex == reg << 8 &&
            !r.data.empty())
            out.push_back(r.data[0]);
    return out;
}

/// What a camera's close leaves on its board: register 1 of the board controller set to 0x0F.
inline size_t closesSeen(const virt::VirtualBoard& board) {
    size_t n = 0;
    for (uint8_t value : controllerWrites(board, 1))
        if (value == 0x0F) ++n;
    return n;
}

inline size_t requestsWithCode(const virt::VirtualBoard& board, uint8_t code) {
    size_t n = 0;
    for (const virt::ControlRecord& r : board.controlRequests())
        if (r.setup.bRequest == code) ++n;
    return n;
}

}  // namespace vexo::cpptest
