// A board on the emulated usbfs for programs that cannot use C++ directly (the Python smoke
// test loads this with ctypes, in the same process as VexoSDK, under umockdev-wrapper).
//
// Threading: the functions are called from one thread; the board itself is served in
// umockdev's worker thread.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/virtual/board_model.h"
#include "driver/virtual/virtual_board.h"
#include "libusb/support/usbfs_device.h"

namespace {

namespace virt = vexo::driver::virt;

struct Plugged {
    std::shared_ptr<virt::BoardModel> model;
    std::unique_ptr<vexo::test::UsbfsDevice> usb;
    int64_t lastFrame = -1;
};

Plugged gBoard;

}  // namespace

extern "C" {

/// Plugs in a board of `productId` streaming RAW `width` x `height`, with the usbfs memory
/// limit raised. 0 on success, -1 without umockdev, -2 for a refused configuration.
__attribute__((visibility("default"))) int vexo_usbfs_plug(uint16_t productId, uint32_t width,
                                                           uint32_t height) {
    if (!vexo::test::testbed()) return -1;
    gBoard = Plugged{};
    virt::BoardConfig config;
    config.productId = productId;
    config.stream.width = width;
    config.stream.height = height;
    std::string error;
    gBoard.model = virt::BoardModel::create(config, error);
    if (!gBoard.model) return -2;
    virt::VirtualDeviceDescription description = gBoard.model->deviceDescription();
    description.model = gBoard.model;
    gBoard.usb = std::make_unique<vexo::test::UsbfsDevice>(
        std::move(description), vexo::test::UsbfsOptions{1, 2, "1-1", 0});
    return 0;
}

/// 1 when `data` is the picture of a frame after the last one matched (within 400 frames).
__attribute__((visibility("default"))) int vexo_usbfs_frame_matches(const uint8_t* data,
                                                                    uint32_t size) {
    if (!gBoard.model) return 0;
    std::vector<uint8_t> picture;
    for (int64_t n = gBoard.lastFrame + 1; n < gBoard.lastFrame + 401; ++n) {
        virt::renderFrame(gBoard.model->config().stream, static_cast<uint32_t>(n), picture);
        if (picture.size() == size && std::equal(picture.begin(), picture.end(), data)) {
            gBoard.lastFrame = n;
            return 1;
        }
    }
    return 0;
}

/// Unplugs the board (it stays unplugged until the next vexo_usbfs_plug()).
__attribute__((visibility("default"))) void vexo_usbfs_unplug() {
    if (gBoard.model) gBoard.model->unplug();
    if (gBoard.usb) gBoard.usb->unplug();
}

}  // extern "C"
