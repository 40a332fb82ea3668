// The C++ interface: the error category, errors taken from the right slot, typed values,
// ownership across moves and early returns (leaks and dangling handles show under the
// sanitizer build), and requests against the in-process UDP responder, blocking and
// asynchronous.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <event2/event.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <quelna/quelna.hpp>

#include "async_batch.h"

namespace {

using namespace std::chrono_literals;
using quelna::test::echo;
using quelna::test::secret;
using quelna::test::UdpResponder;
using Wire = quelna::test::Octets;
using quelna::Packet;

// op must throw an Error with code and a message containing part.
void expect_error(const std::function<void()> &op, int code, const std::string &part)
{
    try {
        op();
        ADD_FAILURE() << "no error; expected \"" << part << "\"";
    } catch (const quelna::Error &e) {
        EXPECT_EQ(e.code(), std::error_code(code, quelna::error_category())) << e.what();
        EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
}

// A context whose realm "r" is one UDP server on the loopback port.
quelna::Context udp_context(uint16_t port)
{
    quelna::Context ctx;
    ctx.add_realm("r", quelna::Transport::udp).server("127.0.0.1", std::to_string(port), secret);
    return ctx;
}

UdpResponder::Handler echoing = [](const Wire &req, int) { return std::optional(echo(req)); };
UdpResponder::Handler silent = [](const Wire &, int) { return std::optional<Wire>(); };

TEST(CppErrors, CategoryComparesWithTheCodesAndPortableConditions)
{
    const quelna::Error e(QNE_TIMEOUT, "r: no answer");
    const std::system_error &base = e;
    EXPECT_STREQ(base.what(), "r: no answer");
    EXPECT_EQ(e.code(), QNE_TIMEOUT);
    EXPECT_NE(e.code(), QNE_TIMEOUT_IO);
    EXPECT_EQ(e.code(), std::errc::timed_out);
    EXPECT_NE(e.code(), std::error_code(QNE_TIMEOUT, std::generic_category()));
    EXPECT_EQ(std::error_code(QNE_CANCELLED), std::errc::operation_canceled);
    EXPECT_NE(std::error_code(QNE_ATTR_UNKNOWN), std::errc::invalid_argument);
    EXPECT_STREQ(e.code().category().name(), "quelna");
    EXPECT_EQ(e.code().message(), qn_strerror(QNE_TIMEOUT));
    EXPECT_STREQ(quelna::Error(QNE_NOMEM, "").what(), qn_strerror(QNE_NOMEM));
    EXPECT_EQ(quelna::error_category().message(999), "unknown error 999");
}

// Context, realm, connection and codes-only failures each carry their own message, and the
// slot they were recorded in is left empty.
TEST(CppErrors, EachFailureCarriesTheMessageOfItsSlot)
{
    quelna::Context ctx;
    quelna::Realm r = ctx.add_realm("r", quelna::Transport::udp);
    r.server("127.0.0.1", "1812", "s");
    quelna::Connection conn(ctx, "r");
    expect_error([&] { r.timeout(0s); }, QNE_INVAL, "r: timeout: 0 is out of range (1 to 3600)");
    expect_error([&] { ctx.add_realm("r", quelna::Transport::tcp); }, QNE_CONFIG, "r: a realm");
    expect_error([&] { r.server("h", "1812", std::string("a\0b", 3)); }, QNE_INVAL,
                 "secret: a text cannot hold a zero octet");
    expect_error([&] { quelna::Connection(ctx, "s"); }, QNE_NOPEER, "no realm \"s\"");
    expect_error([&] { Packet::request(conn, QN_CODE_ACCESS_ACCEPT); }, QNE_INVALID_REQ_CODE,
                 "2: not a request code");
    expect_error([&] { Packet::access_request(conn, "bob", ""); }, QNE_INVAL, "");
    expect_error([&] { quelna::attribute("No-Such"); }, QNE_ATTR_UNKNOWN,
                 "unknown attribute \"No-Such\"");
    expect_error([&] { ctx.read_config("/nonexistent/q.conf"); }, QNE_CONFIG,
                 "/nonexistent/q.conf");
    EXPECT_EQ(qn_err_ctx_pop(ctx.native()), nullptr);
    EXPECT_EQ(qn_err_conn_pop(conn.native()), nullptr);
}

TEST(CppValues, TypedValuesRoundTripAndWrongOnesAreRefused)
{
    UdpResponder server("127.0.0.1", silent);
    quelna::Context ctx = udp_context(server.port());
    quelna::Connection conn(ctx, "r");
    Packet p = Packet::request(conn, QN_CODE_ACCOUNTING_REQUEST);
    in_addr v4{};
    in6_addr v6{};
    ASSERT_EQ(inet_pton(AF_INET, "192.0.2.7", &v4), 1);
    ASSERT_EQ(inet_pton(AF_INET6, "2001:db8::", &v6), 1);
    const std::chrono::system_clock::time_point when(1700000000s);
    p.add("User-Name", "bob").add("NAS-Port", 7).add("NAS-IP-Address", v4);
    p.add("Event-Timestamp", when).add("Class", std::vector<uint8_t>{1, 0, 2});
    p.add("Framed-Interface-Id", quelna::Ifid{{0, 1, 0, 2, 0, 3, 0, 4}});
    p.add("Framed-IPv6-Prefix", quelna::Ipv6Prefix{32, v6}).add("Login-IPv6-Host", v6);
    quelna::Pair tunnel("Tunnel-Type");
    p.add(std::move(tunnel.set(3).set_tag(2)));

    EXPECT_EQ(p.find("user-name")->string(), "bob");
    EXPECT_EQ(p.find("NAS-Port")->integer(), 7u);
    EXPECT_EQ(p.find("NAS-IP-Address")->ipv4().s_addr, v4.s_addr);
    EXPECT_EQ(p.find("Event-Timestamp")->date(), when);
    EXPECT_EQ(p.find("Class")->octets().to_vector(), (std::vector<uint8_t>{1, 0, 2}));
    EXPECT_EQ(p.find("Framed-Interface-Id")->ifid().octets[7], 4);
    EXPECT_EQ(p.find("Framed-IPv6-Prefix")->text(), "2001:db8::/32");
    EXPECT_EQ(p.find("Framed-IPv6-Prefix")->ipv6_prefix().length, 32);
    EXPECT_EQ(p.find("Login-IPv6-Host")->text(), "2001:db8::");
    EXPECT_EQ(p.find("Tunnel-Type")->tag(), 2);
    EXPECT_EQ(p.find("Tunnel-Type")->text(), "L2TP");
    EXPECT_FALSE(p.find("Reply-Message"));

    expect_error([&] { p.add("NAS-Port", "x"); }, QNE_ATTR_INVALID,
                 "NAS-Port: integer attribute, not a string");
    expect_error([&] { p.add("NAS-Port", -1); }, QNE_INVAL, "NAS-Port: -1 is out of range");
    expect_error([&] { p.add("NAS-Port", 1ull << 32); }, QNE_INVAL, "4294967296 is out of");
    expect_error([&] { p.add("User-Name", std::string(254, 'a')); }, QNE_ATTR_TOO_LARGE, "254");
    expect_error([&] { p.add("User-Name", std::string("a\0b", 3)); }, QNE_INVAL, "zero octet");
    expect_error([&] { p.add("Framed-IPv6-Prefix", quelna::Ipv6Prefix{129, v6}); }, QNE_INVAL,
                 "/129 is out of range");
    expect_error([&] { p.find("User-Name")->integer(); }, QNE_ATTR_INVALID, "not a number");
    expect_error([&] { quelna::Pair("NAS-Port").set_tag(1); }, QNE_ATTR_INVALID, "no tag");
    expect_error([&] { quelna::Pair(quelna::AttrId{300, 0}); }, QNE_INVAL, "no attribute 300");

    // Nothing refused was added; removing takes every pair of the attribute.
    std::vector<std::string> names;
    for (quelna::Attribute a : p.attributes())
        names.emplace_back(a.name());
    EXPECT_EQ(names.size(), 9u);
    EXPECT_EQ(names.front(), "User-Name");
    EXPECT_TRUE(p.remove("User-Name"));
    EXPECT_FALSE(p.remove("User-Name"));
}

TEST(CppOwnership, OwnersGoInAnyOrderAndMovedFromOnesRefuseUse)
{
    UdpResponder server("127.0.0.1", echoing);
    // A packet that leaves the scope of its context and connection keeps both alive.
    Packet kept = [&] {
        quelna::Context ctx = udp_context(server.port());
        quelna::Connection conn(ctx, "r");
        return Packet::access_request(conn, "bob", "pw");
    }();
    kept.add("NAS-Port", 1);
    EXPECT_EQ(kept.find("User-Name")->string(), "bob");

    Packet moved = std::move(kept);
    EXPECT_FALSE(kept);
    expect_error([&] { kept.code(); }, QNE_INVAL, "quelna::Packet used after it was moved from");
    moved = Packet();  // the last owner: packet, connection and context go

    quelna::Context ctx = udp_context(server.port());
    quelna::Connection conn(ctx, "r"), other(ctx, "r");
    Packet foreign = Packet::access_request(other, "bob", "pw");
    expect_error([&] { conn.send(foreign); }, QNE_INVAL, "belongs to another connection");
    quelna::Pair pair("Class");
    quelna::Pair taken = std::move(pair);
    expect_error([&] { foreign.add(std::move(pair)); }, QNE_INVAL, "quelna::Pair used after");
    other = std::move(conn);
    expect_error([&] { conn.outstanding(); }, QNE_INVAL, "quelna::Connection used after");
    quelna::Context gone = std::move(ctx);
    expect_error([&] { ctx.add_realm("x", quelna::Transport::udp); }, QNE_INVAL, "Context");
    EXPECT_EQ(other.send(Packet::access_request(other, "ann", "pw")).code(),
              QN_CODE_ACCESS_ACCEPT);
}

TEST(CppRequests, BlockingRequestsAnswerOrThrow)
{
    UdpResponder server("127.0.0.1", echoing), quiet("127.0.0.1", silent);
    quelna::Context ctx = udp_context(server.port());
    ctx.add_realm("quiet", quelna::Transport::udp)
        .server("127.0.0.1", std::to_string(quiet.port()), secret);
    quelna::Connection conn(ctx, "r");
    Packet request = Packet::access_request(conn, "bob", "pw");
    for (int i = 0; i < 2; i++) {  // the request stays the caller's
        const Packet reply = conn.send(request);
        EXPECT_EQ(reply.code_name(), "Access-Accept");
        EXPECT_EQ(reply.find("Reply-Message")->string(), "hello bob");
    }
    EXPECT_EQ(server.received().size(), 2u);
    EXPECT_EQ(conn.answering_server().address, "127.0.0.1:" + std::to_string(server.port()));

    quelna::Connection lost(ctx, "quiet");
    expect_error([&] { lost.send(Packet::access_request(lost, "bob", "pw"), {50ms, 2}); },
                 QNE_TIMEOUT, "timeout");
    EXPECT_EQ(quiet.received().size(), 2u);
}

// Completions that own what they capture (move-only), on the poll loop and on a libevent base.
TEST(CppRequests, AsyncCompletionsTakeAnyCallable)
{
    UdpResponder server("127.0.0.1", echoing);
    for (bool libevent : {false, true}) {
        const std::unique_ptr<event_base, void (*)(event_base *)> base(
            libevent ? event_base_new() : nullptr, event_base_free);
        quelna::Context ctx = udp_context(server.port());
        quelna::Connection conn(ctx, "r");
        if (base)
            conn.use_event_base(base.get());
        std::map<std::string, std::string> replies;
        for (int i = 0; i < 50; i++) {
            auto user = std::make_unique<std::string>("user" + std::to_string(i));
            Packet request = Packet::access_request(conn, *user, "pw");
            conn.send_async(std::move(request), [&, user = std::move(user)](quelna::Completion c) {
                c.check();
                EXPECT_EQ(c.request.find("User-Name")->string(), *user);
                replies[*user] += c.response.find("Reply-Message")->string();
            });
        }
        EXPECT_EQ(conn.outstanding(), 50u);
        if (base)
            event_base_dispatch(base.get());
        else
            conn.run();
        conn.rethrow_pending();
        ASSERT_EQ(replies.size(), 50u);
        for (const auto &[user, reply] : replies)
            EXPECT_EQ(reply, "hello " + user);
    }
}

// A completion's exception reaches run(); cancel and the connection's end complete the rest,
// and a request packet handed back outlives the connection's owner.
TEST(CppRequests, AsyncExceptionsCancellationAndTeardown)
{
    UdpResponder quiet("127.0.0.1", silent);
    quelna::Context ctx = udp_context(quiet.port());
    std::vector<int> codes;
    Packet kept;
    {
        quelna::Connection conn(ctx, "r");
        conn.set_async_schedule({20ms, 1});
        conn.send_async(Packet::access_request(conn, "a", "pw"), [&](quelna::Completion &&c) {
            codes.push_back(c.code.value());
            throw std::runtime_error("from a completion");
        });
        try {
            conn.run();
            ADD_FAILURE() << "the completion's exception was lost";
        } catch (const std::runtime_error &e) {
            EXPECT_STREQ(e.what(), "from a completion");
        }
        conn.set_async_schedule({});
        const quelna::AsyncRequest b = conn.send_async(
            Packet::access_request(conn, "b", "pw"),
            [&](const quelna::Completion &c) { codes.push_back(c.code.value()); });
        conn.send_async(Packet::access_request(conn, "c", "pw"), [&](quelna::Completion c) {
            codes.push_back(c.code.value());
            kept = std::move(c.request);
            expect_error([&] { conn.send_async(Packet::access_request(conn, "d", "pw"),
                                               [](quelna::Completion) {}); },
                         QNE_CANCELLED, "the connection is being closed");
        });
        b.cancel();
        EXPECT_EQ(conn.outstanding(), 1u);
    }
    EXPECT_EQ(codes, (std::vector<int>{QNE_TIMEOUT, QNE_CANCELLED, QNE_CANCELLED}));
    EXPECT_EQ(kept.find("User-Name")->string(), "c");
}

}  // namespace
