#include <vexo/status.h>

#include <cstdio>
#include <vexo/capture_stats.hpp>

namespace vexo {

namespace {

// Codes that mean a frame was lost, as opposed to a failed call.
bool dropsFrame(uint32_t code) {
    return code == USB_CAMERA_DATA_LEN_ERROR || code == USB_CAMERA_DATA_LACK_ERROR ||
           code == USB_CAMERA_FRAME_INDEX_ERROR;
}

}  // namespace

void CaptureStats::start() {
    *this = CaptureStats{};
    start_ = lastProgress_ = Clock::now();
}

void CaptureStats::addCaptureResult(uint32_t result) {
    if (result <= 0xFF) {
        completed_ += result;
    } else if (result >= kFirstCode && result < kFirstCode + kCodes) {
        ++errors_[result - kFirstCode];
    } else {
        ++otherErrors_;
    }
}

void CaptureStats::addFrame(uint32_t bytes) {
    ++frames_;
    bytes_ += bytes;
}

uint64_t CaptureStats::errors() const {
    uint64_t n = otherErrors_;
    for (uint64_t e : errors_) n += e;
    return n;
}

uint64_t CaptureStats::errorCount(uint32_t status) const {
    if (status < kFirstCode || status >= kFirstCode + kCodes) return 0;
    return errors_[status - kFirstCode];
}

uint32_t CaptureStats::commonestError() const {
    uint32_t code = 0;
    uint64_t most = 0;
    for (size_t i = 0; i < kCodes; ++i) {
        if (errors_[i] > most) {
            most = errors_[i];
            code = static_cast<uint32_t>(kFirstCode + i);
        }
    }
    return code;
}

double CaptureStats::seconds() const {
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

double CaptureStats::fps() const {
    const double s = seconds();
    return s > 0 ? static_cast<double>(frames_) / s : 0;
}

double CaptureStats::megabytesPerSecond() const {
    const double s = seconds();
    return s > 0 ? static_cast<double>(bytes_) / 1e6 / s : 0;
}

bool CaptureStats::progressDue() {
    const Clock::time_point now = Clock::now();
    if (now - lastProgress_ < std::chrono::seconds(1)) return false;
    lastProgress_ = now;
    return true;
}

std::string CaptureStats::progressLine() const {
    char text[96];
    std::snprintf(text, sizeof(text), "frames %llu  %.1f fps  %.1f MB/s  ",
                  static_cast<unsigned long long>(frames_), fps(), megabytesPerSecond());
    return text + errorList();
}

std::string CaptureStats::errorList() const {
    std::string list;
    for (size_t i = 0; i < kCodes; ++i) {
        if (!errors_[i]) continue;
        const char* name = vexoStatusName(static_cast<uint32_t>(kFirstCode + i));
        list += list.empty() ? "" : ", ";
        list += name ? name : std::to_string(kFirstCode + i);
        list += " " + std::to_string(errors_[i]);
    }
    if (otherErrors_)
        list += (list.empty() ? "unexpected results " : ", unexpected results ") +
                std::to_string(otherErrors_);
    return "errors: " + (list.empty() ? std::string("none") : list);
}

std::string CaptureStats::dropList() const {
    std::string list;
    if (queueDrops()) list = "queue full " + std::to_string(queueDrops());
    for (size_t i = 0; i < kCodes; ++i) {
        const uint32_t code = static_cast<uint32_t>(kFirstCode + i);
        if (!errors_[i] || !dropsFrame(code)) continue;
        list += list.empty() ? "" : ", ";
        list += std::string(vexoStatusName(code)) + " " + std::to_string(errors_[i]);
    }
    return "drops: " + (list.empty() ? std::string("none") : list);
}

}  // namespace vexo
