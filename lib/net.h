// Connection, event, transport and packet internals shared by the library's modules.
#ifndef QUELNA_NET_H
#define QUELNA_NET_H

#include <sys/types.h>

#include <event2/util.h>  // evutil_addrinfo, the same type in every file

#include "quelna_int.h"

// conn.cpp
qn_peer *peer_pick_peer(qn_connection *conn);
bool conn_user_dispatch_p(const qn_connection *conn);
int conn_activate_timeout(qn_connection *conn);
bool conn_type_tls(const qn_connection *conn);
bool conn_cred_psk(const qn_connection *conn);

// event.cpp
int event_init_eventbase(qn_connection *conn);
int event_init_socket(qn_connection *conn, qn_peer *peer);
int event_init_bufferevent(qn_connection *conn, qn_peer *peer);
int event_do_connect(qn_connection *conn);
int event_loopbreak(qn_connection *conn);
void event_conn_timeout_cb(int fd, short what, void *data);
void event_retransmit_timeout_cb(int fd, short what, void *data);
int event_on_connect(qn_connection *conn, qn_packet *pkt);
void event_on_disconnect(qn_connection *conn);
void _evlog_cb(int severity, const char *msg);

// Whether a socket error says that no server can be reached at the address (a refused or
// unreachable connect, an ICMP port-unreachable on a datagram socket).
bool is_unreachable(int e);
// A resolved address as text: "192.0.2.1:1812" or "[2001:db8::1]:1812" ("" for none).
const char *addr_text(const struct evutil_addrinfo *ai, char (&buf)[QN_ADDR_TEXT_SIZE]);
// The active peer's resolved address in use (addr_index of its list), or null.
const struct evutil_addrinfo *conn_address(const qn_connection *conn);

// Frees the event at *ev, if any, and empties the place.
void event_release(struct event **ev);
// Makes the connection's timer event (replacing one made before) with the given callback.
int event_init_timer(qn_connection *conn, void (*cb)(int, short, void *));

// send.cpp: the blocking receive of one packet, verified against req_msg when given. Unlike
// qn_conn_receive_packet it leaves the transport up after a discarded (malformed or
// unverifiable) packet, so that a request can go on waiting.
int conn_receive(qn_connection *conn, qn_packet *req_msg, qn_packet **pkt_out);
// The code recorded for a blocking call that ended without its packet (every such path records
// its reason; should one not, QNE_NO_PACKET_DATA is recorded and returned).
int conn_failure_code(qn_connection *conn);

// udp.cpp
int udp_init(qn_connection *conn);
int udp_init_retransmit_timer(qn_connection *conn);
void _evcb(int fd, short what, void *user_data);

// dtls.cpp: RADIUS over DTLS on the datagram path.
// Makes the session over the connected socket and starts the handshake's clock (the
// connection's time-out); -1 with the reason recorded.
int dtls_start(qn_connection *conn);
// Takes the handshake as far as it goes; when it is done, the connection is connected and pkt
// queued and armed for writing. A failure closes the transport and breaks the loop.
void dtls_continue(qn_connection *conn, qn_packet *pkt);
void dtls_handshake_cb(int fd, short what, void *user_data);
// One packet as one record: 0, or -1 with errno (EAGAIN: try again on write readiness), or
// -2 with the session's error recorded.
int dtls_write(qn_connection *conn, const uint8_t *data, size_t len);
// One record into buf: its length (more than size when it was longer), -1 with errno (EAGAIN:
// nothing for the application yet), or -2 with the reason recorded (the session is over).
ssize_t dtls_read(qn_connection *conn, uint8_t *buf, size_t size);
// Closes the session (telling the server when it was up) and frees it.
void dtls_close(qn_connection *conn);

// compat.cpp: send and recv on a connected non-blocking socket, retried on EINTR.
ssize_t compat_send(int sockfd, const void *buf, size_t len, int flags);
ssize_t compat_recv(int sockfd, void *buf, size_t len, int flags);

// packet.cpp
// Writes, hides and signs the packet for secret (once: a packet already written is kept), taking
// an identifier of its connection's table first unless the caller gave it one. 0, or the code
// recorded on the connection.
int packet_encode(qn_packet *pkt, const char *secret, bool id_given = false);
int packet_do_send(qn_packet *pkt);
int packet_verify_response(qn_connection *conn, qn_packet *response, qn_packet *request);
// Takes pkt out of its connection's output queue when it is there.
void packet_unqueue(qn_packet *pkt);
// Makes the next send write, hide and sign the packet afresh, as for another server's secret
// or a changed identifier (a random Request Authenticator is kept).
void packet_renew(qn_packet *pkt);
// Gives the packet's identifier back to its connection's table, if it holds one.
void packet_release_id(qn_packet *pkt);

// request.cpp: the schedule and server order of a request, blocking or asynchronous.
namespace quelna::sched {
constexpr int max_attempts = 6;
constexpr time_t deadline_seconds = 30;
constexpr time_t hold_down_seconds = 30;
constexpr unsigned int attr_state = 24;

struct timeval now_tv();
// seconds plus (r mod 100) steps of step_ms milliseconds, with a fresh random r.
void add_jitter(struct timeval *tv, uint32_t seconds, uint32_t step_ms);
// The timeout after one that expired: doubled, plus 2.000-2.198 s, capped near 16 s.
void next_timeout(struct timeval *tv);
// The first server of the realm (configuration order) that is not held down after an earlier
// failure, or, when every server is, the first of all: then all are tried again in order.
qn_peer *first_server(const qn_connection *conn, const struct timeval &now, bool &all_down);
// The server after cur in configuration order, skipping held-down ones unless all are down.
qn_peer *next_server(const qn_connection *conn, const qn_peer *cur, const struct timeval &now,
                     bool all_down);
// Later requests skip the server for hold_down_seconds.
void hold_down(qn_peer *server);
// A server's share of a request's max attempts: the realm's retries plus one, or all of them
// for the last server to try (no server, a request that stays on its server, no next one).
int attempt_share(const qn_connection *conn, const qn_peer *server, bool sticky, bool all_down,
                  int max);
// The error a request ends with when only discarded answers came: the last one's code and
// message, with the count ("...; 2 responses discarded"). Null when out of memory.
qn_error *discarded_error(qn_error *last, int count);
}  // namespace quelna::sched

// async.cpp: the asynchronous engine of a connection.
// Completes every outstanding request as cancelled and releases the engine.
void async_destroy(qn_connection *conn);
// Requests started and not completed (0 without an engine).
size_t async_outstanding(const qn_connection *conn);

// Stream transport and TLS: set up per connection, torn down with it.
int tcp_init_connect_timer(qn_connection *conn);
int tls_init_conn(qn_connection *conn);
// Frees the connection's TLS session and its reference to the realm's context.
void tls_release_session(qn_connection *conn);
int tls_verify_cert(qn_connection *conn);
// After the handshake of a pre-shared-key realm: 0 when it used the key, else QNE_CRED recorded.
int tls_check_psk(qn_connection *conn);
// A failed handshake of a pre-shared-key realm: its recorded error is said to be the server's
// not using the key (the OpenSSL reason kept in the message). Other realms: nothing changes.
void tls_note_handshake_failure(qn_connection *conn);

#endif
