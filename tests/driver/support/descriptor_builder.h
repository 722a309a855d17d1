// Builders of raw USB descriptor tables for the tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "driver/support/scripted_model.h"
#include "driver/virtual/device_model.h"

namespace vexo::test {

inline std::vector<uint8_t> deviceDescriptor(uint16_t bcdUsb, uint16_t vid, uint16_t pid,
                                             uint8_t maxPacket0, uint8_t configs,
                                             uint8_t iManufacturer = 1, uint8_t iProduct = 2,
                                             uint8_t iSerial = 3) {
    return {18,
            1,
            uint8_t(bcdUsb),
            uint8_t(bcdUsb >> 8),
            0xEF,
            0x02,
            0x01,
            maxPacket0,
            uint8_t(vid),
            uint8_t(vid >> 8),
            uint8_t(pid),
            uint8_t(pid >> 8),
            0x34,
            0x12,
            iManufacturer,
            iProduct,
            iSerial,
            configs};
}

/// A configuration block; header() must be called last to set wTotalLength.
class ConfigBuilder {
  public:
    ConfigBuilder& interface(uint8_t number, uint8_t alternate, uint8_t endpoints,
                             uint8_t cls = 0xFF) {
        add({9, 4, number, alternate, endpoints, cls, 0, 0, 0});
        ++interfaces_;
        return *this;
    }
    ConfigBuilder& endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket,
                            uint8_t interval = 0) {
        return add(
            {7, 5, address, attributes, uint8_t(maxPacket), uint8_t(maxPacket >> 8), interval});
    }
    ConfigBuilder& companion(uint8_t maxBurst, uint8_t attributes = 0,
                             uint16_t bytesPerInterval = 0) {
        return add({6, 0x30, maxBurst, attributes, uint8_t(bytesPerInterval),
                    uint8_t(bytesPerInterval >> 8)});
    }
    ConfigBuilder& classSpecific(uint8_t length = 5) {
        std::vector<uint8_t> d(length, 0);
        d[0] = length;
        d[1] = 0x24;
        return add(d);
    }
    ConfigBuilder& add(std::vector<uint8_t> d) {
        body_.insert(body_.end(), d.begin(), d.end());
        return *this;
    }
    std::vector<uint8_t> build(uint8_t value = 1) const {
        const size_t total = 9 + body_.size();
        std::vector<uint8_t> b{
            9, 2, uint8_t(total), uint8_t(total >> 8), interfaces_, value, 0, 0x80, 0x32};
        b.insert(b.end(), body_.begin(), body_.end());
        return b;
    }

  private:
    std::vector<uint8_t> body_;
    uint8_t interfaces_ = 0;
};

/// A BOS block with the given capability descriptors.
inline std::vector<uint8_t> bosDescriptor(std::initializer_list<std::vector<uint8_t>> caps) {
    std::vector<uint8_t> b{5, 15, 0, 0, uint8_t(caps.size())};
    for (const auto& c : caps) b.insert(b.end(), c.begin(), c.end());
    b[2] = uint8_t(b.size());
    b[3] = uint8_t(b.size() >> 8);
    return b;
}
inline std::vector<uint8_t> usb20Extension(uint32_t attributes) {
    return {7,
            0x10,
            2,
            uint8_t(attributes),
            uint8_t(attributes >> 8),
            uint8_t(attributes >> 16),
            uint8_t(attributes >> 24)};
}
inline std::vector<uint8_t> superSpeedCap() {
    return {10, 0x10, 3, 0, 0x0E, 0x00, 1, 0x0A, 0xFF, 0x07};
}

/// A camera-like USB 3 device: one interface with bulk IN 0x81 (1024, burst 15) and bulk
/// OUT 0x01, a BOS, English strings, served by `model`.
inline driver::virt::VirtualDeviceDescription cameraDescription(
    std::shared_ptr<ScriptedModel> model, uint16_t pid = 0x03F1) {
    driver::virt::VirtualDeviceDescription description;
    auto& t = description.descriptors;
    t.device = deviceDescriptor(0x0300, 0x52CB, pid, 9, 1);
    t.configurations.push_back(ConfigBuilder()
                                   .interface(0, 0, 2)
                                   .endpoint(0x81, 2, 1024)
                                   .companion(15)
                                   .endpoint(0x01, 2, 1024)
                                   .companion(0)
                                   .build());
    t.bos = bosDescriptor({usb20Extension(0x1E), superSpeedCap()});
    t.languages = {0x0409};
    t.strings = {{1, u"Vexo"}, {2, u"Camera board"}, {3, u"SN0001"}};
    description.friendlyName = "Vexo virtual camera";
    description.deviceName = "vexo-virtual";
    description.model = std::move(model);
    return description;
}

}  // namespace vexo::test
