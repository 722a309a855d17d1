#include "driver/virtual/trigger_line.h"

#include <cmath>

#include "common/mutex.h"

namespace vexo::driver::virt {

namespace {

struct Line {
    Mutex lock;
    TriggerLineView view VEXO_GUARDED_BY(lock);
};

Line& line() {
    static Line l;
    return l;
}

}  // namespace

void setTriggerLine(double hz) {
    Line& l = line();
    MutexLock guard(l.lock);
    l.view.hz = std::isfinite(hz) && hz > 0 ? hz : 0;
    l.view.start = Clock::now();
    ++l.view.generation;
}

double triggerLineRate() {
    Line& l = line();
    MutexLock guard(l.lock);
    return l.view.hz;
}

TriggerLineView triggerLine() {
    Line& l = line();
    MutexLock guard(l.lock);
    return l.view;
}

uint64_t TriggerLineView::pulsesBy(Clock::time_point t) const {
    if (hz <= 0 || t < start) return 0;
    const double seconds = std::chrono::duration<double>(t - start).count();
    return static_cast<uint64_t>(std::floor(seconds * hz)) + 1;
}

Clock::time_point TriggerLineView::pulseTime(uint64_t k) const {
    return start + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(static_cast<double>(k) / hz));
}

}  // namespace vexo::driver::virt
