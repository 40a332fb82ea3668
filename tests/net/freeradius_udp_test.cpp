// The library against a real RADIUS server (FreeRADIUS on loopback) over UDP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>

#include "net_util.h"
#include "quelna_int.h"
#include "support/radius_peer.h"
#include "udp_responder.h"

namespace {

using quelna::test::authenticate;
using quelna::test::Listener;
using quelna::test::RadiusPeer;
using quelna::test::RealmConnection;
using quelna::test::string_attr;

constexpr unsigned int attr_user_name = 1;
constexpr unsigned int attr_chap_password = 3;
constexpr unsigned int attr_nas_ip = 4;
constexpr unsigned int attr_reply_message = 18;
constexpr unsigned int attr_acct_status_type = 40;
constexpr unsigned int attr_acct_session_id = 44;
constexpr unsigned int attr_message_authenticator = 80;

struct FreeRadiusUdp : ::testing::Test {
    RadiusPeer *peer = nullptr;
    void SetUp() override
    {
        std::string why;
        peer = RadiusPeer::shared(&why);
        ASSERT_NE(peer, nullptr) << why;
    }
    std::unique_ptr<RealmConnection> connect(Listener which, const char *host = "127.0.0.1")
    {
        return std::make_unique<RealmConnection>("UDP", host, peer->port(which), peer->secret());
    }
};

TEST_F(FreeRadiusUdp, PapAcceptAndReject)
{
    auto rc = connect(Listener::AuthUdp);
    qn_packet *resp = nullptr;
    ASSERT_EQ(authenticate(rc->conn, "bob", "hello", &resp), 0) << rc->pop_conn_message();
    EXPECT_EQ(qn_packet_code(resp), 2u);
    EXPECT_EQ(string_attr(resp, attr_reply_message), "Hello, bob");
    qn_packet_destroy(resp);

    // A reject is a verified response too; the call succeeds and the code says no.
    ASSERT_EQ(authenticate(rc->conn, "bob", "wrong", &resp), 0) << rc->pop_conn_message();
    EXPECT_EQ(qn_packet_code(resp), 3u);
    qn_packet_destroy(resp);

    // Passwords longer than one 16-octet block are hidden correctly too.
    ASSERT_EQ(authenticate(rc->conn, "bob", "hello-but-much-longer-than-sixteen", &resp), 0);
    EXPECT_EQ(qn_packet_code(resp), 3u);
    qn_packet_destroy(resp);
}

TEST_F(FreeRadiusUdp, SignedReplyVerifies)
{
    auto rc = connect(Listener::AuthUdp);
    qn_packet *resp = nullptr;
    ASSERT_EQ(authenticate(rc->conn, "signer", "signpw", &resp), 0) << rc->pop_conn_message();
    EXPECT_EQ(qn_packet_code(resp), 2u);
    EXPECT_EQ(string_attr(resp, attr_reply_message), "Signed reply for signer");
    EXPECT_NE(qn_packet_find_avp(resp, attr_message_authenticator, 0), nullptr);
    qn_packet_destroy(resp);
}

TEST_F(FreeRadiusUdp, ChapRequest)
{
    auto rc = connect(Listener::AuthUdp);
    qn_request *req = nullptr;
    ASSERT_EQ(qn_request_create_authn(rc->conn, &req, "bob", nullptr), 0);
    qn_packet *pkt = qn_request_get_reqmsg(req);
    // RFC 1994: CHAP-Password = ident | MD5(ident | password | challenge), the challenge being
    // the request authenticator. Computed here independently of the library.
    const uint8_t ident = 7;
    const uint8_t *challenge = pkt->rpkt->vector;
    uint8_t input[1 + 5 + 16];
    input[0] = ident;
    memcpy(input + 1, "hello", 5);
    memcpy(input + 6, challenge, 16);
    uint8_t chap[17];
    chap[0] = ident;
    unsigned int len = 0;
    EVP_Digest(input, sizeof(input), chap + 1, &len, EVP_md5(), nullptr);
    ASSERT_EQ(qn_packet_add_avp(pkt, attr_chap_password, 0, chap, sizeof(chap)), 0);

    qn_packet *resp = nullptr;
    ASSERT_EQ(qn_request_send(req, &resp), 0) << rc->pop_conn_message();
    EXPECT_EQ(qn_packet_code(resp), 2u);
    qn_packet_destroy(resp);
    qn_request_destroy(req);
}

TEST_F(FreeRadiusUdp, AccountingAndStatusServer)
{
    auto acct = connect(Listener::AcctUdp);
    qn_packet *pkt = nullptr;
    ASSERT_EQ(qn_packet_create_request(acct->conn, &pkt, 4), 0);
    uint32_t start = 1;  // Acct-Status-Type Start
    uint32_t nas = htonl(0x7f000001);
    ASSERT_EQ(qn_packet_add_avp(pkt, attr_user_name, 0, "bob", 3), 0);
    ASSERT_EQ(qn_packet_add_avp(pkt, attr_acct_status_type, 0, &start, sizeof(start)), 0);
    ASSERT_EQ(qn_packet_add_avp(pkt, attr_acct_session_id, 0, "sess-1", 6), 0);
    ASSERT_EQ(qn_packet_add_avp(pkt, attr_nas_ip, 0, &nas, sizeof(nas)), 0);
    qn_request *req = nullptr;
    ASSERT_EQ(qn_request_create(acct->conn, &req), 0);
    qn_request_add_reqpkt(req, pkt);
    qn_packet *resp = nullptr;
    ASSERT_EQ(qn_request_send(req, &resp), 0) << acct->pop_conn_message();
    EXPECT_EQ(qn_packet_code(resp), 5u);
    qn_packet_destroy(resp);
    qn_request_destroy(req);

    auto auth = connect(Listener::AuthUdp);
    ASSERT_EQ(qn_packet_create_request(auth->conn, &pkt, 12), 0);
    ASSERT_EQ(qn_request_create(auth->conn, &req), 0);
    qn_request_add_reqpkt(req, pkt);
    ASSERT_EQ(qn_request_send(req, &resp), 0) << auth->pop_conn_message();
    EXPECT_EQ(qn_packet_code(resp), 2u);
    qn_packet_destroy(resp);
    qn_request_destroy(req);

    // A code that is no request is refused before anything is sent.
    EXPECT_EQ(qn_packet_create_request(auth->conn, &pkt, 2), QNE_INVALID_REQ_CODE);
    EXPECT_EQ(pkt, nullptr);
}

TEST_F(FreeRadiusUdp, OverIpv6Loopback)
{
    if (!peer->has_ipv6())
        GTEST_SKIP() << "no IPv6 loopback on this host";
    auto rc = connect(Listener::AuthUdp6, "::1");
    qn_packet *resp = nullptr;
    ASSERT_EQ(authenticate(rc->conn, "bob", "hello", &resp), 0) << rc->pop_conn_message();
    EXPECT_EQ(qn_packet_code(resp), 2u);
    EXPECT_EQ(string_attr(resp, attr_reply_message), "Hello, bob");
    qn_packet_destroy(resp);
}

// A realm whose first server is silent: the request ends on FreeRADIUS, the second, within the
// deadline, and the next one goes straight there while the first is held down.
TEST_F(FreeRadiusUdp, SilentFirstServerFailsOverToTheSecond)
{
    using quelna::test::Octets;
    quelna::test::UdpResponder silent("127.0.0.1", [](const Octets &, int) { return std::nullopt; });
    RealmConnection rc("UDP", "127.0.0.1", peer->port(Listener::AuthUdp), peer->secret(),
                       "retries = 1\n server { hostname = \"127.0.0.1\" service = \"" +
                           std::to_string(silent.port()) + "\" secret = \"x\" }");
    for (int i = 0; i < 2; i++) {
        qn_packet *resp = nullptr;
        ASSERT_EQ(authenticate(rc.conn, "bob", "hello", &resp), 0) << rc.pop_conn_message();
        EXPECT_EQ(string_attr(resp, attr_reply_message), "Hello, bob");
        qn_packet_destroy(resp);
        EXPECT_EQ(silent.received().size(), 2u);  // its share: two attempts, the first request
    }
    const char *service = nullptr;
    ASSERT_EQ(qn_conn_get_answering_server(rc.conn, nullptr, &service, nullptr, 0), 0);
    EXPECT_EQ(service, std::to_string(peer->port(Listener::AuthUdp)));
}

TEST_F(FreeRadiusUdp, ManyRequestsOnOneConnection)
{
    auto rc = connect(Listener::AuthUdp);
    for (int i = 0; i < 50; i++) {
        qn_packet *resp = nullptr;
        ASSERT_EQ(authenticate(rc->conn, "bob", i % 2 ? "hello" : "nope", &resp), 0) << i;
        EXPECT_EQ(qn_packet_code(resp), i % 2 ? 2u : 3u);
        qn_packet_destroy(resp);
    }
}

}  // namespace
