// The library against a real RADIUS server (FreeRADIUS on loopback) over TCP, TLS and TLS-PSK:
// exchanges, and the refusals of servers and credentials that must not be trusted.
#include <gtest/gtest.h>

#include <poll.h>

#include <string>

#include "net_util.h"
#include "quelna_int.h"
#include "support/radius_peer.h"

namespace {

using quelna::test::authenticate;
using quelna::test::Listener;
using quelna::test::RadiusPeer;
using quelna::test::RealmConnection;
using quelna::test::string_attr;

constexpr unsigned int attr_reply_message = 18;
constexpr unsigned int attr_message_authenticator = 80;

RadiusPeer *shared_peer()
{
    std::string why;
    RadiusPeer *peer = RadiusPeer::shared(&why);
    EXPECT_NE(peer, nullptr) << why;
    return peer;
}

std::string quoted(const std::string &key, const std::string &value)
{
    return key + " = \"" + value + "\"\n";
}

// How a realm reaches one of the server's stream listeners.
struct Route {
    const char *name;
    Listener listener;
    enum { Tcp, Cert, NoCert, PskHex, PskText } how;
};

std::unique_ptr<RealmConnection> connect(const RadiusPeer &peer, const Route &route,
                                         const std::string &host = "localhost",
                                         const std::string &more = "")
{
    std::string extra = more;
    switch (route.how) {
    case Route::Tcp:
        return std::make_unique<RealmConnection>("TCP", host, peer.port(route.listener),
                                                 peer.secret(), extra);
    case Route::Cert:
        extra += quoted("certfile", peer.client_cert()) + quoted("certkeyfile", peer.client_key());
        [[fallthrough]];
    case Route::NoCert:
        extra += quoted("cacertfile", peer.ca_file());
        break;
    case Route::PskHex:
        extra += quoted("pskid", peer.psk_identity()) + quoted("pskhexstr", peer.psk_hex());
        break;
    case Route::PskText:
        extra += quoted("pskid", peer.psk_identity()) + quoted("pskstr", peer.psk_text());
        break;
    }
    return std::make_unique<RealmConnection>("TLS", host, peer.port(route.listener),
                                             peer.tls_secret(), extra);
}

struct FreeRadiusStream : ::testing::TestWithParam<Route> {};

TEST_P(FreeRadiusStream, AcceptRejectAndSignedReply)
{
    RadiusPeer *peer = shared_peer();
    ASSERT_NE(peer, nullptr);
    auto rc = connect(*peer, GetParam());
    qn_packet *resp = nullptr;
    ASSERT_EQ(authenticate(rc->conn, "bob", "hello", &resp), 0) << rc->pop_conn_message();
    EXPECT_EQ(qn_packet_code(resp), 2u);
    EXPECT_EQ(string_attr(resp, attr_reply_message), "Hello, bob");
    qn_packet_destroy(resp);

    // Further exchanges reuse the stream.
    ASSERT_EQ(authenticate(rc->conn, "bob", "wrong", &resp), 0) << rc->pop_conn_message();
    EXPECT_EQ(qn_packet_code(resp), 3u);
    qn_packet_destroy(resp);

    ASSERT_EQ(authenticate(rc->conn, "signer", "signpw", &resp), 0) << rc->pop_conn_message();
    EXPECT_EQ(qn_packet_code(resp), 2u);
    EXPECT_NE(qn_packet_find_avp(resp, attr_message_authenticator, 0), nullptr);
    qn_packet_destroy(resp);
}

INSTANTIATE_TEST_SUITE_P(
    Listeners, FreeRadiusStream,
    ::testing::Values(Route{"Tcp", Listener::Tcp, Route::Tcp},
                      Route{"TlsClientCert", Listener::Tls, Route::Cert},
                      Route{"TlsNoClientCert", Listener::TlsNoClientCert, Route::NoCert},
                      Route{"TlsPskHex", Listener::TlsPskHex, Route::PskHex},
                      Route{"TlsPskText", Listener::TlsPskText, Route::PskText}),
    [](const auto &info) { return std::string(info.param.name); });

// Servers close streams left idle; the request after that must go on a new stream instead of
// failing (on TLS, the session cut without its closing alert must not raise SIGPIPE either).
struct FreeRadiusIdle : ::testing::TestWithParam<Route> {};

TEST_P(FreeRadiusIdle, RequestAfterTheServerClosedAnIdleStreamSucceeds)
{
    RadiusPeer *peer = shared_peer();
    ASSERT_NE(peer, nullptr);
    auto rc = connect(*peer, GetParam());
    qn_packet *resp = nullptr;
    ASSERT_EQ(authenticate(rc->conn, "bob", "hello", &resp), 0) << rc->pop_conn_message();
    qn_packet_destroy(resp);

    pollfd closed{rc->conn->fd, POLLRDHUP, 0};
    ASSERT_EQ(poll(&closed, 1, 15000), 1) << "the server kept the idle stream\n"
                                          << peer->log_tail();
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(authenticate(rc->conn, "bob", "hello", &resp), 0) << rc->pop_conn_message();
        EXPECT_EQ(string_attr(resp, attr_reply_message), "Hello, bob");
        qn_packet_destroy(resp);
    }
}

INSTANTIATE_TEST_SUITE_P(Listeners, FreeRadiusIdle,
                         ::testing::Values(Route{"Tcp", Listener::TcpIdle, Route::Tcp},
                                           Route{"Tls", Listener::TlsIdle, Route::NoCert}),
                         [](const auto &info) { return std::string(info.param.name); });

// The result of one Access-Request for bob, and the message left on the connection.
struct Outcome {
    int code;
    std::string message;
    int recorded;  // code of the error left on the connection, 0 for none
};

Outcome try_bob(RealmConnection &rc)
{
    qn_packet *resp = nullptr;
    int r = authenticate(rc.conn, "bob", "hello", &resp);
    if (resp)
        qn_packet_destroy(resp);
    int recorded = qn_err_conn_peek_code(rc.conn);
    return {r, rc.pop_conn_message(), recorded};
}

TEST(FreeRadiusTls, ServerFromAnUnknownCaIsRefused)
{
    RadiusPeer *peer = shared_peer();
    ASSERT_NE(peer, nullptr);
    auto rc = connect(*peer, {"", Listener::TlsRogue, Route::NoCert});
    Outcome o = try_bob(*rc);
    EXPECT_EQ(o.code, QNE_SSLERR);
    EXPECT_EQ(o.message,
              "basic certificate validation failed: unable to get local issuer certificate");
    EXPECT_FALSE(rc->conn->is_connected);

    // Waiving the host-name check does not waive the chain.
    rc = connect(*peer, {"", Listener::TlsRogue, Route::NoCert}, "localhost",
                 "disable_hostname_check = true\n");
    o = try_bob(*rc);
    EXPECT_EQ(o.code, QNE_SSLERR);
    EXPECT_EQ(o.message,
              "basic certificate validation failed: unable to get local issuer certificate");
}

TEST(FreeRadiusTls, CertificateForAnotherHostIsRefusedUnlessTheCheckIsDisabled)
{
    RadiusPeer *peer = shared_peer();
    ASSERT_NE(peer, nullptr);
    Route wrong{"", Listener::TlsWrongHost, Route::NoCert};
    for (const char *host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        auto rc = connect(*peer, wrong, host);
        Outcome o = try_bob(*rc);
        EXPECT_EQ(o.code, QNE_CERT);
        EXPECT_EQ(o.message, std::string("server certificate doesn't match configured hostname \"") +
                                 host + "\"");
        EXPECT_FALSE(rc->conn->is_connected);
        EXPECT_EQ(rc->conn->fd, -1);
    }
    auto rc = connect(*peer, wrong, "localhost", "disable_hostname_check = true\n");
    Outcome o = try_bob(*rc);
    EXPECT_EQ(o.code, 0) << o.message;
}

TEST(FreeRadiusTls, Ipv4LiteralMatchesASubjectAltNameAddress)
{
    RadiusPeer *peer = shared_peer();
    ASSERT_NE(peer, nullptr);
    auto rc = connect(*peer, {"", Listener::TlsNoClientCert, Route::NoCert}, "127.0.0.1");
    Outcome o = try_bob(*rc);
    EXPECT_EQ(o.code, 0) << o.message;
}

TEST(FreeRadiusTls, ListenerRequiringAClientCertificateRefusesASessionWithout)
{
    RadiusPeer *peer = shared_peer();
    ASSERT_NE(peer, nullptr);
    auto rc = connect(*peer, {"", Listener::Tls, Route::NoCert});
    Outcome o = try_bob(*rc);
    EXPECT_NE(o.code, 0);
    EXPECT_NE(o.code, QNE_TIMEOUT) << "refused at once, not timed out";
}

TEST(FreeRadiusTls, UnreadableCaFileFailsTheFirstSend)
{
    RadiusPeer *peer = shared_peer();
    ASSERT_NE(peer, nullptr);
    RealmConnection rc("TLS", "localhost", peer->port(Listener::TlsNoClientCert),
                       peer->tls_secret(), quoted("cacertfile", "/nonexistent/ca.pem"));
    Outcome o = try_bob(rc);
    EXPECT_EQ(o.code, QNE_SSLERR) << o.message;  // the set-up step's own code, not -1
    EXPECT_EQ(o.recorded, QNE_SSLERR);
    EXPECT_EQ(rc.conn->bev, nullptr);
}

TEST(FreeRadiusPsk, WrongKeyFailsTheHandshake)
{
    RadiusPeer *peer = shared_peer();
    ASSERT_NE(peer, nullptr);
    std::string key = peer->psk_hex();
    key[0] = key[0] == '0' ? '1' : '0';
    RealmConnection rc("TLS", "localhost", peer->port(Listener::TlsPskHex), peer->tls_secret(),
                       quoted("pskid", peer->psk_identity()) + quoted("pskhexstr", key));
    Outcome o = try_bob(rc);
    EXPECT_EQ(o.code, QNE_SSLERR) << o.message;
    EXPECT_FALSE(rc.conn->is_connected);
}

TEST(FreeRadiusPsk, CredentialsOpenSslCannotHoldAreRefusedBeforeTheHandshake)
{
    RadiusPeer *peer = shared_peer();
    ASSERT_NE(peer, nullptr);
    struct Case {
        std::string options;
        std::string message;
    };
    const std::string id = quoted("pskid", peer->psk_identity());
    const Case cases[] = {
        {quoted("pskid", std::string(256, 'i')) + quoted("pskhexstr", peer->psk_hex()),
         "PSK identity longer than max 255"},
        {id + quoted("pskstr", std::string(513, 'k')), "PSK secret longer than max 512"},
        {id + quoted("pskhexstr", std::string(1026, 'a')), "PSK secret longer than max 512"},
        {id + quoted("pskhexstr", "xyz"), "Unable to convert pskhexstr"},
        {quoted("pskhexstr", peer->psk_hex()), "r: PSK credentials without an identity (pskid)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        RealmConnection rc("TLS", "localhost", peer->port(Listener::TlsPskHex),
                           peer->tls_secret(), c.options);
        Outcome o = try_bob(rc);
        EXPECT_EQ(o.code, QNE_CRED);  // the send's set-up failed with this code
        EXPECT_EQ(o.recorded, QNE_CRED);
        EXPECT_EQ(o.message, c.message);
    }
    // The largest key OpenSSL holds goes through to the handshake (which then fails on the key).
    RealmConnection rc("TLS", "localhost", peer->port(Listener::TlsPskHex), peer->tls_secret(),
                       id + quoted("pskstr", std::string(512, 'k')));
    Outcome o = try_bob(rc);
    EXPECT_EQ(o.code, QNE_SSLERR) << o.message;
}

}  // namespace
