/*
 * vexo/status.h — names and short advice for the status codes of vexo/camera.h.
 *
 * Header-only on purpose: the names are for messages and logs of callers, so they add no
 * symbol to libvexo and stay usable from C, C++ and bindings alike. docs/status-codes.md
 * gives the longer story behind each hint.
 */
#ifndef VEXO_STATUS_H
#define VEXO_STATUS_H

#include <stddef.h>
#include <stdint.h>
#include <vexo/camera.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The constant's name ("USB_CAMERA_DATA_LEN_ERROR"), or NULL for a value that is not a status
 * code (for instance a frame count returned by Vexo_captureImage). */
static inline const char* vexoStatusName(uint32_t code) {
    switch (code) {
        case USB_CAMERA_NO_ERROR:
            return "USB_CAMERA_NO_ERROR";
        case USB_CAMERA_USB_CREATE_ERROR:
            return "USB_CAMERA_USB_CREATE_ERROR";
        case USB_CAMERA_USB_SET_CONTEXT_ERROR:
            return "USB_CAMERA_USB_SET_CONTEXT_ERROR";
        case USB_CAMERA_VR_COMMAND_ERROR:
            return "USB_CAMERA_VR_COMMAND_ERROR";
        case USB_CAMERA_USB_VERSION_ERROR:
            return "USB_CAMERA_USB_VERSION_ERROR";
        case USB_CAMERA_BUFFER_ERROR:
            return "USB_CAMERA_BUFFER_ERROR";
        case USB_CAMERA_NOT_FOUND_DEVICE_ERROR:
            return "USB_CAMERA_NOT_FOUND_DEVICE_ERROR";
        case USB_CAMERA_I2C_BIT_ERROR:
            return "USB_CAMERA_I2C_BIT_ERROR";
        case USB_CAMERA_I2C_NACK_ERROR:
            return "USB_CAMERA_I2C_NACK_ERROR";
        case USB_CAMERA_I2C_TIMEOUT:
            return "USB_CAMERA_I2C_TIMEOUT";
        case USB_CAMERA_USB_TASK_ERROR:
            return "USB_CAMERA_USB_TASK_ERROR";
        case USB_CAMERA_DATA_OVERFLOW_ERROR:
            return "USB_CAMERA_DATA_OVERFLOW_ERROR";
        case USB_CAMERA_DATA_LACK_ERROR:
            return "USB_CAMERA_DATA_LACK_ERROR";
        case USB_CAMERA_FIFO_FULL_ERROR:
            return "USB_CAMERA_FIFO_FULL_ERROR";
        case USB_CAMERA_DATA_LEN_ERROR:
            return "USB_CAMERA_DATA_LEN_ERROR";
        case USB_CAMERA_FRAME_INDEX_ERROR:
            return "USB_CAMERA_FRAME_INDEX_ERROR";
        case USB_CAMERA_USB_TIMEOUT_ERROR:
            return "USB_CAMERA_USB_TIMEOUT_ERROR";
        case USB_CAMERA_READ_EMPTY_ERROR:
            return "USB_CAMERA_READ_EMPTY_ERROR";
        case USB_CAMERA_DEL_EMPTY_ERROR:
            return "USB_CAMERA_DEL_EMPTY_ERROR";
        case USB_CAMERA_SIZE_EXCEED_ERROR:
            return "USB_CAMERA_SIZE_EXCEED_ERROR";
        case USB_USERDATA_ADDR_ERROR:
            return "USB_USERDATA_ADDR_ERROR";
        case USB_USERDATA_LEN_ERROR:
            return "USB_USERDATA_LEN_ERROR";
        case USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR:
            return "USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR";
        default:
            return NULL;
    }
}

/* One line of advice for a status code, or NULL for a value that is not a status code. */
static inline const char* vexoStatusHint(uint32_t code) {
    switch (code) {
        case USB_CAMERA_NO_ERROR:
            return "success";
        case USB_CAMERA_USB_CREATE_ERROR:
            return "no board could be opened: check the cable, the device index (vexo scan) and "
                   "the "
                   "device permissions";
        case USB_CAMERA_VR_COMMAND_ERROR:
            return "the board refused a control request, or the I2C mode is not one of the five: "
                   "check the i2c_mode of the configuration and that the board is still attached";
        case USB_CAMERA_USB_VERSION_ERROR:
            return "the device is not a supported camera board (vendor id or product id): pick "
                   "another index from vexo scan";
        case USB_CAMERA_BUFFER_ERROR:
            return "the frame buffers could not be allocated: lower the width, height or pixel "
                   "bytes, or free memory";
        case USB_CAMERA_USB_TASK_ERROR:
            /* Mostly met when a board is unplugged mid-stream, so that comes first. */
            return "the board went away, or capture is not running or its reads could not be "
                   "queued: check that the board is still attached (vexo scan); call "
                   "Vexo_beginCaptureImage first; on Linux raise usbfs_memory_mb";
        case USB_CAMERA_DATA_LACK_ERROR:
            return "a JPEG frame lacked its start or end marker: the frame was dropped";
        case USB_CAMERA_DATA_LEN_ERROR:
            return "a frame's byte count does not match the configuration: check width, height, "
                   "pixel bytes and format against what the sensor sends";
        case USB_CAMERA_FRAME_INDEX_ERROR:
            return "frames were lost between two received frames: read frames faster or lower "
                   "the frame rate";
        case USB_CAMERA_USB_TIMEOUT_ERROR:
            return "no image data within the time-out: check that the start-up registers start the "
                   "sensor and that the board is not waiting for a trigger";
        case USB_CAMERA_READ_EMPTY_ERROR:
            return "no frame is queued yet: keep calling Vexo_captureImage";
        case USB_CAMERA_DEL_EMPTY_ERROR:
            return "no frame is queued to release";
        case USB_CAMERA_SIZE_EXCEED_ERROR:
            return "width and height must be 1..16384 and pixel bytes 1 or 2";
        case USB_USERDATA_ADDR_ERROR:
            return "user data: address + length must not exceed 1024";
        case USB_USERDATA_LEN_ERROR:
            return "user data: at most 32 bytes per call";
        case USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR:
            return "the board's firmware lacks this function (32-bit registers need USB firmware "
                   "0x0314..0x03FF; triggers need a USB 2 board with controller 18.8.17 or later)";
        case USB_CAMERA_USB_SET_CONTEXT_ERROR:
            return "an unexpected internal failure was stopped at the library boundary; the "
                   "call did not complete";
        case USB_CAMERA_NOT_FOUND_DEVICE_ERROR:
        case USB_CAMERA_I2C_BIT_ERROR:
        case USB_CAMERA_I2C_NACK_ERROR:
        case USB_CAMERA_I2C_TIMEOUT:
        case USB_CAMERA_DATA_OVERFLOW_ERROR:
        case USB_CAMERA_FIFO_FULL_ERROR:
            return "not returned by this library; kept for existing callers";
        default:
            return NULL;
    }
}

#ifdef __cplusplus
}
#endif

#endif /* VEXO_STATUS_H */
