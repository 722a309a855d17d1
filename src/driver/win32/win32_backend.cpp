// Listing and opening the vendor driver's devices.
#include "driver/win32/win32_backend.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <cstring>

#include "driver/win32/win32_device.h"

namespace vexo::driver::win32 {

namespace {

GUID toGuid(const Guid& g) {
    // Guid keeps the bytes as Windows stores a GUID: Data1-3 little-endian, then Data4.
    GUID out;
    static_assert(sizeof out == sizeof g.bytes);
    std::memcpy(&out, g.bytes, sizeof out);
    return out;
}

// The device information set of one interface class, released on every path out.
class InfoSet {
  public:
    explicit InfoSet(const GUID& interfaceClass)
        : set_(SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr,
                                    DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {}
    ~InfoSet() {
        if (valid()) SetupDiDestroyDeviceInfoList(set_);
    }
    InfoSet(const InfoSet&) = delete;
    InfoSet& operator=(const InfoSet&) = delete;

    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return set_; }

  private:
    HDEVINFO set_;
};

// The path of one interface: asked for its size first, then read.
bool interfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, std::string* path) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;
    // DWORD-aligned storage for the variable-length detail record.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr))
        return false;
    // DevicePath ends inside the record; never read past it, terminator or not.
    const char* begin = detail->DevicePath;
    const size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    *path = std::string(begin, strnlen(begin, room));
    return !path->empty();
}

}  // namespace

bool isDeviceNamespacePath(const std::string& path) {
    return path.size() > 4 && path[0] == '\\' && path[1] == '\\' &&
           (path[2] == '?' || path[2] == '.') && path[3] == '\\';
}

std::vector<std::string> Win32Backend::enumerate(const Guid& interfaceClass) {
    const GUID guid = toGuid(interfaceClass);
    const InfoSet set(guid);
    std::vector<std::string> paths;
    if (!set.valid()) return paths;
    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &guid, member, &data)) break;
        std::string path;
        if (interfacePath(set.get(), data, &path)) paths.push_back(std::move(path));
    }
    return paths;
}

std::unique_ptr<DeviceObject> Win32Backend::open(const std::string& path, uint32_t* error) {
    *error = kErrorFileNotFound;
    if (!isDeviceNamespacePath(path)) return nullptr;
    const HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        // A name that no device carries, however the system words it, is "not found": the
        // virtual boards' paths reach here first and must be left to their own backend.
        if (e != ERROR_PATH_NOT_FOUND && e != ERROR_INVALID_NAME && e != ERROR_SUCCESS &&
            e != ERROR_BAD_PATHNAME)
            *error = static_cast<uint32_t>(e);
        return nullptr;
    }
    return std::make_unique<Win32Device>(handle);
}

std::shared_ptr<Win32Backend> win32Backend() {
    static const std::shared_ptr<Win32Backend> backend = std::make_shared<Win32Backend>();
    return backend;
}

void registerWin32Backend() {
    registerBackend(win32Backend(), kRealBackendOrder);
}

}  // namespace vexo::driver::win32
