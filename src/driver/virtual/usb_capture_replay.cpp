// Reading usbmon captures and playing one device of them back.
#include "driver/virtual/usb_capture_replay.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#ifdef VEXO_WITH_PCAP
#include <pcap/pcap.h>
#endif

#include "driver/usbmon/usbmon_header.h"

namespace vexo::driver::virt {

namespace {

// Submitted control requests waiting for their completion; a capture that never completes
// them cannot grow this past the limit.
constexpr size_t kMostPending = 4096;
constexpr size_t kMostConfigurations = 8;
constexpr int32_t kStatusOk = 0;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t deviceKey(uint16_t bus, uint8_t address) {
    return (uint32_t(bus) << 8) | address;
}

std::string deviceText(uint32_t key) {
    return std::to_string(key >> 8) + "." + std::to_string(key & 0xFF);
}

void keepLonger(std::vector<uint8_t>& slot, const std::vector<uint8_t>& reply) {
    if (reply.size() > slot.size()) slot = reply;
}

// A GET_DESCRIPTOR answer goes into the tables; the longest answer of each descriptor wins
// (hosts often read the first bytes, then the whole).
void storeDescriptor(DescriptorTables& t, uint16_t wValue, const std::vector<uint8_t>& reply) {
    const uint8_t type = static_cast<uint8_t>(wValue >> 8);
    const uint8_t index = static_cast<uint8_t>(wValue);
    switch (type) {
        case 1:
            keepLonger(t.device,
                       std::vector<uint8_t>(reply.begin(),
                                            reply.begin() + std::min<size_t>(reply.size(), 18)));
            break;
        case 2:
            if (index >= kMostConfigurations) break;
            if (t.configurations.size() <= index) t.configurations.resize(index + 1u);
            keepLonger(t.configurations[index], reply);
            break;
        case 3: {
            if (reply.size() < 2) break;
            const size_t end = std::min<size_t>(reply.size(), reply[0]);
            if (index == 0) {
                std::vector<uint16_t> languages;
                for (size_t i = 2; i + 1 < end; i += 2) languages.push_back(le16(&reply[i]));
                if (languages.size() > t.languages.size()) t.languages = std::move(languages);
            } else {
                std::u16string text;
                for (size_t i = 2; i + 1 < end; i += 2)
                    text.push_back(static_cast<char16_t>(le16(&reply[i])));
                std::u16string& slot = t.strings[index];
                if (text.size() > slot.size()) slot = std::move(text);
            }
            break;
        }
        case 15:
            keepLonger(t.bos, reply);
            break;
        default:
            break;
    }
}

std::string ascii(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return out;
}

// Plays one captured device back; see the header.
class CaptureModel : public DeviceModel {
  public:
    CaptureModel(CapturedDevice captured, std::string name)
        : captured_(std::move(captured)), name_(std::move(name)) {}

    ControlResult control(const SetupPacket& s, uint8_t* data) override {
        const auto& list = captured_.control;
        for (size_t i = next_; i < list.size(); ++i) {
            const SetupPacket& c = list[i].setup;
            if (c.bmRequestType != s.bmRequestType || c.bRequest != s.bRequest ||
                c.wValue != s.wValue || c.wIndex != s.wIndex || c.wLength != s.wLength)
                continue;
            next_ = i + 1;
            const CapturedExchange& e = list[i];
            if (e.stalled) return ControlResult::stall();
            if (!s.isIn()) return ControlResult::ack(std::min<uint32_t>(e.length, s.wLength));
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(e.data.size(), s.wLength));
            if (n && data) std::memcpy(data, e.data.data(), n);
            return ControlResult::ack(n);
        }
        std::fprintf(stderr,
                     "USB replay %s: the capture holds no request bmRequestType 0x%02x bRequest "
                     "0x%02x wValue 0x%04x wIndex 0x%04x wLength %u after its request %zu of "
                     "%zu; refused\n",
                     name_.c_str(), s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength,
                     next_, list.size());
        return ControlResult::stall();
    }

    BulkResult bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override {
        auto it = captured_.reads.find(endpoint);
        size_t& next = nextRead_[endpoint];
        if (it == captured_.reads.end() || next >= it->second.size()) {
            if (!saidEnd_[endpoint]) {
                saidEnd_[endpoint] = true;
                std::fprintf(stderr,
                             "USB replay %s: the capture holds no more reads of endpoint "
                             "0x%02x (%zu played)\n",
                             name_.c_str(), endpoint, next);
            }
            return BulkResult::waitForever();
        }
        const CapturedRead& r = it->second[next++];
        if (r.data.size() < r.length && !saidCut_) {
            saidCut_ = true;
            std::fprintf(stderr,
                         "USB replay %s: the capture kept %zu of the %u bytes of read %zu "
                         "of endpoint 0x%02x; reads are played as kept\n",
                         name_.c_str(), r.data.size(), r.length, next, endpoint);
        }
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(r.data.size(), capacity));
        if (n) std::memcpy(data, r.data.data(), n);
        return BulkResult::done(n);
    }

  private:
    CapturedDevice captured_;
    std::string name_;
    size_t next_ = 0;
    std::map<uint8_t, size_t> nextRead_;
    std::map<uint8_t, bool> saidEnd_;
    bool saidCut_ = false;
};

}  // namespace

void UsbmonEvents::add(int linkType, const uint8_t* bytes, size_t size) {
    const size_t headerSize = linkType == usbmon::kLinkTypeUsbLinuxMmapped ? usbmon::kHeaderSize220
                                                                           : usbmon::kHeaderSize189;
    if (!bytes || size < headerSize) {
        ++skipped_;
        return;
    }
    usbmon::Header h{};
    std::memcpy(&h, bytes, headerSize);
    const uint8_t* data = bytes + headerSize;
    const size_t kept = std::min<size_t>(h.captured, size - headerSize);
    if (h.transferType == usbmon::kIsochronous || h.transferType > usbmon::kBulk) return;

    const uint32_t key = deviceKey(h.bus, h.device);
    auto [slot, added] = devices_.try_emplace(key);
    CapturedDevice& dev = slot->second;
    if (added) {
        dev.bus = h.bus;
        dev.address = h.device;
        order_.push_back(key);
    }
    const auto pendingKey = std::make_pair(key, h.id);

    if (h.transferType != usbmon::kControl) {
        if (h.type != usbmon::kComplete || !(h.endpoint & 0x80)) return;
        if (h.status != kStatusOk && h.length == 0) return;  // cancelled or failed, no data
        CapturedRead r;
        r.length = h.length;
        r.data.assign(data, data + std::min<size_t>(kept, h.length));
        dev.reads[h.endpoint].push_back(std::move(r));
        return;
    }
    if (h.type == usbmon::kSubmit) {
        if (h.setupFlag != 0) return;
        Pending p;
        p.setup.bmRequestType = h.setup[0];
        p.setup.bRequest = h.setup[1];
        p.setup.wValue = le16(&h.setup[2]);
        p.setup.wIndex = le16(&h.setup[4]);
        p.setup.wLength = le16(&h.setup[6]);
        if (!p.setup.isIn()) p.sent.assign(data, data + std::min<size_t>(kept, p.setup.wLength));
        if (pending_.size() < kMostPending || pending_.count(pendingKey))
            pending_[pendingKey] = std::move(p);
        return;
    }
    auto it = pending_.find(pendingKey);
    if (it == pending_.end()) return;
    Pending p = std::move(it->second);
    pending_.erase(it);
    if (h.type != usbmon::kComplete) return;  // a refused submission never reached the device
    const SetupPacket& s = p.setup;
    const bool ok = h.status == kStatusOk;
    std::vector<uint8_t> reply;
    if (s.isIn() && ok) reply.assign(data, data + std::min<size_t>({kept, s.wLength, h.length}));
    if (s.bmRequestType == 0x80 && s.bRequest == 6) {
        if (ok) storeDescriptor(dev.descriptors, s.wValue, reply);
        return;
    }
    CapturedExchange e;
    e.setup = s;
    e.stalled = !ok;
    e.length = ok ? std::min<uint32_t>(h.length, s.wLength) : 0;
    e.data = s.isIn() ? std::move(reply) : std::move(p.sent);
    dev.control.push_back(std::move(e));
}

bool UsbmonEvents::device(const std::optional<std::string>& wanted, CapturedDevice& out,
                          std::string& error) const {
    std::optional<uint32_t> chosen;
    if (wanted) {
        for (uint32_t key : order_)
            if (deviceText(key) == *wanted) chosen = key;
        if (!chosen) {
            error = "the capture holds no traffic of device " + *wanted;
            return false;
        }
    } else {
        for (uint32_t key : order_)
            if (!chosen && !devices_.at(key).reads.empty()) chosen = key;
        for (uint32_t key : order_)
            if (!chosen && devices_.at(key).descriptors.device.size() == 18) chosen = key;
        if (!chosen) {
            error = "the capture holds no device that sent data or its device descriptor";
            return false;
        }
    }
    out = devices_.at(*chosen);
    return true;
}

bool readUsbCapture(const std::string& path, const std::optional<std::string>& wanted,
                    CapturedDevice& out, std::string& error) {
#ifdef VEXO_WITH_PCAP
    char message[PCAP_ERRBUF_SIZE] = "";
    pcap_t* file = pcap_open_offline(path.c_str(), message);
    if (!file) {
        error = std::string("cannot read the capture: ") + message;
        return false;
    }
    const int link = pcap_datalink(file);
    if (link != usbmon::kLinkTypeUsbLinux && link != usbmon::kLinkTypeUsbLinuxMmapped) {
        pcap_close(file);
        error = "link type " + std::to_string(link) +
                " is not Linux usbmon (189 or 220): capture with usbmon";
        return false;
    }
    UsbmonEvents events;
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    int r = 0;
    while ((r = pcap_next_ex(file, &header, &bytes)) == 1) events.add(link, bytes, header->caplen);
    if (r == PCAP_ERROR) {
        error = std::string("the capture is damaged: ") + pcap_geterr(file);
        pcap_close(file);
        return false;
    }
    pcap_close(file);
    return events.device(wanted, out, error);
#else
    (void)path;
    (void)wanted;
    (void)out;
    error = "this build has no libpcap: USB captures cannot be replayed";
    return false;
#endif
}

bool replayDevice(CapturedDevice captured, const std::string& name, VirtualDeviceDescription& out,
                  std::string& error) {
    const std::string who =
        "device " + std::to_string(captured.bus) + "." + std::to_string(captured.address);
    DescriptorTables& t = captured.descriptors;
    if (t.device.size() != 18 || t.device[1] != 1) {
        error = who +
                ": the capture holds no device descriptor (start capturing before the "
                "board is plugged in or opened)";
        return false;
    }
    if (t.configurations.empty() || t.configurations[0].size() < 9) {
        error = who + ": the capture holds no configuration descriptor";
        return false;
    }
    auto text = [&](uint8_t index) {
        auto it = t.strings.find(index);
        return it == t.strings.end() ? std::string() : ascii(it->second);
    };
    const std::string manufacturer = text(t.device[14]);
    const std::string product = text(t.device[15]);
    const std::string serial = text(t.device[16]);
    VirtualDeviceDescription s;
    s.speedCode = le16(&t.device[2]) >= 0x0300 ? 4 : 2;
    s.busAddress = captured.address;
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB device %04x:%04x", le16(&t.device[8]), le16(&t.device[10]));
    s.friendlyName = product.empty() ? ids : product;
    s.deviceName = manufacturer.empty() ? s.friendlyName : manufacturer + " " + s.friendlyName;
    if (!serial.empty()) s.deviceName += " " + serial;
    s.descriptors = std::move(t);
    s.model = std::make_shared<CaptureModel>(std::move(captured), name);
    out = std::move(s);
    return true;
}

}  // namespace vexo::driver::virt
