// capture.cpp — capture frames with the C API from C++: the camera handle is owned by a small
// RAII class, and frames are read on the main thread while a second thread keeps completing
// transfers. The library allows exactly this pairing: Vexo_captureImage on one thread,
// Vexo_readImage / Vexo_del on another.
//
//   capture_cpp [FRAMES]      (default 10)
//
// Without hardware: VEXO_VIRTUAL_BOARDS=1 ./capture_cpp
#include <vexo/camera.h>
#include <vexo/status.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string describe(const char* what, Uint32 status) {
    const char* name = vexoStatusName(status);
    return std::string(what) + ": " + (name ? name : "unknown status") + " — " +
           (vexoStatusHint(status) ? vexoStatusHint(status) : "");
}

// Owns an open camera; closing happens exactly once, also on an exception.
class Camera {
  public:
    Camera(CameraConfig config, unsigned index) : config_(config) {
        const Uint32 status = Vexo_open(&handle_, &config_, index);
        if (status != USB_CAMERA_NO_ERROR) {
            Vexo_close(handle_);  // a failed open still hands out a handle
            throw std::runtime_error(describe("Vexo_open", status));
        }
    }
    ~Camera() { Vexo_close(handle_); }
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    CameraHandle handle() const { return handle_; }

    void writeSensor(Uint32 reg, Uint32 value) {
        const Uint32 status = Vexo_writeSensorReg(handle_, reg, value);
        if (status != USB_CAMERA_NO_ERROR)
            throw std::runtime_error(describe("Vexo_writeSensorReg", status));
    }

  private:
    CameraConfig config_;
    CameraHandle handle_ = nullptr;
};

unsigned firstBoard() {
    std::vector<ScanEntry> boards(255);
    const Uint32 found = Vexo_scan(boards.data());
    if (found == 0 || found > boards.size())
        throw std::runtime_error("no board found (VEXO_VIRTUAL_BOARDS=1 adds a virtual one)");
    std::printf("%u board(s); opening device %u, serial %.16s\n", found, boards[0].u8Index,
                reinterpret_cast<const char*>(boards[0].u8Serial));
    return boards[0].u8Index;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned wanted =
        argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 10;
    try {
        CameraConfig config{};
        config.u32Width = 640;
        config.u32Height = 480;
        config.u8PixelBytes = 1;
        config.u8PixelBits = 8;
        config.u32I2cAddr = 0x20;
        config.emI2cMode = I2C_MODE_16_8;
        config.emImageFmtMode = FORMAT_MODE_RAW;

        Camera camera(config, firstBoard());
        for (auto [reg, value] : {std::pair<Uint32, Uint32>{0x0100, 0x00},
                                  {0x3012, 0x40},
                                  {0x3013, 0x02},
                                  {0x0100, 0x01}})
            camera.writeSensor(reg, value);

        const Uint32 begun = Vexo_beginCaptureImage(camera.handle());
        if (begun != USB_CAMERA_NO_ERROR)
            throw std::runtime_error(describe("Vexo_beginCaptureImage", begun));

        // The producer: completes transfers until told to stop. Frame errors are counted,
        // not fatal: the library keeps streaming after them.
        std::atomic<bool> stop{false};
        std::atomic<unsigned> frameErrors{0};
        std::thread producer([&] {
            while (!stop.load()) {
                if (Vexo_captureImage(camera.handle()) > 0xFF) ++frameErrors;
            }
        });

        unsigned received = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (received < wanted && std::chrono::steady_clock::now() < deadline) {
            FrameData* frame = nullptr;
            if (Vexo_readImage(camera.handle(), &frame) != USB_CAMERA_NO_ERROR) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const std::span<const Uint8> bytes(frame->imageData, frame->cfg.u32Size);
            const double mean = std::accumulate(bytes.begin(), bytes.end(), 0.0) /
                                static_cast<double>(bytes.size());
            std::printf("frame %u: %zu bytes, mean level %.1f\n", received, bytes.size(), mean);
            Vexo_del(camera.handle());
            ++received;
        }
        stop = true;
        producer.join();
        Vexo_endCaptureImage(camera.handle());

        if (received < wanted) {
            std::fprintf(stderr, "only %u of %u frames arrived (%u frame errors)\n", received,
                         wanted, frameErrors.load());
            return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
