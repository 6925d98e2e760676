#pragma once

// Counts each thread's heap allocations and can make one fail. Replaces the global operator new
// and, outside sanitizer builds (whose allocator must see every block), aligned_alloc, which
// Asio's handlers use. Include it in one source file of a program; its other files define
// TESSARIN_ALLOCATION_PROBE_COUNTERS_ONLY first and see only the counters.

#include <cstddef>
#include <cstdlib>
#include <new>

namespace tessarin::test::AllocationProbe {

// Allocations made by the calling thread so far.
inline thread_local std::size_t allocations = 0;
// When n >= 0, the calling thread's n-th next operator new (0: the next) throws std::bad_alloc.
inline thread_local long failIn = -1;

}  // namespace tessarin::test::AllocationProbe

#ifndef TESSARIN_ALLOCATION_PROBE_COUNTERS_ONLY

// Not inlined: the compiler would pair the library's new with this free and warn.
[[gnu::noinline]] void* operator new(std::size_t bytes) {
    using namespace tessarin::test::AllocationProbe;
    ++allocations;
    void* memory = failIn >= 0 && failIn-- == 0 ? nullptr : std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}
// The library's temporary buffers: neither counted nor failed, but freed like the others.
[[gnu::noinline]] void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
    return std::malloc(bytes == 0 ? 1 : bytes);
}
[[gnu::noinline]] void operator delete(void* memory) noexcept {
    std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

#ifndef __SANITIZE_ADDRESS__
extern "C" void* __libc_memalign(std::size_t alignment, std::size_t bytes);
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t bytes) noexcept {
    ++tessarin::test::AllocationProbe::allocations;
    return __libc_memalign(alignment, bytes);
}
#endif

#endif  // TESSARIN_ALLOCATION_PROBE_COUNTERS_ONLY
