// The context's life, string copies, peers, address resolution.
#include <gtest/gtest.h>

#include <event2/util.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "frame_util.h"
#include "quelna_int.h"

namespace {

using quelna::test::ContextFixture;

struct Context : ContextFixture {};

TEST_F(Context, CreateSetsUpDebugAndNothingElse)
{
    EXPECT_EQ(ctx->config, nullptr);
    EXPECT_EQ(ctx->err, nullptr);
    EXPECT_STREQ(debug_ident(), "libquelna");
    EXPECT_EQ(qn_conf_find_realm(ctx, "any"), nullptr);

    // Several contexts live side by side.
    qn_context *other = nullptr;
    ASSERT_EQ(qn_context_create(&other), 0);
    EXPECT_NE(other, ctx);
    qn_context_destroy(other);
}

TEST_F(Context, AllocSchemeCannotBeSet)
{
    qn_alloc_scheme scheme{};
    scheme.malloc = [](size_t) -> void * { return nullptr; };
    EXPECT_EQ(qn_context_set_alloc_scheme(ctx, &scheme), QNE_NOSYS);
    EXPECT_EQ(ctx->alloc_scheme.malloc, nullptr);
    std::string msg = pop_message();
    EXPECT_TRUE(msg.starts_with("not yet implemented (quelna.cpp:")) << msg;
}

TEST_F(Context, DestroyReleasesAnErrorLeftInTheSlot)
{
    // Left in the slot on purpose: the leak checker fails this test if destroy forgets it.
    EXPECT_EQ(qn_err_ctx_push(ctx, QNE_INTERNAL, "left behind"), QNE_INTERNAL);
}

TEST_F(Context, StrdupCopiesOrRecords)
{
    char *copy = qn_strdup(ctx, "secret text");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "secret text");
    qn_free(ctx, copy);

    ctx->alloc_scheme.malloc = [](size_t) -> void * { return nullptr; };
    EXPECT_EQ(qn_strdup(ctx, "x"), nullptr);
    ctx->alloc_scheme.malloc = nullptr;
    EXPECT_EQ(pop_message(), "qn_strdup");
}

TEST_F(Context, PeerListKeepsTheFirstAtTheHead)
{
    qn_peer *head = nullptr;
    qn_peer *a = peer_create(ctx, &head);
    qn_peer *b = peer_create(ctx, &head);
    qn_peer *c = peer_create(ctx, &head);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(head, a);
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(c->next, b);
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(b->hostname, nullptr);
    for (qn_peer *p : {a, b, c})
        qn_free(ctx, p);

    ctx->alloc_scheme.malloc = [](size_t) -> void * { return nullptr; };
    head = nullptr;
    EXPECT_EQ(peer_create(ctx, &head), nullptr);
    EXPECT_EQ(head, nullptr);
    ctx->alloc_scheme.malloc = nullptr;
    EXPECT_EQ(ctx->err, nullptr);  // nothing recorded
}

TEST(Resolve, TypesAndFailures)
{
    struct evutil_addrinfo *addr = nullptr;
    qn_error *e = qn_resolve(&addr, QN_CONN_TYPE_UDP, "127.0.0.1", "1812");
    ASSERT_EQ(e, nullptr) << qn_err_msg(e);
    ASSERT_NE(addr, nullptr);
    EXPECT_EQ(addr->ai_socktype, SOCK_DGRAM);
    EXPECT_EQ(addr->ai_family, AF_INET);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(addr->ai_addr)->sin_port), 1812);
    evutil_freeaddrinfo(addr);

    addr = nullptr;
    ASSERT_EQ(qn_resolve(&addr, QN_CONN_TYPE_TLS, "127.0.0.1", "2083"), nullptr);
    EXPECT_EQ(addr->ai_socktype, SOCK_STREAM);
    EXPECT_EQ(addr->ai_protocol, IPPROTO_TCP);
    evutil_freeaddrinfo(addr);

    for (int type : {int{QN_CONN_TYPE_NONE}, 5, -1}) {
        addr = nullptr;
        e = qn_resolve(&addr, static_cast<qn_conn_type>(type), "127.0.0.1", "1812");
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(addr, nullptr);
        EXPECT_TRUE(std::string(qn_err_msg(e)).starts_with("invalid connection (quelna.cpp:"))
            << qn_err_msg(e);
        EXPECT_EQ(qn_err_code(e, 1), QNE_INVALID_CONN);
    }

    e = qn_resolve(&addr, QN_CONN_TYPE_TCP, "127.0.0.1", "no-such-service-name");
    ASSERT_NE(e, nullptr);
    std::string msg = qn_err_msg(e);
    EXPECT_TRUE(msg.starts_with("127.0.0.1:no-such-service-name: bad host name or service name ("))
        << msg;
    EXPECT_NE(msg.find(") (quelna.cpp:"), std::string::npos) << msg;
    EXPECT_EQ(qn_err_code(e, 1), QNE_BADADDR);
}

}  // namespace
