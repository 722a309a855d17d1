// Must NOT compile under -Wthread-safety -Werror: check_thread_safety.py makes sure the
// analysis sees the annotations before it trusts a clean run.
#include "common/mutex.h"

struct Counter {
    vexo::Mutex mutex;
    int value VEXO_GUARDED_BY(mutex) = 0;
};

void bump(Counter& counter) { ++counter.value; }
