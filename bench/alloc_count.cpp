// Interposes malloc and friends (glibc resolves the executable's definitions first) to count
// allocations and live bytes. Only the benchmark links this.
#include "alloc_count.h"

#include <malloc.h>

#include <atomic>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<uint64_t> allocations{0};
std::atomic<int64_t> live_bytes{0};

void *counted(void *p)
{
    if (p && counting.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
        live_bytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p)),
                             std::memory_order_relaxed);
    }
    return p;
}
}  // namespace

extern "C" {
void *malloc(size_t n) { return counted(__libc_malloc(n)); }
void *calloc(size_t n, size_t s) { return counted(__libc_calloc(n, s)); }
void *realloc(void *p, size_t n)
{
    if (p && counting.load(std::memory_order_relaxed))
        live_bytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)),
                             std::memory_order_relaxed);
    return counted(__libc_realloc(p, n));
}
void free(void *p)
{
    if (p && counting.load(std::memory_order_relaxed))
        live_bytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)),
                             std::memory_order_relaxed);
    __libc_free(p);
}
}

namespace quelna::bench {

void alloc_counting(bool on) { counting.store(on); }
AllocCounts alloc_counts() { return {allocations.load(), live_bytes.load()}; }
void alloc_reset()
{
    allocations = 0;
    live_bytes = 0;
}

}  // namespace quelna::bench
