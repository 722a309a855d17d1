// The board protocol as both ends speak it: the vendor requests on endpoint 0, the board
// controller's registers and values, the user-data store, the clock exchange, and the two
// framings of the image stream. The engine (src/camera) sends and parses these bytes and the
// virtual board (src/driver/virtual) answers and produces them; both take every number from
// here, so the two ends cannot drift apart. Tests keep the literal wire values, so a wrong
// number here still fails them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vexo::board {

// ---- Vendor requests (bRequest; bmRequestType 0x40 OUT, 0xC0 IN) ----

/// IN 2 bytes: the USB firmware version, major then minor.
inline constexpr uint8_t kRequestFirmwareVersion = 0x80;
/// OUT: start / stop streaming.
inline constexpr uint8_t kRequestStartStream = 0xA1;
inline constexpr uint8_t kRequestStopStream = 0xA2;
/// OUT: a shot is kRequestShotArm then kRequestShotFire (one frame in trigger mode).
inline constexpr uint8_t kRequestShotFire = 0xA8;
inline constexpr uint8_t kRequestShotArm = 0xA9;
/// IN kClockReadBytes: the board clock; OUT kClockSetBytes: the host time it follows.
inline constexpr uint8_t kRequestClockRead = 0xB0;
inline constexpr uint8_t kRequestClockSet = 0xB1;
/// I2C register access, by register-number / value width (see RegisterRequest).
inline constexpr uint8_t kRequestReadReg8_16 = 0xD4;
inline constexpr uint8_t kRequestWriteReg8_16 = 0xD5;
inline constexpr uint8_t kRequestReadReg8_8 = 0xD6;
inline constexpr uint8_t kRequestWriteReg8_8 = 0xD7;
inline constexpr uint8_t kRequestReadReg16_8 = 0xDF;
inline constexpr uint8_t kRequestWriteReg16_8 = 0xE0;
inline constexpr uint8_t kRequestWriteReg16_16 = 0xE1;
inline constexpr uint8_t kRequestReadReg16_16 = 0xE2;
inline constexpr uint8_t kRequestWriteReg16_32 = 0xE5;
inline constexpr uint8_t kRequestReadReg16_32 = 0xE6;
/// User data: wValue = kUserDataBase + address, wLength = bytes.
inline constexpr uint8_t kRequestReadUserData = 0xF7;
inline constexpr uint8_t kRequestWriteUserData = 0xF8;

// ---- Register requests ----

/// What a register request code means on the wire. The device address rides in the high
/// byte of wValue; an 8-bit register number in the high byte of wIndex, a 16-bit one in all
/// of it. The value travels most significant byte first; a read's reply adds one status byte.
struct RegisterRequest {
    bool in;             ///< a read
    bool reg16;          ///< 16-bit register number
    uint8_t valueBytes;  ///< 1, 2 or 4
};

/// The meaning of register request `code`; none for codes that are no register request.
constexpr std::optional<RegisterRequest> registerRequest(uint8_t code) {
    switch (code) {
        case kRequestReadReg8_16:
            return RegisterRequest{true, false, 2};
        case kRequestWriteReg8_16:
            return RegisterRequest{false, false, 2};
        case kRequestReadReg8_8:
            return RegisterRequest{true, false, 1};
        case kRequestWriteReg8_8:
            return RegisterRequest{false, false, 1};
        case kRequestReadReg16_8:
            return RegisterRequest{true, true, 1};
        case kRequestWriteReg16_8:
            return RegisterRequest{false, true, 1};
        case kRequestWriteReg16_16:
            return RegisterRequest{false, true, 2};
        case kRequestReadReg16_16:
            return RegisterRequest{true, true, 2};
        case kRequestWriteReg16_32:
            return RegisterRequest{false, true, 4};
        case kRequestReadReg16_32:
            return RegisterRequest{true, true, 4};
        default:
            return std::nullopt;
    }
}

/// wValue of a register request to I2C device `device`.
constexpr uint16_t registerDeviceField(uint32_t device) {
    return static_cast<uint16_t>((device & 0xFF) << 8);
}
constexpr uint8_t registerDevice(uint16_t wValue) {
    return static_cast<uint8_t>(wValue >> 8);
}
/// wIndex of a register request for register `reg`.
constexpr uint16_t registerNumberField(uint32_t reg, bool reg16) {
    return reg16 ? static_cast<uint16_t>(reg & 0xFFFF) : static_cast<uint16_t>((reg & 0xFF) << 8);
}
constexpr uint16_t registerNumber(uint16_t wIndex, bool reg16) {
    return reg16 ? wIndex : static_cast<uint16_t>(wIndex >> 8);
}

/// Status byte after a register read's value.
inline constexpr uint8_t kRegisterStatusOk = 0;
inline constexpr uint8_t kRegisterStatusNoDevice = 1;

/// USB firmware versions (major << 8 | minor) that carry the 32-bit register requests:
/// 3.20 up to 3.255.
constexpr bool firmwareHas32BitRegisters(uint32_t version) {
    return version >= 0x0314 && version <= 0x03FF;
}

// ---- The board controller ----

/// I2C address of the board controller; it answers 8-bit registers with 8-bit values only.
inline constexpr uint32_t kBoardController = 0x46;

/// The board controller's registers.
enum BoardControllerRegister : uint32_t {
    kRegBoardId = 0,       ///< read: board id; registers 5..7 are valid from kFirstVersionedBoardId
    kRegClosed = 1,        ///< write: kClosedValue tells the board the host closed the camera
    kRegControl = 3,       ///< write: capture control, kControl*
    kRegScratch = 4,       ///< read and write: the probe's echo test
    kRegVersionMajor = 5,  ///< read: controller version
    kRegVersionMinor = 6,
    kRegVersionPatch = 7,
    kRegTrigger = 8,     ///< write: trigger mode, kTrigger*
    kRegFrameReady = 9,  ///< read: 1 while a triggered frame waits in the board or is being sent
};

inline constexpr uint32_t kClosedValue = 0x0F;

/// Capture control values. Every mode change and capture start writes kControlRestart, then
/// kControlIdle; a capture start then kControlRun. The software trigger is a pulse from idle:
/// kControlIdle, kControlTriggerPulse, kControlIdle; the board fires when kControlTriggerBit
/// falls.
inline constexpr uint32_t kControlRestart = 0xC0;
inline constexpr uint32_t kControlIdle = 0x40;
inline constexpr uint32_t kControlRun = 0x00;
inline constexpr uint32_t kControlTriggerPulse = 0x60;
inline constexpr uint32_t kControlTriggerBit = 0x20;

/// Trigger modes: external trigger is kTriggerExternalArm then kTriggerExternal (both have
/// kTriggerExternalBit set); kTriggerContinuous also starts the stream.
inline constexpr uint32_t kTriggerContinuous = 0x00;
inline constexpr uint32_t kTriggerExternalArm = 0x81;
inline constexpr uint32_t kTriggerExternal = 0x80;
inline constexpr uint32_t kTriggerExternalBit = 0x80;

/// Controllers with a lower board id have no version registers.
inline constexpr uint32_t kFirstVersionedBoardId = 35;
/// A controller version as the thresholds below count it: major * 1000 + minor * 100 + patch.
constexpr uint64_t controllerVersion(uint64_t major, uint64_t minor, uint64_t patch) {
    return major * 1000 + minor * 100 + patch;
}
/// Controller version 18.8.17, the first with trigger support.
inline constexpr uint64_t kFirstTriggerVersion = 18817;
/// Controller version 21.6.6, the first whose frames carry the board's time stamp (on USB
/// firmware with the 32-bit register requests).
inline constexpr uint64_t kFirstTimeStampVersion = 21606;

// ---- User data and the clock ----

/// The user-data store, kept in the board's flash; the serial text is its last 16 bytes.
inline constexpr uint32_t kUserDataBytes = 1024;
inline constexpr uint16_t kUserDataBase = 0x1C00;
inline constexpr uint16_t kSerialAddress = 1008;
inline constexpr uint8_t kSerialBytes = 16;

/// The clock exchange: kRequestClockRead answers kClockReadBytes, the board clock in its
/// first 8 (little-endian, 100-ns units); kRequestClockSet sends kClockSetBytes, the host
/// time (FILETIME, little-endian) at kClockSetHostTimeOffset, which the board clock follows
/// from then on.
inline constexpr uint32_t kClockReadBytes = 24;
inline constexpr uint32_t kClockSetBytes = 16;
inline constexpr uint32_t kClockSetHostTimeOffset = 8;

// ---- Products ----

inline constexpr uint16_t kProductUsb2 = 0x52CB;
inline constexpr uint16_t kProductUsb2Alternate = 0x02F1;
/// The USB 3 board that streams in chunk-header framing.
inline constexpr uint16_t kProductUsb3 = 0x03F1;
/// The USB 3 board that streams in the trailer-marked framing, as USB 2 boards do.
inline constexpr uint16_t kProductUsb3Trailer = 0x03F2;

// ---- Image stream framing ----

/// Trailer-marked framing: a frame's bytes go in kPacketBytes packets, the last zero-padded,
/// then one trailer packet with the marker at kTrailerMarkerOffset, a non-zero byte at
/// kTrailerDiscardOffset when the host is to drop the frame, the frame index (big-endian) at
/// kTrailerIndexOffset, the board time stamp (little-endian) at kTrailerTimeOffset, and the
/// valid bytes of the last data packet (big-endian; 0 = all) at kTrailerValidOffset.
inline constexpr uint32_t kPacketBytes = 512;
inline constexpr uint8_t kTrailerMarker[6] = {0x05, 0x06, 0x07, 0x08, 0x09, 0xAA};
inline constexpr size_t kTrailerMarkerOffset = 4;
inline constexpr size_t kTrailerDiscardOffset = 11;
inline constexpr size_t kTrailerIndexOffset = 14;
inline constexpr size_t kTrailerTimeOffset = 16;
inline constexpr size_t kTrailerValidOffset = 510;

/// Chunk-header framing: chunks of at most kChunkBytes, each a kChunkHeaderBytes header
/// (kChunkMagic first; then the toggle bit, flipped at every frame's first chunk, and the end
/// bit on its last; the time stamp, little-endian, at kChunkTimeOffset) and payload.
inline constexpr uint32_t kChunkBytes = 16384;
inline constexpr uint32_t kChunkHeaderBytes = 16;
inline constexpr uint8_t kChunkMagic = 0x0C;
inline constexpr uint8_t kChunkToggleBit = 0x01;
inline constexpr uint8_t kChunkEndBit = 0x02;
inline constexpr size_t kChunkTimeOffset = 8;

}  // namespace vexo::board
