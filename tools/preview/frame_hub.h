// The two hand-overs between the preview's threads, built so that no side ever waits for the
// other and nothing is allocated per frame:
//
//  capture thread --RawExchange--> encoder thread --FrameHub--> HTTP client threads
//
// RawExchange is a triple buffer: the capture copies each frame into its own slot and swaps it
// with the middle one; the encoder swaps the middle one out when it is fresh. Frames the encoder
// had no time for are overwritten, never queued.
//
// FrameHub keeps a small pool of encoded frames. The encoder fills a slot that no client holds
// and publishes it; clients take a counted reference to the newest one and send it at their
// own pace. A slow client holds one slot and sees fewer frames; it never holds up the encoder.
//
// Threading: RawExchange has one writer thread and one reader thread. FrameHub has one
// publishing thread and any number of reading threads.
#pragma once

#include <vexo/camera.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/mutex.h"

namespace vexo::tools::preview {

using SteadyClock = std::chrono::steady_clock;

/// What is known of a frame besides its bytes.
struct FrameMeta {
    uint64_t number = 0;     ///< frames taken from the queue since the board was opened, from 1
    uint64_t boardTime = 0;  ///< the board's time stamp (FrameData::u64Time)
    CameraConfig cfg{};      ///< the frame's configuration, u32Size = its byte count
    uint32_t boardGeneration = 0;      ///< changes when another board is opened
    SteadyClock::time_point queuedAt;  ///< when the capture took it from the library's queue
};

struct RawSlot {
    FrameMeta meta;
    std::vector<uint8_t> bytes;  ///< capacity fixed by RawExchange::resize
    size_t size = 0;
};

class RawExchange {
  public:
    /// Sizes all three slots for frames of up to `maxBytes`. Only while neither side runs.
    void resize(size_t maxBytes);
    size_t capacity() const { return capacity_; }

    /// Writer: the slot to fill, then publish().
    RawSlot& writeSlot() { return slots_[back_]; }
    void publish();

    /// Reader: the newest published slot when one arrived since the last call, else null.
    /// The slot stays the reader's until its next call.
    const RawSlot* takeFresh();

    /// Counts publications; waiters block on it with std::atomic::wait.
    std::atomic<uint32_t>& sequence() { return sequence_; }

  private:
    static constexpr uint8_t kFresh = 4;
    std::array<RawSlot, 3> slots_;
    size_t capacity_ = 0;
    uint8_t back_ = 0;                // writer's slot
    std::atomic<uint8_t> middle_{1};  // slot index | kFresh
    uint8_t front_ = 2;               // reader's slot
    std::atomic<uint32_t> sequence_{0};
};

/// What the ISP did to a frame (when the camera file has a [colour] section).
struct IspReport {
    bool used = false;                      ///< the picture went through the ISP
    bool autoWhiteBalance = false;          ///< gains found in the frame (else the file's)
    std::array<double, 3> gains{1, 1, 1};   ///< white-balance multipliers of R, G, B
    double level = 0;                       ///< exposure level measured (linear, 0..1 above black)
    double target = 0;                      ///< the level auto exposure aims at
    bool autoExposure = false;              ///< auto exposure drives exposure and analogue_gain
    bool settled = false;                   ///< within 1/6 stop of the target
    double exposure = 0, analogueGain = 0;  ///< the controls after auto exposure's last step
    unsigned adjustments = 0;               ///< steps auto exposure made since the ISP started
};

/// The set a --sync picture shows.
struct SyncReport {
    bool used = false;      ///< the picture is a set of several boards
    uint64_t set = 0;       ///< the set's index
    bool complete = false;  ///< every board's frame is in it
    int64_t skewUs = 0;     ///< largest difference of its frames' host-aligned times
    uint64_t present = 0;   ///< bit b: board b's frame is in it
};

/// One encoded frame as the clients see it.
struct EncodedFrame {
    FrameMeta meta;
    std::vector<uint8_t> jpeg;  ///< the JPEG bytes are jpeg[0, jpegSize)
    size_t jpegSize = 0;
    std::vector<uint8_t> raw;  ///< the frame as received, raw[0, rawSize), for snapshots
    size_t rawSize = 0;
    unsigned channels = 3;  ///< histogram channels: 1 (grey) or 3 (R, G, B)
    std::array<std::array<uint32_t, 256>, 3> histogram{};
    RawMode bayer = RAW_RG;
    IspReport isp;
    SyncReport sync;
    SteadyClock::time_point encodedAt;

    std::span<const uint8_t> jpegBytes() const { return {jpeg.data(), jpegSize}; }
    std::span<const uint8_t> rawBytes() const { return {raw.data(), rawSize}; }
};

class FrameHub;

/// A counted reference to a published frame; the frame stays unchanged while it is held.
class FrameRef {
  public:
    FrameRef() = default;
    ~FrameRef() { reset(); }
    FrameRef(FrameRef&& other) noexcept : slot_(other.slot_) { other.slot_ = nullptr; }
    FrameRef& operator=(FrameRef&& other) noexcept;
    FrameRef(const FrameRef&) = delete;
    FrameRef& operator=(const FrameRef&) = delete;

    explicit operator bool() const { return slot_ != nullptr; }
    const EncodedFrame& operator*() const;
    const EncodedFrame* operator->() const;
    void reset();

  private:
    friend class FrameHub;
    struct Slot;
    explicit FrameRef(Slot* slot) : slot_(slot) {}
    Slot* slot_ = nullptr;
};

class FrameHub {
  public:
    /// `readers`: how many clients may hold a frame at once; the pool has two more slots, so
    /// the encoder always finds a free one.
    explicit FrameHub(unsigned readers);
    ~FrameHub();

    /// Encoder: a slot no one holds, to fill and publish; never null.
    EncodedFrame& beginFrame();
    /// Encoder: publishes the slot from beginFrame() and wakes waiting clients.
    void publish();

    /// The newest frame; empty before the first.
    FrameRef latest() const;
    /// The newest frame whose number differs from `after`, waiting up to `timeout` for one;
    /// empty when none came (or after close()).
    FrameRef next(uint64_t after, std::chrono::milliseconds timeout) const;
    /// Wakes every waiter; next() returns at once from then on.
    void close();
    /// Frames published so far.
    uint64_t published() const;

  private:
    friend class FrameRef;
    std::vector<std::unique_ptr<FrameRef::Slot>> slots_;
    mutable Mutex mutex_;
    mutable std::condition_variable changed_;
    FrameRef::Slot* filling_ VEXO_GUARDED_BY(mutex_) = nullptr;
    FrameRef::Slot* newest_ VEXO_GUARDED_BY(mutex_) = nullptr;
    uint64_t published_ VEXO_GUARDED_BY(mutex_) = 0;
    bool closed_ VEXO_GUARDED_BY(mutex_) = false;
};

}  // namespace vexo::tools::preview
