#include "driver/virtual/board_stream.h"

#include <algorithm>
#include <cstring>

namespace vexo::driver::virt {

namespace {

void putBigEndian16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void putLittleEndian64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

void StreamFramer::start(const WireFrame& frame) {
    frame_ = frame;
    pos_ = 0;
    inFrame_ = true;
    firstChunk_ = true;
    if (!frame.keepToggle) toggle_ = !toggle_;
}

StreamFramer::Fill StreamFramer::fill(uint8_t* dst, uint32_t room) {
    if (!inFrame_ || room < minimumRead()) return {0, true, false};
    return trailer_ ? fillTrailer(dst, room) : fillChunks(dst, room);
}

void StreamFramer::copyPayload(uint8_t* dst, size_t n) {
    size_t fromData = pos_ < frame_.dataLength ? std::min(n, frame_.dataLength - pos_) : 0;
    if (fromData) std::memcpy(dst, frame_.data + pos_, fromData);
    if (n > fromData) std::memset(dst + fromData, 0, n - fromData);
    // The stamp goes over the bytes the picture would have had there; the picture itself is
    // shared by every frame of that number and stays untouched.
    if (frame_.stamp)
        for (size_t i = pos_; i < 4 && i < pos_ + fromData; ++i)
            dst[i - pos_] = static_cast<uint8_t>(*frame_.stamp >> (8 * i));
    pos_ += n;
}

StreamFramer::Fill StreamFramer::fillTrailer(uint8_t* dst, uint32_t room) {
    const uint32_t usable = room - room % kPacketBytes;
    Fill out;
    if (pos_ < total()) {
        size_t n = std::min<size_t>(total() - pos_, usable);
        copyPayload(dst, n);
        size_t padded = (n + kPacketBytes - 1) / kPacketBytes * kPacketBytes;
        std::memset(dst + n, 0, padded - n);
        out.length = static_cast<uint32_t>(padded);
        if (out.length == usable) {
            out.endRead = true;
            return out;
        }
    }
    uint8_t* t = dst + out.length;
    std::memset(t, 0, kPacketBytes);
    std::memcpy(t + board::kTrailerMarkerOffset, board::kTrailerMarker,
                sizeof board::kTrailerMarker);
    // A corrupt trailer's marker ends in another byte, so the host does not know it as one.
    if (frame_.corrupt) t[board::kTrailerMarkerOffset + sizeof board::kTrailerMarker - 1] = 0x55;
    t[board::kTrailerDiscardOffset] = frame_.discard ? 1 : 0;
    putBigEndian16(t + board::kTrailerIndexOffset, frame_.index);
    putLittleEndian64(t + board::kTrailerTimeOffset, frame_.timestamp);
    putBigEndian16(t + board::kTrailerValidOffset, static_cast<uint16_t>(total() % kPacketBytes));
    out.length += kPacketBytes;
    out.endRead = true;
    out.frameDone = true;
    inFrame_ = false;
    return out;
}

StreamFramer::Fill StreamFramer::fillChunks(uint8_t* dst, uint32_t room) {
    Fill out;
    while (room - out.length > kChunkHeaderBytes) {
        uint32_t slot = std::min(kChunkBytes, room - out.length);
        size_t m = std::min<size_t>(slot - kChunkHeaderBytes, total() - pos_);
        uint8_t* c = dst + out.length;
        bool last = pos_ + m == total();
        std::memset(c, 0, kChunkHeaderBytes);
        c[0] = frame_.corrupt && firstChunk_ ? 0x00 : board::kChunkMagic;
        c[1] = static_cast<uint8_t>((toggle_ ? board::kChunkToggleBit : 0) |
                                    (last ? board::kChunkEndBit : 0));
        putLittleEndian64(c + board::kChunkTimeOffset, frame_.timestamp);
        copyPayload(c + kChunkHeaderBytes, m);
        firstChunk_ = false;
        uint32_t length = kChunkHeaderBytes + static_cast<uint32_t>(m);
        out.length += length;
        if (last) {
            inFrame_ = false;
            out.frameDone = true;
            out.endRead = length < slot || room - out.length <= kChunkHeaderBytes;
            return out;
        }
    }
    out.endRead = true;
    return out;
}

}  // namespace vexo::driver::virt
