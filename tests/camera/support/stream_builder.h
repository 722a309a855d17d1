#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vexo::camera::test {

using Bytes = std::vector<uint8_t>;

/* Trailer packet fields a test may choose, set in a chain: Trailer().index(3).time(t). */
struct Trailer {
    uint16_t frameIndex = 0;
    uint64_t boardTime = 0;
    /* Byte 11: anything but 0 discards the frame in progress. */
    uint8_t discard = 0;
    /* Bytes 510-511; by default the valid bytes of the frame's last data packet. */
    std::optional<uint16_t> validBytes;

    Trailer& index(uint16_t i) { return frameIndex = i, *this; }
    Trailer& time(uint64_t t) { return boardTime = t, *this; }
    Trailer& discarded(uint8_t byte11 = 1) { return discard = byte11, *this; }
    Trailer& valid(uint16_t v) { return validBytes = v, *this; }
};

/* Builds a trailer-marked stream: each frame as 512-byte data packets (the last one
 * padded) followed by its trailer packet. */
class TrailerStreamBuilder {
  public:
    /* The packets of @frame and its trailer. */
    TrailerStreamBuilder& frame(const Bytes& frame, Trailer trailer = {});
    /* Only the data packets of @bytes (padded to whole packets), no trailer. */
    TrailerStreamBuilder& packets(const Bytes& bytes);
    /* A trailer packet on its own. */
    TrailerStreamBuilder& trailer(const Trailer& trailer, uint16_t validBytes = 0);
    /* Raw bytes appended as they are (for a short tail). */
    TrailerStreamBuilder& raw(const Bytes& bytes);

    const Bytes& bytes() const { return bytes_; }

  private:
    Bytes bytes_;
};

/* Builds a chunk-header stream: 16384-byte chunks with a 16-byte header each; every new
 * frame flips the toggle bit, its last chunk carries the end bit and ends its transfer. */
class ChunkStreamBuilder {
  public:
    static constexpr size_t kChunk = 16384;
    static constexpr size_t kPayload = kChunk - 16;

    /* The chunks of @frame, stamped @boardTime; without @end the last chunk lacks the end
     * bit. */
    ChunkStreamBuilder& frame(const Bytes& frame, uint64_t boardTime, bool end = true);
    /* One chunk with the given header bytes 0 and 1 and @payload. */
    ChunkStreamBuilder& chunk(uint8_t magic, uint8_t flags, uint64_t boardTime,
                              const Bytes& payload);

    /* The chunks packed into transfers of up to @transferLength bytes (a multiple of 16384);
     * a chunk shorter than 16384 bytes ends its transfer, as a short packet does. */
    std::vector<Bytes> transfers(size_t transferLength = 524288) const;
    /* Toggle bit the next frame will carry. */
    uint8_t nextToggle() const { return toggle_; }
    void setNextToggle(uint8_t toggle) { toggle_ = toggle & 1; }

  private:
    std::vector<Bytes> chunks_;
    uint8_t toggle_ = 1;
};

/* Cuts @stream into transfers of @length bytes (the last may be shorter). */
std::vector<Bytes> splitTransfers(const Bytes& stream, size_t length);

/* @size bytes of pseudo-random content from @seed, free of 0xFF so that no JPEG marker or
 * trailer magic appears by chance. */
Bytes patternBytes(size_t size, uint32_t seed);

/* A JPEG-like frame: @junk bytes, FF D8, body, FF D9, padded with @after bytes; @size is
 * the whole length. Its start marker is at @junk and its end marker at
 * @size - @after - 2. */
Bytes jpegBytes(size_t size, uint32_t seed, size_t junk = 0, size_t after = 0);

} /* namespace vexo::camera::test */
