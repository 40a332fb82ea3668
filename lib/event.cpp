// A connection's event-loop machinery: event base, socket, bufferevents, connecting, timers.
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/util.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include "net.h"
#include "tls_conn.h"

namespace {

const char *severity_word(int severity)
{
    switch (severity) {
    case EVENT_LOG_MSG:
        return "msg";
    case EVENT_LOG_WARN:
        return "warn";
    case EVENT_LOG_ERR:
        return "err";
    default:
        return "???";
    }
}

}  // namespace

void _evlog_cb(int severity, const char *msg)
{
    if (severity == EVENT_LOG_DEBUG)
        return;
    fprintf(stderr, "libevent: [%s] %s\n", severity_word(severity), msg);
}

int event_init_eventbase(qn_connection *conn)
{
    assert(conn);
    if (conn->evb)
        return 0;
    event_set_log_callback(_evlog_cb);
    // With epoll's change list, the add and delete of a send's and a receive's events on the
    // one socket are merged into fewer system calls per exchange.
    struct event_config *cfg = event_config_new();
    if (cfg) {
        event_config_set_flag(cfg, EVENT_BASE_FLAG_EPOLL_USE_CHANGELIST);
        conn->evb = event_base_new_with_config(cfg);
        event_config_free(cfg);
    }
    if (!conn->evb)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "event_base_new");
    return 0;
}

int event_init_socket(qn_connection *conn, qn_peer *peer)
{
    assert(conn && peer && peer->realm);
    if (conn->fd != -1)
        return 0;

    if (!peer->addr) {
        qn_error *err = qn_resolve(&peer->addr, static_cast<qn_conn_type>(peer->realm->type),
                                   peer->hostname, peer->service);
        if (err)
            return err_conn_push_err(conn, err);
    }

    // The address in use stays across reconnects; a request moves it on when it fails.
    const struct evutil_addrinfo *ai = conn_address(conn);
    if (!ai) {
        conn->addr_index = 0;
        ai = peer->addr;
    }
    conn->fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (conn->fd < 0) {
        int e = errno;
        conn->fd = -1;
        return QN_ERR_CONN_PUSH_FL(conn, QNE_SOCKERR, "socket: %d (%s)", e, strerror(e));
    }
    if (evutil_make_socket_nonblocking(conn->fd) != 0) {
        int e = errno;
        evutil_closesocket(conn->fd);
        conn->fd = -1;
        return QN_ERR_CONN_PUSH_FL(conn, QNE_SOCKERR, "evutil_make_socket_nonblocking: %d (%s)",
                                   e, strerror(e));
    }
    // Requests are small and wait for nothing: a second request queued behind an unanswered
    // one leaves at once instead of waiting for the server's acknowledgement. Best effort.
    if (ai->ai_socktype == SOCK_STREAM) {
        int one = 1;
        setsockopt(conn->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    return 0;
}

int event_init_bufferevent(qn_connection *conn, qn_peer * /*peer*/)
{
    assert(conn && conn->realm);
    if (conn->bev)
        return 0;

    switch (conn->realm->type) {
    case QN_CONN_TYPE_TCP:
        conn->bev = bufferevent_socket_new(conn->evb, conn->fd, 0);
        if (!conn->bev)
            return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "bufferevent_socket_new");
        return 0;
    case QN_CONN_TYPE_TLS:
        if (tls_init_conn(conn) != 0)
            return -1;
        conn->bev = bufferevent_openssl_socket_new(conn->evb, conn->fd, conn->tls_ssl,
                                                   BUFFEREVENT_SSL_CONNECTING, 0);
        if (!conn->bev)
            return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "bufferevent_openssl_socket_new");
        return 0;
    default:
        return QN_ERR_CONN_PUSH_FL(conn, QNE_INTERNAL, "%s: unknown connection type: %d",
                                   "event_init_bufferevent", conn->realm->type);
    }
}

namespace {

// Records a connect to ai that failed with e; an unreachable address lets a request move on.
int connect_failed(qn_connection *conn, const struct evutil_addrinfo *ai, int e)
{
    conn->refused = is_unreachable(e);
    char where[QN_ADDR_TEXT_SIZE];
    return QN_ERR_CONN_PUSH_FL(conn, QNE_SOCKERR, "%d: connect to %s: %d (%s)", conn->fd,
                               addr_text(ai, where), e, strerror(e));
}

}  // namespace

int event_do_connect(qn_connection *conn)
{
    assert(conn && conn->active_peer && conn_address(conn));
    // The connection given is the one connected; the peer's own back-pointer may name a newer
    // connection of the same realm.
    const struct evutil_addrinfo *ai = conn_address(conn);

    if (conn->bev) {
        conn_activate_timeout(conn);
        // A connect that fails at once leaves its reason in errno.
        errno = 0;
        if (bufferevent_socket_connect(conn->bev, ai->ai_addr,
                                       static_cast<int>(ai->ai_addrlen)) < 0)
            return connect_failed(conn, ai, errno);
        conn->is_connecting = true;
        // Connecting gave the session a new OpenSSL socket BIO, whose writes raise SIGPIPE on a
        // stream the server has closed; it is replaced, before the handshake, by ours.
        if (conn->tls_ssl) {
            BIO *bio = quelna::net::socket_bio(conn->fd);
            if (!bio)
                return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, "socket BIO");
            SSL_set_bio(conn->tls_ssl, bio, bio);
        }
        return 0;
    }

    if (connect(conn->fd, ai->ai_addr, ai->ai_addrlen) != 0)
        return connect_failed(conn, ai, errno);
    // A DTLS realm's datagrams go only inside the session, whose handshake starts now.
    if (conn->realm->type == QN_CONN_TYPE_DTLS)
        return dtls_start(conn);
    return 0;
}

const struct evutil_addrinfo *conn_address(const qn_connection *conn)
{
    if (!conn->active_peer)
        return nullptr;
    const struct evutil_addrinfo *ai = conn->active_peer->addr;
    for (int i = 0; ai && i < conn->addr_index; i++)
        ai = ai->ai_next;
    return ai;
}

bool is_unreachable(int e)
{
    return e == ECONNREFUSED || e == EHOSTUNREACH || e == ENETUNREACH || e == EADDRNOTAVAIL ||
           e == ETIMEDOUT || e == EAFNOSUPPORT;
}

const char *addr_text(const struct evutil_addrinfo *ai, char (&buf)[QN_ADDR_TEXT_SIZE])
{
    buf[0] = '\0';
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (ai && ai->ai_addr &&
        getnameinfo(ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen), host, sizeof(host), port,
                    sizeof(port), NI_NUMERICHOST | NI_NUMERICSERV) == 0)
        snprintf(buf, QN_ADDR_TEXT_SIZE, ai->ai_family == AF_INET6 ? "[%s]:%s" : "%s:%s", host,
                 port);
    return buf;
}

int event_loopbreak(qn_connection *conn)
{
    int r = event_base_loopbreak(conn->evb);
    if (r < 0)
        qn_err_conn_push(conn, QNE_EVENT, "event_base_loopbreak");
    return r;
}

void event_conn_timeout_cb(int /*fd*/, short what, void *data)
{
    auto *conn = static_cast<qn_connection *>(data);
    assert(conn);
    if (!(what & EV_TIMEOUT))
        return;
    conn->is_connecting = false;
    QN_ERR_CONN_PUSH_FL(conn, QNE_TIMEOUT_CONN, nullptr);
    event_loopbreak(conn);
}

void event_retransmit_timeout_cb(int /*fd*/, short what, void *data)
{
    auto *conn = static_cast<qn_connection *>(data);
    assert(conn);
    if (!(what & EV_TIMEOUT))
        return;
    QN_ERR_CONN_PUSH_FL(conn, QNE_TIMEOUT_IO, nullptr);
    if (conn->bev) {
        bufferevent_disable(conn->bev, EV_READ | EV_WRITE);
    } else {
        if (conn->wev)
            event_del(conn->wev);
        if (conn->rev)
            event_del(conn->rev);
    }
    event_loopbreak(conn);
}

int event_on_connect(qn_connection *conn, qn_packet *pkt)
{
    assert(conn && !conn->is_connecting);
    // A DTLS realm never sends a datagram outside its session.
    if (conn->realm->type == QN_CONN_TYPE_DTLS &&
        !(conn->tls_ssl && SSL_is_init_finished(conn->tls_ssl))) {
        QN_ERR_CONN_PUSH_FL(conn, QNE_INTERNAL, "%s: no DTLS session; nothing was sent",
                            conn->realm->name ? conn->realm->name : "");
        return -1;
    }
    // A realm with a pre-shared key believes the key alone (its CA file is not consulted).
    if (conn_type_tls(conn) &&
        (conn_cred_psk(conn) ? tls_check_psk(conn) : tls_verify_cert(conn)) != 0)
        return -1;
    conn->is_connected = true;
    if (conn->callbacks.connected_cb)
        conn->callbacks.connected_cb(conn->user_data);
    if (pkt)
        packet_do_send(pkt);
    return 0;
}

void event_release(struct event **ev)
{
    if (*ev) {
        event_free(*ev);
        *ev = nullptr;
    }
}

int event_init_timer(qn_connection *conn, void (*cb)(int, short, void *))
{
    assert(conn);
    event_release(&conn->tev);
    conn->tev = evtimer_new(conn->evb, cb, conn);
    if (!conn->tev)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "evtimer_new");
    return 0;
}

void event_on_disconnect(qn_connection *conn)
{
    conn->is_connecting = false;
    conn->is_connected = false;
    if (conn->callbacks.disconnected_cb)
        conn->callbacks.disconnected_cb(conn->user_data);
}
