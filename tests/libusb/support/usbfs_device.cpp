// The usbdevfs requests libusb makes, answered by a device model.
#include "libusb/support/usbfs_device.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>

#include "driver/virtual/descriptor_reply.h"

namespace vexo::test {

namespace {

using driver::SetupPacket;
using driver::virt::BulkResult;
using driver::virt::ControlResult;

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

const char* speedText(uint32_t speedCode) {
    switch (speedCode) {
        case 4:
            return "5000";
        case 2:
            return "480";
        default:
            return "12";
    }
}

}  // namespace

UMockdevTestbed* testbed() {
    static UMockdevTestbed* bed = [] {
        // Without the preload the testbed would be built but nobody would see it.
        const char* preload = std::getenv("LD_PRELOAD");
        if (!preload || !std::strstr(preload, "umockdev"))
            return static_cast<UMockdevTestbed*>(nullptr);
        return umockdev_testbed_new();
    }();
    return bed;
}

UsbfsDevice::UsbfsDevice(driver::virt::VirtualDeviceDescription description, UsbfsOptions options)
    : description_(std::move(description)), options_(std::move(options)) {
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", options_.bus, options_.address);
    devNode_ = node;
    sysPath_ = "/sys/devices/" + options_.sysName;

    // The handler must be in place before the node appears, or libusb could open the plain
    // file umockdev would make for it.
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbfsDevice::onIoctl), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed(), devNode_.c_str(), handler_, &error)) {
        std::fprintf(stderr, "usbfs emulation: %s\n", error->message);
        g_error_free(error);
        return;
    }

    // sysfs presents the device descriptor followed by every configuration block.
    std::vector<uint8_t> raw = description_.descriptors.device;
    for (const auto& block : description_.descriptors.configurations)
        raw.insert(raw.end(), block.begin(), block.end());
    char ids[64] = "";
    if (description_.descriptors.device.size() >= 12)
        std::snprintf(ids, sizeof ids, "A: idVendor=%02x%02x\nA: idProduct=%02x%02x\n",
                      description_.descriptors.device[9], description_.descriptors.device[8],
                      description_.descriptors.device[11], description_.descriptors.device[10]);
    char head[512];
    std::snprintf(head, sizeof head,
                  "P: /devices/%s\nN: bus/usb/%03u/%03u\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                  "E: DEVNAME=%s\nE: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\nA: devnum=%u\n"
                  "A: speed=%s\nA: bConfigurationValue=1\n",
                  options_.sysName.c_str(), options_.bus, options_.address, devNode_.c_str(),
                  options_.bus, options_.address, options_.bus, options_.address,
                  speedText(description_.speedCode));
    const std::string record = std::string(head) + ids + "H: descriptors=" + hex(raw) + "\n";
    if (!umockdev_testbed_add_from_string(testbed(), record.c_str(), &error)) {
        std::fprintf(stderr, "usbfs emulation: %s\n", error->message);
        g_error_free(error);
        return;
    }
    umockdev_testbed_uevent(testbed(), sysPath_.c_str(), "add");
}

UsbfsDevice::~UsbfsDevice() {
    unplug();
    umockdev_testbed_detach_ioctl(testbed(), devNode_.c_str(), nullptr);
    g_object_unref(handler_);
}

void UsbfsDevice::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unplugged_) return;
        unplugged_ = true;
    }
    umockdev_testbed_uevent(testbed(), sysPath_.c_str(), "remove");
    umockdev_testbed_remove_device(testbed(), sysPath_.c_str());
}

size_t UsbfsDevice::queuedUrbs(uint8_t endpoint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = queued_.find(endpoint);
    return it == queued_.end() ? 0 : it->second.size();
}

uint64_t UsbfsDevice::peakMemory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peakMemory_;
}

uint32_t UsbfsDevice::refusedSubmits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
}

size_t UsbfsDevice::claimedInterfaces() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(
        std::count_if(claimed_.begin(), claimed_.end(), [](const auto& e) { return e.second; }));
}

int UsbfsDevice::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    return static_cast<UsbfsDevice*>(self)->handle(client) ? TRUE : FALSE;
}

bool UsbfsDevice::goneLocked() const {
    return unplugged_ || (description_.model && !description_.model->present());
}

bool UsbfsDevice::handle(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(mutex_);
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        reap(client);
        return true;
    }
    if (goneLocked()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            // What an xHCI host on a current kernel reports: one URB per transfer of any size.
            UMockdevIoctlData* caps =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
            const uint32_t value = USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                   USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            std::memcpy(caps->data, &value, sizeof value);
            g_object_unref(caps);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* number =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
            uint32_t interface = 0;
            std::memcpy(&interface, number->data, sizeof interface);
            g_object_unref(number);
            claimed_[interface] = request == USBDEVFS_CLAIMINTERFACE;
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESET:
        case USBDEVFS_RESETEP:
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            // No kernel driver is bound to a board: nothing to name, nothing to disconnect.
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return true;
        case USBDEVFS_SUBMITURB:
            // The argument is the URB's address; the URB lives in this same process.
            submit(client, *reinterpret_cast<usbdevfs_urb**>(arg->data));
            return true;
        case USBDEVFS_DISCARDURB:
            discard(client, *reinterpret_cast<usbdevfs_urb**>(arg->data));
            return true;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return true;
    }
}

void UsbfsDevice::submit(UMockdevIoctlClient* client, usbdevfs_urb* urb) {
    const uint32_t bytes = urb->buffer_length > 0 ? static_cast<uint32_t>(urb->buffer_length) : 0;
    if (options_.memoryLimit && memory_ + bytes > options_.memoryLimit) {
        ++refused_;
        umockdev_ioctl_client_complete(client, -1, ENOMEM);
        return;
    }
    memory_ += bytes;
    peakMemory_ = std::max(peakMemory_, memory_);
    urb->status = -EINPROGRESS;
    urb->actual_length = 0;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        reapable_.push_back(Urb{urb, bytes});
        serveControl(urb);
    } else if ((urb->endpoint & 0x80) != 0) {
        queued_[urb->endpoint].push_back(Urb{urb, bytes});
    } else {
        reapable_.push_back(Urb{urb, bytes});
        completeUrb(urb, 0, urb->buffer_length);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsDevice::completeUrb(usbdevfs_urb* urb, int status, int length) {
    urb->status = status;
    urb->actual_length = length;
}

void UsbfsDevice::serveControl(usbdevfs_urb* urb) {
    auto* buffer = static_cast<uint8_t*>(urb->buffer);
    if (urb->buffer_length < 8) {
        completeUrb(urb, -EINVAL, 0);
        return;
    }
    SetupPacket setup;
    setup.bmRequestType = buffer[0];
    setup.bRequest = buffer[1];
    setup.wValue = static_cast<uint16_t>(buffer[2] | (buffer[3] << 8));
    setup.wIndex = static_cast<uint16_t>(buffer[4] | (buffer[5] << 8));
    setup.wLength = static_cast<uint16_t>(buffer[6] | (buffer[7] << 8));
    const uint32_t room =
        std::min<uint32_t>(setup.wLength, static_cast<uint32_t>(urb->buffer_length - 8));
    uint8_t* data = buffer + 8;

    uint32_t length = 0;
    bool ok = false;
    if (setup.bmRequestType == 0x80 && setup.bRequest == 6) {
        ok = serveDescriptor(setup, data, &length);
    } else if (description_.model) {
        std::vector<uint8_t> stage(setup.wLength);
        if (!setup.isIn()) std::copy_n(data, room, stage.begin());
        const ControlResult r =
            description_.model->control(setup, stage.empty() ? nullptr : stage.data());
        ok = r.ok;
        length = std::min(r.length, room);
        if (ok && setup.isIn()) std::copy_n(stage.begin(), length, data);
    }
    completeUrb(urb, ok ? 0 : -EPIPE, ok ? static_cast<int>(length) : 0);
}

bool UsbfsDevice::serveDescriptor(const SetupPacket& setup, uint8_t* data, uint32_t* length) {
    std::vector<uint8_t> built;
    const std::span<const uint8_t> reply =
        driver::virt::descriptorReply(description_.descriptors, setup.wValue, built);
    if (reply.empty()) return false;
    *length = std::min<uint32_t>(static_cast<uint32_t>(reply.size()), setup.wLength);
    std::copy_n(reply.begin(), *length, data);
    return true;
}

void UsbfsDevice::offerBulkReads() {
    for (auto& [endpoint, queue] : queued_) {
        while (!queue.empty()) {
            usbdevfs_urb* urb = queue.front().urb;
            const uint32_t capacity = static_cast<uint32_t>(std::max(urb->buffer_length, 0));
            const BulkResult r = description_.model
                                     ? description_.model->bulkIn(
                                           endpoint, static_cast<uint8_t*>(urb->buffer), capacity)
                                     : BulkResult::waitForever();
            if (r.kind == BulkResult::Kind::Wait) break;
            if (r.kind == BulkResult::Kind::Done)
                completeUrb(urb, 0, static_cast<int>(std::min(r.length, capacity)));
            else
                completeUrb(urb, -EPIPE, 0);
            reapable_.push_back(queue.front());
            queue.pop_front();
        }
    }
}

void UsbfsDevice::reap(UMockdevIoctlClient* client) {
    if (goneLocked()) {
        // What the kernel does on disconnect: every URB ends with ESHUTDOWN and can still be
        // reaped; after that the node answers ENODEV.
        for (auto& [endpoint, queue] : queued_) {
            for (Urb& u : queue) {
                completeUrb(u.urb, -ESHUTDOWN, 0);
                reapable_.push_back(u);
            }
            queue.clear();
        }
    } else {
        offerBulkReads();
    }
    if (reapable_.empty()) {
        umockdev_ioctl_client_complete(client, -1, goneLocked() ? ENODEV : EAGAIN);
        return;
    }
    const Urb u = reapable_.front();
    reapable_.pop_front();
    memory_ -= u.bytes;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    std::memcpy(slot->data, &u.urb, sizeof(void*));
    g_object_unref(slot);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsDevice::discard(UMockdevIoctlClient* client, usbdevfs_urb* urb) {
    for (auto& [endpoint, queue] : queued_) {
        auto it =
            std::find_if(queue.begin(), queue.end(), [&](const Urb& u) { return u.urb == urb; });
        if (it == queue.end()) continue;
        completeUrb(urb, -ENOENT, 0);
        reapable_.push_back(*it);
        queue.erase(it);
        if (queue.empty() && description_.model) description_.model->bulkAborted(endpoint);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    // Already complete: the kernel says so with EINVAL and the URB is reaped as it is.
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

}  // namespace vexo::test
