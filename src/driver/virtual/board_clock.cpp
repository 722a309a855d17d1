#include "driver/virtual/board_clock.h"

#include <cmath>

namespace vexo::driver::virt {

namespace {

using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

BoardClock::BoardClock(const ClockConfig& config, const std::string& serial)
    : rate_(1.0 + config.driftPpm * 1e-6),
      offsetTicks_(std::llround(config.offsetUs * 10)),
      jitterTicks_(std::llround(config.jitterUs * 10)),
      seed_(0) {
    for (unsigned char c : serial) seed_ = mix(seed_ ^ c);
}

int64_t BoardClock::ticks(Clock::duration hostElapsed) const {
    const int64_t host = std::chrono::duration_cast<Ticks>(hostElapsed).count();
    if (rate_ == 1.0) return host;
    return std::llround(static_cast<double>(host) * rate_);
}

Clock::duration BoardClock::hostDuration(double boardSeconds) const {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(boardSeconds / rate_));
}

int64_t BoardClock::jitterTicks(uint64_t sequence) const {
    if (jitterTicks_ == 0) return 0;
    const uint64_t span = 2 * static_cast<uint64_t>(jitterTicks_) + 1;
    return static_cast<int64_t>(mix(seed_ ^ mix(sequence)) % span) - jitterTicks_;
}

}  // namespace vexo::driver::virt
