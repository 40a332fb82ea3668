// The transports against each other and against their floors, in one run:
// - blocking request round trips (create, send, receive, verify, decode, destroy) over an
//   established TLS connection and over UDP, to in-process responders that answer with the same
//   Access-Accept; for reference the same over plain TCP, raw round trips of the same octets on
//   each transport, and the cost of the SIGPIPE guard that plain TCP requests hold;
// - TLS connection set-up through the library (TCP connect, TLS handshake, certificate check,
//   up to connected) against a bare OpenSSL SSL_connect to the same server, which is the floor;
//   for reference the floor again with a client context made per connection;
// - heap allocations per UDP round trip, and the heap bytes a context with one realm and its
//   connection hold once a request has gone.
// The process is pinned to one CPU at start, so client and responder threads share it: the
// server's half of every handshake and answer is in every figure alike. Run interleaved, e.g.
//   net_bench --benchmark_enable_random_interleaving=true --benchmark_repetitions=20
//             --benchmark_min_time=0.4
// and compare medians within one run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <quelna/codec.h>
#include <quelna/quelna.h>

#include "alloc_count.h"
#include "quelna_int.h"
#include "responder.h"
#include "stream_responder.h"
#include "tcp.h"

namespace {

using quelna::bench::connected_socket;
using quelna::test::Octets;
using quelna::test::StreamResponder;
using quelna::test::StreamSession;

const std::string secret = "bench-secret";
constexpr char reply_message[] = "Hello, bob";
constexpr size_t answer_len = 20 + 2 + sizeof(reply_message) - 1;
constexpr size_t max_packet = 4096;

// The Access-Accept both responders send: the request's identifier and authenticator, one
// Reply-Message, the Response Authenticator by low-level MD5 into the caller's buffer.
void answer(const uint8_t *req, uint8_t *out)
{
    out[0] = 2;
    out[1] = req[1];
    out[2] = 0;
    out[3] = static_cast<uint8_t>(answer_len);
    memcpy(out + 4, req + 4, 16);
    out[20] = 18;
    out[21] = static_cast<uint8_t>(answer_len - 20);
    memcpy(out + 22, reply_message, sizeof(reply_message) - 1);
    MD5_CTX md;
    MD5_Init(&md);
    MD5_Update(&md, out, answer_len);
    MD5_Update(&md, secret.data(), secret.size());
    MD5_Final(out + 4, &md);
}

// Datagrams: the answer is built in place; nothing is allocated per answer.
class UdpServer {
public:
    UdpServer()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            abort();
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~UdpServer()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    UdpServer(const UdpServer &) = delete;
    UdpServer &operator=(const UdpServer &) = delete;
    uint16_t port() const { return port_; }

private:
    void serve()
    {
        uint8_t buf[max_packet];
        uint8_t out[answer_len];
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
            answer(buf, out);
            sendto(fd_, out, sizeof(out), 0, reinterpret_cast<sockaddr *>(&from), fromlen);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Streams: the test responder's TLS server (its certificate, accept loop, handshake and length
// framing) with the same answer. Its framing allocates the request it reads and keeps a copy.
StreamResponder::Handler stream_answers()
{
    return [](StreamSession &s) {
        Octets out(answer_len);
        while (auto req = s.read_packet()) {
            answer(req->data(), out.data());
            if (!s.write(out))
                return;
        }
    };
}

struct Servers {
    UdpServer udp;
    StreamResponder tcp{StreamResponder::Kind::Tcp, stream_answers()};
    StreamResponder tls{StreamResponder::Kind::Tls, stream_answers()};
    // Set-up gets its own server: the responder serves one stream at a time.
    StreamResponder setup{StreamResponder::Kind::Tls, stream_answers()};
    qn_context *ctx = nullptr;

    Servers()
    {
        auto server = [](uint16_t port) {
            return " server { hostname = \"127.0.0.1\" service = \"" + std::to_string(port) +
                   "\" secret = \"" + secret + "\" }\n";
        };
        std::string ca = " cacertfile = \"" + StreamResponder::ca_file() + "\"\n";
        std::string text = "realm udp {\n type = \"UDP\"\n" + server(udp.port()) + "}\n" +
                           "realm tcp {\n type = \"TCP\"\n" + server(tcp.port()) + "}\n" +
                           "realm tls {\n type = \"TLS\"\n" + ca + server(tls.port()) + "}\n" +
                           "realm setup {\n type = \"TLS\"\n" + ca + server(setup.port()) + "}\n";
        char path[] = "/tmp/quelna-bench-XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            abort();
        close(fd);
        bool ok = qn_context_create(&ctx) == 0 && qn_context_read_config(ctx, path) == 0;
        unlink(path);
        if (!ok)
            abort();
    }
    ~Servers() { qn_context_destroy(ctx); }
};

Servers *servers = nullptr;

// A connection of a realm that carries blocking requests.
struct Client {
    qn_connection *conn = nullptr;
    explicit Client(const char *realm)
    {
        if (qn_conn_create(servers->ctx, &conn, realm) != 0)
            abort();
    }
    ~Client() { qn_conn_destroy(conn); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // One whole exchange: create request, send, receive, verify, decode, destroy response.
    bool round_trip()
    {
        qn_request *req = nullptr;
        qn_packet *resp = nullptr;
        if (qn_request_create_authn(conn, &req, "bob", "hello") != 0)
            return false;
        int rc = qn_request_send(req, &resp);
        bool ok = rc == 0 && qn_packet_code(resp) == 2 && qn_packet_find_avp(resp, 18, 0);
        if (resp)
            qn_packet_destroy(resp);
        qn_request_destroy(req);
        return ok;
    }
};

// count_allocs: report heap allocations per round trip. Only for UDP, whose responder
// allocates nothing; the stream responder's framing would be counted too.
void round_trips(benchmark::State &state, const char *realm, bool count_allocs = false)
{
    Client client(realm);
    if (!client.round_trip()) {  // connects a stream; outside the timed loop
        state.SkipWithError("first request failed");
        return;
    }
    quelna::bench::alloc_reset();
    quelna::bench::alloc_counting(count_allocs);
    for (auto _ : state) {
        if (!client.round_trip()) {
            state.SkipWithError("request failed");
            break;
        }
    }
    quelna::bench::alloc_counting(false);
    if (count_allocs)
        state.counters["allocs_per_rt"] = benchmark::Counter(
            static_cast<double>(quelna::bench::alloc_counts().allocations),
            benchmark::Counter::kAvgIterations);
}

void BM_UdpRoundTrip(benchmark::State &state) { round_trips(state, "udp", true); }
void BM_TcpRoundTrip(benchmark::State &state) { round_trips(state, "tcp"); }
void BM_TlsRoundTrip(benchmark::State &state) { round_trips(state, "tls"); }

// Reference: what the SIGPIPE guard costs once; a blocking request over plain TCP holds one
// around its sends and receives (TLS writes need none).
void BM_SigpipeGuard(benchmark::State &state)
{
    for (auto _ : state) {
        quelna::net::SigpipeGuard guard(true);
        benchmark::ClobberMemory();
    }
}

// A 61-octet Access-Request (User-Name, one User-Password block, Message-Authenticator): the
// size the library sends. The responders look only at its header.
struct RawRequest {
    uint8_t octets[61] = {1, 0, 0, 61};
    RawRequest()
    {
        octets[20] = 1;
        octets[21] = 5;
        memcpy(octets + 22, "bob", 3);
        octets[25] = 2;
        octets[26] = 18;
        octets[43] = 80;
        octets[44] = 18;
    }
};

// Reference: send and recv of the same octets on a connected datagram socket.
void BM_RawUdpRoundTrip(benchmark::State &state)
{
    int fd = connected_socket(SOCK_DGRAM, servers->udp.port());
    RawRequest req;
    uint8_t resp[max_packet];
    for (auto _ : state) {
        if (send(fd, req.octets, sizeof(req.octets), 0) != sizeof(req.octets) ||
            recv(fd, resp, sizeof(resp), 0) != static_cast<ssize_t>(answer_len)) {
            state.SkipWithError("raw exchange failed");
            break;
        }
        req.octets[1]++;
    }
    close(fd);
}

// Reference: the same octets on a connected TCP socket to the stream responder (plain TCP).
void BM_RawTcpRoundTrip(benchmark::State &state)
{
    int fd = connected_socket(SOCK_STREAM, servers->tcp.port());
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    RawRequest req;
    uint8_t resp[answer_len];
    for (auto _ : state) {
        if (send(fd, req.octets, sizeof(req.octets), MSG_NOSIGNAL) != sizeof(req.octets) ||
            recv(fd, resp, sizeof(resp), MSG_WAITALL) != static_cast<ssize_t>(answer_len)) {
            state.SkipWithError("raw TCP exchange failed");
            break;
        }
        req.octets[1]++;
    }
    close(fd);
}

// The floor's client context: the same CA file, TLS 1.2 or later like the library's, and the
// chain and the server's address checked by OpenSSL's verifier during the handshake.
SSL_CTX *floor_context()
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_load_verify_locations(ctx, StreamResponder::ca_file().c_str(), nullptr) != 1)
        abort();
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return ctx;
}

// A blocking TCP connect and SSL_connect; the session stays open for the caller, or nullptr.
SSL *bare_connect(SSL_CTX *ctx, uint16_t port)
{
    int fd = connected_socket(SOCK_STREAM, port);
    if (fd < 0)
        return nullptr;
    SSL *ssl = SSL_new(ctx);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1 || SSL_get_verify_result(ssl) != X509_V_OK) {
        SSL_free(ssl);
        close(fd);
        return nullptr;
    }
    return ssl;
}

void bare_close(SSL *ssl)
{
    int fd = SSL_get_fd(ssl);
    SSL_free(ssl);
    close(fd);
}

// Reference: SSL_write and SSL_read of the same octets on an established bare session.
void BM_RawTlsRoundTrip(benchmark::State &state)
{
    SSL_CTX *ctx = floor_context();
    SSL *ssl = bare_connect(ctx, servers->tls.port());
    RawRequest req;
    uint8_t resp[max_packet];
    for (auto _ : state) {
        if (!ssl || SSL_write(ssl, req.octets, sizeof(req.octets)) != sizeof(req.octets) ||
            SSL_read(ssl, resp, sizeof(resp)) != static_cast<int>(answer_len)) {
            state.SkipWithError("raw TLS exchange failed");
            break;
        }
        req.octets[1]++;
    }
    if (ssl)
        bare_close(ssl);
    SSL_CTX_free(ctx);
}

// Set-up through the library: a new connection of an already read configuration, connected by
// the library's own path (qn_packet_send in user-dispatch mode: socket, bufferevent, TLS session
// from the realm's files, connect, handshake, certificate check), stopped at the connected
// callback with the packet left unsent, then destroyed.
void stop_at_connected(void *user_data)
{
    auto *conn = static_cast<qn_connection *>(user_data);
    bufferevent_disable(conn->bev, EV_WRITE);  // set-up ends here: the request stays queued
    event_base_loopbreak(conn->evb);
}

// Connects a new connection of realm "setup"; on success the connected connection is handed to
// inspect before it is destroyed.
template <typename Inspect>
bool library_setup(Inspect inspect)
{
    qn_connection *conn = nullptr;
    qn_packet *pkt = nullptr;
    if (qn_conn_create(servers->ctx, &conn, "setup") != 0)
        return false;
    qn_conn_callbacks cb{};
    cb.connected_cb = stop_at_connected;
    qn_conn_set_callbacks(conn, &cb);
    bool ok = qn_packet_create_authn_request(conn, &pkt, "bob", "hello") == 0 &&
              qn_packet_send(pkt, conn) == 0 && event_base_dispatch(conn->evb) == 0 &&
              conn->is_connected;
    if (ok)
        inspect(conn);
    if (pkt)
        qn_packet_destroy(pkt);
    qn_conn_destroy(conn);
    return ok;
}

void BM_LibrarySetup(benchmark::State &state)
{
    for (auto _ : state) {
        if (!library_setup([](qn_connection *) {})) {
            state.SkipWithError("library set-up failed");
            break;
        }
    }
}

// The floor: one client context for the run, a blocking connect and SSL_connect per iteration.
void BM_BareSetup(benchmark::State &state)
{
    SSL_CTX *ctx = floor_context();
    for (auto _ : state) {
        SSL *ssl = bare_connect(ctx, servers->setup.port());
        if (!ssl) {
            state.SkipWithError("SSL_connect failed");
            break;
        }
        bare_close(ssl);
    }
    SSL_CTX_free(ctx);
}

// Reference: the floor with a client context made (and the CA file read) for every connection;
// the library makes one per realm and shares it.
void BM_BareSetupFreshContext(benchmark::State &state)
{
    for (auto _ : state) {
        SSL_CTX *ctx = floor_context();
        SSL *ssl = bare_connect(ctx, servers->setup.port());
        if (!ssl) {
            SSL_CTX_free(ctx);
            state.SkipWithError("SSL_connect failed");
            break;
        }
        bare_close(ssl);
        SSL_CTX_free(ctx);
    }
}

BENCHMARK(BM_RawUdpRoundTrip)->UseRealTime();
BENCHMARK(BM_UdpRoundTrip)->UseRealTime();
BENCHMARK(BM_RawTcpRoundTrip)->UseRealTime();
BENCHMARK(BM_RawTlsRoundTrip)->UseRealTime();
BENCHMARK(BM_TcpRoundTrip)->UseRealTime();
BENCHMARK(BM_TlsRoundTrip)->UseRealTime();
BENCHMARK(BM_SigpipeGuard)->UseRealTime();
BENCHMARK(BM_BareSetup)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibrarySetup)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareSetupFreshContext)->UseRealTime()->Unit(benchmark::kMicrosecond);

void describe(const char *who, SSL *ssl)
{
    int group = SSL_get_negotiated_group(ssl);
    fprintf(stderr, "%s: %s, %s, key exchange %s\n", who, SSL_get_version(ssl),
            SSL_get_cipher_name(ssl), group ? OBJ_nid2sn(group) : "?");
}

// Both set-ups must agree on protocol version and cipher suite for the comparison to hold.
void report_negotiated()
{
    if (!library_setup([](qn_connection *conn) { describe("library", conn->tls_ssl); }))
        fprintf(stderr, "library set-up failed\n");
    SSL_CTX *ctx = floor_context();
    if (SSL *ssl = bare_connect(ctx, servers->setup.port())) {
        describe("bare OpenSSL", ssl);
        bare_close(ssl);
    }
    SSL_CTX_free(ctx);
}

// Heap bytes a context with one realm and its connection hold once a request has gone (context,
// configuration, connection record, event base, events, resolved address), measured outside
// the timed runs after a first exchange, so that process-wide one-time set-up is not counted.
void report_connection_bytes(uint16_t udp_port)
{
    const std::string text = "realm b { type = \"UDP\" server { hostname = \"127.0.0.1\" "
                             "service = \"" + std::to_string(udp_port) +
                             "\" secret = \"" + secret + "\" } }\n";
    char path[] = "/tmp/quelna-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        abort();
    close(fd);
    quelna::bench::alloc_reset();
    quelna::bench::alloc_counting(true);
    qn_context *ctx = nullptr;
    qn_connection *conn = nullptr;
    qn_request *req = nullptr;
    qn_packet *resp = nullptr;
    bool ok = qn_context_create(&ctx) == 0 && qn_context_read_config(ctx, path) == 0 &&
              qn_conn_create(ctx, &conn, "b") == 0 &&
              qn_request_create_authn(conn, &req, "bob", "hello") == 0 &&
              qn_request_send(req, &resp) == 0;
    if (resp)
        qn_packet_destroy(resp);
    if (req)
        qn_request_destroy(req);
    auto held = quelna::bench::alloc_counts().live_bytes;
    quelna::bench::alloc_counting(false);
    if (conn)
        qn_conn_destroy(conn);
    if (ctx)
        qn_context_destroy(ctx);
    unlink(path);
    if (ok)
        fprintf(stderr, "a context with one realm and its connection hold %lld heap bytes after "
                        "the first request\n", static_cast<long long>(held));
    else
        fprintf(stderr, "connection bytes: the request failed\n");
}

}  // namespace

int main(int argc, char **argv)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof(one), &one);  // inherited by the responder threads
    // A responder writing its session tickets to a client that has already gone must not end
    // the run.
    signal(SIGPIPE, SIG_IGN);

    Servers s;
    servers = &s;
    report_negotiated();
    report_connection_bytes(s.udp.port());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
