// Writing usbmon events of the libusb backend's transfers through libpcap.
#include "driver/libusb/usb_capture.h"

#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef VEXO_WITH_PCAP
#include <pcap/pcap.h>
#endif

#include "common/mutex.h"
#include "driver/usbmon/usbmon_header.h"

namespace vexo::driver::lusb {

#ifdef VEXO_WITH_PCAP

namespace {

// libpcap refuses to read an event of more than 256 KiB with a usbmon link type, so no event is
// written longer: the data kept per transfer is at most this (and so by default).
constexpr uint64_t kLongestEvent = 262144;
constexpr uint64_t kDefaultDataBytes = kLongestEvent - usbmon::kHeaderSize220;
constexpr uint64_t kDefaultFileBytes = 1ull << 30;

uint64_t sizeFromEnvironment(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno || *end || text[0] == '-') {
        std::fprintf(stderr, "vexo: %s=%s is not a byte count; using %llu\n", name, text,
                     static_cast<unsigned long long>(fallback));
        return fallback;
    }
    return v;
}

uint8_t usbmonType(uint8_t libusbType) {
    switch (libusbType) {
        case LIBUSB_TRANSFER_TYPE_CONTROL:
            return usbmon::kControl;
        case LIBUSB_TRANSFER_TYPE_ISOCHRONOUS:
            return usbmon::kIsochronous;
        case LIBUSB_TRANSFER_TYPE_INTERRUPT:
            return usbmon::kInterrupt;
        default:
            return usbmon::kBulk;
    }
}

// The URB status Linux would report for a libusb completion.
int32_t usbmonStatus(int libusbStatus) {
    switch (libusbStatus) {
        case LIBUSB_TRANSFER_COMPLETED:
            return 0;
        case LIBUSB_TRANSFER_TIMED_OUT:
        case LIBUSB_TRANSFER_CANCELLED:
            return -ENOENT;  // both are unlinked URBs to the kernel
        case LIBUSB_TRANSFER_STALL:
            return -EPIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return -ENODEV;
        case LIBUSB_TRANSFER_OVERFLOW:
            return -EOVERFLOW;
        default:
            return -EPROTO;
    }
}

int32_t usbmonStatusOfError(int libusbError) {
    switch (libusbError) {
        case LIBUSB_ERROR_NO_DEVICE:
            return -ENODEV;
        case LIBUSB_ERROR_NO_MEM:
            return -ENOMEM;
        case LIBUSB_ERROR_BUSY:
            return -EBUSY;
        case LIBUSB_ERROR_PIPE:
            return -EPIPE;
        default:
            return -EINVAL;
    }
}

}  // namespace

struct UsbCapture::State {
    // Fixed once the capture is open.
    pcap_t* dead = nullptr;
    pcap_dumper_t* dumper = nullptr;  ///< the file: written and flushed under `mutex`
    uint64_t dataCap = kDefaultDataBytes;
    uint64_t fileCap = kDefaultFileBytes;

    Mutex mutex;
    bool full VEXO_GUARDED_BY(mutex) = false;
    /// Header and kept data of the event being written.
    std::vector<uint8_t> packet VEXO_GUARDED_BY(mutex);

    void write(const libusb_transfer* t, uint8_t type, uint16_t bus, uint8_t device,
               int32_t status) {
        const bool control = t->type == LIBUSB_TRANSFER_TYPE_CONTROL;
        const uint8_t* setup = control ? t->buffer : nullptr;
        const bool in = control ? (setup[0] & 0x80) != 0 : (t->endpoint & 0x80) != 0;
        usbmon::Header h{};
        h.id = reinterpret_cast<uintptr_t>(t);
        h.type = type;
        h.transferType = usbmonType(t->type);
        h.endpoint = static_cast<uint8_t>((control ? 0 : t->endpoint & 0x7F) | (in ? 0x80 : 0));
        h.device = device;
        h.bus = bus;
        h.setupFlag = '-';
        h.status = status;
        const uint8_t* data = control ? t->buffer + LIBUSB_CONTROL_SETUP_SIZE : t->buffer;
        const uint32_t asked =
            control ? libusb_control_transfer_get_setup(const_cast<libusb_transfer*>(t))->wLength
                    : static_cast<uint32_t>(t->length);
        uint32_t present = 0;  // data bytes the event carries on the wire
        if (type == usbmon::kComplete) {
            h.length = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0;
            if (in) present = h.length;
            h.dataFlag = in ? (present ? 0 : '<') : '>';
        } else {
            h.length = asked;
            if (control) {
                h.setupFlag = 0;
                std::memcpy(h.setup, setup, 8);
            }
            if (!in) present = asked;
            h.dataFlag = in ? '<' : (present ? 0 : '>');
        }
        h.captured = static_cast<uint32_t>(std::min<uint64_t>(present, dataCap));
        timeval now{};
        gettimeofday(&now, nullptr);
        h.seconds = now.tv_sec;
        h.microseconds = static_cast<int32_t>(now.tv_usec);

        MutexLock lock(mutex);
        if (full) return;
        if (static_cast<uint64_t>(pcap_dump_ftell64(dumper)) + 16 + sizeof h + h.captured >
            fileCap) {
            full = true;
            pcap_dump_flush(dumper);
            std::fprintf(stderr,
                         "vexo: USB capture reached %llu bytes; later traffic is not kept\n",
                         static_cast<unsigned long long>(fileCap));
            return;
        }
        packet.resize(sizeof h + h.captured);  // within the room reserved at opening
        std::memcpy(packet.data(), &h, sizeof h);
        if (h.captured) std::memcpy(packet.data() + sizeof h, data, h.captured);
        pcap_pkthdr record{};
        record.ts = now;
        record.caplen = static_cast<bpf_u_int32>(packet.size());
        record.len = static_cast<bpf_u_int32>(sizeof h + present);
        pcap_dump(reinterpret_cast<u_char*>(dumper), &record, packet.data());
    }
};

UsbCapture* UsbCapture::capture() {
    static UsbCapture* const instance = []() -> UsbCapture* {
        const char* path = std::getenv("VEXO_USB_CAPTURE");
        if (!path || !*path) return nullptr;
        auto* state = new State;
        state->dataCap = sizeFromEnvironment("VEXO_USB_CAPTURE_DATA", kDefaultDataBytes);
        if (state->dataCap > kDefaultDataBytes) {
            std::fprintf(stderr,
                         "vexo: VEXO_USB_CAPTURE_DATA: at most %llu bytes per transfer "
                         "(the longest event libpcap reads back)\n",
                         static_cast<unsigned long long>(kDefaultDataBytes));
            state->dataCap = kDefaultDataBytes;
        }
        state->fileCap = sizeFromEnvironment("VEXO_USB_CAPTURE_MAX", kDefaultFileBytes);
        const uint64_t snap = state->dataCap + usbmon::kHeaderSize220;
        state->dead = pcap_open_dead(usbmon::kLinkTypeUsbLinuxMmapped, static_cast<int>(snap));
        state->dumper = state->dead ? pcap_dump_open(state->dead, path) : nullptr;
        if (!state->dumper) {
            std::fprintf(stderr, "vexo: cannot write the USB capture %s: %s\n", path,
                         state->dead ? pcap_geterr(state->dead) : "libpcap refused");
            if (state->dead) pcap_close(state->dead);
            delete state;
            return nullptr;
        }
        {
            MutexLock lock(state->mutex);  // no other thread sees the state yet
            state->packet.reserve(static_cast<size_t>(snap));
        }
        // Whatever is buffered reaches the file when the process ends.
        static UsbCapture capture(state);
        std::atexit([] { capture.flush(); });
        return &capture;
    }();
    return instance;
}

void UsbCapture::submitted(const libusb_transfer* t, uint16_t bus, uint8_t device) {
    state_->write(t, usbmon::kSubmit, bus, device, usbmon::kStatusInProgress);
}

void UsbCapture::completed(const libusb_transfer* t, uint16_t bus, uint8_t device) {
    state_->write(t, usbmon::kComplete, bus, device, usbmonStatus(t->status));
}

void UsbCapture::refused(const libusb_transfer* t, uint16_t bus, uint8_t device, int error) {
    state_->write(t, usbmon::kError, bus, device, usbmonStatusOfError(error));
}

void UsbCapture::flush() {
    MutexLock lock(state_->mutex);
    pcap_dump_flush(state_->dumper);
}

#else  // no libpcap

struct UsbCapture::State {};

UsbCapture* UsbCapture::capture() {
    static const bool said = [] {
        const char* path = std::getenv("VEXO_USB_CAPTURE");
        if (path && *path)
            std::fprintf(stderr,
                         "vexo: VEXO_USB_CAPTURE: this build has no libpcap; nothing is "
                         "captured\n");
        return true;
    }();
    (void)said;
    return nullptr;
}
void UsbCapture::submitted(const libusb_transfer*, uint16_t, uint8_t) {}
void UsbCapture::completed(const libusb_transfer*, uint16_t, uint8_t) {}
void UsbCapture::refused(const libusb_transfer*, uint16_t, uint8_t, int) {}
void UsbCapture::flush() {}

#endif

}  // namespace vexo::driver::lusb
