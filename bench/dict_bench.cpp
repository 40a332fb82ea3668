// Dictionaries at run time, in one run:
//  - loading Debian's FreeRADIUS dictionary (/usr/share/freeradius/dictionary, when installed):
//    median time of five loads, the heap it keeps, its allocations and the growth of the peak
//    memory; beside it, radclient's start-up with the same dictionary (it loads it and stops:
//    nothing to send), whole process;
//  - lookups by name and by number of built-in attributes and of loaded ones, with the
//    dictionary loaded (the built-in path does not look at the loaded tables).
// Allocations are counted by replacing malloc and friends for the whole program.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

#include <quelna/codec.h>

#include "alloc_count.h"
#include "bench_stats.h"

namespace {

const char kDebian[] = "/usr/share/freeradius/dictionary";
bool loaded = false;

struct Lookup {
    const char *name;
    unsigned attr, vendor;
};
// Standard and vendor attributes, looked up in turn.
const Lookup kBuiltin[] = {{"User-Name", 1, 0},
                           {"Acct-Session-Id", 44, 0},
                           {"MS-MPPE-Send-Key", 16, 311},
                           {"Tunnel-Password", 69, 0}};
const Lookup kLoaded[] = {{"Cisco-AVPair", 1, 9},
                          {"Mikrotik-Rate-Limit", 8, 14988},
                          {"WISPr-Bandwidth-Max-Down", 8, 14122},
                          {"Aruba-User-Role", 1, 14823}};

template <size_t N>
void by_name(benchmark::State &state, const Lookup (&set)[N])
{
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lr_dict_attr_byname(set[i].name));
        i = (i + 1) % N;
    }
}

template <size_t N>
void by_number(benchmark::State &state, const Lookup (&set)[N])
{
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lr_dict_attr_byvalue(set[i].attr, set[i].vendor));
        i = (i + 1) % N;
    }
}

void BM_BuiltinByName(benchmark::State &state) { by_name(state, kBuiltin); }
void BM_BuiltinByNumber(benchmark::State &state) { by_number(state, kBuiltin); }
void BM_LoadedByName(benchmark::State &state)
{
    if (!loaded)
        state.SkipWithError("the dictionary is not loaded");
    by_name(state, kLoaded);
}
void BM_LoadedByNumber(benchmark::State &state)
{
    if (!loaded)
        state.SkipWithError("the dictionary is not loaded");
    by_number(state, kLoaded);
}

// Repeated, and reported as medians with min and max.
#define QUELNA_DICT_BENCH(fn) \
    QUELNA_BENCH(fn)->Repetitions(15)->ReportAggregatesOnly(true)->MinTime(0.1)
QUELNA_DICT_BENCH(BM_BuiltinByName);
QUELNA_DICT_BENCH(BM_BuiltinByNumber);
QUELNA_DICT_BENCH(BM_LoadedByName);
QUELNA_DICT_BENCH(BM_LoadedByNumber);

long max_rss_kb()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Milliseconds and peak memory (KB) of one radclient run with the dictionary; -1 ms when it
// cannot be run.
std::pair<double, long> radclient_start_up()
{
    const char *const argv[] = {"radclient", "-d", "/usr/share/freeradius", "127.0.0.1:1",
                                "status", "secret", nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    for (int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    const int rc = posix_spawnp(&pid, "radclient", &fa, nullptr, const_cast<char **>(argv),
                                environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return {-1, 0};
    int status;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    const std::chrono::duration<double, std::milli> t = std::chrono::steady_clock::now() - t0;
    return {t.count(), ru.ru_maxrss};
}

// Prints "label: median M unit (min .. max)" of five figures.
void show(const char *label, std::vector<double> v, const char *unit)
{
    std::sort(v.begin(), v.end());
    std::printf("%s: median %.1f %s (min %.1f .. max %.1f)", label, v[2], unit, v[0], v[4]);
}

// Loads the dictionary five times, keeping the last load for the lookups.
void load_figures()
{
    if (access(kDebian, R_OK) != 0) {
        std::printf("%s is not installed: no load figures\n", kDebian);
        return;
    }
    std::vector<double> ms;
    long heap = 0, allocations = 0, rss_growth = 0;
    for (int i = 0; i < 5; i++) {
        lr_dict_unload_all();
        const long rss = max_rss_kb();
        quelna::bench::alloc_reset();
        quelna::bench::alloc_counting(true);
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = lr_dict_load(kDebian);
        const std::chrono::duration<double, std::milli> t = std::chrono::steady_clock::now() - t0;
        quelna::bench::alloc_counting(false);
        if (rc != 0) {
            std::printf("loading %s failed: %s\n", kDebian, lr_strerror());
            return;
        }
        ms.push_back(t.count());
        heap = static_cast<long>(quelna::bench::alloc_counts().live_bytes);
        allocations = static_cast<long>(quelna::bench::alloc_counts().allocations);
        if (i == 0)
            rss_growth = max_rss_kb() - rss;
    }
    loaded = true;
    lr_dict_counts c;
    lr_dict_load_counts(&c);
    show("load of Debian's dictionary", ms, "ms");
    std::printf(", heap kept %ld KB, %ld allocations, peak memory +%ld KB (first load); %zu "
                "attribute and %zu value names\n",
                heap / 1024, allocations, rss_growth, c.attributes, c.values);

    std::vector<double> rms, rkb;
    for (int i = 0; i < 5; i++) {
        const auto [t, kb] = radclient_start_up();
        if (t < 0) {
            std::printf("radclient cannot be run: no comparison\n");
            return;
        }
        rms.push_back(t);
        rkb.push_back(static_cast<double>(kb));
    }
    show("radclient start-up with the same dictionary", rms, "ms");
    std::sort(rkb.begin(), rkb.end());
    std::printf(", peak memory %.0f KB (whole process)\n", rkb[2]);
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    load_figures();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
