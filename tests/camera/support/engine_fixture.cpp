#include "camera/support/engine_fixture.h"

#include <algorithm>
#include <span>

#include "driver/driver_service.h"

namespace vexo::camera::test {

FormatMode formatModeOf(virt::PixelFormat format) {
    switch (format) {
        case virt::PixelFormat::Raw:
            return FORMAT_MODE_RAW;
        case virt::PixelFormat::Mon:
            return FORMAT_MODE_MON;
        case virt::PixelFormat::Rgb:
            return FORMAT_MODE_RGB;
        case virt::PixelFormat::Yuv:
            return FORMAT_MODE_YUV;
        case virt::PixelFormat::Jpg:
            return FORMAT_MODE_JPG;
        case virt::PixelFormat::RawD:
            return FORMAT_MODE_RAW_D;
        case virt::PixelFormat::MonD:
            return FORMAT_MODE_MON_D;
    }
    return FORMAT_MODE_RAW;
}

CameraConfig configFor(const virt::BoardConfig& board, I2cMode mode) {
    CameraConfig cfg{};
    cfg.u32CameraType = 7;
    cfg.u16Vid = 0x1234;
    cfg.u32Width = board.stream.width;
    cfg.u32Height = board.stream.height;
    cfg.u8PixelBytes = board.stream.pixelBytes;
    cfg.u8PixelBits = static_cast<Uint8>(board.stream.pixelBytes * 8);
    cfg.u32I2cAddr = board.sensor.i2cAddress;
    cfg.emI2cMode = mode;
    cfg.emImageFmtMode = formatModeOf(board.stream.format);
    cfg.u32TransLvl = 0;
    return cfg;
}

virt::BoardConfig smallBoard(uint16_t productId, uint32_t width, uint32_t height) {
    virt::BoardConfig config;
    config.productId = productId;
    config.stream.width = width;
    config.stream.height = height;
    return config;
}

std::vector<virt::ControlRecord> requestsWithCode(const virt::VirtualBoard& board, uint8_t code) {
    std::vector<virt::ControlRecord> out;
    for (const virt::ControlRecord& r : board.controlRequests())
        if (r.setup.bRequest == code) out.push_back(r);
    return out;
}

std::vector<uint8_t> controllerWrites(const virt::VirtualBoard& board, uint8_t reg) {
    std::vector<uint8_t> out;
    for (const virt::ControlRecord& r : requestsWithCode(board, 0xD7))
        if (r.setup.wValue == 0x4600 && r.setup.wIndex == reg << 8 && !r.data.empty())
            out.push_back(r.data[0]);
    return out;
}

ManualClock::ManualClock() : now_(133'000'000'000'000'000ull) {
    driver::setHostClockForTesting([this] { return now_.load(); });
}

ManualClock::~ManualClock() {
    driver::setHostClockForTesting({});
}

void EngineTest::SetUp() {
    virt::removeAllDevices();
    camera_ = std::make_unique<ZuUsbCameraLib>();
}

void EngineTest::TearDown() {
    if (camera_) camera_->close();
    camera_.reset();
    board_.reset();
    virt::removeAllDevices();
}

std::shared_ptr<virt::VirtualBoard> EngineTest::addBoard(const virt::BoardConfig& config) {
    std::string error;
    auto board = virt::addVirtualBoard(config, &error);
    EXPECT_TRUE(board) << error;
    return board;
}

uint32_t EngineTest::openBoard(const virt::BoardConfig& config, CameraConfig* cfg) {
    board_ = addBoard(config);
    CameraConfig own = configFor(config);
    return camera_->open(cfg ? cfg : &own, 0);
}

}  // namespace vexo::camera::test

namespace vexo::camera::test {

FrameChecker::FrameChecker(const virt::StreamConfig& stream, uint32_t window)
    : stream_(stream), window_(window), renderer_(stream) {}

bool FrameChecker::check(const FrameData& frame, std::string* why, uint32_t bound) {
    const bool jpeg = stream_.format == virt::PixelFormat::Jpg;
    const uint64_t first = static_cast<uint64_t>(last_ + 1);
    const uint64_t end = std::min<uint64_t>(first + window_, bound);
    auto matches = [&](uint64_t n) {
        /* Drawn as the board draws it: only the marker and the number change per frame. */
        const std::span<const uint8_t> expected = renderer_.frame(static_cast<uint32_t>(n));
        /* A JPEG frame may carry the rest of its last packet after the end marker. */
        const bool sizeOk =
            jpeg ? frame.cfg.u32Size >= expected.size() : frame.cfg.u32Size == expected.size();
        if (!sizeOk || !frame.imageData ||
            !std::equal(expected.begin(), expected.end(), frame.imageData))
            return false;
        last_ = static_cast<int64_t>(n);
        return true;
    };
    /* The pictures right after the last match first (a reader that keeps up), then, when
     * the board's count bounds the search, back from the newest one it may have sent (a
     * reader that fell behind); a frame can match one picture only, so the order costs
     * time, never a verdict. */
    const uint64_t ahead = bound == UINT32_MAX ? end : std::min<uint64_t>(end, first + 64);
    for (uint64_t n = first; n < ahead; ++n)
        if (matches(n)) return true;
    for (uint64_t n = end; n > ahead; --n)
        if (matches(n - 1)) return true;
    if (why)
        *why = "frame of " + std::to_string(frame.cfg.u32Size) +
               " bytes matches no picture from frame " + std::to_string(first);
    return false;
}

uint32_t captureAndCheck(ZuUsbCameraLib& camera, FrameChecker& checker, uint32_t frames,
                         uint32_t maxCalls) {
    uint32_t checked = 0;
    for (uint32_t call = 0; call < maxCalls && checked < frames; ++call) {
        const uint32_t result = camera.captureImage();
        EXPECT_LE(result, 0xFFu) << "call " << call;
        FrameData* frame = nullptr;
        while (checked < frames && camera.readImage(&frame) == USB_CAMERA_NO_ERROR) {
            std::string why;
            EXPECT_TRUE(checker.check(*frame, &why)) << why;
            if (::testing::Test::HasFailure()) return checked;
            camera.del();
            ++checked;
        }
    }
    return checked;
}

}  // namespace vexo::camera::test
