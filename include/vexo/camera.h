/*
 * vexo/camera.h — records, enumerations and status codes shared by every face of the
 * library (C, C++, Python), and the exported camera functions.
 *
 * The records cross the library boundary by pointer: their field order, widths and
 * natural alignment are part of the interface and are pinned below with static asserts.
 */
#ifndef VEXO_CAMERA_H
#define VEXO_CAMERA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t Uint8;
typedef uint16_t Uint16;
typedef uint32_t Uint32;
typedef uint64_t Uint64;

/* Bayer order of the first two pixels of the first line (published for callers only). */
typedef enum RawMode { RAW_RG = 0, RAW_GR = 1, RAW_GB = 2, RAW_BG = 3 } RawMode;

/* Register-address and value widths of the sensor on the board's I2C bus. */
typedef enum I2cMode {
    I2C_MODE_8_8 = 0,   /* 8-bit register address, 8-bit value */
    I2C_MODE_8_16 = 1,  /* 8-bit address, 16-bit value */
    I2C_MODE_16_8 = 2,  /* 16-bit address, 8-bit value */
    I2C_MODE_16_16 = 3, /* 16-bit address, 16-bit value */
    I2C_MODE_16_32 = 4  /* 16-bit address, 32-bit value (USB firmware 0x0314..0x03FF) */
} I2cMode;

/* Image format of the stream; sets the frame size and the assembly rules. */
typedef enum FormatMode {
    FORMAT_MODE_RAW = 0,
    FORMAT_MODE_RGB = 1,
    FORMAT_MODE_YUV = 2,
    FORMAT_MODE_JPG = 3,
    FORMAT_MODE_MON = 4,
    FORMAT_MODE_RAW_D = 5, /* frames of width x height x pixel bytes x 2 */
    FORMAT_MODE_MON_D = 6  /* frames of width x height x pixel bytes x 2 */
} FormatMode;

/* USB type of an opened board and its link, as published in CameraConfig.usbType. */
typedef enum UsbType {
    USB_1 = 1,  /* never produced by the library */
    USB_2 = 2,  /* USB 2 board on a USB 2 link */
    USB_3 = 3,  /* USB 3 board on a SuperSpeed link */
    USB_3_2 = 4 /* USB 3 board on a USB 2 link */
} UsbType;

/* Capture mode of a board (any value other than 1 acts as continuous). */
typedef enum TriggerMode { EXTERNAL_TRIGGER_MODE = 1, CONTINUOUS_MODE = 2 } TriggerMode;

/* Status codes: 0 is success, failures are 0xFF01 and above. */
#define USB_CAMERA_NO_ERROR 0x0000u
#define USB_CAMERA_USB_CREATE_ERROR 0xFF01u
#define USB_CAMERA_USB_SET_CONTEXT_ERROR 0xFF02u
#define USB_CAMERA_VR_COMMAND_ERROR 0xFF03u
#define USB_CAMERA_USB_VERSION_ERROR 0xFF04u
#define USB_CAMERA_BUFFER_ERROR 0xFF05u
#define USB_CAMERA_NOT_FOUND_DEVICE_ERROR 0xFF06u
#define USB_CAMERA_I2C_BIT_ERROR 0xFF0Bu
#define USB_CAMERA_I2C_NACK_ERROR 0xFF0Cu
#define USB_CAMERA_I2C_TIMEOUT 0xFF0Du
#define USB_CAMERA_USB_TASK_ERROR 0xFF20u
#define USB_CAMERA_DATA_OVERFLOW_ERROR 0xFF21u
#define USB_CAMERA_DATA_LACK_ERROR 0xFF22u
#define USB_CAMERA_FIFO_FULL_ERROR 0xFF23u
#define USB_CAMERA_DATA_LEN_ERROR 0xFF24u
#define USB_CAMERA_FRAME_INDEX_ERROR 0xFF25u
#define USB_CAMERA_USB_TIMEOUT_ERROR 0xFF26u
#define USB_CAMERA_READ_EMPTY_ERROR 0xFF30u
#define USB_CAMERA_DEL_EMPTY_ERROR 0xFF31u
#define USB_CAMERA_SIZE_EXCEED_ERROR 0xFF51u
#define USB_USERDATA_ADDR_ERROR 0xFF61u
#define USB_USERDATA_LEN_ERROR 0xFF62u
#define USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR 0xFF71u

/* Camera configuration: filled by the caller before an open or a reconfiguration. The
 * library writes back only usbType (and getSensorCfg fills every field but u32Size). */
typedef struct CameraConfig {
    Uint32 u32CameraType;      /* caller's sensor type, carried unchanged */
    Uint16 u16Vid;             /* caller's sensor vendor id, carried unchanged */
    Uint32 u32Width;           /* 1..16384 pixels */
    Uint32 u32Height;          /* 1..16384 lines */
    Uint8 u8PixelBytes;        /* 1 or 2 */
    Uint8 u8PixelBits;         /* carried unchanged */
    Uint32 u32I2cAddr;         /* I2C address of the sensor */
    Uint32 u32Size;            /* in a frame record: the frame's byte count */
    Uint8 usbType;             /* output: USB_2, USB_3 or USB_3_2 */
    I2cMode emI2cMode;         /* sensor register widths */
    FormatMode emImageFmtMode; /* image format */
    Uint32 u32TransLvl; /* 0: default transfer length; else a multiple of the max packet size */
} CameraConfig;

/* One slot of the frame queue, lent to the caller by readImage and getSingleFrame. */
typedef struct FrameData {
    CameraConfig cfg; /* configuration of the frame; cfg.u32Size = its byte count */
    Uint64 u64Time;   /* board time stamp (100-ns units since 1601-01-01 UTC), or 0 */
    Uint8* imageData; /* the frame bytes, owned by the camera */
} FrameData;

#pragma pack(push, 1)
/* One board found by Vexo_scan: its device index and the 16-byte serial text. */
typedef struct ScanEntry {
    Uint8 u8Index;
    Uint8 u8Serial[16];
} ScanEntry;
#pragma pack(pop)

#ifdef __cplusplus
#define VEXO_STATIC_ASSERT static_assert
#else
#define VEXO_STATIC_ASSERT _Static_assert
#endif
VEXO_STATIC_ASSERT(sizeof(I2cMode) == 4 && sizeof(FormatMode) == 4, "32-bit enumerations");
VEXO_STATIC_ASSERT(sizeof(CameraConfig) == 44, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, u32CameraType) == 0, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, u16Vid) == 4, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, u32Width) == 8, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, u32Height) == 12, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, u8PixelBytes) == 16, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, u8PixelBits) == 17, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, u32I2cAddr) == 20, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, u32Size) == 24, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, usbType) == 28, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, emI2cMode) == 32, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, emImageFmtMode) == 36, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(CameraConfig, u32TransLvl) == 40, "CameraConfig layout");
VEXO_STATIC_ASSERT(offsetof(FrameData, cfg) == 0, "FrameData layout");
VEXO_STATIC_ASSERT(offsetof(FrameData, u64Time) == 48, "FrameData layout");
VEXO_STATIC_ASSERT(offsetof(FrameData, imageData) == 56, "FrameData layout");
VEXO_STATIC_ASSERT(sizeof(FrameData) == 64, "FrameData layout");
VEXO_STATIC_ASSERT(sizeof(ScanEntry) == 17, "ScanEntry layout");
VEXO_STATIC_ASSERT(offsetof(ScanEntry, u8Serial) == 1, "ScanEntry layout");

/* ---------------------------------------------------------------------------------------
 * Exported camera functions.
 *
 * A caller gets a CameraHandle from Vexo_open or Vexo_autoopen (also when the open fails),
 * passes it to every other function and gives it back with Vexo_close. Every function returns
 * a status (USB_CAMERA_NO_ERROR or a code from 0xFF01 up) unless its comment says otherwise.
 *
 * Threads: calls on one handle are serialised by the caller, except the frame-queue,
 * configuration, register and control calls beside Vexo_captureImage (docs/threading.md).
 * ------------------------------------------------------------------------------------- */

#include <vexo/export.h>

#if defined(_WIN32)
#define VEXO_CALL __stdcall
#else
#define VEXO_CALL
#endif

/* Opaque reference to an opened (or failed) camera. */
typedef struct VexoCamera* CameraHandle;

/* Lists the attached boards: one entry per board (room for 255 entries), packed. Returns the
 * number of boards found, or USB_CAMERA_USB_CREATE_ERROR. */
VEXO_API Uint32 VEXO_CALL Vexo_scan(ScanEntry* entries);
/* Opens the first attached board with an accepted vendor id. Always hands out a handle.
 * Any failure after the board was found, and a null cfg, is reported as
 * USB_CAMERA_USB_CREATE_ERROR. */
VEXO_API Uint32 VEXO_CALL Vexo_autoopen(CameraHandle* handle, CameraConfig* cfg);
/* Opens device `index` (low 8 bits) of the driver class with `cfg`; writes cfg->usbType back.
 * Always hands out a handle, which the caller gives back with Vexo_close. */
VEXO_API Uint32 VEXO_CALL Vexo_open(CameraHandle* handle, CameraConfig* cfg, Uint32 index);
/* Closes the camera and releases the handle. Always returns 0. */
VEXO_API Uint32 VEXO_CALL Vexo_close(CameraHandle handle);

/* Queues the bulk reads and starts the stream. A camera whose configuration was refused at
 * open (or whose frame buffers could not be allocated) has no frame buffers: it answers with
 * that refusal's code (USB_CAMERA_SIZE_EXCEED_ERROR, USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR,
 * USB_CAMERA_BUFFER_ERROR). */
VEXO_API Uint32 VEXO_CALL Vexo_beginCaptureImage(CameraHandle handle);
/* Completes one bulk read: returns the frames it completed (0..255) or an error code. */
VEXO_API Uint32 VEXO_CALL Vexo_captureImage(CameraHandle handle);
/* Cancels the reads and stops the stream. Always returns 0. */
VEXO_API Uint32 VEXO_CALL Vexo_endCaptureImage(CameraHandle handle);
/* Lends the oldest queued frame (it stays queued until Vexo_del). */
VEXO_API Uint32 VEXO_CALL Vexo_readImage(CameraHandle handle, FrameData** frame);
/* Releases the oldest queued frame. */
VEXO_API Uint32 VEXO_CALL Vexo_del(CameraHandle handle);
/* Drops every queued frame. */
VEXO_API Uint32 VEXO_CALL Vexo_flush(CameraHandle handle);
/* Returns the number of queued frames (0..5), a count rather than a status. */
VEXO_API Uint32 VEXO_CALL Vexo_availableImage(CameraHandle handle);
/* Empties the frame queue and sends the board the shot requests. */
VEXO_API Uint32 VEXO_CALL Vexo_shot(CameraHandle handle);

/* Sensor registers, with the I2C address and register widths of the applied configuration. */
VEXO_API Uint32 VEXO_CALL Vexo_writeSensorReg(CameraHandle handle, Uint32 regAddr, Uint32 value);
VEXO_API Uint32 VEXO_CALL Vexo_readSensorReg(CameraHandle handle, Uint32 regAddr, Uint32* value);
/* Copies the applied configuration into *cfg (u32Size is left as it was). */
VEXO_API Uint32 VEXO_CALL Vexo_getSensorCfg(CameraHandle handle, CameraConfig* cfg);
/* Board type (2 USB 2 board, 3 USB 3 board, 1 other) and link type (3 SuperSpeed, else 2). */
VEXO_API Uint32 VEXO_CALL Vexo_getUsbType(CameraHandle handle, Uint8* boardType, Uint8* linkType);

/* Registers of any I2C device on the board: Vexo_xxxReg_<address bits>_<value bits>.
 * Most writes and reads report 0 whatever the board answered; Vexo_readReg_8_8 on USB 3
 * boards and Vexo_readReg_16_32 return the board's status byte; the 32-bit pair needs USB
 * firmware 0x0314..0x03FF. */
VEXO_API Uint32 VEXO_CALL Vexo_writeReg_8_8(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr,
                                            Uint32 value);
VEXO_API Uint32 VEXO_CALL Vexo_readReg_8_8(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr,
                                           Uint32* value);
VEXO_API Uint32 VEXO_CALL Vexo_writeReg_8_16(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr,
                                             Uint32 value);
VEXO_API Uint32 VEXO_CALL Vexo_readReg_8_16(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr,
                                            Uint32* value);
VEXO_API Uint32 VEXO_CALL Vexo_writeReg_16_8(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr,
                                             Uint32 value);
VEXO_API Uint32 VEXO_CALL Vexo_readReg_16_8(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr,
                                            Uint32* value);
VEXO_API Uint32 VEXO_CALL Vexo_writeReg_16_16(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr,
                                              Uint32 value);
VEXO_API Uint32 VEXO_CALL Vexo_readReg_16_16(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr,
                                             Uint32* value);
VEXO_API Uint32 VEXO_CALL Vexo_writeReg_16_32(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr,
                                              Uint32 value);
VEXO_API Uint32 VEXO_CALL Vexo_readReg_16_32(CameraHandle handle, Uint32 i2cAddr, Uint32 regAddr,
                                             Uint32* value);

/* Sends a vendor request to the board (host to device) with `length` bytes of `data`.
 * A setup packet carries at most 65535 bytes: a longer `length` gives
 * USB_CAMERA_VR_COMMAND_ERROR and sends nothing (so does `data` null with `length` > 0). */
VEXO_API Uint32 VEXO_CALL Vexo_setboardConfig(CameraHandle handle, Uint8 request, Uint16 value,
                                              Uint16 index, Uint32 length, Uint8* data);
/* Sends a vendor request that reads up to `length` bytes (at most 65535) from the board
 * into `data`. */
VEXO_API Uint32 VEXO_CALL Vexo_getboardConfig(CameraHandle handle, Uint8 request, Uint16 value,
                                              Uint16 index, Uint32 length, Uint8* data);
/* While forced reading is on, frames of the wrong length are queued too (the capture call
 * still reports USB_CAMERA_DATA_LEN_ERROR). */
VEXO_API void VEXO_CALL Vexo_enableForceRead(CameraHandle handle);
VEXO_API void VEXO_CALL Vexo_disableForceRead(CameraHandle handle);
/* The board's 1024-byte user-data store: address + length <= 1024, length <= 32. The last
 * 16 bytes (1008..1023) hold the board's serial text. A null `data` with `length` > 0 gives
 * USB_CAMERA_VR_COMMAND_ERROR and sends nothing. */
VEXO_API Uint32 VEXO_CALL Vexo_readUserData(CameraHandle handle, Uint16 address, Uint8 length,
                                            Uint8* data);
VEXO_API Uint32 VEXO_CALL Vexo_writeUserData(CameraHandle handle, Uint16 address, Uint8 length,
                                             Uint8* data);
/* Captures one frame with its own reads, waiting up to timeoutMs (twice, with the abort). */
VEXO_API Uint32 VEXO_CALL Vexo_getSingleFrame(CameraHandle handle, FrameData** frame,
                                              Uint32 timeoutMs);
/* Trigger modes (USB 2 boards with board-controller version 18.8.17 or later). */
VEXO_API Uint32 VEXO_CALL Vexo_softTrigger(CameraHandle handle);
VEXO_API Uint32 VEXO_CALL Vexo_setMode(CameraHandle handle, Uint32 mode);
/* Returns the board's frame-ready register (0..255), or an error code. */
VEXO_API Uint32 VEXO_CALL Vexo_isFrameReady(CameraHandle handle);
/* Control scripts: see vexo/controls.h. `records` must stay in place while controls may be set. */
struct CtrlRecord;
VEXO_API int VEXO_CALL Vexo_registerCtrls(CameraHandle handle, const struct CtrlRecord* records,
                                          Uint32 count);
VEXO_API int VEXO_CALL Vexo_setCtrl(CameraHandle handle, const char* name, int64_t value);
/* Applies a new configuration to an opened camera; writes cfg->usbType back. */
VEXO_API Uint32 VEXO_CALL Vexo_setCamCfg(CameraHandle handle, CameraConfig* cfg);

#ifdef __cplusplus
}
#endif

#endif /* VEXO_CAMERA_H */
