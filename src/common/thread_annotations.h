// Which lock guards which data, and which functions take, need or must not hold it, written
// where the data and functions are declared. Under clang the macros are the attributes of its
// thread-safety analysis (-Wthread-safety, run over the library by the "thread_safety" test);
// under other compilers they are nothing. docs/threading.md has the rules they state.
//
// Only lock types whose class carries VEXO_CAPABILITY can be named (std::mutex is not one under
// libstdc++): annotated code locks a vexo::Mutex with a vexo::MutexLock, and a vexo::SharedMutex
// with a vexo::SharedLock or a vexo::ExclusiveLock (common/mutex.h).
#pragma once

#if defined(__clang__)
#define VEXO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VEXO_THREAD_ANNOTATION(x)
#endif

/// On a class: its objects are locks.
#define VEXO_CAPABILITY(name) VEXO_THREAD_ANNOTATION(capability(name))
/// On a class: an object holds a lock from its construction to its destruction.
#define VEXO_SCOPED_CAPABILITY VEXO_THREAD_ANNOTATION(scoped_lockable)
/// On a member: read or written only with `lock` held.
#define VEXO_GUARDED_BY(lock) VEXO_THREAD_ANNOTATION(guarded_by(lock))
/// On a pointer member: what it points to is read or written only with `lock` held.
#define VEXO_PT_GUARDED_BY(lock) VEXO_THREAD_ANNOTATION(pt_guarded_by(lock))
/// On a function: called with the locks held (it neither takes nor releases them).
#define VEXO_REQUIRES(...) VEXO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
/// On a function: called with the locks held at least shared (it only reads what they guard).
#define VEXO_REQUIRES_SHARED(...) VEXO_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
/// On a function: called without the locks (it takes them itself, or calls out).
#define VEXO_EXCLUDES(...) VEXO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// On a function: returns with the locks held (no argument: the object it is called on).
#define VEXO_ACQUIRE(...) VEXO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
/// On a function: returns with the locks held shared (no argument: the object it is called on).
#define VEXO_ACQUIRE_SHARED(...) VEXO_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
/// On a function: returns with the locks released (no argument: the object it is called on).
#define VEXO_RELEASE(...) VEXO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
/// On a function: returns with the shared locks released.
#define VEXO_RELEASE_SHARED(...) VEXO_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
/// On a function: holds the locks when it returns `result`.
#define VEXO_TRY_ACQUIRE(...) VEXO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
/// On a function: holds the locks shared when it returns `result`.
#define VEXO_TRY_ACQUIRE_SHARED(...) \
    VEXO_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
/// On a function: from its return on, the analysis takes the locks as held.
#define VEXO_ASSERT_CAPABILITY(...) VEXO_THREAD_ANNOTATION(assert_capability(__VA_ARGS__))
/// On a function: returns a reference to `lock`.
#define VEXO_RETURN_CAPABILITY(lock) VEXO_THREAD_ANNOTATION(lock_returned(lock))
/// On a lock member: taken only while the given locks are already held (the lock order).
#define VEXO_ACQUIRED_AFTER(...) VEXO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
/// On a function whose locking the analysis cannot follow; say why next to it.
#define VEXO_NO_THREAD_SAFETY_ANALYSIS VEXO_THREAD_ANNOTATION(no_thread_safety_analysis)
