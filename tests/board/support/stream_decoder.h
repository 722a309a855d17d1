// An independent reading of the board's two stream framings, written from the wire format
// alone, so that tests do not check the board's framing against itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexo::test {

struct DecodedFrame {
    std::vector<uint8_t> bytes;
    uint64_t timestamp = 0;
    uint16_t index = 0;          // trailer framing
    bool discarded = false;      // trailer byte 11 was set
    bool toggle = false;         // chunk framing
    bool toggleFlipped = false;  // chunk framing: the toggle differs from the previous frame's
};

/// Trailer-marked framing: feed whole reads; frames come out at each trailer packet.
class TrailerDecoder {
  public:
    /// False (with why()) when a read breaks the framing: a length that is not a multiple
    /// of 512, or a read that goes on after a trailer packet.
    bool feed(const std::vector<uint8_t>& read);
    std::vector<DecodedFrame> frames;
    const std::string& why() const { return why_; }

  private:
    std::vector<uint8_t> pending_;
    std::string why_;
};

/// Chunk-header framing: every read starts with a chunk; chunks are min(16384, read) bytes.
class ChunkDecoder {
  public:
    bool feed(const std::vector<uint8_t>& read);
    std::vector<DecodedFrame> frames;
    /// Chunks whose first byte was not 0x0C (the rest of their read is skipped).
    int badHeaders = 0;
    const std::string& why() const { return why_; }

  private:
    std::optional<DecodedFrame> current_;
    std::optional<bool> lastToggle_;
    std::string why_;
};

}  // namespace vexo::test
