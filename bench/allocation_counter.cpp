#include "bench/allocation_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace dottrack {

namespace {

// Updated from every thread that allocates; only the total matters, so no ordering.
std::atomic<std::int64_t> allocations{0};

void countAllocation() {
    allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

std::int64_t allocationCount() {
    return allocations.load(std::memory_order_relaxed);
}

}  // namespace dottrack

#if defined(__SANITIZE_ADDRESS__)

// The sanitizer replaces the allocator itself; it calls this hook for each block it hands
// out, operator new included.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            std::size_t),
                                                         void (*freeHook)(const volatile void*));

namespace dottrack {

namespace {

void onSanitizerAllocation(const volatile void*, std::size_t) {
    countAllocation();
}

// The sanitizer takes the hooks only as a pair; releases are not counted.
void onSanitizerRelease(const volatile void*) {}

const int hooksInstalled =
    __sanitizer_install_malloc_and_free_hooks(onSanitizerAllocation, onSanitizerRelease);

}  // namespace

const char* allocationCountingMethod() {
    return hooksInstalled != 0 ? "sanitizer" : "none";
}

}  // namespace dottrack

#else

namespace dottrack {

const char* allocationCountingMethod() {
    return "malloc";
}

}  // namespace dottrack

// The C library's allocator under its internal names. Defining the public entry points in
// the executable makes every library of the process, OpenCV included, call these wrappers,
// which count and hand over; free and malloc_usable_size stay the library's own since the
// blocks are its own.
extern "C" {

void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_valloc(std::size_t size);
void* __libc_pvalloc(std::size_t size);

void* malloc(std::size_t size) noexcept {
    dottrack::countAllocation();
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
    dottrack::countAllocation();
    return __libc_calloc(count, size);
}

// Counted as an allocation even when the block grows in place: the caller asked for one.
void* realloc(void* block, std::size_t size) noexcept {
    dottrack::countAllocation();
    return __libc_realloc(block, size);
}

void* memalign(std::size_t alignment, std::size_t size) noexcept {
    dottrack::countAllocation();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    dottrack::countAllocation();
    return __libc_memalign(alignment, size);
}

void* valloc(std::size_t size) noexcept {
    dottrack::countAllocation();
    return __libc_valloc(size);
}

void* pvalloc(std::size_t size) noexcept {
    dottrack::countAllocation();
    return __libc_pvalloc(size);
}

int posix_memalign(void** block, std::size_t alignment, std::size_t size) noexcept {
    // The checks the C library makes: a power of two that is a multiple of a pointer.
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) {
        return EINVAL;
    }
    dottrack::countAllocation();
    void* result = __libc_memalign(alignment, size);
    if (result == nullptr) {
        return ENOMEM;
    }
    *block = result;
    return 0;
}

}  // extern "C"

#endif
