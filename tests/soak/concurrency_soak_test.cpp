// Concurrency soak of the exported functions against a virtual board of each framing.
//
// Four threads call the Vexo_* functions in random order for a few seconds:
//  - capture: Vexo_captureImage in a loop;
//  - reader: Vexo_readImage / Vexo_del, now and then Vexo_flush and Vexo_availableImage;
//  - control: register round trips in every width, sensor registers, user-data round trips,
//    vendor request 0x80, Vexo_getSensorCfg, Vexo_getUsbType, Vexo_setCtrl (its script writes
//    a sensor register) and Vexo_registerCtrls;
//  - reconfiguration: Vexo_setCamCfg refused (0xFF51) and accepted (the board's size, or
//    another size and back), timed to land while a capture call runs.
// Between rounds the main thread ends the capture, or closes the camera in the middle of it,
// reopens it and starts again. The threading rules are kept: one thread is inside
// Vexo_captureImage; the other three each run beside it, and are serialised among themselves
// by the harness's own lock (the rules pair each of them with the capture loop only).
//
// Every frame the reader gets must be, byte for byte and with the record of the applied
// configuration, the picture the board drew for a frame number after the last one matched.
// A frame that matches none, a wrong round trip or an unexpected status fails the case; the
// sanitizer builds (the "concurrency" label runs under ThreadSanitizer) add their findings.
//
// VEXO_SOAK_SECONDS sets how long each case runs (default 2 s). VEXO_SOAK_SEED picks the
// random sequence (default: taken from the clock and printed, so a failing run can be repeated).
#include <gtest/gtest.h>
#include <vexo/camera.h>
#include <vexo/controls.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "camera/support/engine_fixture.h"
#include "driver/virtual/virtual_board.h"

namespace {

namespace virt = vexo::driver::virt;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSensorAddress = 0x20;
constexpr uint16_t kExposureRegister = 0x3012;
constexpr int64_t kExposureMax = 1000;
constexpr uint16_t kFirmware = 0x0320;
/* User data below the serial text. */
constexpr uint16_t kUserDataEnd = 1008;

struct Framing {
    const char* name;
    uint16_t productId;
    uint8_t boardType;
};

std::ostream& operator<<(std::ostream& os, const Framing& f) {
    return os << f.name;
}

/* Between two calls of the control thread: the reader and the reconfigurations get their
 * turns at the harness's lock. */
void pause(std::mt19937_64& rng) {
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
}

double envSeconds() {
    const char* v = std::getenv("VEXO_SOAK_SECONDS");
    const double s = v ? std::strtod(v, nullptr) : 0;
    return s > 0 ? s : 2.0;
}

uint64_t envSeed() {
    if (const char* v = std::getenv("VEXO_SOAK_SEED")) return std::strtoull(v, nullptr, 0);
    return static_cast<uint64_t>(Clock::now().time_since_epoch().count());
}

/* What one case counted; failures keep their first texts. */
struct Tally {
    std::atomic<uint64_t> captureCalls{0}, framesCompleted{0}, frameErrors{0};
    std::atomic<uint64_t> framesChecked{0}, corruptFrames{0}, flushes{0};
    std::atomic<uint64_t> refused{0}, accepted{0}, controlCalls{0}, sessions{0};
    std::atomic<uint64_t> failures{0};
    std::mutex textLock;
    std::vector<std::string> texts;

    void fail(const std::string& what) {
        failures.fetch_add(1);
        std::lock_guard<std::mutex> lock(textLock);
        if (texts.size() < 10) texts.push_back(what);
    }
};

class ConcurrencySoak : public ::testing::TestWithParam<Framing> {
  protected:
    void SetUp() override {
        virt::removeAllDevices();
        board_.productId = GetParam().productId;
        board_.firmware = kFirmware;
        /* Two images per frame, the second the first inverted: 614,400 bytes a frame, more
         * than one 512 KiB read, so frames span reads in both framings. */
        board_.stream.width = 640;
        board_.stream.height = 480;
        board_.stream.pixelBytes = 1;
        board_.stream.format = virt::PixelFormat::RawD;
        device_ = virt::addVirtualBoard(board_);
        ASSERT_TRUE(device_);

        cfg_.u32Width = board_.stream.width;
        cfg_.u32Height = board_.stream.height;
        cfg_.u8PixelBytes = 1;
        cfg_.u8PixelBits = 8;
        cfg_.u32I2cAddr = kSensorAddress;
        cfg_.emI2cMode = I2C_MODE_16_16;
        cfg_.emImageFmtMode = FORMAT_MODE_RAW_D;
        other_ = cfg_;
        other_.u32Width = 320;

        std::memset(&control_, 0, sizeof control_);
        control_.minValue = 0;
        control_.maxValue = kExposureMax;
        std::strcpy(control_.name, "exposure");
        control_.script = "function exposure(v) writeReg(0x3012, v) end";
    }
    void TearDown() override { virt::removeAllDevices(); }

    /* Runs the soak for @seconds; @sabotage hands damaged frames to the reader on purpose
     * (force read on, every frame one byte short), so the harness must find them. */
    void run(double seconds, uint64_t seed, bool sabotage = false);

    void openCamera(Tally& tally);
    void captureLoop(Tally& tally);
    void readerLoop(Tally& tally, uint64_t seed);
    void controlLoop(Tally& tally, uint64_t seed);
    void reconfigurationLoop(Tally& tally, uint64_t seed);
    bool controlCall(std::mt19937_64& rng, std::string& why);

    virt::BoardConfig board_;
    std::shared_ptr<virt::VirtualBoard> device_;
    CameraConfig cfg_{};
    CameraConfig other_{};
    CtrlRecord control_;

    CameraHandle handle_ = nullptr;
    /* Serialises the reader, control and reconfiguration threads among themselves. */
    std::mutex side_;
    /* The configuration applied last (under side_). */
    bool boardSizeApplied_ = true;
    std::atomic<bool> stop_{false};
    bool sabotage_ = false;
};

void ConcurrencySoak::openCamera(Tally& tally) {
    CameraConfig cfg = cfg_;
    ASSERT_EQ(Vexo_open(&handle_, &cfg, 0), USB_CAMERA_NO_ERROR);
    ASSERT_EQ(Vexo_registerCtrls(handle_, &control_, 1), 0);
    if (sabotage_) Vexo_enableForceRead(handle_);
    boardSizeApplied_ = true;
    tally.sessions.fetch_add(1);
}

void ConcurrencySoak::captureLoop(Tally& tally) {
    while (!stop_.load()) {
        tally.captureCalls.fetch_add(1);
        const uint32_t r = Vexo_captureImage(handle_);
        if (r <= 0xFF) {
            tally.framesCompleted.fetch_add(r);
        } else if (r == USB_CAMERA_DATA_LEN_ERROR || r == USB_CAMERA_FRAME_INDEX_ERROR) {
            /* Frames cut by a reconfiguration, of the other size, or the first after a
             * reopen (trailer framing): dropped and reported. */
            tally.frameErrors.fetch_add(1);
        } else {
            tally.fail("Vexo_captureImage returned " + std::to_string(r));
            return;
        }
    }
}

void ConcurrencySoak::readerLoop(Tally& tally, uint64_t seed) {
    std::mt19937_64 rng(seed);
    /* Frames come in order; the board's frame count bounds the search. */
    vexo::camera::test::FrameChecker checker(board_.stream, UINT32_MAX);
    const size_t frameBytes = virt::frameBytes(board_.stream);
    while (!stop_.load()) {
        {
            std::lock_guard<std::mutex> lock(side_);
            FrameData* frame = nullptr;
            const uint32_t r = Vexo_readImage(handle_, &frame);
            if (r == USB_CAMERA_NO_ERROR && frame) {
                const CameraConfig& c = frame->cfg;
                const uint32_t bound = device_->nextFrameNumber();
                const bool record = boardSizeApplied_ && c.u32Width == cfg_.u32Width &&
                                    c.u32Height == cfg_.u32Height &&
                                    c.emImageFmtMode == cfg_.emImageFmtMode &&
                                    c.u32Size == frameBytes;
                if (!record || !checker.check(*frame, nullptr, bound)) {
                    tally.corruptFrames.fetch_add(1);
                    tally.fail("a frame of " + std::to_string(c.u32Size) + " bytes (" +
                               std::to_string(c.u32Width) + "x" + std::to_string(c.u32Height) +
                               ") is no picture the board drew");
                }
                tally.framesChecked.fetch_add(1);
                if (Vexo_del(handle_) != USB_CAMERA_NO_ERROR) tally.fail("Vexo_del refused");
            } else if (r != USB_CAMERA_READ_EMPTY_ERROR || frame != nullptr) {
                tally.fail("Vexo_readImage returned " + std::to_string(r));
            }
            if (rng() % 512 == 0) {
                if (Vexo_availableImage(handle_) > 5) tally.fail("more than five frames queued");
                if (Vexo_flush(handle_) != USB_CAMERA_NO_ERROR) tally.fail("Vexo_flush failed");
                tally.flushes.fetch_add(1);
            }
        }
        /* The others wait for the lock too. */
        std::this_thread::yield();
    }
}

bool ConcurrencySoak::controlCall(std::mt19937_64& rng, std::string& why) {
    CameraHandle h = handle_;
    switch (rng() % 7) {
        case 0: {
            /* A register round trip in one of the five widths. */
            using Write = Uint32 (*)(CameraHandle, Uint32, Uint32, Uint32);
            using Read = Uint32 (*)(CameraHandle, Uint32, Uint32, Uint32*);
            struct Width {
                Write write;
                Read read;
                uint32_t regMask, valueMask;
            };
            static const Width widths[] = {
                {Vexo_writeReg_8_8, Vexo_readReg_8_8, 0xFF, 0xFF},
                {Vexo_writeReg_8_16, Vexo_readReg_8_16, 0xFF, 0xFFFF},
                {Vexo_writeReg_16_8, Vexo_readReg_16_8, 0xFFFF, 0xFF},
                {Vexo_writeReg_16_16, Vexo_readReg_16_16, 0xFFFF, 0xFFFF},
                {Vexo_writeReg_16_32, Vexo_readReg_16_32, 0xFFFF, 0xFFFFFFFF},
            };
            const Width& w = widths[rng() % std::size(widths)];
            /* Registers away from the exposure register the control script writes. */
            const uint32_t reg = (0x10 + static_cast<uint32_t>(rng() % 0xE0)) & w.regMask;
            const uint32_t value = static_cast<uint32_t>(rng()) & w.valueMask;
            uint32_t back = ~value;
            if (w.write(h, kSensorAddress, reg, value) != 0 ||
                w.read(h, kSensorAddress, reg, &back) != 0 || back != value) {
                why = "register round trip at " + std::to_string(reg) + " read " +
                      std::to_string(back) + " for " + std::to_string(value);
                return false;
            }
            return true;
        }
        case 1: {
            uint8_t length = static_cast<uint8_t>(1 + rng() % 32);
            const uint16_t address = static_cast<uint16_t>(rng() % (kUserDataEnd - length + 1));
            uint8_t out[32], in[32] = {};
            for (uint8_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(rng());
            if (Vexo_writeUserData(h, address, length, out) != 0 ||
                Vexo_readUserData(h, address, length, in) != 0 ||
                std::memcmp(out, in, length) != 0) {
                why = "user-data round trip at " + std::to_string(address);
                return false;
            }
            return true;
        }
        case 2: {
            uint8_t version[2] = {};
            if (Vexo_getboardConfig(h, 0x80, 0, 0, 2, version) != 0 ||
                (version[0] << 8 | version[1]) != kFirmware) {
                why = "request 0x80 did not give the firmware version";
                return false;
            }
            return true;
        }
        case 3: {
            CameraConfig got{};
            const CameraConfig& want = boardSizeApplied_ ? cfg_ : other_;
            if (Vexo_getSensorCfg(h, &got) != 0 || got.u32Width != want.u32Width ||
                got.u32Height != want.u32Height) {
                why = "Vexo_getSensorCfg does not give the applied configuration";
                return false;
            }
            return true;
        }
        case 4: {
            Uint8 boardType = 0, linkType = 0;
            if (Vexo_getUsbType(h, &boardType, &linkType) != 0 ||
                boardType != GetParam().boardType) {
                why = "Vexo_getUsbType gave board type " + std::to_string(boardType);
                return false;
            }
            return true;
        }
        case 5: {
            const int64_t value = static_cast<int64_t>(rng() % 2200) - 100;
            const int64_t clamped = std::clamp<int64_t>(value, 0, kExposureMax);
            uint32_t back = 0;
            if (Vexo_setCtrl(h, "exposure", value) != 0 ||
                Vexo_readSensorReg(h, kExposureRegister, &back) != 0 ||
                back != static_cast<uint32_t>(clamped)) {
                why = "the exposure control wrote " + std::to_string(back) + " for " +
                      std::to_string(value);
                return false;
            }
            return true;
        }
        default:
            if (Vexo_registerCtrls(h, &control_, 1) != 0) {
                why = "Vexo_registerCtrls failed";
                return false;
            }
            return true;
    }
}

void ConcurrencySoak::controlLoop(Tally& tally, uint64_t seed) {
    std::mt19937_64 rng(seed);
    while (!stop_.load()) {
        {
            std::lock_guard<std::mutex> lock(side_);
            std::string why;
            if (!controlCall(rng, why)) tally.fail(why);
            tally.controlCalls.fetch_add(1);
        }
        pause(rng);
    }
}

void ConcurrencySoak::reconfigurationLoop(Tally& tally, uint64_t seed) {
    std::mt19937_64 rng(seed);
    while (!stop_.load()) {
        /* Timed to land inside a capture call: wait for the next one to begin, then let a
         * random part of it pass. */
        const uint64_t calls = tally.captureCalls.load();
        for (int spin = 0; spin < 100000 && tally.captureCalls.load() == calls; ++spin)
            std::this_thread::yield();
        for (uint64_t i = rng() % 4; i > 0; --i) std::this_thread::yield();
        {
            std::lock_guard<std::mutex> lock(side_);
            /* Mostly refused configurations: they hold the assembly off without emptying
             * the queue, so frames keep reaching the reader around them. */
            const uint32_t pick = static_cast<uint32_t>(rng() % 100);
            if (pick < 94) {
                /* Refused, a few in a row: nothing applied, nothing reset. */
                CameraConfig bad = cfg_;
                switch (pick % 3) {
                    case 0:
                        bad.u32Width = 0;
                        break;
                    case 1:
                        bad.u8PixelBytes = 3;
                        break;
                    default:
                        bad.u32Height = 16385;
                        break;
                }
                for (uint64_t n = 1 + rng() % 8; n > 0; --n) {
                    if (Vexo_setCamCfg(handle_, &bad) != USB_CAMERA_SIZE_EXCEED_ERROR)
                        tally.fail("a configuration out of range was not refused");
                    tally.refused.fetch_add(1);
                }
            } else {
                /* Accepted: the board's size, or (while it is applied) another one. */
                const bool toOther = boardSizeApplied_ && pick >= 97;
                CameraConfig next = toOther ? other_ : cfg_;
                if (Vexo_setCamCfg(handle_, &next) != USB_CAMERA_NO_ERROR)
                    tally.fail("an accepted configuration failed");
                boardSizeApplied_ = !toOther;
                tally.accepted.fetch_add(1);
            }
        }
    }
}

void ConcurrencySoak::run(double seconds, uint64_t seed, bool sabotage) {
    std::printf("soak %s: %.1f s, seed %" PRIu64 "%s\n", GetParam().name, seconds, seed,
                sabotage ? " (damaged frames handed out on purpose)" : "");
    sabotage_ = sabotage;
    if (sabotage) {
        virt::FaultConfig shortFrames;
        shortFrames.kind = virt::BoardFault::ShortFrame;
        shortFrames.count = 0;
        shortFrames.bytes = 1;
        device_->addFault(shortFrames);
    }
    std::mt19937_64 rng(seed);
    Tally tally;
    openCamera(tally);
    if (HasFatalFailure()) return;
    ASSERT_EQ(Vexo_beginCaptureImage(handle_), USB_CAMERA_NO_ERROR);

    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    /* A slow machine (a sanitizer build, a busy host) gets more time to do a minimum of each
     * kind of call, up to a limit. */
    const Clock::time_point limit = std::max(end, start + std::chrono::seconds(60));
    auto enough = [&] {
        if (sabotage) return tally.corruptFrames.load() > 0;
        return tally.framesChecked.load() >= 5 && tally.refused.load() > 0 &&
               tally.accepted.load() > 0 && tally.controlCalls.load() > 0;
    };
    auto goOn = [&] {
        const Clock::time_point now = Clock::now();
        return now < end || (!enough() && now < limit);
    };
    /* A failing run goes on to its end, so that it says how often the fault showed. */
    while (goOn() && (tally.failures.load() == 0 || !sabotage)) {
        stop_.store(false);
        std::vector<std::thread> threads;
        threads.emplace_back([&] { captureLoop(tally); });
        threads.emplace_back([&, s = rng()] { readerLoop(tally, s); });
        threads.emplace_back([&, s = rng()] { controlLoop(tally, s); });
        threads.emplace_back([&, s = rng()] { reconfigurationLoop(tally, s); });
        const Clock::time_point roundEnd =
            Clock::now() + std::chrono::milliseconds(300 + rng() % 600);
        std::this_thread::sleep_until(std::min(Clock::now() < end ? end : limit, roundEnd));
        stop_.store(true);
        for (std::thread& t : threads) t.join();

        /* Only this thread touches the handle now. */
        switch (rng() % 4) {
            case 0:
            case 1:
                /* Go on with the same camera. */
                ASSERT_EQ(Vexo_endCaptureImage(handle_), USB_CAMERA_NO_ERROR);
                ASSERT_EQ(Vexo_captureImage(handle_), USB_CAMERA_USB_TASK_ERROR);
                break;
            case 2:
                ASSERT_EQ(Vexo_endCaptureImage(handle_), USB_CAMERA_NO_ERROR);
                ASSERT_EQ(Vexo_close(handle_), USB_CAMERA_NO_ERROR);
                openCamera(tally);
                break;
            default:
                /* Closed in the middle of the capture: close ends it. */
                ASSERT_EQ(Vexo_close(handle_), USB_CAMERA_NO_ERROR);
                openCamera(tally);
                break;
        }
        if (HasFatalFailure()) return;
        ASSERT_EQ(Vexo_beginCaptureImage(handle_), USB_CAMERA_NO_ERROR);
    }
    EXPECT_EQ(Vexo_close(handle_), USB_CAMERA_NO_ERROR);
    handle_ = nullptr;

    std::printf("soak %s: %" PRIu64 " frames checked byte for byte, %" PRIu64 " corrupt; %" PRIu64
                " captureImage calls completing %" PRIu64 " frames (%" PRIu64
                " frame errors); setCamCfg %" PRIu64 " refused, %" PRIu64 " accepted; %" PRIu64
                " control calls; %" PRIu64 " flushes; %" PRIu64 " sessions\n",
                GetParam().name, tally.framesChecked.load(), tally.corruptFrames.load(),
                tally.captureCalls.load(), tally.framesCompleted.load(), tally.frameErrors.load(),
                tally.refused.load(), tally.accepted.load(), tally.controlCalls.load(),
                tally.flushes.load(), tally.sessions.load());
    if (sabotage) {
        EXPECT_GT(tally.corruptFrames.load(), 0u) << "damaged frames went unnoticed";
        return;
    }
    for (const std::string& text : tally.texts) ADD_FAILURE() << text;
    EXPECT_EQ(tally.failures.load(), 0u) << "seed " << seed;
    EXPECT_EQ(tally.corruptFrames.load(), 0u) << "seed " << seed;
    /* The run did what it is for. */
    EXPECT_GT(tally.framesChecked.load(), 0u);
    EXPECT_GT(tally.refused.load(), 0u);
    EXPECT_GT(tally.accepted.load(), 0u);
    EXPECT_GT(tally.controlCalls.load(), 0u);
}

TEST_P(ConcurrencySoak, EveryFrameReadIsAPictureTheBoardDrew) {
    run(envSeconds(), envSeed());
}

/* The harness notices damaged frames: with force read on and every frame a byte short,
 * frames that are not the board's pictures reach the reader. */
TEST_P(ConcurrencySoak, DamagedFramesAreNoticed) {
    run(0.3, envSeed(), true);
}

INSTANTIATE_TEST_SUITE_P(Framings, ConcurrencySoak,
                         ::testing::Values(Framing{"trailer", 0x52CB, 2},
                                           Framing{"chunk", 0x03F1, 3}),
                         [](const ::testing::TestParamInfo<Framing>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
