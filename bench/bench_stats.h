// The aggregates every benchmark reports beside its median: its fastest and slowest repetition.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace quelna::bench {

inline double stat_min(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

inline double stat_max(const std::vector<double> &v)
{
    return *std::max_element(v.begin(), v.end());
}

}  // namespace quelna::bench

#define QUELNA_BENCH(fn)                                    \
    BENCHMARK(fn)                                           \
        ->ComputeStatistics("min", quelna::bench::stat_min) \
        ->ComputeStatistics("max", quelna::bench::stat_max)
