/*
 * Fault soak: captures from virtual boards of both framings while faults of every kind the
 * board can show are injected at random, and checks what the camera engine hands out.
 *
 *   fault_soak [--frames N] [--seed S] [--boards trailer|chunk|both] [--window W]
 *              [--force-read]
 *
 * --force-read turns the camera's force read on, so frames of a wrong length are handed
 * out: a self-check that the soak notices damaged frames (the run must fail).
 *
 * Checks, each a failure (exit status 1) when broken:
 *  - every frame handed out by readImage() is byte for byte the picture the board drew for
 *    some frame number after the previous frame's (renderFrame()), with the record's size
 *    and configuration (force read stays off, so a damaged frame must never come out);
 *  - frames that went missing between two frames handed out were reported: a status code
 *    came back from captureImage() since the previous frame, or each missing frame carried a
 *    fault whose loss the board protocol makes silent (a discarded trailer, a damaged chunk
 *    header), and every missing frame lies near an injected fault;
 *  - capture ends only after an unplug; an unplugged board cannot be opened; a fresh board
 *    opens and captures;
 *  - memory is flat: the highest VmRSS sample after warm-up exceeds the highest before by
 *    less than the margin (not checked under a sanitizer, whose quarantine grows by design);
 *  - no allocation inside captureImage()/readImage()/del() once a capture has warmed up
 *    (counted in builds without sanitizers, which replace operator new themselves).
 * Crashes, sanitizer findings and leaks end the program through the sanitizer runtime.
 *
 * At the end it prints the counts per fault kind and per status code.
 */
#include <vexo/camera.h>
#include <vexo/status.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "camera/support/engine_fixture.h"
#include "camera/zu_usb_camera_lib.h"
#include "common/allocation_counter.h"
#include "driver/virtual/virtual_board.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SOAK_SANITIZED 1
#endif
#endif

/* Allocations are counted by common/allocation_counter (plain builds only). */

namespace {

namespace virt = vexo::driver::virt;
using vexo::camera::ZuUsbCameraLib;
using vexo::camera::test::configFor;

/* The fault kinds the soak injects: the board's nine, with the stall split into a pause the
 * capture rides out and one that outlasts the capture's wait for a read. */
enum Kind : int {
    kStallShort,
    kStallTimeout,
    kShortFrame,
    kLongFrame,
    kSkipIndex,
    kRepeatIndex,
    kDiscard,
    kCorruptHeader,
    kControlFailB0,
    kControlFailB1,
    kUnplugFault,
    kUnplugNow,
    kKinds
};

const char* kindName(int k) {
    static const char* names[kKinds] = {"stall (short)",  "stall (time-out)", "shortFrame",
                                        "longFrame",      "skipIndex",        "repeatIndex",
                                        "discard",        "corruptHeader",    "controlFail B0",
                                        "controlFail B1", "unplug (fault)",   "unplug (call)"};
    return names[k];
}

struct Options {
    uint64_t frames = 3000;
    uint64_t seed = 20261207;
    bool trailer = true;
    bool chunk = true;
    uint32_t window = 256;
    /* Self-check of the soak: damaged frames are handed out, so the run must fail. */
    bool forceRead = false;
};

struct Shape {
    uint32_t width, height;
    uint8_t pixelBytes;
    virt::PixelFormat format;
};

/* Small pictures keep the soak quick; 320x240 spans several chunks and many packets. */
const Shape kShapes[] = {
    {64, 32, 1, virt::PixelFormat::Raw},   {64, 32, 2, virt::PixelFormat::Raw},
    {96, 40, 1, virt::PixelFormat::Mon},   {64, 48, 1, virt::PixelFormat::Yuv},
    {80, 32, 1, virt::PixelFormat::Rgb},   {64, 32, 1, virt::PixelFormat::RawD},
    {160, 120, 1, virt::PixelFormat::Jpg}, {320, 240, 1, virt::PixelFormat::Raw},
    {128, 96, 1, virt::PixelFormat::MonD},
};

uint64_t rssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

struct Injected {
    int kind;
    uint32_t atFrame;
    uint32_t count;
};

class Soak {
  public:
    explicit Soak(const Options& o) : opt_(o), rng_(o.seed) {}
    int run();

  private:
    bool openSession();
    void closeSession(bool unplugged);
    void maybeInject();
    void inject(int kind);
    bool checkFrame(const FrameData& frame);
    void accountGap(uint32_t from, uint32_t to);
    const std::vector<uint8_t>& picture(uint32_t number);
    void fail(const std::string& what);
    int nextKind();
    void report(uint64_t rssWarm, uint64_t rssEnd, double elapsed);

    Options opt_;
    std::mt19937_64 rng_;
    uint64_t failures_ = 0;

    /* The board and camera of the current session. */
    std::shared_ptr<virt::VirtualBoard> board_;
    virt::BoardConfig config_;
    CameraConfig cfg_{};
    std::unique_ptr<ZuUsbCameraLib> camera_;
    bool trailer_ = false;
    bool unplugged_ = false;
    int64_t lastMatched_ = -1;
    bool errorSinceMatch_ = false;
    uint64_t sessionCalls_ = 0;
    uint32_t errorRun_ = 0;
    std::vector<Injected> injected_;
    uint32_t nextInjectAt_ = 0;
    bool stallPending_ = false;
    std::map<uint32_t, std::vector<uint8_t>> pictures_;
    uint32_t sessionIndex_ = 0;

    /* Fault schedule: a shuffled round of every kind; the slow ones only now and then. */
    std::vector<int> round_;
    uint64_t lastTimeoutAt_ = 0, lastUnplugAt_ = 0;
    bool doneTimeout_ = false, doneUnplug_ = false;

    /* Counts. */
    uint64_t framesChecked_ = 0, captureCalls_ = 0, sessions_ = 0;
    std::map<uint32_t, uint64_t> captureStatus_, openStatus_, reopenStatus_;
    std::array<uint64_t, kKinds> injectedCount_{}, framesTouched_{}, lostReported_{},
        lostSilentByProtocol_{};
    uint64_t lostUnexplained_ = 0, lostAway_ = 0, ringDrops_ = 0, jpegTrailing_ = 0;
    uint64_t steadyCalls_ = 0, steadyAllocations_ = 0;
    uint64_t stalledRequests_ = 0, clockRequests_ = 0, openControlFails_ = 0;
};

void Soak::fail(const std::string& what) {
    ++failures_;
    if (failures_ <= 20) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

const std::vector<uint8_t>& Soak::picture(uint32_t number) {
    auto it = pictures_.find(number);
    if (it != pictures_.end()) return it->second;
    std::vector<uint8_t>& out = pictures_[number];
    virt::renderFrame(config_.stream, number, out);
    return out;
}

bool Soak::openSession() {
    ++sessions_;
    ++sessionIndex_;
    /* The first sessions take the largest frames and a JPEG stream (small reads), so that
     * the warm-up has seen both kinds of buffers before memory is compared. */
    const size_t pick = rng_() % std::size(kShapes);
    const Shape& shape = sessionIndex_ == 1   ? kShapes[7]
                         : sessionIndex_ == 2 ? kShapes[6]
                                              : kShapes[pick];
    config_ = virt::BoardConfig{};
    if (opt_.trailer && opt_.chunk)
        trailer_ = sessionIndex_ % 2 == 0;
    else
        trailer_ = opt_.trailer;
    if (trailer_)
        config_.productId = rng_() % 2 ? 0x03F2 : 0x52CB;
    else
        config_.productId = 0x03F1;
    config_.stream.width = shape.width;
    config_.stream.height = shape.height;
    config_.stream.pixelBytes = shape.pixelBytes;
    config_.stream.format = shape.format;
    std::string error;
    board_ = virt::addVirtualBoard(config_, &error);
    if (!board_) {
        fail("board refused: " + error);
        return false;
    }
    if (rng_() % 4 == 0) {
        /* Clock exchanges of the open sequence that fail must not keep the board closed. */
        virt::FaultConfig f;
        f.kind = virt::BoardFault::ControlFail;
        f.request = rng_() % 2 ? 0xB0 : 0xB1;
        f.count = 1 + static_cast<uint32_t>(rng_() % 3);
        board_->addFault(f);
        ++openControlFails_;
    }
    cfg_ = configFor(config_);
    camera_ = std::make_unique<ZuUsbCameraLib>();
    const uint32_t opened = camera_->open(&cfg_, 0);
    ++openStatus_[opened];
    if (opened != USB_CAMERA_NO_ERROR) {
        fail("a fresh board did not open: " + std::to_string(opened));
        return false;
    }
    if (opt_.forceRead) camera_->enableForceRead();
    const uint32_t begun = camera_->beginCaptureImage();
    if (begun != USB_CAMERA_NO_ERROR) {
        fail("capture did not begin: " + std::to_string(begun));
        return false;
    }
    unplugged_ = false;
    lastMatched_ = -1;
    errorSinceMatch_ = false;
    sessionCalls_ = 0;
    errorRun_ = 0;
    injected_.clear();
    pictures_.clear();
    stallPending_ = false;
    nextInjectAt_ = 8 + static_cast<uint32_t>(rng_() % 8);
    return true;
}

void Soak::closeSession(bool unplugged) {
    if (unplugged) {
        /* The unplugged board has left enumeration: nothing opens at its index. */
        auto probe = std::make_unique<ZuUsbCameraLib>();
        CameraConfig cfg = cfg_;
        const uint32_t s = probe->open(&cfg, 0);
        ++reopenStatus_[s];
        if (s == USB_CAMERA_NO_ERROR) fail("an unplugged board opened again");
        probe->close();
    }
    for (const virt::ControlRecord& r : board_->controlRequests()) {
        if (r.setup.bRequest != 0xB0 && r.setup.bRequest != 0xB1) continue;
        ++clockRequests_;
        if (!r.ok) ++stalledRequests_;
    }
    camera_->close();
    camera_.reset();
    board_->remove();
    board_.reset();
}

int Soak::nextKind() {
    for (;;) {
        if (round_.empty()) {
            for (int k = 0; k < kKinds; ++k) round_.push_back(k);
            std::shuffle(round_.begin(), round_.end(), rng_);
        }
        const int k = round_.back();
        round_.pop_back();
        /* A time-out costs the capture's 1.5 s wait, a replug an open sequence: keep them
         * rare, but have each at least once per run. */
        if (k == kStallTimeout) {
            if (doneTimeout_ && framesChecked_ - lastTimeoutAt_ < 1500) continue;
            doneTimeout_ = true;
            lastTimeoutAt_ = framesChecked_;
        }
        if (k == kUnplugFault || k == kUnplugNow) {
            if (doneUnplug_ && framesChecked_ - lastUnplugAt_ < 300) continue;
            doneUnplug_ = true;
            lastUnplugAt_ = framesChecked_;
        }
        return k;
    }
}

void Soak::maybeInject() {
    if (unplugged_ || board_->nextFrameNumber() < nextInjectAt_) return;
    inject(nextKind());
}

void Soak::inject(int kind) {
    /* The board runs up to a queue of reads ahead of the host; faults are placed by the
     * board's own frame numbers, one at a time with clean frames in between. */
    const uint32_t at = board_->nextFrameNumber() + 1 + static_cast<uint32_t>(rng_() % 3);
    uint32_t count = 1 + static_cast<uint32_t>(rng_() % 3);
    virt::FaultConfig f;
    f.atFrame = at;
    f.count = count;
    switch (kind) {
        case kStallShort:
            f.kind = virt::BoardFault::Stall;
            f.ms = 1 + static_cast<uint32_t>(rng_() % 30);
            break;
        case kStallTimeout:
            f.kind = virt::BoardFault::Stall;
            f.ms = 0; /* until cleared, after the capture has timed out */
            count = f.count = 1;
            stallPending_ = true;
            break;
        case kShortFrame:
            f.kind = virt::BoardFault::ShortFrame;
            f.bytes = 1 + static_cast<uint32_t>(rng_() % 700);
            break;
        case kLongFrame:
            f.kind = virt::BoardFault::LongFrame;
            f.bytes = 1 + static_cast<uint32_t>(rng_() % 700);
            break;
        case kSkipIndex:
            f.kind = virt::BoardFault::SkipIndex;
            break;
        case kRepeatIndex:
            f.kind = virt::BoardFault::RepeatIndex;
            break;
        case kDiscard:
            f.kind = virt::BoardFault::Discard;
            break;
        case kCorruptHeader:
            f.kind = virt::BoardFault::CorruptHeader;
            break;
        case kControlFailB0:
        case kControlFailB1:
            /* The capture exchanges clocks once a second; the exchange is made due now so
             * that the failing request lands in the middle of the capture. */
            f.kind = virt::BoardFault::ControlFail;
            f.request = kind == kControlFailB0 ? 0xB0 : 0xB1;
            f.atFrame = 0;
            f.count = 1 + static_cast<uint32_t>(rng_() % 2);
            count = 0; /* touches no frame */
            board_->addFault(f);
            camera_->syncTime(true);
            ++injectedCount_[kind];
            nextInjectAt_ = at + 4;
            return;
        case kUnplugFault:
            f.kind = virt::BoardFault::Unplug;
            count = 0;
            break;
        case kUnplugNow:
            ++injectedCount_[kind];
            unplugged_ = true;
            board_->unplug();
            return;
    }
    board_->addFault(f);
    ++injectedCount_[kind];
    framesTouched_[kind] += count;
    if (kind == kUnplugFault) unplugged_ = true;
    injected_.push_back({kind, at, count});
    nextInjectAt_ = at + count + 4 + static_cast<uint32_t>(rng_() % 8);
}

/* Frames [from, to) never came out. */
void Soak::accountGap(uint32_t from, uint32_t to) {
    for (uint32_t n = from; n < to; ++n) {
        int near = -1;
        bool silent = false;
        for (const Injected& i : injected_) {
            if (i.count == 0) continue;
            const bool touched = n >= i.atFrame && n < i.atFrame + i.count;
            if (touched &&
                ((i.kind == kDiscard && trailer_) || (i.kind == kCorruptHeader && !trailer_)))
                silent = true;
            /* A damaged frame may take its neighbour with it (a lost trailer merges two). */
            if (n + 2 >= i.atFrame && n < i.atFrame + i.count + 2) near = i.kind;
        }
        if (silent) {
            ++lostSilentByProtocol_[near];
            continue;
        }
        if (near < 0) {
            ++lostAway_;
            fail("frame " + std::to_string(n) + " of session " + std::to_string(sessionIndex_) +
                 " was lost with no fault near it");
            continue;
        }
        if (!errorSinceMatch_) {
            ++lostUnexplained_;
            fail("frame " + std::to_string(n) + " (" + kindName(near) +
                 ") was lost with no status reported");
            continue;
        }
        ++lostReported_[near];
    }
}

bool Soak::checkFrame(const FrameData& frame) {
    const bool jpeg = config_.stream.format == virt::PixelFormat::Jpg;
    const uint32_t size = frame.cfg.u32Size;
    if (frame.cfg.u32Width != cfg_.u32Width || frame.cfg.u32Height != cfg_.u32Height ||
        frame.cfg.emImageFmtMode != cfg_.emImageFmtMode || frame.imageData == nullptr) {
        fail("frame record does not carry the applied configuration");
        return false;
    }
    const uint32_t first = static_cast<uint32_t>(lastMatched_ + 1);
    for (uint32_t n = first; n < first + opt_.window; ++n) {
        const std::vector<uint8_t>& expected = picture(n);
        const bool sizeOk = jpeg ? size >= expected.size() : size == expected.size();
        if (!sizeOk || !std::equal(expected.begin(), expected.end(), frame.imageData)) continue;
        if (size > expected.size()) {
            /* A JPEG is whole up to its end marker; bytes after it may only be the zeros
             * of a long frame. */
            const bool zeros =
                std::all_of(frame.imageData + expected.size(), frame.imageData + size,
                            [](uint8_t b) { return b == 0; });
            bool longFault = false;
            for (const Injected& i : injected_)
                longFault = longFault ||
                            (i.kind == kLongFrame && n >= i.atFrame && n < i.atFrame + i.count);
            if (!zeros || !longFault) continue;
            ++jpegTrailing_;
        }
        accountGap(first, n);
        lastMatched_ = n;
        errorSinceMatch_ = false;
        pictures_.erase(pictures_.begin(), pictures_.lower_bound(n + 1));
        ++framesChecked_;
        return true;
    }
    fail("session " + std::to_string(sessionIndex_) + ": a frame of " + std::to_string(size) +
         " bytes matches no picture from frame " + std::to_string(first) + " on (" +
         (trailer_ ? "trailer" : "chunk") + " framing, format " +
         std::string(virt::formatName(config_.stream.format)) + ")");
    return false;
}

int Soak::run() {
    virt::removeAllDevices();
    std::printf("fault soak: %" PRIu64 " frames, seed %" PRIu64 ", boards %s\n", opt_.frames,
                opt_.seed,
                opt_.trailer && opt_.chunk ? "both"
                : opt_.trailer             ? "trailer"
                                           : "chunk");
    const auto start = std::chrono::steady_clock::now();
    /* Warm-up: a fifth of the frames (at most 5,000) and the first three sessions. RSS is
     * sampled every 64 calls; the highest sample after warm-up is compared with the highest
     * before. */
    const uint64_t warmUp = std::min<uint64_t>(opt_.frames / 5, 5000);
    uint64_t rssWarm = 0, rssPeakAfter = 0;
    bool warm = false;
    if (!openSession()) return 1;

    while (framesChecked_ < opt_.frames && failures_ < 20) {
        if (captureCalls_ % 64 == 0) {
            const uint64_t rss = rssKiB();
            if (!warm)
                rssWarm = std::max(rssWarm, rss);
            else
                rssPeakAfter = std::max(rssPeakAfter, rss);
            warm = warm || (framesChecked_ >= warmUp && sessions_ >= 3);
        }
        maybeInject();

        const uint64_t allocBefore = vexo::test::allocationCount();
        const uint32_t r = camera_->captureImage();
        ++captureCalls_;
        ++sessionCalls_;
        FrameData* frames[8] = {};
        uint32_t read = 0;
        while (read < 8 && camera_->readImage(&frames[read]) == USB_CAMERA_NO_ERROR) {
            /* Checked after del() would let capture reuse the slot; single thread: the slot
             * stays as it is until the next captureImage(). */
            ++read;
            camera_->del();
        }
        const uint64_t allocs = vexo::test::allocationCount() - allocBefore;
        ++captureStatus_[r]; /* may allocate a map node: counted after */
        /* Steady state: a capture past its first rounds of reads, in a call that returned
         * frames rather than an error. */
        if (sessionCalls_ > 200 && r <= 0xFF) {
            ++steadyCalls_;
            steadyAllocations_ += allocs;
        }
        for (uint32_t i = 0; i < read; ++i) checkFrame(*frames[i]);
        if (r <= 0xFF && read < r) ringDrops_ += r - read;

        if (r > 0xFF) {
            errorSinceMatch_ = true;
            ++errorRun_;
        } else {
            errorRun_ = 0;
        }
        if (r == USB_CAMERA_USB_TIMEOUT_ERROR && stallPending_) {
            /* The capture gave up waiting: the board may go on. */
            board_->clearFaults();
            stallPending_ = false;
        }
        if (r == USB_CAMERA_USB_TASK_ERROR) {
            /* Capture has ended; only an unplug may end it. */
            if (!unplugged_) fail("capture ended without an unplug");
            closeSession(unplugged_);
            if (!openSession()) break;
            continue;
        }
        if (errorRun_ > 300) {
            fail("capture neither recovers nor ends after 300 failed calls");
            break;
        }
    }

    const uint64_t rssEnd = rssKiB();
    if (camera_) closeSession(false);
    virt::removeAllDevices();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    rssPeakAfter = std::max(rssPeakAfter, rssEnd);
#ifdef SOAK_SANITIZED
    std::printf("memory: VmRSS peak in warm-up %" PRIu64 " KiB, peak after %" PRIu64
                " KiB, at the end %" PRIu64 " KiB (not checked under a sanitizer)\n",
                rssWarm, rssPeakAfter, rssEnd);
#else
    const uint64_t margin = 4096 + rssWarm / 20;
    std::printf("memory: VmRSS peak in warm-up %" PRIu64 " KiB, peak after %" PRIu64
                " KiB, at the end %" PRIu64 " KiB (margin %" PRIu64 " KiB)\n",
                rssWarm, rssPeakAfter, rssEnd, margin);
    if (!warm)
        fail("the run was too short to warm up; memory not compared");
    else if (rssPeakAfter > rssWarm + margin)
        fail("memory grew past the margin after warm-up");
    std::printf("allocations in steady capture: %" PRIu64 " over %" PRIu64 " calls\n",
                steadyAllocations_, steadyCalls_);
    if (steadyAllocations_ != 0) fail("captureImage/readImage/del allocated in steady capture");
#endif
    report(rssWarm, rssEnd, elapsed);
    if (framesChecked_ < opt_.frames) fail("the soak stopped before its frame count");
    std::printf("%s: %" PRIu64 " failures\n", failures_ ? "FAILED" : "passed", failures_);
    return failures_ ? 1 : 0;
}

void Soak::report(uint64_t, uint64_t, double elapsed) {
    std::printf("frames checked byte for byte: %" PRIu64 " in %" PRIu64
                " captureImage calls, %" PRIu64 " board sessions, %.1f s\n",
                framesChecked_, captureCalls_, sessions_, elapsed);
    std::printf("%-18s %9s %9s %14s %14s\n", "fault kind", "injected", "frames", "lost+reported",
                "lost (silent)");
    for (int k = 0; k < kKinds; ++k)
        std::printf("%-18s %9" PRIu64 " %9" PRIu64 " %14" PRIu64 " %14" PRIu64 "\n", kindName(k),
                    injectedCount_[k], framesTouched_[k], lostReported_[k],
                    lostSilentByProtocol_[k]);
    std::printf("lost without a report: %" PRIu64 ", lost away from faults: %" PRIu64
                ", dropped by a full queue: %" PRIu64 ", JPEG frames with trailing zeros: %" PRIu64
                "\nclock exchange requests: %" PRIu64 " (%" PRIu64
                " stalled by controlFail; %" PRIu64 " opens with failing clock requests)\n",
                lostUnexplained_, lostAway_, ringDrops_, jpegTrailing_, clockRequests_,
                stalledRequests_, openControlFails_);
    auto statuses = [](const char* what, const std::map<uint32_t, uint64_t>& m) {
        for (const auto& [code, n] : m) {
            if (code <= 0xFF && code != 0) continue;
            const char* name = vexoStatusName(code);
            std::printf("  %-14s 0x%04X %-34s %" PRIu64 "\n", what, code, name ? name : "?", n);
        }
    };
    uint64_t counts = 0;
    for (const auto& [code, n] : captureStatus_)
        if (code > 0 && code <= 0xFF) counts += n;
    std::printf("status codes:\n  %-14s frame counts 1..255 %" PRIu64 "\n", "captureImage", counts);
    statuses("captureImage", captureStatus_);
    statuses("open", openStatus_);
    statuses("open unplugged", reopenStatus_);
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--frames" && v) {
            o.frames = std::strtoull(v, nullptr, 0);
        } else if (a == "--seed" && v) {
            o.seed = std::strtoull(v, nullptr, 0);
        } else if (a == "--window" && v) {
            o.window = static_cast<uint32_t>(std::strtoul(v, nullptr, 0));
        } else if (a == "--force-read") {
            o.forceRead = true;
            continue;
        } else if (a == "--boards" && v) {
            const std::string b = v;
            o.trailer = b == "trailer" || b == "both";
            o.chunk = b == "chunk" || b == "both";
            if (!o.trailer && !o.chunk) return false;
        } else {
            return false;
        }
        ++i;
    }
    return o.frames > 0 && o.window > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: fault_soak [--frames N] [--seed S] [--boards trailer|chunk|both] "
                     "[--window W] [--force-read]\n");
        return 2;
    }
    Soak soak(options);
    return soak.run();
}
