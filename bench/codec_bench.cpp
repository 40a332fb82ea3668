// Codec speed against its MD5 floor, in one run:
//  (a) encode+sign of a typical Access-Request into a fresh packet (lr_packet_init included);
//  (b) verify+decode of a typical signed Access-Accept (four attributes, Message-Authenticator);
//  (c) the bare MD5 work those packets need, with low-level MD5: the floors.
// Every figure is repeated with the benchmarks randomly interleaved; the summary at the end gives
// medians with min..max and the ratios to the floors, and the heap allocations counted in each
// step. Allocations are counted by replacing malloc and friends for the whole program.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/md5.h>
#include <quelna/codec.h>

#include "alloc_count.h"
#include "bench_stats.h"

namespace {

// Counts the heap allocations made by fn.
template <typename Fn>
long count_allocations(Fn &&fn)
{
    quelna::bench::alloc_reset();
    quelna::bench::alloc_counting(true);
    fn();
    quelna::bench::alloc_counting(false);
    return static_cast<long>(quelna::bench::alloc_counts().allocations);
}

const char kSecret[] = "a-typical-shared-secret";

// ---- the typical packets ------------------------------------------------------------------

void add(lr_value_pair **list, const char *name, const void *value, size_t len)
{
    lr_value_pair *vp = lr_vp_alloc(lr_dict_attr_byname(name));
    if (!vp)
        std::abort();
    std::memcpy(vp->value, value, len);
    vp->length = len;
    lr_vps_append(list, vp);
}

// User-Name, 8-octet User-Password, NAS-IP-Address, NAS-Port, Calling-Station-Id, one VSA,
// Message-Authenticator.
lr_value_pair *typical_request_pairs()
{
    lr_value_pair *list = nullptr;
    uint8_t ip[4];
    inet_pton(AF_INET, "192.0.2.1", ip);
    const uint32_t port = 17, vendor = 9;
    add(&list, "User-Name", "alice@example.org", 17);
    add(&list, "User-Password", "p4ssw0rd", 8);
    add(&list, "NAS-IP-Address", ip, 4);
    add(&list, "NAS-Port", &port, 4);
    add(&list, "Calling-Station-Id", "00-11-22-33-44-55", 17);
    add(&list, "MS-RAS-Vendor", &vendor, 4);
    add(&list, "Message-Authenticator", "", 0);
    return list;
}

struct Fixture {
    lr_value_pair *request_pairs = typical_request_pairs();
    uint8_t request_buf[4096];
    lr_packet request;  // encoded and signed once, the original of the Access-Accept
    std::vector<uint8_t> accept;

    Fixture()
    {
        lr_packet_init(&request, nullptr, kSecret, 1, request_buf, sizeof request_buf);
        request.vps = request_pairs;
        if (lr_packet_sign(&request, nullptr) != 0)
            std::abort();

        uint8_t buf[4096];
        lr_packet resp;
        if (lr_packet_init(&resp, &request, kSecret, 2, buf, sizeof buf) != 0)
            std::abort();
        uint8_t ip[4];
        inet_pton(AF_INET, "198.51.100.7", ip);
        const uint32_t timeout = 3600;
        add(&resp.vps, "Reply-Message", "Welcome, alice", 14);
        add(&resp.vps, "Session-Timeout", &timeout, 4);
        add(&resp.vps, "Framed-IP-Address", ip, 4);
        add(&resp.vps, "Class", "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
        add(&resp.vps, "Message-Authenticator", "", 0);
        if (lr_packet_sign(&resp, &request) != 0)
            std::abort();
        accept.assign(buf, buf + resp.length);
        lr_vp_free(&resp.vps);
    }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

void set_up_received(lr_packet *pkt, std::vector<uint8_t> &octets)
{
    *pkt = lr_packet{};
    pkt->data = octets.data();
    pkt->data_size = octets.size();
    pkt->length = octets.size();
    pkt->secret = kSecret;
    pkt->secret_len = sizeof kSecret - 1;
}

// ---- (a) and (b) --------------------------------------------------------------------------

void BM_a_EncodeSignAccessRequest(benchmark::State &state)
{
    Fixture &f = fixture();
    uint8_t buf[4096];
    lr_packet pkt;
    for (auto _ : state) {
        lr_packet_init(&pkt, nullptr, kSecret, 1, buf, sizeof buf);
        pkt.vps = f.request_pairs;
        lr_packet_encode(&pkt, nullptr);
        lr_packet_sign(&pkt, nullptr);
        benchmark::DoNotOptimize(buf);
    }
    state.counters["octets"] = static_cast<double>(pkt.length);
}

void BM_b_VerifyDecodeAccessAccept(benchmark::State &state)
{
    Fixture &f = fixture();
    std::vector<uint8_t> octets = f.accept;
    lr_packet pkt;
    for (auto _ : state) {
        set_up_received(&pkt, octets);
        if (lr_packet_verify(&pkt, &f.request) != 0)
            state.SkipWithError("verify failed");
        lr_packet_decode(&pkt, &f.request);
        benchmark::DoNotOptimize(pkt.vps);
        lr_vp_free(&pkt.vps);
    }
    state.counters["octets"] = static_cast<double>(octets.size());
}

// ---- (c) the floors -------------------------------------------------------------------------

// HMAC-MD5 with the key's pad blocks hashed once and the states copied per call (RFC 2104).
struct HmacPads {
    MD5_CTX inner, outer;
    explicit HmacPads(const char *key)
    {
        uint8_t ipad[64] = {}, opad[64] = {};
        std::memcpy(ipad, key, std::strlen(key));
        std::memcpy(opad, key, std::strlen(key));
        for (int i = 0; i < 64; i++)
            ipad[i] ^= 0x36, opad[i] ^= 0x5c;
        MD5_Init(&inner);
        MD5_Update(&inner, ipad, 64);
        MD5_Init(&outer);
        MD5_Update(&outer, opad, 64);
    }
    void mac(const uint8_t *text, size_t len, uint8_t *out) const
    {
        MD5_CTX c = inner;
        MD5_Update(&c, text, len);
        MD5_Final(out, &c);
        c = outer;
        MD5_Update(&c, out, 16);
        MD5_Final(out, &c);
    }
};

// The MD5 work of (a): the Message-Authenticator over the request and one User-Password block.
void BM_c_FloorRequest(benchmark::State &state)
{
    Fixture &f = fixture();
    static const HmacPads pads(kSecret);
    std::vector<uint8_t> octets(f.request_buf, f.request_buf + f.request.length);
    uint8_t digest[16];
    for (auto _ : state) {
        pads.mac(octets.data(), octets.size(), digest);
        MD5_CTX c;
        MD5_Init(&c);
        MD5_Update(&c, kSecret, sizeof kSecret - 1);
        MD5_Update(&c, f.request.vector, 16);
        MD5_Final(digest, &c);
        benchmark::DoNotOptimize(digest);
    }
    state.counters["octets"] = static_cast<double>(octets.size());
}

// The MD5 work of (b): the Message-Authenticator and the Response Authenticator.
void BM_c_FloorAccept(benchmark::State &state)
{
    Fixture &f = fixture();
    static const HmacPads pads(kSecret);
    std::vector<uint8_t> octets = f.accept;
    uint8_t digest[16];
    for (auto _ : state) {
        pads.mac(octets.data(), octets.size(), digest);
        MD5_CTX c;
        MD5_Init(&c);
        MD5_Update(&c, octets.data(), octets.size());
        MD5_Update(&c, kSecret, sizeof kSecret - 1);
        MD5_Final(digest, &c);
        benchmark::DoNotOptimize(digest);
    }
    state.counters["octets"] = static_cast<double>(octets.size());
}

QUELNA_BENCH(BM_a_EncodeSignAccessRequest);
QUELNA_BENCH(BM_b_VerifyDecodeAccessAccept);
QUELNA_BENCH(BM_c_FloorRequest);
QUELNA_BENCH(BM_c_FloorAccept);

// Keeps the median, min and max per benchmark (ns, real and CPU time) for the closing summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    struct Figures {
        double median = 0, min = 0, max = 0;
    };
    std::map<std::string, Figures> real, cpu;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Aggregate)
                continue;
            keep(real[r.run_name.function_name], r.aggregate_name, r.GetAdjustedRealTime());
            keep(cpu[r.run_name.function_name], r.aggregate_name, r.GetAdjustedCPUTime());
        }
    }

private:
    static void keep(Figures &f, const std::string &aggregate, double ns)
    {
        if (aggregate == "median")
            f.median = ns;
        if (aggregate == "min")
            f.min = ns;
        if (aggregate == "max")
            f.max = ns;
    }
};

void print_allocations()
{
    Fixture &f = fixture();
    uint8_t buf[4096];
    lr_packet pkt;
    const long init =
        count_allocations([&] { lr_packet_init(&pkt, nullptr, kSecret, 1, buf, sizeof buf); });
    pkt.vps = f.request_pairs;
    const long encode = count_allocations([&] { lr_packet_encode(&pkt, nullptr); });
    const long sign = count_allocations([&] { lr_packet_sign(&pkt, nullptr); });
    std::vector<uint8_t> octets = f.accept;
    set_up_received(&pkt, octets);
    const long ok = count_allocations([&] { lr_packet_ok(&pkt); });
    const long verify = count_allocations([&] { lr_packet_verify(&pkt, &f.request); });
    const long decode = count_allocations([&] { lr_packet_decode(&pkt, &f.request); });
    lr_vp_free(&pkt.vps);
    std::printf(
        "heap allocations: init %ld, encode %ld, sign %ld, ok %ld, verify %ld, "
        "decode %ld (one per decoded pair)\n",
        init, encode, sign, ok, verify, decode);
}

}  // namespace

#pragma GCC diagnostic pop

int main(int argc, char **argv)
{
    // Defaults that follow the house rules for figures on a shared VM: repeat, interleave,
    // report aggregates. Arguments given on the command line come later and win.
    std::vector<char *> args(argv, argv + argc);
    std::string reps = "--benchmark_repetitions=15";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    std::string min_time = "--benchmark_min_time=0.2";
    args.insert(args.begin() + 1,
                {reps.data(), interleave.data(), aggregates.data(), min_time.data()});
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data()))
        return 1;

    fixture();  // build the packets outside the measurements
    std::fprintf(stderr, "(codec messages, if any, go to standard error)\n");
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const char *const a = "BM_a_EncodeSignAccessRequest", *const fa = "BM_c_FloorRequest";
    const char *const b = "BM_b_VerifyDecodeAccessAccept", *const fb = "BM_c_FloorAccept";
    for (auto *which : {&reporter.cpu, &reporter.real}) {
        auto &fig = *which;
        auto show = [&](const char *label, const char *name) {
            const auto &f = fig[name];
            std::printf("%-46s median %6.0f ns  (min %6.0f .. max %6.0f)\n", label, f.median, f.min,
                        f.max);
        };
        std::printf("\nsummary, %s time per packet\n", which == &reporter.cpu ? "CPU" : "real");
        show("(a) init+encode+sign Access-Request", a);
        show("    floor: HMAC-MD5 + one password block", fa);
        show("(b) verify+decode Access-Accept", b);
        show("    floor: HMAC-MD5 + response authenticator", fb);
        std::printf("ratio (a)/floor = %.2f (target <= 1.5), (b)/floor = %.2f (target <= 2.0)\n",
                    fig[a].median / fig[fa].median, fig[b].median / fig[fb].median);
    }
    print_allocations();
    benchmark::Shutdown();
    return 0;
}
