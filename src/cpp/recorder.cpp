#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vexo/output_directory.hpp>
#include <vexo/recorder.hpp>

namespace vexo {

namespace {

constexpr size_t kNameRoom = 40;  // "frame_18446744073709551615.dng" and its terminator fit

std::string_view statusOf(const FrameLayout& layout, uint32_t size) {
    if (!layout.exact || size == layout.bytes) return "whole";
    return size < layout.bytes ? "short" : "long";
}

}  // namespace

Recorder::Recorder(const std::string& directory, const RecordingHeader& header,
                   const RecorderOptions& options)
    : header_(header),
      rawFiles_(options.rawFiles),
      colour_(options.colour),
      files_(options.directIo),
      directIo_(options.directIo) {
    directory_ = createOutputDirectory(directory);
    camera_ = "Vexo " + (header.serial.empty() ? std::string("camera") : header.serial);
    manifest_ = std::make_unique<ManifestWriter>(directory_ + "/manifest.json", header);

    layout_ = header.layout.layout();
    // A slot holds whatever the library's own frame slot holds, short and long frames too.
    slotBytes_ = options.slotBytes ? options.slotBytes : layout_.slotBytes;
    const size_t image = frameOffsetInFile(FileKind::Dng) + slotBytes_ + kFileImageRoom;
    imageBytes_ = (image + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment;
    const size_t count = std::max<size_t>(options.queueFrames, 1);
    slots_.resize(count);
    for (Slot& s : slots_) {
        s.image.reset(static_cast<uint8_t*>(std::aligned_alloc(kDirectAlignment, imageBytes_)));
        if (!s.image) throw std::bad_alloc();
    }
    free_.resize(count);
    queue_.resize(count);
    for (size_t i = 0; i < count; ++i) free_[i] = i;
    freeCount_ = count;

    path_ = directory_ + "/";
    nameOffset_ = path_.size();
    path_.reserve(nameOffset_ + kNameRoom);
    writer_ = std::thread([this] { writerLoop(); });
}

void Recorder::FreeBytes::operator()(uint8_t* p) const {
    std::free(p);
}

Recorder::~Recorder() {
    if (!finished_) finish();
}

std::string Recorder::fileName(uint64_t number, FileKind kind) {
    char name[kNameRoom];
    std::snprintf(name, sizeof name, "frame_%06llu.%s", static_cast<unsigned long long>(number),
                  fileExtension(kind).data());
    return name;
}

FileKind Recorder::fileKind(uint32_t size) const {
    const FileKind kind = fileKindFor(header_.layout, size);
    return rawFiles_ && kind != FileKind::Jpeg ? FileKind::Raw : kind;
}

std::string_view Recorder::frameStatus(uint32_t size) const {
    return statusOf(layout_, size);
}

bool Recorder::offer(const FrameData& frame) {
    const uint64_t number = offered_++;
    size_t slot = 0;
    {
        std::lock_guard lock(mutex_);
        if (freeCount_ == 0 || failedFlag_ || frame.cfg.u32Size > slotBytes_ ||
            (frame.cfg.u32Size && !frame.imageData)) {
            ++dropped_;
            return false;
        }
        slot = free_[--freeCount_];
    }
    // The slot is the capture thread's alone until it is queued: copied without the lock.
    Slot& s = slots_[slot];
    s.kind = fileKind(frame.cfg.u32Size);
    if (frame.cfg.u32Size)
        std::memcpy(s.image.get() + frameOffsetInFile(s.kind), frame.imageData, frame.cfg.u32Size);
    s.size = frame.cfg.u32Size;
    s.number = number;
    s.time = frame.u64Time;
    {
        std::lock_guard lock(mutex_);
        queue_[(queueHead_ + queueCount_) % queue_.size()] = slot;
        ++queueCount_;
    }
    ready_.notify_one();
    return true;
}

bool Recorder::writeSlot(Slot& slot) {
    const FileKind kind = slot.kind;
    // The name is printed into the reserved tail of path_: no string is built per frame.
    path_.resize(nameOffset_ + kNameRoom - 1);
    const int n =
        std::snprintf(&path_[nameOffset_], kNameRoom, "frame_%06llu.%s",
                      static_cast<unsigned long long>(slot.number), fileExtension(kind).data());
    path_.resize(nameOffset_ + static_cast<size_t>(n));
    WrittenFile written;
    const FrameStamp stamp{slot.number, slot.time, camera_, colour_ ? &*colour_ : nullptr};
    const bool ok = files_.write(path_.c_str(), kind, header_.layout,
                                 std::span<uint8_t>(slot.image.get(), imageBytes_), slot.size,
                                 stamp, written, failure_);
    directIo_.store(files_.direct(), std::memory_order_release);
    if (!ok) return false;
    ManifestEntry entry;
    entry.file = std::string_view(path_).substr(nameOffset_);
    entry.offset = written.dataOffset;
    entry.number = slot.number;
    entry.time = slot.time;
    entry.size = slot.size;
    entry.status = statusOf(layout_, slot.size);
    if (!manifest_->add(entry)) {
        failure_ = manifest_->path() + ": cannot write";
        return false;
    }
    written_.fetch_add(1, std::memory_order_release);
    bytesWritten_.fetch_add(slot.size, std::memory_order_release);
    return true;
}

void Recorder::writerLoop() {
    for (;;) {
        size_t slot = 0;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return queueCount_ > 0 || stopping_; });
            if (queueCount_ == 0) return;
            slot = queue_[queueHead_];
            queueHead_ = (queueHead_ + 1) % queue_.size();
            --queueCount_;
        }
        const bool ok = !failedFlag_ && writeSlot(slots_[slot]);
        std::lock_guard lock(mutex_);
        // After a failure every queued frame goes back unwritten, counted as dropped.
        if (!ok) {
            failedFlag_ = true;
            ++dropped_;
        }
        free_[freeCount_++] = slot;
    }
}

std::string Recorder::finish() {
    if (finished_) return failure_;
    finished_ = true;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_one();
    writer_.join();
    if (!manifest_->close(written(), dropped(), failure_) && failure_.empty())
        failure_ = manifest_->path() + ": cannot write";
    return failure_;
}

}  // namespace vexo
