// A backend that records every request it is given, byte for byte, and completes each at once
// with a scripted byte count; used to check the records the usb layer builds.
//
// Threading: the test thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/backend.h"

namespace vexo::test {

struct RecordedRequest {
    uint32_t code = 0;
    std::vector<uint8_t> in;  ///< the input bytes as given
    uint32_t outLength = 0;
    bool sameBuffer = false;  ///< input and output were the same memory
    bool overlapped = false;
};

class RecordingBackend : public driver::Backend {
  public:
    /// Registers itself (before every other backend) under a path of `length` characters.
    explicit RecordingBackend(size_t pathLength = 24);
    ~RecordingBackend() override;

    static std::shared_ptr<RecordingBackend> install(size_t pathLength = 24);
    void uninstall();

    std::vector<std::string> enumerate(const driver::Guid& interfaceClass) override;
    std::unique_ptr<driver::DeviceObject> open(const std::string& path, uint32_t* error) override;

    const std::string& path() const { return path_; }
    std::vector<RecordedRequest> requests;
    /// Bytes each transfer reports; -1: the whole output buffer.
    int64_t reportBytes = -1;

  private:
    std::string path_;
};

}  // namespace vexo::test
