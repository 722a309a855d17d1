// Request serving of a virtual device.
#include "driver/virtual/virtual_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver/virtual/descriptor_reply.h"

namespace vexo::driver::virt {

namespace {

// What the virtual driver reports about itself.
constexpr uint32_t kVirtualDriverVersion = 0x01040000;
constexpr uint32_t kVirtualUsbdiVersion = 0x00000600;

std::atomic<uint64_t> gNextRequest{1};

bool isTransfer(uint32_t code) {
    return code == kRequestControlTransfer || code == kRequestBufferedTransfer ||
           code == kRequestDirectTransfer;
}

std::string makePath(DeviceId id, const DescriptorTables& tables) {
    unsigned vid = 0, pid = 0;
    if (tables.device.size() >= 12) {
        vid = tables.device[8] | (tables.device[9] << 8);
        pid = tables.device[10] | (tables.device[11] << 8);
    }
    char path[160];
    std::snprintf(path, sizeof path,
                  "\\\\?\\usb#vid_%04x&pid_%04x#vexo-virtual-%u#"
                  "{ae18aa60-7f6a-11d4-97dd-00010229b959}",
                  vid, pid, static_cast<unsigned>(id));
    return path;
}

// Endpoint addresses named by the configuration blocks; malformed blocks are walked only as
// far as they can be.
std::set<uint8_t> scanEndpoints(const DescriptorTables& tables) {
    std::set<uint8_t> found;
    for (const auto& block : tables.configurations) {
        size_t off = 0;
        while (off + 2 <= block.size()) {
            const uint8_t len = block[off];
            if (len < 2) break;
            if (block[off + 1] == 5 && off + 3 <= block.size()) found.insert(block[off + 2]);
            off += len;
        }
    }
    return found;
}

}  // namespace

struct VirtualDevice::Request : Pooled<VirtualDevice::Request> {
    uint64_t id = 0;
    uint64_t handle = 0;
    uint32_t code = 0;
    uint8_t pipe = 0;
    bool in = false;
    Clock::time_point readyAt = Clock::time_point::min();
    TransferRecord header{};    // as the request arrived
    uint8_t* record = nullptr;  // where the status words and packet information go
    uint32_t recordLength = 0;
    // Buffered forms: the request's own copy of the record, in the request itself when small
    // (vendor requests), else on the heap.
    static constexpr uint32_t kInlineSystem = 192;
    uint8_t systemInline[kInlineSystem];
    std::vector<uint8_t> systemHeap;
    uint8_t* system = nullptr;
    uint32_t systemLength = 0;

    void makeSystem(uint32_t length) {
        if (length <= kInlineSystem) {
            system = systemInline;
        } else {
            systemHeap.assign(length, 0);
            system = systemHeap.data();
        }
        std::memset(system, 0, length);
        systemLength = length;
    }
    uint8_t* out = nullptr;  // buffered forms: the caller's output, filled on completion
    uint32_t outLength = 0;
    uint8_t* data = nullptr;  // where the data stage moves
    uint32_t capacity = 0;
    uint32_t bytes = 0;  // result: byte count reported
    std::unique_ptr<Completion> completion;
};

VirtualDevice::Queue::Queue() = default;
VirtualDevice::Queue::~Queue() = default;
VirtualDevice::Queue::Queue(Queue&&) noexcept = default;

VirtualDevice::Request& VirtualDevice::Queue::front() {
    return *slots_[head_];
}

void VirtualDevice::Queue::push(std::unique_ptr<Request> request) {
    if (count_ == slots_.size()) {
        // Full: unroll into a larger ring (only while the pipe reaches a new depth).
        std::vector<std::unique_ptr<Request>> grown(slots_.empty() ? 8 : slots_.size() * 2);
        for (size_t i = 0; i < count_; ++i)
            grown[i] = std::move(slots_[(head_ + i) % slots_.size()]);
        slots_ = std::move(grown);
        head_ = 0;
    }
    slots_[(head_ + count_) % slots_.size()] = std::move(request);
    ++count_;
}

std::unique_ptr<VirtualDevice::Request> VirtualDevice::Queue::pop() {
    std::unique_ptr<Request> request = std::move(slots_[head_]);
    head_ = (head_ + 1) % slots_.size();
    --count_;
    return request;
}

bool VirtualDevice::Queue::contains(uint64_t id) const {
    for (size_t i = 0; i < count_; ++i)
        if (slots_[(head_ + i) % slots_.size()]->id == id) return true;
    return false;
}

template <typename Which, typename Done>
void VirtualDevice::Queue::removeIf(Which&& which, Done&& done) {
    size_t kept = 0;
    const size_t n = count_;
    for (size_t i = 0; i < n; ++i) {
        std::unique_ptr<Request>& slot = slots_[(head_ + i) % slots_.size()];
        if (which(*slot)) {
            done(*slot);
            slot.reset();
        } else {
            slots_[(head_ + kept) % slots_.size()] = std::move(slot);
            ++kept;
        }
    }
    count_ = kept;
}

VirtualDevice::VirtualDevice(DeviceId id, VirtualDeviceDescription description)
    : id_(id),
      description_(std::move(description)),
      path_(makePath(id, description_.descriptors)),
      endpoints_(scanEndpoints(description_.descriptors)) {}

VirtualDevice::~VirtualDevice() {
    MutexLock lock(mutex_);
    cancelWhere(kErrorDeviceNotConnected, kNtNoSuchDevice, kUsbdDeviceGone,
                [](const Request&) { return true; });
}

void VirtualDevice::attach() {
    if (!description_.model) return;
    std::weak_ptr<VirtualDevice> self = weak_from_this();
    description_.model->setNotifier([self] {
        if (auto device = self.lock()) device->modelNotified();
    });
}

void VirtualDevice::modelNotified() {
    // Called from inside a model call (device lock held by this thread): the caller bumps the
    // generation when the call returns.
    if (modelCaller_.load() == std::this_thread::get_id()) {
        notifiedInCall_ = true;
        return;
    }
    wake();
}

void VirtualDevice::wake() {
    {
        MutexLock lock(mutex_);
        ++generation_;
    }
    cv_.notify_all();
}

bool VirtualDevice::present() {
    MutexLock lock(mutex_);
    return presentLocked();
}

bool VirtualDevice::presentLocked() {
    if (removed_) return false;
    if (!description_.model) return true;
    modelCaller_ = std::this_thread::get_id();
    const bool p = description_.model->present();
    modelCaller_ = std::thread::id();
    if (!p) {
        // Unplugged: whatever is in flight ends now.
        cancelWhere(kErrorDeviceNotConnected, kNtNoSuchDevice, kUsbdDeviceGone,
                    [](const Request&) { return true; });
    }
    return p;
}

void VirtualDevice::markRemoved() {
    MutexLock lock(mutex_);
    removed_ = true;
    cancelWhere(kErrorDeviceNotConnected, kNtNoSuchDevice, kUsbdDeviceGone,
                [](const Request&) { return true; });
}

std::optional<RequestFault> VirtualDevice::takeFault(uint32_t code) {
    auto it = faults_.find(code);
    if (it == faults_.end()) return std::nullopt;
    RequestFault fault = it->second;
    if (it->second.count > 0 && --it->second.count == 0) faults_.erase(it);
    return fault;
}

bool VirtualDevice::ioControl(uint64_t handle, uint32_t code, void* in, uint32_t inLength,
                              void* out, uint32_t outLength, uint32_t* bytesReturned,
                              std::unique_ptr<Completion>& completion, uint32_t* error) {
    *bytesReturned = 0;
    Clock::time_point deferredUntil;
    if (!admit(code, &deferredUntil, error)) return false;
    if (!isTransfer(code))
        return serveNow(code, in, inLength, out, outLength, deferredUntil, bytesReturned, error);
    if (!completion)
        return transferNow(handle, code, in, inLength, out, outLength, deferredUntil, bytesReturned,
                           error);
    MutexLock lock(mutex_);
    return submit(lock, handle, code, in, inLength, out, outLength, bytesReturned, completion,
                  error, deferredUntil);
}

bool VirtualDevice::admit(uint32_t code, Clock::time_point* deferredUntil, uint32_t* error) {
    std::optional<RequestFault> fault;
    {
        MutexLock lock(mutex_);
        if (!presentLocked()) {
            *error = kErrorDeviceNotConnected;
            return false;
        }
        fault = takeFault(code);
    }
    *deferredUntil = Clock::time_point::min();
    if (!fault) return true;
    switch (fault->kind) {
        case FaultKind::Fail:
            *error = fault->error ? fault->error : kErrorGenFailure;
            return false;
        case FaultKind::Delay:
            *deferredUntil = Clock::now() + fault->delay;
            break;
        case FaultKind::Never:
            *deferredUntil = Clock::time_point::max();
            break;
    }
    return true;
}

bool VirtualDevice::serveNow(uint32_t code, void* in, uint32_t inLength, void* out,
                             uint32_t outLength, Clock::time_point deferredUntil,
                             uint32_t* bytesReturned, uint32_t* error) {
    if (deferredUntil == Clock::time_point::max()) {
        *error = kErrorTimeout;
        return false;
    }
    if (deferredUntil != Clock::time_point::min()) std::this_thread::sleep_until(deferredUntil);
    MutexLock lock(mutex_);
    if (!presentLocked()) {
        *error = kErrorDeviceNotConnected;
        return false;
    }
    if (code == kRequestAbortPipe) return abortPipe(in, inLength, error);
    return serveInfo(code, in, inLength, out, outLength, bytesReturned, error);
}

bool VirtualDevice::abortPipe(const void* in, uint32_t inLength, uint32_t* error) {
    const std::optional<uint8_t> pipe = decodeAbortPipe(static_cast<const uint8_t*>(in), inLength);
    if (!pipe) {
        *error = kErrorInvalidParameter;
        return false;
    }
    cancelWhere(kErrorOperationAborted, kNtCancelled, kUsbdCanceled,
                [pipe = *pipe](const Request& r) { return r.pipe == pipe; });
    if (*pipe != 0 && description_.model) {
        modelCaller_ = std::this_thread::get_id();
        description_.model->bulkAborted(*pipe);
        modelCaller_ = std::thread::id();
        notifiedInCall_ = false;
    }
    return true;
}

bool VirtualDevice::transferNow(uint64_t handle, uint32_t code, void* in, uint32_t inLength,
                                void* out, uint32_t outLength, Clock::time_point deferredUntil,
                                uint32_t* bytesReturned, uint32_t* error) {
    if (deferredUntil == Clock::time_point::max()) {
        *error = kErrorTimeout;
        return false;
    }
    Overlapped overlapped;
    overlapped.event = createEvent();
    auto local = std::make_unique<Completion>(&overlapped);
    bool done;
    {
        MutexLock lock(mutex_);
        done = submit(lock, handle, code, in, inLength, out, outLength, bytesReturned, local, error,
                      deferredUntil);
    }
    if (!done && *error == kErrorIoPending) {
        uint32_t bytes = 0;
        done = getOverlappedResult(kInvalidHandle, &overlapped, &bytes, true);
        *bytesReturned = bytes;
        *error = done ? kErrorSuccess : getLastError();
    }
    closeEvent(overlapped.event);
    return done;
}

bool VirtualDevice::submit(MutexLock&, uint64_t handle, uint32_t code, void* in, uint32_t inLength,
                           void* out, uint32_t outLength, uint32_t* bytesReturned,
                           std::unique_ptr<Completion>& completion, uint32_t* error,
                           Clock::time_point deferredUntil) {
    std::unique_ptr<Request> r = readRequest(code, in, inLength, out, outLength);
    if (!r) {
        *error = kErrorInvalidParameter;
        return false;
    }
    r->handle = handle;
    r->readyAt = deferredUntil;
    // The low byte of a request's id names its pipe, so a waiting thread finds the queue.
    r->id = (gNextRequest++ << 8) | r->pipe;

    Queue& queue = pipes_[r->pipe];
    const bool readsLater = r->in && code != kRequestControlTransfer;
    if (queue.empty() && !readsLater && r->readyAt <= Clock::now()) {
        // Control requests and OUT transfers with nothing ahead of them complete at once.
        if (code == kRequestControlTransfer) {
            serveControl(*r);
        } else {
            finish(*r, kErrorSuccess, kNtSuccess, kUsbdSuccess, r->capacity);
        }
        *bytesReturned = r->bytes;
        return true;
    }
    r->completion = std::move(completion);
    r->completion->attachPump(shared_from_this(), r->id);
    queue.push(std::move(r));
    *error = kErrorIoPending;
    return false;
}

std::unique_ptr<VirtualDevice::Request> VirtualDevice::readRequest(uint32_t code, void* in,
                                                                   uint32_t inLength, void* out,
                                                                   uint32_t outLength) {
    auto* inBytes = static_cast<uint8_t*>(in);
    const std::optional<TransferRecord> header = readTransferRecord(inBytes, inLength);
    if (!header) return nullptr;
    auto r = std::make_unique<Request>();
    r->code = code;
    r->header = *header;
    if (code == kRequestDirectTransfer) {
        // The record travels as input; the data moves straight into the caller's output.
        r->record = inBytes;
        r->recordLength = inLength;
        r->data = static_cast<uint8_t*>(out);
        r->capacity = outLength;
    } else {
        if (!spanFits(header->dataOffset, header->dataLength, inLength)) return nullptr;
        r->makeSystem(std::max(inLength, outLength));
        std::memcpy(r->system, inBytes, inLength);
        r->record = r->system;
        r->recordLength = r->systemLength;
        r->out = static_cast<uint8_t*>(out);
        r->outLength = outLength;
        r->data = r->system + header->dataOffset;
        r->capacity = header->dataLength;
    }
    if (!spanFits(header->packetInfoOffset, header->packetInfoLength, r->recordLength))
        return nullptr;
    if (code == kRequestControlTransfer) {
        r->pipe = 0;
        r->in = header->setup().isIn();
    } else {
        r->pipe = header->endpointAddress;
        if (r->pipe == 0 || !endpointKnown(r->pipe)) return nullptr;
        r->in = (r->pipe & 0x80) != 0;
    }
    return r;
}

bool VirtualDevice::serveInfo(uint32_t code, void* in, uint32_t inLength, void* out,
                              uint32_t outLength, uint32_t* bytesReturned, uint32_t* error) {
    auto* o = static_cast<uint8_t*>(out);
    auto need = [&](uint32_t n) {
        if (outLength >= n) return true;
        *error = kErrorInsufficientBuffer;
        return false;
    };
    switch (code) {
        case kRequestDriverVersion:
        case kRequestUsbdiVersion:
        case kRequestSpeed: {
            if (!need(4)) return false;
            const uint32_t value = code == kRequestDriverVersion  ? kVirtualDriverVersion
                                   : code == kRequestUsbdiVersion ? kVirtualUsbdiVersion
                                                                  : description_.speedCode;
            std::memcpy(o, &value, 4);
            *bytesReturned = 4;
            return true;
        }
        case kRequestAlternateSetting:
        case kRequestAddress:
            if (!need(1)) return false;
            o[0] =
                code == kRequestAddress ? description_.busAddress : description_.alternateSetting;
            *bytesReturned = 1;
            return true;
        case kRequestFriendlyName:
        case kRequestDeviceName:
            if (!need(1)) return false;
            *bytesReturned = writeNameReply(
                o, outLength,
                (code == kRequestFriendlyName ? description_.friendlyName : description_.deviceName)
                    .c_str());
            return true;
        case kRequestSetTransferSize: {
            const auto request = decodeTransferSize(static_cast<const uint8_t*>(in), inLength);
            if (!request) {
                *error = kErrorInvalidParameter;
                return false;
            }
            transferSizes_[request->endpoint] = request->size;
            *bytesReturned = echoTransferSize(o, outLength, static_cast<const uint8_t*>(in));
            return true;
        }
        default:
            *error = kErrorInvalidFunction;
            return false;
    }
}

void VirtualDevice::serveControl(Request& r) {
    const SetupPacket setup = r.header.setup();
    const ControlSeen seen{setup, r.header.timeoutSeconds, r.header.dataOffset, r.capacity};
    if (controlLog_.size() < kControlLogLimit) {
        if (controlLog_.capacity() == 0) controlLog_.reserve(kControlLogLimit);
        controlLog_.push_back(seen);
    } else {
        // Full: the oldest entry makes room, so a long-running device keeps a flat footprint.
        controlLog_[controlLogHead_] = seen;
        controlLogHead_ = (controlLogHead_ + 1) % kControlLogLimit;
    }

    // The data stage always has room for wLength bytes, whatever the record carries. Its
    // storage is kept from one request to the next.
    stage_.assign(setup.wLength, 0);
    std::vector<uint8_t>& stage = stage_;
    const uint32_t given = std::min<uint32_t>(setup.wLength, r.capacity);
    if (!setup.isIn() && given) std::memcpy(stage.data(), r.data, given);

    ControlResult result = ControlResult::stall();
    if (setup.bmRequestType == 0x80 && setup.bRequest == 6) {
        std::vector<uint8_t> built;
        const std::span<const uint8_t> reply =
            descriptorReply(description_.descriptors, setup.wValue, built);
        if (!reply.empty()) {
            // A real device sends at most what was asked for.
            const size_t n = std::min(reply.size(), stage.size());
            std::copy_n(reply.begin(), n, stage.begin());
            result = ControlResult::ack(static_cast<uint32_t>(n));
        }
    } else if (description_.model) {
        modelCaller_ = std::this_thread::get_id();
        result = description_.model->control(setup, stage.empty() ? nullptr : stage.data());
        modelCaller_ = std::thread::id();
        notifiedInCall_ = false;
        // Control requests may change what readers wait for.
        ++generation_;
        cv_.notify_all();
    }

    uint32_t moved = std::min<uint32_t>(result.length, setup.wLength);
    moved = std::min(moved, r.capacity);
    if (result.ok && setup.isIn() && moved) std::memcpy(r.data, stage.data(), moved);
    if (result.ok) {
        finish(r, kErrorSuccess, kNtSuccess, kUsbdSuccess, moved);
    } else {
        // A stall completes the request; the caller learns of it from the status words.
        finish(r, kErrorSuccess, kNtUnsuccessful, kUsbdStallPid, 0);
    }
}

void VirtualDevice::finish(Request& r, uint32_t error, uint32_t ntStatus, uint32_t usbdStatus,
                           uint32_t moved) {
    // Every record is at least a header long: submit() refuses shorter ones.
    writeStatusWords(r.record, ntStatus, usbdStatus);
    const uint32_t infoLength = r.header.packetInfoLength;
    if (error == kErrorSuccess && infoLength >= kPacketInfoSize &&
        r.code != kRequestControlTransfer) {
        // One entry per packet: status 0, then the bytes of that packet.
        const uint32_t packets = infoLength / kPacketInfoSize;
        const uint32_t perPacket = (r.capacity + packets - 1) / packets;
        uint32_t left = moved;
        for (uint32_t i = 0; i < packets; ++i) {
            const PacketInfo entry{0, std::min(left, perPacket)};
            std::memcpy(r.record + r.header.packetInfoOffset + i * kPacketInfoSize, &entry,
                        sizeof entry);
            left -= entry.length;
        }
    }
    r.bytes = error == kErrorSuccess ? r.header.dataOffset + moved : 0;
    if (r.out && r.outLength) std::memcpy(r.out, r.system, r.outLength);
    if (r.completion) r.completion->complete(error, r.bytes);
}

bool VirtualDevice::processFront(Queue& queue, Clock::time_point* readyAt) {
    Request& r = queue.front();
    const Clock::time_point now = Clock::now();
    if (r.readyAt > now) {
        *readyAt = r.readyAt;
        return false;
    }
    if (r.code == kRequestControlTransfer) {
        serveControl(r);
    } else if (!r.in) {
        finish(r, kErrorSuccess, kNtSuccess, kUsbdSuccess, r.capacity);
    } else {
        BulkResult b = BulkResult::fail();
        if (description_.model) {
            // A read of 0 bytes still gets a valid pointer: models may hand it to memcpy.
            static uint8_t none;
            modelCaller_ = std::this_thread::get_id();
            b = description_.model->bulkIn(r.pipe, r.data ? r.data : &none, r.capacity);
            modelCaller_ = std::thread::id();
            if (notifiedInCall_.exchange(false)) {
                ++generation_;
                cv_.notify_all();
            }
        }
        switch (b.kind) {
            case BulkResult::Kind::Done:
                finish(r, kErrorSuccess, kNtSuccess, kUsbdSuccess, std::min(b.length, r.capacity));
                break;
            case BulkResult::Kind::Fail:
                finish(r, kErrorGenFailure, kNtUnsuccessful, kUsbdStallPid, 0);
                break;
            case BulkResult::Kind::Wait:
                *readyAt = b.readyAt;
                return false;
        }
    }
    queue.pop();
    return true;
}

void VirtualDevice::pump(uint64_t requestId, Clock::time_point deadline) {
    MutexLock lock(mutex_);
    for (;;) {
        auto pipe = pipes_.find(static_cast<uint8_t>(requestId & 0xFF));
        if (pipe == pipes_.end() || !pipe->second.contains(requestId)) return;
        if (!presentLocked()) return;
        Queue& queue = pipe->second;
        Clock::time_point readyAt;
        if (processFront(queue, &readyAt)) continue;
        if (Clock::now() >= deadline) return;
        const uint64_t seen = generation_;
        waitUntil(cv_, lock.native(), std::min(readyAt, deadline),
                  [&]() VEXO_REQUIRES(mutex_) { return generation_ != seen; });
    }
}

void VirtualDevice::cancelWhere(uint32_t error, uint32_t ntStatus, uint32_t usbdStatus,
                                const std::function<bool(const Request&)>& which) {
    bool any = false;
    for (auto& [pipe, queue] : pipes_) {
        queue.removeIf(which, [&](Request& r) {
            mutex_.assertHeld();  // removeIf runs it here, under the lock
            finish(r, error, ntStatus, usbdStatus, 0);
            any = true;
        });
    }
    if (any) {
        ++generation_;
        cv_.notify_all();
    }
}

bool VirtualDevice::endpointKnown(uint8_t address) const {
    return endpoints_.count(address) != 0;
}

bool VirtualDevice::closeHandle(uint64_t handle, uint32_t* error) {
    MutexLock lock(mutex_);
    cancelWhere(kErrorOperationAborted, kNtCancelled, kUsbdCanceled,
                [handle](const Request& r) { return r.handle == handle; });
    if (closeFailure_) {
        *error = *closeFailure_;
        closeFailure_.reset();
        return false;
    }
    return true;
}

void VirtualDevice::injectFault(uint32_t code, RequestFault fault) {
    MutexLock lock(mutex_);
    if (fault.count == 0) return;
    faults_[code] = fault;
}

void VirtualDevice::clearFaults() {
    MutexLock lock(mutex_);
    faults_.clear();
}

void VirtualDevice::failNextClose(uint32_t error) {
    MutexLock lock(mutex_);
    closeFailure_ = error;
}

std::optional<uint32_t> VirtualDevice::transferSize(uint8_t endpoint) {
    MutexLock lock(mutex_);
    auto it = transferSizes_.find(endpoint);
    if (it == transferSizes_.end()) return std::nullopt;
    return it->second;
}

size_t VirtualDevice::pendingRequests(uint8_t endpoint) {
    MutexLock lock(mutex_);
    auto it = pipes_.find(endpoint);
    return it == pipes_.end() ? 0 : it->second.size();
}

std::vector<ControlSeen> VirtualDevice::controlLog() {
    MutexLock lock(mutex_);
    std::vector<ControlSeen> inOrder(controlLog_.begin() + controlLogHead_, controlLog_.end());
    inOrder.insert(inOrder.end(), controlLog_.begin(), controlLog_.begin() + controlLogHead_);
    return inOrder;
}

void VirtualDevice::clearControlLog() {
    MutexLock lock(mutex_);
    controlLog_.clear();
    controlLogHead_ = 0;
}

}  // namespace vexo::driver::virt
