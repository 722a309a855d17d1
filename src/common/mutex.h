// A std::mutex and its scoped lock, annotated for clang's thread-safety analysis
// (common/thread_annotations.h). They cost nothing over std::mutex and std::unique_lock.
#pragma once

#include <mutex>

#include "common/thread_annotations.h"

namespace vexo {

class VEXO_CAPABILITY("mutex") Mutex {
  public:
    void lock() VEXO_ACQUIRE() { mutex_.lock(); }
    void unlock() VEXO_RELEASE() { mutex_.unlock(); }
    bool try_lock() VEXO_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
    /// Tells the analysis that the caller holds the mutex where it cannot see so (a callback
    /// run by a helper while the caller holds it); checks nothing at run time.
    void assertHeld() const VEXO_ASSERT_CAPABILITY(this) {}

  private:
    friend class MutexLock;
    std::mutex mutex_;
};

/// Holds a Mutex from construction to destruction, like std::unique_lock. A condition
/// variable waits on native(); the wait gives the mutex back before it returns, so the analysis
/// may take the lock as held throughout. A predicate that reads guarded data says so with
/// VEXO_REQUIRES after its parameter list.
class VEXO_SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) VEXO_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    /// Takes over a mutex the caller has locked (after a successful try_lock()).
    MutexLock(Mutex& mutex, std::adopt_lock_t) VEXO_REQUIRES(mutex)
        : lock_(mutex.mutex_, std::adopt_lock) {}
    ~MutexLock() VEXO_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void lock() VEXO_ACQUIRE() { lock_.lock(); }
    void unlock() VEXO_RELEASE() { lock_.unlock(); }

    std::unique_lock<std::mutex>& native() { return lock_; }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace vexo
