// The contract between the virtual driver backend and the simulated devices it serves.
//
// A virtual device is a set of descriptor tables plus a DeviceModel. The backend answers the
// standard GET_DESCRIPTOR requests from the tables and hands every other endpoint-0 request
// and every bulk IN read to the model. The model sees USB-level traffic only (a setup packet
// with its data stage, a bulk read of n bytes), never driver records, so the same model can sit
// behind other transports (an emulated usbfs for the libusb backend's tests).
//
// Threading: the backend serialises all calls into one model with the device's lock; a model
// needs no lock of its own for state that only these calls touch. A model whose state changes
// for reasons other than these calls (a test flipping a fault) calls the notifier it was given
// so that waiting readers re-poll.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/backend.h"
#include "driver/driver_wire.h"

namespace vexo::driver::virt {

/// Outcome of an endpoint-0 request: ok with the bytes moved in the data stage, or a stall.
struct ControlResult {
    bool ok = false;
    uint32_t length = 0;  ///< bytes moved; for IN requests at most setup.wLength

    static ControlResult ack(uint32_t n) { return {true, n}; }
    static ControlResult stall() { return {false, 0}; }
};

/// Outcome of offering the first pending bulk IN read of an endpoint to the model.
struct BulkResult {
    enum class Kind {
        Done,  ///< completed now with `length` bytes written (a short read is allowed)
        Wait,  ///< no data yet: offer the read again at `readyAt` or when notified
        Fail,  ///< complete the read with a device error (pipe stalled, device gone)
    };
    Kind kind = Kind::Wait;
    uint32_t length = 0;
    Clock::time_point readyAt = Clock::time_point::max();  ///< max(): only a notification helps

    static BulkResult done(uint32_t n) { return {Kind::Done, n, {}}; }
    static BulkResult waitUntil(Clock::time_point t) { return {Kind::Wait, 0, t}; }
    static BulkResult waitForever() { return {Kind::Wait, 0, Clock::time_point::max()}; }
    static BulkResult fail() { return {Kind::Fail, 0, {}}; }
};

/// A simulated USB device's behaviour behind its descriptor tables.
class DeviceModel {
  public:
    virtual ~DeviceModel() = default;

    /// An endpoint-0 request that is not a standard GET_DESCRIPTOR. For IN requests `data` has
    /// room for setup.wLength bytes and receives the reply; for OUT requests it holds
    /// setup.wLength bytes (it may be null when wLength is 0).
    virtual ControlResult control(const SetupPacket& setup, uint8_t* data) = 0;

    /// Offers the oldest pending read on bulk IN endpoint `endpoint` (address with bit 7 set).
    /// On Done the model has written `length` bytes into data[0..capacity).
    virtual BulkResult bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) = 0;

    /// Every pending read of the endpoint was cancelled by an abort.
    virtual void bulkAborted(uint8_t endpoint) { (void)endpoint; }

    /// False once the device is unplugged: it leaves enumeration, opens fail, every request
    /// on an open handle fails and pending reads complete with an error.
    virtual bool present() const { return true; }

    /// A device off the bus that is to return (a replugged board): true once its time to
    /// return has come. The bus then retires the device's old appearance (its handles stay
    /// dead) and calls comeBack().
    virtual bool returnDue(Clock::time_point now) const {
        (void)now;
        return false;
    }
    /// Puts the device back in its power-on state and present again; false when it is not
    /// due (another thread brought it back first).
    virtual bool comeBack(Clock::time_point now) {
        (void)now;
        return false;
    }

    /// Installed by the backend when the device is added: call it after a state change that
    /// did not come through control() (control() itself wakes waiting readers).
    void setNotifier(std::function<void()> notify) { notify_ = std::move(notify); }

  protected:
    void notifyChanged() const {
        if (notify_) notify_();
    }

  private:
    std::function<void()> notify_;
};

/// Descriptor tables of a virtual device, as raw little-endian USB descriptors.
struct DescriptorTables {
    std::vector<uint8_t> device;                       ///< 18 bytes
    std::vector<std::vector<uint8_t>> configurations;  ///< each a whole block of wTotalLength bytes
    std::vector<uint8_t> bos;                          ///< empty: no BOS (USB 2 devices)
    std::vector<uint16_t> languages;                   ///< string descriptor 0; empty: none
    std::map<uint8_t, std::u16string> strings;         ///< string index -> text
};

/// Everything the backend needs to serve one virtual device.
struct VirtualDeviceDescription {
    DescriptorTables descriptors;
    uint32_t speedCode = 4;        ///< driver speed code: 2 high speed, 4 SuperSpeed
    uint8_t alternateSetting = 0;  ///< what the driver reports as the current alternate setting
    uint8_t busAddress = 1;
    std::string friendlyName;  ///< driver-reported texts (at most 255 bytes are served)
    std::string deviceName;
    std::shared_ptr<DeviceModel> model;
};

}  // namespace vexo::driver::virt
