// The replaced global allocation functions behind allocationCount(). They live in a file of
// their own so that no caller sees a malloc-based new beside a free-based delete.
#include "common/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEXO_COUNTER_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VEXO_COUNTER_SANITIZED 1
#endif
#endif

namespace {
std::atomic<uint64_t> gAllocations{0};
}  // namespace

namespace vexo::test {

uint64_t allocationCount() {
    return gAllocations.load(std::memory_order_relaxed);
}

bool allocationCounting() {
#ifdef VEXO_COUNTER_SANITIZED
    return false;
#else
    return true;
#endif
}

}  // namespace vexo::test

#ifndef VEXO_COUNTER_SANITIZED
void* operator new(size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
#endif
