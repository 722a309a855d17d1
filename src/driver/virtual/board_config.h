// Configuration of a virtual camera board, and its public JSON form.
//
// A default-constructed BoardConfig is a working USB 3 board: vendor 0x52CB, product 0x03F1
// (chunk-header framing), SuperSpeed link, firmware 0x0320, a board controller with id 35 and
// version 21.6.6, a sensor at I2C address 0x20, and a 640x480 RAW stream with one pixel byte
// sent as fast as it is read. docs/virtual-boards.md describes every key of the JSON form.
//
// Threading: plain values; parseBoardsJson() and validateBoardConfig() are reentrant.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::driver::virt {

/// Pixel formats of the stream, named as the camera's format modes.
enum class PixelFormat : uint8_t { Raw, Mon, Rgb, Yuv, Jpg, RawD, MonD };

/// Colour of the top-left pixel pair of a RAW mosaic.
enum class BayerOrder : uint8_t { RGGB, GRBG, GBRG, BGGR };

/// The formats and Bayer orders as the JSON forms (boards, recordings) name them, in the
/// order of the enumerations.
inline constexpr const char* kPixelFormatNames[] = {"RAW", "MON",   "RGB",  "YUV",
                                                    "JPG", "RAW_D", "MON_D"};
inline constexpr const char* kBayerOrderNames[] = {"RGGB", "GRBG", "GBRG", "BGGR"};

/// Speed the board's link runs at.
enum class Link : uint8_t { Super, High };

/// What an injected fault does; see FaultConfig.
enum class BoardFault : uint8_t {
    Stall,          ///< no bytes before frame atFrame for `ms` (0: until the fault is cleared)
    ShortFrame,     ///< frames lose their last `bytes` bytes
    LongFrame,      ///< frames carry `bytes` extra bytes
    SkipIndex,      ///< the frame index jumps one further than it should
    RepeatIndex,    ///< the frame repeats the previous frame's index (chunk framing: toggle)
    Discard,        ///< trailer byte 11 set: the host throws the frame away
    CorruptHeader,  ///< first chunk header (or trailer marker) of the frame is damaged
    ControlFail,    ///< vendor requests are stalled
    Unplug,         ///< the board disappears when frame atFrame would start
    Replug,         ///< the board leaves the bus at frame atFrame and returns after `ms`
};

struct FaultConfig {
    BoardFault kind = BoardFault::Stall;
    uint32_t atFrame = 0;  ///< first frame number touched (0 = the first frame)
    /// Frames touched from atFrame on; for ControlFail the number of failing requests; for
    /// Replug the number of times the board leaves and returns. 0 = every one from then on.
    uint32_t count = 1;
    std::optional<uint8_t> request;  ///< ControlFail: the failing code; none = any vendor code
    uint32_t bytes = 1;              ///< ShortFrame / LongFrame: bytes missing or added
    uint32_t ms = 0;                 ///< Stall: how long (0 = for ever); Replug: time off the bus
};

struct Recording;

struct StreamConfig {
    uint32_t width = 640;    ///< 1..16384
    uint32_t height = 480;   ///< 1..16384
    uint8_t pixelBytes = 1;  ///< 1 or 2
    PixelFormat format = PixelFormat::Raw;
    BayerOrder bayer = BayerOrder::RGGB;
    double fps = 0;  ///< 0: every read completes as soon as it is offered
    /// Frames played back from a recording instead of the picture (replay_source.h); the
    /// recording sets the size and format above.
    std::shared_ptr<const Recording> replay;
    bool replayLoop = false;  ///< start the recording again after its last frame
    bool replayPaced = true;  ///< send frames at their recorded times (false: as fast as read)
    /// Writes over the frame's first 4 bytes, little-endian, the index of the trigger that
    /// exposed it (of the frame, when free-running): the truth a test matches frames against.
    bool stamp = false;
    /// Significant bits of a RAW or MON sample, 8..8 x pixelBytes; none: 8 x pixelBytes (the
    /// bars scene: 8, or 10 with two pixel bytes). The white level is 2^bits - 1.
    std::optional<uint8_t> pixelBits;
};

struct SceneImage;

/// What the sensor looks at.
struct SceneConfig {
    enum class Kind : uint8_t {
        Bars,   ///< colour bars over a grey ramp, drawn straight as sample levels
        Chart,  ///< the 24-patch colour chart in 6 x 4 equal patches
        Image,  ///< an 8-bit sRGB picture scaled to the frame
    };
    Kind kind = Kind::Bars;
    /// Kind::Image: the picture (loadSceneImage(), scene.h); the JSON form loads it.
    std::shared_ptr<const SceneImage> image;
    /// The moving marker and the frame number; none: shown for bars only.
    std::optional<bool> marker, frameNumber;
};

/// The board's own clock against the host's (board_clock.h).
struct ClockConfig {
    double offsetUs = 0;  ///< the board clock runs this far from the host time it was set to
    double driftPpm = 0;  ///< its oscillator's rate error: +100 gains 100 us a second
    double jitterUs = 0;  ///< time stamps scatter evenly within +- this
};

/// What the boards of one document share.
struct RigConfig {
    /// Pulses a second on the trigger line wired to every board's external-trigger input;
    /// 0: no line.
    double triggerHz = 0;
};

struct BoardControllerConfig {
    bool present = true;
    uint8_t id = 35;  ///< register 0; the version registers count only from 35 on
    std::array<uint8_t, 3> version{21, 6, 6};
};

struct SensorConfig {
    uint8_t i2cAddress = 0x20;
    std::map<uint16_t, uint32_t> registers;  ///< preset register values
    // How the scene becomes raw samples (RAW and MON formats): sRGB to linear light, camera
    // RGB = matrix x linear, times gains, times exposure and analogue gain, plus blackLevel,
    // shot and read noise, clipped to the white level.
    double blackLevel = 0;                                    ///< raw codes added to every sample
    std::array<double, 3> gains{1, 1, 1};                     ///< R, G, B: the illuminant
    std::array<double, 9> matrix{1, 0, 0, 0, 1, 0, 0, 0, 1};  ///< row-major; rows sum to 1
    double readNoise = 0;                                     ///< standard deviation in raw codes
    /// Electrons at the white level at 1x gain, for shot noise; 0: no shot noise.
    double fullWell = 0;
    uint64_t seed = 0;  ///< the noise of frame N follows from seed and N alone
};

struct BoardConfig {
    uint16_t vendorId = 0x52CB;
    uint16_t productId = 0x03F1;
    /// 2 or 3; none: 2 for the USB 2 products 0x52CB and 0x02F1, else 3.
    std::optional<uint8_t> usbVersion;
    /// none: SuperSpeed for a USB 3 board, high speed for a USB 2 board.
    std::optional<Link> link;
    std::string serial = "VEXO-VIRTUAL-000";  ///< at most 16 bytes
    std::string manufacturer = "Vexo";
    std::string product = "Vexo Virtual Camera Board";
    uint16_t firmware = 0x0320;  ///< reply to request 0x80: major in the high byte
    BoardControllerConfig boardController;
    SensorConfig sensor;
    StreamConfig stream;
    SceneConfig scene;
    std::vector<FaultConfig> faults;
    ClockConfig clock;
    /// A board played back from a USB capture (usb_capture_replay.h) instead of the model:
    /// the capture file, and the device in it ("BUS.ADDRESS"; none: the one that sent data).
    /// Every other field is then unused.
    std::string usbReplay;
    std::optional<std::string> usbReplayDevice;
};

/// USB generation the board is built as (2 or 3).
uint8_t usbGeneration(const BoardConfig& config);
/// The link the board sits on.
Link linkOf(const BoardConfig& config);
/// True when the board streams in the trailer-marked framing (USB 2 boards and product
/// 0x03F2), false for the chunk-header framing.
bool usesTrailerFraming(const BoardConfig& config);

/// Checks the values a JSON document cannot rule out by its types alone (sizes, serial length,
/// address clashes). On failure `error` names the key, for instance "stream.width: ...".
bool validateBoardConfig(const BoardConfig& config, std::string& error);

/// Parses a {"boards": [...]} document. On failure returns false, leaves `boards` untouched and
/// puts one line into `error` that names the offending key (e.g. "boards[1].stream.fps: ...").
/// Boards without a "serial" are numbered by their position: VEXO-VIRTUAL-000, -001, ...
bool parseBoardsJson(std::string_view text, std::vector<BoardConfig>& boards, std::string& error);
/// The same, with the document's "rig" (a default RigConfig when it has none).
bool parseBoardsJson(std::string_view text, std::vector<BoardConfig>& boards, RigConfig& rig,
                     std::string& error);

/// Significant bits of the stream's RAW and MON samples for `scene` (see pixelBits).
uint8_t pixelBitsOf(const StreamConfig& stream, SceneConfig::Kind scene);

/// Name of a format as the JSON form writes it ("RAW", "JPG", ...).
std::string_view formatName(PixelFormat format);

}  // namespace vexo::driver::virt
