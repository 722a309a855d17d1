#include "board/support/stream_decoder.h"

namespace vexo::test {

namespace {
uint64_t le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
}  // namespace

bool TrailerDecoder::feed(const std::vector<uint8_t>& read) {
    if (read.size() % 512 != 0) {
        why_ = "read of " + std::to_string(read.size()) + " bytes";
        return false;
    }
    for (size_t off = 0; off < read.size(); off += 512) {
        const uint8_t* p = read.data() + off;
        bool trailer =
            p[4] == 5 && p[5] == 6 && p[6] == 7 && p[7] == 8 && p[8] == 9 && p[9] == 0xAA;
        if (!trailer) {
            pending_.insert(pending_.end(), p, p + 512);
            continue;
        }
        if (off + 512 != read.size()) {
            why_ = "the read goes on after a trailer";
            return false;
        }
        DecodedFrame f;
        unsigned valid = p[510] << 8 | p[511];
        if (valid != 0 && pending_.size() >= 512) pending_.resize(pending_.size() - 512 + valid);
        f.bytes = std::move(pending_);
        pending_.clear();
        f.index = static_cast<uint16_t>(p[14] << 8 | p[15]);
        f.timestamp = le64(p + 16);
        f.discarded = p[11] != 0;
        frames.push_back(std::move(f));
    }
    return true;
}

bool ChunkDecoder::feed(const std::vector<uint8_t>& read) {
    size_t off = 0;
    while (read.size() - off > 16) {
        size_t len = std::min<size_t>(16384, read.size() - off);
        const uint8_t* c = read.data() + off;
        if (c[0] != 0x0C) {
            ++badHeaders;
            return true;
        }
        bool toggle = c[1] & 1, end = c[1] & 2;
        if (current_ && toggle != current_->toggle) {
            why_ = "the toggle changed inside a frame";
            return false;
        }
        if (!current_) {
            current_ = DecodedFrame{};
            current_->timestamp = le64(c + 8);
            current_->toggle = toggle;
            current_->toggleFlipped = !lastToggle_ || *lastToggle_ != toggle;
        }
        lastToggle_ = toggle;
        current_->bytes.insert(current_->bytes.end(), c + 16, c + len);
        off += len;
        if (end) {
            frames.push_back(std::move(*current_));
            current_.reset();
            if (len < 16384 && off != read.size()) {
                why_ = "a short chunk did not end its read";
                return false;
            }
        } else if (len < 16384 && off != read.size()) {
            why_ = "a short chunk in the middle of a frame";
            return false;
        }
    }
    if (off != read.size()) {
        why_ = "the read ends with a piece of a chunk";
        return false;
    }
    return true;
}

}  // namespace vexo::test
