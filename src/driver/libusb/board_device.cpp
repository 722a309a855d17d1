// Serving the driver's requests on an open board with libusb.
#include "driver/libusb/board_device.h"

#include <libusb.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "driver/libusb/host_limits.h"
#include "driver/libusb/usb_capture.h"

namespace vexo::driver::lusb {

namespace {

// What this backend reports as the driver's and the host stack's versions.
constexpr uint32_t kUsbdiVersion = 0x00000600;

// A synchronous request has no caller that could abort it, so it never waits longer than this
// (overlapped requests wait as long as their record says, and their caller aborts them).
constexpr unsigned kSynchronousTimeoutMs = 10000;

constexpr uint32_t kLongestTimeoutSeconds = UINT_MAX / 1000;

uint32_t driverVersion() {
    const libusb_version* v = libusb_get_version();
    return (uint32_t(v->major) << 24) | (uint32_t(v->minor) << 16) | uint32_t(v->micro);
}

std::string stringDescriptor(libusb_device_handle* handle, uint8_t index) {
    if (index == 0) return {};
    unsigned char text[256] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text - 1);
    if (n <= 0) return {};
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n));
}

}  // namespace

uint32_t speedCodeOf(int libusbSpeed) {
    switch (libusbSpeed) {
        case LIBUSB_SPEED_LOW:
        case LIBUSB_SPEED_FULL:
            return 1;
        case LIBUSB_SPEED_HIGH:
            return 2;
        case LIBUSB_SPEED_SUPER:
        case LIBUSB_SPEED_SUPER_PLUS:
            return 4;
        default:
            return 0;
    }
}

BoardDevice::BoardDevice(libusb_context* context, libusb_device_handle* handle)
    : handle_(handle), transfers_(TransferTable::create(context)) {}

BoardDevice::~BoardDevice() {
    uint32_t error = 0;
    close(&error);
}

std::unique_ptr<BoardDevice> BoardDevice::open(libusb_context* context, libusb_device* device,
                                               uint32_t* error) {
    libusb_device_handle* handle = nullptr;
    int r = libusb_open(device, &handle);
    if (r != LIBUSB_SUCCESS) {
        if (r == LIBUSB_ERROR_ACCESS) reportNoPermission(device);
        *error = (r == LIBUSB_ERROR_NO_DEVICE || r == LIBUSB_ERROR_NOT_FOUND)
                     ? kErrorFileNotFound
                     : outcomeOfError(r).error;
        return nullptr;
    }
    std::unique_ptr<BoardDevice> board(new BoardDevice(context, handle));

    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS)
        libusb_get_config_descriptor(device, 0, &config);
    if (config) {
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& interface = config->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor& alt = interface.altsetting[a];
                if (board->interfaceNumber_ < 0) board->interfaceNumber_ = alt.bInterfaceNumber;
                for (int e = 0; e < alt.bNumEndpoints; ++e)
                    board->endpointTypes_.emplace(alt.endpoint[e].bEndpointAddress,
                                                  alt.endpoint[e].bmAttributes & 3);
            }
        }
        libusb_free_config_descriptor(config);
    }
    if (board->interfaceNumber_ >= 0) {
        // No kernel driver is detached: a board has none, and a device that has one is in use
        // by something else and stays so (the claim then fails and so does the open).
        r = libusb_claim_interface(handle, board->interfaceNumber_);
        if (r != LIBUSB_SUCCESS) {
            board->interfaceNumber_ = -1;
            *error = r == LIBUSB_ERROR_NO_DEVICE ? kErrorFileNotFound : outcomeOfError(r).error;
            return nullptr;
        }
    }
    board->busAddress_ = libusb_get_device_address(device);
    if (UsbCapture* capture = UsbCapture::capture())
        board->transfers_->setCapture(capture, libusb_get_bus_number(device), board->busAddress_);
    board->speedCode_ = speedCodeOf(libusb_get_device_speed(device));
    board->readIdentity(handle);
    return board;
}

void BoardDevice::readIdentity(libusb_device_handle* handle) {
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(libusb_get_device(handle), &d);
    const std::string manufacturer = stringDescriptor(handle, d.iManufacturer);
    const std::string product = stringDescriptor(handle, d.iProduct);
    const std::string serial = stringDescriptor(handle, d.iSerialNumber);
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB device %04x:%04x", d.idVendor, d.idProduct);
    friendlyName_ = product.empty() ? ids : product;
    deviceName_ = manufacturer.empty() ? friendlyName_ : manufacturer + " " + friendlyName_;
    if (!serial.empty()) deviceName_ += " " + serial;
}

bool BoardDevice::ioControl(uint32_t code, void* in, uint32_t inLength, void* out,
                            uint32_t outLength, uint32_t* bytesReturned,
                            std::unique_ptr<Completion>& completion, uint32_t* error) {
    *bytesReturned = 0;
    SharedLock lock(useLock_);
    if (closed_) {
        *error = kErrorInvalidHandle;
        return false;
    }
    auto* i = static_cast<uint8_t*>(in);
    auto* o = static_cast<uint8_t*>(out);
    switch (code) {
        case kRequestControlTransfer:
            return serveControl(i, inLength, o, outLength, bytesReturned, completion, error);
        case kRequestBufferedTransfer:
        case kRequestDirectTransfer:
            return serveData(code, i, inLength, o, outLength, bytesReturned, completion, error);
        case kRequestAbortPipe: {
            const std::optional<uint8_t> endpoint = decodeAbortPipe(i, inLength);
            if (!endpoint) {
                *error = kErrorInvalidParameter;
                return false;
            }
            transfers_->cancelAndDrain(*endpoint);
            return true;
        }
        default:
            return serveInfo(code, in, inLength, o, outLength, bytesReturned, error);
    }
}

bool BoardDevice::serveInfo(uint32_t code, void* in, uint32_t inLength, uint8_t* out,
                            uint32_t outLength, uint32_t* bytesReturned, uint32_t* error) {
    auto need = [&](uint32_t n) {
        if (outLength >= n) return true;
        *error = kErrorInsufficientBuffer;
        return false;
    };
    auto put32 = [&](uint32_t v) {
        std::memcpy(out, &v, 4);
        *bytesReturned = 4;
        return true;
    };
    switch (code) {
        case kRequestDriverVersion:
            return need(4) && put32(driverVersion());
        case kRequestUsbdiVersion:
            return need(4) && put32(kUsbdiVersion);
        case kRequestSpeed:
            return need(4) && put32(speedCode_);
        case kRequestAlternateSetting:
            // The interface is claimed in its first setting and this backend never selects another.
            if (!need(1)) return false;
            out[0] = 0;
            *bytesReturned = 1;
            return true;
        case kRequestAddress:
            if (!need(1)) return false;
            out[0] = busAddress_;
            *bytesReturned = 1;
            return true;
        case kRequestFriendlyName:
        case kRequestDeviceName:
            if (!need(1)) return false;
            *bytesReturned = writeNameReply(
                out, outLength,
                (code == kRequestFriendlyName ? friendlyName_ : deviceName_).c_str());
            return true;
        case kRequestSetTransferSize: {
            const auto request = decodeTransferSize(static_cast<const uint8_t*>(in), inLength);
            if (!request) {
                *error = kErrorInvalidParameter;
                return false;
            }
            // libusb needs no pipe setting for this; the size is kept so the request reads back.
            {
                MutexLock lock(sizesMutex_);
                transferSizes_[request->endpoint] = request->size;
            }
            *bytesReturned = echoTransferSize(out, outLength, static_cast<const uint8_t*>(in));
            return true;
        }
        default:
            *error = kErrorInvalidFunction;
            return false;
    }
}

bool BoardDevice::serveControl(uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength,
                               uint32_t* bytesReturned, std::unique_ptr<Completion>& completion,
                               uint32_t* error) {
    const Decoded<ControlRequest> decoded = decodeControlRequest(in, inLength, out, outLength);
    if (!decoded.request) {
        *error = kErrorInvalidParameter;
        return false;
    }
    const ControlRequest& r = *decoded.request;
    auto t = makePendingTransfer();
    if (!t->transfer) {
        *error = kErrorNoSystemResources;
        return false;
    }
    t->control = true;
    t->endpoint = 0;
    t->statusHeader = r.statusHeader;
    t->dataOffset = r.dataOffset;
    t->buffer.assign(LIBUSB_CONTROL_SETUP_SIZE + r.setup.wLength, 0);
    libusb_fill_control_setup(t->buffer.data(), r.setup.bmRequestType, r.setup.bRequest,
                              r.setup.wValue, r.setup.wIndex, r.setup.wLength);
    t->replyCapacity = r.capacity;
    if (r.setup.isIn()) {
        t->replyData = r.data;
    } else if (r.capacity) {
        std::memcpy(t->buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, r.data, r.capacity);
    }
    unsigned timeoutMs = std::min(r.timeoutSeconds, kLongestTimeoutSeconds) * 1000;
    if (timeoutMs == 0 && !completion) timeoutMs = kSynchronousTimeoutMs;
    libusb_fill_control_transfer(t->transfer, handle_, t->buffer.data(), nullptr, nullptr,
                                 timeoutMs);
    return issue(t, bytesReturned, completion, error);
}

bool BoardDevice::serveData(uint32_t code, uint8_t* in, uint32_t inLength, uint8_t* out,
                            uint32_t outLength, uint32_t* bytesReturned,
                            std::unique_ptr<Completion>& completion, uint32_t* error) {
    const Decoded<DataRequest> decoded = code == kRequestBufferedTransfer
                                             ? decodeBufferedRequest(in, inLength, out, outLength)
                                             : decodeDirectRequest(in, inLength, out, outLength);
    if (!decoded.request) {
        *error =
            decoded.error == DecodeError::Unsupported ? kErrorNotSupported : kErrorInvalidParameter;
        return false;
    }
    const DataRequest& r = *decoded.request;
    const auto type = endpointTypes_.find(r.endpoint);
    if (r.endpoint == 0 || type == endpointTypes_.end() || r.length > INT_MAX) {
        *error = kErrorInvalidParameter;
        return false;
    }
    if (type->second != LIBUSB_TRANSFER_TYPE_BULK &&
        type->second != LIBUSB_TRANSFER_TYPE_INTERRUPT) {
        *error = kErrorNotSupported;  // isochronous pipes: no board has one
        return false;
    }
    auto t = makePendingTransfer();
    if (!t->transfer) {
        *error = kErrorNoSystemResources;
        return false;
    }
    t->endpoint = r.endpoint;
    t->statusHeader = r.statusHeader;
    t->dataOffset = r.dataOffset;
    // Straight on the caller's bytes: the caller keeps them until the request is back.
    const unsigned timeoutMs = completion ? 0 : kSynchronousTimeoutMs;
    if (type->second == LIBUSB_TRANSFER_TYPE_BULK)
        libusb_fill_bulk_transfer(t->transfer, handle_, r.endpoint, r.data,
                                  static_cast<int>(r.length), nullptr, nullptr, timeoutMs);
    else
        libusb_fill_interrupt_transfer(t->transfer, handle_, r.endpoint, r.data,
                                       static_cast<int>(r.length), nullptr, nullptr, timeoutMs);
    return issue(t, bytesReturned, completion, error);
}

bool BoardDevice::issue(const std::shared_ptr<PendingTransfer>& t, uint32_t* bytesReturned,
                        std::unique_ptr<Completion>& completion, uint32_t* error) {
    const bool overlapped = completion != nullptr;
    t->completion = std::move(completion);
    RequestOutcome outcome = transfers_->submit(t);
    if (!outcome.ok()) {
        // Refused: the caller's record says so at once, and its completion stays untouched.
        completion = std::move(t->completion);
        if (t->statusHeader && outcome.error != kErrorInvalidHandle)
            writeStatusWords(t->statusHeader, outcome.ntStatus, outcome.usbdStatus);
        if (outcome.error == kErrorNoSystemResources)
            reportTransferMemoryRefused(static_cast<uint32_t>(t->transfer->length));
        *error = outcome.error;
        return false;
    }
    if (overlapped) {
        *error = kErrorIoPending;
        return false;
    }
    uint32_t bytes = 0;
    outcome = transfers_->wait(*t, &bytes);
    if (!outcome.ok()) {
        *error = outcome.error;
        return false;
    }
    *bytesReturned = bytes;
    return true;
}

bool BoardDevice::close(uint32_t*) {
    transfers_->close();
    transfers_->cancelAndDrain(std::nullopt);
    ExclusiveLock lock(useLock_);
    if (closed_) return true;
    closed_ = true;
    // The handle goes under the lock: no request is using it then.
    releaseHandle();
    return true;
}

void BoardDevice::releaseHandle() {
    if (!handle_) return;
    if (interfaceNumber_ >= 0) libusb_release_interface(handle_, interfaceNumber_);
    libusb_close(handle_);
    handle_ = nullptr;
}

}  // namespace vexo::driver::lusb
