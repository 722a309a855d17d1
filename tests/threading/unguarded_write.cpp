// Must NOT compile under -Wthread-safety -Werror, for either write: check_thread_safety.py makes
// sure the analysis sees the annotations before it trusts a clean run.
#include "common/mutex.h"

struct Counter {
    vexo::Mutex mutex;
    int value VEXO_GUARDED_BY(mutex) = 0;
};

void bump(Counter& counter) {
    ++counter.value;
}

struct Table {
    vexo::SharedMutex mutex;
    int value VEXO_GUARDED_BY(mutex) = 0;
};

// A reader's shared lock does not allow a write.
void bump(Table& table) {
    vexo::SharedLock lock(table.mutex);
    ++table.value;
}
