// Asynchronous requests against the in-process responders: many in flight, answers reordered,
// repeated or dropped, cancellation, a stream lost under its requests, full tables, tear-down.
#include <gtest/gtest.h>

#include <event2/event.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "async_batch.h"
#include "stream_responder.h"
#include "udp_responder.h"

namespace {

using namespace std::chrono_literals;
using quelna::test::Octets;
using quelna::test::RealmConnection;
using quelna::test::StreamResponder;
using quelna::test::StreamSession;
using quelna::test::UdpResponder;

using quelna::test::Batch;
using quelna::test::secret;
using quelna::test::echo;
using quelna::test::user_of;

std::string name(int i)
{
    return "user" + std::to_string(i);
}

// 300 requests over UDP (three sockets): answers come two by two in reverse order and twice
// each, and the first transmission of every seventh user is dropped.
TEST(Async, UdpAnswersReorderedRepeatedAndDroppedAreMatchedOnce)
{
    std::set<std::string> dropped;
    Octets held;
    UdpResponder server("127.0.0.1", UdpResponder::Answers{[&](const Octets &req, int) {
        const std::string user = user_of(req);
        const int k = std::stoi(user.substr(4));
        if (k % 7 == 0 && dropped.insert(user).second)
            return std::vector<Octets>{};
        if (held.empty()) {
            held = req;
            return std::vector<Octets>{};
        }
        std::vector<Octets> out = {echo(req), echo(held), echo(req), echo(held)};
        held.clear();
        return out;
    }});
    for (bool libevent : {false, true}) {
        dropped.clear();
        // The base outlives the connection whose events it holds.
        std::unique_ptr<event_base, void (*)(event_base *)> base(
            libevent ? event_base_new() : nullptr, event_base_free);
        RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
        Batch run{rc.conn, {}};
        if (base) {
            ASSERT_EQ(qn_async_use_event_base(rc.conn, base.get()), 0);
        }
        struct timeval wait = {0, 150000};
        ASSERT_EQ(qn_async_set_schedule(rc.conn, &wait, 6), 0);
        for (int i = 0; i < 300; i++)
            ASSERT_EQ(run.start(name(i)), 0) << rc.pop_conn_message();
        EXPECT_EQ(qn_async_outstanding(rc.conn), 300u);
        if (base)
            event_base_dispatch(base.get());
        else
            run.poll_until_done();
        EXPECT_EQ(qn_async_outstanding(rc.conn), 0u);
        run.expect_all_answered(300);
        EXPECT_EQ(dropped.size(), 43u);
    }
}

// A silent server: requests time out on their schedule; the sockets (16 of 128 requests) and
// then the queue fill; cancelling completes at once; destroying the connection completes every
// other request.
TEST(Async, TimeoutsFullTablesCancelAndDestroy)
{
    UdpResponder server("127.0.0.1", [](const Octets &, int) { return std::nullopt; });
    RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
    Batch run{rc.conn, {}};
    struct timeval wait = {0, 50000};
    ASSERT_EQ(qn_async_set_schedule(rc.conn, &wait, 2), 0);
    ASSERT_EQ(run.start("late"), 0);
    run.poll_until_done();
    EXPECT_EQ(run.by_user["late"].code, QNE_TIMEOUT);
    EXPECT_EQ(run.by_user["late"].message, "timeout");
    EXPECT_EQ(server.received().size(), 2u);  // the same octets twice
    EXPECT_EQ(server.received()[0].octets, server.received()[1].octets);

    wait = {60, 0};
    ASSERT_EQ(qn_async_set_schedule(rc.conn, &wait, 1), 0);
    ASSERT_EQ(qn_async_set_queue_limit(rc.conn, 10), 0);
    std::vector<qn_async_request *> handles(2058);
    for (int i = 0; i < 2058; i++)
        ASSERT_EQ(run.start(name(i), &handles[static_cast<size_t>(i)]), 0);
    EXPECT_EQ(run.start("one-too-many"), QNE_INUSE);
    EXPECT_EQ(rc.pop_conn_message(), "2048 requests in flight and 10 waiting (the queue's limit)");
    EXPECT_EQ(qn_async_fds(rc.conn, nullptr, 0), 16u);
    qn_request *blocking = nullptr;
    ASSERT_EQ(qn_request_create_authn(rc.conn, &blocking, "b", "pw"), 0);
    qn_packet *resp = nullptr;
    EXPECT_EQ(qn_request_send(blocking, &resp), QNE_INUSE);
    qn_request_destroy(blocking);

    qn_async_cancel(handles[3]);     // in flight
    qn_async_cancel(handles[2050]);  // queued
    EXPECT_EQ(run.by_user[name(3)].calls, 1);
    EXPECT_EQ(run.by_user[name(3)].code, QNE_CANCELLED);
    EXPECT_EQ(run.by_user[name(2050)].message, "request cancelled");
    EXPECT_EQ(qn_async_outstanding(rc.conn), 2056u);
    qn_conn_destroy(rc.conn);
    rc.conn = nullptr;
    for (int i = 0; i < 2058; i++) {
        EXPECT_EQ(run.by_user[name(i)].calls, 1) << i;
        EXPECT_EQ(run.by_user[name(i)].code, QNE_CANCELLED) << i;
    }
}

// A request cancelled while its answer waits in the socket: the answer is ignored and the
// socket serves the next request.
TEST(Async, AnswerToACancelledRequestIsIgnored)
{
    UdpResponder server("127.0.0.1", [](const Octets &req, int) { return echo(req); });
    RealmConnection rc("UDP", "127.0.0.1", server.port(), secret);
    Batch run{rc.conn, {}};
    qn_async_request *areq = nullptr;
    ASSERT_EQ(run.start("gone", &areq), 0);
    for (int i = 0; i < 200 && server.received().empty(); i++)
        std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(50ms);
    qn_async_cancel(areq);
    ASSERT_EQ(run.start("next"), 0);
    run.poll_until_done();
    EXPECT_EQ(run.by_user["gone"].calls, 1);
    EXPECT_EQ(run.by_user["gone"].code, QNE_CANCELLED);
    EXPECT_EQ(run.by_user["next"].code, 0) << run.by_user["next"].message;
    EXPECT_EQ(run.by_user["next"].reply, "hello next");
}

// 100 requests pipelined on a stream that the server closes after reading them all: they go
// out again on a new stream and are answered there.
TEST(Async, RequestsOfAClosedStreamGoOutAgainOnANewOne)
{
    for (auto kind : {StreamResponder::Kind::Tcp, StreamResponder::Kind::Tls}) {
        StreamResponder server(kind, [](StreamSession &s) {
            if (s.index() == 1) {
                for (int i = 0; i < 100 && s.read_packet(); i++) {
                }
                s.drop();
                return;
            }
            while (auto req = s.read_packet())
                s.write(echo(*req));
        });
        const bool tls = kind == StreamResponder::Kind::Tls;
        RealmConnection rc(tls ? "TLS" : "TCP", tls ? "localhost" : "127.0.0.1", server.port(),
                           secret,
                           tls ? "cacertfile = \"" + StreamResponder::ca_file() + "\"" : "");
        Batch run{rc.conn, {}};
        for (int i = 0; i < 100; i++)
            ASSERT_EQ(run.start(name(i)), 0);
        run.poll_until_done();
        run.expect_all_answered(100);
        EXPECT_EQ(server.streams(), 2);
        EXPECT_EQ(server.requests().size(), 200u);
    }
}

// Nothing listens at the first server: every request moves to the second at once, without
// using its only attempt.
TEST(Async, RefusedFirstServerFailsOverAtOnce)
{
    UdpResponder udp("127.0.0.1", [](const Octets &req, int) { return echo(req); });
    StreamResponder tcp(StreamResponder::Kind::Tcp, [](StreamSession &s) {
        while (auto req = s.read_packet())
            s.write(echo(*req));
    });
    for (bool stream : {false, true}) {
        const uint16_t second = stream ? tcp.port() : udp.port();
        RealmConnection rc(stream ? "TCP" : "UDP", "127.0.0.1", quelna::test::free_udp_port(),
                           secret,
                           "\n server { hostname = \"127.0.0.1\" service = \"" +
                               std::to_string(second) + "\" secret = \"" + secret + "\" }");
        struct timeval wait = {30, 0};
        ASSERT_EQ(qn_async_set_schedule(rc.conn, &wait, 1), 0);
        Batch run{rc.conn, {}};
        for (int i = 0; i < 20; i++)
            ASSERT_EQ(run.start(name(i)), 0);
        run.poll_until_done(5s);
        run.expect_all_answered(20);
    }
}

// DTLS: one session carries many requests, each packet one record; a server that never
// completes the handshake times the requests out (a wrong key looks the same: the server drops
// what it cannot decrypt).
TEST(Async, DtlsSessionCarriesManyRequests)
{
    StreamResponder server(StreamResponder::Kind::Dtls, [](StreamSession &s) {
        while (auto req = s.read_packet())
            s.write(echo(*req));
    });
    RealmConnection rc("DTLS", "localhost", server.port(), secret,
                       "cacertfile = \"" + StreamResponder::ca_file() + "\"");
    Batch run{rc.conn, {}};
    for (int i = 0; i < 50; i++)
        ASSERT_EQ(run.start(name(i)), 0);
    run.poll_until_done();
    run.expect_all_answered(50);
    EXPECT_EQ(server.streams(), 1);

    UdpResponder silent("127.0.0.1", [](const Octets &, int) { return std::nullopt; });
    RealmConnection quiet("DTLS", "127.0.0.1", silent.port(), secret,
                          "cacertfile = \"" + StreamResponder::ca_file() + "\"");
    struct timeval wait = {0, 300000};
    ASSERT_EQ(qn_async_set_schedule(quiet.conn, &wait, 1), 0);
    Batch none{quiet.conn, {}};
    ASSERT_EQ(none.start("nobody"), 0);
    none.poll_until_done();
    EXPECT_EQ(none.by_user["nobody"].code, QNE_TIMEOUT);
    EXPECT_FALSE(silent.received().empty());  // ClientHello, nothing else
}

}  // namespace
