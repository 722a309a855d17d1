#include "camera/support/stream_builder.h"

#include <algorithm>

namespace vexo::camera::test {

namespace {

constexpr size_t kPacket = 512;

void putLe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} /* namespace */

TrailerStreamBuilder& TrailerStreamBuilder::packets(const Bytes& bytes) {
    const size_t padded = (bytes.size() + kPacket - 1) / kPacket * kPacket;
    const size_t at = bytes_.size();
    bytes_.resize(at + padded, 0x5A);
    std::copy(bytes.begin(), bytes.end(), bytes_.begin() + at);
    return *this;
}

TrailerStreamBuilder& TrailerStreamBuilder::trailer(const Trailer& t, uint16_t validBytes) {
    uint8_t packet[kPacket] = {};
    packet[4] = 0x05;
    packet[5] = 0x06;
    packet[6] = 0x07;
    packet[7] = 0x08;
    packet[8] = 0x09;
    packet[9] = 0xAA;
    packet[11] = t.discard;
    packet[14] = static_cast<uint8_t>(t.frameIndex >> 8);
    packet[15] = static_cast<uint8_t>(t.frameIndex);
    putLe64(packet + 16, t.boardTime);
    const uint16_t v = t.validBytes.value_or(validBytes);
    packet[510] = static_cast<uint8_t>(v >> 8);
    packet[511] = static_cast<uint8_t>(v);
    bytes_.insert(bytes_.end(), packet, packet + kPacket);
    return *this;
}

TrailerStreamBuilder& TrailerStreamBuilder::frame(const Bytes& frame, Trailer t) {
    packets(frame);
    return trailer(t, static_cast<uint16_t>(frame.size() % kPacket));
}

TrailerStreamBuilder& TrailerStreamBuilder::raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

ChunkStreamBuilder& ChunkStreamBuilder::chunk(uint8_t magic, uint8_t flags, uint64_t boardTime,
                                              const Bytes& payload) {
    Bytes c(16 + payload.size(), 0);
    c[0] = magic;
    c[1] = flags;
    putLe64(c.data() + 8, boardTime);
    std::copy(payload.begin(), payload.end(), c.begin() + 16);
    chunks_.push_back(std::move(c));
    return *this;
}

ChunkStreamBuilder& ChunkStreamBuilder::frame(const Bytes& frame, uint64_t boardTime, bool end) {
    size_t off = 0;
    do {
        const size_t m = std::min(kPayload, frame.size() - off);
        const bool last = off + m == frame.size();
        const uint8_t flags = static_cast<uint8_t>(toggle_ | (last && end ? 0x02 : 0x00));
        chunk(0x0C, flags, boardTime,
              Bytes(frame.begin() + static_cast<ptrdiff_t>(off),
                    frame.begin() + static_cast<ptrdiff_t>(off + m)));
        off += m;
    } while (off < frame.size());
    toggle_ ^= 1;
    return *this;
}

std::vector<Bytes> ChunkStreamBuilder::transfers(size_t transferLength) const {
    std::vector<Bytes> out;
    Bytes current;
    for (const Bytes& c : chunks_) {
        current.insert(current.end(), c.begin(), c.end());
        if (c.size() < kChunk || current.size() >= transferLength)
            out.push_back(std::move(current)), current.clear();
    }
    if (!current.empty()) out.push_back(std::move(current));
    return out;
}

std::vector<Bytes> splitTransfers(const Bytes& stream, size_t length) {
    std::vector<Bytes> out;
    for (size_t off = 0; off < stream.size(); off += length) {
        const size_t end = std::min(stream.size(), off + length);
        out.emplace_back(stream.begin() + static_cast<ptrdiff_t>(off),
                         stream.begin() + static_cast<ptrdiff_t>(end));
    }
    return out;
}

Bytes patternBytes(size_t size, uint32_t seed) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x % 255);
    }
    return out;
}

Bytes jpegBytes(size_t size, uint32_t seed, size_t junk, size_t after) {
    Bytes out = patternBytes(size, seed);
    out[junk] = 0xFF;
    out[junk + 1] = 0xD8;
    out[size - after - 2] = 0xFF;
    out[size - after - 1] = 0xD9;
    return out;
}

} /* namespace vexo::camera::test */
