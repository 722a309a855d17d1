/* The configuration of the default virtual board (640x480 RAW, one byte per pixel, sensor at
 * 0x20 with 16-bit registers and 8-bit values), for the plain C test programs. */
#ifndef VEXO_TESTS_DEFAULT_BOARD_CONFIG_H
#define VEXO_TESTS_DEFAULT_BOARD_CONFIG_H

#include <string.h>
#include <vexo/camera.h>

static inline CameraConfig defaultBoardConfig(void) {
    CameraConfig cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.u32Width = 640;
    cfg.u32Height = 480;
    cfg.u8PixelBytes = 1;
    cfg.u8PixelBits = 8;
    cfg.u32I2cAddr = 0x20;
    cfg.emI2cMode = I2C_MODE_16_8;
    cfg.emImageFmtMode = FORMAT_MODE_RAW;
    return cfg;
}

#endif
