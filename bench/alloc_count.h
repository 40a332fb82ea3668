// Counts heap allocations made by this process while counting is switched on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelna::bench {

struct AllocCounts {
    uint64_t allocations = 0;
    int64_t live_bytes = 0;
};

void alloc_counting(bool on);
AllocCounts alloc_counts();
void alloc_reset();

}  // namespace quelna::bench
