#include "driver/virtual/board_faults.h"

#include <algorithm>

namespace vexo::driver::virt {

namespace {
bool touches(const FaultConfig& f, uint32_t frame) {
    return frame >= f.atFrame && (f.count == 0 || frame - f.atFrame < f.count);
}
}  // namespace

void BoardFaults::add(const FaultConfig& fault) {
    entries_.push_back({fault, fault.count});
}

void BoardFaults::clear() {
    entries_.clear();
}

FrameFaults BoardFaults::forFrame(uint32_t frame) const {
    FrameFaults out;
    bool stallForever = false;
    for (const Entry& e : entries_) {
        const FaultConfig& f = e.config;
        if (f.kind == BoardFault::ControlFail || f.kind == BoardFault::Replug) continue;
        // An unplug is for good: every frame from atFrame on finds the board gone.
        if (f.kind == BoardFault::Unplug) {
            out.unplug = out.unplug || frame >= f.atFrame;
            continue;
        }
        if (!touches(f, frame)) continue;
        switch (f.kind) {
            case BoardFault::Stall:
                out.stall = true;
                stallForever = stallForever || f.ms == 0;
                out.stallMs = std::max(out.stallMs, f.ms);
                break;
            case BoardFault::ShortFrame:
                out.missingBytes += f.bytes;
                break;
            case BoardFault::LongFrame:
                out.extraBytes += f.bytes;
                break;
            case BoardFault::SkipIndex:
                out.skipIndex = true;
                break;
            case BoardFault::RepeatIndex:
                out.repeatIndex = true;
                break;
            case BoardFault::Discard:
                out.discard = true;
                break;
            case BoardFault::CorruptHeader:
                out.corrupt = true;
                break;
            default:
                break;
        }
    }
    if (stallForever) out.stallMs = 0;
    return out;
}

bool BoardFaults::takeControlFailure(uint8_t request, uint32_t framesStarted) {
    for (Entry& e : entries_) {
        const FaultConfig& f = e.config;
        if (f.kind != BoardFault::ControlFail || framesStarted < f.atFrame) continue;
        if (f.request && *f.request != request) continue;
        if (f.count == 0) return true;
        if (e.failuresLeft == 0) continue;
        --e.failuresLeft;
        return true;
    }
    return false;
}

std::optional<uint32_t> BoardFaults::takeReplug(uint32_t frame) {
    for (Entry& e : entries_) {
        const FaultConfig& f = e.config;
        // Frame numbers start again when the board returns, so the fault meets its frame once
        // per appearance.
        if (f.kind != BoardFault::Replug || frame != f.atFrame) continue;
        if (f.count != 0) {
            if (e.failuresLeft == 0) continue;
            --e.failuresLeft;
        }
        return f.ms;
    }
    return std::nullopt;
}

}  // namespace vexo::driver::virt
