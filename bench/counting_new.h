// Replaces the global operator new of a benchmark program with one that counts its calls, so that
// a benchmark can show that the code it measures does not allocate. Include it in one source file
// of the program only.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace countingnew {
inline std::atomic<long> allocations{0};
}

void *operator new(std::size_t size)
{
    countingnew::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}
