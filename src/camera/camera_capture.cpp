// Continuous capture: 64 bulk reads kept queued on the bulk IN endpoint, one completed,
// assembled and queued again per captureImage() call.
#include <limits>

#include "camera/board_controller.h"
#include "camera/config_fields.h"
#include "camera/zu_usb_camera_lib.h"
#include "usb/driver_device.h"
#include "usb/read_completion.h"

namespace vexo::camera {

namespace {

// Per-read wait of the capture loop.
constexpr uint32_t kCaptureWaitMs = 1500;
constexpr uint32_t kJpegTransferLength = 8192;
constexpr uint32_t kDefaultTransferLength = 524288;

}  // namespace

uint32_t ZuUsbCameraLib::queueTransfers(CaptureState queued) {
    usb::BulkEndpoint* bulk = device_ ? device_->bulkInEndpoint : nullptr;
    if (!bulk) return USB_CAMERA_USB_TASK_ERROR;

    getUsbType(&captureBoardType_, &captureLinkType_);
    uint64_t length = formatModeValue(assembly_.config) == FORMAT_MODE_JPG ? kJpegTransferLength
                                                                           : kDefaultTransferLength;
    if (assembly_.config.u32TransLvl != 0) {
        length = static_cast<uint64_t>(assembly_.config.u32TransLvl) * bulk->maxPacketSize;
        if (captureLinkType_ == kLinkHighSpeed) length *= 16;
    }
    // A transfer level that gives no bytes, or more than one read can describe, is refused
    // rather than queued as reads that could never complete a frame.
    if (length == 0 || length > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        return USB_CAMERA_USB_TASK_ERROR;
    params_.transferLength = static_cast<uint32_t>(length);
    bulk->setTransferSize(params_.transferLength);

    if (!transfers_.allocate(params_.transferLength)) return USB_CAMERA_USB_TASK_ERROR;
    startCapture(assembly_);
    const int32_t n = static_cast<int32_t>(params_.transferLength);
    for (uint32_t i = 0; i < TransferSet::kCount; ++i) {
        TransferSet::Entry& entry = transfers_[i];
        entry.record = bulk->beginTransfer(entry.buffer.get(), n, &entry.overlapped);
        if (!usb::readQueued(*bulk, entry.record.get())) {
            abortCapture();
            return USB_CAMERA_USB_TASK_ERROR;
        }
    }
    transferIndex_ = 0;
    captureState_ = queued;
    return USB_CAMERA_NO_ERROR;
}

void ZuUsbCameraLib::abortCapture() {
    usb::BulkEndpoint* bulk = device_ ? device_->bulkInEndpoint : nullptr;
    if (bulk) bulk->abort();
    uint32_t moved = 0;
    vendorRequest(kRequestStopStream, kHostToDevice, 0, 0, 0, nullptr, &moved);
    transfers_.release(bulk);
    captureState_ = CaptureState::Idle;
}

uint32_t ZuUsbCameraLib::assembleTransfer(const uint8_t* data, size_t n, uint8_t& completed) {
    completed = 0;
    if (captureBoardType_ == kBoardTypeUsb3) {
        if (device_->productId == kProductUsb3Trailer)
            return assembleTrailerFrames(assembly_, ring_, data, n, completed);
        return assembleChunkFrames(assembly_, ring_, data, n, completed);
    }
    if (captureBoardType_ == kBoardTypeUsb2)
        return assembleTrailerFrames(assembly_, ring_, data, n, completed);
    return USB_CAMERA_USB_VERSION_ERROR;
}

uint32_t ZuUsbCameraLib::beginCaptureImage() {
    // A second start would drop the reads in flight with their buffers still in use.
    if (isCapturing() || !device_) return USB_CAMERA_USB_TASK_ERROR;
    // A configuration whose buffers could not all be allocated must not be captured into;
    // the failure that left it so is the answer.
    if (!buffersReady_.load()) return configFailure_;
    if (uint32_t status = queueTransfers(CaptureState::Streaming)) return status;
    writeReg_8_8(kBoardController, kRegControl, kControlRestart);
    writeReg_8_8(kBoardController, kRegControl, kControlIdle);
    writeReg_8_8(kBoardController, kRegControl, kControlRun);
    uint32_t moved = 0;
    vendorRequest(kRequestStartStream, kHostToDevice, 0, 0, 0, nullptr, &moved);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::captureImage() {
    if (captureState_ != CaptureState::Streaming) return USB_CAMERA_USB_TASK_ERROR;
    syncTime(false);

    usb::BulkEndpoint* bulk = device_->bulkInEndpoint;
    TransferSet::Entry& entry = transfers_[transferIndex_];
    // A time-out aborts every read of the pipe; the following calls each finish one of them
    // with a time-out and queue it again, so the queue refills within 64 calls.
    int32_t n = static_cast<int32_t>(transfers_.length());
    const bool finished = usb::completeRead(*bulk, entry.buffer.get(), n, &entry.overlapped,
                                            std::move(entry.record), kCaptureWaitMs);

    uint32_t result = USB_CAMERA_NO_ERROR;
    uint8_t completed = 0;
    const bool reconfiguring = assembly_.reconfiguring.load();
    if (!finished)
        result = reconfiguring ? USB_CAMERA_NO_ERROR : USB_CAMERA_USB_TIMEOUT_ERROR;
    else if (reconfiguring)
        dropTransfer(assembly_);
    else
        result =
            assembleTransfer(entry.buffer.get(), n < 0 ? 0 : static_cast<size_t>(n), completed);

    entry.record = bulk->beginTransfer(
        entry.buffer.get(), static_cast<int32_t>(transfers_.length()), &entry.overlapped);
    if (usb::readQueued(*bulk, entry.record.get())) {
        transferIndex_ = (transferIndex_ + 1) % TransferSet::kCount;
        return result;
    }
    abortCapture();
    return USB_CAMERA_USB_TASK_ERROR;
}

uint32_t ZuUsbCameraLib::endCaptureImage() {
    abortCapture();
    return USB_CAMERA_NO_ERROR;
}

}  // namespace vexo::camera
