// vexo preview over HTTP on virtual boards: what the page and scripts get, what the board
// holds after API writes, and every refusal of the access rules and bounds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vexo/camera.h>

#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "tools/preview/preview_fixture.h"

using nlohmann::json;

namespace vexo::tools::test {

namespace {

// A raw connection to the preview, for requests no well-behaved client sends.
class RawClient {
  public:
    explicit RawClient(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        timeval tv{3, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~RawClient() { close(fd_); }
    bool connected() const { return connected_; }
    bool send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // The status code of the reply, 0 when the connection closed without one.
    int status() {
        char buf[64] = {};
        const ssize_t n = recv(fd_, buf, sizeof(buf) - 1, 0);
        if (n < 12) return 0;
        return std::atoi(buf + 9);
    }

  private:
    int fd_;
    bool connected_ = false;
};

TEST_F(PreviewTest, PageCarriesTokenAndNoOutsideAssets) {
    auto r = client_->Get("/", withToken());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(r->body.find("const TOKEN = \"" + service_->token() + "\""), std::string::npos);
    EXPECT_EQ(r->body.find("http://"), std::string::npos);  // nothing from elsewhere
    EXPECT_EQ(r->body.find("https://"), std::string::npos);
    EXPECT_NE(r->get_header_value("Content-Security-Policy").find("default-src 'self'"),
              std::string::npos);
}

TEST_F(PreviewTest, FrameAndSnapshotsShowTheBoardsPicture) {
    auto r = client_->Get("/frame.jpg");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    DecodedImage img;
    std::string error;
    ASSERT_TRUE(decodeJpeg(r->body, img, error)) << error;
    ASSERT_EQ(img.width, 640u);
    ASSERT_EQ(img.height, 480u);
    expectBars(img, 0, 640, 480 * 5 / 6 / 4, 480 * 5 / 6 * 3 / 4, 40);

    auto png = client_->Get("/snapshot.png");
    ASSERT_TRUE(png);
    ASSERT_EQ(png->status, 200);
    const std::string path =
        ::testing::TempDir() + "preview_snapshot_" + std::to_string(getpid()) + ".png";
    std::ofstream(path, std::ios::binary) << png->body;
    DecodedImage snap;
    ASSERT_TRUE(readPng(path, snap, error)) << error;
    ASSERT_EQ(snap.width, 640u);
    expectBars(snap, 0, 640, 480 * 5 / 6 / 4, 480 * 5 / 6 * 3 / 4, 8);

    auto raw = client_->Get("/snapshot.raw");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->body.size(), 640u * 480u);  // RAW8 as received
    EXPECT_EQ(raw->get_header_value("X-Frame-Format"), "RAW");
}

TEST_F(PreviewTest, StreamYieldsRisingFrameNumbersAndPauseFreezesIt) {
    auto numbersOf = [&](int frames) {
        std::vector<uint64_t> numbers;
        auto r = client_->Get(("/stream.mjpg?frames=" + std::to_string(frames)).c_str());
        EXPECT_TRUE(r);
        if (!r) return numbers;
        EXPECT_EQ(r->get_header_value("Content-Type"),
                  "multipart/x-mixed-replace; boundary=vexoframe");
        size_t at = 0;
        while ((at = r->body.find("X-Frame-Number: ", at)) != std::string::npos) {
            numbers.push_back(std::stoull(r->body.substr(at + 16)));
            const size_t length =
                std::stoul(r->body.substr(r->body.rfind("Content-Length: ", at) + 16));
            const size_t start = r->body.find("\r\n\r\n", at) + 4;
            DecodedImage img;
            std::string error;
            EXPECT_TRUE(decodeJpeg(r->body.substr(start, length), img, error)) << error;
            EXPECT_EQ(img.width, 640u);
            at = start + length;
        }
        return numbers;
    };
    ASSERT_EQ(client_->Get("/frame.jpg")->status, 200);  // the first frame is encoded
    client_->set_read_timeout(20, 0);                    // sanitizer builds on a busy machine
    const std::vector<uint64_t> live = numbersOf(5);
    ASSERT_EQ(live.size(), 5u);
    for (size_t i = 1; i < live.size(); ++i) EXPECT_GT(live[i], live[i - 1]);

    ASSERT_EQ(post("/api/pause", R"({"paused": true})")->status, 200);
    const uint64_t frozen =
        std::stoull(client_->Get("/frame.jpg")->get_header_value("X-Frame-Number"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(std::stoull(client_->Get("/frame.jpg")->get_header_value("X-Frame-Number")), frozen);
    ASSERT_EQ(post("/api/pause", R"({"paused": false})")->status, 200);
    const std::vector<uint64_t> resumed = numbersOf(2);
    ASSERT_EQ(resumed.size(), 2u);
    EXPECT_GT(resumed[1], frozen);
}

TEST_F(PreviewTest, StatsCountTheCaptureAndTheShownFrame) {
    ASSERT_EQ(client_->Get("/frame.jpg")->status, 200);  // waits for the first shown frame
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto r = client_->Get("/stats.json");
    ASSERT_TRUE(r);
    const json s = json::parse(r->body);
    ASSERT_TRUE(s.contains("histogram")) << r->body;
    EXPECT_EQ(s["board"]["serial"], "PREVIEW-RAW-0001");
    EXPECT_EQ(s["board"]["width"], 640);
    EXPECT_EQ(s["board"]["format"], "RAW");
    EXPECT_FALSE(s["board"]["triggerCapable"]);
    EXPECT_GT(s["frames"].get<uint64_t>(), 5u);
    EXPECT_TRUE(s["drops"].empty()) << s["drops"];
    EXPECT_TRUE(s["errors"].empty()) << s["errors"];
    // The histogram covers every pixel of the shown frame, in three channels.
    ASSERT_EQ(s["histogram"]["channels"], 3);
    uint64_t total = 0;
    for (uint64_t v : s["histogram"]["r"]) total += v;
    EXPECT_EQ(total, 640u * 480u);
    // White, yellow and magenta bars plus the bright end of the ramp: red 255 is common.
    EXPECT_GT(s["histogram"]["r"][255].get<uint64_t>(), 640u * 400u * 3 / 8 - 640u * 10);
}

TEST_F(PreviewTest, RegisterWritesReachTheBoardAndReadBack) {
    auto w = post("/api/register/write", R"({"address": "0x3012", "value": "0xA5"})");
    ASSERT_TRUE(w);
    ASSERT_EQ(w->status, 200) << w->body;
    auto r = post("/api/register/read", R"({"address": 12306})");
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(json::parse(r->body)["value"], "0xA5");

    // The same register through the C functions, on the capture thread that owns the board.
    uint32_t value = 0, status = 1;
    ASSERT_TRUE(service_->capture().call(
        [&](CameraHandle h) {
            status = Vexo_readReg_16_8(h, 0x20, 0x3012, &value);
            Vexo_writeReg_16_8(h, 0x20, 0x3013, 0x3C);
        },
        std::chrono::seconds(5)));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(value, 0xA5u);
    r = post("/api/register/read", R"({"address": "0x3013", "mode": "16_8", "device": "0x20"})");
    EXPECT_EQ(json::parse(r->body)["value"], "0x3C");

    // A control slider runs its script, clamped to the control's range.
    auto c = post("/api/control", R"({"name": "gain", "value": 300})");
    ASSERT_EQ(c->status, 200) << c->body;
    EXPECT_EQ(json::parse(c->body)["value"], 255);
    r = post("/api/register/read", R"({"address": "0x3000"})");
    EXPECT_EQ(json::parse(r->body)["value"], "0xFF");
    EXPECT_EQ(json::parse(client_->Get("/api/controls")->body)["controls"][0]["value"], 255);
}

TEST_F(PreviewTest, BoardPickerAndTriggerNameTheStatusOnFailure) {
    // The RAW board has no trigger: the failure carries the library's status name.
    auto t = post("/api/trigger", "{}");
    ASSERT_EQ(t->status, 502);
    EXPECT_EQ(json::parse(t->body)["status"], "USB_BOARD_FW_VERSION_NOT_SUPPORT_ERROR");

    const json boards = json::parse(client_->Get("/api/boards")->body)["boards"];
    ASSERT_EQ(boards.size(), 2u);
    EXPECT_TRUE(boards[0]["open"]);
    auto s = post("/api/board", R"({"index": 1})");
    ASSERT_EQ(s->status, 200) << s->body;
    json stats = json::parse(client_->Get("/stats.json")->body);
    EXPECT_EQ(stats["board"]["serial"], "PREVIEW-TRIG-002");
    EXPECT_TRUE(stats["board"]["triggerCapable"]);
    EXPECT_EQ(post("/api/trigger", "{}")->status, 200);
    // Frames of the new board arrive and show its picture.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    DecodedImage img;
    std::string error;
    ASSERT_TRUE(decodeJpeg(client_->Get("/frame.jpg")->body, img, error)) << error;
    expectBars(img, 0, 640, 100, 300, 40);
    EXPECT_EQ(post("/api/board", R"({"index": 7})")->status, 502);
}

struct Refusal {
    const char* name;
    const char* method;
    const char* path;
    const char* body;
    bool token;
    const char* host;  // null: the right one
    int status;
};

void PrintTo(const Refusal& c, std::ostream* os) {
    *os << c.name;
}

class PreviewRefusalTest : public PreviewTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(PreviewRefusalTest, IsRefusedAndTheRestStillServed) {
    const Refusal& c = GetParam();
    httplib::Headers headers;
    if (c.token) headers.insert({"X-Vexo-Token", service_->token()});
    if (c.host) headers.insert({"Host", c.host});
    httplib::Request request;
    request.method = c.method;
    request.path = c.path;
    request.headers = headers;
    request.body = c.body;
    auto readRegister = [&] {
        uint32_t value = 0;
        service_->capture().call(
            [&](CameraHandle h) { Vexo_readReg_16_8(h, 0x20, 0x3012, &value); },
            std::chrono::seconds(5));
        return value;
    };
    const uint32_t before = readRegister();
    auto r = client_->send(request);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->body;
    if (r->status == 403) {  // refusals are the documented JSON, and never hand out the token
        EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
        EXPECT_FALSE(nlohmann::json::parse(r->body)["ok"]) << r->body;
        EXPECT_EQ(r->body.find(service_->token()), std::string::npos);
    }
    EXPECT_EQ(readRegister(), before) << "a refused request reached the board";
    EXPECT_EQ(client_->Get("/stats.json")->status, 200);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PreviewRefusalTest,
    ::testing::Values(
        Refusal{"WriteWithoutToken", "POST", "/api/register/write",
                R"({"address": "0x3012", "value": 1})", false, nullptr, 403},
        Refusal{"PauseWithoutToken", "POST", "/api/pause", R"({"paused": true})", false, nullptr,
                403},
        // The page carries the token: another local account must not read it off loopback.
        Refusal{"PageWithoutToken", "GET", "/", "", false, nullptr, 403},
        Refusal{"PageWithWrongToken", "GET", "/index.html?token=wrong-token-0000", "", false,
                nullptr, 403},
        Refusal{"WriteWithTokenInQueryOnly", "POST", "/api/register/write?token=wrong-token-0000",
                R"({"address": 1, "value": 1})", false, nullptr, 403},
        Refusal{"WriteAsGet", "GET", "/api/register/write", "", true, nullptr, 405},
        Refusal{"StatsAsPost", "POST", "/stats.json", "{}", true, nullptr, 405},
        Refusal{"PutMethod", "PUT", "/", "x", true, nullptr, 405},
        Refusal{"DeleteMethod", "DELETE", "/api/board", "", true, nullptr, 405},
        Refusal{"ForeignHost", "GET", "/stats.json", "", true, "evil.example:8080", 403},
        Refusal{"RebindingNameOnOurPort", "GET", "/", "", true, "attacker.example", 403},
        Refusal{"OtherPort", "GET", "/", "", true, "127.0.0.1:1", 403},
        Refusal{"PathOutsideAssets", "GET", "/../../etc/passwd", "", true, nullptr, 404},
        Refusal{"UnknownAsset", "GET", "/page.js", "", true, nullptr, 404},
        Refusal{"MalformedJson", "POST", "/api/register/write", "{\"address\": ", true, nullptr,
                400},
        Refusal{"JsonNotObject", "POST", "/api/pause", "[true]", true, nullptr, 400},
        Refusal{"AddressWiderThanMode", "POST", "/api/register/write",
                R"({"address": "0x10000", "value": 1})", true, nullptr, 400},
        Refusal{"ValueWiderThanMode", "POST", "/api/register/write",
                R"({"address": "0x3012", "value": "0x100"})", true, nullptr, 400},
        Refusal{"UnknownMode", "POST", "/api/register/write",
                R"({"address": 1, "value": 1, "mode": "16_64"})", true, nullptr, 400},
        Refusal{"NegativeValue", "POST", "/api/register/write",
                R"({"address": "0x3012", "value": -1})", true, nullptr, 400},
        Refusal{"UnknownControl", "POST", "/api/control", R"({"name": "focus", "value": 1})", true,
                nullptr, 404}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PreviewTest, HostileConnectionsAreBoundedAndOthersStillServed) {
    const uint16_t port = service_->port();
    // Headers, a request line and a body beyond their bounds, bytes that are not HTTP, no Host.
    struct Hostile {
        std::string request;
        int status;
    };
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    const Hostile hostile[] = {
        {"GET /stats.json HTTP/1.1\r\n" + host + "X-Junk: " + std::string(40000, 'a') + "\r\n\r\n",
         431},
        {"GET /" + std::string(40000, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 414},
        {"POST /api/pause HTTP/1.1\r\n" + host + "X-Vexo-Token: " + service_->token() +
             "\r\nContent-Length: 100000\r\n\r\n",
         413},
        {"\x16\x03\x01 not http at all\r\n\r\n", 400},
        {"GET /stats.json HTTP/1.1\r\n\r\n", 403},
    };
    for (const Hostile& h : hostile) {
        RawClient c(port);
        ASSERT_TRUE(c.connected());
        c.send(h.request);
        EXPECT_EQ(c.status(), h.status) << h.request.substr(0, 40);
    }
    // Streams whose clients never read, and idle connections up to the client bound.
    std::vector<std::unique_ptr<RawClient>> hogs;
    for (int i = 0; i < 3; ++i) {
        hogs.push_back(std::make_unique<RawClient>(port));
        hogs.back()->send("GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\n\r\n");
    }
    for (int i = 0; i < 3; ++i) hogs.push_back(std::make_unique<RawClient>(port));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Over the bound: the connection is not served. It waits unaccepted until a slot frees,
    // so the client gives up before the idle time-out (2 s) would free one.
    {
        httplib::Client extra("127.0.0.1", port);
        extra.set_read_timeout(1, 0);
        auto r = extra.Get("/stats.json");
        EXPECT_FALSE(r && r->status == 200) << "a client over the bound was served";
    }
    // The idle time-out frees the slots, stalled streams included; then everyone is served,
    // and the capture lost nothing meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    auto r = client_->Get("/frame.jpg");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    const json s = json::parse(client_->Get("/stats.json")->body);
    EXPECT_TRUE(s["drops"].empty()) << s["drops"];
}

TEST(PreviewAccessPolicy, TokenAndHostRules) {
    using preview::AccessPolicy;
    AccessPolicy loop("127.0.0.1", 8080, "token-123456");
    EXPECT_FALSE(loop.tokenNeeded(false));
    EXPECT_TRUE(loop.tokenNeeded(true));
    EXPECT_TRUE(loop.hostAllowed("127.0.0.1:8080"));
    EXPECT_TRUE(loop.hostAllowed("LOCALHOST:8080"));
    EXPECT_FALSE(loop.hostAllowed("127.0.0.1"));  // port 80
    EXPECT_FALSE(loop.hostAllowed("127.0.0.2:8080"));
    EXPECT_FALSE(loop.hostAllowed("evil.example:8080"));
    EXPECT_FALSE(loop.hostAllowed(""));
    EXPECT_TRUE(loop.tokenMatches("token-123456"));
    EXPECT_FALSE(loop.tokenMatches("token-12345"));
    EXPECT_FALSE(loop.tokenMatches(""));

    AccessPolicy lan("192.0.2.7", 9000, "token-123456");  // documentation address
    EXPECT_TRUE(lan.tokenNeeded(false));
    EXPECT_TRUE(lan.hostAllowed("192.0.2.7:9000"));
    EXPECT_FALSE(lan.hostAllowed("localhost:9000"));
    AccessPolicy any("0.0.0.0", 9000, "token-123456");
    EXPECT_TRUE(any.tokenNeeded(false));
    EXPECT_TRUE(any.hostAllowed("198.51.100.3:9000"));
    EXPECT_TRUE(any.hostAllowed("[2001:db8::1]:9000"));
    EXPECT_FALSE(any.hostAllowed("camera.example:9000"));
    AccessPolicy v6("::1", 8080, "token-123456");
    EXPECT_FALSE(v6.tokenNeeded(false));
    EXPECT_TRUE(v6.hostAllowed("[::1]:8080"));

    std::string host, error;
    uint16_t port = 0;
    EXPECT_TRUE(preview::parseListen("[::1]:0", host, port, error));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(preview::parseListen("localhost", host, port, error));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8080);
    EXPECT_FALSE(preview::parseListen("camera.example:80", host, port, error));
    EXPECT_FALSE(preview::parseListen("127.0.0.1:70000", host, port, error));
    EXPECT_FALSE(preview::validToken("short"));
    EXPECT_FALSE(preview::validToken("has space in it"));
    EXPECT_TRUE(preview::validToken(preview::randomToken()));
    EXPECT_NE(preview::randomToken(), preview::randomToken());
}

}  // namespace
}  // namespace vexo::tools::test
