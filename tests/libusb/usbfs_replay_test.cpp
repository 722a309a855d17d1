// A board's traffic through real libusb on an emulated usbfs, recorded with VEXO_USB_CAPTURE,
// played back as a virtual board: the library delivers the same frames, byte for byte, from the
// capture as written (pcap, link type 220), as Wireshark saves it (pcapng) and with the older
// 48-byte usbmon header (link type 189). Also: requests the capture lacks are refused by name,
// and damaged events are skipped without reading past them.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "camera/support/engine_fixture.h"
#include "driver/libusb/usb_capture.h"
#include "driver/usbmon/usbmon_header.h"
#include "driver/virtual/board_model.h"
#include "driver/virtual/environment_boards.h"
#include "driver/virtual/usb_capture_replay.h"
#include "driver/virtual/virtual_board.h"
#include "driver/virtual/virtual_bus.h"
#include "libusb/support/usbfs_device.h"

namespace vexo::camera::test {
namespace {

namespace fs = std::filesystem;
using Frames = std::vector<std::vector<uint8_t>>;
constexpr uint32_t kFrames = 10;

Frames captureFrames(const virt::BoardConfig& config) {
    CameraConfig cfg = configFor(config);
    ZuUsbCameraLib camera;
    Frames frames;
    EXPECT_EQ(camera.open(&cfg, 0), USB_CAMERA_NO_ERROR);
    EXPECT_EQ(camera.beginCaptureImage(), USB_CAMERA_NO_ERROR);
    for (uint32_t call = 0; call < 400 && frames.size() < kFrames; ++call) {
        camera.captureImage();
        FrameData* frame = nullptr;
        while (frames.size() < kFrames && camera.readImage(&frame) == USB_CAMERA_NO_ERROR) {
            frames.emplace_back(frame->imageData, frame->imageData + frame->cfg.u32Size);
            camera.del();
        }
    }
    camera.endCaptureImage();
    camera.close();
    return frames;
}

// The original run, once per process: the capture file and the frames the library delivered.
struct Original {
    fs::path dir;
    fs::path capture;
    virt::BoardConfig config = smallBoard(0x03F1, 64, 32);
    Frames frames;
};

const Original& original() {
    static const Original run = [] {
        Original o;
        o.dir = fs::temp_directory_path() / ("vexo_usb_replay_" + std::to_string(::getpid()));
        fs::create_directories(o.dir);
        o.capture = o.dir / "board.pcap";
        setenv("VEXO_USB_CAPTURE", o.capture.c_str(), 1);
        std::string error;
        auto model = virt::BoardModel::create(o.config, error);
        virt::VirtualDeviceDescription description = model->deviceDescription();
        description.model = model;
        {
            vexo::test::UsbfsDevice usb(std::move(description), {1, 2, "1-1", 0});
            o.frames = captureFrames(o.config);
        }
        if (auto* capture = driver::lusb::UsbCapture::capture()) capture->flush();
        unsetenv("VEXO_USB_CAPTURE");
        // The files go when the process ends (the capture's own exit handler, registered
        // first, runs after this one and only flushes).
        static const fs::path* const dir = new fs::path(o.dir);  // outlives `run`
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(*dir, ignored);
        });
        return o;
    }();
    return run;
}

// Rewrites a link-type 220 capture with the 48-byte headers of link type 189.
void writeLinkType189(const fs::path& from, const fs::path& to) {
    char message[PCAP_ERRBUF_SIZE];
    pcap_t* in = pcap_open_offline(from.c_str(), message);
    ASSERT_TRUE(in) << message;
    pcap_t* dead = pcap_open_dead(driver::usbmon::kLinkTypeUsbLinux, 0x7FFFFFFF);
    pcap_dumper_t* out = pcap_dump_open(dead, to.c_str());
    ASSERT_TRUE(out);
    pcap_pkthdr* h = nullptr;
    const u_char* bytes = nullptr;
    std::vector<u_char> shorter;
    const size_t cut = driver::usbmon::kHeaderSize220 - driver::usbmon::kHeaderSize189;
    while (pcap_next_ex(in, &h, &bytes) == 1) {
        ASSERT_GE(h->caplen, driver::usbmon::kHeaderSize220);
        shorter.assign(bytes, bytes + driver::usbmon::kHeaderSize189);
        shorter.insert(shorter.end(), bytes + driver::usbmon::kHeaderSize220, bytes + h->caplen);
        pcap_pkthdr record = *h;
        record.caplen -= cut;
        record.len -= cut;
        pcap_dump(reinterpret_cast<u_char*>(out), &record, shorter.data());
    }
    pcap_dump_close(out);
    pcap_close(dead);
    pcap_close(in);
}

class UsbReplay : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (!vexo::test::testbed()) GTEST_SKIP() << "needs umockdev-wrapper";
    }
    void TearDown() override {
        unsetenv("VEXO_VIRTUAL_BOARDS");
        driver::virt::loadBoardsFromEnvironment();
    }
};

TEST_P(UsbReplay, TheLibraryDeliversTheOriginalFrames) {
    const Original& o = original();
    ASSERT_EQ(o.frames.size(), kFrames);
    const std::string form = GetParam();
    fs::path file = o.capture;
    if (form == "pcapng") {
        file = o.dir / "board.pcapng";
        const std::string cmd =
            "editcap -F pcapng '" + o.capture.string() + "' '" + file.string() + "' 2>/dev/null";
        if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "editcap (wireshark-common) missing";
    } else if (form == "linktype189") {
        file = o.dir / "board189.pcap";
        writeLinkType189(o.capture, file);
    }
    const std::string boards = R"({"boards": [{"replay": {"usb": ")" + file.string() + R"("}}]})";
    setenv("VEXO_VIRTUAL_BOARDS", boards.c_str(), 1);
    ASSERT_TRUE(driver::virt::loadBoardsFromEnvironment());
    const Frames replayed = captureFrames(o.config);
    ASSERT_EQ(replayed.size(), o.frames.size());
    for (size_t i = 0; i < replayed.size(); ++i) EXPECT_TRUE(replayed[i] == o.frames[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Forms, UsbReplay, ::testing::Values("pcap", "pcapng", "linktype189"));

TEST_F(UsbReplay, ARequestTheCaptureLacksIsRefusedByName) {
    driver::virt::CapturedDevice captured;
    driver::virt::VirtualDeviceDescription description;
    std::string error;
    ASSERT_TRUE(driver::virt::readUsbCapture(original().capture, std::nullopt, captured, error))
        << error;
    ASSERT_TRUE(driver::virt::replayDevice(captured, "board.pcap", description, error)) << error;
    EXPECT_EQ(description.descriptors.device[8], 0xCB) << "the board's vendor id";
    // The firmware request (0x80) is answered from the capture; a made-up one is stalled.
    const driver::virt::CapturedExchange* firmware = nullptr;
    for (const auto& e : captured.control)
        if (e.setup.bRequest == 0x80 && !firmware) firmware = &e;
    ASSERT_TRUE(firmware);
    uint8_t reply[64] = {};
    const auto answered = description.model->control(firmware->setup, reply);
    EXPECT_TRUE(answered.ok);
    EXPECT_EQ(std::vector<uint8_t>(reply, reply + answered.length), firmware->data);
    driver::SetupPacket unknown{0xC0, 0x99, 0x1234, 0, 4};
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(description.model->control(unknown, reply).ok);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("bRequest 0x99 wValue 0x1234"),
              std::string::npos);
    // Captures that cannot stand in for a board are refused with a reason.
    EXPECT_FALSE(
        driver::virt::readUsbCapture(original().capture, std::string("9.9"), captured, error));
    EXPECT_NE(error.find("9.9"), std::string::npos);
    EXPECT_FALSE(driver::virt::readUsbCapture((original().dir / "none").string(), std::nullopt,
                                              captured, error));
}

TEST(UsbmonEvents, DamagedEventsAreSkippedWithinTheirBytes) {
    driver::usbmon::Header h{};
    h.type = driver::usbmon::kComplete;
    h.transferType = driver::usbmon::kBulk;
    h.endpoint = 0x81;
    h.bus = 1;
    h.device = 2;
    h.length = 1000;
    h.captured = 0xFFFFFFF0;  // claims far more than the event holds
    std::vector<uint8_t> event(sizeof h + 8, 0xAB);
    std::memcpy(event.data(), &h, sizeof h);
    driver::virt::UsbmonEvents events;
    events.add(220, event.data(), event.size());
    events.add(220, event.data(), 40);  // shorter than its header
    events.add(189, event.data(), 47);
    EXPECT_EQ(events.skipped(), 2u);
    driver::virt::CapturedDevice device;
    std::string error;
    ASSERT_TRUE(events.device(std::nullopt, device, error)) << error;
    ASSERT_EQ(device.reads[0x81].size(), 1u);
    EXPECT_EQ(device.reads[0x81][0].data.size(), 8u) << "only the bytes the event holds";
    EXPECT_EQ(device.reads[0x81][0].length, 1000u);
    driver::virt::VirtualDeviceDescription description;
    EXPECT_FALSE(driver::virt::replayDevice(device, "x", description, error));
    EXPECT_NE(error.find("no device descriptor"), std::string::npos);
}

}  // namespace
}  // namespace vexo::camera::test
