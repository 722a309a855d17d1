#include "preview/frame_encoder.h"

#include <turbojpeg.h>

#include <cstring>
#include <vexo/image_files.hpp>

namespace vexo::tools::preview {

JpegWriter::JpegWriter(int quality) : compressor_(tjInitCompress()), quality_(quality) {}

JpegWriter::~JpegWriter() {
    if (compressor_) tjDestroy(compressor_);
}

bool JpegWriter::encode(const ImageView& image, std::vector<uint8_t>& out, size_t& size) {
    if (!compressor_ || image.width == 0 || image.height == 0) return false;
    const uint8_t* pixels = image.pixels.data();
    int format = TJPF_RGB, subsampling = TJSAMP_420;
    if (image.layout == PixelLayout::Gray8 || image.layout == PixelLayout::Gray16) {
        format = TJPF_GRAY;
        subsampling = TJSAMP_GRAY;
    }
    if (image.layout == PixelLayout::Gray16 || image.layout == PixelLayout::Rgb16) {
        const size_t n =
            size_t{image.width} * image.height * (image.layout == PixelLayout::Rgb16 ? 3 : 1);
        if (narrowed_.size() < n) narrowed_.resize(n);
        for (size_t i = 0; i < n; ++i) narrowed_[i] = image.pixels[2 * i];  // big-endian: high byte
        pixels = narrowed_.data();
    }
    const unsigned long room =
        tjBufSize(static_cast<int>(image.width), static_cast<int>(image.height), subsampling);
    if (out.size() < room) out.resize(room);
    unsigned char* dest = out.data();
    unsigned long length = room;
    const int rc = tjCompress2(compressor_, pixels, static_cast<int>(image.width), 0,
                               static_cast<int>(image.height), format, &dest, &length, subsampling,
                               quality_, TJFLAG_NOREALLOC | TJFLAG_FASTDCT);
    if (rc != 0) return false;
    size = length;
    return true;
}

void countHistogram(const ImageView& image, EncodedFrame& frame) {
    for (auto& channel : frame.histogram) channel.fill(0);
    const size_t n = size_t{image.width} * image.height;
    const uint8_t* p = image.pixels.data();
    switch (image.layout) {
        case PixelLayout::Rgb8: {
            frame.channels = 3;
            auto& r = frame.histogram[0];
            auto& g = frame.histogram[1];
            auto& b = frame.histogram[2];
            for (size_t i = 0; i < n; ++i, p += 3) {
                ++r[p[0]];
                ++g[p[1]];
                ++b[p[2]];
            }
            break;
        }
        case PixelLayout::Rgb16: {
            frame.channels = 3;
            for (size_t i = 0; i < n; ++i, p += 6) {
                ++frame.histogram[0][p[0]];
                ++frame.histogram[1][p[2]];
                ++frame.histogram[2][p[4]];
            }
            break;
        }
        case PixelLayout::Gray8:
            frame.channels = 1;
            for (size_t i = 0; i < n; ++i) ++frame.histogram[0][p[i]];
            break;
        case PixelLayout::Gray16:
            frame.channels = 1;
            for (size_t i = 0; i < n; ++i) ++frame.histogram[0][p[2 * i]];
            break;
    }
}

FrameEncoder::FrameEncoder(RawExchange& raw, FrameHub& hub, RawMode bayer,
                           std::optional<ColourSettings> colour, CaptureWorker* capture)
    : raw_(raw),
      hub_(hub),
      bayer_(bayer),
      decompressor_(tjInitDecompress()),
      colour_(std::move(colour)),
      capture_(capture) {}

FrameEncoder::~FrameEncoder() {
    stop();
    if (decompressor_) tjDestroy(decompressor_);
}

void FrameEncoder::setPaused(bool paused) {
    std::lock_guard lock(pauseMutex_);
    paused_.store(paused);
}

void FrameEncoder::start() {
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void FrameEncoder::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    raw_.sequence().fetch_add(1);
    raw_.sequence().notify_all();
    thread_.join();
}

void FrameEncoder::run() {
    uint32_t seen = raw_.sequence().load(std::memory_order_acquire);
    while (!stopping_.load()) {
        raw_.sequence().wait(seen, std::memory_order_acquire);
        seen = raw_.sequence().load(std::memory_order_acquire);
        if (stopping_.load()) break;
        if (paused_.load(std::memory_order_relaxed)) continue;
        if (const RawSlot* slot = raw_.takeFresh()) encode(*slot);
    }
}

bool FrameEncoder::passJpeg(const RawSlot& slot, EncodedFrame& out) {
    const std::span<const uint8_t> bytes(slot.bytes.data(), slot.size);
    const size_t length = jpegLength(bytes);
    if (out.jpeg.size() < length) out.jpeg.resize(length);
    std::memcpy(out.jpeg.data(), bytes.data(), length);
    out.jpegSize = length;

    // The histogram of a JPEG frame is counted on an eighth-size decode: the board's frame
    // stays as it came, and the count costs little.
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (!decompressor_ || tjDecompressHeader3(decompressor_, bytes.data(), length, &width, &height,
                                              &subsampling, &colourspace) != 0)
        return false;
    const tjscalingfactor eighth{1, 8};
    const int w = TJSCALED(width, eighth), h = TJSCALED(height, eighth);
    const size_t n = size_t(w) * size_t(h) * 3;
    if (small_.size() < n) small_.resize(n);
    if (tjDecompress2(decompressor_, bytes.data(), length, small_.data(), w, 0, h, TJPF_RGB,
                      TJFLAG_FASTDCT) != 0)
        return false;
    ImageView view;
    view.width = static_cast<uint32_t>(w);
    view.height = static_cast<uint32_t>(h);
    view.layout = PixelLayout::Rgb8;
    view.pixels = {small_.data(), n};
    countHistogram(view, out);
    return true;
}

bool FrameEncoder::throughIsp(const RawSlot& slot, const FrameFormat& format, EncodedFrame& out) {
    MutexLock lock(ispMutex_);
    if (!isp_ || slot.meta.boardGeneration != generation_ || format.width != ispFormat_.width ||
        format.height != ispFormat_.height || format.pixelBytes != ispFormat_.pixelBytes ||
        format.pixelBits != ispFormat_.pixelBits || format.format != ispFormat_.format) {
        // A new board or format: the only time the ISP's tables and buffers are made.
        isp_.emplace(format, *colour_);
        ispFormat_ = format;
        generation_ = slot.meta.boardGeneration;
        if (isp_->processes())
            ispPixels_.assign(size_t{isp_->width()} * isp_->height() * (isp_->mono() ? 1 : 3), 0);
    }
    if (!isp_->processes()) return false;  // a short frame or pixel size the ISP does not take
    IspTarget target;
    target.data = ispPixels_.data();
    target.bytes = ispPixels_.size();
    target.layout = isp_->mono() ? IspLayout::Gray8 : IspLayout::Rgb8;
    target.stride = size_t{isp_->width()} * ispPixelBytes(target.layout);
    if (!isp_->process({slot.bytes.data(), slot.size}, target)) return false;
    ImageView view;
    view.width = isp_->width();
    view.height = isp_->height();
    view.layout = isp_->mono() ? PixelLayout::Gray8 : PixelLayout::Rgb8;
    view.pixels = ispPixels_;
    if (!writer_.encode(view, out.jpeg, out.jpegSize)) return false;
    countHistogram(view, out);

    out.isp.used = true;
    const AutoExposureState& ae = isp_->autoExposure();
    out.isp.autoWhiteBalance = colour_->autoWhiteBalance && !isp_->mono();
    out.isp.gains = isp_->whiteBalanceGains();
    out.isp.level = ae.level;
    out.isp.target = ae.target;
    out.isp.autoExposure = colour_->autoExposure && capture_;
    out.isp.settled = ae.settled;
    out.isp.exposure = ae.exposure;
    out.isp.analogueGain = ae.analogueGain;
    out.isp.adjustments = ae.adjustments;

    // One step at a time: the next is queued only once the capture thread took this one.
    if (out.isp.autoExposure && !exposureStepQueued_.exchange(true)) {
        capture_->post([this](CameraHandle) {
            if (ispMutex_.try_lock()) {
                MutexLock held(ispMutex_, std::adopt_lock);
                if (isp_) isp_->autoExposureStep(capture_->controls());
            }
            exposureStepQueued_.store(false);
        });
    }
    return true;
}

void FrameEncoder::encode(const RawSlot& slot) {
    const CameraConfig& cfg = slot.meta.cfg;
    const FrameFormat format = frameFormatOf(cfg, bayer_);
    const bool jpeg = cfg.emImageFmtMode == FORMAT_MODE_JPG;
    const bool isp =
        colour_ && !jpeg &&
        (cfg.emImageFmtMode == FORMAT_MODE_RAW || cfg.emImageFmtMode == FORMAT_MODE_RAW_D ||
         cfg.emImageFmtMode == FORMAT_MODE_MON || cfg.emImageFmtMode == FORMAT_MODE_MON_D);
    if (!jpeg && !isp &&
        (!converter_ || slot.meta.boardGeneration != generation_ || format.width != format_.width ||
         format.height != format_.height || format.pixelBytes != format_.pixelBytes ||
         format.pixelBits != format_.pixelBits || format.format != format_.format)) {
        converter_.emplace(format);  // a new board or format: the only time buffers are made
        format_ = format;
        generation_ = slot.meta.boardGeneration;
    }

    EncodedFrame& out = hub_.beginFrame();
    out.meta = slot.meta;
    out.bayer = bayer_;
    if (out.raw.size() < slot.size) out.raw.resize(slot.size);
    std::memcpy(out.raw.data(), slot.bytes.data(), slot.size);
    out.rawSize = slot.size;

    bool ok;
    out.isp = IspReport{};
    if (jpeg) {
        ok = passJpeg(slot, out);
    } else if (isp) {
        ok = throughIsp(slot, format, out);
    } else {
        ImageView view;
        ok = converter_->convert({slot.bytes.data(), slot.size}, view) &&
             writer_.encode(view, out.jpeg, out.jpegSize);
        if (ok) countHistogram(view, out);
    }
    if (!ok) {
        failed_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    out.encodedAt = SteadyClock::now();
    std::lock_guard lock(pauseMutex_);
    if (paused_.load()) return;  // paused while this frame was encoded: it is not shown
    hub_.publish();
    encoded_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace vexo::tools::preview
