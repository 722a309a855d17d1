// Configuration of an opened camera: the configuration check, the board probe, the frame
// buffers, reconfiguration while capturing, and what the camera reports about itself.
#include <chrono>
#include <cstdint>
#include <random>

#include "camera/board_controller.h"
#include "camera/config_fields.h"
#include "camera/zu_usb_camera_lib.h"
#include "usb/driver_device.h"

namespace vexo::camera {

namespace {

constexpr uint32_t kMaxDimension = 16384;

}  // namespace

uint32_t ZuUsbCameraLib::applyConfig(CameraConfig* cfg) {
    if (!cfg) return USB_CAMERA_SIZE_EXCEED_ERROR;
    if (cfg->u32Width - 1 > kMaxDimension - 1 || cfg->u32Height - 1 > kMaxDimension - 1)
        return USB_CAMERA_SIZE_EXCEED_ERROR;
    if (cfg->u8PixelBytes != 1 && cfg->u8PixelBytes != 2) return USB_CAMERA_SIZE_EXCEED_ERROR;

    CameraConfig& applied = assembly_.config;
    applied.u32CameraType = cfg->u32CameraType;
    applied.u16Vid = cfg->u16Vid;
    applied.u32Width = cfg->u32Width;
    applied.u32Height = cfg->u32Height;
    applied.u8PixelBytes = cfg->u8PixelBytes;
    applied.u8PixelBits = cfg->u8PixelBits;
    copyModes(applied, *cfg);
    applied.u32I2cAddr = cfg->u32I2cAddr;
    applied.u32TransLvl = cfg->u32TransLvl;

    uint8_t boardType = 0;
    uint8_t linkType = 0;
    getUsbType(&boardType, &linkType);
    if (boardType == kBoardTypeUsb2 && linkType == kLinkHighSpeed)
        usbType_ = USB_2;
    else if (boardType == kBoardTypeUsb3 && linkType == kLinkHighSpeed)
        usbType_ = USB_3_2;
    else if (boardType == kBoardTypeUsb3 && linkType == kLinkSuperSpeed)
        usbType_ = USB_3;
    applied.usbType = static_cast<uint8_t>(usbType_);
    cfg->usbType = static_cast<uint8_t>(usbType_);

    probeBoard();

    if (firmwareHas32BitRegisters(board_.usbFirmwareVersion)) return USB_CAMERA_NO_ERROR;
    if (i2cModeValue(applied) == I2C_MODE_16_32) return USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
    return USB_CAMERA_NO_ERROR;
}

void ZuUsbCameraLib::probeBoard() {
    board_ = BoardInfo{};

    uint32_t old = 0;
    readReg_8_8(kBoardController, kRegScratch, &old);
    // Any value 0..254 other than the one the register holds proves the controller
    // answers; a fresh seed per probe keeps two probes from repeating each other.
    std::minstd_rand generator(static_cast<uint32_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<uint32_t> pick(0, 254);
    uint32_t probe = pick(generator);
    while (probe == old) probe = pick(generator);

    writeReg_8_8(kBoardController, kRegScratch, probe);
    uint32_t echo = 0xFFFFFFFF;
    readReg_8_8(kBoardController, kRegScratch, &echo);
    if (echo == probe) {
        writeReg_8_8(kBoardController, kRegScratch, old & 0xFF);
        readReg_8_8(kBoardController, kRegBoardId, &board_.boardId);
        if (board_.boardId >= kFirstVersionedBoardId) {
            readReg_8_8(kBoardController, kRegVersionMajor, &board_.boardCtrlVersion.major);
            readReg_8_8(kBoardController, kRegVersionMinor, &board_.boardCtrlVersion.minor);
            readReg_8_8(kBoardController, kRegVersionPatch, &board_.boardCtrlVersion.patch);
        }
    }

    uint8_t version[2] = {};
    uint32_t moved = 0;
    if (vendorRequest(kRequestFirmwareVersion, kDeviceToHost, 0, 0, 2, version, &moved) ==
        USB_CAMERA_NO_ERROR)
        board_.usbFirmwareVersion = static_cast<uint32_t>(version[0]) << 8 | version[1];

    uint8_t boardType = 0;
    uint8_t linkType = 0;
    getUsbType(&boardType, &linkType);
    board_.boardUsbType = boardType;

    assembly_.usbFirmwareVersion = board_.usbFirmwareVersion;
    assembly_.boardCtrlVersion = board_.boardCtrlVersion;
}

uint32_t ZuUsbCameraLib::setCamCfg(CameraConfig* cfg) {
    // From here until the end the capture thread's assembly keeps its hands off the
    // configuration and the frame buffers.
    beginReconfiguration(assembly_);
    writeReg_8_8(kBoardController, kRegControl, kControlIdle);
    uint32_t result = applyConfig(cfg);
    // A configuration applied under a frame in progress: the bytes collected so far were
    // taken under the old one (and the ring reset drops them), so the stream position is
    // unknown to the assembly and the frame in progress cannot come out good.
    const bool applied =
        result == USB_CAMERA_NO_ERROR || result == USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR;
    if (applied && ring_.collectedBytes() != 0) assembly_.resync = true;
    if (result == USB_CAMERA_NO_ERROR) result = allocFrameBuffers();
    endReconfiguration(assembly_);
    return result;
}

uint32_t ZuUsbCameraLib::getSensorCfg(CameraConfig* cfg) {
    if (!cfg) return USB_CAMERA_NO_ERROR;
    const CameraConfig& applied = assembly_.config;
    cfg->u32CameraType = applied.u32CameraType;
    cfg->u16Vid = applied.u16Vid;
    cfg->u32Width = applied.u32Width;
    cfg->u32Height = applied.u32Height;
    cfg->u8PixelBytes = applied.u8PixelBytes;
    cfg->u8PixelBits = applied.u8PixelBits;
    copyModes(*cfg, applied);
    cfg->u32I2cAddr = applied.u32I2cAddr;
    cfg->u32TransLvl = applied.u32TransLvl;
    cfg->usbType = static_cast<uint8_t>(usbType_);
    return USB_CAMERA_NO_ERROR;
}

uint32_t ZuUsbCameraLib::getUsbType(uint8_t* boardType, uint8_t* linkType) {
    // Only an attached device has a type; without one the caller's values stay.
    if (!device_) return USB_CAMERA_USB_CREATE_ERROR;
    const uint16_t pid = device_->productId;
    uint8_t board = kBoardTypeOther;
    if (pid == kProductUsb2 || pid == kProductUsb2Alternate)
        board = kBoardTypeUsb2;
    else if (pid == kProductUsb3 || pid == kProductUsb3Trailer)
        board = kBoardTypeUsb3;
    if (boardType) *boardType = board;
    if (linkType) *linkType = device_->isSuperSpeed ? kLinkSuperSpeed : kLinkHighSpeed;
    return USB_CAMERA_NO_ERROR;
}

}  // namespace vexo::camera
