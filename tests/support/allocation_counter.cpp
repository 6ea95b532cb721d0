#include "allocation_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

thread_local long threadCount = 0;
std::atomic<long> processCount{0};
std::atomic<long> processFrees{0};

void release(void* p) {
    if (p != nullptr) {
        processFrees.fetch_add(1, std::memory_order_relaxed);
    }
    std::free(p);
}

void* allocate(std::size_t size, std::size_t alignment) {
    ++threadCount;
    processCount.fetch_add(1, std::memory_order_relaxed);
    size = size == 0 ? 1 : size;
    if (alignment <= alignof(std::max_align_t)) {
        return std::malloc(size);
    }
    void* p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void* allocateOrThrow(std::size_t size, std::size_t alignment) {
    if (void* p = allocate(size, alignment)) {
        return p;
    }
    throw std::bad_alloc();
}

}  // namespace

namespace vocari::test {

long allocationsOnThisThread() {
    return threadCount;
}
long allocationsInProcess() {
    return processCount.load(std::memory_order_relaxed);
}
long freesInProcess() {
    return processFrees.load(std::memory_order_relaxed);
}

}  // namespace vocari::test

// Out of line, so that the compiler never pairs an inlined free() with a counted new.
[[gnu::noinline]] void* operator new(std::size_t size) {
    return allocateOrThrow(size, 0);
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
    return allocateOrThrow(size, 0);
}
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, 0);
}
[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, 0);
}
[[gnu::noinline]] void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocateOrThrow(size, static_cast<std::size_t>(alignment));
}
[[gnu::noinline]] void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocateOrThrow(size, static_cast<std::size_t>(alignment));
}
[[gnu::noinline]] void* operator new(std::size_t size, std::align_val_t alignment,
                                     const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(alignment));
}
[[gnu::noinline]] void* operator new[](std::size_t size, std::align_val_t alignment,
                                       const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(alignment));
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete(void* p, std::align_val_t) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::align_val_t) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    release(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::align_val_t,
                                         const std::nothrow_t&) noexcept {
    release(p);
}
