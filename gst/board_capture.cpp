#include "board_capture.h"

#include <vexo/board_session.hpp>

namespace vexo::gst {

namespace {

bool isFrameError(uint32_t status) {
    return status == USB_CAMERA_DATA_LACK_ERROR || status == USB_CAMERA_DATA_LEN_ERROR ||
           status == USB_CAMERA_FRAME_INDEX_ERROR;
}

const char* triggerName(Trigger trigger) {
    switch (trigger) {
        case Trigger::Software:
            return "software";
        case Trigger::External:
            return "external";
        case Trigger::Continuous:
            break;
    }
    return "continuous";
}

}  // namespace

bool BoardCapture::open(unsigned index, const std::string& serial, const CameraFile& file,
                        Trigger trigger, Failure& failure) {
    close();
    trigger_ = trigger;
    const std::string board =
        serial.empty() ? "board " + std::to_string(index) : "board with serial \"" + serial + "\"";
    std::string step = "opening " + board;
    try {
        const Config config = Config::from(file.config);
        camera_.emplace(serial.empty() ? Camera::open(index, config)
                                       : Camera::openSerial(serial, config));
        // The file's registers and board commands, run as every program runs them.
        StartupFailure startup;
        if (!runStartup(camera_->handle(), file, startup)) {
            failure = {startup.status, Error(startup.status, startup.step).what()};
            camera_.reset();
            return false;
        }
        step = std::string("trigger mode ") + triggerName(trigger);
        // Also for continuous capture: a single-frame capture leaves a board in
        // external-trigger mode, and the setting outlasts a close.
        camera_->setTriggerMode(trigger == Trigger::Continuous ? CONTINUOUS_MODE
                                                               : EXTERNAL_TRIGGER_MODE);
        // Kept to tell an unplugged board from other failures later.
        step = "reading the serial of " + board;
        serial_ = serial.empty() ? camera_->serial() : serial;
    } catch (const Error& e) {
        failure = {e.code(), step + ": " + e.what()};
        camera_.reset();
        return false;
    } catch (const std::exception& e) {
        failure = {USB_CAMERA_USB_CREATE_ERROR, step + ": " + e.what()};
        camera_.reset();
        return false;
    }
    counters_.frames = counters_.drops = counters_.errors = 0;
    return true;
}

bool BoardCapture::start(Failure& failure) {
    if (!camera_) {
        failure = captureFailure(USB_CAMERA_USB_TASK_ERROR, "starting the stream");
        return false;
    }
    const uint32_t status = Vexo_beginCaptureImage(camera_->handle());
    if (status != USB_CAMERA_NO_ERROR) {
        failure = captureFailure(status, "starting the stream");
        return false;
    }
    // Frames of an earlier stream are not this one's.
    Vexo_flush(camera_->handle());
    running_ = true;
    triggered_ = false;
    pendingDrops_ = 0;
    lastFrameError_ = USB_CAMERA_NO_ERROR;
    return true;
}

BoardCapture::Next BoardCapture::next(const std::atomic<bool>& flushing,
                                      std::chrono::milliseconds timeout, const FrameData*& frame,
                                      Failure& failure) {
    if (!running_) {
        failure = captureFailure(USB_CAMERA_USB_TASK_ERROR, "capture");
        return Next::Failed;
    }
    const CameraHandle handle = camera_->handle();
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        timeout.count() > 0 ? Clock::now() + timeout : Clock::time_point::max();
    for (;;) {
        FrameData* data = nullptr;
        if (Vexo_readImage(handle, &data) == USB_CAMERA_NO_ERROR && data) {
            frame = data;
            lent_ = true;
            triggered_ = false;
            ++counters_.frames;
            return Next::Frame;
        }
        if (flushing.load()) return Next::Flushing;
        if (Clock::now() >= deadline) {
            const uint32_t code =
                lastFrameError_ ? lastFrameError_ : uint32_t{USB_CAMERA_USB_TIMEOUT_ERROR};
            failure =
                captureFailure(code, "no frame within " + std::to_string(timeout.count()) + " ms");
            return Next::Failed;
        }
        // The queue is empty: frames lost behind the ones it held come after all of them.
        counters_.drops += pendingDrops_;
        pendingDrops_ = 0;
        if (trigger_ == Trigger::Software && !triggered_) {
            const uint32_t status = Vexo_softTrigger(handle);
            if (status != USB_CAMERA_NO_ERROR) {
                failure = captureFailure(status, "software trigger");
                return Next::Failed;
            }
            triggered_ = true;
        }
        const uint32_t result = Vexo_captureImage(handle);
        if (result <= 0xFF) {
            // The queue holds five frames: frames completed beyond that are lost.
            const uint32_t queued = Vexo_availableImage(handle);
            if (result > queued) pendingDrops_ += result - queued;
            continue;
        }
        if (result == USB_CAMERA_USB_TIMEOUT_ERROR) continue;
        if (isFrameError(result)) {
            ++counters_.errors;
            lastFrameError_ = result;
            continue;
        }
        // The capture itself ended (an unplugged board, a board without a stream framing).
        failure = captureFailure(result, "capture");
        return Next::Failed;
    }
}

void BoardCapture::release() {
    if (lent_) {
        lent_ = false;
        Vexo_del(camera_->handle());
    }
}

void BoardCapture::close() {
    release();
    if (camera_ && running_) Vexo_endCaptureImage(camera_->handle());
    running_ = false;
    camera_.reset();
}

Failure BoardCapture::captureFailure(uint32_t status, const std::string& what) const {
    std::string context = what;
    // A board that left the bus fails its reads: say so before the status, whose hint speaks
    // of other causes.
    if (!serial_.empty() &&
        (status == USB_CAMERA_USB_TASK_ERROR || status == USB_CAMERA_USB_TIMEOUT_ERROR)) {
        try {
            bool attached = false;
            for (const BoardInfo& board : scan()) attached |= board.serial == serial_;
            if (!attached)
                context += ": the board \"" + serial_ + "\" is no longer attached (unplugged)";
        } catch (const Error&) {
        }
    }
    return {status, Error(status, context).what()};
}

}  // namespace vexo::gst
