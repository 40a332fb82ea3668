// Requests over UDP against an in-process responder: retransmission, forged and malformed answers.
#include <gtest/gtest.h>

#include <event2/event.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "net_util.h"
#include "udp_responder.h"

namespace {

using namespace std::chrono_literals;
using quelna::test::attr;
using quelna::test::authenticate;
using quelna::test::make_response;
using quelna::test::Octets;
using quelna::test::RealmConnection;
using quelna::test::string_attr;
using quelna::test::UdpResponder;

const std::string secret = "responder-secret";

Octets accept_with(const Octets &req, const std::string &message)
{
    return make_response(req, 2, attr(18, message), secret);
}

double seconds_between(const UdpResponder::Received &a, const UdpResponder::Received &b)
{
    return std::chrono::duration<double>(b.at - a.at).count();
}

TEST(UdpRequest, FirstAnswerIsVerifiedAndDecoded)
{
    UdpResponder server("127.0.0.1", [](const Octets &req, int) {
        return accept_with(req, "welcome");
    });
    RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
    qn_packet *resp = nullptr;
    ASSERT_EQ(authenticate(rc.conn, "alice", "pw", &resp), 0) << rc.pop_conn_message();
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(qn_packet_code(resp), 2u);
    EXPECT_EQ(string_attr(resp, 18), "welcome");
    qn_packet_destroy(resp);
    const auto got = server.received();
    ASSERT_EQ(got.size(), 1u);
    // The Message-Authenticator is the first attribute.
    EXPECT_EQ(Octets(got[0].octets.begin() + 20, got[0].octets.begin() + 22), (Octets{80, 18}));
    EXPECT_EQ(rc.conn->timeout.tv_sec, 0);
    EXPECT_EQ(rc.conn->timeout.tv_usec, 0);
}

TEST(UdpRequest, RetransmitsTheSameOctetsUntilAnswered)
{
    UdpResponder server("127.0.0.1", [](const Octets &req, int n) -> std::optional<Octets> {
        if (n < 3)
            return std::nullopt;
        return accept_with(req, "third time");
    });
    RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
    qn_packet *resp = nullptr;
    ASSERT_EQ(authenticate(rc.conn, "alice", "pw", &resp), 0) << rc.pop_conn_message();
    EXPECT_EQ(string_attr(resp, 18), "third time");
    qn_packet_destroy(resp);

    auto got = server.received();
    ASSERT_EQ(got.size(), 3u);
    // Identifier, authenticator and attributes are the same in every transmission.
    EXPECT_EQ(got[1].octets, got[0].octets);
    EXPECT_EQ(got[2].octets, got[0].octets);
    EXPECT_GE(seconds_between(got[0], got[1]), 2.0);
    EXPECT_LE(seconds_between(got[0], got[1]), 2.198 + 0.5);
    EXPECT_GE(seconds_between(got[1], got[2]), 6.0);
    EXPECT_LE(seconds_between(got[1], got[2]), 6.594 + 0.5);
}

TEST(UdpRequest, SilentServerEndsWithTimeoutOnTheSchedule)
{
    UdpResponder server("127.0.0.1", [](const Octets &, int) { return std::nullopt; });
    RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
    auto start = std::chrono::steady_clock::now();
    qn_packet *resp = nullptr;
    EXPECT_EQ(authenticate(rc.conn, "alice", "pw", &resp), QNE_TIMEOUT);
    double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(resp, nullptr);
    EXPECT_TRUE(rc.pop_conn_message().starts_with("timeout (request.cpp:"));

    // Timeouts 2.000-2.198, 6.000-6.594, 14.000-15.386, 16.000-17.584 s: the fourth ends past
    // the 30-second deadline, after four transmissions.
    auto got = server.received();
    ASSERT_EQ(got.size(), 4u);
    const double low[] = {2.0, 6.0, 14.0};
    const double high[] = {2.198, 6.594, 15.386};
    for (size_t i = 0; i + 1 < got.size(); i++) {
        double gap = seconds_between(got[i], got[i + 1]);
        EXPECT_GE(gap, low[i]) << i;
        EXPECT_LE(gap, high[i] + 0.5) << i;
        EXPECT_EQ(got[i + 1].octets, got[0].octets);
    }
    EXPECT_GE(total, 38.0);
    EXPECT_LE(total, 42.0 + 1.5);
}

struct BadAnswer {
    const char *name;
    std::function<Octets(const Octets &)> make;
    int code;
    std::string message_prefix;
};

TEST(UdpRequest, BadAnswersAreDiscardedAndTheRealAnswerAccepted)
{
    const BadAnswer cases[] = {
        {"forged authenticator",
         [](const Octets &req) {
             Octets r = accept_with(req, "x");
             r[7] ^= 1;
             return r;
         },
         QNE_AUTH_VECTOR_WRONG, "lr_packet_verify (packet.cpp:"},
        {"wrong identifier",
         [](const Octets &req) {
             Octets wrong = req;
             wrong[1] ^= 0x55;
             return accept_with(wrong, "x");
         },
         QNE_INVALID_RESP_ID, "lr_packet_verify (packet.cpp:"},
        {"wrong code",
         [](const Octets &req) { return make_response(req, 5, {}, secret); },
         QNE_INVALID_RESP_CODE, "lr_packet_verify (packet.cpp:"},
        {"shorter than its length field",
         [](const Octets &req) {
             Octets r = accept_with(req, std::string(40, 'm'));
             r.resize(r.size() - 10);
             return r;
         },
         QNE_PACKET_TOO_LARGE, "invalid packet: Packet length overflows received data"},
        {"length field 0",
         [](const Octets &req) {
             Octets r = accept_with(req, "x");
             r[2] = r[3] = 0;
             return r;
         },
         QNE_PACKET_TOO_SMALL, "invalid packet: Packet length is too small"},
        {"19 octets",
         [](const Octets &req) { return Octets(req.begin(), req.begin() + 19); },
         QNE_INVALID_PKT, "invalid packet length: 19"},
        {"4097 octets",
         [](const Octets &req) {
             Octets r = accept_with(req, "x");
             r.resize(4097, 0);
             return r;
         },
         QNE_INVALID_PKT, "invalid packet length: 4097"},
        {"attribute length 1",
         [](const Octets &req) {
             Octets r = make_response(req, 2, {18, 1, 0, 0}, secret);
             return r;
         },
         QNE_ATTR_TOO_SMALL, "invalid packet: Attribute length is too small"},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Every answer is preceded by the bad datagram, as an attacker on the path would send.
        UdpResponder server(
            "127.0.0.1", [](const Octets &req, int) { return accept_with(req, "fine"); }, 0,
            [&c](const Octets &req, int) { return c.make(req); });
        RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);

        // The single receive judges the one packet it gets, and closes the transport.
        qn_packet *req = nullptr;
        ASSERT_EQ(qn_packet_create_authn_request(rc.conn, &req, "alice", "pw"), 0);
        struct timeval tv = {5, 0};
        qn_conn_set_timeout(rc.conn, &tv);
        ASSERT_EQ(qn_packet_send(req, nullptr), 0) << rc.pop_conn_message();
        qn_packet *resp = nullptr;
        EXPECT_EQ(qn_conn_receive_packet(rc.conn, req, &resp), c.code);
        EXPECT_EQ(resp, nullptr);
        EXPECT_TRUE(rc.pop_conn_message().starts_with(c.message_prefix));
        EXPECT_EQ(rc.conn->fd, -1);
        qn_packet_destroy(req);

        // A request discards it and takes the real answer behind it, without retransmitting.
        ASSERT_EQ(authenticate(rc.conn, "alice", "pw", &resp), 0) << rc.pop_conn_message();
        EXPECT_EQ(string_attr(resp, 18), "fine");
        qn_packet_destroy(resp);
        EXPECT_EQ(server.received().size(), 2u);
    }
}

TEST(UdpRequest, OnlyForgedAnswersEndWithTheVerificationCodeAfterTheSchedule)
{
    UdpResponder server("127.0.0.1", [](const Octets &req, int) {
        return make_response(req, 2, {}, "not-the-secret");
    });
    RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
    qn_packet *resp = nullptr;
    EXPECT_EQ(authenticate(rc.conn, "alice", "pw", &resp), QNE_AUTH_VECTOR_WRONG);
    EXPECT_EQ(resp, nullptr);
    EXPECT_EQ(server.received().size(), 4u);
    EXPECT_TRUE(rc.pop_conn_message().ends_with("; 4 responses discarded"));
}

// Access replies without a Message-Authenticator, by the realm's require_message_authenticator:
// "yes" refuses them, "auto" once the server has signed a reply, "no" never.
TEST(UdpRequest, UnsignedAccessRepliesFollowTheRealmsPolicy)
{
    struct Case {
        std::string policy;
        std::vector<bool> signs;  // whether the server signs its answer to each request
        bool refused;             // the last answer
    } cases[] = {{"yes", {false}, true}, {"yes", {true}, false}, {"no", {true, false}, false},
                 {"auto", {false, false}, false}, {"auto", {true, false}, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.policy + ::testing::PrintToString(c.signs));
        UdpResponder server("127.0.0.1", [&c](const Octets &req, int n) {
            return make_response(req, 2, {}, secret, c.signs.at(n - 1));
        });
        RealmConnection rc("UDP", "127.0.0.1", server.port(), secret,
                           "require_message_authenticator = \"" + c.policy + "\"");
        for (size_t i = 0; i < c.signs.size(); i++) {
            qn_request *req = nullptr;
            ASSERT_EQ(qn_request_create_authn(rc.conn, &req, "alice", "pw"), 0);
            const struct timeval wait = {0, 300000};
            qn_request_set_schedule(req, &wait, 1);  // a refused answer waits out the attempt
            qn_packet *resp = nullptr;
            const bool refused = c.refused && i + 1 == c.signs.size();
            EXPECT_EQ(qn_request_send(req, &resp), refused ? QNE_MSG_AUTH_WRONG : 0) << i;
            qn_packet_destroy(resp);
            qn_request_destroy(req);
        }
        if (c.refused) {
            EXPECT_EQ(rc.pop_conn_message(),
                      "Access-Accept without Message-Authenticator refused "
                      "(require_message_authenticator = " +
                          (c.policy == "yes" ? c.policy : "auto: the server signed earlier") +
                          "); 1 response discarded");
        }
    }
}

// A server restarting: its port answers with ICMP port-unreachable for a while.
TEST(UdpRequest, PortUnreachableCountsAsNoAnswerUntilTheServerIsBack)
{
    const uint16_t port = quelna::test::free_udp_port();
    RealmConnection rc("UDP", "127.0.0.1", port, secret);
    std::unique_ptr<UdpResponder> server;
    std::thread restart([&] {
        std::this_thread::sleep_for(1s);
        server = std::make_unique<UdpResponder>(
            "127.0.0.1", [](const Octets &req, int) { return accept_with(req, "back"); }, port);
    });
    auto start = std::chrono::steady_clock::now();
    qn_packet *resp = nullptr;
    int r = authenticate(rc.conn, "alice", "pw", &resp);
    restart.join();
    ASSERT_EQ(r, 0) << rc.pop_conn_message();
    EXPECT_EQ(string_attr(resp, 18), "back");
    qn_packet_destroy(resp);
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              2.0);  // the first attempt was waited out
    EXPECT_EQ(server->received().size(), 1u);
}

// Requests on one connection carry identifiers that follow each other, and one chosen by the
// caller is written into the octets too.
TEST(UdpRequest, IdentifiersDifferAndAChosenOneIsWritten)
{
    UdpResponder server("127.0.0.1", [](const Octets &req, int) { return accept_with(req, "i"); });
    RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
    qn_packet *resp = nullptr;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(authenticate(rc.conn, "alice", "pw", &resp), 0) << rc.pop_conn_message();
        qn_packet_destroy(resp);
    }
    auto got = server.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].octets[1], static_cast<uint8_t>(got[0].octets[1] + 1));
    EXPECT_EQ(got[2].octets[1], static_cast<uint8_t>(got[0].octets[1] + 2));

    // An identifier set after the packet was written and signed: it is sent, and it verifies.
    qn_request *req = nullptr;
    ASSERT_EQ(qn_request_create_authn(rc.conn, &req, "alice", "pw"), 0);
    ASSERT_EQ(qn_request_send(req, &resp), 0) << rc.pop_conn_message();
    qn_packet_destroy(resp);
    qn_packet_set_id(qn_request_get_reqmsg(req), 200);
    EXPECT_EQ(qn_packet_codec(qn_request_get_reqmsg(req))->data[1], 200);
    ASSERT_EQ(qn_request_send(req, &resp), 0) << rc.pop_conn_message();
    qn_packet_destroy(resp);
    qn_request_destroy(req);
    EXPECT_EQ(server.received().back().octets[1], 200);
}

// Two servers, the first silent: a request moves to the second after the first's share (the
// realm's retries plus one), the first is held down, and the next step of a challenge stays on
// the server that answered.
TEST(UdpRequest, SilentFirstServerFailsOverAndStateStaysOnItsServer)
{
    UdpResponder silent("127.0.0.1", [](const Octets &, int) { return std::nullopt; });
    UdpResponder second("127.0.0.1", [](const Octets &req, int) { return accept_with(req, "2"); });
    RealmConnection rc("UDP", "127.0.0.1", second.port(), secret,
                       "retries = 0\n server { hostname = \"127.0.0.1\" service = \"" +
                           std::to_string(silent.port()) + "\" secret = \"" + secret + "\" }");
    qn_packet *resp = nullptr;
    ASSERT_EQ(authenticate(rc.conn, "alice", "pw", &resp), 0) << rc.pop_conn_message();
    qn_packet_destroy(resp);
    EXPECT_EQ(silent.received().size(), 1u);
    const char *host = nullptr, *service = nullptr;
    char address[QN_ADDR_TEXT_SIZE];
    ASSERT_EQ(qn_conn_get_answering_server(rc.conn, &host, &service, address, sizeof(address)), 0);
    EXPECT_STREQ(host, "127.0.0.1");
    EXPECT_EQ(service, std::to_string(second.port()));
    EXPECT_EQ(address, "127.0.0.1:" + std::to_string(second.port()));

    // Held down: the next request goes straight to the second server.
    ASSERT_EQ(authenticate(rc.conn, "alice", "pw", &resp), 0) << rc.pop_conn_message();
    qn_packet_destroy(resp);
    EXPECT_EQ(silent.received().size(), 1u);

    // The hold-down over, a request with State stays on the second server; one without goes
    // to the first again.
    for (qn_peer *p = rc.conn->peers; p; p = p->next)
        p->down_until = {0, 0};
    qn_request *req = nullptr;
    ASSERT_EQ(qn_request_create_authn(rc.conn, &req, "alice", "pw"), 0);
    ASSERT_EQ(qn_packet_add_avp(qn_request_get_reqmsg(req), 24, 0, "challenge-1", 11), 0);
    ASSERT_EQ(qn_request_send(req, &resp), 0) << rc.pop_conn_message();
    qn_packet_destroy(resp);
    qn_request_destroy(req);
    EXPECT_EQ(silent.received().size(), 1u);
    ASSERT_EQ(authenticate(rc.conn, "alice", "pw", &resp), 0) << rc.pop_conn_message();
    qn_packet_destroy(resp);
    EXPECT_EQ(silent.received().size(), 2u);
    EXPECT_EQ(second.received().size(), 4u);
}

TEST(UdpSend, ReceiveWithoutRequestHandsThePacketOut)
{
    UdpResponder server("127.0.0.1", [](const Octets &req, int) {
        Octets r = accept_with(req, "raw");
        r[1] ^= 0x0f;  // would fail verification against the request
        return r;
    });
    RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
    qn_packet *req = nullptr;
    ASSERT_EQ(qn_packet_create_authn_request(rc.conn, &req, "alice", "pw"), 0);
    struct timeval tv = {5, 0};
    qn_conn_set_timeout(rc.conn, &tv);
    ASSERT_EQ(qn_packet_send(req, nullptr), 0) << rc.pop_conn_message();
    EXPECT_TRUE(req->flags & QN_PACKET_SENT);
    EXPECT_EQ(rc.conn->callbacks.sent_cb, nullptr);
    EXPECT_EQ(rc.conn->user_data, nullptr);

    qn_packet *resp = nullptr;
    ASSERT_EQ(qn_conn_receive_packet(rc.conn, nullptr, &resp), 0) << rc.pop_conn_message();
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(qn_packet_code(resp), 2u);
    qn_packet_destroy(resp);
    qn_packet_destroy(req);
}

TEST(UdpSend, WakeUpWithoutADatagramIsNeverASuccess)
{
    UdpResponder server("127.0.0.1", [](const Octets &, int) { return std::nullopt; });
    RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
    qn_packet *req = nullptr;
    ASSERT_EQ(qn_packet_create_authn_request(rc.conn, &req, "alice", "pw"), 0);
    ASSERT_EQ(qn_packet_send(req, nullptr), 0) << rc.pop_conn_message();

    // With no time-out armed, a read wake-up that finds nothing disconnects and leaves the
    // loop with no packet and nothing recorded by the transport: the receive must still fail.
    struct timeval zero = {0, 0};
    qn_conn_set_timeout(rc.conn, &zero);
    struct timeval soon = {0, 10000};
    event_base_once(
        rc.conn->evb, -1, EV_TIMEOUT,
        [](evutil_socket_t, short, void *arg) {
            event_active(static_cast<qn_connection *>(arg)->rev, EV_READ, 0);
        },
        rc.conn, &soon);
    qn_packet *resp = nullptr;
    EXPECT_EQ(qn_conn_receive_packet(rc.conn, req, &resp), QNE_NO_PACKET_DATA);
    EXPECT_EQ(resp, nullptr);
    EXPECT_EQ(rc.conn->fd, -1);
    qn_packet_destroy(req);
}

TEST(UdpSend, UserDispatchOnlyArmsTheEvents)
{
    UdpResponder server("127.0.0.1", [](const Octets &, int) { return std::nullopt; });
    RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
    qn_conn_callbacks cb{};
    cb.sent_cb = [](void *) {};
    qn_conn_set_callbacks(rc.conn, &cb);
    qn_packet *req = nullptr;
    ASSERT_EQ(qn_packet_create(rc.conn, &req), 0);
    int marker = 0;
    EXPECT_EQ(qn_packet_send(req, &marker), 0);
    EXPECT_EQ(rc.conn->user_data, &marker);
    EXPECT_NE(rc.conn->fd, -1);
    EXPECT_FALSE(req->flags & QN_PACKET_SENT);
    EXPECT_TRUE(server.received().empty());
    qn_packet_destroy(req);
}

TEST(UdpSend, SetUpFailures)
{
    {
        RealmConnection rc("UDP", "no-such-host.invalid", 1812, secret);
        qn_packet *req = nullptr;
        ASSERT_EQ(qn_packet_create(rc.conn, &req), 0);
        EXPECT_EQ(qn_packet_send(req, nullptr), -1);
        EXPECT_EQ(qn_err_conn_peek_code(rc.conn), QNE_BADADDR);
        EXPECT_TRUE(rc.pop_conn_message().starts_with("no-such-host.invalid:1812: bad host"));
        EXPECT_EQ(rc.conn->fd, -1);
        EXPECT_EQ(rc.conn->active_peer->addr, nullptr);
        qn_packet_destroy(req);
    }
    {
        qn_context *ctx = nullptr;
        qn_connection *conn = nullptr;
        ASSERT_EQ(qn_context_create(&ctx), 0);
        ASSERT_EQ(qn_conn_create(ctx, &conn, "empty"), 0);
        qn_conn_set_type(conn, QN_CONN_TYPE_UDP);
        qn_packet *req = nullptr;
        ASSERT_EQ(qn_packet_create(conn, &req), 0);
        EXPECT_EQ(qn_packet_send(req, nullptr), -1);
        EXPECT_EQ(qn_err_conn_peek_code(conn), QNE_NOPEER);
        qn_packet_destroy(req);
        qn_conn_destroy(conn);
        qn_context_destroy(ctx);
    }
}

// A realm made in code serves requests as a configured one does; a TLS realm without a CA file
// or key is refused when it first connects.
TEST(UdpRequest, RealmMadeInCodeServesRequests)
{
    UdpResponder server("127.0.0.1", [](const Octets &req, int) {
        return accept_with(req, "coded");
    });
    qn_context *ctx = nullptr;
    ASSERT_EQ(qn_context_create(&ctx), 0);
    qn_realm *r = nullptr, *t = nullptr;
    ASSERT_EQ(qn_realm_create(ctx, "coded", QN_CONN_TYPE_UDP, &r), 0);
    ASSERT_EQ(qn_realm_add_server(r, "127.0.0.1", std::to_string(server.port()).c_str(),
                                  secret.c_str()),
              0);
    ASSERT_EQ(qn_realm_create(ctx, "t", QN_CONN_TYPE_TLS, &t), 0);
    ASSERT_EQ(qn_realm_add_server(t, "127.0.0.1", "2083", "radsec"), 0);
    qn_connection *conn = nullptr, *tconn = nullptr;
    ASSERT_EQ(qn_conn_create(ctx, &conn, "coded"), 0);
    ASSERT_EQ(qn_conn_create(ctx, &tconn, "t"), 0);
    qn_packet *resp = nullptr;
    ASSERT_EQ(authenticate(conn, "alice", "pw", &resp), 0) << quelna::test::pop_message(conn);
    EXPECT_EQ(string_attr(resp, 18), "coded");
    qn_packet_destroy(resp);
    EXPECT_EQ(authenticate(tconn, "alice", "pw", &resp), QNE_CONFIG);
    EXPECT_EQ(quelna::test::pop_message(tconn), "t: missing both CA file/path and PSK");
    qn_conn_destroy(conn);
    qn_conn_destroy(tconn);
    qn_context_destroy(ctx);
}

}  // namespace
