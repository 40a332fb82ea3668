// Reading configuration files of 1,000, 10,000 and 100,000 realms and finding a realm by name,
// beside libconfuse's own parse of the same files, in one run:
//  (a) qn_context_read_config into a fresh context (released after each read);
//  (b) qn_conf_find_realm among 100,000 realms;
//  (c) the floor: libconfuse alone parsing the same text with each realm's name written as an
//      option instead of its title;
//  (d) libconfuse alone parsing the titled text as it stands: it looks for an earlier section of
//      each title by a linear search, the cost the reader avoids by taking every section out of
//      the parser once complete (1,000 and 10,000 realms only: 100,000 take minutes).
#include <benchmark/benchmark.h>
#include <confuse.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_stats.h"
#include "quelna_int.h"

namespace {

// A typical realm: a TCP transport and one server.
std::string realms_text(long n, bool titled)
{
    std::string t;
    for (long i = 0; i < n; i++) {
        const std::string k = std::to_string(i);
        t += titled ? "realm realm-" + k + " {\n" : "realm {\n    name = realm-" + k + "\n";
        t += "    type = \"TCP\"\n    timeout = 3\n    server {\n        hostname = \"radius-" + k +
             ".example.net\"\n        service = \"1812\"\n        secret = \"secret-" + k +
             "\"\n    }\n}\n";
    }
    return t;
}

// The file of n realms (titled or not), written once and removed at exit.
const std::string &realms_file(long n, bool titled)
{
    static std::map<std::pair<long, bool>, std::string> paths;
    std::string &path = paths[{n, titled}];
    if (path.empty()) {
        char name[] = "/tmp/quelna-conf-bench-XXXXXX";
        int fd = mkstemp(name);
        const std::string text = realms_text(n, titled);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            std::abort();
        close(fd);
        path = name;
        static const bool cleanup = [] {
            std::atexit([] {
                for (const auto &p : paths)
                    unlink(p.second.c_str());
            });
            return true;
        }();
        (void)cleanup;
    }
    return path;
}

void BM_a_ReadConfig(benchmark::State &state)
{
    const std::string &path = realms_file(state.range(0), true);
    for (auto _ : state) {
        qn_context *ctx = nullptr;
        if (qn_context_create(&ctx) != 0 || qn_context_read_config(ctx, path.c_str()) != 0)
            state.SkipWithError("read failed");
        qn_context_destroy(ctx);
    }
}

void BM_b_FindRealm(benchmark::State &state)
{
    const long n = state.range(0);
    qn_context *ctx = nullptr;
    if (qn_context_create(&ctx) != 0 || qn_context_read_config(ctx, realms_file(n, true).c_str()))
        std::abort();
    // Names in a shuffled order, so that lookups do not walk memory in file order.
    std::vector<std::string> names(4096);
    std::mt19937 rng(1);
    for (std::string &name : names)
        name = "realm-" + std::to_string(rng() % n);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(qn_conf_find_realm(ctx, names[i].c_str()));
        i = (i + 1) % names.size();
    }
    qn_context_destroy(ctx);
}

// libconfuse's parse of a file of the reader's options (only those the files use).
void parse_with_libconfuse(const std::string &path, bool titled, benchmark::State &state)
{
    static cfg_opt_t server_opts[] = {
        CFG_STR("hostname", nullptr, CFGF_NONE),
        CFG_STR("service", "2083", CFGF_NONE),
        CFG_STR("secret", "wepkaz", CFGF_NONE),
        CFG_END(),
    };
    static cfg_opt_t realm_opts[] = {
        CFG_STR("name", nullptr, CFGF_NONE),
        CFG_STR("type", "UDP", CFGF_NONE),
        CFG_INT("timeout", 2, CFGF_NONE),
        CFG_SEC("server", server_opts, CFGF_MULTI),
        CFG_END(),
    };
    static cfg_opt_t titled_opts[] = {CFG_SEC("realm", realm_opts, CFGF_TITLE | CFGF_MULTI),
                                      CFG_END()};
    static cfg_opt_t untitled_opts[] = {CFG_SEC("realm", realm_opts, CFGF_MULTI), CFG_END()};
    cfg_t *cfg = cfg_init(titled ? titled_opts : untitled_opts, CFGF_NONE);
    if (!cfg || cfg_parse(cfg, path.c_str()) != CFG_SUCCESS)
        state.SkipWithError("libconfuse parse failed");
    cfg_free(cfg);
}

void BM_c_FloorLibconfuseUntitled(benchmark::State &state)
{
    const std::string &path = realms_file(state.range(0), false);
    for (auto _ : state)
        parse_with_libconfuse(path, false, state);
}

void BM_d_LibconfuseTitled(benchmark::State &state)
{
    const std::string &path = realms_file(state.range(0), true);
    for (auto _ : state)
        parse_with_libconfuse(path, true, state);
}

QUELNA_BENCH(BM_a_ReadConfig)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
QUELNA_BENCH(BM_c_FloorLibconfuseUntitled)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
QUELNA_BENCH(BM_b_FindRealm)->Arg(100000);
QUELNA_BENCH(BM_d_LibconfuseTitled)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

}  // namespace

int main(int argc, char **argv)
{
    // Repeat and interleave, and report aggregates (medians with min and max); arguments given
    // on the command line come later and win.
    std::vector<char *> args(argv, argv + argc);
    std::string reps = "--benchmark_repetitions=7";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    args.insert(args.begin() + 1, {reps.data(), interleave.data(), aggregates.data()});
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
