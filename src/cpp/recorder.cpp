#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>
#include <vexo/output_directory.hpp>
#include <vexo/recorder.hpp>

#include "common/mutex.h"

namespace vexo {

namespace {

constexpr size_t kNameRoom = 40;  // "frame_18446744073709551615.dng" and its terminator fit

std::string_view statusOf(const FrameLayout& layout, uint32_t size) {
    if (!layout.exact || size == layout.bytes) return "whole";
    return size < layout.bytes ? "short" : "long";
}

}  // namespace

// Outside the unnamed namespace: Recorder::Impl, a class with linkage, holds it in a member
// (a unity build would otherwise see a member of a type that only this file can name).
struct RecorderFreeBytes {
    void operator()(uint8_t* p) const { std::free(p); }
};

class Recorder::Impl {
  public:
    Impl(const std::string& directory, const RecordingHeader& header,
         const RecorderOptions& options);
    ~Impl() { finish(); }

    bool offer(const FrameData& frame) VEXO_EXCLUDES(mutex_);
    FileKind fileKind(uint32_t size) const {
        const FileKind kind = fileKindFor(header_.layout, size);
        return rawFiles_ && kind != FileKind::Jpeg ? FileKind::Raw : kind;
    }
    std::string_view frameStatus(uint32_t size) const { return statusOf(layout_, size); }
    std::string finish() VEXO_EXCLUDES(mutex_);

    std::string directory_;
    uint64_t offered_ = 0;  // capture thread
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> written_{0}, bytesWritten_{0};
    std::atomic<bool> directIo_{true};

  private:
    struct Slot {
        std::unique_ptr<uint8_t[], RecorderFreeBytes> image;  // kDirectAlignment-aligned
        FileKind kind = FileKind::Raw;
        uint32_t size = 0;
        uint64_t number = 0;
        uint64_t time = 0;
    };

    void writerLoop() VEXO_EXCLUDES(mutex_);
    bool writeSlot(Slot& slot);

    RecordingHeader header_;
    FrameLayout layout_;  // of header_.layout
    bool rawFiles_;
    std::optional<ColourSettings> colour_;
    std::string camera_;
    std::unique_ptr<ManifestWriter> manifest_;
    // A slot belongs to whoever took its index off a ring: the capture thread fills it, the
    // writer writes it; the slots themselves need no lock.
    std::vector<Slot> slots_;
    size_t slotBytes_ = 0, imageBytes_ = 0;
    DirectFileWriter files_;  // writer thread

    // Rings of slot indices: free slots, and slots queued for writing, in capture order.
    Mutex mutex_;
    std::condition_variable ready_;
    std::vector<size_t> free_ VEXO_GUARDED_BY(mutex_), queue_ VEXO_GUARDED_BY(mutex_);
    size_t freeCount_ VEXO_GUARDED_BY(mutex_) = 0;
    size_t queueHead_ VEXO_GUARDED_BY(mutex_) = 0;
    size_t queueCount_ VEXO_GUARDED_BY(mutex_) = 0;
    bool stopping_ VEXO_GUARDED_BY(mutex_) = false;
    bool failedFlag_ VEXO_GUARDED_BY(mutex_) = false;  // writing stopped
    std::string failure_;  // written by the writer thread only until it ends

    std::string path_;  // directory_ + "/" + the current name, rewritten in place (writer)
    size_t nameOffset_ = 0;
    std::thread writer_;
    bool finished_ = false;  // capture thread
};

Recorder::Impl::Impl(const std::string& directory, const RecordingHeader& header,
                     const RecorderOptions& options)
    : directIo_(options.directIo),
      header_(header),
      rawFiles_(options.rawFiles),
      colour_(options.colour),
      files_(options.directIo) {
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
    {
        MutexLock lock(mutex_);
        free_.resize(count);
        queue_.resize(count);
        for (size_t i = 0; i < count; ++i) free_[i] = i;
        freeCount_ = count;
    }

    path_ = directory_ + "/";
    nameOffset_ = path_.size();
    path_.reserve(nameOffset_ + kNameRoom);
    writer_ = std::thread([this] { writerLoop(); });
}

bool Recorder::Impl::offer(const FrameData& frame) {
    const uint64_t number = offered_++;
    size_t slot = 0;
    {
        MutexLock lock(mutex_);
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
        MutexLock lock(mutex_);
        queue_[(queueHead_ + queueCount_) % queue_.size()] = slot;
        ++queueCount_;
    }
    ready_.notify_one();
    return true;
}

bool Recorder::Impl::writeSlot(Slot& slot) {
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

void Recorder::Impl::writerLoop() {
    for (;;) {
        size_t slot = 0;
        bool failed = false;
        {
            MutexLock lock(mutex_);
            ready_.wait(lock.native(),
                        [this]() VEXO_REQUIRES(mutex_) { return queueCount_ > 0 || stopping_; });
            if (queueCount_ == 0) return;
            slot = queue_[queueHead_];
            queueHead_ = (queueHead_ + 1) % queue_.size();
            --queueCount_;
            failed = failedFlag_;
        }
        const bool ok = !failed && writeSlot(slots_[slot]);
        MutexLock lock(mutex_);
        // After a failure every queued frame goes back unwritten, counted as dropped.
        if (!ok) {
            failedFlag_ = true;
            ++dropped_;
        }
        free_[freeCount_++] = slot;
    }
}

std::string Recorder::Impl::finish() {
    if (finished_) return failure_;
    finished_ = true;
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_one();
    writer_.join();
    if (!manifest_->close(written_.load(), dropped_.load(), failure_) && failure_.empty())
        failure_ = manifest_->path() + ": cannot write";
    return failure_;
}

Recorder::Recorder(const std::string& directory, const RecordingHeader& header,
                   const RecorderOptions& options)
    : impl_(std::make_unique<Impl>(directory, header, options)) {}

Recorder::~Recorder() = default;

bool Recorder::offer(const FrameData& frame) {
    return impl_->offer(frame);
}

std::string Recorder::finish() {
    return impl_->finish();
}

uint64_t Recorder::offered() const {
    return impl_->offered_;
}

uint64_t Recorder::dropped() const {
    return impl_->dropped_.load(std::memory_order_acquire);
}

uint64_t Recorder::written() const {
    return impl_->written_.load(std::memory_order_acquire);
}

uint64_t Recorder::bytesWritten() const {
    return impl_->bytesWritten_.load(std::memory_order_acquire);
}

bool Recorder::directIo() const {
    return impl_->directIo_.load(std::memory_order_acquire);
}

const std::string& Recorder::directory() const {
    return impl_->directory_;
}

FileKind Recorder::fileKind(uint32_t size) const {
    return impl_->fileKind(size);
}

std::string_view Recorder::frameStatus(uint32_t size) const {
    return impl_->frameStatus(size);
}

std::string Recorder::fileName(uint64_t number, FileKind kind) {
    char name[kNameRoom];
    std::snprintf(name, sizeof name, "frame_%06llu.%s", static_cast<unsigned long long>(number),
                  fileExtension(kind).data());
    return name;
}

}  // namespace vexo
