// vexo preview under requests that outlive their wait and viewers that leave: a request to the
// board either happens and says so or does not happen, and nothing a client does leaves the
// preview unable to answer the others.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vexo/camera.h>

#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "tools/preview/preview_fixture.h"

using nlohmann::json;

namespace vexo::tools::test {
namespace {

// A connection from a chosen loopback address, read and written by hand.
class Socket {
  public:
    explicit Socket(uint16_t port, const char* from = "127.0.0.1")
        : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        connected_ = bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0 &&
                     connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~Socket() { close(fd_); }
    bool connected() const { return connected_; }
    bool send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // Reads until `pattern` has been seen `times` times after what was read before; false when
    // the connection ends or stays silent first.
    bool readUntil(const std::string& pattern, int times = 1) {
        size_t at = seen_;
        for (int found = 0; found < times;) {
            const size_t hit = text_.find(pattern, at);
            if (hit != std::string::npos) {
                ++found;
                at = hit + pattern.size();
                continue;
            }
            char buf[65536];
            const ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n <= 0) return false;
            text_.append(buf, static_cast<size_t>(n));
        }
        seen_ = at;
        return true;
    }
    const std::string& text() const { return text_; }

  private:
    int fd_;
    bool connected_ = false;
    std::string text_;
    size_t seen_ = 0;
};

std::vector<uint64_t> frameNumbers(const std::string& stream) {
    std::vector<uint64_t> numbers;
    for (size_t at = 0; (at = stream.find("X-Frame-Number: ", at)) != std::string::npos; at += 16)
        numbers.push_back(std::stoull(stream.substr(at + 16)));
    return numbers;
}

// ---- requests to the board that outlive their wait ----

// A control whose script keeps the capture thread busy far longer than the request's wait.
constexpr const char* kSlowControls =
    "function gain(v) writeReg(0x3000, math.tointeger(v)) end\n"
    "function slow(v) local n = 0 for i = 1, 60000000 do n = n + i end "
    "writeReg(0x3000, math.tointeger(v)) end\n";

struct LateRequest {
    const char* name;
    const char* path;
    const char* body;
    bool blocked;  // the capture thread is held up before the request arrives
};

void PrintTo(const LateRequest& c, std::ostream* os) {
    *os << c.name;
}

class PreviewLateRequest : public PreviewTest, public ::testing::WithParamInterface<LateRequest> {
  protected:
    void configure(preview::PreviewOptions& options) override {
        slowControls_ = controls_ + ".slow.lua";
        std::ofstream(slowControls_) << kSlowControls;
        options.controlsPath = slowControls_;
        options.boardWait = std::chrono::milliseconds(150);
    }
    void TearDown() override {
        PreviewTest::TearDown();
        std::remove(slowControls_.c_str());
    }
    // What the request changes, read on the capture thread after every earlier request.
    std::string effect() {
        uint32_t value = 0;
        EXPECT_TRUE(service_->capture().call(
            [&](CameraHandle h) { Vexo_readReg_16_8(h, 0x20, 0x3000, &value); },
            std::chrono::seconds(30)));
        return std::to_string(value) + " on " + service_->capture().board().entry.serial;
    }
    std::string slowControls_;
};

TEST_P(PreviewLateRequest, HappensAndSaysSoOrDoesNotHappen) {
    const LateRequest& c = GetParam();
    const std::string before = effect();
    std::promise<void> entered, release;
    std::thread holder;
    if (c.blocked) {
        holder = std::thread([&] {
            service_->capture().call(
                [&](CameraHandle) {
                    entered.set_value();
                    release.get_future().wait();
                },
                std::chrono::seconds(30));
        });
        entered.get_future().wait();
    }
    auto r = post(c.path, c.body);
    if (c.blocked) {
        release.set_value();
        holder.join();
    }
    ASSERT_TRUE(r);
    const std::string after = effect();
    const json answer = json::parse(r->body);
    if (c.blocked) {
        EXPECT_EQ(r->status, 503) << r->body;
    }
    switch (r->status) {
        case 200:
        case 202:  // still running when answered: it takes effect
            EXPECT_EQ(r->status == 202, answer.value("pending", false)) << r->body;
            EXPECT_NE(after, before) << "answered " << r->status << " but nothing changed";
            break;
        case 503:  // did not start: it never does
            EXPECT_FALSE(answer["ok"]);
            EXPECT_EQ(after, before) << "answered 503, yet the request was carried out later";
            break;
        default:
            ADD_FAILURE() << r->status << " " << r->body;
    }
    EXPECT_EQ(client_->Get("/stats.json")->status, 200);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, PreviewLateRequest,
    ::testing::Values(
        LateRequest{"SlowControl", "/api/control", R"({"name": "slow", "value": 77})", false},
        LateRequest{"ControlBehindBusyCapture", "/api/control", R"({"name": "gain", "value": 9})",
                    true},
        LateRequest{"RegisterBehindBusyCapture", "/api/register/write",
                    R"({"address": "0x3000", "value": 5})", true},
        LateRequest{"BoardSwitch", "/api/board", R"({"index": 1})", false},
        LateRequest{"BoardSwitchBehindBusyCapture", "/api/board", R"({"index": 1})", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PreviewTest, ControlValuesBeyondSixtyFourBitsClampToTheNearerEnd) {
    for (const auto& [value, expected] :
         {std::pair<const char*, int>{"18446744073709551615", 255}, {"-9223372036854775808", 0}}) {
        auto c = post("/api/control", std::string(R"({"name": "gain", "value": )") + value + "}");
        ASSERT_EQ(c->status, 200) << c->body;
        EXPECT_EQ(json::parse(c->body)["value"], expected) << value;
        auto read = post("/api/register/read", R"({"address": "0x3000"})");
        EXPECT_EQ(json::parse(read->body)["number"], expected) << value;
    }
}

TEST_F(PreviewTest, WaitingForAnExternalTriggerIsNoError) {
    ASSERT_EQ(post("/api/board", R"({"index": 1})")->status, 200);
    ASSERT_EQ(post("/api/mode", R"({"mode": "external"})")->status, 200);
    auto framesNow = [&] {
        return json::parse(client_->Get("/stats.json")->body)["frames"].get<uint64_t>();
    };
    // Several capture calls time out waiting for a trigger meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const uint64_t before = framesNow();
    ASSERT_EQ(post("/api/trigger", "{}")->status, 200);
    uint64_t after = before;
    for (int i = 0; i < 50 && after == before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        after = framesNow();
    }
    EXPECT_GT(after, before) << "the software trigger brought no frame";
    const json s = json::parse(client_->Get("/stats.json")->body);
    // (A board switch may cost one frame's index error: that is the board's stream, not this.)
    EXPECT_FALSE(s["errors"].contains("USB_CAMERA_USB_TIMEOUT_ERROR")) << s["errors"];
    EXPECT_TRUE(s["board"]["externalTrigger"]);
}

// ---- viewers of a still picture ----

TEST_F(PreviewTest, ViewersOfAPausedPictureThatLeaveFreeTheirConnections) {
    ASSERT_EQ(client_->Get("/frame.jpg")->status, 200);
    ASSERT_EQ(post("/api/pause", R"({"paused": true})")->status, 200);
    const std::string request =
        "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(service_->port()) +
        "\r\n\r\n";
    // A viewer that stays gets the still picture again, so its connection is kept checked.
    {
        Socket viewer(service_->port());
        ASSERT_TRUE(viewer.send(request));
        ASSERT_TRUE(viewer.readUntil("--vexoframe", 3)) << viewer.text().substr(0, 200);
        const std::vector<uint64_t> numbers = frameNumbers(viewer.text());
        ASSERT_GE(numbers.size(), 2u);
        EXPECT_EQ(numbers[0], numbers[1]);
    }
    // As many viewers as there may be connections, each leaving after its first picture.
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<Socket>> viewers;
        for (unsigned i = 0; i < 6; ++i) {
            viewers.push_back(std::make_unique<Socket>(service_->port()));
            ASSERT_TRUE(viewers.back()->send(request));
            ASSERT_TRUE(viewers.back()->readUntil("X-Frame-Number")) << "viewer " << i;
        }
    }
    client_->set_read_timeout(30, 0);
    auto stats = client_->Get("/stats.json");
    ASSERT_TRUE(stats) << "the preview no longer answers";
    EXPECT_EQ(stats->status, 200);
    auto resume = post("/api/pause", R"({"paused": false})");
    ASSERT_TRUE(resume);
    EXPECT_EQ(resume->status, 200);
}

// ---- snapshots shared between clients ----

TEST_F(PreviewTest, ConcurrentSnapshotsOfAFrameAreOnePictureOfTheBoard) {
    ASSERT_EQ(client_->Get("/frame.jpg")->status, 200);
    struct Got {
        std::string number, body;
    };
    std::vector<std::vector<Got>> got(4);
    std::vector<std::thread> readers;
    for (size_t t = 0; t < got.size(); ++t)
        readers.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", service_->port());
            c.set_read_timeout(20, 0);
            for (int i = 0; i < 3; ++i) {
                const char* path = i == 1 ? "/snapshot.raw" : "/snapshot.png";
                if (auto r = c.Get(path); r && r->status == 200)
                    got[t].push_back({path + r->get_header_value("X-Frame-Number"), r->body});
            }
        });
    for (auto& r : readers) r.join();
    std::map<std::string, std::string> byFrame;
    for (const auto& list : got) {
        ASSERT_EQ(list.size(), 3u) << "a snapshot request failed";
        for (const Got& g : list) {
            auto [it, first] = byFrame.emplace(g.number, g.body);
            EXPECT_EQ(it->second, g.body) << "two snapshots of " << g.number << " differ";
        }
    }
    for (const auto& [key, body] : byFrame) {
        if (key.rfind("/snapshot.raw", 0) == 0) {
            EXPECT_EQ(body.size(), 640u * 480u) << key;
            continue;
        }
        const std::string path =
            ::testing::TempDir() + "preview_shared_" + std::to_string(getpid()) + ".png";
        std::ofstream(path, std::ios::binary) << body;
        DecodedImage img;
        std::string error;
        ASSERT_TRUE(readPng(path, img, error)) << key << ": " << error;
        expectBars(img, 0, 640, 480 * 5 / 6 / 4, 480 * 5 / 6 * 3 / 4, 8);
        std::remove(path.c_str());
    }
}

// ---- clients that hold connections without finishing a request ----

class PreviewConnectionBounds : public PreviewTest {
  protected:
    void configure(preview::PreviewOptions& options) override {
        options.limits.perAddress = 3;  // of 6 connections
        options.limits.headerSeconds = 1;
        options.limits.idleSeconds = 30;  // stalled viewers hold on longer than any wait here
    }
};

TEST_F(PreviewConnectionBounds, OneAddressCannotLockOthersOutAndSlowHeadersAreCut) {
    const uint16_t port = service_->port();
    const std::string request =
        "GET /stats.json HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    // Another local address opens as many streams as the preview takes connections and never
    // reads them: it gets its share, and the rest are closed at once.
    std::vector<std::unique_ptr<Socket>> hogs;
    for (int i = 0; i < 6; ++i) {
        hogs.push_back(std::make_unique<Socket>(port, "127.0.0.2"));
        ASSERT_TRUE(hogs.back()->connected());
        hogs.back()->send("GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\n\r\n");
    }
    auto r = client_->Get("/stats.json");
    ASSERT_TRUE(r) << "one address locked everyone else out";
    EXPECT_EQ(r->status, 200);

    // A request line sent a byte at a time, each in the idle time-out, is cut when its header
    // time is over; a whole request on the next connection is served.
    Socket slow(port, "127.0.0.3");
    ASSERT_TRUE(slow.connected());
    bool cut = false;
    for (size_t i = 0; i < request.size() && !cut; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cut = !slow.send(request.substr(i, 1));
    }
    EXPECT_TRUE(cut || !slow.readUntil("HTTP/1.1 200")) << "a request trickled in and was served";
    Socket quick(port, "127.0.0.3");
    ASSERT_TRUE(quick.send(request));
    EXPECT_TRUE(quick.readUntil("HTTP/1.1 200")) << quick.text();
}

}  // namespace
}  // namespace vexo::tools::test
