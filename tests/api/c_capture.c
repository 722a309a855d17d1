/* A plain C caller: scan, open the first board, capture a frame, read it, close.
 * Run against a virtual board (VEXO_VIRTUAL_BOARDS=1: 640x480 RAW, one byte per pixel).
 * Exits 0 when every step behaved, else prints the failing step and exits 1. */
#include <stdio.h>
#include <vexo/camera.h>

#include "default_board_config.h"

#define CHECK(cond, what)                             \
    do {                                              \
        if (!(cond)) {                                \
            fprintf(stderr, "c_capture: %s\n", what); \
            return 1;                                 \
        }                                             \
    } while (0)

int main(void) {
    ScanEntry entries[255];
    Uint32 count = Vexo_scan(entries);
    CHECK(count >= 1 && count <= 255, "scan found no board");

    CameraConfig cfg = defaultBoardConfig();

    CameraHandle camera = NULL;
    CHECK(Vexo_open(&camera, &cfg, entries[0].u8Index) == USB_CAMERA_NO_ERROR, "open failed");
    CHECK(camera != NULL, "open handed out no handle");
    CHECK(cfg.usbType == USB_3, "open did not write the USB type back");

    CHECK(Vexo_beginCaptureImage(camera) == USB_CAMERA_NO_ERROR, "begin capture failed");
    int calls = 0;
    while (Vexo_availableImage(camera) == 0 && calls < 200) {
        Uint32 r = Vexo_captureImage(camera);
        CHECK(r <= 255, "capture reported an error");
        ++calls;
    }
    FrameData* frame = NULL;
    CHECK(Vexo_readImage(camera, &frame) == USB_CAMERA_NO_ERROR, "no frame to read");
    CHECK(frame != NULL && frame->imageData != NULL, "read handed out no frame");
    CHECK(frame->cfg.u32Size == 640u * 480u, "frame has the wrong size");
    CHECK(frame->cfg.u32Width == 640 && frame->cfg.u32Height == 480, "frame has the wrong shape");
    /* The frame belongs to the camera: keep what we report before giving it back. */
    const unsigned width = (unsigned)frame->cfg.u32Width, height = (unsigned)frame->cfg.u32Height;
    CHECK(Vexo_del(camera) == USB_CAMERA_NO_ERROR, "del failed");
    CHECK(Vexo_endCaptureImage(camera) == USB_CAMERA_NO_ERROR, "end capture failed");
    CHECK(Vexo_close(camera) == USB_CAMERA_NO_ERROR, "close failed");
    printf("c_capture: captured a %ux%u frame after %d capture calls\n", width, height, calls);
    return 0;
}
