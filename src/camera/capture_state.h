#pragma once

#include <cstdint>

namespace vexo::camera {

/*
 * Where a camera is in its capture: whether the 64 reads of its transfer set are queued,
 * and for whom. The transitions, all on the thread that captures:
 *
 *   Idle      -> Streaming    beginCaptureImage() queued every read
 *   Streaming -> Idle         endCaptureImage(); captureImage() could not queue a read again;
 *                             close()
 *   Idle      -> SingleFrame  getSingleFrame() queued every read
 *   SingleFrame -> Idle       getSingleFrame() returns
 *
 * A start that cannot queue every read stays Idle. Leaving a queued state always aborts the
 * reads first. Whether a device is attached is not part of it: the device is.
 */
enum class CaptureState : uint8_t {
    Idle,        /* no read queued; captureImage() refuses */
    Streaming,   /* captureImage() completes the reads in turn and queues each again */
    SingleFrame, /* getSingleFrame() completes the reads until the first frame */
};

} /* namespace vexo::camera */
