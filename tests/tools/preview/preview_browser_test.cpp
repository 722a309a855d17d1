// vexo preview in a real browser: headless Chromium loads the page and takes two screenshots a
// second apart, driven over its DevTools pipe. The colour bars must be where the virtual board
// draws them and the page's frame counter must have moved; the camera file's controls are drawn
// and a slider dragged with the mouse reaches the sensor. Skipped without /usr/bin/chromium.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "tools/preview/preview_fixture.h"

extern char** environ;

using nlohmann::json;

namespace vexo::tools::test {
namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

// Chromium with --remote-debugging-pipe: commands go to its fd 3, answers come from its fd 4,
// each message ended by a NUL byte.
class Browser {
  public:
    bool launch(const std::string& url, const std::string& profile) {
        int toBrowser[2], fromBrowser[2];
        if (pipe(toBrowser) != 0 || pipe(fromBrowser) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toBrowser[0], 3);
        posix_spawn_file_actions_adddup2(&actions, fromBrowser[1], 4);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const std::string dataDir = "--user-data-dir=" + profile;
        std::vector<std::string> args{kChromium,
                                      "--headless",
                                      "--no-sandbox",
                                      "--disable-gpu",
                                      "--disable-quic",
                                      "--no-first-run",
                                      "--disable-background-networking",
                                      "--disable-component-update",
                                      "--disable-sync",
                                      "--remote-debugging-pipe",
                                      "--window-size=1280,800",
                                      dataDir,
                                      url};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, kChromium, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(toBrowser[0]);
        close(fromBrowser[1]);
        out_ = toBrowser[1];
        in_ = fromBrowser[0];
        return rc == 0;
    }
    ~Browser() {
        if (out_ >= 0) close(out_);
        if (in_ >= 0) close(in_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Sends a command and returns its result (events met on the way are dropped).
    json call(const std::string& method, json params = json::object(),
              const std::string& session = "") {
        json message{{"id", ++id_}, {"method", method}, {"params", std::move(params)}};
        if (!session.empty()) message["sessionId"] = session;
        const std::string text = message.dump() + '\0';
        if (write(out_, text.data(), text.size()) != ssize_t(text.size())) return {};
        for (;;) {
            json answer = read();
            if (answer.is_null()) return {};
            if (answer.value("id", 0) == id_) return answer.value("result", json::object());
        }
    }

  private:
    json read() {
        for (;;) {
            const size_t end = buffer_.find('\0');
            if (end != std::string::npos) {
                json m = json::parse(buffer_.substr(0, end), nullptr, false);
                buffer_.erase(0, end + 1);
                return m.is_discarded() ? json() : m;
            }
            char chunk[65536];
            const ssize_t n = ::read(in_, chunk, sizeof(chunk));
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int out_ = -1, in_ = -1;
    int id_ = 0;
    std::string buffer_;
};

std::string base64Decode(const std::string& in) {
    std::string out;
    int bits = 0, value = 0;
    for (char c : in) {
        int d;
        if (c >= 'A' && c <= 'Z')
            d = c - 'A';
        else if (c >= 'a' && c <= 'z')
            d = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            d = c - '0' + 52;
        else if (c == '+')
            d = 62;
        else if (c == '/')
            d = 63;
        else
            continue;
        value = (value << 6) | d;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((value >> bits) & 0xFF));
        }
    }
    return out;
}

// The page's picture area (where the canvas draws the frame) and its frame counter.
constexpr const char* kProbe = R"((() => {
  const c = document.getElementById('picture'), r = c.getBoundingClientRect();
  const s = Math.min(r.width / c.width, r.height / c.height);
  const w = c.width * s, h = c.height * s;
  return JSON.stringify({x: r.left + (r.width - w) / 2, y: r.top + (r.height - h) / 2, w, h,
                         frame: document.getElementById('frameNumber').textContent});
})())";

TEST_F(PreviewTest, BrowserShowsTheBarsAndAMovingFrameCounter) {
    if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "no " << kChromium;
    const std::string profile = ::testing::TempDir() + "preview_chromium_profile";
    std::filesystem::remove_all(profile);
    std::filesystem::create_directories(profile);
    Browser browser;
    ASSERT_TRUE(browser.launch("about:blank", profile));

    json targets = browser.call("Target.getTargets");
    std::string target;
    for (const json& t : targets["targetInfos"])
        if (t["type"] == "page") target = t["targetId"];
    ASSERT_FALSE(target.empty()) << targets.dump();
    const std::string session = browser.call(
        "Target.attachToTarget", {{"targetId", target}, {"flatten", true}})["sessionId"];
    browser.call("Page.navigate", {{"url", service_->url()}}, session);

    struct Shot {
        DecodedImage image;
        json probe;
    };
    auto shoot = [&](const std::string& file) {
        Shot shot;
        const json value = browser.call("Runtime.evaluate", {{"expression", kProbe}}, session);
        shot.probe = json::parse(value["result"].value("value", std::string("{}")));
        const json png = browser.call("Page.captureScreenshot", {{"format", "png"}}, session);
        const std::string path = ::testing::TempDir() + file;
        std::ofstream(path, std::ios::binary) << base64Decode(png.value("data", std::string()));
        std::string error;
        EXPECT_TRUE(readPng(path, shot.image, error)) << error;
        return shot;
    };
    // The page gets its first frames within a few seconds even on a loaded machine.
    Shot first;
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        first = shoot("preview_browser_1.png");
        const std::string f = first.probe.value("frame", std::string("-"));
        if (!f.empty() && std::isdigit(static_cast<unsigned char>(f[0]))) break;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const Shot second = shoot("preview_browser_2.png");

    ASSERT_TRUE(first.probe.contains("w")) << first.probe;
    const uint64_t n1 = std::stoull(first.probe["frame"].get<std::string>());
    const uint64_t n2 = std::stoull(second.probe["frame"].get<std::string>());
    EXPECT_GT(n2, n1) << "the frame counter did not move";

    // The picture is scaled to the window: bars from the canvas's drawn area of the screenshot.
    for (const Shot* shot : {static_cast<const Shot*>(&first), &second}) {
        const json& p = shot->probe;
        const double x = p["x"], y = p["y"], w = p["w"], h = p["h"];
        EXPECT_GT(w, 640.0) << "the picture is not scaled up to the window";
        ASSERT_EQ(shot->image.channels >= 3, true);
        DecodedImage rgb = shot->image;
        if (rgb.channels == 4) {  // drop alpha
            rgb.channels = 3;
            rgb.samples.clear();
            for (size_t i = 0; i < shot->image.samples.size(); i += 4)
                rgb.samples.insert(rgb.samples.end(), shot->image.samples.begin() + long(i),
                                   shot->image.samples.begin() + long(i) + 3);
        }
        const double barsH = h * 5 / 6;
        expectBars(rgb, static_cast<uint32_t>(x), static_cast<uint32_t>(w),
                   static_cast<uint32_t>(y + barsH / 4), static_cast<uint32_t>(y + barsH * 3 / 4),
                   40);
    }
}

// The controls panel as the page built it: the kind of each control's input, and where the
// exposure slider is on the screen.
constexpr const char* kControlsProbe = R"((() => {
  const rows = [...document.querySelectorAll('#controls .control')];
  const kinds = rows.map((r) => r.dataset.control + ':' +
      (r.querySelector('input[type=range]') ? 'range' : r.querySelector('select') ? 'menu' :
       r.querySelector('input[type=checkbox]') ? 'switch' : '?'));
  const e = document.querySelector('[data-control=exposure] input');
  if (!e) return JSON.stringify({kinds});
  e.scrollIntoView({block: 'center'});
  const r = e.getBoundingClientRect();
  return JSON.stringify({kinds, x: r.left, y: r.top + r.height / 2, w: r.width,
                         value: Number(e.value),
                         shown: document.querySelector('[data-control=exposure] .value').textContent});
})())";

TEST_F(PreviewTest, BrowserDrawsTheNamedControlsAndASliderMoveReachesTheSensor) {
    if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "no " << kChromium;
    const std::string profile = ::testing::TempDir() + "preview_chromium_controls";
    std::filesystem::remove_all(profile);
    std::filesystem::create_directories(profile);
    Browser browser;
    ASSERT_TRUE(browser.launch("about:blank", profile));
    std::string target;
    const json targets = browser.call("Target.getTargets");
    for (const json& t : targets["targetInfos"])
        if (t["type"] == "page") target = t["targetId"];
    ASSERT_FALSE(target.empty());
    const std::string session = browser.call(
        "Target.attachToTarget", {{"targetId", target}, {"flatten", true}})["sessionId"];
    browser.call("Page.navigate", {{"url", service_->url()}}, session);

    auto probe = [&] {
        const json v = browser.call("Runtime.evaluate", {{"expression", kControlsProbe}}, session);
        return json::parse(v["result"].value("value", std::string("{}")), nullptr, false);
    };
    json before;
    for (int i = 0; i < 40 && !before.contains("x"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        before = probe();
    }
    ASSERT_TRUE(before.contains("x")) << before.dump();
    // One input of the right kind per control of the file, in its order.
    EXPECT_EQ(before["kinds"], json({"gain:range", "slow:range", "exposure:range",
                                     "analogue_gain:range", "black_level:range", "brightness:range",
                                     "flip:switch", "mirror:switch", "test_pattern:menu"}));
    // The page shows what the sensor's three registers hold.
    auto exposureHeld = [&] {
        uint32_t r[3] = {};
        EXPECT_TRUE(service_->capture().call(
            [&](CameraHandle h) {
                for (uint32_t k = 0; k < 3; ++k) Vexo_readReg_16_8(h, 0x20, 0x3500 + k, &r[k]);
            },
            std::chrono::seconds(5)));
        return ((r[0] << 16) | (r[1] << 8) | r[2]) >> 4;
    };
    const uint32_t initial = exposureHeld();
    EXPECT_EQ(before["shown"], std::to_string(initial) + " lines");
    const json shot = browser.call("Page.captureScreenshot", {{"format", "png"}}, session);
    std::ofstream(::testing::TempDir() + "preview_controls.png", std::ios::binary)
        << base64Decode(shot.value("data", std::string()));

    // A person's drag: press on the slider's left end, move to three quarters, release.
    const double x = before["x"], y = before["y"], w = before["w"];
    auto mouse = [&](const char* type, double at) {
        browser.call("Input.dispatchMouseEvent",
                     {{"type", type}, {"x", at}, {"y", y}, {"button", "left"}, {"clickCount", 1}},
                     session);
    };
    mouse("mousePressed", x + 2);
    for (int i = 1; i <= 8; ++i) mouse("mouseMoved", x + 2 + (w * 0.75 - 2) * i / 8);
    mouse("mouseReleased", x + w * 0.75);

    // The page settles on the board's read-back; the sensor's three registers hold it.
    json after;
    uint32_t held = initial;
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        after = probe();
        held = exposureHeld();
        if (held != initial && after["value"] == held) break;
    }
    EXPECT_NEAR(double(held), 65535 * 0.75, 65535 * 0.1) << after.dump();
    EXPECT_EQ(after["value"], held);
    EXPECT_EQ(after["shown"], std::to_string(held) + " lines");
}

}  // namespace
}  // namespace vexo::tools::test
