#include "preview/sync_composer.h"

#include <algorithm>
#include <cstring>
#include <vexo/vexo.hpp>

namespace vexo::tools::preview {

namespace {

SyncTrigger triggerOf(const std::string& name) {
    for (SyncTrigger t : {SyncTrigger::Software, SyncTrigger::External, SyncTrigger::FreeRun})
        if (name == syncTriggerName(t)) return t;
    throw SessionError("--trigger: expected soft, external or free, not \"" + name + "\"");
}

constexpr uint8_t kMissing = 40;  // the grey of a board missing from a set

}  // namespace

SyncComposer::SyncComposer(const SyncPreviewOptions& options, const CameraFile& file, FrameHub& hub)
    : file_(file), hub_(hub), trigger_(triggerOf(options.trigger)), rateHz_(options.rateHz) {
    if (file.config.emImageFmtMode == FORMAT_MODE_JPG)
        throw SessionError("--sync shows RAW, MON, RGB and YUV boards side by side, not JPEG");
    if (options.toleranceUs > 0 && options.toleranceUs * 2e-6 * options.rateHz >= 1)
        throw SessionError("--tolerance-us must be less than half the period (1 / --rate)");
    SyncOptions sync;
    sync.trigger = trigger_;
    sync.rateHz = options.rateHz;
    sync.toleranceUs = options.toleranceUs;
    sync.config = file.config;
    sync.setup = [this](CameraHandle handle) {
        StartupFailure failure;
        if (!runStartup(handle, file_, failure)) throw Error(failure.status, failure.step);
    };
    for (const BoardEntry& entry : scanBoards(true)) {
        const bool wanted = options.all || std::find(options.serials.begin(), options.serials.end(),
                                                     entry.serial) != options.serials.end();
        if (wanted && !entry.serial.empty() &&
            std::find(sync.serials.begin(), sync.serials.end(), entry.serial) == sync.serials.end())
            sync.serials.push_back(entry.serial);
    }
    for (const std::string& serial : options.serials)
        if (std::find(sync.serials.begin(), sync.serials.end(), serial) == sync.serials.end())
            throw SessionError("no board with serial \"" + serial + "\" (see vexo scan)");
    if (sync.serials.empty()) throw SessionError("no board with a serial text to show");
    if (sync.serials.size() > 64) throw SessionError("--sync shows at most 64 boards");
    // Left to right in the order the command line gives them.
    if (!options.all) sync.serials = options.serials;
    try {
        group_.emplace(sync);
    } catch (const Error& e) {
        throw SessionError(e.what());
    }
    format_ = frameFormatOf(file.config, file.bayer);
    format_.wideRgb = false;
    format_.wideGrey = false;  // every picture 8 bits: grey is spread over R, G and B
    converter_.emplace(format_);
    const size_t width = size_t{converter_->imageWidth()} * group_->serials().size();
    wide_.assign(width * converter_->imageHeight() * 3, kMissing);
}

SyncComposer::~SyncComposer() {
    stop();
}

void SyncComposer::start() {
    group_->start();
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void SyncComposer::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    thread_.join();
    group_->stop();
}

void SyncComposer::run() {
    while (!stopping_.load(std::memory_order_relaxed)) {
        std::optional<SyncSet> set = group_->next(std::chrono::milliseconds(100));
        if (set) compose(*set);  // the set's slots go back to the group here
    }
}

void SyncComposer::compose(const SyncSet& set) {
    const auto arrived = SteadyClock::now();
    const size_t boards = group_->serials().size();
    const uint32_t w = converter_->imageWidth(), h = converter_->imageHeight();
    const size_t rowBytes = size_t{w} * boards * 3;
    EncodedFrame& out = hub_.beginFrame();
    out.sync = SyncReport{};
    out.sync.used = true;
    out.sync.set = set.index();
    out.sync.complete = set.complete();
    out.sync.skewUs = set.skewUs();
    for (size_t b = 0; b < boards; ++b) {
        const SyncFrame* frame = set.frame(b);
        ImageView view;
        const bool shown = frame && converter_->convert(frame->bytes, view) && view.width == w &&
                           view.height == h &&
                           (view.layout == PixelLayout::Rgb8 || view.layout == PixelLayout::Gray8);
        for (uint32_t y = 0; y < h; ++y) {
            uint8_t* to = wide_.data() + y * rowBytes + b * w * 3;
            if (!shown) {
                std::memset(to, kMissing, size_t{w} * 3);
            } else if (view.layout == PixelLayout::Rgb8) {
                std::memcpy(to, view.pixels.data() + size_t{y} * w * 3, size_t{w} * 3);
            } else {
                const uint8_t* from = view.pixels.data() + size_t{y} * w;
                for (uint32_t x = 0; x < w; ++x)
                    to[3 * x] = to[3 * x + 1] = to[3 * x + 2] = from[x];
            }
        }
        if (shown) out.sync.present |= uint64_t{1} << b;
        if (shown && !out.meta.boardTime) out.meta.boardTime = frame->time;
    }
    ImageView picture;
    picture.width = static_cast<uint32_t>(w * boards);
    picture.height = h;
    picture.layout = PixelLayout::Rgb8;
    picture.pixels = wide_;
    if (!writer_.encode(picture, out.jpeg, out.jpegSize)) return;
    countHistogram(picture, out);
    out.meta.number = set.index() + 1;
    out.meta.cfg = file_.config;
    out.meta.cfg.u32Width = picture.width;
    out.meta.queuedAt = arrived;
    out.rawSize = 0;  // no one board's bytes: snapshots are a single board's
    out.bayer = file_.bayer;
    out.encodedAt = SteadyClock::now();
    hub_.publish();
    published_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace vexo::tools::preview
