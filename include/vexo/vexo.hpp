// vexo/vexo.hpp — the C++ face of libvexo: boards, cameras, registers and frames as C++ types.
//
// Header-only on purpose: it calls nothing but the exported Vexo_* functions, so it adds no
// symbol to libvexo and no C++ ABI to keep stable. Link the target `vexo` (or Vexo::vexo).
//
// Failures are thrown as vexo::Error, which carries the library's status code and its name.
// Exceptions stay in this layer: the Vexo_* functions underneath never throw.
//
// Threading: a Camera and its FrameRange belong to one thread at a time (docs/threading.md).
//
// docs/cpp-api.md is the guide to this header.
#pragma once

#include <vexo/camera.h>
#include <vexo/status.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>
#include <vexo/config.hpp>

namespace vexo {

/// The name of a status code ("USB_CAMERA_DATA_LEN_ERROR"), or "UNKNOWN_STATUS" for a value
/// that is not one.
inline std::string_view statusName(uint32_t code) {
    const char* name = vexoStatusName(code);
    return name ? name : "UNKNOWN_STATUS";
}

/// One line of advice for a status code; empty for a value that is not one.
inline std::string_view statusHint(uint32_t code) {
    const char* hint = vexoStatusHint(code);
    return hint ? hint : "";
}

/// A failed camera operation: what was attempted and the status code the library returned.
class Error : public std::runtime_error {
  public:
    Error(uint32_t code, std::string_view what)
        : std::runtime_error(message(code, what)), code_(code) {}

    uint32_t code() const noexcept { return code_; }
    std::string_view name() const noexcept { return statusName(code_); }

  private:
    static std::string message(uint32_t code, std::string_view what) {
        std::string text(what);
        text += ": ";
        text += statusName(code);
        static constexpr char kDigits[] = "0123456789ABCDEF";
        text += " [0x";
        for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[(code >> shift) & 0xF];
        text += "]";
        const std::string_view hint = statusHint(code);
        if (!hint.empty()) {
            text += " (";
            text += hint;
            text += ")";
        }
        return text;
    }

    uint32_t code_;
};

namespace detail {

inline void check(uint32_t status, std::string_view what) {
    if (status != USB_CAMERA_NO_ERROR) throw Error(status, what);
}

// Serial texts are 16 bytes, NUL-padded when shorter.
inline std::string serialText(const uint8_t* bytes) {
    size_t n = 0;
    while (n < 16 && bytes[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(bytes), n);
}

}  // namespace detail

/// One attached board as a scan lists it.
struct BoardInfo {
    unsigned index = 0;  ///< device index to open
    std::string serial;  ///< serial text from user data 1008..1023, up to its first NUL
};

/// Lists the attached boards in device order. Throws Error when the driver cannot be reached.
inline std::vector<BoardInfo> scan() {
    std::array<ScanEntry, 255> entries{};
    const uint32_t found = Vexo_scan(entries.data());
    if (found > entries.size()) throw Error(found, "Vexo_scan");
    std::vector<BoardInfo> boards;
    boards.reserve(found);
    for (uint32_t k = 0; k < found; ++k)
        boards.push_back({entries[k].u8Index, detail::serialText(entries[k].u8Serial)});
    return boards;
}

/// Scans every `interval` until a board with serial text `serial` is listed, for at most
/// `timeout`; returns it, or none when it did not appear in time. The first scan is at once.
inline std::optional<BoardInfo> waitForBoard(
    std::string_view serial, std::chrono::milliseconds timeout,
    std::chrono::milliseconds interval = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (BoardInfo& board : scan())
            if (board.serial == serial) return std::move(board);
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return std::nullopt;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(interval, deadline - now));
    }
}

/// A frame lent by the camera. It views the camera's frame buffer and copies nothing; the
/// bytes stay valid only as long as the call that lent it says (see FrameRange and
/// Camera::singleFrame). Copy what you keep.
class Frame {
  public:
    Frame() = default;
    explicit Frame(const FrameData* data) : data_(data) {}

    std::span<const uint8_t> bytes() const { return {data_->imageData, data_->cfg.u32Size}; }
    /// Byte count of this frame (for JPG the length of this JPEG file).
    size_t size() const { return data_->cfg.u32Size; }
    uint32_t width() const { return data_->cfg.u32Width; }
    uint32_t height() const { return data_->cfg.u32Height; }
    FormatMode format() const { return data_->cfg.emImageFmtMode; }
    uint8_t pixelBytes() const { return data_->cfg.u8PixelBytes; }
    uint8_t pixelBits() const { return data_->cfg.u8PixelBits; }
    /// Board time stamp in 100-ns units since 1601-01-01 UTC, or 0 when the board gives none.
    uint64_t time() const { return data_->u64Time; }
    /// The record underneath, for code that speaks the C API.
    const FrameData& data() const { return *data_; }

  private:
    const FrameData* data_ = nullptr;
};

class Camera;

/// Frames lost while a camera's board was away and the camera reconnected (see
/// Camera::setReconnect). A reconnect never hides its loss: each one is reported as a Gap.
struct Gap {
    using Clock = std::chrono::steady_clock;
    std::string serial;        ///< the board's serial text
    unsigned indexBefore = 0;  ///< device index before the loss
    unsigned indexAfter = 0;   ///< device index it was reopened at
    /// Frames the sensor would have sent meanwhile at the rate measured before the loss: the
    /// gap over the mean frame interval, less one, rounded; 0 when fewer than two frames came
    /// before. Measured on the board's time stamps when the frames carry them (the rate the
    /// sensor runs at, however fast the host reads), else on the host's clock.
    uint64_t frames = 0;
    /// Host time from the last frame before the loss to the first frame after it.
    std::chrono::nanoseconds duration{0};
    Clock::time_point lastFrame;   ///< when the last frame before the loss was lent
    Clock::time_point boardBack;   ///< when a scan listed the board again
    Clock::time_point firstFrame;  ///< when the first frame after it was lent
    uint64_t lastFrameTime = 0;    ///< board time stamps of those two frames (Frame::time())
    uint64_t firstFrameTime = 0;
};

/// How a camera reconnects when its board goes away (Camera::setReconnect).
struct ReconnectOptions {
    /// How long to wait for the board to return before the capture gives up and throws.
    std::chrono::milliseconds wait{10000};
    /// Scan interval while waiting.
    std::chrono::milliseconds poll{20};
    /// Runs after each reopen, before the stream starts again: write the sensor's start-up
    /// registers, register control scripts, set the trigger mode, as after the first open.
    /// An Error thrown here counts as the board being lost again; waiting goes on.
    std::function<void(Camera&)> setup;
    /// Told of each gap once its first frame after the return has come, before it is lent.
    std::function<void(const Gap&)> onGap;
};

/// Frames of one capture, as an input range:
///
///     for (const vexo::Frame& frame : camera.frames(100)) use(frame.bytes());
///
/// Creating the range starts the capture; destroying it ends it, also when the loop is left
/// early or by an exception. Each step completes transfers (Vexo_captureImage) until a frame is
/// queued, lends it, and gives it back (Vexo_del) when the iterator advances: a Frame is valid
/// until the iterator advances, the range is destroyed or the camera reopens (a frame lent
/// before Camera::setConfig keeps its bytes and record until it is given back). Nothing is
/// allocated per frame.
///
/// Frame errors (a frame of the wrong length, a lost frame index, a JPEG without its markers)
/// do not stop the range: the library drops those frames and streams on, and the range counts
/// them in frameErrors(). When no frame arrives within the time-out, the step throws Error with
/// the last frame error seen, or USB_CAMERA_USB_TIMEOUT_ERROR when there was none. A capture
/// that ends (an unplugged board) throws at once.
///
/// With reconnect on (Camera::setReconnect), a capture that ends because its board went away
/// does not throw: the frames still queued are lent first, then the range waits for a board
/// with the same serial, reopens it (same configuration, then ReconnectOptions::setup),
/// starts the stream again and goes on; the frames lost are reported as a Gap (gaps(),
/// ReconnectOptions::onGap). It throws only when the board does not return within
/// ReconnectOptions::wait.
///
/// A range from Camera::frames() follows its camera: when the camera reopens (Camera::reopen(),
/// from the loop's body for instance) the lent frame is gone with the old handle, and the next
/// step starts the capture on the new one and goes on; it follows the camera when that moves,
/// and ends when the camera is destroyed. One range at a time per camera: a second one, while the
/// first still runs, throws USB_CAMERA_USB_TASK_ERROR.
class FrameRange {
  public:
    class Iterator {
      public:
        using value_type = Frame;
        using difference_type = std::ptrdiff_t;

        Iterator() = default;
        const Frame& operator*() const { return range_->frame_; }
        const Frame* operator->() const { return &range_->frame_; }
        Iterator& operator++() {
            range_->advance();
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(std::default_sentinel_t) const { return !range_ || range_->done(); }

      private:
        friend class FrameRange;
        explicit Iterator(FrameRange* range) : range_(range) {}
        FrameRange* range_ = nullptr;
    };

    FrameRange(CameraHandle handle, uint64_t count, std::chrono::milliseconds timeout)
        : handle_(handle), remaining_(count), timeout_(timeout) {
        detail::check(Vexo_beginCaptureImage(handle_), "Vexo_beginCaptureImage");
        running_ = true;
        // Frames left from an earlier capture or a single frame are not this capture's. Only
        // after the start succeeded: a refused second range must not drop the first one's.
        Vexo_flush(handle_);
    }
    /// A range that reconnects through `camera` (see Camera::setReconnect).
    FrameRange(Camera& camera, uint64_t count, std::chrono::milliseconds timeout);
    ~FrameRange() {
        stop();
        untrack();
    }
    FrameRange(const FrameRange&) = delete;
    FrameRange& operator=(const FrameRange&) = delete;
    FrameRange(FrameRange&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)),
          remaining_(other.remaining_),
          timeout_(other.timeout_),
          frame_(other.frame_),
          lent_(std::exchange(other.lent_, false)),
          running_(std::exchange(other.running_, false)),
          started_(other.started_),
          frameErrors_(other.frameErrors_),
          lastFrameError_(other.lastFrameError_),
          camera_(std::exchange(other.camera_, nullptr)),
          owner_(std::exchange(other.owner_, nullptr)),
          gaps_(std::move(other.gaps_)),
          pendingGap_(std::move(other.pendingGap_)),
          appearance_(other.appearance_),
          interval_(other.interval_),
          boardInterval_(other.boardInterval_) {
        retrack();
    }
    FrameRange& operator=(FrameRange&&) = delete;

    /// Fetches the first frame; call once.
    Iterator begin() {
        if (!started_) {
            started_ = true;
            fetch();
        }
        return Iterator(this);
    }
    std::default_sentinel_t end() const { return {}; }

    /// Frames the library dropped for frame errors while this range ran.
    uint64_t frameErrors() const { return frameErrors_; }
    /// The last such error's status code, or USB_CAMERA_NO_ERROR.
    uint32_t lastFrameError() const { return lastFrameError_; }
    /// Times the range reconnected to its board.
    uint64_t reconnects() const { return gaps_.size() + (pendingGap_ ? 1 : 0); }
    /// The gaps of the reconnects whose first frame has come, oldest first.
    const std::vector<Gap>& gaps() const { return gaps_; }

    /// Gives back the lent frame and ends the capture now; the range is then done.
    void stop() {
        release();
        remaining_ = 0;
        if (running_) {
            running_ = false;
            Vexo_endCaptureImage(handle_);
            Vexo_flush(handle_);
        }
    }

  private:
    friend class Camera;

    bool done() const { return !lent_; }

    // The camera closes the handle under the range (it reopens, closes or is assigned to):
    // the lent frame and the capture went with it, so nothing may reach that handle again.
    void handleClosed() noexcept {
        lent_ = false;
        running_ = false;
        handle_ = nullptr;
    }
    // Starts the capture on the owner's new handle after handleClosed(); false when there
    // is none.
    bool resume();
    // Keep the owner's pointer to its range true through moves and destruction.
    void retrack() noexcept;
    void untrack() noexcept;

    void release() {
        if (lent_) {
            lent_ = false;
            Vexo_del(handle_);
        }
    }

    void advance() {
        release();
        fetch();
    }

    void fetch() {
        if (remaining_ == 0 || (!running_ && !resume())) return;
        auto deadline = std::chrono::steady_clock::now() + timeout_;
        for (;;) {
            FrameData* data = nullptr;
            if (Vexo_readImage(handle_, &data) == USB_CAMERA_NO_ERROR && data) {
                frame_ = Frame(data);
                lent_ = true;
                --remaining_;
                if (camera_) noteFrame();
                return;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                const uint32_t code =
                    lastFrameError_ ? lastFrameError_ : USB_CAMERA_USB_TIMEOUT_ERROR;
                stop();
                throw Error(code, "no frame within the time-out");
            }
            const uint32_t result = Vexo_captureImage(handle_);
            if (result <= 0xFF || result == USB_CAMERA_USB_TIMEOUT_ERROR) continue;
            if (result == USB_CAMERA_DATA_LACK_ERROR || result == USB_CAMERA_DATA_LEN_ERROR ||
                result == USB_CAMERA_FRAME_INDEX_ERROR) {
                ++frameErrors_;
                lastFrameError_ = result;
                continue;
            }
            // The capture itself ended (its reads could not be queued again): no frame will
            // come, so waiting out the time-out would only hide the cause.
            if (!camera_) {
                stop();
                throw Error(result, "Vexo_captureImage");
            }
            // Frames already queued were sent before the loss: they come first.
            if (Vexo_availableImage(handle_) > 0) continue;
            reconnect();
            deadline = std::chrono::steady_clock::now() + timeout_;
        }
    }

    // Where the stream stood, for a gap's figures. Plain values: nothing is allocated.
    struct Appearance {
        uint64_t frames = 0;
        Gap::Clock::time_point first, last;
        uint64_t firstTime = 0, lastTime = 0;
        unsigned index = 0;
    };
    void noteFrame();
    void reconnect();

    CameraHandle handle_ = nullptr;
    uint64_t remaining_ = 0;
    std::chrono::milliseconds timeout_;
    Frame frame_;
    bool lent_ = false;
    bool running_ = false;
    bool started_ = false;
    uint64_t frameErrors_ = 0;
    uint32_t lastFrameError_ = USB_CAMERA_NO_ERROR;
    Camera* camera_ = nullptr;  // set when the range reconnects
    Camera* owner_ = nullptr;   // the camera that made it (Camera::frames), while it lives
    std::vector<Gap> gaps_;
    std::optional<Gap> pendingGap_;  // a reconnect whose first frame has not come yet
    Appearance appearance_;
    Gap::Clock::duration interval_{0};  // mean frame interval before the last loss
    double boardInterval_ = 0;          // the same in board time (100 ns units); 0: unknown
};

/// An opened camera board. Move-only; the destructor ends a running capture and closes it.
///
/// Threading: one thread at a time (see the top of this header).
class Camera {
  public:
    /// Per-frame wait of frames() unless told otherwise.
    static constexpr std::chrono::milliseconds kFrameTimeout{3000};
    /// Frames of an unbounded capture.
    static constexpr uint64_t kUnbounded = std::numeric_limits<uint64_t>::max();

    /// Opens device `index` (as scan() lists it).
    static Camera open(unsigned index, const Config& config = {}) { return Camera(index, config); }
    /// Opens the board whose serial text is `serial`.
    static Camera openSerial(std::string_view serial, const Config& config = {}) {
        for (const BoardInfo& board : scan())
            if (board.serial == serial) return Camera(board.index, config);
        throw Error(USB_CAMERA_USB_CREATE_ERROR,
                    "no board with serial \"" + std::string(serial) + "\"");
    }
    /// Opens the first attached board. Unlike Vexo_autoopen, an open that fails reports the
    /// open's own status code rather than USB_CAMERA_USB_CREATE_ERROR.
    static Camera openFirst(const Config& config = {}) {
        const std::vector<BoardInfo> boards = scan();
        if (boards.empty()) throw Error(USB_CAMERA_USB_CREATE_ERROR, "no board attached");
        return Camera(boards.front().index, config);
    }

    ~Camera() {
        close();
        dropRange();
    }
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;
    Camera(Camera&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)),
          config_(other.config_),
          index_(other.index_),
          reconnect_(std::move(other.reconnect_)),
          serial_(std::move(other.serial_)) {
        takeRange(other);
    }
    Camera& operator=(Camera&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
            config_ = other.config_;
            index_ = other.index_;
            reconnect_ = std::move(other.reconnect_);
            serial_ = std::move(other.serial_);
            dropRange();
            takeRange(other);
        }
        return *this;
    }

    /// The C handle, for the functions this header does not wrap (controls, the two-thread
    /// capture of the C API). It stays owned by this Camera.
    CameraHandle handle() const { return handle_; }
    /// The configuration in force.
    Config config() const { return Config::from(config_); }
    /// USB_2, USB_3 or USB_3_2 (a USB 3 board on a USB 2 link); 0 when not known.
    uint8_t usbType() const { return config_.usbType; }

    /// Applies a new configuration. Throws (with the configuration unchanged for
    /// USB_CAMERA_SIZE_EXCEED_ERROR) when the library refuses it.
    void setConfig(const Config& config) {
        CameraConfig cfg = config.toCameraConfig();
        const uint32_t status = Vexo_setCamCfg(handle_, &cfg);
        if (status != USB_CAMERA_SIZE_EXCEED_ERROR) config_ = cfg;
        detail::check(status, "Vexo_setCamCfg");
    }

    /// Captures up to `count` frames; see FrameRange.
    FrameRange frames(uint64_t count = kUnbounded,
                      std::chrono::milliseconds timeout = kFrameTimeout) {
        FrameRange range =
            reconnect_ ? FrameRange(*this, count, timeout) : FrameRange(handle_, count, timeout);
        // A range left from before is done (one runs at a time): it no longer follows.
        if (range_) {
            range_->owner_ = nullptr;
            if (range_->camera_ == this) range_->camera_ = nullptr;
        }
        range.owner_ = this;
        range_ = &range;
        return range;
    }

    /// Device index the camera is open at (it may change when the camera reconnects).
    unsigned index() const { return index_; }

    /// From now on the camera's captures (frames()) follow its board when it goes away: they
    /// wait for a board with the same serial text, reopen it with the configuration in force,
    /// run `options.setup` and stream on, reporting each loss as a Gap. Reads the board's
    /// serial now, so the board must be attached; boards without a serial text cannot be told
    /// apart and are refused with USB_CAMERA_USB_CREATE_ERROR.
    void setReconnect(ReconnectOptions options) {
        std::string serialText = serial();
        if (serialText.empty())
            throw Error(USB_CAMERA_USB_CREATE_ERROR, "a board without a serial cannot reconnect");
        serial_ = std::move(serialText);
        reconnect_ = std::move(options);
    }
    /// Ends reconnecting: a board that goes away ends the capture with an Error again.
    void clearReconnect() { reconnect_.reset(); }
    bool reconnects() const { return reconnect_.has_value(); }

    /// Closes the board's handle and opens the board with the same serial again (the
    /// configuration in force, then ReconnectOptions::setup), waiting up to
    /// ReconnectOptions::wait for it to be listed. Returns when a scan listed it. Needs
    /// setReconnect(); throws Error when the board did not come back in time (the camera is
    /// then closed). FrameRange calls it when its board went away.
    std::chrono::steady_clock::time_point reopen() {
        if (!reconnect_) throw Error(USB_CAMERA_USB_TASK_ERROR, "reconnect is not set");
        close();
        const ReconnectOptions& options = *reconnect_;
        const auto deadline = std::chrono::steady_clock::now() + options.wait;
        uint32_t lastStatus = USB_CAMERA_USB_CREATE_ERROR;
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            const auto left =
                deadline > now
                    ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                    : std::chrono::milliseconds(0);
            std::optional<BoardInfo> board = waitForBoard(serial_, left, options.poll);
            if (!board)
                throw Error(lastStatus, "board \"" + serial_ + "\" did not come back within " +
                                            std::to_string(options.wait.count()) + " ms");
            const auto back = std::chrono::steady_clock::now();
            CameraConfig cfg = config_;
            lastStatus = Vexo_open(&handle_, &cfg, board->index);
            if (lastStatus == USB_CAMERA_NO_ERROR) {
                config_ = cfg;
                index_ = board->index;
                try {
                    // Boards are opened by index, and indices move when boards come and go
                    // between the scan and the open: make sure this is the board.
                    if (serial() == serial_) {
                        if (options.setup) options.setup(*this);
                        return back;
                    }
                } catch (const Error& error) {
                    // The board went away again during its start-up: wait for it once more.
                    lastStatus = error.code();
                }
            }
            close();
            if (std::chrono::steady_clock::now() >= deadline)
                throw Error(lastStatus, "board \"" + serial_ + "\" could not be reopened");
            std::this_thread::sleep_for(options.poll);
        }
    }
    /// The reconnect options in force; none when the camera does not reconnect.
    const ReconnectOptions* reconnectOptions() const { return reconnect_ ? &*reconnect_ : nullptr; }
    /// The serial text the camera reconnects to.
    const std::string& reconnectSerial() const { return serial_; }

    /// One frame with its own reads, not beside a running capture. The frame stays valid until
    /// the next capture call on this camera. The board is left in external-trigger mode: call
    /// setTriggerMode(CONTINUOUS_MODE) before frames() if the board does not follow it.
    Frame singleFrame(std::chrono::milliseconds timeout = kFrameTimeout) {
        FrameData* data = nullptr;
        detail::check(Vexo_getSingleFrame(handle_, &data, static_cast<uint32_t>(timeout.count())),
                      "Vexo_getSingleFrame");
        return Frame(data);
    }

    /// Sensor registers, at the configuration's I2C address and widths.
    void writeSensorReg(uint32_t reg, uint32_t value) {
        detail::check(Vexo_writeSensorReg(handle_, reg, value), "Vexo_writeSensorReg");
    }
    uint32_t readSensorReg(uint32_t reg) {
        uint32_t value = 0;
        detail::check(Vexo_readSensorReg(handle_, reg, &value), "Vexo_readSensorReg");
        return value;
    }

    /// A register of any I2C device on the board (the board controller is 0x46), with the
    /// address and value widths `widths` names. 32-bit values need USB firmware 0x0314..0x03FF.
    void writeReg(I2cMode widths, uint32_t i2cAddress, uint32_t reg, uint32_t value) {
        uint32_t status = USB_CAMERA_VR_COMMAND_ERROR;
        switch (widths) {
            case I2C_MODE_8_8:
                status = Vexo_writeReg_8_8(handle_, i2cAddress, reg, value);
                break;
            case I2C_MODE_8_16:
                status = Vexo_writeReg_8_16(handle_, i2cAddress, reg, value);
                break;
            case I2C_MODE_16_8:
                status = Vexo_writeReg_16_8(handle_, i2cAddress, reg, value);
                break;
            case I2C_MODE_16_16:
                status = Vexo_writeReg_16_16(handle_, i2cAddress, reg, value);
                break;
            case I2C_MODE_16_32:
                status = Vexo_writeReg_16_32(handle_, i2cAddress, reg, value);
                break;
        }
        detail::check(status, "Vexo_writeReg");
    }
    uint32_t readReg(I2cMode widths, uint32_t i2cAddress, uint32_t reg) {
        uint32_t value = 0;
        uint32_t status = USB_CAMERA_VR_COMMAND_ERROR;
        switch (widths) {
            case I2C_MODE_8_8:
                status = Vexo_readReg_8_8(handle_, i2cAddress, reg, &value);
                break;
            case I2C_MODE_8_16:
                status = Vexo_readReg_8_16(handle_, i2cAddress, reg, &value);
                break;
            case I2C_MODE_16_8:
                status = Vexo_readReg_16_8(handle_, i2cAddress, reg, &value);
                break;
            case I2C_MODE_16_16:
                status = Vexo_readReg_16_16(handle_, i2cAddress, reg, &value);
                break;
            case I2C_MODE_16_32:
                status = Vexo_readReg_16_32(handle_, i2cAddress, reg, &value);
                break;
        }
        detail::check(status, "Vexo_readReg");
        return value;
    }

    /// Bytes of the board's 1024-byte user-data store, any length: the library moves at most
    /// 32 bytes a call, so longer spans go in pieces. A range past address 1023 is refused
    /// before any byte moves.
    void readUserData(uint16_t address, std::span<uint8_t> out) {
        checkUserRange(address, out.size());
        for (size_t done = 0; done < out.size();) {
            const size_t piece = std::min<size_t>(kUserDataPiece, out.size() - done);
            detail::check(Vexo_readUserData(handle_, static_cast<uint16_t>(address + done),
                                            static_cast<uint8_t>(piece), out.data() + done),
                          "Vexo_readUserData");
            done += piece;
        }
    }
    std::vector<uint8_t> readUserData(uint16_t address, size_t length) {
        std::vector<uint8_t> bytes(length);
        readUserData(address, std::span<uint8_t>(bytes));
        return bytes;
    }
    void writeUserData(uint16_t address, std::span<const uint8_t> bytes) {
        checkUserRange(address, bytes.size());
        for (size_t done = 0; done < bytes.size();) {
            const size_t piece = std::min<size_t>(kUserDataPiece, bytes.size() - done);
            // The write only reads the bytes; the C signature predates const.
            detail::check(Vexo_writeUserData(handle_, static_cast<uint16_t>(address + done),
                                             static_cast<uint8_t>(piece),
                                             const_cast<uint8_t*>(bytes.data() + done)),
                          "Vexo_writeUserData");
            done += piece;
        }
    }

    /// The serial text at user data 1008..1023 (up to its first NUL).
    std::string serial() {
        std::array<uint8_t, kSerialBytes> bytes{};
        readUserData(kSerialAddress, bytes);
        return detail::serialText(bytes.data());
    }
    /// Writes a serial text of at most 16 bytes, NUL-padded.
    void setSerial(std::string_view serial) {
        if (serial.size() > kSerialBytes)
            throw std::invalid_argument("a serial text has at most 16 bytes");
        std::array<uint8_t, kSerialBytes> bytes{};
        std::copy(serial.begin(), serial.end(), bytes.begin());
        writeUserData(kSerialAddress, bytes);
    }

    /// Vendor requests to the board: host to device with `data`, and device to host into
    /// `out`. Request 0x80, for instance, reads the USB firmware version (major, minor).
    void sendBoardCommand(uint8_t request, uint16_t value, uint16_t index,
                          std::span<const uint8_t> data = {}) {
        // Host to device: the library only reads the bytes.
        detail::check(
            Vexo_setboardConfig(handle_, request, value, index, static_cast<uint32_t>(data.size()),
                                const_cast<uint8_t*>(data.data())),
            "Vexo_setboardConfig");
    }
    void readBoardCommand(uint8_t request, uint16_t value, uint16_t index, std::span<uint8_t> out) {
        detail::check(Vexo_getboardConfig(handle_, request, value, index,
                                          static_cast<uint32_t>(out.size()), out.data()),
                      "Vexo_getboardConfig");
    }

    /// Trigger modes (USB 2 boards with board controller 18.8.17 or later; other boards throw
    /// USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR).
    void setTriggerMode(TriggerMode mode) {
        detail::check(Vexo_setMode(handle_, mode), "Vexo_setMode");
    }
    void softTrigger() { detail::check(Vexo_softTrigger(handle_), "Vexo_softTrigger"); }
    /// The board's frame-ready register.
    uint8_t isFrameReady() {
        const uint32_t value = Vexo_isFrameReady(handle_);
        if (value > 0xFF) throw Error(value, "Vexo_isFrameReady");
        return static_cast<uint8_t>(value);
    }

    /// While on, frames of the wrong length are handed out too (still counted as frame errors).
    void setForceRead(bool on) {
        if (on)
            Vexo_enableForceRead(handle_);
        else
            Vexo_disableForceRead(handle_);
    }

  private:
    static constexpr size_t kUserDataPiece = 32;
    static constexpr size_t kUserDataBytes = 1024;
    static constexpr uint16_t kSerialAddress = 1008;
    static constexpr size_t kSerialBytes = 16;

    Camera(unsigned index, const Config& config) : config_(config.toCameraConfig()), index_(index) {
        const uint32_t status = Vexo_open(&handle_, &config_, index);
        if (status != USB_CAMERA_NO_ERROR) {
            // A failed open still hands out a handle, which must be given back.
            Vexo_close(handle_);
            handle_ = nullptr;
            throw Error(status, "Vexo_open");
        }
    }

    static void checkUserRange(uint16_t address, size_t length) {
        if (address + length > kUserDataBytes) throw Error(USB_USERDATA_ADDR_ERROR, "user data");
    }

    void close() noexcept {
        if (range_) range_->handleClosed();
        // Vexo_close ends a running capture before it closes.
        if (handle_) Vexo_close(std::exchange(handle_, nullptr));
    }

    CameraHandle handle_ = nullptr;
    CameraConfig config_{};
    unsigned index_ = 0;
    std::optional<ReconnectOptions> reconnect_;
    std::string serial_;           // the board a reconnect looks for
    FrameRange* range_ = nullptr;  // the range of frames(), while it lives

    friend class FrameRange;

    // The range no longer has a camera: it ends at its next step.
    void dropRange() noexcept {
        if (!range_) return;
        range_->handleClosed();
        range_->owner_ = nullptr;
        if (range_->camera_ == this) range_->camera_ = nullptr;
        range_ = nullptr;
    }
    void takeRange(Camera& other) noexcept {
        range_ = std::exchange(other.range_, nullptr);
        if (!range_) return;
        range_->owner_ = this;
        if (range_->camera_ == &other) range_->camera_ = this;
    }
};

inline FrameRange::FrameRange(Camera& camera, uint64_t count, std::chrono::milliseconds timeout)
    : remaining_(count), timeout_(timeout), camera_(&camera) {
    appearance_.index = camera.index();
    const uint32_t begun =
        camera.handle() ? Vexo_beginCaptureImage(camera.handle()) : USB_CAMERA_USB_CREATE_ERROR;
    if (begun != USB_CAMERA_NO_ERROR) {
        // A board that went away between captures is waited for here too; a board that still
        // answers refused the start for a reason of its own (a second range, for one).
        // Request 0x80 (the USB firmware version) is one every board answers.
        std::array<uint8_t, 2> probe{};
        if (camera.handle() && Vexo_getboardConfig(camera.handle(), 0x80, 0, 0, 2, probe.data()) ==
                                   USB_CAMERA_NO_ERROR)
            throw Error(begun, "Vexo_beginCaptureImage");
        camera.reopen();
        appearance_.index = camera.index();
        detail::check(Vexo_beginCaptureImage(camera.handle()), "Vexo_beginCaptureImage");
    }
    handle_ = camera.handle();
    running_ = true;
    Vexo_flush(handle_);
}

inline bool FrameRange::resume() {
    if (handle_ || !owner_ || !owner_->handle() || remaining_ == 0) return false;
    detail::check(Vexo_beginCaptureImage(owner_->handle()), "Vexo_beginCaptureImage");
    handle_ = owner_->handle();
    running_ = true;
    Vexo_flush(handle_);
    // A reopen asked for is no loss: the stream's figures start afresh, with no gap.
    appearance_ = Appearance{};
    appearance_.index = owner_->index();
    return true;
}

inline void FrameRange::retrack() noexcept {
    if (owner_) owner_->range_ = this;
}

inline void FrameRange::untrack() noexcept {
    if (owner_ && owner_->range_ == this) owner_->range_ = nullptr;
    owner_ = nullptr;
}

inline void FrameRange::noteFrame() {
    const auto now = Gap::Clock::now();
    if (appearance_.frames++ == 0) {
        appearance_.first = now;
        appearance_.firstTime = frame_.time();
    }
    appearance_.last = now;
    appearance_.lastTime = frame_.time();
    if (!pendingGap_) return;
    Gap& gap = *pendingGap_;
    gap.firstFrame = now;
    gap.firstFrameTime = frame_.time();
    gap.duration = gap.firstFrame - gap.lastFrame;
    // Board time stamps (100 ns units, host time once the clocks are exchanged) when both
    // sides of the gap and the interval have them, else the host's clock.
    double periods = 0;
    if (boardInterval_ > 0 && gap.firstFrameTime > gap.lastFrameTime)
        periods = static_cast<double>(gap.firstFrameTime - gap.lastFrameTime) / boardInterval_;
    else if (interval_.count() > 0)
        periods = static_cast<double>(gap.duration.count()) /
                  static_cast<double>(std::chrono::nanoseconds(interval_).count());
    gap.frames = periods >= 1.5 ? static_cast<uint64_t>(periods + 0.5) - 1 : 0;
    gaps_.push_back(std::move(gap));
    pendingGap_.reset();
    if (const ReconnectOptions* options = camera_->reconnectOptions(); options && options->onGap)
        options->onGap(gaps_.back());
}

inline void FrameRange::reconnect() {
    // The old handle's capture has ended; the camera closes it when it reopens.
    running_ = false;
    Gap gap;
    gap.serial = camera_->reconnectSerial();
    gap.indexBefore = appearance_.index;
    gap.lastFrame = appearance_.frames ? appearance_.last : Gap::Clock::now();
    gap.lastFrameTime = appearance_.lastTime;
    // The mean frame interval of the appearance that ended prices the gap in frames once the
    // first frame after the return fixes its length (noteFrame()).
    interval_ = appearance_.frames >= 2 ? (appearance_.last - appearance_.first) /
                                              static_cast<int64_t>(appearance_.frames - 1)
                                        : Gap::Clock::duration::zero();
    boardInterval_ = appearance_.frames >= 2 && appearance_.lastTime > appearance_.firstTime
                         ? static_cast<double>(appearance_.lastTime - appearance_.firstTime) /
                               static_cast<double>(appearance_.frames - 1)
                         : 0;
    gap.boardBack = camera_->reopen();  // throws when the board does not come back in time
    gap.indexAfter = camera_->index();
    handle_ = camera_->handle();
    detail::check(Vexo_beginCaptureImage(handle_), "Vexo_beginCaptureImage");
    running_ = true;
    Vexo_flush(handle_);
    appearance_ = Appearance{};
    appearance_.index = gap.indexAfter;
    pendingGap_ = std::move(gap);
}

}  // namespace vexo
