// Counts every heap allocation of the test program that includes this
// header (include it in exactly one source file of that program), to show
// that a steady state allocates nothing.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace test_support {
// Counted only while counting_allocations is set.
inline std::atomic<bool> counting_allocations{true};
inline std::atomic<long> allocations{0};
}  // namespace test_support

// Out of line on purpose: inlined into a caller, GCC pairs the caller's
// `new` with the free() inside and warns of a mismatch that is not there.
__attribute__((noinline)) void* operator new(std::size_t size) {
    if (test_support::counting_allocations.load(std::memory_order_relaxed))
        test_support::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
