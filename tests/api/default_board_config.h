/* The configuration of the default virtual board (640x480 RAW, one byte per pixel, sensor at
 * 0x20 with 16-bit registers and 8-bit values), for the plain C test programs. */
#ifndef VEXO_TESTS_DEFAULT_BOARD_CONFIG_H
#define VEXO_TESTS_DEFAULT_BOARD_CONFIG_H

#include <vexo/camera.h>

static inline CameraConfig defaultBoardConfig(void) {
    /* Every field named, in the record's order, so that C and C++20 read it alike. */
    const CameraConfig cfg = {.u32CameraType = 0,
                              .u16Vid = 0,
                              .u32Width = 640,
                              .u32Height = 480,
                              .u8PixelBytes = 1,
                              .u8PixelBits = 8,
                              .u32I2cAddr = 0x20,
                              .u32Size = 0,
                              .usbType = 0,
                              .emI2cMode = I2C_MODE_16_8,
                              .emImageFmtMode = FORMAT_MODE_RAW,
                              .u32TransLvl = 0};
    return cfg;
}

#endif
