#pragma once

#include <vexo/camera.h>
#include <vexo/controls.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "camera/capture_state.h"
#include "camera/frame_assembly.h"
#include "camera/frame_ring.h"
#include "camera/transfer_set.h"
#include "camera/usb_camera_lib.h"
#include "common/mutex.h"

namespace vexo::usb {
class DriverDevice;
}

namespace vexo::camera {

/// Vendor ids of the boards this library drives.
inline constexpr uint16_t kVendorIdPrimary = 0x52CB;
inline constexpr uint16_t kVendorIdSecondary = 0x04B4;

/// Transfer defaults set at open.
struct TransferParams {
    uint32_t bufferBlock = 512;      ///< unit of every frame-buffer size
    uint32_t transferLength = 8192;  ///< bytes of one bulk read; capture sets its own
    uint32_t headerBlock = 512;      ///< packet unit of the trailer-marked stream
};

/// What the board probe learned.
struct BoardInfo {
    uint32_t boardId = 0;               ///< board-controller register 0, 0 when absent
    BoardCtrlVersion boardCtrlVersion;  ///< registers 5..7 when boardId >= 35, else 0
    uint32_t usbFirmwareVersion = 0;    ///< vendor request 0x80: major << 8 | minor
    uint32_t boardUsbType = 0;          ///< getUsbType()'s board type at probe time
};

/// The camera engine: one opened camera board, its configuration, its frame queue, its
/// capture transfers and its control-script host.
///
/// The object owns the device (from open to close), the control-script host (for its whole
/// life), the six frame buffers (from configuration to close) and, while capturing, the 64
/// transfer buffers with their events.
///
/// Threading: calls are serialised by the caller, except the frame-queue calls, setCamCfg()
/// and vendor requests beside captureImage() (docs/threading.md, "The camera engine").
class ZuUsbCameraLib : public UsbCameraLib {
  public:
    /// Creates the camera with its control-script host; no device is attached.
    ZuUsbCameraLib();
    /// Releases the frame buffers and the control-script host, not an attached device.
    ~ZuUsbCameraLib() override;

    uint32_t scanByVid(uint32_t* indices, uint16_t vid) override;
    uint32_t scan(ScanEntry* entries) override;
    uint32_t open(CameraConfig* cfg, uint32_t index) override;
    uint32_t autoopen(CameraConfig* cfg) override;
    uint32_t close() override;

    uint32_t beginCaptureImage() override;
    uint32_t captureImage() override;
    uint32_t endCaptureImage() override;

    uint32_t readImage(FrameData** frame) override;
    uint32_t del() override;
    uint32_t flush() override;
    uint32_t availableImage() override;
    uint32_t shot() override;

    uint32_t writeSensorReg(uint32_t reg, uint32_t value) override;
    uint32_t readSensorReg(uint32_t reg, uint32_t* value) override;
    uint32_t getSensorCfg(CameraConfig* cfg) override;
    uint32_t getUsbType(uint8_t* boardType, uint8_t* linkType) override;

    uint32_t writeReg_8_8(uint32_t dev, uint32_t reg, uint32_t value) override;
    uint32_t readReg_8_8(uint32_t dev, uint32_t reg, uint32_t* value) override;
    uint32_t writeReg_8_16(uint32_t dev, uint32_t reg, uint32_t value) override;
    uint32_t readReg_8_16(uint32_t dev, uint32_t reg, uint32_t* value) override;
    uint32_t writeReg_16_8(uint32_t dev, uint32_t reg, uint32_t value) override;
    uint32_t readReg_16_8(uint32_t dev, uint32_t reg, uint32_t* value) override;
    uint32_t writeReg_16_16(uint32_t dev, uint32_t reg, uint32_t value) override;
    uint32_t readReg_16_16(uint32_t dev, uint32_t reg, uint32_t* value) override;
    uint32_t writeReg_16_32(uint32_t dev, uint32_t reg, uint32_t value) override;
    uint32_t readReg_16_32(uint32_t dev, uint32_t reg, uint32_t* value) override;

    uint32_t vendorRequest(uint8_t request, uint8_t direction, uint16_t value, uint16_t index,
                           uint32_t length, uint8_t* data, uint32_t* transferred) override
        VEXO_EXCLUDES(requestLock_);

    void enableForceRead() override;
    void disableForceRead() override;

    uint32_t readUserData(uint16_t address, uint8_t length, uint8_t* data) override;
    uint32_t writeUserData(uint16_t address, uint8_t length, uint8_t* data) override;

    uint32_t softTrigger() override;
    uint32_t isFrameReady() override;
    uint32_t getSingleFrame(FrameData** frame, uint32_t timeoutMs) override;
    uint32_t setMode(uint32_t mode) override;

    int registerCtrls(const CtrlRecord* records, uint32_t count) override;
    int setCtrl(const char* name, int64_t value, void* userData) override;

    uint32_t setCamCfg(CameraConfig* cfg) override;

    /// The open sequence on a device that is already open and carries an accepted vendor
    /// id: attach it (the camera owns it from here on), transfer defaults with the three
    /// clock exchanges, configuration check and board probe, frame buffers. open() and
    /// autoopen() end with it. On failure the device stays attached; close() releases it.
    uint32_t runOpenSequence(std::unique_ptr<usb::DriverDevice> device, CameraConfig* cfg);

    /// The clock exchange with the board (requests 0xB0 then 0xB1). Unless `force` is set
    /// it does nothing when at most one second has passed since the last exchange.
    void syncTime(bool force);

    /// The control-script host, for callers that drive it directly.
    Controller* controller() const { return controller_; }

    /// Inspection, for the exported functions' callers and tests.
    bool isAttached() const { return device_ != nullptr; }
    bool isCapturing() const { return captureState_ != CaptureState::Idle; }
    const BoardInfo& boardInfo() const { return board_; }
    const TransferParams& transferParams() const { return params_; }
    uint32_t frameSize() const { return assembly_.frameSize; }
    uint32_t usbType() const { return usbType_; }
    bool triggerMode() const { return assembly_.triggerMode.load(); }
    bool forceRead() const { return assembly_.forceRead.load(); }
    const FrameRing& frameRing() const { return ring_; }

  private:
    /// Open sequence steps.
    void setTransferDefaults();
    uint32_t applyConfig(CameraConfig* cfg);
    void probeBoard();
    uint32_t allocFrameBuffers();
    void releaseFrameBuffers();
    void exchangeClocks();

    /// Capture helpers. queueTransfers() enters `queued` once every read is queued;
    /// abortCapture() ends the reads and the stream and leaves the camera Idle.
    uint32_t queueTransfers(CaptureState queued);
    void abortCapture();
    uint32_t assembleTransfer(const uint8_t* data, size_t n, uint8_t& completed);
    bool isTriggerSupported();
    /// One control transfer on endpoint 0, whose request fields and status words every request
    /// shares: only under the request lock.
    uint32_t controlTransfer(uint8_t request, uint8_t direction, uint16_t value, uint16_t index,
                             uint32_t length, uint8_t* data, uint32_t* transferred)
        VEXO_REQUIRES(requestLock_);

    /// The device while attached; owned.
    std::unique_ptr<usb::DriverDevice> device_;
    /// The control-script host; owned, created by the constructor.
    Controller* controller_ = nullptr;
    /// Serialises control transfers (docs/threading.md): what it keeps apart lives in the
    /// device's control endpoint, which controlTransfer() alone touches.
    Mutex requestLock_;

    TransferParams params_;
    BoardInfo board_;
    /// USB_2, USB_3 or USB_3_2 as published in CameraConfig::usbType; 0 until a board
    /// whose board and link type the mapping covers has been configured.
    uint32_t usbType_ = 0;
    /// Host time of the last clock exchange.
    uint64_t lastSync_ = 0;

    /// Applied configuration, frame size and board versions live here, next to the
    /// assembly's own state, because the assembly reads them for every frame.
    AssemblyState assembly_;
    FrameRing ring_;
    /// Whether every slot holds a buffer of the applied configuration; capture is refused
    /// while a configuration's allocation failed part-way.
    std::atomic<bool> buffersReady_{false};
    /// Why the buffers are not ready: the configuration check's code (0xFF51, 0xFF71) or
    /// USB_CAMERA_BUFFER_ERROR; beginCaptureImage and getSingleFrame answer with it.
    uint32_t configFailure_ = USB_CAMERA_BUFFER_ERROR;

    /// Capture state. transferIndex_, the read to complete next, counts only while reads are
    /// queued.
    CaptureState captureState_ = CaptureState::Idle;
    TransferSet transfers_;
    uint32_t transferIndex_ = 0;
    uint8_t captureBoardType_ = 0;
    uint8_t captureLinkType_ = 0;
};

}  // namespace vexo::camera
