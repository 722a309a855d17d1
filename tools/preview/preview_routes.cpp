// The preview's endpoints: the page, pictures, counters and the JSON API.
#include <turbojpeg.h>
#include <vexo/status.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vexo/camera_file.hpp>
#include <vexo/image_files.hpp>
#include <vexo/isp.hpp>
#include <vexo/named_controls.hpp>
#include <vexo/register_access.hpp>
#include <vexo/status_text.hpp>

#include "preview/preview_service.h"

namespace vexo::tools::preview {

namespace {

using nlohmann::json;

using Outcome = CaptureWorker::Outcome;

constexpr const char* kBoundary = "vexoframe";
// A stream with no new frame for this long resends the last one.
constexpr auto kStreamRepeat = std::chrono::seconds(1);

HttpResponse jsonError(int status, const std::string& message) {
    return HttpResponse::json(status, json{{"ok", false}, {"error", message}}.dump());
}

// A request body as a JSON object; false with the reply to send.
bool parseBody(const HttpRequest& request, json& body, HttpResponse& error) {
    body = json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        error = jsonError(400, "the request body is not a JSON object");
        return false;
    }
    return true;
}

// A number given as a JSON number or as text ("0x3012", "12").
bool numberField(const json& body, const char* key, uint64_t max, uint64_t& out,
                 std::string& error) {
    const auto it = body.find(key);
    if (it == body.end()) {
        error = std::string("'") + key + "' is missing";
        return false;
    }
    bool ok = false;
    if (it->is_number_unsigned()) {
        out = it->get<uint64_t>();
        ok = out <= max;
    } else if (it->is_string()) {
        ok = parseNumber(it->get<std::string>(), max, out);
    }
    if (!ok) {
        char limit[24];
        std::snprintf(limit, sizeof(limit), "0x%llX", static_cast<unsigned long long>(max));
        error = std::string("'") + key + "' must be a number from 0 to " + limit;
    }
    return ok;
}

// The library's answer to a board request as the page shows it.
HttpResponse statusReply(uint32_t status, json result) {
    if (status == USB_CAMERA_NO_ERROR) {
        result["ok"] = true;
        return HttpResponse::json(200, result.dump());
    }
    result["ok"] = false;
    result["code"] = status;
    if (status <= 0xFF) {
        result["status"] = "board status byte " + std::to_string(status);
        result["error"] = "the board answered with status byte " + std::to_string(status);
    } else {
        const char* name = vexoStatusName(status);
        result["status"] = name ? name : "unexpected result " + std::to_string(status);
        result["error"] = describeStatus("the board refused", status);
    }
    return HttpResponse::json(502, result.dump());
}

// The answer for a board request that did not end within the wait. One that never started
// is dropped and never runs; one that started goes on, and the answer says so.
HttpResponse notDone(Outcome outcome) {
    if (outcome == Outcome::Running)
        return HttpResponse::json(
            202, json{{"ok", false},
                      {"pending", true},
                      {"error",
                       "the board is still carrying out the request; it takes effect "
                       "when it ends (its outcome is not known yet)"}}
                     .dump());
    return jsonError(503,
                     "the board did not take the request in time (capture busy or stopped); "
                     "it was not carried out");
}

std::string hexText(uint64_t value, unsigned bits) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llX", static_cast<int>((bits + 3) / 4),
                  static_cast<unsigned long long>(value));
    return text;
}

// A control as `vexo ctrl --json` lists it (docs/controls.schema.json): whole numbers for
// every type but float.
json controlJson(const ControlSpec& c, double value) {
    const bool whole = c.type != ControlSpec::Type::Float;
    auto number = [whole](double v) {
        return whole ? json(static_cast<int64_t>(std::llround(v))) : json(v);
    };
    json out{{"name", c.name},
             {"type", std::string(controlTypeName(c.type))},
             {"unit", c.unit},
             {"min", number(c.min)},
             {"max", number(c.max)},
             {"step", whole ? number(c.step) : json(c.step)},
             {"default", number(c.defaultValue)},
             {"value", number(value)}};
    if (c.type == ControlSpec::Type::Menu) {
        json menu = json::array();
        for (const auto& e : c.menu)
            menu.push_back({{"name", e.name}, {"value", static_cast<int64_t>(e.value)}});
        out["menu"] = menu;
    }
    return out;
}

// One part of the multipart stream: its header, the JPEG, a line end.
class StreamPart {
  public:
    void reset(const EncodedFrame& frame) {
        header_.resize(256);
        const int n = std::snprintf(
            header_.data(), header_.size(),
            "--%s\r\nContent-Type: image/jpeg\r\nContent-Length: %zu\r\nX-Frame-Number: "
            "%llu\r\nX-Frame-Time: %llu\r\n\r\n",
            kBoundary, frame.jpegSize, static_cast<unsigned long long>(frame.meta.number),
            static_cast<unsigned long long>(frame.meta.boardTime));
        header_.resize(static_cast<size_t>(n));
        jpeg_ = frame.jpegBytes();
        offset_ = 0;
    }
    bool done() const { return offset_ >= header_.size() + jpeg_.size() + 2; }
    size_t copy(char* buf, size_t max) {
        size_t written = 0;
        auto take = [&](const char* src, size_t from, size_t length) {
            if (offset_ < from || offset_ >= from + length || written == max) return;
            const size_t n = std::min(length - (offset_ - from), max - written);
            std::memcpy(buf + written, src + (offset_ - from), n);
            written += n;
            offset_ += n;
        };
        take(header_.data(), 0, header_.size());
        take(reinterpret_cast<const char*>(jpeg_.data()), header_.size(), jpeg_.size());
        take("\r\n", header_.size() + jpeg_.size(), 2);
        return written;
    }

  private:
    std::string header_;
    std::span<const uint8_t> jpeg_;
    size_t offset_ = 0;
};

// The frame's picture converted (JPEG frames decoded) as PNG, into `out`.
// A frame the ISP rendered is rendered again at 16 bits with the gains it was shown with, so
// the snapshot is the picture on the page.
bool encodePng(const EncodedFrame& frame, const std::optional<ColourSettings>& colour,
               std::string& out, std::string& error) {
    ImageView view;
    std::optional<FrameConverter> converter;
    std::vector<uint8_t> decoded;
    if (frame.isp.used && colour) {
        ColourSettings settings = *colour;
        settings.autoWhiteBalance = false;
        settings.whiteBalance = frame.isp.gains;
        Isp isp(frameFormatOf(frame.meta.cfg, frame.bayer), settings);
        const IspLayout layout = isp.mono() ? IspLayout::Gray16 : IspLayout::Rgb16;
        IspTarget target;
        target.layout = layout;
        target.bigEndian = true;  // as PNG stores samples
        target.stride = size_t{isp.width()} * ispPixelBytes(layout);
        decoded.resize(target.stride * isp.height());
        target.data = decoded.data();
        target.bytes = decoded.size();
        if (!isp.process(frame.rawBytes(), target)) {
            error = "the frame does not go through the ISP";
            return false;
        }
        view.width = isp.width();
        view.height = isp.height();
        view.layout = isp.mono() ? PixelLayout::Gray16 : PixelLayout::Rgb16;
        view.pixels = decoded;
    } else if (frame.meta.cfg.emImageFmtMode == FORMAT_MODE_JPG) {
        tjhandle tj = tjInitDecompress();
        int w = 0, h = 0, sub = 0, space = 0;
        const bool ok =
            tj &&
            tjDecompressHeader3(tj, frame.jpeg.data(), frame.jpegSize, &w, &h, &sub, &space) == 0 &&
            (decoded.resize(size_t(w) * size_t(h) * 3), true) &&
            tjDecompress2(tj, frame.jpeg.data(), frame.jpegSize, decoded.data(), w, 0, h, TJPF_RGB,
                          0) == 0;
        if (tj) tjDestroy(tj);
        if (!ok) {
            error = "the frame's JPEG data does not decode";
            return false;
        }
        view.width = static_cast<uint32_t>(w);
        view.height = static_cast<uint32_t>(h);
        view.layout = PixelLayout::Rgb8;
        view.pixels = decoded;
    } else {
        FrameFormat format = frameFormatOf(frame.meta.cfg, frame.bayer);
        format.wideRgb = true;  // a snapshot keeps every significant bit of 2-byte RAW pixels
        converter.emplace(format);
        if (!converter->convert(frame.rawBytes(), view)) {
            error = "the frame does not convert";
            return false;
        }
    }
    char* data = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&data, &size);
    const bool written = memory && writePng(memory, view);
    if (memory) std::fclose(memory);
    if (written) out.assign(data, size);
    std::free(data);
    if (!written) error = "PNG encoding failed";
    return written;
}

// Serves `body`, bytes of `frame`, without a copy: the reply holds the frame until it is sent.
void keepFrame(HttpResponse& r, FrameRef frame, std::string_view body) {
    r.staticBody = body;
    r.keep = std::make_shared<FrameRef>(std::move(frame));
}

}  // namespace

HttpResponse PreviewService::page() const {
    HttpResponse r;
    r.contentType = "text/html; charset=utf-8";
    r.staticBody = page_;
    r.headers.push_back(
        {"Content-Security-Policy",
         "default-src 'self'; img-src 'self' blob: data:; style-src 'unsafe-inline'; "
         "script-src 'unsafe-inline'; connect-src 'self'; frame-ancestors 'none'"});
    return r;
}

HttpResponse PreviewService::frameJpeg(const HttpRequest&) {
    FrameRef frame = hub_.latest();
    if (!frame) frame = hub_.next(0, std::chrono::seconds(3));
    if (!frame) return HttpResponse::text(503, "no frame yet");
    HttpResponse r;
    r.contentType = "image/jpeg";
    r.headers.push_back({"X-Frame-Number", std::to_string(frame->meta.number)});
    r.headers.push_back({"X-Frame-Time", std::to_string(frame->meta.boardTime)});
    const auto jpeg = frame->jpegBytes();
    keepFrame(r, std::move(frame), {reinterpret_cast<const char*>(jpeg.data()), jpeg.size()});
    return r;
}

HttpResponse PreviewService::stream(const HttpRequest& request) {
    uint64_t limit = 0;  // ?frames=N ends the stream after N frames
    if (!request.param("frames").empty() && !parseNumber(request.param("frames"), 1u << 30, limit))
        return HttpResponse::text(400, "frames must be a whole number");
    struct State {
        FrameRef frame;
        StreamPart part;
        bool repeat = false;  // the part resends the last frame
        uint64_t last = 0;
        uint64_t sent = 0;
    };
    auto state = std::make_shared<State>();
    HttpResponse r;
    r.contentType = std::string("multipart/x-mixed-replace; boundary=") + kBoundary;
    // The HTTP library can neither time out nor notice a closed connection while this runs, so
    // it never waits long: with no new frame (paused, or the board gone) it resends the last
    // one, and a viewer that left is found out by the failing send.
    r.stream = [this, state, limit](char* buf, size_t max) -> ssize_t {
        State& s = *state;
        for (;;) {
            if (s.frame && !s.part.done()) return static_cast<ssize_t>(s.part.copy(buf, max));
            if (s.frame) {
                // The whole part went to the socket: the frame's latency ends here.
                if (!s.repeat)
                    latency_.add(std::chrono::duration<double, std::milli>(SteadyClock::now() -
                                                                           s.frame->meta.queuedAt)
                                     .count());
                s.frame.reset();
                if (!s.repeat && limit && ++s.sent >= limit) return -1;
            }
            if (!started_) return -1;
            s.frame = hub_.next(s.last, kStreamRepeat);
            s.repeat = !s.frame;
            if (s.repeat) {
                // No frame at all for a while (a board that never delivered): the stream ends
                // and the viewer asks again.
                s.frame = hub_.latest();
                if (!s.frame || !started_) return -1;
            }
            s.last = s.frame->meta.number;
            s.part.reset(*s.frame);
        }
    };
    return r;
}

HttpResponse PreviewService::syncStatsJson() {
    const SyncStats st = sync_->stats();
    const CameraConfig& cfg = sync_->file().config;
    const std::vector<std::string>& serials = sync_->serials();
    std::string names;
    for (const std::string& s : serials) names += (names.empty() ? "" : " | ") + s;
    json boards = json::array();
    for (const SyncBoardStats& b : st.boards)
        boards.push_back({{"serial", b.serial},
                          {"frames", b.frames},
                          {"frameErrors", b.frameErrors},
                          {"reconnects", b.reconnects},
                          {"present", b.present},
                          {"offsetUs", b.offsetUs},
                          {"driftPpm", b.driftPpm}});
    // The page reads the same fields as for one board: the rig is one wide picture.
    json out{{"board",
              {{"index", 0},
               {"serial", names},
               {"width", cfg.u32Width * serials.size()},
               {"height", cfg.u32Height},
               {"pixelBytes", cfg.u8PixelBytes},
               {"format", std::string(formatName(cfg.emImageFmtMode))},
               {"triggerCapable", false},
               {"externalTrigger", false},
               {"failure", ""},
               {"reconnects", 0}}},
             {"frames", sync_->published()},
             {"megabytes", 0},
             {"drops", json::object()},
             {"errors", json::object()},
             {"paused", false},
             {"sync",
              {{"trigger", syncTriggerName(sync_->trigger())},
               {"rateHz", sync_->rateHz()},
               {"toleranceUs", sync_->toleranceUs()},
               {"complete", st.complete},
               {"incomplete", st.incomplete},
               {"unmatched", st.unmatched},
               {"overflow", st.overflow},
               {"boards", boards}}}};
    if (FrameRef frame = hub_.latest()) {
        json present = json::array();
        for (size_t b = 0; b < serials.size(); ++b)
            present.push_back(((frame->sync.present >> b) & 1) != 0);
        out["shown"] = {{"number", frame->meta.number},
                        {"time", frame->meta.boardTime},
                        {"sync",
                         {{"set", frame->sync.set},
                          {"complete", frame->sync.complete},
                          {"skewUs", frame->sync.skewUs},
                          {"present", present}}}};
        json hist{{"channels", 3}};
        static const char* kNames[] = {"r", "g", "b"};
        for (unsigned c = 0; c < 3; ++c) hist[kNames[c]] = frame->histogram[c];
        out["histogram"] = hist;
    }
    return HttpResponse::json(200, out.dump());
}

HttpResponse PreviewService::statsJson() {
    if (sync_) return syncStatsJson();
    const StatsSnapshot snap = capture_->stats();
    const BoardInfo board = capture_->board();
    const CaptureStats& st = snap.stats;
    json drops = json::object(), errors = json::object();
    if (st.queueDrops()) drops["queue full"] = st.queueDrops();
    for (uint32_t code = 0xFF00; code < 0xFF80; ++code) {
        const uint64_t n = st.errorCount(code);
        if (!n) continue;
        const char* name = vexoStatusName(code);
        const std::string key = name ? name : std::to_string(code);
        errors[key] = n;
        if (code == USB_CAMERA_DATA_LEN_ERROR || code == USB_CAMERA_DATA_LACK_ERROR ||
            code == USB_CAMERA_FRAME_INDEX_ERROR)
            drops[key] = n;
    }
    const CameraConfig& cfg = board.config;
    json out{
        {"board",
         {{"index", board.entry.index},
          {"serial", board.entry.serial},
          {"width", cfg.u32Width},
          {"height", cfg.u32Height},
          {"pixelBytes", cfg.u8PixelBytes},
          {"format", std::string(formatName(cfg.emImageFmtMode))},
          {"i2cAddress", cfg.u32I2cAddr},
          {"i2cMode", std::string(i2cModeName(cfg.emI2cMode))},
          {"triggerCapable", board.triggerCapable},
          {"externalTrigger", board.externalTrigger},
          {"failure", board.failure},
          {"reconnects", board.reconnects}}},
        {"frames", st.frames()},
        {"seconds", st.seconds()},
        {"fps", snap.recentFps},
        {"megabytes", st.megabytesPerSecond() * st.seconds()},
        {"mbps", snap.recentMbps},
        {"frame", {{"number", snap.last.number}, {"time", snap.last.boardTime}}},
        {"drops", drops},
        {"errors", errors},
        {"encoded", encoder_->encoded()},
        {"encodeFailures", encoder_->failed()},
        {"paused", encoder_->paused()},
    };
    if (FrameRef frame = hub_.latest()) {
        json hist{{"channels", frame->channels}};
        static const char* kNames[] = {"r", "g", "b"};
        for (unsigned c = 0; c < frame->channels; ++c)
            hist[frame->channels == 1 ? "grey" : kNames[c]] = frame->histogram[c];
        out["shown"] = {{"number", frame->meta.number}, {"time", frame->meta.boardTime}};
        if (const IspReport& isp = frame->isp; isp.used) {
            json report{{"whiteBalance", isp.autoWhiteBalance ? "auto" : "manual"},
                        {"gains", isp.gains},
                        {"level", isp.level},
                        {"target", isp.target},
                        {"autoExposure", isp.autoExposure}};
            if (isp.autoExposure) {
                report["settled"] = isp.settled;
                report["adjustments"] = isp.adjustments;
                if (isp.adjustments) {
                    report["exposure"] = isp.exposure;
                    report["analogueGain"] = isp.analogueGain;
                }
            }
            out["shown"]["isp"] = report;
        }
        out["histogram"] = hist;
    }
    const LatencyLog::Summary lat = latency_.summary();
    out["latency"] = {{"samples", lat.samples}, {"medianMs", lat.median}, {"p99Ms", lat.p99}};
    return HttpResponse::json(200, out.dump());
}

HttpResponse PreviewService::snapshot(bool png) {
    FrameRef frame = hub_.latest();
    if (!frame) frame = hub_.next(0, std::chrono::seconds(3));
    if (!frame) return HttpResponse::text(503, "no frame yet");
    HttpResponse r;
    if (!png) {
        const std::string name = "frame_" + std::to_string(frame->meta.number);
        r.contentType = "application/octet-stream";
        r.headers.push_back({"Content-Disposition", "attachment; filename=\"" + name + ".raw\""});
        r.headers.push_back({"X-Frame-Width", std::to_string(frame->meta.cfg.u32Width)});
        r.headers.push_back({"X-Frame-Height", std::to_string(frame->meta.cfg.u32Height)});
        r.headers.push_back(
            {"X-Frame-Format", std::string(formatName(frame->meta.cfg.emImageFmtMode))});
        r.headers.push_back({"X-Frame-Number", std::to_string(frame->meta.number)});
        // Sent from the frame itself: the client holds its pool slot, as a stream does.
        const auto raw = frame->rawBytes();
        keepFrame(r, std::move(frame), {reinterpret_cast<const char*>(raw.data()), raw.size()});
        return r;
    }
    std::shared_ptr<const SnapshotPng> snap;
    {
        // One conversion at a time; requests for the same frame share its PNG.
        MutexLock lock(pngMutex_);
        const bool current = png_ && png_->number == frame->meta.number &&
                             png_->generation == frame->meta.boardGeneration;
        // Past the bound, slow downloads still hold older snapshots: a new request gets the
        // newest one made rather than a new copy of a whole picture.
        if (!current && !(png_ && pngsAlive_.load() >= kPngsAlive)) {
            auto made = std::shared_ptr<SnapshotPng>(new SnapshotPng, [this](SnapshotPng* p) {
                pngsAlive_.fetch_sub(1);
                delete p;
            });
            pngsAlive_.fetch_add(1);
            made->number = frame->meta.number;
            made->generation = frame->meta.boardGeneration;
            std::string error;
            if (!encodePng(*frame, capture_->file().colour, made->bytes, error))
                return HttpResponse::text(500, error);
            png_ = std::move(made);
        }
        snap = png_;
    }
    frame.reset();
    const std::string name = "frame_" + std::to_string(snap->number);
    r.contentType = "image/png";
    r.headers.push_back({"Content-Disposition", "attachment; filename=\"" + name + ".png\""});
    r.headers.push_back({"X-Frame-Number", std::to_string(snap->number)});
    r.staticBody = snap->bytes;
    r.keep = std::move(snap);
    return r;
}

HttpResponse PreviewService::boards() {
    // A scan talks to every board, the open one too: it runs on the capture thread.
    struct Scan {
        std::vector<BoardEntry> list;
        std::string error;
    };
    auto scan = std::make_shared<Scan>();
    const Outcome outcome = capture_->request(
        [scan](CameraHandle) {
            try {
                scan->list = scanBoards(false);
            } catch (const std::exception& e) {
                scan->error = e.what();
            }
        },
        options_.boardWait);
    if (outcome != Outcome::Done) return notDone(outcome);
    if (!scan->error.empty()) return jsonError(502, scan->error);
    const std::vector<BoardEntry>& list = scan->list;
    const BoardInfo open = capture_->board();
    json out = json::array();
    for (const BoardEntry& b : list)
        out.push_back(
            {{"index", b.index}, {"serial", b.serial}, {"open", b.index == open.entry.index}});
    return HttpResponse::json(200, json{{"boards", out}}.dump());
}

HttpResponse PreviewService::controls() {
    // Every value is read back from the sensor, on the capture thread that owns the board.
    struct Listing {
        json controls = json::array();
        std::string error;
    };
    auto listing = std::make_shared<Listing>();
    const Outcome outcome = capture_->request(
        [this, listing](CameraHandle) {
            NamedControls& named = capture_->controls();
            for (const ControlSpec& c : named.list()) {
                double value = 0;
                std::string error;
                if (named.get(c.name, value, &error) != ControlStatus::Ok) {
                    listing->error = "reading " + c.name + ": " + error;
                    return;
                }
                listing->controls.push_back(controlJson(c, value));
            }
        },
        options_.boardWait);
    if (outcome != Outcome::Done) return notDone(outcome);
    if (!listing->error.empty()) return jsonError(502, listing->error);
    return HttpResponse::json(200, json{{"controls", listing->controls}}.dump());
}

HttpResponse PreviewService::setPause(const HttpRequest& request) {
    json body;
    HttpResponse error;
    if (!parseBody(request, body, error)) return error;
    const auto it = body.find("paused");
    if (it == body.end() || !it->is_boolean())
        return jsonError(400, "'paused' must be true or false");
    encoder_->setPaused(it->get<bool>());
    return HttpResponse::json(200, json{{"ok", true}, {"paused", encoder_->paused()}}.dump());
}

HttpResponse PreviewService::registerAccess(const HttpRequest& request, bool write) {
    json body;
    HttpResponse error;
    if (!parseBody(request, body, error)) return error;
    const BoardInfo board = capture_->board();
    I2cMode mode = board.config.emI2cMode;
    if (const auto it = body.find("mode"); it != body.end()) {
        if (!it->is_string() || !parseI2cModeName(it->get<std::string>(), mode))
            return jsonError(400, "'mode' must be one of 8_8, 8_16, 16_8, 16_16, 16_32");
    }
    const RegisterAccess* access = vexo::registerAccess(mode);
    if (!access) return jsonError(400, "the configuration's register mode is not one of the five");
    const unsigned aBits = addressBits(mode), vBits = valueBits(mode);
    std::string why;
    uint64_t device = board.config.u32I2cAddr, address = 0, value = 0;
    if (body.contains("device") && !numberField(body, "device", 0xFF, device, why))
        return jsonError(400, why);
    if (!numberField(body, "address", (uint64_t{1} << aBits) - 1, address, why))
        return jsonError(400, why + " (" + std::to_string(aBits) +
                                  "-bit register addresses in mode " +
                                  std::string(i2cModeName(mode)) + ")");
    if (write && !numberField(body, "value", (uint64_t{1} << vBits) - 1, value, why))
        return jsonError(400, why + " (" + std::to_string(vBits) + "-bit values in mode " +
                                  std::string(i2cModeName(mode)) + ")");
    struct Access {
        uint32_t status = 0;
        uint32_t read = 0;
    };
    auto done = std::make_shared<Access>();
    const Outcome outcome = capture_->request(
        [done, access, write, device, address, value](CameraHandle h) {
            done->status =
                write ? access->write(h, static_cast<uint32_t>(device),
                                      static_cast<uint32_t>(address), static_cast<uint32_t>(value))
                      : access->read(h, static_cast<uint32_t>(device),
                                     static_cast<uint32_t>(address), &done->read);
        },
        options_.boardWait);
    if (outcome != Outcome::Done) return notDone(outcome);
    const uint32_t status = done->status, read = done->read;
    json result{{"device", hexText(device, 8)},
                {"mode", std::string(i2cModeName(mode))},
                {"address", hexText(address, aBits)},
                {"value", hexText(write ? value : read, vBits)},
                {"number", write ? value : read}};
    return statusReply(status, result);
}

HttpResponse PreviewService::setControl(const HttpRequest& request) {
    json body;
    HttpResponse error;
    if (!parseBody(request, body, error)) return error;
    const auto name = body.find("name");
    const auto value = body.find("value");
    if (name == body.end() || !name->is_string() || value == body.end() ||
        !(value->is_number() || value->is_string() || value->is_boolean()))
        return jsonError(400,
                         "expected {\"name\": text, \"value\": a number, true/false or a menu "
                         "entry's name}");
    // The file's controls are fixed for the preview's life: checked here, set on the board.
    const std::string controlName = name->get<std::string>();
    const ControlSpec* described = nullptr;
    for (const ControlSpec& c : capture_->file().controls)
        if (c.name == controlName) described = &c;
    if (!described) return jsonError(404, "no control named '" + controlName + "'");
    double v = 0;
    if (value->is_boolean())
        v = value->get<bool>() ? 1 : 0;
    else if (value->is_number())
        v = value->get<double>();  // beyond 64 bits too: clamped to the range
    else if (!NamedControls::parseValue(*described, value->get<std::string>(), v))
        return jsonError(400,
                         "'" + value->get<std::string>() + "' is not a value of " + controlName);
    struct Setting {
        ControlStatus status = ControlStatus::BoardError;
        double applied = 0;
        std::string error;
    };
    auto result = std::make_shared<Setting>();
    const Outcome outcome = capture_->request(
        [this, result, controlName, v](CameraHandle) {
            result->status =
                capture_->controls().set(controlName, v, &result->applied, &result->error);
        },
        options_.boardWait);
    if (outcome != Outcome::Done) return notDone(outcome);
    if (result->status != ControlStatus::Ok)
        return jsonError(result->status == ControlStatus::InvalidValue ? 400 : 502, result->error);
    json out = controlJson(*described, result->applied);
    out["ok"] = true;
    return HttpResponse::json(200, out.dump());
}

HttpResponse PreviewService::trigger() {
    auto status = std::make_shared<uint32_t>(0);
    const Outcome outcome = capture_->request(
        [status](CameraHandle h) { *status = Vexo_softTrigger(h); }, options_.boardWait);
    if (outcome != Outcome::Done) return notDone(outcome);
    return statusReply(*status, json::object());
}

HttpResponse PreviewService::setMode(const HttpRequest& request) {
    json body;
    HttpResponse error;
    if (!parseBody(request, body, error)) return error;
    const auto it = body.find("mode");
    if (it == body.end() || !it->is_string() || (*it != "external" && *it != "continuous"))
        return jsonError(400, "'mode' must be \"external\" or \"continuous\"");
    const bool external = *it == "external";
    auto status = std::make_shared<uint32_t>(0);
    const Outcome outcome = capture_->request(
        [this, status, external](CameraHandle h) {
            *status = Vexo_setMode(h, external ? EXTERNAL_TRIGGER_MODE : CONTINUOUS_MODE);
            if (*status == USB_CAMERA_NO_ERROR) capture_->setExternalTrigger(external);
        },
        options_.boardWait);
    if (outcome != Outcome::Done) return notDone(outcome);
    return statusReply(*status, json{{"mode", external ? "external" : "continuous"}});
}

HttpResponse PreviewService::switchBoard(const HttpRequest& request) {
    json body;
    HttpResponse error;
    if (!parseBody(request, body, error)) return error;
    uint64_t index = 0;
    std::string why;
    if (!numberField(body, "index", 255, index, why)) return jsonError(400, why);
    // A start-up may take a while: twice the wait of other requests.
    const Outcome outcome =
        capture_->switchBoard(static_cast<unsigned>(index), options_.boardWait * 2, why);
    if (outcome != Outcome::Done) return notDone(outcome);
    if (!why.empty()) return jsonError(502, why);
    return HttpResponse::json(200, json{{"ok", true}, {"index", index}}.dump());
}

}  // namespace vexo::tools::preview
