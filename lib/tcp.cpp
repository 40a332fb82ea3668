// The stream transport (RFC 6613 TCP, RFC 6614 TLS): RADIUS packets back to back on a byte
// stream, framed by their own length field, through a libevent bufferevent.
#include "tcp.h"

#include <pthread.h>
#include <signal.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/util.h>

#include <openssl/err.h>

#include <quelna/codec.h>

#include "tls_conn.h"

namespace {

// Code, identifier and the two-octet length (RFC 2865 section 3).
constexpr size_t header_octets = 4;
constexpr size_t min_packet = 20;

// A stream that has failed or ended is closed (socket and bufferevent freed), so that the next
// send connects again instead of writing into a dead socket. The connection's timer goes off
// the loop with it: a pending timer would keep the blocking loop running, or fire during the
// next exchange.
void close_stream(qn_connection *c)
{
    if (c->tev)
        event_del(c->tev);
    // Inside a bufferevent callback the bufferevent is torn down only when the callback returns,
    // after the socket is closed here: its events leave the loop now, while the socket is open.
    if (c->bev)
        bufferevent_disable(c->bev, EV_READ | EV_WRITE);
    qn_conn_disconnect(c);
}

// The errors the OpenSSL bufferevent has taken off OpenSSL's queue for this session. For a
// failed system call it queues the bare SSL_ERROR_SYSCALL code, which names no OpenSSL library
// and says less than the errno already recorded: such entries are skipped.
void push_session_errors(qn_connection *c)
{
    if (!c->tls_ssl || !c->bev)
        return;
    while (unsigned long e = bufferevent_get_openssl_error(c->bev)) {
        if (ERR_GET_LIB(e) != 0)
            quelna::net::push_ssl_error(c, e, __FILE__, __LINE__);
    }
}

// The connect timer. A connect or TLS handshake that timed out leaves a half-made stream behind;
// it is closed, so that a retransmission starts again on a new socket.
void connect_timeout_cb(evutil_socket_t fd, short what, void *arg)
{
    auto *conn = static_cast<qn_connection *>(arg);
    event_conn_timeout_cb(fd, what, arg);
    if ((what & EV_TIMEOUT) && conn->bev)
        qn_conn_disconnect(conn);
}

// A stream that ends with part of a packet buffered: says so, with how much of it came.
void note_packet_cut_short(qn_connection *c)
{
    struct evbuffer *input = bufferevent_get_input(c->bev);
    const size_t got = evbuffer_get_length(input);
    if (got == 0)
        return;
    uint8_t hdr[header_octets];
    if (evbuffer_copyout(input, hdr, sizeof hdr) == static_cast<ev_ssize_t>(sizeof hdr)) {
        const size_t len = static_cast<size_t>(hdr[2]) << 8 | hdr[3];
        QN_ERR_CONN_PUSH_FL(c, QNE_NO_PACKET_DATA,
                            "the server closed the stream in the middle of a packet "
                            "(%zu of %zu octets)", got, len);
    } else {
        QN_ERR_CONN_PUSH_FL(c, QNE_NO_PACKET_DATA,
                            "the server closed the stream in the middle of a packet header "
                            "(%zu of %zu octets)", got, header_octets);
    }
}

}  // namespace

void tcp_read_cb(struct bufferevent * /*bev*/, void *user_data)
{
    auto *pkt = static_cast<qn_packet *>(user_data);
    assert(pkt && pkt->conn && pkt->rpkt);
    qn_connection *c = pkt->conn;
    lr_packet *rp = pkt->rpkt;
    rp->sockfd = c->fd;
    rp->vps = nullptr;

    // The header is only looked at here; it leaves the buffer together with the rest of its
    // packet. A packet whose rest is still on its way is therefore read from its first octet
    // when the callback comes again, never from the middle.
    struct evbuffer *input = bufferevent_get_input(c->bev);
    ev_ssize_t n = evbuffer_copyout(input, pkt->hdr, header_octets);
    if (n != static_cast<ev_ssize_t>(header_octets)) {
        close_stream(c);
        QN_ERR_CONN_PUSH_FL(c, QNE_INTERNAL, "got %d octets reading header", static_cast<int>(n));
        return;
    }
    size_t len = static_cast<size_t>(pkt->hdr[2]) << 8 | pkt->hdr[3];
    rp->length = len;
    if (len < min_packet || len > QN_MAX_PACKET_LEN || len > rp->data_size) {
        close_stream(c);
        qn_err_conn_push(c, QNE_INVALID_PKT, "invalid packet length: %d", static_cast<int>(len));
        return;
    }
    if (evbuffer_get_length(input) < len) {
        // Called again once the whole packet is buffered.
        bufferevent_setwatermark(c->bev, EV_READ, len, 0);
        return;
    }
    if (evbuffer_remove(input, rp->data, len) != static_cast<int>(len)) {
        close_stream(c);
        QN_ERR_CONN_PUSH_FL(c, QNE_INTERNAL, "got fewer than %d octets of a buffered packet",
                            static_cast<int>(len));
        return;
    }

    bufferevent_disable(c->bev, EV_READ);
    if (c->tev)
        event_del(c->tev);  // the receive's I/O timer
    if (int e = lr_packet_ok(rp); e != 0) {
        close_stream(c);
        QN_ERR_CONN_PUSH_FL(c, -e, "invalid packet: %s", lr_strerror());
        return;
    }
    if (c->callbacks.received_cb)
        c->callbacks.received_cb(pkt, c->user_data);
}

void tcp_write_cb(struct bufferevent * /*bev*/, void *user_data)
{
    auto *pkt = static_cast<qn_packet *>(user_data);
    assert(pkt && pkt->conn);
    qn_connection *c = pkt->conn;
    if (c->callbacks.sent_cb)
        c->callbacks.sent_cb(c->user_data);
}

void tcp_event_cb(struct bufferevent * /*bev*/, short events, void *user_data)
{
    int e = EVUTIL_SOCKET_ERROR();  // before anything here can change it
    auto *pkt = static_cast<qn_packet *>(user_data);
    assert(pkt && pkt->conn);
    qn_connection *c = pkt->conn;
    const bool was_connecting = c->is_connecting;
    c->is_connecting = false;

    if (events & BEV_EVENT_CONNECTED) {
        if (c->tev)
            event_del(c->tev);
        if (event_on_connect(c, pkt) != 0) {
            // The server was refused; its session is of no further use.
            event_on_disconnect(c);
            close_stream(c);
            event_loopbreak(c);
        }
        return;
    }
    if (events & BEV_EVENT_EOF) {
        // The server closed the stream: between packets nothing is recorded; with the stream
        // closed and the timer off the loop, a blocking call waiting on it ends.
        note_packet_cut_short(c);
        event_on_disconnect(c);
        close_stream(c);
        return;
    }
    if (events & BEV_EVENT_TIMEOUT) {
        QN_ERR_CONN_PUSH_FL(c, QNE_TIMEOUT_IO, nullptr);
        return;
    }
    if (events & BEV_EVENT_ERROR) {
        if (was_connecting && is_unreachable(e)) {
            // The server's address could not be reached: the request may try another.
            c->refused = true;
            char where[QN_ADDR_TEXT_SIZE];
            QN_ERR_CONN_PUSH_FL(c, QNE_SOCKERR, "%d: connect to %s: %d (%s)", c->fd,
                                addr_text(conn_address(c), where), e, strerror(e));
        } else if (e != 0) {
            QN_ERR_CONN_PUSH_FL(c, QNE_SOCKERR, "%d: %d (%s)", c->fd, e, strerror(e));
        } else {
            event_on_disconnect(c);
            QN_ERR_CONN_PUSH_FL(c, QNE_DISCO, nullptr);
        }
        push_session_errors(c);
        if (was_connecting && c->tls_ssl && !c->refused)
            tls_note_handshake_failure(c);
        close_stream(c);
        event_loopbreak(c);
    }
}

int tcp_init_connect_timer(qn_connection *conn)
{
    return event_init_timer(conn, connect_timeout_cb);
}

void tcp_arm_receive(qn_connection *conn, qn_packet *pkt)
{
    assert(conn && conn->bev && pkt);
    bufferevent_setwatermark(conn->bev, EV_READ, header_octets, 0);
    bufferevent_setcb(conn->bev, tcp_read_cb, nullptr, tcp_event_cb, pkt);
    bufferevent_enable(conn->bev, EV_READ);

    // The wait is bounded by the connection's timeout, as on datagrams: the timer (the connect
    // timer's event, idle once connected) now runs the I/O time-out.
    if (conn->tev) {
        event_del(conn->tev);
        event_assign(conn->tev, conn->evb, -1, 0, event_retransmit_timeout_cb, conn);
        conn_activate_timeout(conn);
    }

    // Octets of the next packet may already be buffered (two responses in one segment): the
    // socket will not become readable for them again, so the read callback is run for them.
    bufferevent_trigger(conn->bev, EV_READ, BEV_TRIG_DEFER_CALLBACKS);
}

namespace quelna::net {

bool writes_raise_sigpipe(const qn_connection *conn)
{
    return conn->realm && conn->realm->type == QN_CONN_TYPE_TCP;
}

namespace {
// Guards alive in this thread: only the outermost one touches the signal mask.
thread_local int sigpipe_guards = 0;
}  // namespace

SigpipeGuard::SigpipeGuard(bool active)
{
    if (!active)
        return;
    counted_ = true;
    if (sigpipe_guards++ > 0)
        return;
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    // Not blocked before means not pending either: an unblocked SIGPIPE is delivered (or
    // discarded when ignored) at once, so whatever is pending when the guard ends is ours.
    if (pthread_sigmask(SIG_BLOCK, &pipe, &old) == 0 && !sigismember(&old, SIGPIPE))
        active_ = true;
}

SigpipeGuard::~SigpipeGuard()
{
    if (counted_)
        sigpipe_guards--;
    if (!active_)
        return;
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
    }
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
}

}  // namespace quelna::net
