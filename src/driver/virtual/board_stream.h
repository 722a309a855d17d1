// Framing of the virtual board's image stream: how frames are cut into bulk reads.
//
// Trailer-marked framing (USB 2 boards and product 0x03F2): a frame's bytes go in 512-byte
// packets, the last one zero-padded, followed by one trailer packet:
//   bytes 4-8 = 05 06 07 08 09, byte 9 = 0xAA, byte 11 = 0 (non-zero: the host drops the frame),
//   bytes 14-15 = frame index (big-endian), bytes 16-23 = board time stamp (little-endian),
//   bytes 510-511 = valid bytes of the last data packet (big-endian; 0 = all 512).
// A read ends when it is full or right after a trailer (the board sends a short packet there),
// so every read holds a whole number of packets.
//
// Chunk-header framing (other USB 3 products): each chunk is a 16-byte header
//   byte 0 = 0x0C, byte 1 bit 0 = toggle (flips at the first chunk of every frame),
//   byte 1 bit 1 = end of frame (on the frame's last chunk), bytes 8-15 = time stamp (LE)
// followed by payload. A chunk is min(16384, read length) bytes, so a chunk never spans two
// reads: with the 8192-byte reads the host uses for JPEG, every read is one chunk with its own
// header. A frame's last chunk is shorter when its payload runs out, and such a short chunk
// ends the read; a read therefore always starts at a chunk boundary.
//
// Threading: a StreamFramer is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/board_protocol.h"

namespace vexo::driver::virt {

/// One frame as it goes on the wire.
struct WireFrame {
    const uint8_t* data = nullptr;  ///< picture bytes
    size_t dataLength = 0;          ///< picture bytes sent (less than the picture when cut)
    size_t extraLength = 0;         ///< zero bytes sent after them (a long frame)
    uint16_t index = 0;             ///< trailer frame index
    uint64_t timestamp = 0;         ///< board time at the frame's start
    bool discard = false;           ///< trailer byte 11 set
    bool corrupt = false;           ///< damaged trailer marker / first chunk header
    bool keepToggle = false;        ///< chunk framing: do not flip the toggle for this frame
    /// Sent little-endian in place of the picture's first 4 bytes ("stamp").
    std::optional<uint32_t> stamp;
};

using board::kChunkBytes;
using board::kChunkHeaderBytes;
using board::kPacketBytes;

class StreamFramer {
  public:
    explicit StreamFramer(bool trailer) : trailer_(trailer) {}

    bool trailer() const { return trailer_; }
    /// Smallest read that can carry anything; smaller reads overflow.
    uint32_t minimumRead() const { return trailer_ ? kPacketBytes : kChunkHeaderBytes + 1; }

    /// Begins sending `frame`; its data must stay valid until the frame is done or dropped.
    void start(const WireFrame& frame);
    bool inFrame() const { return inFrame_; }
    /// Drops the rest of the frame in progress (the board stopped streaming).
    void drop() { inFrame_ = false; }

    struct Fill {
        uint32_t length = 0;     ///< bytes written
        bool endRead = false;    ///< the read ends here (full, or a short packet/chunk)
        bool frameDone = false;  ///< the frame's last byte went out
    };
    /// Writes the next bytes of the frame in progress into dst[0, room); `room` is what is
    /// left of the read, and dst its position within it.
    Fill fill(uint8_t* dst, uint32_t room);

  private:
    Fill fillTrailer(uint8_t* dst, uint32_t room);
    Fill fillChunks(uint8_t* dst, uint32_t room);
    void copyPayload(uint8_t* dst, size_t n);
    size_t total() const { return frame_.dataLength + frame_.extraLength; }

    bool trailer_;
    bool inFrame_ = false;
    bool toggle_ = false;
    bool firstChunk_ = false;
    WireFrame frame_;
    size_t pos_ = 0;
};

}  // namespace vexo::driver::virt
