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
 * gone raises it (libevent and OpenSSL write with plain write/writev), and an application must
 * not die of a closed connection; the failed write is reported as an error instead. A SIGPIPE
 * raised meanwhile is taken back; one pending before, or a mask that already blocked it, is left
 * as it was. Inactive when `active` is false.
 */
class SigpipeGuard {
public:
    explicit SigpipeGuard(bool active);
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;

private:
    bool active_ = false;        // this guard blocked SIGPIPE and must restore the mask
    bool was_pending_ = false;   // a SIGPIPE was pending before: it is not ours to take
};

}  // namespace quelna::net

#endif
