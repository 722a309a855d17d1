// The process's one libusb context, and event handling in the calling thread.
//
// libusb completes transfers only while some thread handles its events. The library starts no
// thread for that: whichever thread waits for a transfer (a wait on its event, an abort, a
// synchronous request) handles events until its own transfer is back. libusb lets one thread at
// a time handle events and makes the others wait for it, so several waiting threads share the
// work without a thread of ours. (libusb itself may run a hot-plug monitor thread.)
//
// Threading: every function may be called from any thread.
#pragma once

#include "driver/backend.h"

struct libusb_context;

namespace vexo::driver::lusb {

/// The context, made on first use; null when libusb cannot start here (no usbfs). A failed
/// start is tried again on the next call, so a system that gains USB later still finds boards.
libusb_context* usbContext();

/// Handles libusb events once: waits at most until `deadline` (and at most half a second, so
/// callers re-check their own conditions), returning early when `*completed` becomes non-zero
/// (libusb's completion flag) or an event was handled. With the deadline passed it only polls.
void handleEventsOnce(libusb_context* context, Clock::time_point deadline, int* completed);

}  // namespace vexo::driver::lusb
