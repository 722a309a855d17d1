// Recycled storage for the small objects that every transfer makes and drops (the request
// record, the driver's request entry, the completion). Streaming keeps up to 64 transfers in
// flight and completes thousands a second; taking their storage from a free list instead of
// the heap keeps the steady state free of allocations.
//
// Blocks are never given back to the heap: the list holds as many as were ever alive at
// once. Sanitizer builds use the plain heap, so use-after-free stays detectable.
//
// Threading: operator new and delete may be called from any thread.
#pragma once

#include <cstddef>
#include <new>

#include "common/mutex.h"

namespace vexo::driver {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEXO_POOLED_USES_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VEXO_POOLED_USES_HEAP 1
#endif
#endif

/// Base that gives T (and only objects of exactly T's size) recycled storage.
template <typename T>
class Pooled {
  public:
    static void* operator new(std::size_t size) {
#ifndef VEXO_POOLED_USES_HEAP
        if (size == sizeof(T)) {
            MutexLock guard(list().lock);
            if (FreeBlock* block = list().head) {
                list().head = block->next;
                return block;
            }
        }
#endif
        return ::operator new(size < sizeof(FreeBlock) ? sizeof(FreeBlock) : size);
    }

    static void operator delete(void* p, std::size_t size) noexcept {
        if (p == nullptr) return;
#ifndef VEXO_POOLED_USES_HEAP
        if (size == sizeof(T)) {
            MutexLock guard(list().lock);
            auto* block = static_cast<FreeBlock*>(p);
            block->next = list().head;
            list().head = block;
            return;
        }
#endif
        (void)size;
        ::operator delete(p);
    }

  private:
    struct FreeBlock {
        FreeBlock* next;
    };
    struct FreeList {
        Mutex lock;
        FreeBlock* head VEXO_GUARDED_BY(lock) = nullptr;
    };
    static FreeList& list() {
        static FreeList freeList;
        return freeList;
    }
};

}  // namespace vexo::driver
