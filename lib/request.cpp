// A request exchange: send, wait for the verified response, retransmit on time-outs.
#include <sys/time.h>

#include <algorithm>
#include <cassert>
#include <cstdio>

#include <event2/util.h>

#include <quelna/codec.h>

#include "net.h"
#include "tcp.h"

namespace quelna::sched {

namespace {
constexpr time_t cap_seconds = 16;
}  // namespace

void add_jitter(struct timeval *tv, uint32_t seconds, uint32_t step_ms)
{
    lr_timeval_add(tv, seconds, (lr_rand() % 100) * step_ms * 1000);
}

void next_timeout(struct timeval *tv)
{
    struct timeval doubled = {tv->tv_sec * 2, 0};
    lr_timeval_add(&doubled, 0, static_cast<uint32_t>(tv->tv_usec * 2));
    add_jitter(&doubled, 2, 2);
    if (doubled.tv_sec > cap_seconds || (doubled.tv_sec == cap_seconds && doubled.tv_usec > 0)) {
        doubled = {0, 0};
        add_jitter(&doubled, static_cast<uint32_t>(cap_seconds), 16);
    }
    *tv = doubled;
}

struct timeval now_tv()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv;
}

qn_peer *first_server(const qn_connection *conn, const struct timeval &now, bool &all_down)
{
    qn_peer *best = nullptr, *best_up = nullptr;
    for (qn_peer *p = conn->peers; p; p = p->next) {
        if (!best || p->index < best->index)
            best = p;
        if (lr_timeval_cmp(&p->down_until, &now) <= 0 && (!best_up || p->index < best_up->index))
            best_up = p;
    }
    all_down = !best_up;
    return best_up ? best_up : best;
}

qn_peer *next_server(const qn_connection *conn, const qn_peer *cur, const struct timeval &now,
                     bool all_down)
{
    qn_peer *best = nullptr;
    for (qn_peer *p = conn->peers; p; p = p->next) {
        if (p->index <= cur->index || (!all_down && lr_timeval_cmp(&p->down_until, &now) > 0))
            continue;
        if (!best || p->index < best->index)
            best = p;
    }
    return best;
}

void hold_down(qn_peer *server)
{
    server->down_until = now_tv();
    server->down_until.tv_sec += hold_down_seconds;
}

int attempt_share(const qn_connection *conn, const qn_peer *server, bool sticky, bool all_down,
                  int max)
{
    const bool last = !server || sticky || !next_server(conn, server, now_tv(), all_down);
    return last ? max : std::max(1, conn->realm->retries + 1);
}

qn_error *discarded_error(qn_error *last, int count)
{
    return err_create(qn_err_code(last, 0), nullptr, 0, "%s; %d %s discarded", qn_err_msg(last),
                      count, count == 1 ? "response" : "responses");
}

}  // namespace quelna::sched

namespace {

using namespace quelna::sched;

bool is_timeout(int code)
{
    return code == QNE_TIMEOUT_CONN || code == QNE_TIMEOUT_IO;
}

// How a stream that ends under a request fails it: end of stream, a TLS session cut without
// its closing alert, a reset or broken pipe. A malformed answer is not among them.
bool is_stream_end(int code)
{
    return code == QNE_NO_PACKET_DATA || code == QNE_DISCO || code == QNE_SOCKERR ||
           code == QNE_SSLERR;
}

// Moves the connection to the next resolved address of its server; false when there is none.
bool next_address(qn_connection *conn)
{
    const struct evutil_addrinfo *ai = conn_address(conn);
    if (!ai || !ai->ai_next)
        return false;
    qn_conn_disconnect(conn);
    conn->addr_index++;
    return true;
}

// One run of qn_request_send: the attempts, the servers they go to, and the responses
// discarded on the way.
class Exchange {
public:
    // fixed: the wait of every attempt, and attempts their number, instead of the growing
    // schedule and its deadline.
    Exchange(qn_connection *conn, qn_packet *pkt, const struct timeval *fixed, int attempts)
        : conn_(conn), pkt_(pkt)
    {
        if (fixed) {
            fixed_ = *fixed;
            is_fixed_ = true;
            max_attempts_ = attempts;
        }
    }
    ~Exchange() { free_discard(); }
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;

    int run(qn_packet **resp)
    {
        const struct timeval now = now_tv();
        deadline_ = now;
        deadline_.tv_sec += deadline_seconds;

        // The next step of an Access-Challenge exchange stays on the server that holds it.
        sticky_ = conn_->answered_peer && lr_vps_find(pkt_->rpkt->vps, attr_state, 0);
        server_ = sticky_ ? conn_->answered_peer : first_server(conn_, now, all_down_);
        use_server();

        for (;;) {
            int r = attempt(resp);
            if (r == 0) {
                conn_->answered_peer = conn_->active_peer;
                addr_text(conn_address(conn_), conn_->answered_addr);
                conn_->active_peer->down_until = {0, 0};
                return 0;
            }
            switch (classify(r)) {
            case Next::fail:
                return r;
            case Next::again:
                continue;
            case Next::give_up:
                return give_up();
            case Next::wait:
                break;
            }
            // The attempt ended without a valid answer.
            drop_error();
            // A stream is never used twice for one request: TCP delivers or fails by itself,
            // and RFC 6613 asks clients not to retransmit on the same connection.
            if (conn_->bev)
                qn_conn_disconnect(conn_);
            if (r == QNE_TIMEOUT_CONN)
                next_address(conn_);
            if (++attempts_ == max_attempts_ || past_deadline())
                return give_up();
            if (++server_attempts_ >= share_ && switch_server())
                continue;
            if (!is_fixed_)
                next_timeout(&timeout_);
        }
    }

private:
    enum class Next { fail, again, wait, give_up };

    // One transmission and the wait for its answer.
    int attempt(qn_packet **resp)
    {
        qn_conn_set_timeout(conn_, &timeout_);
        attempt_end_ = now_tv();
        lr_timeval_add(&attempt_end_, static_cast<uint32_t>(timeout_.tv_sec),
                       static_cast<uint32_t>(timeout_.tv_usec));
        reused_ = conn_->bev && conn_->is_connected;
        conn_->refused = false;
        int r = qn_packet_send(pkt_, nullptr);
        // A datagram that could not leave for an ICMP error still waits out its attempt.
        if (r == 0 || (conn_->refused && !conn_->bev && conn_->fd >= 0 && !has_next_address()))
            r = await(resp);
        return r;
    }

    // Receives until a valid answer comes or the attempt's time is up; responses that fail a
    // check are discarded and counted (RFC 2865 section 3), and so is a port-unreachable.
    int await(qn_packet **resp)
    {
        for (;;) {
            conn_->refused = conn_->discarded = false;
            int r = conn_receive(conn_, pkt_, resp);
            if (r == 0)
                return 0;
            if (conn_->discarded) {
                discarded_++;
                free_discard();
                last_discard_ = qn_err_conn_pop(conn_);
            } else if (conn_->refused && !conn_->bev && !has_next_address()) {
                drop_error();
            } else {
                return r;
            }
            struct timeval now = now_tv();
            if (conn_->fd < 0 || lr_timeval_cmp(&now, &attempt_end_) >= 0) {
                conn_->refused = false;  // counted as an attempt without an answer
                return QN_ERR_CONN_PUSH_FL(conn_, QNE_TIMEOUT_IO, nullptr);
            }
            struct timeval left;
            timersub(&attempt_end_, &now, &left);
            qn_conn_set_timeout(conn_, &left);
        }
    }

    // What follows a failed attempt: another address or server at once, the usual wait for
    // the next attempt, or the end.
    Next classify(int r)
    {
        if (conn_->refused) {
            // Nothing reached a server: moving on costs no attempt, and the moves are finite.
            const bool elsewhere =
                !sticky_ && server_ && next_server(conn_, server_, now_tv(), all_down_);
            if (has_next_address() || elsewhere) {
                drop_error();
                if (!next_address(conn_))
                    switch_server();
                return Next::again;
            }
            // Not one address of the only server left could be reached: a stream or a socket
            // that could not connect ends the request; a datagram's attempt went unanswered.
            return conn_->bev || conn_->fd < 0 ? Next::fail : Next::wait;
        }
        // A stream that was up before this request and ended under it has most likely been
        // closed by the server while idle (servers drop idle streams after a while): the
        // request goes once more, at once, on a new stream. It counts as an attempt.
        if (reused_ && !renewed_ && !conn_->is_connected && is_stream_end(r)) {
            renewed_ = true;
            drop_error();
            return ++attempts_ == max_attempts_ ? Next::give_up : Next::again;
        }
        return is_timeout(r) ? Next::wait : Next::fail;
    }

    void drop_error()
    {
        if (qn_error *e = qn_err_conn_pop(conn_))
            qn_err_free(e);
    }

    void free_discard()
    {
        if (last_discard_)
            qn_err_free(last_discard_);
        last_discard_ = nullptr;
    }

    bool has_next_address() const
    {
        const struct evutil_addrinfo *ai = conn_address(conn_);
        return ai && ai->ai_next;
    }

    bool past_deadline() const
    {
        if (is_fixed_)
            return false;
        struct timeval now = now_tv();
        return lr_timeval_cmp(&now, &deadline_) > 0;
    }

    // Holds the failed server down and moves to the next one; false when there is none.
    bool switch_server()
    {
        if (sticky_ || !server_)
            return false;
        qn_peer *next = next_server(conn_, server_, now_tv(), all_down_);
        hold_down(server_);
        if (!next)
            return false;
        server_ = next;
        use_server();
        return true;
    }

    // Makes server_ the connection's server, with a fresh schedule and its own share of the
    // attempts: the realm's retries plus one, or all that are left for the last server.
    void use_server()
    {
        timeout_ = fixed_;
        if (!is_fixed_)
            add_jitter(&timeout_, 2, 2);
        server_attempts_ = 0;
        share_ = attempt_share(conn_, server_, sticky_, all_down_, max_attempts_);
        if (!server_ || conn_->active_peer == server_)
            return;
        if (conn_->fd >= 0 || conn_->is_connected)
            qn_conn_disconnect(conn_);
        conn_->active_peer = server_;
        conn_->addr_index = 0;
        // Written for another server's secret.
        if (pkt_->rpkt->flags & LR_PACKET_ENCODED)
            packet_renew(pkt_);
    }

    // No valid answer within the attempts and the deadline: the code of the last discarded
    // response, with the count, or a time-out.
    int give_up()
    {
        if (server_ && conn_->peers && conn_->peers->next)
            hold_down(server_);
        if (!last_discard_)
            return QN_ERR_CONN_PUSH_FL(conn_, QNE_TIMEOUT, nullptr);
        qn_error *err = discarded_error(last_discard_, discarded_);
        return err ? err_conn_push_err(conn_, err) : QNE_NOMEM;
    }

    qn_connection *conn_;
    qn_packet *pkt_;
    qn_peer *server_ = nullptr;
    bool all_down_ = false;
    bool sticky_ = false;  // the request stays on the server that answered the previous one
    struct timeval deadline_{};
    struct timeval attempt_end_{};
    struct timeval timeout_{};
    int attempts_ = 0;
    int server_attempts_ = 0;
    int share_ = max_attempts;
    int max_attempts_ = max_attempts;
    bool is_fixed_ = false;
    struct timeval fixed_{};
    bool reused_ = false;
    bool renewed_ = false;
    int discarded_ = 0;
    qn_error *last_discard_ = nullptr;
};

}  // namespace

extern "C" {

QN_EXPORT int qn_request_create(qn_connection *conn, qn_request **req_out)
{
    assert(conn && conn->ctx && req_out);
    auto *req = static_cast<qn_request *>(qn_malloc(conn->ctx, sizeof(qn_request)));
    if (!req)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, nullptr);
    req->conn = conn;
    req->req_msg = nullptr;
    req->fixed_timeout = {0, 0};
    req->fixed_attempts = 0;
    *req_out = req;
    return 0;
}

QN_EXPORT void qn_request_add_reqpkt(qn_request *req, qn_packet *req_msg)
{
    assert(req);
    req->req_msg = req_msg;
}

QN_EXPORT int qn_request_create_authn(qn_connection *conn, qn_request **req_out,
                                      const char *user_name, const char *user_pw)
{
    assert(req_out);
    qn_request *req = nullptr;
    if (qn_request_create(conn, &req) != 0)
        return -1;
    // A request that cannot get its packet is released rather than left half made.
    if (qn_packet_create_authn_request(conn, &req->req_msg, user_name, user_pw) != 0) {
        qn_request_destroy(req);
        return -1;
    }
    *req_out = req;
    return 0;
}

QN_EXPORT void qn_request_destroy(qn_request *req)
{
    if (!req)
        return;
    assert(req->conn && req->conn->ctx);
    qn_context *ctx = req->conn->ctx;
    if (req->req_msg)
        qn_packet_destroy(req->req_msg);
    qn_free(ctx, req);
}

QN_EXPORT qn_packet *qn_request_get_reqmsg(const qn_request *req)
{
    assert(req);
    return req->req_msg;
}

QN_EXPORT int qn_request_send(qn_request *req, qn_packet **resp_msg)
{
    if (!req || !req->conn || !req->req_msg || !resp_msg) {
        if (req && req->conn)
            return QN_ERR_CONN_PUSH_FL(req->conn, QNE_INVAL, nullptr);
        return QNE_INVAL;
    }
    qn_connection *conn = req->conn;
    assert(!conn_user_dispatch_p(conn));
    if (async_outstanding(conn) > 0)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_INUSE, "%zu asynchronous requests outstanding",
                                   async_outstanding(conn));
    // One guard for the whole exchange, so the sends and receives inside need none of their own.
    quelna::net::SigpipeGuard no_sigpipe(quelna::net::writes_raise_sigpipe(conn));

    Exchange x(conn, req->req_msg, req->fixed_attempts > 0 ? &req->fixed_timeout : nullptr,
               req->fixed_attempts);
    int result = x.run(resp_msg);
    // A set-up step that failed answers -1 with its code in the slot: the code is the result.
    if (result == -1)
        result = conn_failure_code(conn);
    packet_release_id(req->req_msg);

    struct timeval zero = {0, 0};
    qn_conn_set_timeout(conn, &zero);
    return result;
}

QN_EXPORT void qn_request_set_schedule(qn_request *req, const struct timeval *timeout,
                                       int attempts)
{
    assert(req);
    if (!timeout) {
        req->fixed_timeout = {0, 0};
        req->fixed_attempts = 0;
        return;
    }
    req->fixed_timeout = *timeout;
    req->fixed_attempts = std::max(1, attempts);
}

QN_EXPORT int qn_conn_get_answering_server(qn_connection *conn, const char **hostname,
                                           const char **service, char *address,
                                           size_t address_size)
{
    assert(conn);
    const qn_peer *p = conn->answered_peer;
    if (!p)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOPEER, "no request answered yet");
    if (hostname)
        *hostname = p->hostname;
    if (service)
        *service = p->service;
    if (address && address_size > 0)
        snprintf(address, address_size, "%s", conn->answered_addr);
    return 0;
}

}  // extern "C"
