// Recording frames to DIR: the capture thread hands each frame to offer(), which copies it into
// a free slot of a bounded queue and returns at once; a writer thread turns queued frames into
// files (frame_files.h) and manifest entries (manifest_writer.h). When every slot is taken
// because the disk cannot keep up, the frame is dropped and counted: capture never waits for
// the disk.
//
// Each slot is the image of a whole file: the frame is copied to where its bytes lie in the file,
// and the writer lays the file out around it and writes it past the page cache
// (DirectFileWriter), so a frame is copied once on its way to the disk.
//
// A frame is written to its file before its manifest entry, so a recording cut off by the
// process's death keeps every frame its manifest lists: what write() returned from stays
// with the kernel. Nothing is synced: a machine that loses power may lose recent frames.
//
// The slots are allocated once, in the constructor: offering and writing frames allocate
// nothing of ours (libtiff and libpng keep their own small per-file state).
//
// Threading: offer() and the counters from one capture thread; the writer thread is internal.
// finish() from the capture thread, once.
#pragma once

#include <vexo/camera.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vexo/cpp_export.hpp>
#include <vexo/frame_files.hpp>
#include <vexo/frame_layout.hpp>
#include <vexo/manifest_writer.hpp>

namespace vexo {

struct RecorderOptions {
    size_t queueFrames = 16;  ///< slots of the queue
    /// Largest frame kept; larger frames are dropped. 0: twice the configured frame (the most
    /// the library delivers, JPEG included).
    size_t slotBytes = 0;
    /// Every frame as its received bytes (.raw, .jpg for JPEG), whatever the format.
    bool rawFiles = false;
    /// Frame files past the page cache where the file system allows it; false: through it.
    bool directIo = true;
    /// The sensor's [colour] section, written into each DNG's colour tags.
    std::optional<ColourSettings> colour;
};

class VEXO_CPP_API Recorder {
  public:
    /// Creates `directory` (when missing) and its manifest; throws std::runtime_error when it
    /// cannot.
    Recorder(const std::string& directory, const RecordingHeader& header,
             const RecorderOptions& options = {});
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    /// Queues a copy of `frame` for writing; false when it was dropped (queue full, frame
    /// larger than a slot, or writing has failed).
    bool offer(const FrameData& frame);

    /// Writes what is queued, closes the manifest and stops the writer. Returns the error that
    /// stopped writing (a full disk, ...), empty on success.
    std::string finish();

    /// Frames offered so far, dropped ones included.
    uint64_t offered() const;
    /// Frames dropped: queue full, frame larger than a slot, or writing failed.
    uint64_t dropped() const;
    /// Frames whose file and manifest entry are written.
    uint64_t written() const;
    /// Frame bytes written (the frames' own bytes, without the files' headers).
    uint64_t bytesWritten() const;
    /// False once the file system refused direct I/O (tmpfs): files went through the page cache.
    bool directIo() const;
    /// The recording's directory, as created.
    const std::string& directory() const;
    /// File name of frame `number` of kind `kind` ("frame_000007.dng").
    static std::string fileName(uint64_t number, FileKind kind);
    /// The kind of file a frame of `size` bytes is written as (--raw included).
    FileKind fileKind(uint32_t size) const;
    /// The manifest's status of a frame of `size` bytes: "whole", "short" or "long".
    std::string_view frameStatus(uint32_t size) const;

  private:
    class Impl;  // the queue, its lock and the writer thread (src/cpp/recorder.cpp)
    std::unique_ptr<Impl> impl_;
};

}  // namespace vexo
