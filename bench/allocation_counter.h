#pragma once
// Counts the heap allocations of the whole process, so that the benchmark and the tests
// can tell how many allocations a call makes: read the count before and after it.

#include <cstdint>

namespace dottrack {

// Heap allocations made so far on every thread: malloc, calloc, realloc, the aligned
// allocators and operator new (which allocates through malloc), whether the call comes
// from our code, the C++ library or OpenCV.
std::int64_t allocationCount();

// How this build counts: "malloc" when the allocator's entry points are wrapped,
// "sanitizer" when the address sanitizer owns them and reports to a hook instead.
const char* allocationCountingMethod();

}  // namespace dottrack
