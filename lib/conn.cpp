// Connections to the servers of one realm: creation, peers, callbacks, tear-down.
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <openssl/ssl.h>

#include "net.h"

qn_peer *peer_pick_peer(qn_connection *conn)
{
    assert(conn);
    if (conn->active_peer && conn->active_peer->next)
        conn->active_peer = conn->active_peer->next;
    else
        conn->active_peer = conn->peers;
    return conn->active_peer;
}

bool conn_user_dispatch_p(const qn_connection *conn)
{
    assert(conn);
    const qn_conn_callbacks &cb = conn->callbacks;
    return cb.connected_cb || cb.disconnected_cb || cb.received_cb || cb.sent_cb;
}

int conn_activate_timeout(qn_connection *conn)
{
    assert(conn && conn->tev && conn->evb);
    if (conn->timeout.tv_sec == 0 && conn->timeout.tv_usec == 0)
        return 0;
    if (event_add(conn->tev, &conn->timeout) != 0)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "evtimer_add: %d", errno);
    return 0;
}

bool conn_type_tls(const qn_connection *conn)
{
    return conn->realm &&
           (conn->realm->type == QN_CONN_TYPE_TLS || conn->realm->type == QN_CONN_TYPE_DTLS);
}

bool conn_cred_psk(const qn_connection *conn)
{
    return conn->realm && conn->realm->transport_cred &&
           conn->realm->transport_cred->type == QN_CRED_PSK;
}

extern "C" {

QN_EXPORT int qn_conn_create(qn_context *ctx, qn_connection **conn, const char *realm_name)
{
    auto *c = static_cast<qn_connection *>(calloc(1, sizeof(qn_connection)));
    if (!c)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    c->ctx = ctx;
    c->fd = -1;
    c->next_id = static_cast<int>(lr_rand() % LR_SERVER_IDS);  // identifiers' random start

    if (realm_name) {
        if (qn_realm *r = qn_conf_find_realm(ctx, realm_name)) {
            c->realm = r;
            c->peers = r->peers;
            for (qn_peer *p = c->peers; p; p = p->next)
                p->conn = c;
            c->timeout.tv_sec = r->timeout;
            c->timeout.tv_usec = 0;
        } else {
            c->realm = static_cast<qn_realm *>(qn_calloc(ctx, 1, sizeof(qn_realm)));
            if (!c->realm) {
                free(c);
                return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
            }
            c->owns_realm = true;
        }
    }
    *conn = c;
    return 0;
}

QN_EXPORT void qn_conn_set_type(qn_connection *conn, int type)
{
    assert(conn && conn->realm);
    conn->realm->type = type;
}

QN_EXPORT int qn_conn_add_listener(qn_connection *conn, int, void *, void *)
{
    return QN_ERR_CONN_PUSH_FL(conn, QNE_NOSYS, nullptr);
}

QN_EXPORT int qn_conn_disconnect(qn_connection *conn)
{
    assert(conn);
    if (conn->is_connected)
        event_on_disconnect(conn);
    if (conn->bev) {
        bufferevent_free(conn->bev);
        conn->bev = nullptr;
    }
    if (conn->realm && conn->realm->type == QN_CONN_TYPE_DTLS)
        dtls_close(conn);
    event_release(&conn->rev);
    event_release(&conn->wev);
    int rc = evutil_closesocket(conn->fd);
    conn->fd = -1;
    return rc;
}

QN_EXPORT int qn_conn_destroy(qn_connection *conn)
{
    if (!conn)
        return 0;
    async_destroy(conn);
    int rc = 0;
    // A socket still open is closed too, whether or not the transport counted as connected.
    if (conn->is_connected || conn->fd >= 0)
        rc = qn_conn_disconnect(conn);

    // The disconnect took the socket's events and bufferevent with it.
    tls_release_session(conn);
    event_release(&conn->tev);
    if (conn->evb)
        event_base_free(conn->evb);

    // Packets still queued no longer have a transport to go to.
    for (qn_packet *p = conn->out_queue; p;) {
        qn_packet *next = p->next;
        p->next = nullptr;
        p = next;
    }

    qn_context *ctx = conn->ctx;
    for (qn_peer *p = conn->peers; p;) {
        qn_peer *next = p->next;
        if (p->conn_owned)
            peer_free(ctx, p);  // added by hand to the connection's own list
        else if (p->conn == conn)
            p->conn = nullptr;  // stays with its realm
        p = next;
    }
    if (conn->owns_realm) {
        realm_release_tls(conn->realm);
        qn_free(ctx, conn->realm);
    }
    if (conn->err)
        qn_err_free(conn->err);
    free(conn);
    return rc;
}

QN_EXPORT int qn_conn_set_eventbase(qn_connection *conn, void *)
{
    return QN_ERR_CONN_PUSH_FL(conn, QNE_NOSYS, nullptr);
}

QN_EXPORT void qn_conn_set_callbacks(qn_connection *conn, qn_conn_callbacks *cb)
{
    assert(conn && cb);
    conn->callbacks = *cb;
}

QN_EXPORT void qn_conn_del_callbacks(qn_connection *conn)
{
    assert(conn);
    conn->callbacks = qn_conn_callbacks{};
}

QN_EXPORT qn_conn_callbacks *qn_conn_get_callbacks(qn_connection *conn)
{
    assert(conn);
    return &conn->callbacks;
}

QN_EXPORT int qn_conn_select_peer(qn_connection *conn, const char *)
{
    return QN_ERR_CONN_PUSH_FL(conn, QNE_NOSYS, nullptr);
}

QN_EXPORT int qn_conn_get_current_peer(qn_connection *conn, const char *, size_t)
{
    return QN_ERR_CONN_PUSH_FL(conn, QNE_NOSYS, nullptr);
}

QN_EXPORT int qn_conn_fd(qn_connection *conn)
{
    assert(conn && conn->active_peer);
    return conn->fd;
}

QN_EXPORT void qn_conn_set_timeout(qn_connection *conn, struct timeval *tv)
{
    assert(conn && tv);
    conn->timeout = *tv;
}

QN_EXPORT int qn_peer_create(qn_connection *conn, qn_peer **peer)
{
    assert(conn && conn->ctx);
    qn_peer *p = peer_create(conn->ctx, &conn->peers);
    if (!p)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, nullptr);
    p->conn = conn;
    // The head of the list tells whose list it is: a configured realm's (released with the
    // configuration) or the connection's own (released with the connection).
    p->conn_owned = p == conn->peers || conn->peers->conn_owned;
    // A peer belongs to the connection's realm; a blank realm gets the usual defaults.
    p->realm = conn->realm;
    if (conn->realm && conn->owns_realm) {
        conn->realm->timeout = 2;
        conn->realm->retries = 2;
    }
    if (peer)
        *peer = p;
    return 0;
}

QN_EXPORT int qn_peer_set_address(qn_peer *peer, const char *hostname, const char *service)
{
    assert(peer && peer->conn && peer->conn->ctx);
    qn_context *ctx = peer->conn->ctx;
    char *host = qn_strdup(ctx, hostname);
    char *serv = qn_strdup(ctx, service);
    if (host) {
        if (peer->own_hostname)
            qn_free(ctx, peer->own_hostname);
        peer->hostname = peer->own_hostname = host;
    }
    if (serv) {
        if (peer->own_service)
            qn_free(ctx, peer->own_service);
        peer->service = peer->own_service = serv;
    }
    // A new address is resolved again on the next connect.
    if (host && serv && peer->addr) {
        evutil_freeaddrinfo(peer->addr);
        peer->addr = nullptr;
    }
    return host && serv ? 0 : qn_err_conn_push(peer->conn, QNE_NOMEM, nullptr);
}

QN_EXPORT int qn_peer_set_secret(qn_peer *peer, const char *secret)
{
    assert(peer);
    if (peer->own_secret)
        OPENSSL_cleanse(peer->own_secret, strlen(peer->own_secret));
    free(peer->own_secret);
    peer->own_secret = strdup(secret);
    peer->secret = peer->own_secret;
    if (!peer->secret)
        return qn_err_conn_push(peer->conn, QNE_NOMEM, nullptr);
    return 0;
}

QN_EXPORT void qn_peer_set_timeout(qn_peer *peer, int timeout)
{
    assert(peer && peer->realm);
    peer->realm->timeout = timeout;
}

QN_EXPORT void qn_peer_set_retries(qn_peer *peer, int retries)
{
    assert(peer && peer->realm);
    peer->realm->retries = retries;
}

}  // extern "C"
