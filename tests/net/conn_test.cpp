// Connections and peers without traffic: creation, peer lists, callbacks, tear-down.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <vector>

#include "net.h"
#include "net_util.h"

namespace {

using quelna::test::RealmConnection;

bool is_closed(int fd)
{
    return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

using quelna::test::pop_message;

struct Blank : quelna::test::BlankConnection {};

TEST_F(Blank, UnknownRealmGetsABlankRealmOfItsOwn)
{
    ASSERT_NE(conn->realm, nullptr);
    EXPECT_EQ(conn->realm->type, QN_CONN_TYPE_NONE);
    EXPECT_EQ(conn->realm->peers, nullptr);
    EXPECT_EQ(conn->timeout.tv_sec, 0);
    EXPECT_EQ(conn->fd, -1);
    qn_conn_set_type(conn, QN_CONN_TYPE_UDP);
    EXPECT_EQ(conn->realm->type, QN_CONN_TYPE_UDP);
}

TEST_F(Blank, PeersByHandKeepTheFirstAndGetTheRealm)
{
    qn_peer *p1 = nullptr, *p2 = nullptr, *p3 = nullptr;
    ASSERT_EQ(qn_peer_create(conn, &p1), 0);
    ASSERT_EQ(qn_peer_create(conn, &p2), 0);
    ASSERT_EQ(qn_peer_create(conn, &p3), 0);
    EXPECT_EQ(conn->peers, p1);
    EXPECT_EQ(p1->next, p3);
    EXPECT_EQ(p3->next, p2);
    for (qn_peer *p : {p1, p2, p3}) {
        EXPECT_EQ(p->conn, conn);
        EXPECT_EQ(p->realm, conn->realm);
    }
    EXPECT_EQ(conn->realm->timeout, 2);
    EXPECT_EQ(conn->realm->retries, 2);

    // Picking walks the list and wraps around.
    EXPECT_EQ(peer_pick_peer(conn), p1);
    EXPECT_EQ(peer_pick_peer(conn), p3);
    EXPECT_EQ(peer_pick_peer(conn), p2);
    EXPECT_EQ(peer_pick_peer(conn), p1);

    // The setters work on a peer made by hand (they need its realm); texts are owned copies,
    // released with the connection (the leak checker would notice otherwise).
    qn_peer_set_timeout(p2, 9);
    qn_peer_set_retries(p2, 4);
    EXPECT_EQ(conn->realm->timeout, 9);
    EXPECT_EQ(conn->realm->retries, 4);
    EXPECT_EQ(qn_peer_set_address(p1, "127.0.0.1", "1812"), 0);
    EXPECT_EQ(qn_peer_set_address(p1, "::1", "1813"), 0);
    EXPECT_STREQ(p1->hostname, "::1");
    EXPECT_STREQ(p1->service, "1813");
    EXPECT_EQ(qn_peer_set_secret(p1, "one"), 0);
    EXPECT_EQ(qn_peer_set_secret(p1, "two"), 0);
    EXPECT_STREQ(p1->secret, "two");
}

TEST(Peers, PickOnAnEmptyListGivesNone)
{
    qn_context *ctx = nullptr;
    qn_connection *conn = nullptr;
    ASSERT_EQ(qn_context_create(&ctx), 0);
    ASSERT_EQ(qn_conn_create(ctx, &conn, nullptr), 0);
    EXPECT_EQ(conn->realm, nullptr);
    EXPECT_EQ(peer_pick_peer(conn), nullptr);
    EXPECT_EQ(conn->active_peer, nullptr);
    EXPECT_EQ(qn_conn_destroy(conn), 0);
    qn_context_destroy(ctx);
}

TEST(Peers, ConfiguredRealmSharesItsPeers)
{
    RealmConnection rc("UDP", "127.0.0.1", 1812, "s", "timeout = 5");
    EXPECT_EQ(rc.conn->timeout.tv_sec, 5);
    EXPECT_EQ(rc.conn->timeout.tv_usec, 0);
    qn_realm *realm = qn_conf_find_realm(rc.ctx, "r");
    EXPECT_EQ(rc.conn->peers, realm->peers);
    EXPECT_EQ(realm->peers->conn, rc.conn);

    // A second connection for the realm takes the peers over.
    qn_connection *second = nullptr;
    ASSERT_EQ(qn_conn_create(rc.ctx, &second, "r"), 0);
    EXPECT_EQ(realm->peers->conn, second);

    // A peer added by hand joins the realm's list after its head; the configuration owns it.
    qn_peer *extra = nullptr;
    ASSERT_EQ(qn_peer_create(second, &extra), 0);
    EXPECT_EQ(realm->peers->next, extra);
    EXPECT_EQ(extra->realm, realm);
    EXPECT_EQ(realm->timeout, 5);  // a configured realm keeps its own values
    qn_conn_destroy(second);
    EXPECT_EQ(realm->peers->conn, nullptr);
}

TEST_F(Blank, NotImplementedOperations)
{
    EXPECT_EQ(qn_conn_add_listener(conn, 0, nullptr, nullptr), QNE_NOSYS);
    EXPECT_TRUE(pop_message(conn).starts_with("not yet implemented (conn.cpp:"));
    EXPECT_EQ(qn_conn_set_eventbase(conn, nullptr), QNE_NOSYS);
    EXPECT_TRUE(pop_message(conn).starts_with("not yet implemented (conn.cpp:"));
    EXPECT_EQ(qn_conn_select_peer(conn, "x"), QNE_NOSYS);
    EXPECT_TRUE(pop_message(conn).starts_with("not yet implemented (conn.cpp:"));
    EXPECT_EQ(qn_conn_get_current_peer(conn, "x", 1), QNE_NOSYS);
    EXPECT_TRUE(pop_message(conn).starts_with("not yet implemented (conn.cpp:"));
}

struct Calls {
    int connected = 0;
    int disconnected = 0;
};

TEST_F(Blank, CallbacksSwitchTheMode)
{
    EXPECT_FALSE(conn_user_dispatch_p(conn));
    qn_conn_callbacks *table = qn_conn_get_callbacks(conn);
    EXPECT_EQ(table, qn_conn_get_callbacks(conn));
    table->sent_cb = [](void *) {};
    EXPECT_TRUE(conn_user_dispatch_p(conn));
    qn_conn_del_callbacks(conn);
    EXPECT_FALSE(conn_user_dispatch_p(conn));

    qn_conn_callbacks cb{};
    cb.connected_cb = [](void *d) { static_cast<Calls *>(d)->connected++; };
    qn_conn_set_callbacks(conn, &cb);
    EXPECT_TRUE(conn_user_dispatch_p(conn));
    EXPECT_EQ(qn_conn_get_callbacks(conn)->connected_cb, cb.connected_cb);
}

TEST_F(Blank, DisconnectWithoutSocket)
{
    EXPECT_EQ(qn_conn_disconnect(conn), -1);
    EXPECT_EQ(conn->fd, -1);
}

TEST(Destroy, ConnectedConnectionDisconnectsOnceAndClosesItsSocket)
{
    qn_context *ctx = nullptr;
    qn_connection *conn = nullptr;
    ASSERT_EQ(qn_context_create(&ctx), 0);
    ASSERT_EQ(qn_conn_create(ctx, &conn, "x"), 0);
    Calls calls;
    qn_conn_callbacks cb{};
    cb.disconnected_cb = [](void *d) { static_cast<Calls *>(d)->disconnected++; };
    qn_conn_set_callbacks(conn, &cb);
    conn->user_data = &calls;
    conn->fd = socket(AF_INET, SOCK_DGRAM, 0);
    int fd = conn->fd;
    conn->is_connected = true;
    qn_err_conn_push(conn, QNE_DISCO, "left in the slot");  // released by destroy
    EXPECT_EQ(qn_conn_destroy(conn), 0);
    EXPECT_EQ(calls.disconnected, 1);
    EXPECT_TRUE(is_closed(fd));
    qn_context_destroy(ctx);
}

TEST(Destroy, ClosesASocketOpenedButNotConnected)
{
    qn_context *ctx = nullptr;
    qn_connection *conn = nullptr;
    ASSERT_EQ(qn_context_create(&ctx), 0);
    ASSERT_EQ(qn_conn_create(ctx, &conn, "x"), 0);
    conn->fd = socket(AF_INET, SOCK_DGRAM, 0);
    int fd = conn->fd;
    ASSERT_GE(fd, 0);
    qn_conn_destroy(conn);
    EXPECT_TRUE(is_closed(fd));
    qn_context_destroy(ctx);
}

}  // namespace
