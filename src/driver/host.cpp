// Per-thread last error, the host clock, sleep and user messages. On Windows the clock, sleep
// and messages are the system's own calls, and the last error is handed to SetLastError too.
#include <chrono>
#include <cstdio>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "common/mutex.h"
#include "driver/driver_service.h"

namespace vexo::driver {

namespace {

thread_local uint32_t tLastError = 0;

// The test hooks, copied out under the lock and called without it.
Mutex gHostMutex;
std::function<uint64_t()> gClock VEXO_GUARDED_BY(gHostMutex);
std::function<void(const std::string&, const std::string&)> gMessageSink
    VEXO_GUARDED_BY(gHostMutex);

// 100-ns units between 1601-01-01 and the Unix epoch.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;

}  // namespace

uint32_t getLastError() {
    return tLastError;
}

void setLastError(uint32_t error) {
    tLastError = error;
#ifdef _WIN32
    // The service keeps its own copy: the runtimes' thread-local storage calls TlsGetValue,
    // which clears the system's last error between the service's return and its caller's read.
    SetLastError(error);
#endif
}

uint64_t hostTimeFileTime() {
    std::function<uint64_t()> clock;
    {
        MutexLock lock(gHostMutex);
        clock = gClock;
    }
    if (clock) return clock();
#ifdef _WIN32
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
#else
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto units =
        std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000> > >(
            sinceEpoch);
    return kFileTimeUnixEpoch + static_cast<uint64_t>(units.count());
#endif
}

void setHostClockForTesting(std::function<uint64_t()> clock) {
    MutexLock lock(gHostMutex);
    gClock = std::move(clock);
}

void sleepMs(uint32_t milliseconds) {
#ifdef _WIN32
    Sleep(milliseconds);
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
#endif
}

void showMessage(const std::string& caption, const std::string& text) {
    std::function<void(const std::string&, const std::string&)> sink;
    {
        MutexLock lock(gHostMutex);
        sink = gMessageSink;
    }
    if (sink) {
        sink(caption, text);
        return;
    }
#ifdef _WIN32
    // Without a desktop (a service, a session with no display) the box cannot be shown: the
    // text goes to standard error then, as on the other systems.
    if (MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL) >
        0)
        return;
#endif
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

void setMessageSinkForTesting(
    std::function<void(const std::string& caption, const std::string& text)> sink) {
    MutexLock lock(gHostMutex);
    gMessageSink = std::move(sink);
}

}  // namespace vexo::driver
