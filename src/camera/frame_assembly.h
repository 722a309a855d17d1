#pragma once

#include <vexo/camera.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "camera/frame_ring.h"

namespace vexo::camera {

/// Board-controller version (registers 5, 6, 7 of the controller at 0x46).
struct BoardCtrlVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t patch = 0;
};

/// What the frame assembly keeps across transfers, next to the FrameRing it fills.
///
/// The camera sets config, frameSize, usbFirmwareVersion and boardCtrlVersion when it
/// applies a configuration or probes the board, and only between beginReconfiguration()
/// and endReconfiguration() once capture may be running. lastFrameIndex and frameToggle
/// belong to the assembly. The three flags may be written from any thread at any time.
struct AssemblyState {
    /// Packet unit of the trailer-marked stream; the trailer's own layout is 512 bytes.
    static constexpr size_t kHeaderBlock = 512;

    /// The applied configuration, copied into every frame record; usbType must hold the
    /// value published for the opened board. u32Size is ignored.
    CameraConfig config{};
    /// Most bytes a frame may hold (frameSizeFor()).
    uint32_t frameSize = 0;
    /// Vendor request 0x80: major in the high byte, minor in the low byte.
    uint32_t usbFirmwareVersion = 0;
    BoardCtrlVersion boardCtrlVersion;

    /// Frame index of the last trailer processed; 0xFFFF means none yet.
    uint16_t lastFrameIndex = 0xFFFF;
    /// Toggle bit of the chunk-framed frame in progress.
    uint8_t frameToggle = 0;
    /// The frame in progress lost bytes (a chunk that did not fit, or bytes dropped around a
    /// reconfiguration): it can no longer complete as a good frame. When it ends it is
    /// dropped, or queued under forceRead, with USB_CAMERA_DATA_LEN_ERROR.
    bool frameDamaged = false;
    /// Where the stream stands is unknown (bytes were dropped, or the ring was reset under
    /// a frame in progress): the next assembly call drops what was collected and takes the
    /// frame that ends first as damaged; the chunk framing also takes the toggle of the
    /// first chunk it sees as the frame's own. Written by the camera during a
    /// reconfiguration and by the assembly.
    bool resync = false;
    /// Capture thread only: a completed read was dropped because a reconfiguration was
    /// running (dropTransfer()).
    bool transferDropped = false;

    /// External trigger mode: frames out of sequence are accepted.
    std::atomic<bool> triggerMode{false};
    /// Frames of a wrong length are queued anyway (still reported).
    std::atomic<bool> forceRead{false};
    /// A configuration change is running: received bytes are not stored.
    std::atomic<bool> reconfiguring{false};
    /// Set for the duration of an assembly call; see beginReconfiguration().
    std::atomic<bool> assembling{false};
};

/// Assembles the `n` bytes of one completed read of the trailer-marked stream (512-byte
/// packets, one trailer packet after each frame) into `ring`.
///
/// Returns the number of frames completed, or the last error of the call when a frame
/// failed (USB_CAMERA_DATA_LEN_ERROR, USB_CAMERA_FRAME_INDEX_ERROR,
/// USB_CAMERA_DATA_LACK_ERROR); `completed` always holds the count, in 8 bits. While
/// reconfiguring is set at entry the bytes are dropped (dropTransfer()) and 0 is returned.
uint32_t assembleTrailerFrames(AssemblyState& state, FrameRing& ring, const uint8_t* data, size_t n,
                               uint8_t& completed);

/// Assembles the `n` bytes of one completed read of the chunk-header stream (16384-byte
/// chunks, each opened by a 16-byte header) into `ring`. Results as assembleTrailerFrames().
uint32_t assembleChunkFrames(AssemblyState& state, FrameRing& ring, const uint8_t* data, size_t n,
                             uint8_t& completed);

/// Sets reconfiguring and waits until no assembly call is in progress. From its return
/// until endReconfiguration() the camera may replace the configuration, frameSize and the
/// ring's buffers while captureImage runs on another thread: assembly calls made meanwhile
/// drop their bytes and touch neither the state nor the ring (only transferDropped). An
/// assembly call that was admitted before runs to its end first, storing every byte it
/// counts: a frame is never queued without its bytes.
void beginReconfiguration(AssemblyState& state);
/// Clears reconfiguring: assembly resumes with the new configuration.
void endReconfiguration(AssemblyState& state);

/// Capture thread: the bytes of a completed read were dropped (a reconfiguration was
/// running). The frame in progress has lost them, so the frame that ends first afterwards
/// is not queued as a good frame. Assembly calls that are held off by a reconfiguration
/// call it themselves.
void dropTransfer(AssemblyState& state);

/// Capture thread, when a capture starts its reads afresh: the board starts at a frame
/// boundary, so no frame is taken as damaged for bytes dropped before.
void startCapture(AssemblyState& state);

}  // namespace vexo::camera
