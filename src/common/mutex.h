// A std::mutex and a std::shared_mutex with their scoped locks, annotated for clang's
// thread-safety analysis (common/thread_annotations.h). They cost nothing over the standard
// mutexes and std::unique_lock / std::shared_lock.
#pragma once

#include <mutex>
#include <shared_mutex>

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

/// A std::shared_mutex: readers hold it shared (SharedLock), a writer exclusively
/// (ExclusiveLock). Data it guards is read with either and written only with the exclusive lock.
class VEXO_CAPABILITY("shared mutex") SharedMutex {
  public:
    void lock() VEXO_ACQUIRE() { mutex_.lock(); }
    void unlock() VEXO_RELEASE() { mutex_.unlock(); }
    void lock_shared() VEXO_ACQUIRE_SHARED() { mutex_.lock_shared(); }
    void unlock_shared() VEXO_RELEASE_SHARED() { mutex_.unlock_shared(); }
    bool try_lock() VEXO_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
    bool try_lock_shared() VEXO_TRY_ACQUIRE_SHARED(true) { return mutex_.try_lock_shared(); }

  private:
    friend class SharedLock;
    friend class ExclusiveLock;
    std::shared_mutex mutex_;
};

/// Holds a SharedMutex shared from construction to destruction, like std::shared_lock.
class VEXO_SCOPED_CAPABILITY SharedLock {
  public:
    explicit SharedLock(SharedMutex& mutex) VEXO_ACQUIRE_SHARED(mutex) : lock_(mutex.mutex_) {}
    /// Takes over a mutex the caller holds shared (after a successful try_lock_shared()).
    SharedLock(SharedMutex& mutex, std::adopt_lock_t) VEXO_REQUIRES_SHARED(mutex)
        : lock_(mutex.mutex_, std::adopt_lock) {}
    ~SharedLock() VEXO_RELEASE() {}
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

  private:
    std::shared_lock<std::shared_mutex> lock_;
};

/// Holds a SharedMutex exclusively from construction to destruction, like std::unique_lock.
class VEXO_SCOPED_CAPABILITY ExclusiveLock {
  public:
    explicit ExclusiveLock(SharedMutex& mutex) VEXO_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    /// Takes over a mutex the caller holds exclusively (after a successful try_lock()).
    ExclusiveLock(SharedMutex& mutex, std::adopt_lock_t) VEXO_REQUIRES(mutex)
        : lock_(mutex.mutex_, std::adopt_lock) {}
    ~ExclusiveLock() VEXO_RELEASE() {}
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  private:
    std::unique_lock<std::shared_mutex> lock_;
};

}  // namespace vexo
