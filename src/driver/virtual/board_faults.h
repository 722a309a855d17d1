// The faults a virtual board has been asked to show, looked up per frame and per request.
//
// Threading: none of its own; the board model calls it under its lock.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "driver/virtual/board_config.h"

namespace vexo::driver::virt {

/// What the faults do to one frame.
struct FrameFaults {
    uint32_t missingBytes = 0;
    uint32_t extraBytes = 0;
    bool skipIndex = false;
    bool repeatIndex = false;
    bool discard = false;
    bool corrupt = false;
    bool stall = false;
    uint32_t stallMs = 0;  ///< 0: until the fault is cleared
    bool unplug = false;
};

class BoardFaults {
  public:
    void add(const FaultConfig& fault);
    void clear();

    /// The faults that touch frame number `frame`.
    FrameFaults forFrame(uint32_t frame) const;

    /// Whether vendor request `request` must fail, using up one failure of a matching fault.
    /// `framesStarted` tells whether a fault's atFrame has been reached.
    bool takeControlFailure(uint8_t request, uint32_t framesStarted);

    /// The time off the bus when a replug fault fires as frame `frame` would start, using up
    /// one replug of it; none otherwise.
    std::optional<uint32_t> takeReplug(uint32_t frame);

  private:
    struct Entry {
        FaultConfig config;
        uint32_t failuresLeft;  // ControlFail and Replug with a count
    };
    std::vector<Entry> entries_;
};

}  // namespace vexo::driver::virt
