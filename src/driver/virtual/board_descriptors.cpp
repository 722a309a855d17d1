#include "driver/virtual/board_descriptors.h"

namespace vexo::driver::virt {

namespace {

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

std::u16string widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::vector<uint8_t> bos(const BoardConfig& c) {
    std::vector<uint8_t> b = {5, 15, 0, 0, 3};
    // USB 2.0 extension: link power management supported.
    b.insert(b.end(), {7, 16, 2, 0x02, 0, 0, 0});
    // SuperSpeed device: full, high and SuperSpeed; functional from full speed on.
    b.insert(b.end(), {10, 16, 3, 0, 0x0E, 0, 1, 0x0A});
    put16(b, 0x07FF);
    // Container id: stable per serial, so one board is recognised on every port.
    b.insert(b.end(), {20, 16, 4, 0});
    for (int i = 0; i < 16; ++i)
        b.push_back(
            static_cast<uint8_t>(i < static_cast<int>(c.serial.size()) ? c.serial[i] : 0x5A + i));
    b[2] = static_cast<uint8_t>(b.size());
    b[3] = static_cast<uint8_t>(b.size() >> 8);
    return b;
}

}  // namespace

DescriptorTables boardDescriptors(const BoardConfig& c) {
    const bool usb3 = usbGeneration(c) == 3;
    const bool super = linkOf(c) == Link::Super;
    DescriptorTables t;

    uint16_t bcdUsb = usb3 ? (super ? 0x0300 : 0x0210) : 0x0200;
    t.device = {18, 1};
    put16(t.device, bcdUsb);
    t.device.insert(t.device.end(), {0, 0, 0, static_cast<uint8_t>(super ? 9 : 64)});
    put16(t.device, c.vendorId);
    put16(t.device, c.productId);
    put16(t.device, c.firmware);
    t.device.insert(t.device.end(), {1, 2, 3, 1});

    std::vector<uint8_t> cfg = {
        9, 2, 0, 0, 1, 1, 0, 0x80, static_cast<uint8_t>(super ? 0x70 : 0xFA)};
    cfg.insert(cfg.end(), {9, 4, 0, 0, 1, 0xFF, 0, 0, 0});
    cfg.insert(cfg.end(), {7, 5, kBulkInEndpoint, 0x02});
    put16(cfg, super ? 1024 : 512);
    cfg.push_back(0);
    if (super) cfg.insert(cfg.end(), {6, 0x30, 15, 0, 0, 0});
    cfg[2] = static_cast<uint8_t>(cfg.size());
    cfg[3] = static_cast<uint8_t>(cfg.size() >> 8);
    t.configurations.push_back(std::move(cfg));

    if (usb3) t.bos = bos(c);
    t.languages = {0x0409};
    t.strings[1] = widen(c.manufacturer);
    t.strings[2] = widen(c.product);
    t.strings[3] = widen(c.serial);
    return t;
}

}  // namespace vexo::driver::virt
