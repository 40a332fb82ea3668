// Sending a packet and receiving one, in blocking or user-dispatch mode.
#include <cassert>

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/util.h>

#include <quelna/codec.h>

#include "net.h"
#include "tcp.h"

namespace {

bool is_stream_type(const qn_connection *conn)
{
    return conn->realm->type == QN_CONN_TYPE_TCP || conn->realm->type == QN_CONN_TYPE_TLS;
}

// Brings the transport up as far as it goes without the event loop; -1 after a failed step.
int set_up_transport(qn_connection *conn)
{
    if (event_init_eventbase(conn) != 0)
        return -1;
    if (!conn->active_peer && !peer_pick_peer(conn)) {
        QN_ERR_CONN_PUSH_FL(conn, QNE_NOPEER, nullptr);
        return -1;
    }
    if (event_init_socket(conn, conn->active_peer) != 0)
        return -1;
    if (is_stream_type(conn)) {
        if (tcp_init_connect_timer(conn) != 0 ||
            event_init_bufferevent(conn, conn->active_peer) != 0)
            return -1;
    } else {
        if (udp_init(conn) != 0 || udp_init_retransmit_timer(conn) != 0)
            return -1;
    }
    // A connect that fails at once (a datagram socket's, or a stream's without a route) ends
    // the send, closed, with the connect's own error, so that a request can try the next
    // address; so does a DTLS session that cannot be made (nothing may go out without it).
    if (!conn->is_connected && !conn->is_connecting && event_do_connect(conn) != 0) {
        qn_conn_disconnect(conn);
        return -1;
    }
    return 0;
}

// Runs the loop; a failure of the loop itself is recorded and returned.
int dispatch(qn_connection *conn)
{
    quelna::net::SigpipeGuard no_sigpipe(quelna::net::writes_raise_sigpipe(conn));
    int r = event_base_dispatch(conn->evb);
    if (r < 0)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "event_base_dispatch: %s",
                                   evutil_gai_strerror(r));
    return 0;
}


void stop_io(qn_connection *conn, struct event *ev)
{
    if (conn->bev)
        bufferevent_disable(conn->bev, EV_READ | EV_WRITE);
    else if (ev)
        event_del(ev);
}

void _wcb(void *user_data)
{
    auto *pkt = static_cast<qn_packet *>(user_data);
    assert(pkt && pkt->conn);
    pkt->flags |= QN_PACKET_SENT;
    stop_io(pkt->conn, pkt->conn->wev);
}

void _rcb(qn_packet * /*unused*/, void *user_data)
{
    auto *pkt = static_cast<qn_packet *>(user_data);
    assert(pkt && pkt->conn);
    pkt->flags |= QN_PACKET_RECEIVED;
    stop_io(pkt->conn, pkt->conn->rev);
}

}  // namespace

// The code of a blocking call that ended without its packet. Every such path records its
// reason; should one not, the caller still never sees success.
int conn_failure_code(qn_connection *conn)
{
    int code = qn_err_conn_peek_code(conn);
    return code != 0 ? code : QN_ERR_CONN_PUSH_FL(conn, QNE_NO_PACKET_DATA, nullptr);
}

extern "C" {

QN_EXPORT int qn_packet_send(qn_packet *pkt, void *user_data)
{
    assert(pkt && pkt->conn && pkt->conn->realm);
    qn_connection *conn = pkt->conn;

    if (conn->active_peer && conn->is_connected) {
        packet_do_send(pkt);  // a failure is in the connection's slot
    } else if (set_up_transport(conn) != 0) {
        return -1;
    }
    assert(conn->evb && conn->active_peer && conn->fd >= 0);
    conn->user_data = user_data;

    if (conn->bev) {
        bufferevent_setcb(conn->bev, nullptr, tcp_write_cb, tcp_event_cb, pkt);
        bufferevent_enable(conn->bev, EV_WRITE);
    } else {
        event_del(conn->wev);
        event_assign(conn->wev, conn->evb, conn->fd, EV_WRITE, _evcb, pkt);
        if (int e = event_add(conn->wev, nullptr); e != 0)
            return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "event_add: %s", evutil_gai_strerror(e));
    }

    if (conn_user_dispatch_p(conn))
        return 0;

    conn->callbacks.sent_cb = _wcb;
    conn->user_data = pkt;
    int r = dispatch(conn);
    conn->callbacks.sent_cb = nullptr;
    conn->user_data = nullptr;
    if (r != 0)
        return r;
    if (pkt->flags & QN_PACKET_SENT)
        return 0;
    return conn_failure_code(conn);
}

}  // extern "C"

int conn_receive(qn_connection *conn, qn_packet *req_msg, qn_packet **pkt_out)
{
    assert(conn && conn->realm && !conn_user_dispatch_p(conn));
    qn_packet *pkt = nullptr;
    if (qn_packet_create(conn, &pkt) != 0)
        return -1;
    assert(conn->evb && conn->fd >= 0);

    conn->callbacks.received_cb = _rcb;
    conn->user_data = pkt;
    pkt->flags &= ~QN_PACKET_RECEIVED;

    if (conn->bev) {
        tcp_arm_receive(conn, pkt);
    } else {
        event_del(conn->rev);
        event_assign(conn->rev, conn->evb, conn->fd, EV_READ, _evcb, pkt);
        if (int e = event_add(conn->rev, nullptr); e != 0) {
            conn->callbacks.received_cb = nullptr;
            conn->user_data = nullptr;
            qn_packet_destroy(pkt);
            return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "event_add: %s", evutil_gai_strerror(e));
        }
        conn_activate_timeout(conn);
    }

    int r = dispatch(conn);
    conn->callbacks.received_cb = nullptr;
    conn->user_data = nullptr;
    if (r == 0 && !(pkt->flags & QN_PACKET_RECEIVED))
        r = conn_failure_code(conn);
    if (r == 0 && req_msg) {
        r = packet_verify_response(conn, pkt, req_msg);
        conn->discarded = r != 0;
    }
    if (r == 0 && pkt_out) {
        *pkt_out = pkt;
        return 0;
    }
    qn_packet_destroy(pkt);
    return r;
}

extern "C" {

QN_EXPORT int qn_conn_receive_packet(qn_connection *conn, qn_packet *req_msg,
                                     qn_packet **pkt_out)
{
    int r = conn_receive(conn, req_msg, pkt_out);
    // One packet, one verdict: a receive that failed other than by its time-out leaves the
    // transport closed (a stream has closed itself already where its framing was lost).
    if (r != 0 && r != QNE_TIMEOUT_IO && (conn->is_connected || !conn->bev))
        qn_conn_disconnect(conn);
    return r;
}

}  // extern "C"
