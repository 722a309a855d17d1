// The virtual bus: the registry of virtual devices and the backend that serves them.
#include "driver/virtual/virtual_bus.h"

#include <algorithm>
#include <atomic>

#include "common/mutex.h"
#include "driver/backend.h"
#include "driver/virtual/virtual_device.h"

namespace vexo::driver::virt {

namespace {

/// One open handle on a virtual device; keeps the device alive after its removal.
class VirtualHandle : public DeviceObject {
  public:
    VirtualHandle(std::shared_ptr<VirtualDevice> device, uint64_t id)
        : device_(std::move(device)), id_(id) {}

    bool ioControl(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                   uint32_t* bytesReturned, std::unique_ptr<Completion>& completion,
                   uint32_t* error) override {
        return device_->ioControl(id_, code, in, inLength, out, outLength, bytesReturned,
                                  completion, error);
    }

    bool close(uint32_t* error) override { return device_->closeHandle(id_, error); }

  private:
    std::shared_ptr<VirtualDevice> device_;
    uint64_t id_;
};

// Threading: the device list under gMutex; devices are called without it.
Mutex gMutex;
std::vector<std::shared_ptr<VirtualDevice>> gDevices VEXO_GUARDED_BY(gMutex);
DeviceId gNextId VEXO_GUARDED_BY(gMutex) = 1;
uint64_t gNextHandle VEXO_GUARDED_BY(gMutex) = 1;
// Brings the bus in line with its configuration; set once, when the library is loaded.
std::atomic<void (*)()> gRefresh{nullptr};

void refresh() {
    if (auto configure = gRefresh.load()) configure();
}

std::vector<std::shared_ptr<VirtualDevice>> devicesNow() VEXO_EXCLUDES(gMutex) {
    MutexLock lock(gMutex);
    return gDevices;
}

// Serialises the return of replugged devices, so each returns once (it guards no data).
Mutex gReturnMutex;

// Devices that left the bus for a while (a replugged board) return once their time has come.
// Enumeration and open are where a host would notice, so they bring them back. The returning
// device keeps its id and path and is listed after the devices present.
void returnDueDevices() VEXO_EXCLUDES(gMutex) {
    MutexLock returning(gReturnMutex);
    const Clock::time_point now = Clock::now();
    for (const auto& old : devicesNow()) {
        const std::shared_ptr<DeviceModel>& model = old->description().model;
        if (!model || !model->returnDue(now)) continue;
        {
            MutexLock lock(gMutex);
            auto it = std::find(gDevices.begin(), gDevices.end(), old);
            if (it == gDevices.end()) continue;  // removed meanwhile
            gDevices.erase(it);
        }
        // The old appearance goes first, so its handles never see the board present again.
        old->markRemoved();
        if (!model->comeBack(now)) continue;
        auto device = std::make_shared<VirtualDevice>(old->id(), old->description());
        {
            MutexLock lock(gMutex);
            gDevices.push_back(device);
        }
        device->attach();
    }
}

std::shared_ptr<VirtualDevice> find(DeviceId id) VEXO_EXCLUDES(gMutex) {
    MutexLock lock(gMutex);
    for (const auto& d : gDevices)
        if (d->id() == id) return d;
    return nullptr;
}

class VirtualBackend : public Backend {
  public:
    std::vector<std::string> enumerate(const Guid& interfaceClass) override {
        std::vector<std::string> paths;
        if (interfaceClass != kDriverInterfaceGuid) return paths;
        refresh();
        returnDueDevices();
        for (const auto& d : devicesNow())
            if (d->present()) paths.push_back(d->path());
        return paths;
    }

    std::unique_ptr<DeviceObject> open(const std::string& path, uint32_t* error) override {
        refresh();
        returnDueDevices();
        for (const auto& d : devicesNow()) {
            if (d->path() != path) continue;
            if (!d->present()) break;
            uint64_t handle;
            {
                MutexLock lock(gMutex);
                handle = gNextHandle++;
            }
            return std::make_unique<VirtualHandle>(d, handle);
        }
        *error = kErrorFileNotFound;
        return nullptr;
    }
};

void ensureRegistered() {
    static const std::shared_ptr<Backend> backend = [] {
        auto b = std::make_shared<VirtualBackend>();
        registerBackend(b, kVirtualBackendOrder);
        return b;
    }();
    (void)backend;
}

}  // namespace

DeviceId addDevice(VirtualDeviceDescription description) {
    ensureRegistered();
    std::shared_ptr<VirtualDevice> device;
    {
        MutexLock lock(gMutex);
        device = std::make_shared<VirtualDevice>(gNextId++, std::move(description));
        gDevices.push_back(device);
    }
    device->attach();
    return device->id();
}

void configureBus(void (*refresh)()) {
    ensureRegistered();
    gRefresh.store(refresh);
}

void removeDevice(DeviceId id) {
    std::shared_ptr<VirtualDevice> device;
    {
        MutexLock lock(gMutex);
        auto it = std::find_if(gDevices.begin(), gDevices.end(),
                               [id](const auto& d) { return d->id() == id; });
        if (it == gDevices.end()) return;
        device = *it;
        gDevices.erase(it);
    }
    device->markRemoved();
}

void removeAllDevices() {
    std::vector<std::shared_ptr<VirtualDevice>> devices;
    {
        MutexLock lock(gMutex);
        devices.swap(gDevices);
    }
    for (const auto& d : devices) d->markRemoved();
}

std::string devicePath(DeviceId id) {
    auto d = find(id);
    return d ? d->path() : std::string();
}

void injectRequestFault(DeviceId id, uint32_t code, RequestFault fault) {
    if (auto d = find(id)) d->injectFault(code, fault);
}

void clearRequestFaults(DeviceId id) {
    if (auto d = find(id)) d->clearFaults();
}

void failNextClose(DeviceId id, uint32_t error) {
    if (auto d = find(id)) d->failNextClose(error);
}

std::optional<uint32_t> transferSize(DeviceId id, uint8_t endpoint) {
    auto d = find(id);
    return d ? d->transferSize(endpoint) : std::nullopt;
}

size_t pendingRequests(DeviceId id, uint8_t endpoint) {
    auto d = find(id);
    return d ? d->pendingRequests(endpoint) : 0;
}

std::vector<ControlSeen> controlLog(DeviceId id) {
    auto d = find(id);
    return d ? d->controlLog() : std::vector<ControlSeen>{};
}

void clearControlLog(DeviceId id) {
    if (auto d = find(id)) d->clearControlLog();
}

}  // namespace vexo::driver::virt
