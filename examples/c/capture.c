/*
 * capture.c — find a board, open it, start its sensor and capture frames with the C API.
 *
 *   capture [FRAMES]      (default 10)
 *
 * Without hardware, run it on a virtual board: VEXO_VIRTUAL_BOARDS=1 ./capture
 * The configuration below matches the default virtual board (640x480 RAW8, sensor at 0x20).
 */
#include <stdio.h>
#include <stdlib.h>
#include <vexo/camera.h>
#include <vexo/status.h>

/* Prints a failed call with the status name and advice, and returns 1 for main(). */
static int report(const char* what, Uint32 status) {
    const char* name = vexoStatusName(status);
    const char* hint = vexoStatusHint(status);
    fprintf(stderr, "%s failed: %s (0x%04X): %s\n", what, name ? name : "unknown", status,
            hint ? hint : "");
    return 1;
}

int main(int argc, char** argv) {
    const unsigned wanted = argc > 1 ? (unsigned)strtoul(argv[1], NULL, 10) : 10;

    /* Room for the most boards a scan can report. */
    static ScanEntry boards[255];
    const Uint32 found = Vexo_scan(boards);
    if (found == USB_CAMERA_USB_CREATE_ERROR) return report("Vexo_scan", found);
    if (found == 0) {
        fprintf(stderr, "no board found (VEXO_VIRTUAL_BOARDS=1 adds a virtual one)\n");
        return 1;
    }
    printf("%u board(s); opening device %u, serial %.16s\n", found, boards[0].u8Index,
           (const char*)boards[0].u8Serial);

    CameraConfig cfg = {0};
    cfg.u32Width = 640;
    cfg.u32Height = 480;
    cfg.u8PixelBytes = 1;
    cfg.u8PixelBits = 8;
    cfg.u32I2cAddr = 0x20;
    cfg.emI2cMode = I2C_MODE_16_8;
    cfg.emImageFmtMode = FORMAT_MODE_RAW;

    /* Vexo_open hands out a handle even when it fails; it is always given back. */
    CameraHandle camera = NULL;
    Uint32 status = Vexo_open(&camera, &cfg, boards[0].u8Index);
    if (status != USB_CAMERA_NO_ERROR) {
        Vexo_close(camera);
        return report("Vexo_open", status);
    }

    /* The sensor's start-up list: standby, exposure, stream on. */
    static const Uint32 startup[][2] = {
        {0x0100, 0x00}, {0x3012, 0x40}, {0x3013, 0x02}, {0x0100, 0x01}};
    for (size_t i = 0; i < sizeof(startup) / sizeof(startup[0]); ++i) {
        status = Vexo_writeSensorReg(camera, startup[i][0], startup[i][1]);
        if (status != USB_CAMERA_NO_ERROR) {
            Vexo_close(camera);
            return report("Vexo_writeSensorReg", status);
        }
    }

    status = Vexo_beginCaptureImage(camera);
    if (status != USB_CAMERA_NO_ERROR) {
        Vexo_close(camera);
        return report("Vexo_beginCaptureImage", status);
    }

    unsigned received = 0, failures = 0;
    while (received < wanted && failures < 10) {
        /* Completes one transfer: a count of finished frames, or a status code. */
        const Uint32 result = Vexo_captureImage(camera);
        if (result > 0xFF) {
            ++failures;
            fprintf(stderr, "capture: %s\n", vexoStatusName(result) ? vexoStatusName(result) : "?");
            continue;
        }
        FrameData* frame = NULL;
        while (received < wanted && Vexo_readImage(camera, &frame) == USB_CAMERA_NO_ERROR) {
            /* The frame stays owned by the library until Vexo_del. */
            unsigned long sum = 0;
            for (Uint32 i = 0; i < frame->cfg.u32Size; ++i) sum += frame->imageData[i];
            printf("frame %u: %u bytes, mean level %.1f, time stamp %llu\n", received,
                   frame->cfg.u32Size, (double)sum / frame->cfg.u32Size,
                   (unsigned long long)frame->u64Time);
            Vexo_del(camera);
            ++received;
        }
    }

    Vexo_endCaptureImage(camera);
    Vexo_close(camera);
    if (received < wanted) {
        fprintf(stderr, "only %u of %u frames arrived\n", received, wanted);
        return 1;
    }
    return 0;
}
