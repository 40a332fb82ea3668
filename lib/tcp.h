// The stream transport's callbacks (TCP and TLS bufferevents).
#ifndef QUELNA_TCP_H
#define QUELNA_TCP_H

#include "net.h"

struct bufferevent;

void tcp_read_cb(struct bufferevent *bev, void *user_data);
void tcp_write_cb(struct bufferevent *bev, void *user_data);
void tcp_event_cb(struct bufferevent *bev, short events, void *user_data);

/**
 * Arms the bufferevent to read one framed packet into pkt (blocking receive): read low
 * watermark 4, tcp_read_cb and tcp_event_cb with pkt, reading enabled, the connection's timer
 * armed as I/O time-out with its timeout (none when zero), and a packet already buffered
 * handed over on the next loop turn.
 */
void tcp_arm_receive(qn_connection *conn, qn_packet *pkt);

namespace quelna::net {

/**
 * Keeps SIGPIPE from the calling thread while it lives: writing to a stream whose server has
 * gone raises it (libevent's socket bufferevent writes with plain writev), and an application
 * must not die of a closed connection; the failed write is reported as an error instead. A
 * SIGPIPE raised meanwhile is taken back; a mask that already blocked it is left as it was.
 * Inactive when `active` is false, and inside another guard of the same thread (so a whole
 * request can hold one guard around its sends and receives: three system calls per request).
 * TLS sessions need none: they write through a socket BIO that sends with MSG_NOSIGNAL.
 */
class SigpipeGuard {
public:
    explicit SigpipeGuard(bool active);
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;

private:
    bool counted_ = false;  // counted among the thread's live guards
    bool active_ = false;   // this guard blocked SIGPIPE and must restore the mask
};

/** Whether the connection's writes can raise SIGPIPE (plain TCP) and need a SigpipeGuard. */
bool writes_raise_sigpipe(const qn_connection *conn);

}  // namespace quelna::net

#endif
