// Enumeration, open and close of a device object.
#include "usb/driver_device.h"

#include <algorithm>
#include <cstring>

#include "usb/descriptor_bytes.h"

namespace vexo::usb {

namespace {

constexpr size_t kMaxPathLength = 255;

// What a malformed table shows the user.
constexpr const char* kBosCaption = "Wrong BOS Descriptor";
constexpr const char* kBosText = "Please correct firmware BOS descriptor table";
constexpr const char* kConfigCaption = "Wrong Device Configuration";
constexpr const char* kConfigText = "Please correct firmware descriptor table";

}  // namespace

DriverDevice::DriverDevice(void* window, const driver::Guid& guid, bool openFirst)
    : notifyWindow(window), interfaceGuid(guid) {
    if (openFirst) {
        try {
            open(0);
        } catch (const DeviceError&) {
            // Not reported: isOpen() and lastError tell.
        }
    }
}

DriverDevice::~DriverDevice() {
    try {
        close();
    } catch (const DeviceError&) {
        // lastError holds the failure; a destructor has no one to tell.
    }
}

uint8_t DriverDevice::deviceCount() {
    driver::DeviceInfoSet* set = driver::getClassDevs(interfaceGuid);
    unsigned count = 0;
    if (set) {
        driver::DeviceInterfaceData data;
        for (uint32_t member = 0;; ++member) {
            if (driver::enumDeviceInterface(set, member, &data)) {
                ++count;
            } else if (driver::getLastError() == driver::kErrorNoMoreItems || member == 0xFFFF) {
                break;
            }
        }
        driver::destroyDeviceInfoList(set);
    }
    knownDeviceCount = static_cast<uint8_t>(count);
    return knownDeviceCount;
}

bool DriverDevice::openHandle(uint8_t index) {
    const uint8_t count = deviceCount();
    auto fail = [&](driver::DeviceInfoSet* set) {
        if (set) driver::destroyDeviceInfoList(set);
        driverHandle = driver::kInvalidHandle;
        deviceIndex = 0;
        return false;
    };
    if (count == 0 || index >= count) return fail(nullptr);

    driver::DeviceInfoSet* set = driver::getClassDevs(interfaceGuid);
    if (!set) return fail(nullptr);
    driver::DeviceInterfaceData data;
    if (!driver::enumDeviceInterface(set, index, &data)) return fail(set);
    uint32_t required = 0;
    driver::getDeviceInterfacePath(set, data, nullptr, 0, &required);
    if (required == 0) return fail(set);
    if (required - 1 > kMaxPathLength) {
        // A longer path does not fit devicePath; a cut one would name another device.
        lastError = driver::kErrorFilenameExcedRange;
        return fail(set);
    }
    char path[kMaxPathLength + 1] = {};
    if (!driver::getDeviceInterfacePath(set, data, path, sizeof path, &required)) return fail(set);
    std::memcpy(devicePath, path, required - 1);
    devicePath[required - 1] = '\0';

    const driver::Handle handle = driver::createFile(devicePath);
    driver::destroyDeviceInfoList(set);
    if (handle == driver::kInvalidHandle) {
        lastError = driver::getLastError();
        driverHandle = driver::kInvalidHandle;
        deviceIndex = 0;
        return false;
    }
    driverHandle = handle;
    return true;
}

bool DriverDevice::sendDriverRequest(uint32_t code, void* buffer, uint32_t size) {
    if (!isOpen()) return false;
    uint32_t n = 0;
    const bool ok =
        driver::deviceIoControl(driverHandle, code, buffer, size, buffer, size, &n, nullptr);
    bytesReturned = n;
    if (!ok) {
        lastError = driver::getLastError();
        return false;
    }
    return n == size;
}

bool DriverDevice::getDescriptor(uint8_t type, uint8_t index, uint16_t language, uint16_t length,
                                 std::vector<uint8_t>& out) {
    TransferBlock record(driver::kTransferRecordSize + length);
    driver::TransferRecord h{};
    h.bmRequestType = 0x80;
    h.bRequest = 6;
    h.wValue = static_cast<uint16_t>(index | (type << 8));
    h.wIndex = language;
    h.wLength = length;
    h.timeoutSeconds = 5;
    h.dataOffset = driver::kTransferRecordSize;
    h.dataLength = length;
    record.setHeader(h);
    const bool ok =
        sendDriverRequest(driver::kRequestControlTransfer, record.data(), record.size());
    const driver::TransferRecord back = record.header();
    usbdStatus = back.usbdStatus;
    ntStatus = back.ntStatus;
    if (ok) out.assign(record.data() + driver::kTransferRecordSize, record.data() + record.size());
    return ok;
}

bool DriverDevice::readTwice(uint8_t type, uint8_t index, uint16_t language, uint16_t firstLength,
                             std::vector<uint8_t>& out) {
    std::vector<uint8_t> first;
    if (!getDescriptor(type, index, language, firstLength, first)) return false;
    // Strings give their length in bLength, tables with parts in wTotalLength.
    const uint16_t full = type == kDescString ? first[0] : le16(first.data() + 2);
    return getDescriptor(type, index, language, full, out);
}

void DriverDevice::readDeviceDescriptor() {
    std::memset(deviceDescriptor, 0, sizeof deviceDescriptor);
    std::vector<uint8_t> d;
    if (!getDescriptor(1, 0, 0, sizeof deviceDescriptor, d)) return;
    std::memcpy(deviceDescriptor, d.data(), sizeof deviceDescriptor);
    bcdUsb = le16(&d[2]);
    deviceClass = d[4];
    deviceSubClass = d[5];
    deviceProtocol = d[6];
    vendorId = le16(&d[8]);
    productId = le16(&d[10]);
    bcdDevice = le16(&d[12]);
    configCount = d[17];
    // USB 3 gives the packet size of endpoint 0 as a power of two.
    const uint8_t size0 = d[7];
    if (bcdUsb >= 0x0300)
        ep0MaxPacketSize = size0 < 31 ? int32_t(1) << size0 : 0;
    else
        ep0MaxPacketSize = size0;
}

void DriverDevice::readLanguageTable() {
    std::vector<uint8_t> table;
    if (!readTwice(kDescString, 0, 0, 2, table)) return;
    const size_t length = table.empty() ? 0 : std::min<size_t>(table[0], table.size());
    const size_t n = length >= 2 ? (length - 2) / 2 : 0;
    languageId = n ? le16(&table[2]) : 0;
    for (size_t i = 0; i < n; ++i)
        if (le16(&table[2 + 2 * i]) == 0x0409) languageId = 0x0409;
}

void DriverDevice::readString(uint8_t index, char16_t (&target)[256]) {
    if (index == 0) {
        // No string: index 0 would fetch the language table instead.
        std::memset(target, 0, sizeof target);
        return;
    }
    std::vector<uint8_t> s;
    if (!readTwice(kDescString, index, languageId, 2, s)) return;
    if (s.size() < 2) return;
    const size_t length = std::min<size_t>(s[0], s.size());
    if (length <= 2 || s[1] != kDescString) return;
    std::memset(target, 0, sizeof target);
    std::memcpy(target, &s[2], length - 2);
}

void DriverDevice::readDriverInfo() {
    uint8_t a = 0;
    usbAddress = sendDriverRequest(driver::kRequestAddress, &a, 1) ? a : 0;
    std::memset(friendlyName, 0, sizeof friendlyName);
    sendDriverRequest(driver::kRequestFriendlyName, friendlyName, sizeof friendlyName);
    friendlyName[sizeof friendlyName - 1] = '\0';
    std::memset(deviceName, 0, sizeof deviceName);
    sendDriverRequest(driver::kRequestDeviceName, deviceName, sizeof deviceName);
    deviceName[sizeof deviceName - 1] = '\0';
    uint32_t v = 0;
    driverVersion = sendDriverRequest(driver::kRequestDriverVersion, &v, 4) ? v : 0;
    v = 0;
    usbdiVersion = sendDriverRequest(driver::kRequestUsbdiVersion, &v, 4) ? v : 0;
    isHighSpeed = false;
    isSuperSpeed = false;
    uint32_t speed = 0;
    if (sendDriverRequest(driver::kRequestSpeed, &speed, 4)) {
        isHighSpeed = speed == 2;
        isSuperSpeed = speed == 4;
    }
}

void DriverDevice::readConfigurations() {
    const bool lookAhead = (bcdUsb & 0xFF00) != 0x0200;
    const int count = std::min<int>(configCount, kMaxConfigs);
    for (int i = 0; i < count; ++i) {
        std::vector<uint8_t> block;
        if (!readTwice(kDescConfiguration, static_cast<uint8_t>(i), 0, 9, block)) continue;
        // A table that came back is parsed whatever its length: one whose wTotalLength is
        // 0 is as malformed as one of 1..8 bytes, not a configuration that is absent.
        configDescriptors[i] = std::move(block);
        configs[i] = std::make_unique<DriverConfig>(driverHandle, configDescriptors[i], lookAhead);
    }
}

bool DriverDevice::open(uint8_t index) {
    if (isOpen()) close();
    if (!openHandle(index)) return false;
    deviceIndex = index;

    readDeviceDescriptor();
    readLanguageTable();
    readString(deviceDescriptor[14], manufacturer);
    readString(deviceDescriptor[15], product);
    readString(deviceDescriptor[16], serialNumber);

    if ((bcdUsb & 0xFF00) == 0x0300) {
        std::vector<uint8_t> block;
        if (readTwice(kDescBos, 0, 0, 5, block)) {
            bosDescriptor = std::move(block);
            try {
                bos = std::make_unique<DriverBos>(bosDescriptor);
            } catch (const DescriptorError&) {
                driver::showMessage(kBosCaption, kBosText);
                close();
                return false;
            }
        }
    }

    readDriverInfo();

    try {
        readConfigurations();
    } catch (const DescriptorError&) {
        driver::showMessage(kConfigCaption, kConfigText);
        close();
        return false;
    }

    controlEndpoint = std::make_unique<ControlEndpoint>(driverHandle);
    controlEndpoint->descriptorLength = 7;
    controlEndpoint->descriptorType = 5;
    controlEndpoint->address = 0;
    controlEndpoint->attributes = 0;
    controlEndpoint->maxPacketSize = static_cast<uint16_t>(ep0MaxPacketSize);
    controlEndpoint->interval = 0;

    if (!configs[0] || !configs[0]->interfaces[0]) return false;
    makeConfigurationCurrent();
    return true;
}

void DriverDevice::makeConfigurationCurrent() {
    const DriverConfig* config = configs[0].get();
    if (!config) return;
    configIndex = 0;
    configValue = config->bConfigurationValue;
    configAttributes = config->bmAttributes;
    maxPower = config->MaxPower;
    interfaceCount = config->bNumInterfaces;
    altInterfaceCount = config->altInterfaceCount;
    interfaceNumber = config->interfaces[0] ? config->interfaces[0]->bInterfaceNumber : 0;

    uint8_t alternate = 0;
    if (!sendDriverRequest(driver::kRequestAlternateSetting, &alternate, 1)) alternate = 0xFF;
    for (int i = 0; i < DriverConfig::kMaxInterfaces; ++i) {
        const DriverInterface* iface = config->interfaces[i].get();
        if (!iface || iface->bAlternateSetting != alternate) continue;
        altIndex = static_cast<uint8_t>(i);
        interfaceClass = iface->bInterfaceClass;
        interfaceSubClass = iface->bInterfaceSubClass;
        interfaceProtocol = iface->bInterfaceProtocol;
        assignEndpointRoles();
        return;
    }
}

void DriverDevice::assignEndpointRoles() {
    if (configCount == 0 || interfaceCount == 0) return;
    DriverConfig* config = configs[configIndex].get();
    if (!config || !config->interfaces[altIndex]) return;
    currentInterface = config->interfaces[altIndex].get();
    currentInterface->endpoints[0] = controlEndpoint.get();
    isocInEndpoint = isocOutEndpoint = nullptr;
    bulkInEndpoint = bulkOutEndpoint = nullptr;
    interruptInEndpoint = interruptOutEndpoint = nullptr;

    const int count = endpointCount();
    for (int slot = 1; slot < count && slot < DriverInterface::kSlots; ++slot) {
        UsbEndpoint* ep = currentInterface->endpoints[slot];
        if (!ep) continue;
        ep->transferMode = 1;
        const bool in = (ep->address & 0x80) != 0;
        // The class of an endpoint object follows its transfer type (driver_interface.cpp).
        switch (ep->transferType()) {
            case kTransferIsochronous: {
                IsocEndpoint*& role = in ? isocInEndpoint : isocOutEndpoint;
                if (!role) role = static_cast<IsocEndpoint*>(ep);
                break;
            }
            case kTransferBulk: {
                BulkEndpoint*& role = in ? bulkInEndpoint : bulkOutEndpoint;
                if (!role) role = static_cast<BulkEndpoint*>(ep);
                break;
            }
            case kTransferInterrupt: {
                InterruptEndpoint*& role = in ? interruptInEndpoint : interruptOutEndpoint;
                if (!role) role = static_cast<InterruptEndpoint*>(ep);
                break;
            }
            default:
                break;
        }
    }
}

uint8_t DriverDevice::endpointCount() const {
    if (!isOpen() || configIndex >= kMaxConfigs || !configs[configIndex]) return 0;
    const DriverInterface* iface =
        configs[configIndex]->interfaces[altIndex % DriverConfig::kMaxInterfaces].get();
    if (!iface) return 0;
    return static_cast<uint8_t>(iface->bNumEndpoints + 1);
}

void DriverDevice::close() {
    bool failed = false;
    if (isOpen()) {
        // The platform has no handle notifications here, so only the handle is closed.
        if (!driver::closeHandle(driverHandle)) {
            lastError = driver::getLastError();
            failed = true;
        }
        // A handle whose close failed is unusable all the same.
        driverHandle = driver::kInvalidHandle;
    }
    std::memset(deviceDescriptor, 0, sizeof deviceDescriptor);
    bosDescriptor.clear();
    bos.reset();
    currentInterface = nullptr;
    for (int i = 0; i < kMaxConfigs; ++i) {
        configDescriptors[i].clear();
        configs[i].reset();
    }
    controlEndpoint.reset();
    isocInEndpoint = isocOutEndpoint = nullptr;
    bulkInEndpoint = bulkOutEndpoint = nullptr;
    interruptInEndpoint = interruptOutEndpoint = nullptr;
    knownDeviceCount = 0;
    configCount = 0;
    interfaceCount = 0;
    altInterfaceCount = 0;
    if (failed) throw DeviceError("Failed to close handle to driver.");
}

void DriverDevice::shutdown() {
    close();
    // Device-interface notifications are never registered on this platform.
}

}  // namespace vexo::usb
