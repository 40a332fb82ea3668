// Blocking request round trips over loopback UDP against an in-process responder, compared in
// the same run with a raw-socket round trip of the same packet sizes (the floor).
// The responder thread and the client share one CPU (the process is pinned at start), which
// gives stable figures on a two-vCPU machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <quelna/codec.h>
#include <quelna/quelna.h>

#include "alloc_count.h"

namespace {

const std::string secret = "bench-secret";

// Answers every Access-Request with a verified Access-Accept carrying a Reply-Message.
class Responder {
public:
    Responder()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), len);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~Responder()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }

private:
    void serve()
    {
        uint8_t buf[4096];
        uint8_t out[4096];
        const char reply[] = "Hello, bob";
        const size_t attr_len = 2 + sizeof(reply) - 1;

        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            sockaddr_storage from{};
            socklen_t fromlen = sizeof(from);
            ssize_t n = recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from),
                                 &fromlen);
            if (n < 20)
                continue;
            size_t len = 20 + attr_len;
            out[0] = 2;
            out[1] = buf[1];
            out[2] = static_cast<uint8_t>(len >> 8);
            out[3] = static_cast<uint8_t>(len);
            memcpy(out + 4, buf + 4, 16);
            out[20] = 18;
            out[21] = static_cast<uint8_t>(attr_len);
            memcpy(out + 22, reply, sizeof(reply) - 1);
            // Low-level MD5: the responder thread allocates nothing per answer, so the
            // allocation counter sees only the client's.
            MD5_CTX md;
            MD5_Init(&md);
            MD5_Update(&md, out, len);
            MD5_Update(&md, secret.data(), secret.size());
            MD5_Final(out + 4, &md);
            sendto(fd_, out, len, 0, reinterpret_cast<sockaddr *>(&from), fromlen);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Responder *responder = nullptr;

struct Client {
    qn_context *ctx = nullptr;
    qn_connection *conn = nullptr;
    Client()
    {
        char path[] = "/tmp/quelna-bench-XXXXXX";
        int fd = mkstemp(path);
        std::string text = "realm b { type = \"UDP\" server { hostname = \"127.0.0.1\" service = \"" +
                           std::to_string(responder->port()) + "\" secret = \"" + secret +
                           "\" } }\n";
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            abort();
        close(fd);
        if (qn_context_create(&ctx) != 0 || qn_context_read_config(ctx, path) != 0 ||
            qn_conn_create(ctx, &conn, "b") != 0)
            abort();
        unlink(path);
    }
    ~Client()
    {
        qn_conn_destroy(conn);
        qn_context_destroy(ctx);
    }
    // One whole exchange: create request, send, receive, verify, decode, destroy response.
    bool round_trip()
    {
        qn_request *req = nullptr;
        qn_packet *resp = nullptr;
        if (qn_request_create_authn(conn, &req, "bob", "hello") != 0)
            return false;
        int rc = qn_request_send(req, &resp);
        bool ok = rc == 0 && qn_packet_code(resp) == 2;
        if (resp)
            qn_packet_destroy(resp);
        qn_request_destroy(req);
        return ok;
    }
};

void BM_RequestRoundTrip(benchmark::State &state)
{
    Client client;
    if (!client.round_trip()) {
        state.SkipWithError("first request failed");
        return;
    }
    quelna::bench::alloc_reset();
    quelna::bench::alloc_counting(true);
    for (auto _ : state) {
        if (!client.round_trip()) {
            state.SkipWithError("request failed");
            break;
        }
    }
    quelna::bench::alloc_counting(false);
    auto counts = quelna::bench::alloc_counts();
    state.counters["allocs_per_rt"] =
        benchmark::Counter(static_cast<double>(counts.allocations),
                           benchmark::Counter::kAvgIterations);
}

// The same sizes on a raw connected socket: a 61-octet request (User-Name, one User-Password
// block, Message-Authenticator), the responder's 32-octet answer.
void BM_RawRoundTrip(benchmark::State &state)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(responder->port());
    connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    uint8_t req[61] = {1, 0, 0, 61};
    req[20] = 1;
    req[21] = 5;
    memcpy(req + 22, "bob", 3);
    req[25] = 2;
    req[26] = 18;
    req[43] = 80;
    req[44] = 18;
    uint8_t resp[4096];
    for (auto _ : state) {
        if (send(fd, req, sizeof(req), 0) != sizeof(req) || recv(fd, resp, sizeof(resp), 0) < 20) {
            state.SkipWithError("raw exchange failed");
            break;
        }
        req[1]++;
    }
    close(fd);
}

BENCHMARK(BM_RawRoundTrip)->UseRealTime();
BENCHMARK(BM_RequestRoundTrip)->UseRealTime();

// Heap bytes a context with one realm and its connection hold once a request has gone (context,
// configuration, connection record, event base, events, resolved address), measured outside the timed runs on a second connection, so that
// process-wide one-time set-up is not counted.
void report_connection_bytes()
{
    {
        Client warm;
        warm.round_trip();
    }
    quelna::bench::alloc_reset();
    quelna::bench::alloc_counting(true);
    {
        auto before = quelna::bench::alloc_counts().live_bytes;
        Client client;
        client.round_trip();
        auto after = quelna::bench::alloc_counts().live_bytes;
        fprintf(stderr, "a context with one realm and its connection hold %lld heap bytes after the first request\n",
                static_cast<long long>(after - before));
    }
    quelna::bench::alloc_counting(false);
}

}  // namespace

int main(int argc, char **argv)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof(one), &one);  // inherited by the responder thread

    Responder r;
    responder = &r;
    report_connection_bytes();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
