// Arbitrary bytes as a capture file (pcap or pcapng, as usbmon, tshark and VEXO_USB_CAPTURE
// write them) read through libpcap by readUsbCapture. A file that gives a device is then
// replayed: its captured control requests asked again and its bulk endpoints read into small
// buffers, and every answer must stay inside them.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "driver/virtual/usb_capture_replay.h"
#include "replay_checks.h"

using namespace vexo::driver;
using namespace vexo::driver::virt;

namespace {

// libpcap reads only from files: one rewritten for every input, in memory when /dev/shm is there.
const std::string& capturePath() {
    // Never destroyed, so that the exit handler that removes the file can still name it.
    static const std::string* const path = [] {
        std::error_code ec;
        const std::filesystem::path dir = std::filesystem::is_directory("/dev/shm", ec)
                                              ? std::filesystem::path("/dev/shm")
                                              : std::filesystem::temp_directory_path();
        auto* p = new std::string(dir / ("vexo_fuzz_capture_" + std::to_string(::getpid())));
        std::atexit([] { std::remove(capturePath().c_str()); });
        return p;
    }();
    return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = capturePath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    const bool written = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) return 0;

    CapturedDevice device;
    std::string error;
    if (!readUsbCapture(path, std::nullopt, device, error)) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    vexo::fuzz::checkReplay(std::move(device));
    return 0;
}
