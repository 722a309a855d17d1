// The driver service's host calls on Windows: the system clock, the system's last error.
#include <gtest/gtest.h>
#include <windows.h>

#include "driver/driver_service.h"

namespace vexo::test {
namespace {

using namespace driver;

uint64_t systemFileTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}

TEST(Win32Host, ClockIsTheSystemsFileTime) {
    const uint64_t before = systemFileTime();
    const uint64_t now = hostTimeFileTime();
    const uint64_t after = systemFileTime();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
    // The test clock still takes precedence.
    setHostClockForTesting([] { return uint64_t{42}; });
    EXPECT_EQ(hostTimeFileTime(), 42u);
    setHostClockForTesting({});
    EXPECT_GE(hostTimeFileTime(), after);
}

TEST(Win32Host, LastErrorReachesTheSystemToo) {
    SetLastError(0);
    setLastError(kErrorDeviceNotConnected);
    EXPECT_EQ(GetLastError(), DWORD{kErrorDeviceNotConnected});
    EXPECT_EQ(getLastError(), kErrorDeviceNotConnected);
    // A failed service call leaves its error where a Windows caller looks for it.
    EXPECT_EQ(createFile("\\\\.\\pipe\\vexo-win32-host-test-nobody"), kInvalidHandle);
    EXPECT_EQ(GetLastError(), DWORD{kErrorFileNotFound});
    // The service's own copy survives system calls that reset the system's.
    SetLastError(0);
    EXPECT_EQ(getLastError(), kErrorFileNotFound);
}

TEST(Win32Host, SleepWaitsAtLeastAboutTheTime) {
    const ULONGLONG start = GetTickCount64();
    sleepMs(40);
    // The tick count advances in steps of up to 16 ms.
    EXPECT_GE(GetTickCount64() - start, 40u - 16u);
}

}  // namespace
}  // namespace vexo::test
