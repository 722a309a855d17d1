// The lazily made libusb context and one round of event handling.
#include "driver/libusb/usb_context.h"

#include <libusb.h>

#include <algorithm>

#include "common/mutex.h"

namespace vexo::driver::lusb {

namespace {

constexpr auto kLongestRound = std::chrono::milliseconds(500);

Mutex gContextMutex;
// Never released: transfers of handles still open at exit and libusb's own threads may use it
// until the process ends, and static destruction order gives no safe moment to call
// libusb_exit().
libusb_context* gContext VEXO_GUARDED_BY(gContextMutex) = nullptr;

}  // namespace

libusb_context* usbContext() {
    MutexLock lock(gContextMutex);
    if (!gContext) {
        libusb_context* context = nullptr;
        if (libusb_init(&context) == LIBUSB_SUCCESS) gContext = context;
    }
    return gContext;
}

void handleEventsOnce(libusb_context* context, Clock::time_point deadline, int* completed) {
    const Clock::time_point now = Clock::now();
    auto wait = std::chrono::microseconds(0);
    if (deadline > now)
        wait = std::chrono::duration_cast<std::chrono::microseconds>(
            std::min<Clock::duration>(deadline - now, kLongestRound));
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(wait.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(wait.count() % 1000000);
    libusb_handle_events_timeout_completed(context, &tv, completed);
}

}  // namespace vexo::driver::lusb
