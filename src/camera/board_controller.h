/*
 * What the engine knows of the board besides its sensor: the board controller's registers
 * and the values written to them, and the board and link types getUsbType() reports.
 */
#pragma once

#include <cstdint>

namespace vexo::camera {

/* I2C address of the board controller; it answers 8-bit registers with 8-bit values only. */
inline constexpr uint32_t kBoardController = 0x46;

/* The board controller's registers. */
enum BoardControllerRegister : uint32_t {
    kRegBoardId = 0,      /* read: board id; registers 5..7 are valid from kFirstVersionedBoardId */
    kRegClosed = 1,       /* write: kClosedValue tells the board the host closed the camera */
    kRegControl = 3,      /* write: capture control, kControl* */
    kRegScratch = 4,      /* read and write: the probe's echo test */
    kRegVersionMajor = 5, /* read: controller version */
    kRegVersionMinor = 6,
    kRegVersionPatch = 7,
    kRegTrigger = 8,    /* write: trigger mode, kTrigger* */
    kRegFrameReady = 9, /* read: whether a triggered frame is ready */
};

inline constexpr uint32_t kClosedValue = 0x0F;

/* Capture control values. Every mode change and capture start writes kControlRestart, then
 * kControlIdle; a capture start then kControlRun. The software trigger is a pulse from idle:
 * kControlIdle, kControlTriggerPulse, kControlIdle. */
inline constexpr uint32_t kControlRestart = 0xC0;
inline constexpr uint32_t kControlIdle = 0x40;
inline constexpr uint32_t kControlRun = 0x00;
inline constexpr uint32_t kControlTriggerPulse = 0x60;

/* Trigger modes: external trigger is kTriggerExternalArm then kTriggerExternal. */
inline constexpr uint32_t kTriggerContinuous = 0x00;
inline constexpr uint32_t kTriggerExternalArm = 0x81;
inline constexpr uint32_t kTriggerExternal = 0x80;

/* Controllers with a lower board id have no version registers. */
inline constexpr uint32_t kFirstVersionedBoardId = 35;
/* Controller version 18.8.17 (major * 1000 + minor * 100 + patch), the first with trigger
 * support. */
inline constexpr uint32_t kFirstTriggerVersion = 18817;

/* Board types, by the product id of the board's USB controller. */
enum BoardType : uint8_t {
    kBoardTypeOther = 1,
    kBoardTypeUsb2 = 2, /* products kProductUsb2 and kProductUsb2Alternate */
    kBoardTypeUsb3 = 3, /* products kProductUsb3 and kProductUsb3Trailer */
};

/* Link types: the speed the board's link runs at. */
enum LinkType : uint8_t {
    kLinkHighSpeed = 2,
    kLinkSuperSpeed = 3,
};

inline constexpr uint16_t kProductUsb2 = 0x52CB;
inline constexpr uint16_t kProductUsb2Alternate = 0x02F1;
/* The USB 3 board that streams in chunk-header framing. */
inline constexpr uint16_t kProductUsb3 = 0x03F1;
/* The USB 3 board that streams in the trailer-marked framing, as USB 2 boards do. */
inline constexpr uint16_t kProductUsb3Trailer = 0x03F2;

} /* namespace vexo::camera */
