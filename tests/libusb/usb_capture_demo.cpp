// Runs a virtual board through real libusb on an emulated usbfs and captures a few frames, so
// that VEXO_USB_CAPTURE records what a real board's traffic would look like. Run it under
// umockdev-wrapper (scripts/usb-capture-demo.sh does).
//
//   usb_capture_demo [FRAMES [FRAMES_OUT]]
// FRAMES (default 3) frames of the default board (640x480 RAW, chunk-header framing) are read;
// FRAMES_OUT, when given, receives their bytes one after another.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "camera/support/engine_fixture.h"
#include "driver/virtual/board_model.h"
#include "libusb/support/usbfs_device.h"

namespace virt = vexo::driver::virt;
using vexo::camera::ZuUsbCameraLib;

int main(int argc, char** argv) {
    const unsigned frames = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 3;
    if (!vexo::test::testbed()) {
        std::fprintf(stderr, "usb_capture_demo: run me under umockdev-wrapper\n");
        return 2;
    }
    const virt::BoardConfig config;
    std::string error;
    auto model = virt::BoardModel::create(config, error);
    if (!model) {
        std::fprintf(stderr, "usb_capture_demo: %s\n", error.c_str());
        return 1;
    }
    virt::VirtualDeviceDescription description = model->deviceDescription();
    description.model = model;
    auto usb = std::make_unique<vexo::test::UsbfsDevice>(std::move(description),
                                                         vexo::test::UsbfsOptions{1, 2, "1-1", 0});
    std::FILE* out = argc > 2 ? std::fopen(argv[2], "wb") : nullptr;
    CameraConfig cfg = vexo::camera::test::configFor(config);
    auto camera = std::make_unique<ZuUsbCameraLib>();
    unsigned got = 0;
    if (camera->open(&cfg, 0) == USB_CAMERA_NO_ERROR &&
        camera->beginCaptureImage() == USB_CAMERA_NO_ERROR) {
        for (unsigned call = 0; call < 200 && got < frames; ++call) {
            camera->captureImage();
            FrameData* frame = nullptr;
            while (got < frames && camera->readImage(&frame) == USB_CAMERA_NO_ERROR) {
                if (out) std::fwrite(frame->imageData, 1, frame->cfg.u32Size, out);
                camera->del();
                ++got;
            }
        }
        camera->endCaptureImage();
    }
    camera->close();
    if (out) std::fclose(out);
    std::printf("%u frames\n", got);
    return got == frames ? 0 : 1;
}
