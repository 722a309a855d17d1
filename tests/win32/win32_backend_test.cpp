// The Windows backend through the driver service. No vendor driver is installed here, so named
// pipes stand in for its devices: the backend opens a pipe's client end like any device path,
// and a test backend hands out server ends, whose listen request stays in the kernel until a
// client connects.
#include "driver/win32/win32_backend.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "driver/driver_service.h"
#include "driver/win32/win32_device.h"

namespace vexo::test {
namespace {

using namespace driver;
using namespace std::chrono_literals;

// Named-pipe requests (FSCTL codes), served by the system's pipe driver.
constexpr uint32_t kPipeListen = 0x00110008;
constexpr uint32_t kPipePeek = 0x0011400C;
constexpr uint32_t kPeekHeader = 16;  // FILE_PIPE_PEEK_BUFFER before the data
// A request code the pipe driver does not know (the boards' driver-version request).
constexpr uint32_t kForeignCode = 0x220000;

std::string pipeName(const char* what) {
    static std::atomic<int> next{0};
    return "\\\\.\\pipe\\vexo-win32-test-" + std::to_string(GetCurrentProcessId()) + "-" + what +
           "-" + std::to_string(next++);
}

HANDLE makeServer(const std::string& name) {
    return CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
}

HANDLE connectClient(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// Reads or writes on an overlapped handle and waits for the result.
bool transfer(HANDLE h, bool write, void* buffer, DWORD length, DWORD* moved, DWORD* error) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok =
        write ? WriteFile(h, buffer, length, moved, &ov) : ReadFile(h, buffer, length, moved, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &ov, moved, TRUE);
    *error = ok ? 0 : GetLastError();
    CloseHandle(ov.hEvent);
    return ok != 0;
}

// A pipe whose client end the Windows backend opens through createFile().
class PipeClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = pipeName("client");
        server_ = makeServer(name_);
        ASSERT_NE(server_, INVALID_HANDLE_VALUE);
        handle_ = createFile(name_.c_str());
        ASSERT_NE(handle_, kInvalidHandle) << "error " << getLastError();
    }
    void TearDown() override {
        if (handle_ != kInvalidHandle) closeHandle(handle_);
        CloseHandle(server_);
    }
    void serverWrites(const char* text) {
        DWORD moved = 0, error = 0;
        ASSERT_TRUE(transfer(server_, true, const_cast<char*>(text), DWORD(std::strlen(text)),
                             &moved, &error))
            << error;
    }

    std::string name_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
    Handle handle_ = kInvalidHandle;
};

TEST_F(PipeClientTest, RequestsDoneAtOnceReturnTheKernelsBytes) {
    serverWrites("hello");
    uint8_t out[64] = {};
    uint32_t bytes = 0;
    ASSERT_TRUE(deviceIoControl(handle_, kPipePeek, nullptr, 0, out, sizeof out, &bytes, nullptr))
        << getLastError();
    ASSERT_EQ(bytes, kPeekHeader + 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out + kPeekHeader), 5), "hello");

    // Overlapped, the same request completes at once: true, the event signalled, the record
    // holding the count.
    Overlapped ov;
    ov.event = createEvent();
    std::memset(out, 0, sizeof out);
    bytes = 0;
    ASSERT_TRUE(deviceIoControl(handle_, kPipePeek, nullptr, 0, out, sizeof out, &bytes, &ov));
    EXPECT_EQ(bytes, kPeekHeader + 5);
    EXPECT_EQ(waitForEvent(ov.event, 0), kWaitObject0);
    uint32_t reported = 0;
    EXPECT_TRUE(getOverlappedResult(handle_, &ov, &reported, false));
    EXPECT_EQ(reported, kPeekHeader + 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out + kPeekHeader), 5), "hello");
    closeEvent(ov.event);
}

TEST_F(PipeClientTest, RefusedRequestsKeepTheSystemsError) {
    // What the pipe driver answers the same request on a handle of our own.
    const std::string other = name_;
    HANDLE server2 = makeServer(other);
    ASSERT_NE(server2, INVALID_HANDLE_VALUE);
    HANDLE raw = connectClient(other);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    OVERLAPPED rawOv{};
    rawOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD rawBytes = 0;
    ASSERT_FALSE(DeviceIoControl(raw, kForeignCode, nullptr, 0, nullptr, 0, &rawBytes, &rawOv));
    const uint32_t expected = GetLastError();
    ASSERT_NE(expected, uint32_t{ERROR_IO_PENDING});
    CloseHandle(rawOv.hEvent);
    CloseHandle(raw);
    CloseHandle(server2);

    EXPECT_FALSE(deviceIoControl(handle_, kForeignCode, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(getLastError(), expected);

    Overlapped ov;
    ov.event = createEvent();
    EXPECT_FALSE(deviceIoControl(handle_, kForeignCode, nullptr, 0, nullptr, 0, nullptr, &ov));
    EXPECT_EQ(getLastError(), expected);
    uint32_t bytes = 1;
    EXPECT_FALSE(getOverlappedResult(handle_, &ov, &bytes, false));
    EXPECT_EQ(getLastError(), expected) << "the refusal stays readable from the record";
    EXPECT_EQ(bytes, 0u);
    closeEvent(ov.event);
}

TEST_F(PipeClientTest, CloseGivesTheHandleBackToTheSystem) {
    ASSERT_TRUE(closeHandle(handle_));
    Handle closed = handle_;
    handle_ = kInvalidHandle;
    char buffer[8];
    DWORD moved = 0, error = 0;
    EXPECT_FALSE(transfer(server_, false, buffer, sizeof buffer, &moved, &error));
    EXPECT_EQ(error, DWORD{ERROR_BROKEN_PIPE}) << "the client end is still open";
    EXPECT_FALSE(deviceIoControl(closed, kPipePeek, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(getLastError(), kErrorInvalidHandle);
}

TEST(Win32Backend, ListsNoDeviceWithoutTheVendorDriver) {
    EXPECT_TRUE(win32::win32Backend()->enumerate(kDriverInterfaceGuid).empty());
    // Through the service: only the virtual backend could add devices, and none were added.
    DeviceInfoSet* set = getClassDevs(kDriverInterfaceGuid);
    DeviceInterfaceData data;
    EXPECT_FALSE(enumDeviceInterface(set, 0, &data));
    EXPECT_EQ(getLastError(), kErrorNoMoreItems);
    destroyDeviceInfoList(set);
}

TEST(Win32Backend, OpensDeviceNamespacePathsOnly) {
    // A file that exists is not a device: the backend never opens it.
    char dir[MAX_PATH], file[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof dir, dir), 0u);
    ASSERT_NE(GetTempFileNameA(dir, "vx", 0, file), 0u);
    uint32_t error = 0;
    EXPECT_EQ(win32::win32Backend()->open(file, &error), nullptr);
    EXPECT_EQ(error, kErrorFileNotFound);
    DeleteFileA(file);

    // Device paths that name nothing, a virtual board's among them, are "not found", so that
    // the service goes on to the next backend.
    for (const char* path :
         {"\\\\.\\pipe\\vexo-win32-test-nobody",
          "\\\\?\\usb#vid_52cb&pid_03f1#vexo-virtual-9#{ae18aa60-7f6a-11d4-97dd-00010229b959}"}) {
        error = 0;
        EXPECT_EQ(win32::win32Backend()->open(path, &error), nullptr) << path;
        EXPECT_EQ(error, kErrorFileNotFound) << path;
    }
    EXPECT_EQ(createFile("\\\\.\\pipe\\vexo-win32-test-nobody"), kInvalidHandle);
    EXPECT_EQ(getLastError(), kErrorFileNotFound);
}

// Hands out the server end of a new pipe instance for "server:<pipe name>".
class PipeServerBackend : public Backend {
  public:
    std::vector<std::string> enumerate(const Guid&) override { return {}; }
    std::unique_ptr<DeviceObject> open(const std::string& path, uint32_t* error) override {
        *error = kErrorFileNotFound;
        if (path.rfind("server:", 0) != 0) return nullptr;
        HANDLE h = makeServer(path.substr(7));
        if (h == INVALID_HANDLE_VALUE) return nullptr;
        return std::make_unique<win32::Win32Device>(h);
    }
};

// A request the kernel keeps: listening on a server end until a client connects.
class KernelRequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registerBackend(backend_, kVirtualBackendOrder + 1);
        name_ = pipeName("server");
        handle_ = createFile(("server:" + name_).c_str());
        ASSERT_NE(handle_, kInvalidHandle);
        ov_.event = createEvent();
    }
    void TearDown() override {
        if (handle_ != kInvalidHandle) closeHandle(handle_);
        if (client_ != INVALID_HANDLE_VALUE) CloseHandle(client_);
        closeEvent(ov_.event);
        unregisterBackend(backend_);
    }
    void listen() {
        ASSERT_FALSE(deviceIoControl(handle_, kPipeListen, nullptr, 0, nullptr, 0, nullptr, &ov_));
        ASSERT_EQ(getLastError(), kErrorIoPending);
    }
    void connect() {
        client_ = connectClient(name_);
        ASSERT_NE(client_, INVALID_HANDLE_VALUE) << GetLastError();
    }

    std::shared_ptr<PipeServerBackend> backend_ = std::make_shared<PipeServerBackend>();
    std::string name_;
    Handle handle_ = kInvalidHandle;
    HANDLE client_ = INVALID_HANDLE_VALUE;
    Overlapped ov_;
};

TEST_F(KernelRequestTest, CompletesInTheThreadThatWaits) {
    listen();
    EXPECT_EQ(waitForEvent(ov_.event, 30), kWaitTimeout);
    uint32_t bytes = 0;
    EXPECT_FALSE(getOverlappedResult(handle_, &ov_, &bytes, false));
    EXPECT_EQ(getLastError(), kErrorIoIncomplete);
    EXPECT_EQ(ov_.status.load(), kErrorIoPending);

    connect();
    // Nothing completes the request until someone waits for it.
    EXPECT_EQ(waitForEvent(ov_.event, 5000), kWaitObject0);
    EXPECT_EQ(ov_.status.load(), kErrorSuccess);
    EXPECT_TRUE(getOverlappedResult(handle_, &ov_, &bytes, false));
    EXPECT_EQ(bytes, 0u);
}

TEST_F(KernelRequestTest, GetOverlappedResultWaitsForTheKernel) {
    listen();
    std::thread later([this] {
        std::this_thread::sleep_for(50ms);
        connect();
    });
    uint32_t bytes = 1;
    EXPECT_TRUE(getOverlappedResult(handle_, &ov_, &bytes, true)) << getLastError();
    later.join();
}

TEST_F(KernelRequestTest, CloseCancelsWhatIsInFlight) {
    listen();
    ASSERT_TRUE(closeHandle(handle_));
    handle_ = kInvalidHandle;
    EXPECT_EQ(ov_.status.load(), kErrorOperationAborted);
    EXPECT_EQ(waitForEvent(ov_.event, 0), kWaitObject0) << "the caller is told";
    uint32_t bytes = 0;
    EXPECT_FALSE(getOverlappedResult(kInvalidHandle, &ov_, &bytes, false));
    EXPECT_EQ(getLastError(), kErrorOperationAborted);
}

TEST_F(KernelRequestTest, CloseReachesAThreadAlreadyWaiting) {
    listen();
    std::atomic<bool> done{false};
    uint32_t error = 0;
    bool result = true;
    std::thread waiter([&] {
        uint32_t bytes = 0;
        result = getOverlappedResult(handle_, &ov_, &bytes, true);
        error = getLastError();
        done = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(done.load());
    ASSERT_TRUE(closeHandle(handle_));
    handle_ = kInvalidHandle;
    waiter.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, kErrorOperationAborted);
}

TEST_F(KernelRequestTest, CloseEndsASynchronousRequestHeldByTheKernel) {
    std::atomic<bool> done{false};
    uint32_t error = 0;
    bool result = true;
    std::thread caller([&] {
        result = deviceIoControl(handle_, kPipeListen, nullptr, 0, nullptr, 0, nullptr, nullptr);
        error = getLastError();
        done = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(done.load()) << "a listen without client returned early";
    ASSERT_TRUE(closeHandle(handle_));
    handle_ = kInvalidHandle;
    caller.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, kErrorOperationAborted);
}

TEST_F(KernelRequestTest, RequestsAfterCloseAreRefused) {
    // The device object outlives its handle while a request still refers to it.
    HANDLE h = makeServer(pipeName("direct"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    win32::Win32Device device(h);
    uint32_t error = 0;
    ASSERT_TRUE(device.close(&error));
    std::unique_ptr<Completion> none;
    uint32_t bytes = 0;
    EXPECT_FALSE(device.ioControl(kPipeListen, nullptr, 0, nullptr, 0, &bytes, none, &error));
    EXPECT_EQ(error, kErrorInvalidHandle);
    EXPECT_TRUE(device.close(&error)) << "a second close changes nothing";
}

}  // namespace
}  // namespace vexo::test
