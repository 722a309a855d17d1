#include "driver/virtual/board_model.h"

#include <algorithm>
#include <cstring>

#include "common/board_protocol.h"
#include "driver/virtual/board_descriptors.h"

namespace vexo::driver::virt {

namespace {

using namespace vexo::board;

using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;  // FILETIME units

constexpr size_t kLogLimit = 4096;
constexpr size_t kLogDataBytes = 32;
uint32_t widthMask(uint8_t bytes) {
    return bytes >= 4 ? 0xFFFFFFFFu : (1u << (8 * bytes)) - 1;
}

ControlResult reply(uint8_t* data, const uint8_t* bytes, uint32_t available, uint16_t wLength) {
    uint32_t n = std::min<uint32_t>(available, wLength);
    if (n) std::memcpy(data, bytes, n);
    return ControlResult::ack(n);
}

}  // namespace

bool BoardModel::picturePossible(std::string& error) {
    MutexLock lock(mutex_);
    if (renderer_.usable()) return true;
    error = "stream: a " + std::to_string(config_.stream.width) + "x" +
            std::to_string(config_.stream.height) + " JPG frame does not fit in " +
            std::to_string(streamFrameBytes(config_.stream)) +
            " bytes (width x height x pixelBytes x 2)";
    return false;
}

BoardModel::BoardModel(const BoardConfig& config)
    : config_(config),
      paced_(config.stream.fps > 0 || (config.stream.replay && config.stream.replayPaced)),
      linkBytesPerSecond_(linkOf(config) == Link::Super ? 400e6 : 40e6),
      clock_(config.clock, config.serial),
      clockRef_(Clock::now()),
      renderer_(config.stream, config.scene, config.sensor),
      framer_(usesTrailerFraming(config)) {
    powerOn(clockRef_);
    std::memcpy(&userData_[kSerialAddress], config.serial.data(),
                std::min<size_t>(config.serial.size(), userData_.size() - kSerialAddress));
    for (const FaultConfig& f : config.faults) faults_.add(f);
    if (config.stream.replay)
        replay_ = std::make_unique<ReplayPlayer>(config.stream.replay, config.stream.replayLoop);
}

BoardModel::~BoardModel() = default;

// The state a board has when it appears on the bus. User data lives in the board's flash and
// survives; everything else starts afresh.
void BoardModel::powerOn(Clock::time_point now) {
    controller_.fill(0);
    controller_[kRegBoardId] = config_.boardController.id;
    for (int i = 0; i < 3; ++i)
        controller_[kRegVersionMajor + i] = config_.boardController.version[i];
    sensor_ = config_.sensor.registers;
    addPowerOnExposure(sensor_);
    exposure_.reset(sensor_);
    clockBase_ = 0;
    clockRef_ = now;
    if (framer_.inFrame()) framer_.drop();
    streaming_ = false;
    external_ = false;
    shotArmed_ = false;
    triggersWaiting_ = 0;
    pulseCount_ = 0;
    softTriggers_ = 0;
    triggeredInFlight_ = false;
    nextFrame_ = 0;
    indexOffset_ = 0;
    lastIndex_.reset();
    stalledFrame_.reset();
    stallEnd_.reset();
    framesSinceStart_ = 0;
    linkFreeAt_ = {};
    pending_.reset();
}

VirtualDeviceDescription BoardModel::deviceDescription() {
    VirtualDeviceDescription description;
    description.descriptors = boardDescriptors(config_);
    description.speedCode = linkOf(config_) == Link::Super ? 4 : 2;
    description.friendlyName = config_.product;
    description.deviceName = "Vexo virtual board " + config_.serial;
    return description;
}

// ---------------------------------------------------------------------------------------------
// Endpoint 0

ControlResult BoardModel::control(const SetupPacket& setup, uint8_t* data) {
    MutexLock lock(mutex_);
    ControlResult result = ControlResult::stall();
    if (present()) {
        const uint8_t type = (setup.bmRequestType >> 5) & 3;
        if (type == 2) {
            if (!faults_.takeControlFailure(setup.bRequest, nextFrame_))
                result = vendorRequest(setup, data, Clock::now());
        } else if (type == 0) {
            // The few standard requests a host may send besides GET_DESCRIPTOR.
            static const uint8_t kZero[2] = {0, 0};
            static const uint8_t kOne[1] = {1};
            switch (setup.bRequest) {
                case 0:
                    result = setup.isIn() ? reply(data, kZero, 2, setup.wLength) : result;
                    break;
                case 8:
                    result = setup.isIn() ? reply(data, kOne, 1, setup.wLength) : result;
                    break;
                case 10:
                    result = setup.isIn() ? reply(data, kZero, 1, setup.wLength) : result;
                    break;
                case 1:
                case 3:
                case 9:
                case 11:
                    result = setup.isIn() ? result : ControlResult::ack(0);
                    break;
                default:
                    break;
            }
        }
    }
    log(setup, data, result);
    return result;
}

ControlResult BoardModel::vendorRequest(const SetupPacket& setup, uint8_t* data,
                                        Clock::time_point now) {
    const bool in = setup.isIn();
    const ControlResult stall = ControlResult::stall();
    const ControlResult outAck = ControlResult::ack(setup.wLength);
    switch (setup.bRequest) {
        case kRequestFirmwareVersion: {
            if (!in) return stall;
            const uint8_t version[2] = {static_cast<uint8_t>(config_.firmware >> 8),
                                        static_cast<uint8_t>(config_.firmware)};
            return reply(data, version, 2, setup.wLength);
        }
        case kRequestStartStream:
            if (in) return stall;
            startStreaming(now);
            return outAck;
        case kRequestStopStream:
            if (in) return stall;
            stopStreaming();
            return outAck;
        case kRequestShotArm:
            if (in) return stall;
            shotArmed_ = true;
            return outAck;
        case kRequestShotFire:
            if (in) return stall;
            if (shotArmed_) triggerPulse();
            shotArmed_ = false;
            return outAck;
        case kRequestClockRead: {
            if (!in) return stall;
            uint8_t r[kClockReadBytes] = {};
            const uint64_t t = clockAt(now);
            for (int i = 0; i < 8; ++i) r[i] = static_cast<uint8_t>(t >> (8 * i));
            return reply(data, r, sizeof r, setup.wLength);
        }
        case kRequestClockSet: {
            if (in || setup.wLength < kClockSetBytes || !data) return stall;
            uint64_t host = 0;
            for (int i = 0; i < 8; ++i)
                host |= uint64_t{data[kClockSetHostTimeOffset + i]} << (8 * i);
            clockBase_ = host;
            clockRef_ = now;
            return outAck;
        }
        case kRequestReadUserData:
        case kRequestWriteUserData:
            return userDataRequest(setup, data);
        default:
            break;
    }
    if (registerRequest(setup.bRequest)) return registerAccess(setup, data);
    return stall;
}

ControlResult BoardModel::registerAccess(const SetupPacket& setup, uint8_t* data) {
    const RegisterRequest op = *registerRequest(setup.bRequest);
    if (op.in != setup.isIn()) return ControlResult::stall();
    const uint8_t device = registerDevice(setup.wValue);
    const uint16_t reg = registerNumber(setup.wIndex, op.reg16);
    const bool controller = config_.boardController.present && device == kBoardController;
    // The board controller has 8-bit registers with 8-bit values and answers nothing else.
    const bool answers =
        controller ? (!op.reg16 && op.valueBytes == 1) : device == config_.sensor.i2cAddress;
    const uint32_t mask = widthMask(op.valueBytes);

    if (!op.in) {
        if (setup.wLength < op.valueBytes || !data || !answers) return ControlResult::stall();
        uint32_t value = 0;
        for (uint8_t i = 0; i < op.valueBytes; ++i) value = (value << 8) | data[i];
        if (controller)
            writeBoardController(static_cast<uint8_t>(reg), static_cast<uint8_t>(value),
                                 Clock::now());
        else
            sensor_[reg] = value & mask;
        return ControlResult::ack(setup.wLength);
    }

    uint8_t r[5] = {};
    uint32_t value = 0;
    if (answers) {
        if (controller) {
            value = readBoardController(static_cast<uint8_t>(reg));
        } else if (auto it = sensor_.find(reg); it != sensor_.end()) {
            value = it->second & mask;
        }
    }
    for (uint8_t i = 0; i < op.valueBytes; ++i)
        r[i] = static_cast<uint8_t>(value >> (8 * (op.valueBytes - 1 - i)));
    r[op.valueBytes] = answers ? kRegisterStatusOk : kRegisterStatusNoDevice;
    return reply(data, r, op.valueBytes + 1u, setup.wLength);
}

ControlResult BoardModel::userDataRequest(const SetupPacket& setup, uint8_t* data) {
    const bool read = setup.bRequest == kRequestReadUserData;
    if (read != setup.isIn() || setup.wValue < kUserDataBase) return ControlResult::stall();
    const size_t address = setup.wValue - kUserDataBase;
    const size_t length = setup.wLength;
    if (address + length > userData_.size() || (length && !data)) return ControlResult::stall();
    // A request without a data stage may come without a buffer.
    if (length && read)
        std::memcpy(data, &userData_[address], length);
    else if (length)
        std::memcpy(&userData_[address], data, length);
    return ControlResult::ack(static_cast<uint32_t>(length));
}

void BoardModel::writeBoardController(uint8_t reg, uint8_t value, Clock::time_point now) {
    switch (reg) {
        case kRegBoardId:
        case kRegVersionMajor:
        case kRegVersionMinor:
        case kRegVersionPatch:
        case kRegFrameReady:
            return;  // read-only
        case kRegClosed:
            controller_[kRegClosed] = value;
            // The host closed the camera: the frame index starts again at 0 for the next host
            // that opens it, which expects index 0 first. Frame numbers (the picture, faults)
            // run on.
            if (value == kClosedValue) indexOffset_ = -static_cast<int64_t>(nextFrame_);
            return;
        case kRegControl: {
            const uint8_t old = controller_[kRegControl];
            controller_[kRegControl] = value;
            // The pulse is the trigger bit's fall: idle, pulse, idle.
            if ((old & kControlTriggerBit) && !(value & kControlTriggerBit)) triggerPulse();
            return;
        }
        case kRegTrigger: {
            controller_[kRegTrigger] = value;
            const bool external = (value & kTriggerExternalBit) != 0;
            if (external != external_) {
                external_ = external;
                triggersWaiting_ = 0;
                pulseCount_ = 0;
                if (external) armLine(now);
            }
            if (value == kTriggerContinuous) startStreaming(now);
            return;
        }
        default:
            controller_[reg] = value;
            return;
    }
}

uint8_t BoardModel::readBoardController(uint8_t reg) const {
    if (reg == kRegFrameReady) return triggersWaiting_ > 0 || triggeredInFlight_ ? 1 : 0;
    return controller_[reg];
}

void BoardModel::log(const SetupPacket& setup, const uint8_t* data, const ControlResult& result) {
    if (log_.empty()) {
        // The whole ring at once, each entry with room for a typical data stage, so logging
        // a running board's requests (the clock exchange every second) allocates nothing.
        log_.resize(kLogLimit);
        for (ControlRecord& entry : log_) entry.data.reserve(kLogDataBytes);
    }
    ControlRecord& record = log_[(logHead_ + logCount_) % kLogLimit];
    if (logCount_ < kLogLimit) {
        ++logCount_;
    } else {
        logHead_ = (logHead_ + 1) % kLogLimit;
    }
    record.setup = setup;
    record.ok = result.ok;
    const uint32_t n = setup.isIn() ? (result.ok ? result.length : 0) : setup.wLength;
    if (data && n) {
        record.data.assign(data, data + n);
    } else {
        record.data.clear();
    }
}

// ---------------------------------------------------------------------------------------------
// Stream

void BoardModel::startStreaming(Clock::time_point now) {
    if (streaming_) return;
    streaming_ = true;
    streamStart_ = now;
    framesSinceStart_ = 0;
    armLine(now);
    if (replay_) replayStartTime_ = replay_->nextTime();
}

void BoardModel::stopStreaming() {
    streaming_ = false;
    // A stopped board flushes what is left of the frame in progress.
    if (framer_.inFrame()) framer_.drop();
    triggeredInFlight_ = false;
    stallEnd_.reset();
}

void BoardModel::triggerPulse() {
    if (!external_) return;
    ++triggersWaiting_;
    // The exposure starts at the pulse, however late the host reads its frame.
    if (pulseCount_ < kPulseTimes)
        pulseTimes_[(pulseHead_ + pulseCount_++) % kPulseTimes] = Clock::now();
}

void BoardModel::armLine(Clock::time_point now) {
    line_ = triggerLine();
    lineNext_ = line_.pulsesBy(now);
}

uint64_t BoardModel::linePending(Clock::time_point now) {
    const TriggerLineView seen = triggerLine();
    if (seen.generation != line_.generation) armLine(now);
    if (line_.hz <= 0) return 0;
    const uint64_t come = line_.pulsesBy(now);
    // The trigger input holds a few pulses while the host is slow to read; older ones are lost.
    constexpr uint64_t kHeld = 4;
    if (come > lineNext_ + kHeld) lineNext_ = come - kHeld;
    return come > lineNext_ ? come - lineNext_ : 0;
}

uint64_t BoardModel::clockAt(Clock::time_point t) const {
    // The board's oscillator since the last exchange, from where it was set and its own offset.
    const int64_t t0 =
        static_cast<int64_t>(clockBase_) + clock_.offsetTicks() + clock_.ticks(t - clockRef_);
    return t0 > 0 ? static_cast<uint64_t>(t0) : 0;
}

Clock::time_point BoardModel::frameDue() const {
    if (replay_) {
        // A replayed frame is due as long after the stream's start as it was recorded after
        // the first frame sent since then (at most a day, whatever the recorded times say).
        const uint64_t t = replay_->nextTime();
        const uint64_t ticks =
            std::min<uint64_t>(t > replayStartTime_ ? t - replayStartTime_ : 0, 864000000000ull);
        return streamStart_ +
               std::chrono::duration_cast<Clock::duration>(Ticks(static_cast<Ticks::rep>(ticks)));
    }
    return streamStart_ + clock_.hostDuration(framesSinceStart_ / config_.stream.fps);
}

BoardModel::Start BoardModel::canStartFrame(Clock::time_point now, Clock::time_point& waitUntil) {
    waitUntil = Clock::time_point::max();
    if (!streaming_) return Start::Wait;
    if (external_ && triggersWaiting_ == 0 && linePending(now) == 0) {
        if (line_.hz > 0) waitUntil = line_.pulseTime(lineNext_) + std::chrono::microseconds(1);
        return Start::Wait;
    }
    // A replay that has sent its last frame (or cannot read the next) sends nothing more.
    if (replay_ && !replay_->prepare()) return Start::Wait;
    if (paced_ && !external_) {
        Clock::time_point due = frameDue();
        if (now < due) {
            waitUntil = due;
            return Start::Wait;
        }
    }
    const FrameFaults f = faults_.forFrame(nextFrame_);
    if (f.unplug) {
        present_.store(false, std::memory_order_release);
        return Start::Fail;
    }
    if (const std::optional<uint32_t> ms = faults_.takeReplug(nextFrame_)) {
        leaveBus(now, *ms);
        return Start::Fail;
    }
    if (f.stall && stalledFrame_ != nextFrame_) {
        if (!stallEnd_)
            stallEnd_ =
                f.stallMs ? now + std::chrono::milliseconds(f.stallMs) : Clock::time_point::max();
        if (now < *stallEnd_) {
            waitUntil = *stallEnd_;
            return Start::Wait;
        }
        stalledFrame_ = nextFrame_;
        stallEnd_.reset();
    }
    return Start::Go;
}

void BoardModel::startFrame(Clock::time_point now) {
    const uint32_t number = nextFrame_++;
    const FrameFaults f = faults_.forFrame(number);
    // The sensor takes its exposure registers as the frame starts (unless a group hold keeps
    // the previous ones).
    renderer_.setExposure(exposure_.frameStart(sensor_));
    const std::span<const uint8_t> picture = replay_ ? replay_->bytes() : renderer_.frame(number);
    if (f.skipIndex) ++indexOffset_;
    if (f.repeatIndex) --indexOffset_;

    WireFrame w;
    w.data = picture.data();
    w.dataLength = picture.size() - std::min<size_t>(picture.size(), f.missingBytes);
    w.extraLength = f.extraBytes;
    w.index = static_cast<uint16_t>(static_cast<int64_t>(number) + indexOffset_);
    // A paced sensor exposes frame k at its due time, whenever the host gets to read it; a
    // triggered one at its pulse and the latency after it.
    Clock::time_point exposure = paced_ && !external_ ? frameDue() : now;
    uint32_t stamp = number;
    if (external_) {
        Clock::time_point pulse = now;
        if (linePending(now) > 0) {
            stamp = static_cast<uint32_t>(lineNext_);
            pulse = line_.pulseTime(lineNext_++);
        } else {
            stamp = softTriggers_++;
            --triggersWaiting_;
            if (pulseCount_ > 0) {
                pulse = pulseTimes_[pulseHead_];
                pulseHead_ = (pulseHead_ + 1) % kPulseTimes;
                --pulseCount_;
            }
        }
        exposure = pulse + clock_.hostDuration(kTriggerLatencySeconds);
    }
    const int64_t jitter = clock_.jitterTicks(number);
    w.timestamp = clockAt(exposure);
    w.timestamp = jitter < 0 && w.timestamp < static_cast<uint64_t>(-jitter)
                      ? 0
                      : w.timestamp + static_cast<uint64_t>(jitter);
    if (config_.stream.stamp) w.stamp = stamp;
    if (replay_) {
        w.timestamp = replay_->nextTime();  // the recorded time, whatever the pacing
        replay_->advance();
    }
    w.discard = f.discard;
    w.corrupt = f.corrupt;
    w.keepToggle = f.repeatIndex;
    framer_.start(w);

    lastIndex_ = w.index;
    ++framesSinceStart_;
    if (external_) triggeredInFlight_ = true;
}

BulkResult BoardModel::bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) {
    MutexLock lock(mutex_);
    if (!present() || endpoint != kBulkInEndpoint) return BulkResult::fail();
    const Clock::time_point now = Clock::now();
    if (pending_) {
        if (now < pending_->readyAt) return BulkResult::waitUntil(pending_->readyAt);
        const uint32_t n = pending_->length;
        pending_.reset();
        return BulkResult::done(n);
    }
    // A read too small for one packet (or one chunk header and a byte) overflows.
    if (capacity < framer_.minimumRead()) return BulkResult::fail();

    uint32_t length = 0;
    Clock::time_point waitUntil = Clock::time_point::max();
    for (;;) {
        if (!framer_.inFrame()) {
            // A paced read ends with its frame, so the next frame's wait is a read's own.
            if (length > 0 && paced_) break;
            const Start s = canStartFrame(now, waitUntil);
            if (s == Start::Fail && length == 0) return BulkResult::fail();
            if (s != Start::Go) break;
            startFrame(now);
        }
        const StreamFramer::Fill f = framer_.fill(data + length, capacity - length);
        length += f.length;
        if (f.frameDone) {
            ++framesSent_;
            triggeredInFlight_ = false;
        }
        if (f.endRead || capacity - length < framer_.minimumRead()) break;
    }
    if (length == 0)
        return waitUntil == Clock::time_point::max() ? BulkResult::waitForever()
                                                     : BulkResult::waitUntil(waitUntil);
    if (!paced_) return BulkResult::done(length);

    // The link moves the read's bytes at its own rate once it is free.
    const Clock::time_point ready =
        std::max(now, linkFreeAt_) +
        std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(length / linkBytesPerSecond_));
    linkFreeAt_ = ready;
    if (ready <= now) return BulkResult::done(length);
    pending_ = PendingRead{length, ready};
    return BulkResult::waitUntil(ready);
}

void BoardModel::bulkAborted(uint8_t endpoint) {
    MutexLock lock(mutex_);
    // Bytes of a read still on its way to the host are lost with it.
    if (endpoint == kBulkInEndpoint) pending_.reset();
}

// ---------------------------------------------------------------------------------------------
// Inspection

void BoardModel::unplug() {
    present_.store(false, std::memory_order_release);
    notifyChanged();
}

void BoardModel::leaveBus(Clock::time_point now, uint32_t ms) {
    present_.store(false, std::memory_order_release);
    returnAt_ = now + std::chrono::milliseconds(ms);
}

void BoardModel::replug(uint32_t ms) {
    {
        MutexLock lock(mutex_);
        leaveBus(Clock::now(), ms);
    }
    notifyChanged();
}

bool BoardModel::returnDue(Clock::time_point now) const {
    MutexLock lock(mutex_);
    return !present() && returnAt_ && now >= *returnAt_;
}

bool BoardModel::comeBack(Clock::time_point now) {
    MutexLock lock(mutex_);
    if (present() || !returnAt_ || now < *returnAt_) return false;
    returnAt_.reset();
    powerOn(now);
    // A replay starts again from its first frame, as the board's frame numbers do.
    if (config_.stream.replay) {
        replay_ = std::make_unique<ReplayPlayer>(config_.stream.replay, config_.stream.replayLoop);
        replayStartTime_ = 0;
    }
    ++returns_;
    present_.store(true, std::memory_order_release);
    return true;
}

uint32_t BoardModel::returns() const {
    MutexLock lock(mutex_);
    return returns_;
}

std::vector<ControlRecord> BoardModel::controlRequests() const {
    MutexLock lock(mutex_);
    std::vector<ControlRecord> inOrder;
    inOrder.reserve(logCount_);
    for (size_t i = 0; i < logCount_; ++i) inOrder.push_back(log_[(logHead_ + i) % kLogLimit]);
    return inOrder;
}

void BoardModel::clearControlRequests() {
    MutexLock lock(mutex_);
    logHead_ = 0;
    logCount_ = 0;
}

std::optional<uint32_t> BoardModel::sensorRegister(uint16_t reg) const {
    MutexLock lock(mutex_);
    auto it = sensor_.find(reg);
    if (it == sensor_.end()) return std::nullopt;
    return it->second;
}

std::map<uint16_t, uint32_t> BoardModel::sensorRegisters() const {
    MutexLock lock(mutex_);
    return sensor_;
}

void BoardModel::setSensorRegister(uint16_t reg, uint32_t value) {
    MutexLock lock(mutex_);
    sensor_[reg] = value;
}

uint8_t BoardModel::boardControllerRegister(uint8_t reg) const {
    MutexLock lock(mutex_);
    return readBoardController(reg);
}

std::vector<uint8_t> BoardModel::userData() const {
    MutexLock lock(mutex_);
    return {userData_.begin(), userData_.end()};
}

bool BoardModel::streaming() const {
    MutexLock lock(mutex_);
    return streaming_;
}

bool BoardModel::externalTrigger() const {
    MutexLock lock(mutex_);
    return external_;
}

uint64_t BoardModel::framesSent() const {
    MutexLock lock(mutex_);
    return framesSent_;
}

uint32_t BoardModel::nextFrameNumber() const {
    MutexLock lock(mutex_);
    return nextFrame_;
}

std::optional<uint16_t> BoardModel::lastFrameIndex() const {
    MutexLock lock(mutex_);
    return lastIndex_;
}

uint64_t BoardModel::boardTime() const {
    MutexLock lock(mutex_);
    return clockAt(Clock::now());
}

void BoardModel::addFault(const FaultConfig& fault) {
    {
        MutexLock lock(mutex_);
        faults_.add(fault);
    }
    notifyChanged();
}

void BoardModel::clearFaults() {
    {
        MutexLock lock(mutex_);
        faults_.clear();
        stallEnd_.reset();
    }
    notifyChanged();
}

}  // namespace vexo::driver::virt
