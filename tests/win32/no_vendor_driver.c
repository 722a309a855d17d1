/* A plain C caller of libvexo.dll on a system without the vendor's kernel driver and without
 * virtual boards: the scan finds nothing and the open reports that, and neither fails otherwise.
 * Exits 0 when so, else prints what differed and exits 1. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vexo/camera.h>

#include "default_board_config.h"

int main(void) {
    /* Virtual boards must not stand in for the missing driver. */
    _putenv_s("VEXO_VIRTUAL_BOARDS", "");

    ScanEntry entries[255];
    memset(entries, 0xAB, sizeof entries);
    const Uint32 count = Vexo_scan(entries);
    if (count != 0) {
        fprintf(stderr, "no_vendor_driver: scan returned %u, expected 0\n", (unsigned)count);
        return 1;
    }

    CameraConfig cfg = defaultBoardConfig();
    CameraHandle camera = NULL;
    const Uint32 opened = Vexo_autoopen(&camera, &cfg);
    if (opened != USB_CAMERA_USB_CREATE_ERROR) {
        fprintf(stderr, "no_vendor_driver: autoopen returned 0x%X, expected 0xFF01\n",
                (unsigned)opened);
        return 1;
    }
    if (camera == NULL) {
        fprintf(stderr, "no_vendor_driver: autoopen handed out no handle\n");
        return 1;
    }
    if (Vexo_close(camera) != 0) {
        fprintf(stderr, "no_vendor_driver: close failed\n");
        return 1;
    }
    printf("no_vendor_driver: scan found 0 boards, autoopen returned 0x%X\n", (unsigned)opened);
    return 0;
}
