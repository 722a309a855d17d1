#include "driver/virtual/board_config.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "driver/virtual/json_document.h"
#include "driver/virtual/replay_source.h"
#include "driver/virtual/scene.h"

namespace vexo::driver::virt {

namespace {

using json = nlohmann::json;

constexpr const char* kFaultNames[] = {"stall",       "shortFrame", "longFrame",     "skipIndex",
                                       "repeatIndex", "discard",    "corruptHeader", "controlFail",
                                       "unplug",      "replug"};

bool isUsb2Product(uint16_t product) {
    return product == 0x52CB || product == 0x02F1;
}

// Walks one JSON document, keeping the path of the key being read for the error line.
class Reader {
  public:
    explicit Reader(std::string& error) : error_(error) {}

    bool fail(const std::string& key, const std::string& what) {
        error_ = key + ": " + what;
        return false;
    }

    // Refuses keys the format does not know: a misspelt key would otherwise pass unnoticed.
    bool onlyKeys(const json& object, const std::string& path,
                  std::initializer_list<const char*> known) {
        if (!object.is_object())
            return fail(path.empty() ? "document" : path, "expected an object");
        for (auto it = object.begin(); it != object.end(); ++it) {
            bool ok = false;
            for (const char* k : known) ok = ok || it.key() == k;
            if (!ok) return fail(join(path, it.key()), "unknown key");
        }
        return true;
    }

    bool failWith(const std::string& line) {
        error_ = line;
        return false;
    }

    static std::string join(const std::string& path, const std::string& key) {
        return path.empty() ? key : path + "." + key;
    }

    // A JSON number, or a string holding a decimal or "0x" hexadecimal number.
    bool number(const json& v, const std::string& key, uint64_t max, uint64_t& out) {
        if (v.is_number_unsigned()) {
            out = v.get<uint64_t>();
        } else if (v.is_number_integer()) {
            return fail(key, "must not be negative");
        } else if (v.is_number_float()) {
            double d = v.get<double>();
            if (d < 0 || d != std::floor(d) || d > 1.8e19)
                return fail(key, "expected a whole number");
            out = static_cast<uint64_t>(d);
        } else if (v.is_string()) {
            if (!parseNumber(v.get_ref<const std::string&>(), out))
                return fail(key, "expected a number or a \"0x...\" string, not \"" +
                                     v.get<std::string>() + "\"");
        } else {
            return fail(key, "expected a number");
        }
        if (out > max) return fail(key, "out of range (at most " + std::to_string(max) + ")");
        return true;
    }

    template <typename T>
    bool field(const json& object, const std::string& path, const char* name, T& out,
               uint64_t max) {
        auto it = object.find(name);
        if (it == object.end()) return true;
        uint64_t v = 0;
        if (!number(*it, join(path, name), max, v)) return false;
        out = static_cast<T>(v);
        return true;
    }

    // A number that is none unless the key is present.
    template <typename T>
    bool optionalField(const json& object, const std::string& path, const char* name,
                       std::optional<T>& out, uint64_t max) {
        if (!object.contains(name)) return true;
        T v{};
        if (!field(object, path, name, v, max)) return false;
        out = v;
        return true;
    }

    // The object under `name`, when present, read by read(reader, object, path, out).
    template <typename T, typename Read>
    bool section(const json& object, const std::string& path, const char* name, T& out, Read read) {
        auto it = object.find(name);
        return it == object.end() || read(*this, *it, join(path, name), out);
    }

    bool text(const json& object, const std::string& path, const char* name, std::string& out) {
        auto it = object.find(name);
        if (it == object.end()) return true;
        if (!it->is_string()) return fail(join(path, name), "expected a string");
        out = it->get<std::string>();
        return true;
    }

    bool boolean(const json& object, const std::string& path, const char* name, bool& out) {
        auto it = object.find(name);
        if (it == object.end()) return true;
        if (!it->is_boolean()) return fail(join(path, name), "expected true or false");
        out = it->get<bool>();
        return true;
    }

    // One of `names`; `out` (an enum) becomes its position.
    template <typename E, size_t N>
    bool choice(const json& object, const std::string& path, const char* name,
                const char* const (&names)[N], E& out) {
        auto it = object.find(name);
        if (it == object.end()) return true;
        std::string all;
        for (size_t i = 0; i < N; ++i) {
            if (it->is_string() && it->get_ref<const std::string&>() == names[i]) {
                out = static_cast<E>(i);
                return true;
            }
            all += (i ? ", " : "") + std::string(names[i]);
        }
        return fail(join(path, name), "expected one of " + all);
    }

    static bool parseNumber(const std::string& s, uint64_t& out) {
        const char* first = s.data();
        const char* last = s.data() + s.size();
        int base = 10;
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            first += 2;
            base = 16;
        }
        auto [ptr, ec] = std::from_chars(first, last, out, base);
        return ec == std::errc() && ptr == last && first != last;
    }

  private:
    std::string& error_;
};

bool readFault(Reader& r, const json& j, const std::string& path, FaultConfig& f) {
    if (!r.onlyKeys(j, path, {"kind", "atFrame", "count", "request", "bytes", "ms"})) return false;
    if (!j.contains("kind")) return r.fail(Reader::join(path, "kind"), "missing");
    return r.choice(j, path, "kind", kFaultNames, f.kind) &&
           r.field(j, path, "atFrame", f.atFrame, UINT32_MAX) &&
           r.field(j, path, "count", f.count, UINT32_MAX) &&
           r.field(j, path, "bytes", f.bytes, UINT32_MAX) &&
           r.field(j, path, "ms", f.ms, UINT32_MAX) &&
           r.optionalField(j, path, "request", f.request, 0xFF);
}

bool readFaults(Reader& r, const json& j, const std::string& path,
                std::vector<FaultConfig>& faults) {
    if (!j.is_array()) return r.fail(path, "expected an array");
    for (size_t i = 0; i < j.size(); ++i) {
        FaultConfig f;
        if (!readFault(r, j[i], path + "[" + std::to_string(i) + "]", f)) return false;
        faults.push_back(f);
    }
    return true;
}

// "replay": "DIR" with "loop" and "paced": the recording sets the stream's size and format.
bool readReplay(Reader& r, const json& j, const std::string& path, StreamConfig& s) {
    if (!r.boolean(j, path, "loop", s.replayLoop) || !r.boolean(j, path, "paced", s.replayPaced))
        return false;
    std::string dir;
    if (!r.text(j, path, "replay", dir)) return false;
    if (!j.contains("replay")) {
        if (j.contains("loop") || j.contains("paced"))
            return r.fail(Reader::join(path, j.contains("loop") ? "loop" : "paced"),
                          "needs \"replay\"");
        return true;
    }
    for (const char* key : {"width", "height", "pixelBytes", "format", "bayer", "fps"})
        if (j.contains(key))
            return r.fail(Reader::join(path, key), "set by the recording (\"replay\")");
    std::string error;
    auto recording = loadRecording(dir, error);
    if (!recording) return r.fail(Reader::join(path, "replay"), error);
    s.width = recording->width;
    s.height = recording->height;
    s.pixelBytes = recording->pixelBytes;
    s.format = recording->format;
    s.bayer = recording->bayer;
    s.replay = std::move(recording);
    return true;
}

bool readStream(Reader& r, const json& j, const std::string& path, StreamConfig& s) {
    if (!r.onlyKeys(j, path,
                    {"width", "height", "pixelBytes", "pixelBits", "format", "bayer", "fps",
                     "replay", "loop", "paced", "stamp"}) ||
        !r.optionalField(j, path, "pixelBits", s.pixelBits, 0xFF) ||
        !r.boolean(j, path, "stamp", s.stamp) || !r.field(j, path, "width", s.width, UINT32_MAX) ||
        !r.field(j, path, "height", s.height, UINT32_MAX) ||
        !r.field(j, path, "pixelBytes", s.pixelBytes, 0xFF) ||
        !r.choice(j, path, "format", kPixelFormatNames, s.format) ||
        !r.choice(j, path, "bayer", kBayerOrderNames, s.bayer))
        return false;
    if (auto fps = j.find("fps"); fps != j.end()) {
        if (!fps->is_number()) return r.fail(Reader::join(path, "fps"), "expected a number");
        s.fps = fps->get<double>();
    }
    return readReplay(r, j, path, s);
}

// A JSON number that a double holds.
bool real(Reader& r, const json& v, const std::string& key, double& out) {
    if (!v.is_number()) return r.fail(key, "expected a number");
    out = v.get<double>();
    return true;
}

// "count" numbers in an array.
template <size_t N>
bool reals(Reader& r, const json& j, const std::string& path, const char* name,
           std::array<double, N>& out) {
    auto it = j.find(name);
    if (it == j.end()) return true;
    const std::string key = Reader::join(path, name);
    if (!it->is_array() || it->size() != N)
        return r.fail(key, "expected an array of " + std::to_string(N) + " numbers");
    for (size_t i = 0; i < N; ++i)
        if (!real(r, (*it)[i], key + "[" + std::to_string(i) + "]", out[i])) return false;
    return true;
}

// The sensor's response: black level, illuminant gains, colour matrix and noise.
bool readSensorModel(Reader& r, const json& j, const std::string& path, SensorConfig& s) {
    for (auto [name, out] :
         {std::pair{"blackLevel", &s.blackLevel}, std::pair{"readNoise", &s.readNoise},
          std::pair{"fullWell", &s.fullWell}})
        if (auto it = j.find(name); it != j.end() && !real(r, *it, Reader::join(path, name), *out))
            return false;
    return reals(r, j, path, "gains", s.gains) && reals(r, j, path, "matrix", s.matrix) &&
           r.field(j, path, "seed", s.seed, UINT64_MAX);
}

// "scene": "bars", "chart", {"image": PATH}, or {"kind": ..., "marker": .., "frameNumber": ..}.
bool readScene(Reader& r, const json& j, const std::string& path, SceneConfig& scene) {
    static constexpr const char* kKinds[] = {"bars", "chart", "image"};
    if (j.is_string()) {
        const json wrapped = {{"kind", j}};
        return r.choice(wrapped, "", "kind", kKinds, scene.kind) ||
               r.fail(path, "expected \"bars\", \"chart\" or {\"image\": \"PATH\"}");
    }
    if (!r.onlyKeys(j, path, {"kind", "image", "marker", "frameNumber"}) ||
        !r.choice(j, path, "kind", kKinds, scene.kind))
        return false;
    for (auto [name, out] :
         {std::pair{"marker", &scene.marker}, std::pair{"frameNumber", &scene.frameNumber}}) {
        bool shown = false;
        if (j.contains(name) && !r.boolean(j, path, name, shown)) return false;
        if (j.contains(name)) *out = shown;
    }
    if (!j.contains("image")) {
        if (!j.contains("kind")) return r.fail(path, "expected \"kind\" or \"image\"");
        if (scene.kind == SceneConfig::Kind::Image)
            return r.fail(Reader::join(path, "image"), "missing");
        return true;
    }
    if (j.contains("kind") && scene.kind != SceneConfig::Kind::Image)
        return r.fail(Reader::join(path, "image"), "belongs to an image scene");
    std::string file, error;
    if (!r.text(j, path, "image", file)) return false;
    scene.kind = SceneConfig::Kind::Image;
    scene.image = loadSceneImage(file, error);
    return scene.image || r.fail(Reader::join(path, "image"), error);
}

bool readSensor(Reader& r, const json& j, const std::string& path, SensorConfig& s) {
    if (!r.onlyKeys(j, path,
                    {"i2cAddress", "registers", "blackLevel", "gains", "matrix", "readNoise",
                     "fullWell", "seed"}) ||
        !r.field(j, path, "i2cAddress", s.i2cAddress, 0xFF) || !readSensorModel(r, j, path, s))
        return false;
    auto regs = j.find("registers");
    if (regs == j.end()) return true;
    const std::string rp = Reader::join(path, "registers");
    if (!regs->is_object()) return r.fail(rp, "expected an object of \"0xADDR\": value");
    for (auto e = regs->begin(); e != regs->end(); ++e) {
        uint64_t address = 0, value = 0;
        if (!Reader::parseNumber(e.key(), address) || address > 0xFFFF)
            return r.fail(rp + "." + e.key(), "expected a 16-bit register address");
        if (!r.number(e.value(), rp + "." + e.key(), UINT32_MAX, value)) return false;
        s.registers[static_cast<uint16_t>(address)] = static_cast<uint32_t>(value);
    }
    return true;
}

bool readBoardController(Reader& r, const json& j, const std::string& path,
                         BoardControllerConfig& c) {
    if (!r.onlyKeys(j, path, {"present", "id", "version"}) ||
        !r.boolean(j, path, "present", c.present) || !r.field(j, path, "id", c.id, 0xFF))
        return false;
    auto v = j.find("version");
    if (v == j.end()) return true;
    const std::string vp = Reader::join(path, "version");
    if (!v->is_array() || v->size() != 3) return r.fail(vp, "expected [major, minor, patch]");
    for (size_t i = 0; i < 3; ++i) {
        uint64_t n = 0;
        if (!r.number((*v)[i], vp + "[" + std::to_string(i) + "]", 0xFF, n)) return false;
        c.version[i] = static_cast<uint8_t>(n);
    }
    return true;
}

// The board's USB face: its ids and texts, firmware version, USB generation and link.
bool readIdentity(Reader& r, const json& j, const std::string& path, BoardConfig& b) {
    static constexpr const char* kLinks[] = {"super", "high"};
    if (!r.field(j, path, "vendorId", b.vendorId, 0xFFFF) ||
        !r.field(j, path, "productId", b.productId, 0xFFFF) ||
        !r.field(j, path, "firmware", b.firmware, 0xFFFF) || !r.text(j, path, "serial", b.serial) ||
        !r.text(j, path, "manufacturer", b.manufacturer) ||
        !r.text(j, path, "product", b.product) ||
        !r.optionalField(j, path, "usbVersion", b.usbVersion, 0xFF))
        return false;
    if (!j.contains("link")) return true;
    Link link = Link::Super;
    if (!r.choice(j, path, "link", kLinks, link)) return false;
    b.link = link;
    return true;
}

// "replay": {"usb": FILE, "device": "BUS.ADDRESS"}: a board played from a USB capture takes
// everything from the capture.
bool readUsbReplay(Reader& r, const json& j, const std::string& path, BoardConfig& b) {
    const std::string p = Reader::join(path, "replay");
    const json& replay = j["replay"];
    if (!r.onlyKeys(j, path, {"replay"}) || !r.onlyKeys(replay, p, {"usb", "device"}) ||
        !r.text(replay, p, "usb", b.usbReplay))
        return false;
    if (b.usbReplay.empty()) return r.fail(Reader::join(p, "usb"), "expected a capture file");
    if (!replay.contains("device")) return true;
    std::string device;
    if (!r.text(replay, p, "device", device)) return false;
    b.usbReplayDevice = device;
    return true;
}

// A JSON number of any sign within [lowest, highest].
bool readReal(Reader& r, const json& j, const std::string& path, const char* name, double& out,
              double lowest, double highest) {
    auto it = j.find(name);
    if (it == j.end()) return true;
    const std::string key = Reader::join(path, name);
    if (!it->is_number()) return r.fail(key, "expected a number");
    const double v = it->get<double>();
    if (!std::isfinite(v) || v < lowest || v > highest) {
        char range[64];
        std::snprintf(range, sizeof range, "expected %g .. %g", lowest, highest);
        return r.fail(key, range);
    }
    out = v;
    return true;
}

// "clock": {"offsetUs", "driftPpm", "jitterUs"}.
bool readClock(Reader& r, const json& j, const std::string& path, ClockConfig& c) {
    return r.onlyKeys(j, path, {"offsetUs", "driftPpm", "jitterUs"}) &&
           readReal(r, j, path, "offsetUs", c.offsetUs, -1e9, 1e9) &&
           readReal(r, j, path, "driftPpm", c.driftPpm, -10000, 10000) &&
           readReal(r, j, path, "jitterUs", c.jitterUs, 0, 1e6);
}

// "rig": {"triggerHz"}.
bool readRig(Reader& r, const json& j, const std::string& path, RigConfig& rig) {
    return r.onlyKeys(j, path, {"triggerHz"}) &&
           readReal(r, j, path, "triggerHz", rig.triggerHz, 0, 100000);
}

bool readBoard(Reader& r, const json& j, const std::string& path, BoardConfig& b) {
    if (j.is_object() && j.contains("replay")) return readUsbReplay(r, j, path, b);
    if (!r.onlyKeys(
            j, path,
            {"vendorId", "productId", "usbVersion", "link", "serial", "manufacturer", "product",
             "firmware", "boardController", "sensor", "stream", "scene", "faults", "clock"}) ||
        !readIdentity(r, j, path, b) ||
        !r.section(j, path, "boardController", b.boardController, readBoardController) ||
        !r.section(j, path, "sensor", b.sensor, readSensor) ||
        !r.section(j, path, "stream", b.stream, readStream) ||
        !r.section(j, path, "scene", b.scene, readScene) ||
        !r.section(j, path, "faults", b.faults, readFaults) ||
        !r.section(j, path, "clock", b.clock, readClock))
        return false;
    std::string error;
    if (!validateBoardConfig(b, error)) return r.failWith(path + "." + error);
    return true;
}

// The sample width, the sensor's response and the scene, as a frame can be made of them.
bool validatePicture(const BoardConfig& c, std::string& error) {
    auto fail = [&](const std::string& e) {
        error = e;
        return false;
    };
    const StreamConfig& s = c.stream;
    if (s.pixelBits && (*s.pixelBits < 8 || *s.pixelBits > 8 * s.pixelBytes))
        return fail("stream.pixelBits: expected 8.." + std::to_string(8 * s.pixelBytes) + " with " +
                    std::to_string(s.pixelBytes) + " pixel byte(s)");
    const double white = (1u << pixelBitsOf(s, c.scene.kind)) - 1.0;
    const SensorConfig& m = c.sensor;
    if (!std::isfinite(m.blackLevel) || m.blackLevel < 0 || m.blackLevel >= white)
        return fail("sensor.blackLevel: expected 0 up to below the white level " +
                    std::to_string(static_cast<int>(white)));
    for (double g : m.gains)
        if (!std::isfinite(g) || g < 0 || g > 1e6)
            return fail("sensor.gains: expected numbers from 0 to 1e6");
    for (int row = 0; row < 3; ++row) {
        double sum = 0;
        for (int col = 0; col < 3; ++col) {
            const double v = m.matrix[3 * row + col];
            if (!std::isfinite(v) || std::fabs(v) > 1e6)
                return fail("sensor.matrix: expected finite numbers");
            sum += v;
        }
        // Rows summing to 1 keep white white: the gains alone tint the picture.
        if (std::fabs(sum - 1) > 1e-6)
            return fail("sensor.matrix: row " + std::to_string(row) + " sums to " +
                        std::to_string(sum) + ", not 1");
    }
    if (!std::isfinite(m.readNoise) || m.readNoise < 0 || m.readNoise > white)
        return fail("sensor.readNoise: expected 0 up to the white level");
    if (!std::isfinite(m.fullWell) || m.fullWell < 0 || m.fullWell > 1e12)
        return fail("sensor.fullWell: expected 0 (no shot noise) up to 1e12 electrons");
    if (c.scene.kind == SceneConfig::Kind::Image && !c.scene.image)
        return fail("scene.image: no picture loaded");
    return true;
}

bool asciiText(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

}  // namespace

uint8_t usbGeneration(const BoardConfig& c) {
    if (c.usbVersion) return *c.usbVersion;
    return isUsb2Product(c.productId) ? 2 : 3;
}

Link linkOf(const BoardConfig& c) {
    if (c.link) return *c.link;
    return usbGeneration(c) == 3 ? Link::Super : Link::High;
}

bool usesTrailerFraming(const BoardConfig& c) {
    return usbGeneration(c) == 2 || c.productId == 0x03F2;
}

uint8_t pixelBitsOf(const StreamConfig& s, SceneConfig::Kind scene) {
    if (s.pixelBits) return *s.pixelBits;
    // The bars kept their 10-bit levels in two bytes from before sample widths could be chosen.
    if (scene == SceneConfig::Kind::Bars && s.pixelBytes == 2) return 10;
    return static_cast<uint8_t>(8 * s.pixelBytes);
}

std::string_view formatName(PixelFormat format) {
    return kPixelFormatNames[static_cast<int>(format)];
}

bool validateBoardConfig(const BoardConfig& c, std::string& error) {
    auto fail = [&](const std::string& e) {
        error = e;
        return false;
    };
    if (c.usbVersion && *c.usbVersion != 2 && *c.usbVersion != 3)
        return fail("usbVersion: expected 2 or 3");
    if (usbGeneration(c) == 2 && linkOf(c) == Link::Super)
        return fail("link: a USB 2 board cannot run at SuperSpeed");
    if (c.serial.size() > 16) return fail("serial: at most 16 characters");
    if (!asciiText(c.serial)) return fail("serial: printable ASCII only");
    if (!asciiText(c.manufacturer) || c.manufacturer.size() > 126)
        return fail("manufacturer: at most 126 printable ASCII characters");
    if (!asciiText(c.product) || c.product.size() > 126)
        return fail("product: at most 126 printable ASCII characters");
    if (c.boardController.present && c.sensor.i2cAddress == 0x46)
        return fail("sensor.i2cAddress: 0x46 is the board controller's address");
    const StreamConfig& s = c.stream;
    if (s.width < 1 || s.width > 16384) return fail("stream.width: expected 1..16384");
    if (s.height < 1 || s.height > 16384) return fail("stream.height: expected 1..16384");
    if (s.pixelBytes != 1 && s.pixelBytes != 2) return fail("stream.pixelBytes: expected 1 or 2");
    if (static_cast<int>(s.format) > static_cast<int>(PixelFormat::MonD))
        return fail("stream.format: unknown format");
    if (!std::isfinite(s.fps) || s.fps < 0 || s.fps > 100000)
        return fail("stream.fps: expected 0 (as fast as read) up to 100000");
    // A JPEG's first bytes are its start marker: a stamp over them leaves no picture.
    if (s.stamp && s.format == PixelFormat::Jpg) return fail("stream.stamp: not with JPG frames");
    return validatePicture(c, error);
}

namespace {

// Builds the document like json::parse, and keeps the path of the value being read so that a
// number the parser refuses (1e400 overflows a double) is reported under its key.
class PathKeepingParser {
  public:
    explicit PathKeepingParser(json& doc) : dom_(doc, false) {}

    bool null() { return value() && dom_.null(); }
    bool boolean(bool v) { return value() && dom_.boolean(v); }
    bool number_integer(json::number_integer_t v) { return value() && dom_.number_integer(v); }
    bool number_unsigned(json::number_unsigned_t v) { return value() && dom_.number_unsigned(v); }
    bool number_float(json::number_float_t v, const json::string_t& s) {
        return value() && dom_.number_float(v, s);
    }
    bool string(json::string_t& v) { return value() && dom_.string(v); }
    bool binary(json::binary_t& v) { return value() && dom_.binary(v); }
    bool start_object(std::size_t n) { return open(false) && dom_.start_object(n); }
    bool key(json::string_t& k) {
        path_.back().key = k;
        return dom_.key(k);
    }
    bool end_object() { return close() && dom_.end_object(); }
    bool start_array(std::size_t n) { return open(true) && dom_.start_array(n); }
    bool end_array() { return close() && dom_.end_array(); }

    template <class Exception>
    bool parse_error(std::size_t position, const std::string& token, const Exception& e) {
        if (e.id != 406) {  // out_of_range.406: a number too large for a double
            error = "not valid JSON (error at byte " + std::to_string(position) + ")";
            return false;
        }
        // The refused number never became a value, so in the innermost array it is the element
        // after those counted; outer levels hold the element being read.
        std::string where;
        for (size_t i = 0; i < path_.size(); ++i) {
            const Level& l = path_[i];
            if (l.array)
                where += "[" + std::to_string(i + 1 == path_.size() ? l.count : l.count - 1) + "]";
            else
                where += (where.empty() ? "" : ".") + l.key;
        }
        error = (where.empty() ? "document" : where) + ": number out of range (" + token + ")";
        return false;
    }

    std::string error;

  private:
    struct Level {
        bool array;
        size_t count = 0;  // elements begun, in an array
        std::string key;   // being read, in an object
    };
    // A value begins: in an array it is the next element.
    bool value() {
        if (!path_.empty() && path_.back().array) ++path_.back().count;
        return true;
    }
    bool open(bool array) {
        value();
        path_.push_back({array, 0, {}});
        return true;
    }
    bool close() {
        path_.pop_back();
        return true;
    }
    nlohmann::detail::json_sax_dom_parser<json> dom_;
    std::vector<Level> path_;
};

}  // namespace

bool parseJsonDocument(std::string_view text, json& doc, std::string& error) {
    try {
        PathKeepingParser parser(doc);
        if (json::sax_parse(text.begin(), text.end(), &parser)) return true;
        error = parser.error.empty() ? "not valid JSON" : parser.error;
    } catch (const json::exception& e) {
        error = std::string("not valid JSON (") + e.what() + ")";
    } catch (const std::bad_alloc&) {
        error = "too large to read";
    }
    doc = json();
    return false;
}

bool parseBoardsJson(std::string_view text, std::vector<BoardConfig>& boards, std::string& error) {
    RigConfig rig;
    return parseBoardsJson(text, boards, rig, error);
}

bool parseBoardsJson(std::string_view text, std::vector<BoardConfig>& boards, RigConfig& rig,
                     std::string& error) {
    json doc;
    if (!parseJsonDocument(text, doc, error)) {
        if (error.rfind("not valid JSON", 0) == 0) error = "document: " + error;
        return false;
    }
    Reader r(error);
    if (!r.onlyKeys(doc, "", {"boards", "rig"})) return false;
    RigConfig parsedRig;
    if (!r.section(doc, "", "rig", parsedRig, readRig)) return false;
    auto list = doc.find("boards");
    if (list == doc.end()) return r.fail("boards", "missing");
    if (!list->is_array()) return r.fail("boards", "expected an array");
    std::vector<BoardConfig> parsed;
    for (size_t i = 0; i < list->size(); ++i) {
        BoardConfig b;
        char serial[32];
        std::snprintf(serial, sizeof serial, "VEXO-VIRTUAL-%03zu", i % 1000);
        b.serial = serial;
        if (!readBoard(r, (*list)[i], "boards[" + std::to_string(i) + "]", b)) return false;
        parsed.push_back(std::move(b));
    }
    boards = std::move(parsed);
    rig = parsedRig;
    return true;
}

}  // namespace vexo::driver::virt
