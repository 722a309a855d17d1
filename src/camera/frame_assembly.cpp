#include "camera/frame_assembly.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "camera/board_controller.h"
#include "camera/frame_length.h"
#include "camera/jpeg_markers.h"
#include "driver/driver_service.h"

namespace vexo::camera {

namespace {

constexpr size_t kPacket = AssemblyState::kHeaderBlock;
static_assert(kPacket == kPacketBytes);
constexpr size_t kChunk = kChunkBytes;
constexpr size_t kChunkHeader = kChunkHeaderBytes;
constexpr uint16_t kNoFrameIndex = 0xFFFF;
// The chunk-framed JPEG start marker lies within the first 256 payload bytes...
constexpr size_t kJpegStartWindow = 256;
// ...and its end marker within the last 1025 bytes of the frame.
constexpr size_t kJpegEndWindow = 1024;

uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint64_t le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

bool isTrailer(const uint8_t* packet) {
    return std::memcmp(packet + kTrailerMarkerOffset, kTrailerMarker, sizeof kTrailerMarker) == 0;
}

void copyBytes(uint8_t* to, const uint8_t* from, size_t bytes) {
    if (bytes) std::memcpy(to, from, bytes);
}

// Marks an assembly call so that beginReconfiguration() can wait for it to end.
class AssemblyCall {
  public:
    explicit AssemblyCall(AssemblyState& state) : state_(state) {
        // Sequentially consistent on both sides: either this call sees reconfiguring,
        // or beginReconfiguration() sees this call and waits for it.
        state_.assembling.store(true, std::memory_order_seq_cst);
        admitted_ = !state_.reconfiguring.load(std::memory_order_seq_cst);
    }
    ~AssemblyCall() { state_.assembling.store(false, std::memory_order_release); }
    AssemblyCall(const AssemblyCall&) = delete;
    AssemblyCall& operator=(const AssemblyCall&) = delete;

    bool admitted() const { return admitted_; }

  private:
    AssemblyState& state_;
    bool admitted_;
};

// The work of one assembly call: the frame in progress is kept locally and written back
// once, and the slot being filled is looked up afresh after every advance.
class Assembler {
  public:
    Assembler(AssemblyState& state, FrameRing& ring, uint8_t& completed)
        : state_(state), ring_(ring), completed_(completed), collected_(ring.collectedBytes()) {
        completed_ = 0;
        // A frame in progress longer than its slot (the buffers were replaced under it)
        // is dropped rather than trusted as an offset.
        if (collected_ > capacity()) {
            collected_ = 0;
            error_ = USB_CAMERA_DATA_LEN_ERROR;
        }
        if (state_.transferDropped) {
            state_.transferDropped = false;
            state_.resync = true;
        }
        // Bytes went missing since the last call: what was collected is no frame's start
        // any more, and the frame that ends first has a hole.
        if (state_.resync) {
            collected_ = 0;
            state_.frameDamaged = true;
        }
    }

    ~Assembler() { ring_.setCollectedBytes(static_cast<uint32_t>(collected_)); }

    uint32_t finish() const { return error_ ? error_ : completed_; }

    uint32_t trailer(const uint8_t* data, size_t n);
    uint32_t chunks(const uint8_t* data, size_t n);

  private:
    bool jpeg() const { return formatModeValue(state_.config) == FORMAT_MODE_JPG; }
    bool forced() const { return state_.forceRead.load(std::memory_order_relaxed); }
    size_t capacity() const { return ring_.fillCapacity(); }
    // Most bytes a frame in progress may hold.
    size_t limit() const { return std::min<size_t>(state_.frameSize, capacity()); }
    uint8_t* slotData() { return ring_.fillSlot().imageData; }
    bool boardTimeValid() const;

    void fillRecord(uint64_t size);
    void queue(uint64_t size);
    void storeTrailerFrame(const uint8_t* runStart, size_t run, uint64_t w);
    void storeForcedTrailerFrame(const uint8_t* runStart, size_t run, uint64_t w);
    bool jpegTrailerRule(uint64_t w);
    void storeTail(const uint8_t* runStart, size_t bytes);
    bool followToggle(const uint8_t* chunk, size_t len);
    void storeChunkPayload(const uint8_t* payload, size_t bytes);
    bool endChunkFrame();

    AssemblyState& state_;
    FrameRing& ring_;
    uint8_t& completed_;
    uint64_t collected_;
    uint32_t error_ = 0;
    // Bytes before the start marker in the first chunk of a JPEG frame opened by this call.
    size_t skip_ = 0;
};

bool Assembler::boardTimeValid() const {
    const BoardCtrlVersion& v = state_.boardCtrlVersion;
    return firmwareHas32BitRegisters(state_.usbFirmwareVersion) &&
           controllerVersion(v.major, v.minor, v.patch) >= kFirstTimeStampVersion;
}

void Assembler::fillRecord(uint64_t size) {
    FrameData& slot = ring_.fillSlot();
    // The whole applied configuration, u32TransLvl included, so a reader sees what the
    // frame was taken with rather than whatever the slot held before.
    slot.cfg = state_.config;
    slot.cfg.u32Size = static_cast<uint32_t>(size);
}

void Assembler::queue(uint64_t size) {
    fillRecord(size);
    ring_.advance();
}

// A frame that passed the length and sequence checks.
void Assembler::storeTrailerFrame(const uint8_t* runStart, size_t run, uint64_t w) {
    const size_t cap = capacity();
    const size_t room = collected_ < cap ? cap - collected_ : 0;
    const size_t take = std::min(run, room);
    copyBytes(slotData() + collected_, runStart, take);

    if (w > cap) {
        // Only a JPEG frame can be longer than twice the frame size: it is cut to the
        // buffer and handled as a frame of the wrong length.
        error_ = USB_CAMERA_DATA_LEN_ERROR;
        if (forced()) queue(std::min<uint64_t>(collected_ + take, cap));
        return;
    }

    fillRecord(w);
    if (jpeg() && !jpegTrailerRule(w)) {
        error_ = USB_CAMERA_DATA_LACK_ERROR;
        return;
    }
    ring_.advance();
}

// A frame of the wrong length queued under forceRead: its first bytes, up to the frame
// size, in order.
void Assembler::storeForcedTrailerFrame(const uint8_t* runStart, size_t run, uint64_t w) {
    const uint64_t target = std::min<uint64_t>(w, limit());
    const size_t take =
        target > collected_ ? static_cast<size_t>(std::min<uint64_t>(target - collected_, run)) : 0;
    copyBytes(slotData() + collected_, runStart, take);
    queue(std::min<uint64_t>(collected_ + take, target));
}

// Removes the bytes before the start marker; the frame must also hold an end marker.
// u32Size stays the received length.
bool Assembler::jpegTrailerRule(uint64_t w) {
    uint8_t* bytes = slotData();
    const size_t len = static_cast<size_t>(w);
    if (len < 2 || bytes == nullptr) return false;
    const size_t start = jpegImageStart(bytes, len);
    if (start == kNoMarker) return false;
    if (start) std::memmove(bytes, bytes + start, len - start);
    return true;
}

// The bytes after the last trailer of the transfer: kept for the next one unless the
// frame has grown past the frame size.
void Assembler::storeTail(const uint8_t* runStart, size_t bytes) {
    const size_t lim = limit();
    // The last data packet of a frame is padded to 512 bytes before its trailer comes;
    // that padding is not growth past the frame size.
    const size_t padded =
        std::min<size_t>((size_t{state_.frameSize} + kPacket - 1) / kPacket * kPacket, capacity());
    if (collected_ + bytes <= padded) {
        copyBytes(slotData() + collected_, runStart, bytes);
        collected_ += bytes;
        return;
    }

    error_ = USB_CAMERA_DATA_LEN_ERROR;
    if (forced()) {
        // The frame cut at the frame size: the first bytes that still fit, in order.
        const size_t take =
            collected_ < lim ? static_cast<size_t>(std::min<uint64_t>(lim - collected_, bytes)) : 0;
        copyBytes(slotData() + collected_, runStart, take);
        ++completed_;
        queue(std::min<uint64_t>(collected_ + take, lim));
    }
    collected_ = 0;
}

uint32_t Assembler::trailer(const uint8_t* data, size_t n) {
    // Any packet may start the next frame: the damaged one ends at the next trailer.
    state_.resync = false;
    // A frame carries the host time until its trailer is seen (a frame cut short keeps it).
    if (collected_ == 0) ring_.fillSlot().u64Time = driver::hostTimeFileTime();

    const bool boardTime = boardTimeValid();
    size_t pos = 0;
    size_t run = 0;

    while (n - pos >= kPacket) {
        const uint8_t* packet = data + pos;
        if (!isTrailer(packet)) {
            run += kPacket;
            pos += kPacket;
            continue;
        }

        ring_.fillSlot().u64Time = boardTime ? le64(packet + kTrailerTimeOffset) : 0;

        // Valid bytes of the last data packet; more than a packet holds means all of it.
        const uint64_t valid = std::min<size_t>(be16(packet + kTrailerValidOffset), kPacket);
        const uint64_t held = collected_ + run;
        uint64_t w = held;
        if (valid != 0) w = held + valid >= kPacket ? held + valid - kPacket : 0;

        // The frame ends here, whatever happens to it; the next one starts whole.
        const bool damaged = state_.frameDamaged;
        state_.frameDamaged = false;
        if (packet[kTrailerDiscardOffset] != 0) {
            collected_ = 0;
            run = 0;
            pos += kPacket;
            continue;
        }

        const uint16_t index = be16(packet + kTrailerIndexOffset);
        const uint8_t* runStart = packet - run;
        ++completed_;
        if (damaged || !frameLengthAccepted(state_.config, w)) {
            error_ = USB_CAMERA_DATA_LEN_ERROR;
            if (forced()) storeForcedTrailerFrame(runStart, run, w);
        } else {
            const uint16_t last = state_.lastFrameIndex;
            const bool inSequence = last == kNoFrameIndex ? index == 0 : index == last + 1;
            if (!inSequence && !state_.triggerMode.load(std::memory_order_relaxed))
                error_ = USB_CAMERA_FRAME_INDEX_ERROR;
            else
                storeTrailerFrame(runStart, run, w);
        }

        state_.lastFrameIndex = index;
        collected_ = 0;
        run = 0;
        pos += kPacket;
    }

    storeTail(data + pos - run, run + (n - pos));
    return finish();
}

uint32_t Assembler::chunks(const uint8_t* data, size_t n) {
    for (size_t off = 0; off < n && n - off > kChunkHeader; off += kChunk) {
        const uint8_t* chunk = data + off;
        const size_t len = std::min(n - off, kChunk);
        if (chunk[0] != kChunkMagic) break;
        if (!followToggle(chunk, len)) return USB_CAMERA_DATA_LACK_ERROR;
        storeChunkPayload(chunk + kChunkHeader, len - kChunkHeader);
        if ((chunk[1] & kChunkEndBit) && !endChunkFrame()) return USB_CAMERA_DATA_LACK_ERROR;
    }
    return finish();
}

// A chunk whose toggle differs from the frame's opens the next frame. False when that
// frame is a JPEG frame without a start marker near its start.
bool Assembler::followToggle(const uint8_t* chunk, size_t len) {
    const uint8_t toggle = chunk[1] & kChunkToggleBit;
    if (state_.resync) {
        // Whether this chunk opens a frame or lies within one whose start was lost, its
        // toggle is the damaged frame's own: no new frame begins here.
        state_.resync = false;
        state_.frameToggle = toggle;
    }
    if (toggle == state_.frameToggle) {
        // A frame that opens with the toggle already held (the first frame after the
        // camera was made, whose board toggle happens to match, or a frame whose board
        // repeated its toggle) carries its own first chunk's time, not the slot's last.
        if (collected_ == 0) ring_.fillSlot().u64Time = le64(chunk + kChunkTimeOffset);
        return true;
    }

    state_.frameToggle = toggle;
    if (collected_ != 0) {
        // The previous frame never saw its end.
        if (forced()) {
            ++completed_;
            queue(collected_);
        }
        collected_ = 0;
        error_ = USB_CAMERA_DATA_LEN_ERROR;
    }
    state_.frameDamaged = false;
    ring_.fillSlot().u64Time = le64(chunk + kChunkTimeOffset);
    if (!jpeg()) return true;
    const size_t window = std::min(len, kChunkHeader + kJpegStartWindow + 1);
    const size_t start = findMarker(chunk, kChunkHeader, window, kJpegStart);
    if (start == kNoMarker) return false;
    skip_ = start - kChunkHeader;
    return true;
}

void Assembler::storeChunkPayload(const uint8_t* payload, size_t bytes) {
    if (collected_ + bytes > limit()) {
        error_ = USB_CAMERA_DATA_LEN_ERROR;
        state_.frameDamaged = true;
    } else if (collected_ == 0 && jpeg()) {
        // The skip belongs to the chunk that opened the frame; a later chunk that arrives
        // with nothing collected may be shorter than it.
        const size_t from = std::min(skip_, bytes);
        copyBytes(slotData(), payload + from, bytes - from);
        collected_ = bytes - from;
    } else {
        copyBytes(slotData() + collected_, payload, bytes);
        collected_ += bytes;
    }
}

// The chunk that ends a frame: the frame is queued, dropped, or (JPEG frames without an
// end marker near their end) false is returned and the bytes stay collected.
bool Assembler::endChunkFrame() {
    // A frame that lost bytes (a chunk cut at the frame size, or bytes dropped around a
    // reconfiguration) is damaged whatever its length adds up to: it is dropped, or
    // queued as it is under forceRead.
    const bool damaged = state_.frameDamaged;
    state_.frameDamaged = false;
    if (damaged || !frameLengthAccepted(state_.config, collected_)) {
        error_ = USB_CAMERA_DATA_LEN_ERROR;
        if (forced()) {
            ++completed_;
            queue(collected_);
        }
        collected_ = 0;
        return true;
    }

    if (jpeg() && collected_ >= kJpegEndWindow + 2) {
        // The frame ends after its last end marker within the window.
        const size_t end =
            findLastMarker(slotData(), collected_ - 1 - kJpegEndWindow, collected_, kJpegEnd);
        if (end == kNoMarker) return false;
        collected_ = end + 2;
    }
    ++completed_;
    queue(collected_);
    collected_ = 0;
    return true;
}

// Runs `assemble` unless a reconfiguration holds assembly off; the transfer is dropped then.
template <typename Assemble>
uint32_t admittedCall(AssemblyState& state, uint8_t& completed, Assemble assemble) {
    completed = 0;
    AssemblyCall call(state);
    if (!call.admitted()) {
        dropTransfer(state);
        return 0;
    }
    return assemble();
}

}  // namespace

uint32_t assembleTrailerFrames(AssemblyState& state, FrameRing& ring, const uint8_t* data, size_t n,
                               uint8_t& completed) {
    return admittedCall(state, completed, [&] {
        Assembler assembler(state, ring, completed);
        return assembler.trailer(data, data ? n : 0);
    });
}

uint32_t assembleChunkFrames(AssemblyState& state, FrameRing& ring, const uint8_t* data, size_t n,
                             uint8_t& completed) {
    return admittedCall(state, completed, [&]() -> uint32_t {
        if (data == nullptr || n <= kChunkHeader) return 0;
        Assembler assembler(state, ring, completed);
        return assembler.chunks(data, n);
    });
}

void beginReconfiguration(AssemblyState& state) {
    state.reconfiguring.store(true, std::memory_order_seq_cst);
    while (state.assembling.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

void endReconfiguration(AssemblyState& state) {
    state.reconfiguring.store(false, std::memory_order_seq_cst);
}

void dropTransfer(AssemblyState& state) {
    state.transferDropped = true;
}

void startCapture(AssemblyState& state) {
    state.transferDropped = false;
    state.resync = false;
}

}  // namespace vexo::camera
