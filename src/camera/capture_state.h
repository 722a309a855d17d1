#pragma once

#include <cstdint>

namespace vexo::camera {

/// Where a camera is in its capture: whether the 64 reads of its transfer set are queued, and
/// for whom. The transfer set holds buffers exactly in the two queued states. The transitions,
/// all on the thread that captures:
///
///   Idle        -> Streaming    beginCaptureImage() has queued every read
///   Streaming   -> Idle         endCaptureImage(), close() or the destructor; captureImage()
///                               when a read cannot be queued again
///   Idle        -> SingleFrame  getSingleFrame() has queued every read
///   SingleFrame -> Idle         getSingleFrame() returns
///
/// A start that cannot queue every read frees what it allocated and stays Idle. Leaving a
/// queued state aborts the reads, then frees their buffers. Whether a device is attached is
/// not part of the state: the device is.
enum class CaptureState : uint8_t {
    Idle,         ///< no read queued; captureImage() refuses
    Streaming,    ///< captureImage() completes the reads in turn and queues each again
    SingleFrame,  ///< getSingleFrame() completes the reads until the first frame
};

}  // namespace vexo::camera
