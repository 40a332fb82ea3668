// RADIUS over DTLS 1.2 on the datagram path: the session over the connected UDP socket, its
// handshake run on the connection's event loop (retransmitted by the session's own timer and
// bounded by the connection's time-out), and one RADIUS packet per record.
#include <cassert>
#include <cerrno>
#include <cstring>

#include <event2/event.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/time.h>

#include "net.h"
#include "tls_conn.h"

namespace {

const char *realm_name(const qn_connection *conn)
{
    return conn->realm->name ? conn->realm->name : "";
}

// The datagram BIO of the session, told its server's address (the socket is connected to it).
BIO *dgram_bio(qn_connection *conn)
{
    const struct evutil_addrinfo *ai = conn_address(conn);
    BIO *bio = BIO_new_dgram(conn->fd, BIO_NOCLOSE);
    BIO_ADDR *peer = BIO_ADDR_new();
    bool ok = bio && peer;
    if (ok && ai->ai_family == AF_INET) {
        const auto *sin = reinterpret_cast<const struct sockaddr_in *>(ai->ai_addr);
        ok = BIO_ADDR_rawmake(peer, AF_INET, &sin->sin_addr, sizeof(sin->sin_addr),
                              sin->sin_port) == 1;
    } else if (ok) {
        const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(ai->ai_addr);
        ok = BIO_ADDR_rawmake(peer, AF_INET6, &sin6->sin6_addr, sizeof(sin6->sin6_addr),
                              sin6->sin6_port) == 1;
    }
    if (ok)
        ok = BIO_ctrl_set_connected(bio, peer) == 1;
    BIO_ADDR_free(peer);
    if (!ok) {
        BIO_free(bio);
        return nullptr;
    }
    return bio;
}

// Ends a handshake that cannot go on: the session and the socket are closed, so that the next
// attempt starts a new handshake.
void fail(qn_connection *conn)
{
    conn->is_connecting = false;
    qn_conn_disconnect(conn);
    event_loopbreak(conn);
}

// Waits for the socket to become ready for `what`, or for the session's retransmission timer,
// whichever comes first, never past the end of the handshake's time.
void arm(qn_connection *conn, qn_packet *pkt, short what)
{
    struct timeval now, left, timer;
    gettimeofday(&now, nullptr);
    timersub(&conn->handshake_end, &now, &left);
    if (left.tv_sec < 0)
        left = {0, 0};
    if (DTLSv1_get_timeout(conn->tls_ssl, &timer) == 1 && timercmp(&timer, &left, <))
        left = timer;
    event_del(conn->wev);
    event_assign(conn->wev, conn->evb, conn->fd, what, dtls_handshake_cb, pkt);
    if (int e = event_add(conn->wev, &left); e != 0) {
        QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "event_add: %s", evutil_gai_strerror(e));
        fail(conn);
    }
}

}  // namespace

int dtls_start(qn_connection *conn)
{
    assert(conn && conn->fd >= 0 && conn->active_peer);
    if (tls_init_conn(conn) != 0)
        return -1;
    BIO *bio = dgram_bio(conn);
    if (!bio) {
        tls_release_session(conn);
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, "datagram BIO");
    }
    SSL_set_bio(conn->tls_ssl, bio, bio);
    SSL_set_connect_state(conn->tls_ssl);
    gettimeofday(&conn->handshake_end, nullptr);
    timeradd(&conn->handshake_end, &conn->timeout, &conn->handshake_end);
    conn->is_connecting = true;
    return 0;
}

void dtls_continue(qn_connection *conn, qn_packet *pkt)
{
    assert(conn->tls_ssl && !conn->is_connected);
    ERR_clear_error();
    errno = 0;
    int r = SSL_connect(conn->tls_ssl);
    if (r == 1) {
        conn->is_connecting = false;
        if (event_on_connect(conn, pkt) != 0) {
            fail(conn);
            return;
        }
        // The request queued on connecting leaves when the socket can take it.
        event_del(conn->wev);
        event_assign(conn->wev, conn->evb, conn->fd, EV_WRITE, _evcb, pkt);
        event_add(conn->wev, nullptr);
        return;
    }
    int e = errno;
    switch (SSL_get_error(conn->tls_ssl, r)) {
    case SSL_ERROR_WANT_READ:
        arm(conn, pkt, EV_READ);
        return;
    case SSL_ERROR_WANT_WRITE:
        arm(conn, pkt, EV_WRITE);
        return;
    case SSL_ERROR_SYSCALL:
        if (is_unreachable(e)) {
            // An ICMP port-unreachable: no server listens at this address.
            conn->refused = true;
            char where[QN_ADDR_TEXT_SIZE];
            QN_ERR_CONN_PUSH_FL(conn, QNE_SOCKERR, "%d: connect to %s: %d (%s)", conn->fd,
                                addr_text(conn_address(conn), where), e, strerror(e));
            break;
        }
        [[fallthrough]];
    default:
        quelna::net::push_queued_errors(conn, __FILE__, __LINE__, "DTLS handshake failed");
        tls_note_handshake_failure(conn);
        break;
    }
    fail(conn);
}

void dtls_handshake_cb(int /*fd*/, short what, void *user_data)
{
    auto *pkt = static_cast<qn_packet *>(user_data);
    qn_connection *conn = pkt->conn;
    if (what & EV_TIMEOUT) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        if (!timercmp(&now, &conn->handshake_end, <)) {
            char where[QN_ADDR_TEXT_SIZE];
            QN_ERR_CONN_PUSH_FL(conn, QNE_TIMEOUT_CONN, "%s: DTLS handshake with %s timed out",
                                realm_name(conn), addr_text(conn_address(conn), where));
            fail(conn);
            return;
        }
        // The session's timer: its last flight is sent again.
        if (DTLSv1_handle_timeout(conn->tls_ssl) < 0) {
            quelna::net::push_queued_errors(conn, __FILE__, __LINE__, "DTLS retransmission failed");
            fail(conn);
            return;
        }
    }
    dtls_continue(conn, pkt);
}

namespace {

// What a failed SSL_read or SSL_write (result n, errno e) means for the datagram transport: -1
// with errno (EAGAIN: nothing to do until the socket is ready), or -2 with the reason recorded.
int failed_io(qn_connection *conn, int n, int e, const char *what)
{
    switch (SSL_get_error(conn->tls_ssl, n)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        // A record that carried no data (a retransmitted handshake message, say).
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        QN_ERR_CONN_PUSH_FL(conn, QNE_DISCO, "%s: the server closed the DTLS session",
                            realm_name(conn));
        return -2;
    case SSL_ERROR_SYSCALL:
        if (e != 0) {
            errno = e;
            return -1;
        }
        [[fallthrough]];
    default:
        quelna::net::push_queued_errors(conn, __FILE__, __LINE__, what);
        return -2;
    }
}

}  // namespace

int dtls_write(qn_connection *conn, const uint8_t *data, size_t len)
{
    ERR_clear_error();
    errno = 0;
    int n = SSL_write(conn->tls_ssl, data, static_cast<int>(len));
    return n > 0 ? 0 : failed_io(conn, n, errno, "DTLS write failed");
}

ssize_t dtls_read(qn_connection *conn, uint8_t *buf, size_t size)
{
    ERR_clear_error();
    errno = 0;
    int n = SSL_read(conn->tls_ssl, buf, static_cast<int>(size));
    if (n <= 0)
        return failed_io(conn, n, errno, "DTLS read failed");
    // A record longer than any packet: its rest is read and dropped, and the length given is
    // the record's, so that it is refused as too long.
    size_t total = static_cast<size_t>(n);
    uint8_t rest[512];
    while (SSL_pending(conn->tls_ssl) > 0) {
        int m = SSL_read(conn->tls_ssl, rest, sizeof(rest));
        if (m <= 0)
            break;
        total += static_cast<size_t>(m);
    }
    return static_cast<ssize_t>(total);
}

void dtls_close(qn_connection *conn)
{
    // The server may let go of the session at once instead of waiting for it to time out.
    if (conn->tls_ssl && SSL_is_init_finished(conn->tls_ssl))
        SSL_shutdown(conn->tls_ssl);
    tls_release_session(conn);
}
