// Backend registry, device-interface enumeration, the handle table and the request calls.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "common/mutex.h"
#include "driver/backend.h"
#include "driver/driver_service.h"
#include "driver/event_core.h"

namespace vexo::driver {

struct DeviceInfoSet {
    Guid interfaceClass;
    std::vector<std::string> paths;
};

namespace {

constexpr size_t kMaxPathLength = 255;

struct Registered {
    int order;
    std::shared_ptr<Backend> backend;
};

// Threading: the registry and the handle table are guarded by gMutex; backends and device
// objects are called without it, so a slow request never blocks another handle.
Mutex gMutex;
std::vector<Registered> gBackends VEXO_GUARDED_BY(gMutex);
std::map<intptr_t, std::shared_ptr<DeviceObject>> gHandles VEXO_GUARDED_BY(gMutex);
intptr_t gNextHandle VEXO_GUARDED_BY(gMutex) = 0x100;

std::vector<std::shared_ptr<Backend>> backendsInOrder() {
    MutexLock lock(gMutex);
    std::vector<std::shared_ptr<Backend>> list;
    for (const Registered& r : gBackends) list.push_back(r.backend);
    return list;
}

std::shared_ptr<DeviceObject> lookUp(Handle handle) {
    MutexLock lock(gMutex);
    auto it = gHandles.find(static_cast<intptr_t>(handle));
    return it == gHandles.end() ? nullptr : it->second;
}

}  // namespace

void registerBackend(const std::shared_ptr<Backend>& backend, int order) {
    MutexLock lock(gMutex);
    for (const Registered& r : gBackends)
        if (r.backend == backend) return;
    auto at = std::find_if(gBackends.begin(), gBackends.end(),
                           [&](const Registered& r) { return r.order > order; });
    gBackends.insert(at, Registered{order, backend});
}

void unregisterBackend(const std::shared_ptr<Backend>& backend) {
    MutexLock lock(gMutex);
    std::erase_if(gBackends, [&](const Registered& r) { return r.backend == backend; });
}

DeviceInfoSet* getClassDevs(const Guid& interfaceClass) {
    auto* set = new DeviceInfoSet{interfaceClass, {}};
    for (const auto& backend : backendsInOrder()) {
        std::vector<std::string> paths = backend->enumerate(interfaceClass);
        set->paths.insert(set->paths.end(), paths.begin(), paths.end());
    }
    return set;
}

bool enumDeviceInterface(DeviceInfoSet* set, uint32_t member, DeviceInterfaceData* data) {
    if (!set || !data) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    if (member >= set->paths.size()) {
        setLastError(kErrorNoMoreItems);
        return false;
    }
    data->interfaceClass = set->interfaceClass;
    data->member = member;
    setLastError(kErrorSuccess);
    return true;
}

bool getDeviceInterfacePath(DeviceInfoSet* set, const DeviceInterfaceData& data, char* path,
                            uint32_t pathSize, uint32_t* requiredSize) {
    if (!set) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    if (data.member >= set->paths.size()) {
        setLastError(kErrorNoMoreItems);
        return false;
    }
    const std::string& p = set->paths[data.member];
    const uint64_t needed = p.size() + 1;
    if (requiredSize) *requiredSize = static_cast<uint32_t>(needed);
    if (!path || pathSize < needed) {
        setLastError(kErrorInsufficientBuffer);
        return false;
    }
    std::memcpy(path, p.c_str(), needed);
    setLastError(kErrorSuccess);
    return true;
}

void destroyDeviceInfoList(DeviceInfoSet* set) {
    delete set;
}

Handle createFile(const char* path) {
    if (!path) {
        setLastError(kErrorInvalidParameter);
        return kInvalidHandle;
    }
    const std::string p(path);
    if (p.size() > kMaxPathLength) {
        setLastError(kErrorFilenameExcedRange);
        return kInvalidHandle;
    }
    uint32_t error = kErrorFileNotFound;
    for (const auto& backend : backendsInOrder()) {
        uint32_t e = kErrorFileNotFound;
        std::unique_ptr<DeviceObject> device = backend->open(p, &e);
        if (device) {
            MutexLock lock(gMutex);
            const intptr_t id = gNextHandle++;
            gHandles.emplace(id, std::shared_ptr<DeviceObject>(std::move(device)));
            setLastError(kErrorSuccess);
            return Handle(id);
        }
        if (e != kErrorFileNotFound) error = e;
    }
    setLastError(error);
    return kInvalidHandle;
}

bool closeHandle(Handle handle) {
    std::shared_ptr<DeviceObject> device;
    {
        MutexLock lock(gMutex);
        auto it = gHandles.find(static_cast<intptr_t>(handle));
        if (it != gHandles.end()) {
            device = std::move(it->second);
            gHandles.erase(it);
        }
    }
    if (!device) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    uint32_t error = kErrorSuccess;
    if (!device->close(&error)) {
        setLastError(error);
        return false;
    }
    setLastError(kErrorSuccess);
    return true;
}

bool deviceIoControl(Handle handle, uint32_t code, void* in, uint32_t inLength, void* out,
                     uint32_t outLength, uint32_t* bytesReturned, Overlapped* overlapped) {
    uint32_t scratch = 0;
    if (!bytesReturned) bytesReturned = &scratch;
    *bytesReturned = 0;
    std::shared_ptr<DeviceObject> device = lookUp(handle);
    if (!device) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    if ((!in && inLength) || (!out && outLength) || (overlapped && !overlapped->event)) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    if (!in) inLength = 0;
    if (!out) outLength = 0;

    std::unique_ptr<Completion> completion;
    if (overlapped) completion = std::make_unique<Completion>(overlapped);
    uint32_t error = kErrorSuccess;
    uint32_t bytes = 0;
    const bool done =
        device->ioControl(code, in, inLength, out, outLength, &bytes, completion, &error);
    if (done) {
        *bytesReturned = bytes;
        if (completion) completion->complete(kErrorSuccess, bytes);
        setLastError(kErrorSuccess);
        return true;
    }
    if (error == kErrorSuccess) error = kErrorGenFailure;
    if (overlapped && error != kErrorIoPending) {
        // Refused at once: nothing will complete, so leave the result readable.
        overlapped->status.store(error, std::memory_order_release);
    }
    setLastError(error);
    return false;
}

bool getOverlappedResult(Handle, Overlapped* overlapped, uint32_t* bytes, bool wait) {
    uint32_t scratch = 0;
    if (!bytes) bytes = &scratch;
    *bytes = 0;
    if (!overlapped) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    uint32_t status = overlapped->status.load(std::memory_order_acquire);
    while (status == kErrorIoPending) {
        if (!wait) {
            setLastError(kErrorIoIncomplete);
            return false;
        }
        if (waitForEvent(overlapped->event, kInfinite) == kWaitFailed) return false;
        status = overlapped->status.load(std::memory_order_acquire);
    }
    *bytes = overlapped->bytes.load(std::memory_order_relaxed);
    setLastError(status);
    return status == kErrorSuccess;
}

}  // namespace vexo::driver
