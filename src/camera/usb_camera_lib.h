#pragma once

#include <vexo/camera.h>
#include <vexo/controls.h>

#include <cstdint>

/// The opaque type behind CameraHandle. Every camera object is one, so the exported functions
/// turn a handle back into its camera with a static_cast instead of a reinterpret_cast.
struct VexoCamera {};

namespace vexo::camera {

/// Direction argument of vendorRequest().
enum RequestDirection : uint8_t {
    kHostToDevice = 0,
    kDeviceToHost = 1,
};

/// The camera as every caller sees it: forty operations, each reached by one exported
/// function (scanByVid and vendorRequest by none of their own). The engine's own operations
/// call each other through this interface, so a derived class may replace any one of them.
///
/// The defaults here do nothing and report success (a few are pure); ZuUsbCameraLib is the
/// implementation. No operation throws: every failure is a status code.
///
/// Threading: see ZuUsbCameraLib, the rules belong to the implementation.
class UsbCameraLib : public VexoCamera {
  public:
    UsbCameraLib() = default;
    UsbCameraLib(const UsbCameraLib&) = delete;
    UsbCameraLib& operator=(const UsbCameraLib&) = delete;

    /// Releases nothing of the base's own.
    virtual ~UsbCameraLib();

    /// Stores the device index of every device whose vendor id equals `vid` into `indices`
    /// (room for 255) and returns how many, or USB_CAMERA_USB_CREATE_ERROR.
    virtual uint32_t scanByVid(uint32_t* indices, uint16_t vid);
    /// Lists the accepted boards into `entries` (room for 255): index and serial text.
    /// Returns the count or USB_CAMERA_USB_CREATE_ERROR. Leaves this object unopened.
    virtual uint32_t scan(ScanEntry* entries);
    /// Opens device `index` (low 8 bits) and runs the open sequence with `cfg`, whose
    /// usbType is written back.
    virtual uint32_t open(CameraConfig* cfg, uint32_t index);
    /// Opens the first board with an accepted vendor id; any failure after it was found
    /// is reported as USB_CAMERA_USB_CREATE_ERROR and leaves no device attached.
    virtual uint32_t autoopen(CameraConfig* cfg);
    /// Tells the board the camera is closed, releases the device and the frame buffers.
    virtual uint32_t close();

    /// Queues the 64 bulk reads and starts the board streaming.
    virtual uint32_t beginCaptureImage();
    /// Completes one read: frames completed (0..255) or a status from 0xFF01 up.
    virtual uint32_t captureImage();
    /// Cancels the reads and stops the board streaming.
    virtual uint32_t endCaptureImage();

    /// Lends the oldest queued frame; it stays queued until del().
    virtual uint32_t readImage(FrameData** frame);
    /// Releases the oldest queued frame.
    virtual uint32_t del();
    /// Drops every queued frame.
    virtual uint32_t flush();
    /// Number of queued frames (a count, not a status).
    virtual uint32_t availableImage();
    /// Empties the frame queue and sends the board the shot request pair.
    virtual uint32_t shot();

    /// Sensor register access with the applied I2C address and mode.
    virtual uint32_t writeSensorReg(uint32_t reg, uint32_t value);
    virtual uint32_t readSensorReg(uint32_t reg, uint32_t* value);
    /// Copies the applied configuration into `cfg` (u32Size untouched).
    virtual uint32_t getSensorCfg(CameraConfig* cfg);
    /// Board type (2: USB 2 board, 3: USB 3 board, 1: other) and link type (3: SuperSpeed,
    /// else 2) of the attached device.
    virtual uint32_t getUsbType(uint8_t* boardType, uint8_t* linkType);

    /// Registers of any I2C device `dev` on the board, named <address bits>_<value bits>.
    virtual uint32_t writeReg_8_8(uint32_t dev, uint32_t reg, uint32_t value);
    virtual uint32_t readReg_8_8(uint32_t dev, uint32_t reg, uint32_t* value);
    virtual uint32_t writeReg_8_16(uint32_t dev, uint32_t reg, uint32_t value);
    virtual uint32_t readReg_8_16(uint32_t dev, uint32_t reg, uint32_t* value);
    virtual uint32_t writeReg_16_8(uint32_t dev, uint32_t reg, uint32_t value);
    virtual uint32_t readReg_16_8(uint32_t dev, uint32_t reg, uint32_t* value);
    virtual uint32_t writeReg_16_16(uint32_t dev, uint32_t reg, uint32_t value);
    virtual uint32_t readReg_16_16(uint32_t dev, uint32_t reg, uint32_t* value);
    virtual uint32_t writeReg_16_32(uint32_t dev, uint32_t reg, uint32_t value) = 0;
    virtual uint32_t readReg_16_32(uint32_t dev, uint32_t reg, uint32_t* value) = 0;

    /// One vendor control request on endpoint 0; `transferred` receives the bytes moved
    /// (also on failure) and may be null.
    virtual uint32_t vendorRequest(uint8_t request, uint8_t direction, uint16_t value,
                                   uint16_t index, uint32_t length, uint8_t* data,
                                   uint32_t* transferred);

    /// Queue frames of the wrong length anyway (still reported as errors).
    virtual void enableForceRead();
    virtual void disableForceRead();

    /// The board's 1024-byte user-data store, at most 32 bytes per call.
    virtual uint32_t readUserData(uint16_t address, uint8_t length, uint8_t* data);
    virtual uint32_t writeUserData(uint16_t address, uint8_t length, uint8_t* data);

    /// Trigger modes and single frames.
    virtual uint32_t softTrigger() = 0;
    virtual uint32_t isFrameReady() = 0;
    virtual uint32_t getSingleFrame(FrameData** frame, uint32_t timeoutMs) = 0;
    virtual uint32_t setMode(uint32_t mode) = 0;

    /// Named controls through the camera's control-script host.
    virtual int registerCtrls(const CtrlRecord* records, uint32_t count) = 0;
    virtual int setCtrl(const char* name, int64_t value, void* userData) = 0;

    /// Applies a new configuration to an opened camera; `cfg`'s usbType is written back.
    virtual uint32_t setCamCfg(CameraConfig* cfg) = 0;
};

}  // namespace vexo::camera
