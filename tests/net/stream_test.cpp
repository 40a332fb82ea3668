// Requests over TCP and TLS against an in-process responder: framing across reads, several
// packets in one segment, bad lengths, streams that end or reset, silent servers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>

#include "net.h"
#include "net_util.h"
#include "stream_responder.h"
#include "tcp.h"
#include "tls_conn.h"

namespace {

using namespace std::chrono_literals;
using quelna::test::accept_all;
using quelna::test::attr;
using quelna::test::authenticate;
using quelna::test::make_response;
using quelna::test::Octets;
using quelna::test::RealmConnection;
using quelna::test::StreamResponder;
using quelna::test::StreamSession;
using quelna::test::string_attr;
using Kind = StreamResponder::Kind;

const std::string secret = "stream-secret";
constexpr unsigned int attr_reply_message = 18;

Octets accept_with(const Octets &req, const std::string &message)
{
    return make_response(req, 2, attr(attr_reply_message, message), secret);
}

double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

struct Stream : ::testing::TestWithParam<Kind> {
    std::unique_ptr<StreamResponder> server;
    std::unique_ptr<RealmConnection> rc;

    void serve(StreamResponder::Handler handler)
    {
        server = std::make_unique<StreamResponder>(GetParam(), std::move(handler));
        bool tls = GetParam() == Kind::Tls;
        rc = std::make_unique<RealmConnection>(
            tls ? "TLS" : "TCP", "127.0.0.1", server->port(), secret,
            tls ? "cacertfile = \"" + StreamResponder::ca_file() + "\"" : "");
    }
    void TearDown() override
    {
        // The client goes first, so that a server waiting on the stream sees it close.
        rc.reset();
        server.reset();
    }
    // One Access-Request; the Reply-Message of the answer, or "" with the failure in *rc_out.
    std::string ask(int *rc_out = nullptr)
    {
        qn_packet *resp = nullptr;
        int r = authenticate(rc->conn, "alice", "pw", &resp);
        if (rc_out)
            *rc_out = r;
        std::string msg = r == 0 ? string_attr(resp, attr_reply_message) : "";
        if (resp)
            qn_packet_destroy(resp);
        return msg;
    }
    void set_timeout(long usec)
    {
        timeval tv{usec / 1000000, usec % 1000000};
        qn_conn_set_timeout(rc->conn, &tv);
    }
};

TEST_P(Stream, ResponseArrivingOneOctetAtATimeIsFramedWhole)
{
    serve([](StreamSession &s) {
        while (auto req = s.read_packet()) {
            for (uint8_t octet : accept_with(*req, "piecemeal")) {
                if (!s.write({octet}))
                    return;
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    // Two exchanges on one stream: the second starts again from a fresh header.
    for (int i = 0; i < 2; i++) {
        int r = -1;
        EXPECT_EQ(ask(&r), "piecemeal");
        ASSERT_EQ(r, 0) << rc->pop_conn_message();
    }
    EXPECT_EQ(server->streams(), 1);
}

TEST_P(Stream, TwoResponsesInOneSegmentAreBothDelivered)
{
    serve([](StreamSession &s) {
        auto first = s.read_packet();
        auto second = s.read_packet();
        if (!first || !second)
            return;
        Octets both = accept_with(*first, "first");
        Octets more = accept_with(*second, "second");
        both.insert(both.end(), more.begin(), more.end());
        s.write(both);
        s.wait_closed();
    });
    set_timeout(2000000);
    qn_packet *req1 = nullptr, *req2 = nullptr;
    ASSERT_EQ(qn_packet_create_authn_request(rc->conn, &req1, "alice", "pw"), 0);
    ASSERT_EQ(qn_packet_create_authn_request(rc->conn, &req2, "bob", "pw"), 0);
    ASSERT_EQ(qn_packet_send(req1, nullptr), 0) << rc->pop_conn_message();
    ASSERT_EQ(qn_packet_send(req2, nullptr), 0) << rc->pop_conn_message();

    // Each response is verified against its own request (by its authenticator).
    qn_packet *resp = nullptr;
    ASSERT_EQ(qn_conn_receive_packet(rc->conn, req1, &resp), 0) << rc->pop_conn_message();
    EXPECT_EQ(string_attr(resp, attr_reply_message), "first");
    qn_packet_destroy(resp);
    // The second one was buffered with the first: no further octets arrive for it.
    ASSERT_EQ(qn_conn_receive_packet(rc->conn, req2, &resp), 0) << rc->pop_conn_message();
    EXPECT_EQ(string_attr(resp, attr_reply_message), "second");
    qn_packet_destroy(resp);
    qn_packet_destroy(req1);
    qn_packet_destroy(req2);
}

TEST_P(Stream, LargestPacketIsAcceptedAndLengthsOutOfRangeAreRefused)
{
    // 4096 octets: 20 of header, 15 Reply-Messages of 255 and one of 251.
    serve([](StreamSession &s) {
        while (auto req = s.read_packet()) {
            Octets attrs;
            for (int i = 0; i < 15; i++) {
                Octets a = attr(attr_reply_message, std::string(253, 'x'));
                attrs.insert(attrs.end(), a.begin(), a.end());
            }
            Octets last = attr(attr_reply_message, std::string(249, 'y'));
            attrs.insert(attrs.end(), last.begin(), last.end());
            s.write(make_response(*req, 2, attrs, secret));
        }
    });
    int r = -1;
    EXPECT_EQ(ask(&r), std::string(253, 'x'));
    ASSERT_EQ(r, 0) << rc->pop_conn_message();

    for (int length : {19, 4097}) {
        SCOPED_TRACE(length);
        serve([length](StreamSession &s) {
            if (auto req = s.read_packet()) {
                Octets bad = accept_with(*req, "padding to make the packet long enough");
                bad[2] = static_cast<uint8_t>(length >> 8);
                bad[3] = static_cast<uint8_t>(length & 0xff);
                s.write(bad);
                s.wait_closed();
            }
        });
        auto start = std::chrono::steady_clock::now();
        ask(&r);
        EXPECT_EQ(r, QNE_INVALID_PKT);
        EXPECT_EQ(rc->pop_conn_message(), "invalid packet length: " + std::to_string(length));
        EXPECT_LT(seconds_since(start), 1.5);  // refused at once, not retransmitted
        // The stream is closed before the error is recorded.
        EXPECT_FALSE(rc->conn->is_connected);
        EXPECT_EQ(rc->conn->fd, -1);
        EXPECT_EQ(rc->conn->bev, nullptr);
    }
}

TEST_P(Stream, ServerClosingInTheMiddleOfAPacketEndsTheWaitAndTheNextRequestReconnects)
{
    serve([](StreamSession &s) {
        if (s.index() == 1) {
            if (auto req = s.read_packet()) {
                Octets part = accept_with(*req, "never complete");
                part.resize(10);
                s.write(part);
                std::this_thread::sleep_for(20ms);
                s.close();
            }
            return;
        }
        accept_all(secret, "second stream")(s);
    });
    auto start = std::chrono::steady_clock::now();
    int r = -1;
    ask(&r);
    // The receive reports that no packet came and how much of one did, at once rather than
    // after a time-out.
    EXPECT_EQ(r, QNE_NO_PACKET_DATA);
    const std::string msg = rc->pop_conn_message();
    EXPECT_TRUE(msg.starts_with("the server closed the stream in the middle of a packet (10 of "))
        << msg;
    EXPECT_LT(seconds_since(start), 1.5);
    EXPECT_FALSE(rc->conn->is_connected);
    EXPECT_EQ(rc->conn->fd, -1);

    EXPECT_EQ(ask(&r), "second stream");
    EXPECT_EQ(r, 0) << rc->pop_conn_message();
    EXPECT_EQ(server->streams(), 2);
}

TEST_P(Stream, ResetIsReportedAndTheNextRequestReconnects)
{
    serve([](StreamSession &s) {
        if (s.index() == 1) {
            if (s.read_packet())
                s.reset();
            return;
        }
        accept_all(secret, "after reset")(s);
    });
    int r = -1;
    ask(&r);
    std::string msg = rc->pop_conn_message();
    EXPECT_EQ(r, QNE_SOCKERR) << msg;
    EXPECT_NE(msg.find(": 104 (" + std::string(strerror(ECONNRESET)) + ")"), std::string::npos)
        << msg;
    // The dead stream is closed, so the next send connects again instead of writing into it.
    EXPECT_FALSE(rc->conn->is_connected);
    EXPECT_EQ(rc->conn->fd, -1);

    EXPECT_EQ(ask(&r), "after reset");
    EXPECT_EQ(r, 0) << rc->pop_conn_message();
    EXPECT_EQ(server->streams(), 2);
}

// Servers drop streams that stay idle. The next request finds out only when it writes: it is
// sent again on a new stream instead of failing, and the write into the dead stream (for TLS
// also the alert that follows) must not raise SIGPIPE, whose default action ends the process.
TEST_P(Stream, StreamClosedByTheServerWhileIdleIsReplacedForTheNextRequest)
{
    serve([](StreamSession &s) {
        if (s.index() == 1) {
            if (auto req = s.read_packet())
                s.write(accept_with(*req, "first stream"));
            s.drop();
            return;
        }
        accept_all(secret, "second stream")(s);
    });
    int r = -1;
    EXPECT_EQ(ask(&r), "first stream");
    pollfd closed{rc->conn->fd, POLLRDHUP, 0};
    ASSERT_EQ(poll(&closed, 1, 5000), 1);  // the server's end of stream has arrived

    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(ask(&r), "second stream");
        EXPECT_EQ(r, 0) << rc->pop_conn_message();
    }
    EXPECT_EQ(server->streams(), 2);
    EXPECT_EQ(server->requests().size(), 4u);
}

TEST_P(Stream, WaitForASilentServerIsBoundedByTheConnectionTimeout)
{
    serve([](StreamSession &s) {
        while (s.read_packet()) {
        }
    });
    set_timeout(300000);
    qn_packet *req = nullptr;
    ASSERT_EQ(qn_packet_create_authn_request(rc->conn, &req, "alice", "pw"), 0);
    ASSERT_EQ(qn_packet_send(req, nullptr), 0) << rc->pop_conn_message();
    auto start = std::chrono::steady_clock::now();
    qn_packet *resp = nullptr;
    EXPECT_EQ(qn_conn_receive_packet(rc->conn, req, &resp), QNE_TIMEOUT_IO);
    EXPECT_EQ(resp, nullptr);
    double waited = seconds_since(start);
    EXPECT_GE(waited, 0.29);
    EXPECT_LT(waited, 1.5);
    // A time-out leaves the stream up for the retransmission.
    EXPECT_TRUE(rc->conn->is_connected);
    EXPECT_GE(rc->conn->fd, 0);
    qn_packet_destroy(req);
}

TEST_P(Stream, RequestRetransmitsOnANewStreamAfterAnIoTimeout)
{
    serve([](StreamSession &s) {
        if (s.index() == 1) {
            s.read_packet();  // the first transmission goes unanswered
            s.wait_closed();
            return;
        }
        accept_all(secret, "second try")(s);
    });
    auto start = std::chrono::steady_clock::now();
    int r = -1;
    EXPECT_EQ(ask(&r), "second try");
    ASSERT_EQ(r, 0) << rc->pop_conn_message();
    double waited = seconds_since(start);
    EXPECT_GE(waited, 2.0);
    EXPECT_LT(waited, 2.198 + 1.0);
    auto got = server->requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], got[0]);  // the same identifier, authenticator and attributes
    EXPECT_EQ(server->streams(), 2);  // never twice on one stream
}

// A realm whose first server refuses connections: the request moves on to the second at once.
TEST_P(Stream, RefusingFirstServerFailsOverAtOnce)
{
    server = std::make_unique<StreamResponder>(GetParam(), accept_all(secret, "second"));
    const bool tls = GetParam() == Kind::Tls;
    const uint16_t closed = quelna::test::free_udp_port();  // nothing listens on TCP there either
    rc = std::make_unique<RealmConnection>(
        tls ? "TLS" : "TCP", "127.0.0.1", server->port(), secret,
        (tls ? "cacertfile = \"" + StreamResponder::ca_file() + "\"" : std::string()) +
            "\n server { hostname = \"127.0.0.1\" service = \"" + std::to_string(closed) +
            "\" secret = \"" + secret + "\" }");
    auto start = std::chrono::steady_clock::now();
    int r = -1;
    EXPECT_EQ(ask(&r), "second");
    ASSERT_EQ(r, 0) << rc->pop_conn_message();
    EXPECT_LT(seconds_since(start), 1.5);
    EXPECT_EQ(server->streams(), 1);
}

// A connect that fails at once (no route to a broadcast address) ends the send with its own
// error, closed, instead of the send going on to fail later for another reason.
TEST(StreamConnect, ConnectFailingAtOnceIsTheSendsResult)
{
    RealmConnection rc("TCP", "255.255.255.255", 1812, secret);
    qn_packet *req = nullptr;
    ASSERT_EQ(qn_packet_create_authn_request(rc.conn, &req, "alice", "pw"), 0);
    const int r = qn_packet_send(req, nullptr);
    const std::string msg = rc.pop_conn_message();
    EXPECT_EQ(r, -1) << msg;
    EXPECT_NE(msg.find("connect"), std::string::npos) << msg;
    EXPECT_EQ(rc.conn->fd, -1);
    qn_packet_destroy(req);
}

INSTANTIATE_TEST_SUITE_P(Transports, Stream, ::testing::Values(Kind::Tcp, Kind::Tls),
                         [](const auto &info) {
                             return info.param == Kind::Tcp ? "Tcp" : "Tls";
                         });

// A TLS server that accepts the connection but never answers the handshake: the connect times
// out and the retransmission starts on a new stream.
TEST(StreamTls, HandshakeTimeoutRetriesOnANewStream)
{
    StreamResponder server(Kind::Tls, [](StreamSession &s) {
        if (s.index() == 1) {
            s.wait_closed();
            return;
        }
        accept_all(secret, "new stream")(s);
    });
    RealmConnection rc("TLS", "localhost", server.port(), secret,
                       "cacertfile = \"" + StreamResponder::ca_file() + "\"");
    qn_packet *resp = nullptr;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(authenticate(rc.conn, "alice", "pw", &resp), 0) << rc.pop_conn_message();
    EXPECT_EQ(string_attr(resp, attr_reply_message), "new stream");
    qn_packet_destroy(resp);
    EXPECT_GE(seconds_since(start), 2.0);
    EXPECT_EQ(server.streams(), 2);
    EXPECT_EQ(server.requests().size(), 1u);
}

// Writing to a stream whose other end is gone raises SIGPIPE; the library's loop must survive it
// and leave the thread's signal state as it found it.
bool sigpipe_blocked()
{
    sigset_t now;
    pthread_sigmask(SIG_BLOCK, nullptr, &now);
    return sigismember(&now, SIGPIPE);
}

bool sigpipe_pending()
{
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE);
}

void write_to_closed_stream()
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    EXPECT_EQ(write(sv[0], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(sv[0]);
}

TEST(SigpipeGuard, ASigpipeRaisedInsideIsTakenBackAndTheMaskRestored)
{
    ASSERT_FALSE(sigpipe_blocked());
    {
        quelna::net::SigpipeGuard guard(true);
        EXPECT_TRUE(sigpipe_blocked());
        write_to_closed_stream();  // would end the process without the guard
        EXPECT_TRUE(sigpipe_pending());
    }
    EXPECT_FALSE(sigpipe_pending());
    EXPECT_FALSE(sigpipe_blocked());
}

TEST(SigpipeGuard, NestedGuardsLeaveTheMaskToTheOutermost)
{
    {
        quelna::net::SigpipeGuard outer(true);
        {
            quelna::net::SigpipeGuard inactive(false);
            quelna::net::SigpipeGuard inner(true);
            write_to_closed_stream();
        }
        // The inner guard's end neither unblocks nor takes the signal: the outer one does.
        EXPECT_TRUE(sigpipe_blocked());
        EXPECT_TRUE(sigpipe_pending());
    }
    EXPECT_FALSE(sigpipe_pending());
    EXPECT_FALSE(sigpipe_blocked());
}

TEST(SigpipeGuard, AnApplicationsOwnBlockingIsLeftAlone)
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    {
        quelna::net::SigpipeGuard guard(true);
        write_to_closed_stream();
    }
    // Not ours to take: the application blocked it and will collect it.
    EXPECT_TRUE(sigpipe_blocked());
    EXPECT_TRUE(sigpipe_pending());
    const timespec now{0, 0};
    EXPECT_EQ(sigtimedwait(&pipe, nullptr, &now), SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
}

// TLS sessions write through this BIO and hold no guard: a write to a gone peer must fail with
// EPIPE and raise nothing, and a full socket must ask OpenSSL to retry rather than fail.
TEST(SocketBio, WritesFailWithoutSigpipeAndAFullSocketAsksForARetry)
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);  // a SIGPIPE raised would stay pending

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(fcntl(sv[0], F_SETFL, O_NONBLOCK), 0);
    BIO *b = quelna::net::socket_bio(sv[0]);
    ASSERT_NE(b, nullptr);
    int fd = -1;
    EXPECT_EQ(BIO_get_fd(b, &fd), sv[0]);

    std::vector<char> block(4096, 'x');
    int n = 0;
    for (int i = 0; i < 10000 && (n = BIO_write(b, block.data(), 4096)) > 0; i++) {
    }
    EXPECT_LE(n, 0);
    EXPECT_TRUE(BIO_should_retry(b) && BIO_should_write(b));

    close(sv[1]);
    EXPECT_LE(BIO_write(b, "x", 1), 0);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_FALSE(BIO_should_retry(b));
    EXPECT_FALSE(sigpipe_pending());

    BIO_free(b);
    EXPECT_NE(fcntl(sv[0], F_GETFD), -1);  // the descriptor stays the caller's
    close(sv[0]);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
}

}  // namespace

namespace {

// Sends one Access-Request, one attempt of usec; the result, the failure's message in *msg.
int ask_once(RealmConnection &rc, std::string *msg, long usec = 500000)
{
    qn_request *req = nullptr;
    EXPECT_EQ(qn_request_create_authn(rc.conn, &req, "alice", "pw"), 0);
    timeval tv{usec / 1000000, usec % 1000000};
    qn_request_set_schedule(req, &tv, 1);
    qn_packet *resp = nullptr;
    int r = qn_request_send(req, &resp);
    *msg = r == 0 ? string_attr(resp, attr_reply_message) : rc.pop_conn_message();
    qn_packet_destroy(resp);
    qn_request_destroy(req);
    return r;
}

const std::string psk_realm = "pskid = \"nas-1\"\npskstr = \"the key\"\n";

struct TrustCase {
    Kind kind;
    StreamResponder::TlsOptions server;  // names of its certificate, its key
    const char *host;                    // the realm's server name
    std::string extra;                   // the realm's options
    int code;                            // of the request
    const char *text;                    // in the failure's message (the answer on success)
    const char *sni;                     // the name the server saw, when checked
};

}  // namespace

// Who the client believes, over TLS 1.3, TLS 1.2 and DTLS 1.2. A pre-shared-key realm takes only
// a handshake that used its key: a server that answers with a certificate instead (one the CA
// file would even trust) is refused before a request goes out. A certificate's common name
// counts only without a DNS subjectAltName. A host name goes as SNI, an address does not. A
// connection's requests share one session. (A DTLS server drops the Finished it cannot decrypt,
// as it drops every bad record: a wrong key times out.)
TEST(Trust, OnlyTheRightServerIsBelieved)
{
    const std::string ca = "cacertfile = \"" + StreamResponder::ca_file() + "\"\n";
    const StreamResponder::TlsOptions cert{}, keyed{"", "", "nas-1", "the key"},
        evil_san{"localhost", "DNS:evil.example", "", ""}, cn_only{"localhost", "", "", ""},
        evil{"evil.example", "DNS:evil.example", "", ""};
    const char *no_key = "r: the server did not use the pre-shared key";
    const char *no_match = "server certificate doesn't match configured hostname";
    const TrustCase cases[] = {
        {Kind::Tls, cert, "localhost", psk_realm, QNE_CRED, no_key, nullptr},
        {Kind::Tls, cert, "localhost", psk_realm + ca, QNE_CRED, no_key, nullptr},
        {Kind::Tls12, cert, "localhost", psk_realm, QNE_SSLERR, no_key, nullptr},
        {Kind::Tls12, cert, "localhost", psk_realm + ca, QNE_SSLERR, no_key, nullptr},
        {Kind::Tls, keyed, "localhost", psk_realm + ca, 0, "ok", "localhost"},
        {Kind::Tls12, keyed, "127.0.0.1", psk_realm, 0, "ok", ""},
        {Kind::Tls, evil_san, "localhost", ca, QNE_CERT, no_match, "localhost"},
        {Kind::Tls, cn_only, "localhost", ca, 0, "ok", "localhost"},
        {Kind::Dtls, cert, "localhost", ca, 0, "ok", "localhost"},
        {Kind::Dtls, keyed, "127.0.0.1", psk_realm, 0, "ok", ""},
        {Kind::Dtls, keyed, "127.0.0.1", "pskid = \"nas-1\"\npskstr = \"other\"\n", QNE_TIMEOUT,
         "timeout", nullptr},
        {Kind::Dtls, evil, "localhost", ca, QNE_CERT, no_match, nullptr},
        {Kind::Dtls, cert, "localhost",
         "cacertfile = \"" + StreamResponder::other_ca_file() + "\"\n", QNE_SSLERR,
         "basic certificate validation failed: self-signed certificate", nullptr},
    };
    for (const TrustCase &c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        StreamResponder server(c.kind, accept_all(secret, "ok"), c.server);
        RealmConnection rc(c.kind == Kind::Dtls ? "DTLS" : "TLS", c.host, server.port(), secret,
                           c.extra);
        std::string msg;
        for (int i = 0; i < (c.code == 0 ? 2 : 1); i++) {
            EXPECT_EQ(ask_once(rc, &msg), c.code) << msg;
            EXPECT_NE(msg.find(c.text), std::string::npos) << msg;
        }
        EXPECT_EQ(server.requests().size(), c.code == 0 ? 2u : 0u);
        EXPECT_TRUE(c.code != 0 || server.streams() == 1);
        if (c.sni) {
            EXPECT_EQ(server.server_name(), c.sni);
        }
    }
}

// A silent DTLS server: the session's timer sends the handshake again, the connection's
// time-out ends it, and all that went out were DTLS handshake records, never RADIUS.
TEST(Trust, SilentDtlsServerTimesOutAndSeesOnlyHandshakeRecords)
{
    quelna::test::UdpResponder silent("127.0.0.1", [](const Octets &, int) {
        return std::optional<Octets>();
    });
    RealmConnection rc("DTLS", "localhost", silent.port(), secret, psk_realm);
    std::string msg;
    EXPECT_EQ(ask_once(rc, &msg, 1500000), QNE_TIMEOUT);
    auto got = silent.received();
    ASSERT_EQ(got.size(), 2u);  // the ClientHello, and again after the timer's second
    for (const auto &d : got) {
        EXPECT_EQ(d.octets.at(0), 22);  // handshake
        EXPECT_EQ(d.octets.at(1), 0xfe);
    }
}
