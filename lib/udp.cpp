// The datagram transport: one RADIUS packet per datagram on a connected UDP socket.
#include <cassert>
#include <cerrno>
#include <cstring>

#include <event2/event.h>
#include <event2/util.h>
#include <sys/socket.h>

#include <quelna/codec.h>

#include "net.h"

namespace {

constexpr ssize_t min_packet = 20;

// Writes the packet at the head of the output queue: 0 when written, -1 when the socket cannot
// take it yet (it stays queued), else the recorded code.
int _send(qn_connection *conn, int fd)
{
    qn_packet *h = conn->out_queue;
    assert(h && h->rpkt && h->rpkt->data);
    ssize_t r;
    if (conn->tls_ssl) {
        r = dtls_write(conn, h->rpkt->data, h->rpkt->length);
        if (r == -2)
            return qn_err_conn_peek_code(conn);  // recorded with the session's reasons
    } else {
        r = compat_send(fd, h->rpkt->data, h->rpkt->length, 0);
    }
    if (r < 0) {
        int e = errno;
        // A full socket buffer: the packet stays at the head for the next write readiness.
        if (e == EAGAIN || e == EWOULDBLOCK) {
            event_add(conn->wev, nullptr);
            return -1;
        }
        conn->refused = is_unreachable(e);
        char where[QN_ADDR_TEXT_SIZE];
        return QN_ERR_CONN_PUSH_FL(conn, QNE_SOCKERR, "%d: send to %s: %d (%s)", fd,
                                   addr_text(conn_address(conn), where), e, strerror(e));
    }
    // A datagram goes out whole or not at all.
    conn->out_queue = h->next;
    h->next = nullptr;
    if (conn->out_queue) {
        int e = event_add(conn->wev, nullptr);
        if (e != 0)
            return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "event_add: %s", evutil_gai_strerror(e));
    }
    return 0;
}

void on_readable(qn_connection *conn, int fd, qn_packet *pkt)
{
    lr_packet *rp = pkt->rpkt;
    assert(rp && rp->data);
    ssize_t r = conn->tls_ssl ? dtls_read(conn, rp->data, QN_MAX_PACKET_LEN)
                              : compat_recv(fd, rp->data, QN_MAX_PACKET_LEN, MSG_TRUNC);
    if (r == -2) {
        // The session failed or was closed (recorded): the next send starts a new one.
        if (conn->tev)
            event_del(conn->tev);
        qn_conn_disconnect(conn);
        return;
    }
    if (r < 0) {
        int e = errno;
        if (e == EAGAIN || e == EWOULDBLOCK) {
            // A record without data is no answer: the wait goes on.
            if (conn->tls_ssl) {
                event_add(conn->rev, nullptr);
                return;
            }
            qn_conn_disconnect(conn);
            return;
        }
        // An ICMP port-unreachable (a server restarting) or another error of the socket: the
        // socket stays usable; the receive ends and its caller decides.
        conn->refused = is_unreachable(e);
        char where[QN_ADDR_TEXT_SIZE];
        QN_ERR_CONN_PUSH_FL(conn, QNE_SOCKERR, "%d: recv from %s: %d (%s)", fd,
                            addr_text(conn_address(conn), where), e, strerror(e));
        if (conn->tev)
            event_del(conn->tev);
        return;
    }
    if (conn->tev)
        event_del(conn->tev);

    // A malformed datagram ends the receive with its code; the socket stays, so that a
    // request can go on waiting for the real answer (RFC 2865 section 3: silently discarded).
    conn->discarded = true;  // until the datagram passes the checks below
    if (r < min_packet || r > QN_MAX_PACKET_LEN) {
        qn_err_conn_push(conn, QNE_INVALID_PKT, "invalid packet length: %zd", r);
        return;
    }
    // Checked against the octets received, so that a Length field out of range is named as
    // such; octets after the Length are then ignored.
    if (int e = lr_packet_ok_raw(rp->data, static_cast<size_t>(r)); e != 0) {
        QN_ERR_CONN_PUSH_FL(conn, -e, "invalid packet: %s", lr_strerror());
        return;
    }
    rp->length = (static_cast<size_t>(rp->data[2]) << 8) | rp->data[3];
    conn->discarded = false;
    // The record's header fields describe the octets received, verified or not.
    rp->code = rp->data[0];
    rp->id = rp->data[1];
    if (conn->callbacks.received_cb)
        conn->callbacks.received_cb(pkt, conn->user_data);
}

}  // namespace

int udp_init(qn_connection *conn)
{
    assert(conn && !conn->bev);
    event_release(&conn->rev);
    event_release(&conn->wev);
    conn->rev = event_new(conn->evb, conn->fd, EV_READ | EV_PERSIST, _evcb, nullptr);
    conn->wev = event_new(conn->evb, conn->fd, EV_WRITE, _evcb, nullptr);
    if (!conn->rev || !conn->wev) {
        event_release(&conn->rev);
        event_release(&conn->wev);
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, nullptr);
    }
    return 0;
}

int udp_init_retransmit_timer(qn_connection *conn)
{
    return event_init_timer(conn, event_retransmit_timeout_cb);
}

void _evcb(int fd, short what, void *user_data)
{
    auto *pkt = static_cast<qn_packet *>(user_data);
    assert(pkt && pkt->conn);
    qn_connection *conn = pkt->conn;

    if (what & EV_READ) {
        on_readable(conn, fd, pkt);
        return;
    }
    if (what & EV_WRITE) {
        if (!conn->is_connected) {
            // A DTLS session is set up first; its handshake goes on from its own events.
            if (conn->tls_ssl) {
                dtls_continue(conn, pkt);
                return;
            }
            event_on_connect(conn, pkt);
        }
        if (!conn->out_queue)
            return;
        if (_send(conn, fd) == 0 && conn->callbacks.sent_cb)
            conn->callbacks.sent_cb(conn->user_data);
    }
}
