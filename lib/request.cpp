// A request exchange: send, wait for the verified response, retransmit on time-outs.
#include <sys/time.h>

#include <cassert>

#include <quelna/codec.h>

#include "net.h"
#include "tcp.h"

namespace {

constexpr int max_attempts = 6;
constexpr time_t deadline_seconds = 30;
constexpr time_t cap_seconds = 16;

// seconds plus (r mod 100) steps of step_ms milliseconds, with a fresh random r.
void add_jitter(struct timeval *tv, uint32_t seconds, uint32_t step_ms)
{
    lr_timeval_add(tv, seconds, (lr_rand() % 100) * step_ms * 1000);
}

// The timeout after one that expired: doubled, plus 2.000-2.198 s, capped near 16 s.
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
    // One guard for the whole exchange, so the sends and receives inside need none of their own.
    quelna::net::SigpipeGuard no_sigpipe(quelna::net::writes_raise_sigpipe(conn));

    struct timeval deadline;
    gettimeofday(&deadline, nullptr);
    deadline.tv_sec += deadline_seconds;

    struct timeval timeout = {0, 0};
    add_jitter(&timeout, 2, 2);

    int result = 0;
    bool renewed = false;
    for (int attempts = 0;;) {
        qn_conn_set_timeout(conn, &timeout);
        const bool reused = conn->bev && conn->is_connected;
        result = qn_packet_send(req->req_msg, nullptr);
        if (result == 0)
            result = qn_conn_receive_packet(conn, req->req_msg, resp_msg);
        if (result == 0)
            break;
        // A stream that was up before this request and ended under it has most likely been
        // closed by the server while idle (servers drop idle streams after a while): the
        // request goes once more, at once, on a new stream. It counts as an attempt.
        if (reused && !renewed && !conn->is_connected && is_stream_end(result)) {
            renewed = true;
            qn_err_free(qn_err_conn_pop(conn));
            ++attempts;
            continue;
        }
        if (!is_timeout(result))
            break;

        qn_err_free(qn_err_conn_pop(conn));
        struct timeval now;
        gettimeofday(&now, nullptr);
        if (++attempts == max_attempts || lr_timeval_cmp(&now, &deadline) > 0) {
            result = QN_ERR_CONN_PUSH_FL(conn, QNE_TIMEOUT, nullptr);
            break;
        }
        next_timeout(&timeout);
    }

    struct timeval zero = {0, 0};
    qn_conn_set_timeout(conn, &zero);
    return result;
}

}  // extern "C"
