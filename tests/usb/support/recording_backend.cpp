#include "usb/support/recording_backend.h"

#include <algorithm>

namespace vexo::test {

namespace {

class RecordingDevice : public driver::DeviceObject {
  public:
    explicit RecordingDevice(RecordingBackend* backend) : backend_(backend) {}

    bool ioControl(uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                   uint32_t* bytesReturned, std::unique_ptr<driver::Completion>& completion,
                   uint32_t*) override {
        RecordedRequest r;
        r.code = code;
        const auto* b = static_cast<const uint8_t*>(in);
        r.in.assign(b, b + inLength);
        r.outLength = outLength;
        r.sameBuffer = in == out;
        r.overlapped = completion != nullptr;
        backend_->requests.push_back(std::move(r));
        *bytesReturned = backend_->reportBytes < 0
                             ? outLength
                             : std::min<uint32_t>(outLength, uint32_t(backend_->reportBytes));
        return true;
    }
    bool close(uint32_t*) override { return true; }

  private:
    RecordingBackend* backend_;
};

}  // namespace

RecordingBackend::RecordingBackend(size_t pathLength)
    : path_("\\\\?\\recording#" + std::string(pathLength > 14 ? pathLength - 14 : 0, 'x')) {}

RecordingBackend::~RecordingBackend() = default;

std::shared_ptr<RecordingBackend> RecordingBackend::install(size_t pathLength) {
    auto backend = std::make_shared<RecordingBackend>(pathLength);
    driver::registerBackend(backend, -1);
    return backend;
}

void RecordingBackend::uninstall() {
    // The registry holds a shared_ptr to this object; find it through a temporary alias.
    driver::unregisterBackend(std::shared_ptr<driver::Backend>(std::shared_ptr<void>(), this));
}

std::vector<std::string> RecordingBackend::enumerate(const driver::Guid& interfaceClass) {
    if (interfaceClass != driver::kDriverInterfaceGuid) return {};
    return {path_};
}

std::unique_ptr<driver::DeviceObject> RecordingBackend::open(const std::string& path,
                                                             uint32_t* error) {
    if (path != path_) {
        *error = driver::kErrorFileNotFound;
        return nullptr;
    }
    return std::make_unique<RecordingDevice>(this);
}

}  // namespace vexo::test
