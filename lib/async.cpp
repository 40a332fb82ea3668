// The asynchronous engine: many requests in flight on one connection, driven by the
// application's loop (a libevent base it hands over, or its own loop through the socket
// callback, qn_async_fds, qn_async_timeout and qn_async_process).
//
// Sockets are plain non-blocking sockets (TLS through OpenSSL on them), one per server address
// in use; each has a private connection record ("sub") that holds its descriptor, TLS session,
// server and error slot, so that the transport's checks (certificate, key, response
// verification) serve both engines. Requests are records of a pool, kept on intrusive lists of
// their socket and on one timer heap; nothing is allocated per request after warm-up except the
// response packet handed to the application.
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <event2/event.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <quelna/codec.h>

#include "net.h"
#include "tls_conn.h"

namespace {

using namespace quelna::sched;

constexpr size_t default_queue_limit = 4096;
// Requests at a time on one UDP socket, and sockets per server address. Identifiers are taken in
// turn from the socket's 256, so below 256 one rests before it is used again: a server that
// still holds the request an identifier was last used for drops a new one that reuses it.
constexpr size_t udp_per_socket = 128;
constexpr int udp_sockets = 16;
constexpr size_t stream_in_size = 2 * QN_MAX_PACKET_LEN;
// Datagrams read per readiness event before timers get their turn, and per system call; the
// datagrams written per system call.
constexpr int max_reads = 256;
constexpr int read_batch = 32;
constexpr int write_batch = 64;

struct Sock;
struct List;

enum class State : uint8_t { waiting_id, unsent, sent, deferred, completing };

struct Timer {
    struct timeval due{};
    size_t idx = SIZE_MAX;  // place in the heap, SIZE_MAX when not armed
};

}  // namespace

struct qn_async_request {
    AsyncEngine *eng;
    qn_packet *pkt;
    qn_async_cb cb;
    void *arg;
    // The list it is on (its socket's unsent or sent requests, or the engine's queue).
    List *list;
    qn_async_request *prev, *next;
    Timer timer;
    Sock *sock;
    Sock *id_sock;  // the socket whose identifier table holds the request's identifier
    State state;
    // The schedule, as for a blocking request.
    qn_peer *server;
    qn_peer *encoded_for;  // the server whose secret the packet's octets were written with
    int encoded_id;        // and the identifier they carry
    int addr_index;
    bool all_down, sticky, renewed, fixed;
    struct timeval deadline, timeout;
    int attempts, server_attempts, share, max_attempts;
    int discarded;
    qn_error *last_discard;
    qn_error *failure;  // a failure found inside qn_async_send, reported from the loop
    qn_async_request *free_next;
};

namespace {

struct List {
    qn_async_request *head = nullptr, *tail = nullptr;
    size_t size = 0;

    void push(qn_async_request *r)
    {
        assert(!r->list);
        r->list = this;
        r->prev = tail;
        r->next = nullptr;
        (tail ? tail->next : head) = r;
        tail = r;
        size++;
    }
    void push_front(qn_async_request *r)
    {
        assert(!r->list);
        r->list = this;
        r->prev = nullptr;
        r->next = head;
        (head ? head->prev : tail) = r;
        head = r;
        size++;
    }
    qn_async_request *pop()
    {
        qn_async_request *r = head;
        if (r)
            remove(r);
        return r;
    }
    void remove(qn_async_request *r)
    {
        assert(r->list == this);
        (r->prev ? r->prev->next : head) = r->next;
        (r->next ? r->next->prev : tail) = r->prev;
        r->list = nullptr;
        r->prev = r->next = nullptr;
        size--;
    }
    // Moves every request of other to the end of this list.
    void take_all(List &other)
    {
        while (qn_async_request *r = other.pop())
            push(r);
    }
};

enum class SockState : uint8_t { connecting, handshaking, up, closed };

struct Sock {
    AsyncEngine *eng;
    qn_connection *sub;  // fd, TLS session, server (active_peer), address index, error slot
    bool stream;
    SockState st = SockState::connecting;
    bool draining = false;  // takes no new requests; closes when its last one is done
    int want = 0;           // readiness the application or base watches for
    List unsent, sent;
    // Identifiers of the requests the socket carries (each socket has its own 256: a server
    // tells requests apart by source address and port as well), and the next one to try.
    qn_async_request *by_id[LR_SERVER_IDS] = {};
    size_t ids_used = 0;
    int next_id = 0;
    // Stream octets waiting to be written (from out_off on), and a TLS write to repeat.
    std::vector<uint8_t> out;
    size_t out_off = 0;
    int tls_retry = 0;
    std::unique_ptr<uint8_t[]> in;
    size_t in_len = 0;
    struct event *ev = nullptr;
    bool blocked = false;  // a datagram write found the socket full: wait for writability
    char addr[QN_ADDR_TEXT_SIZE] = "";  // the server's address as text
    Sock *next = nullptr;
};

}  // namespace

struct AsyncEngine {
    qn_connection *conn;
    Sock *socks = nullptr;
    Sock *graveyard = nullptr;  // closed, freed when the current call returns
    List waiting;               // requests waiting for room on a socket
    size_t queue_limit = default_queue_limit;
    size_t outstanding = 0;
    std::vector<qn_async_request *> heap;
    qn_async_request *free_reqs = nullptr;
    std::vector<std::unique_ptr<qn_async_request[]>> blocks;
    bool fixed = false;
    struct timeval fixed_timeout{};
    int fixed_attempts = 0;
    struct event_base *evb = nullptr;
    struct event *tev = nullptr;
    qn_async_socket_cb sock_cb = nullptr;
    void *sock_arg = nullptr;
    int depth = 0;        // nesting of the engine's entry points
    bool in_send = false; // completions are deferred to the loop
    bool closing = false;
    // Receive buffers of read_batch datagrams (made with the first datagram socket).
    std::unique_ptr<uint8_t[]> rbufs;
};

namespace {

// ---- timer heap (requests by the end of their current attempt) ----

bool earlier(const qn_async_request *a, const qn_async_request *b)
{
    return lr_timeval_cmp(&a->timer.due, &b->timer.due) < 0;
}

void heap_set(AsyncEngine *e, size_t i, qn_async_request *r)
{
    e->heap[i] = r;
    r->timer.idx = i;
}

void heap_up(AsyncEngine *e, size_t i)
{
    qn_async_request *r = e->heap[i];
    while (i > 0) {
        size_t parent = (i - 1) / 2;
        if (!earlier(r, e->heap[parent]))
            break;
        heap_set(e, i, e->heap[parent]);
        i = parent;
    }
    heap_set(e, i, r);
}

void heap_down(AsyncEngine *e, size_t i)
{
    qn_async_request *r = e->heap[i];
    const size_t n = e->heap.size();
    for (;;) {
        size_t c = 2 * i + 1;
        if (c >= n)
            break;
        if (c + 1 < n && earlier(e->heap[c + 1], e->heap[c]))
            c++;
        if (!earlier(e->heap[c], r))
            break;
        heap_set(e, i, e->heap[c]);
        i = c;
    }
    heap_set(e, i, r);
}

void timer_stop(AsyncEngine *e, qn_async_request *r)
{
    size_t i = r->timer.idx;
    if (i == SIZE_MAX)
        return;
    r->timer.idx = SIZE_MAX;
    qn_async_request *last = e->heap.back();
    e->heap.pop_back();
    if (last == r)
        return;
    heap_set(e, i, last);
    heap_up(e, i);
    heap_down(e, last->timer.idx);
}

void timer_start(AsyncEngine *e, qn_async_request *r, const struct timeval &due)
{
    timer_stop(e, r);
    r->timer.due = due;
    e->heap.push_back(r);
    heap_set(e, e->heap.size() - 1, r);
    heap_up(e, e->heap.size() - 1);
}

// ---- interest ----

short ev_flags(int want)
{
    return static_cast<short>(((want & QN_ASYNC_READ) ? EV_READ : 0) |
                              ((want & QN_ASYNC_WRITE) ? EV_WRITE : 0));
}

void io_cb(evutil_socket_t fd, short what, void *arg);

void set_want(Sock *s, int want)
{
    if (s->want == want)
        return;
    s->want = want;
    AsyncEngine *e = s->eng;
    if (e->evb && s->ev) {
        event_del(s->ev);
        if (want) {
            event_assign(s->ev, e->evb, s->sub->fd, static_cast<short>(ev_flags(want) | EV_PERSIST),
                         io_cb, e->conn);
            event_add(s->ev, nullptr);
        }
    } else if (e->sock_cb) {
        e->sock_cb(e->sock_arg, s->sub->fd, want);
    }
}

// Readiness wanted in the socket's state: reading while requests wait for answers, writing
// while octets or datagrams wait. An idle socket is not watched, so that a loop with nothing
// else to do returns (a stream the server closed meanwhile is noticed by the next request).
void update_want(Sock *s)
{
    if (s->st == SockState::closed)
        return;
    int w = 0;
    if (s->st == SockState::connecting)
        w = QN_ASYNC_WRITE;
    else if (s->st == SockState::up)
        w = (s->sent.size ? QN_ASYNC_READ : 0) |
            ((s->out_off < s->out.size() || (s->unsent.size && (s->stream || s->blocked)))
                 ? QN_ASYNC_WRITE
                 : 0);
    else
        w = s->want ? s->want : QN_ASYNC_READ;  // handshaking: as OpenSSL last asked
    set_want(s, w);
}

// ---- errors ----

// An error object for a message (nullptr when out of memory: the caller then reports the
// code's table text).
qn_error *make_error(int code, const char *fmt, ...) QN_PRINTF(2, 3);
qn_error *make_error(int code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    qn_error *err = _err_vcreate(code, nullptr, 0, fmt, ap);
    va_end(ap);
    return err;
}

// The error recorded last on a socket's private record, taken from it; a fallback when none.
qn_error *take_sub_error(qn_connection *sub, int code)
{
    if (qn_error *err = qn_err_conn_pop(sub)) {
        while (qn_error *older = qn_err_conn_pop(sub))
            qn_err_free(older);
        return err;
    }
    return make_error(code, nullptr);
}

// ---- sockets ----

void close_sock(Sock *s)
{
    if (s->st == SockState::closed)
        return;
    AsyncEngine *e = s->eng;
    set_want(s, 0);
    if (s->ev) {
        event_free(s->ev);
        s->ev = nullptr;
    }
    if (s->sub->tls_ssl && s->st == SockState::up) {
        SSL_shutdown(s->sub->tls_ssl);  // close_notify, best effort
        ERR_clear_error();
    }
    s->st = SockState::closed;
    for (Sock **pp = &e->socks; *pp; pp = &(*pp)->next) {
        if (*pp == s) {
            *pp = s->next;
            break;
        }
    }
    s->next = e->graveyard;
    e->graveyard = s;
    if (s->sub->tls_ssl)
        tls_release_session(s->sub);
    if (s->sub->fd >= 0)
        evutil_closesocket(s->sub->fd);
    s->sub->fd = -1;
}

void free_sock(Sock *s)
{
    assert(s->st == SockState::closed && !s->unsent.size && !s->sent.size);
    if (s->sub->err)
        qn_err_free(s->sub->err);
    free(s->sub);
    delete s;
}

void reap(AsyncEngine *e)
{
    while (Sock *s = e->graveyard) {
        e->graveyard = s->next;
        free_sock(s);
    }
}

// A draining socket closes once its last request is done; so does a stream that never came up
// and has no request left waiting for it.
void maybe_close(Sock *s)
{
    if (!s || s->st == SockState::closed || s->unsent.size || s->sent.size)
        return;
    if (s->draining || (s->stream && s->st != SockState::up))
        close_sock(s);
}

void release_id(qn_async_request *r)
{
    Sock *s = r->id_sock;
    if (!s)
        return;
    const int id = r->pkt->rpkt->id;
    if (s->by_id[id] == r) {
        s->by_id[id] = nullptr;
        s->ids_used--;
    }
    r->id_sock = nullptr;
}

// Takes the request off its socket. Over UDP its identifier stays, so that a retransmission on
// the same socket repeats the same octets; a stream is never used twice for one request.
void detach(qn_async_request *r)
{
    if (r->list)
        r->list->remove(r);
    if (r->id_sock && r->id_sock->stream)
        release_id(r);
    Sock *s = r->sock;
    r->sock = nullptr;
    maybe_close(s);
    if (s)
        update_want(s);
}

// ---- completion ----

void give_back(AsyncEngine *e, qn_async_request *r)
{
    r->free_next = e->free_reqs;
    e->free_reqs = r;
}

qn_async_request *take_record(AsyncEngine *e)
{
    if (!e->free_reqs) {
        constexpr size_t n = 64;
        auto block = std::make_unique<qn_async_request[]>(n);
        for (size_t i = 0; i < n; i++)
            give_back(e, &block[i]);
        e->blocks.push_back(std::move(block));
    }
    qn_async_request *r = e->free_reqs;
    e->free_reqs = r->free_next;
    *r = qn_async_request{};
    r->eng = e;
    r->timer.idx = SIZE_MAX;
    return r;
}

void complete(qn_async_request *r, int code, qn_error *err, qn_packet *resp)
{
    AsyncEngine *e = r->eng;
    if (e->in_send && code != 0) {
        // Found inside qn_async_send: the callback runs from the loop, never from the call.
        detach(r);
        r->state = State::deferred;
        if (r->failure)
            qn_err_free(r->failure);
        r->failure = err ? err : make_error(code, nullptr);
        timer_start(e, r, now_tv());
        return;
    }
    detach(r);
    release_id(r);
    timer_stop(e, r);
    qn_packet *pkt = r->pkt;
    pkt->in_flight = false;
    r->state = State::completing;
    e->outstanding--;
    const char *msg = nullptr;
    if (code != 0)
        msg = err ? qn_err_msg(err) : qn_strerror(code);
    r->cb(r, code, msg, pkt, resp, r->arg);
    if (err)
        qn_err_free(err);
    if (r->last_discard)
        qn_err_free(r->last_discard);
    if (r->failure)
        qn_err_free(r->failure);
    give_back(e, r);
}

void fail(qn_async_request *r, qn_error *err)
{
    complete(r, err ? qn_err_code(err, 0) : QNE_NOMEM, err, nullptr);
}

// ---- the schedule ----

const struct evutil_addrinfo *nth_address(const qn_peer *server, int index)
{
    const struct evutil_addrinfo *ai = server ? server->addr : nullptr;
    for (int i = 0; ai && i < index; i++)
        ai = ai->ai_next;
    return ai;
}

bool has_next_address(const qn_async_request *r)
{
    const struct evutil_addrinfo *ai = nth_address(r->server, r->addr_index);
    return ai && ai->ai_next;
}

bool next_address(qn_async_request *r)
{
    if (!has_next_address(r))
        return false;
    r->addr_index++;
    return true;
}

void use_server(qn_async_request *r)
{
    AsyncEngine *e = r->eng;
    r->timeout = r->fixed ? e->fixed_timeout : timeval{0, 0};
    if (!r->fixed)
        add_jitter(&r->timeout, 2, 2);
    r->server_attempts = 0;
    r->addr_index = 0;
    r->share = attempt_share(e->conn, r->server, r->sticky, r->all_down, r->max_attempts);
}

bool switch_server(qn_async_request *r)
{
    if (r->sticky || !r->server)
        return false;
    qn_peer *next = next_server(r->eng->conn, r->server, now_tv(), r->all_down);
    hold_down(r->server);
    if (!next)
        return false;
    r->server = next;
    use_server(r);
    return true;
}

bool past_deadline(const qn_async_request *r)
{
    if (r->fixed)
        return false;
    struct timeval now = now_tv();
    return lr_timeval_cmp(&now, &r->deadline) > 0;
}

void give_up(qn_async_request *r)
{
    qn_connection *conn = r->eng->conn;
    if (r->server && conn->peers && conn->peers->next)
        hold_down(r->server);
    if (!r->last_discard) {
        complete(r, QNE_TIMEOUT, nullptr, nullptr);
        return;
    }
    qn_error *err = discarded_error(r->last_discard, r->discarded);
    if (!err) {
        err = r->last_discard;
        r->last_discard = nullptr;
    }
    fail(r, err);
}

bool transmit(qn_async_request *r, bool front = false);

// Nothing reached the server at the request's address: the next address or server at once,
// without using an attempt; else a stream fails the request and a datagram waits out its time.
void on_refused(qn_async_request *r, qn_error *err, bool datagram)
{
    const bool elsewhere =
        !r->sticky && r->server && next_server(r->eng->conn, r->server, now_tv(), r->all_down);
    if (has_next_address(r) || elsewhere) {
        qn_err_free(err);
        detach(r);
        if (!next_address(r))
            switch_server(r);
        transmit(r);
        return;
    }
    if (datagram) {
        qn_err_free(err);
        return;
    }
    fail(r, err);
}

// The current attempt ended without a valid answer.
void attempt_over(qn_async_request *r)
{
    Sock *s = r->sock;
    const bool connect_timeout = s && s->stream && s->st != SockState::up;
    // A stream is never used twice for one request (RFC 6613): it takes no new requests and
    // closes when those on it are done.
    if (s && s->stream && s->st == SockState::up)
        s->draining = true;
    detach(r);
    if (connect_timeout)
        next_address(r);
    if (++r->attempts == r->max_attempts || past_deadline(r)) {
        give_up(r);
        return;
    }
    if (++r->server_attempts >= r->share && switch_server(r)) {
        transmit(r);
        return;
    }
    if (!r->fixed)
        next_timeout(&r->timeout);
    transmit(r);
}

// ---- sending ----

void flush(Sock *s);
void sock_failed(Sock *s, qn_error *err, bool refused);
void start_handshake(Sock *s);

Sock *open_sock(AsyncEngine *e, qn_async_request *r, qn_error **err, bool *refused)
{
    qn_connection *conn = e->conn;
    auto *sub = static_cast<qn_connection *>(calloc(1, sizeof(qn_connection)));
    if (!sub) {
        *err = make_error(QNE_NOMEM, nullptr);
        return nullptr;
    }
    sub->ctx = conn->ctx;
    sub->realm = conn->realm;
    sub->peers = conn->peers;
    sub->active_peer = r->server;
    sub->addr_index = r->addr_index;
    sub->fd = -1;
    auto *s = new (std::nothrow) Sock;
    if (!s) {
        free(sub);
        *err = make_error(QNE_NOMEM, nullptr);
        return nullptr;
    }
    s->eng = e;
    s->sub = sub;
    s->next_id = static_cast<int>(lr_rand() % LR_SERVER_IDS);  // identifiers' random start
    s->stream = conn->realm->type == QN_CONN_TYPE_TCP || conn->realm->type == QN_CONN_TYPE_TLS;
    s->st = SockState::closed;  // until it has a descriptor
    s->next = e->graveyard;
    e->graveyard = s;

    if (event_init_socket(sub, r->server) != 0) {
        *err = take_sub_error(sub, QNE_SOCKERR);
        return nullptr;
    }
    r->addr_index = sub->addr_index;  // an index past the list starts again at the first
    const struct evutil_addrinfo *ai = conn_address(sub);
    addr_text(ai, s->addr);
    if (!s->stream && !e->rbufs) {
        e->rbufs.reset(new (std::nothrow) uint8_t[read_batch * (QN_MAX_PACKET_LEN + 1)]);
        if (!e->rbufs) {
            *err = make_error(QNE_NOMEM, nullptr);
            return nullptr;
        }
    }
    if (s->stream) {
        s->in.reset(new (std::nothrow) uint8_t[stream_in_size]);
        if (!s->in) {
            *err = make_error(QNE_NOMEM, nullptr);
            return nullptr;
        }
    }
    if (conn->realm->type == QN_CONN_TYPE_TLS) {
        if (tls_init_conn(sub) != 0) {
            *err = take_sub_error(sub, QNE_SSLERR);
            return nullptr;
        }
        BIO *bio = quelna::net::socket_bio(sub->fd);
        if (!bio) {
            *err = make_error(QNE_NOMEM, "cannot make a TLS socket BIO");
            return nullptr;
        }
        SSL_set_bio(sub->tls_ssl, bio, bio);
        SSL_set_connect_state(sub->tls_ssl);
        // Whole packets only (a write completes or is repeated), from a buffer that may move.
        SSL_set_mode(sub->tls_ssl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }
    if (e->evb) {
        s->ev = event_new(e->evb, sub->fd, EV_PERSIST, io_cb, conn);
        if (!s->ev) {
            *err = make_error(QNE_EVENT, "event_new");
            return nullptr;
        }
    }
    // Live from here: out of the graveyard, into the engine's list.
    e->graveyard = s->next;
    s->next = e->socks;
    e->socks = s;
    s->st = SockState::connecting;
    if (connect(sub->fd, ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen)) != 0 &&
        errno != EINPROGRESS) {
        const int en = errno;
        char where[QN_ADDR_TEXT_SIZE];
        *refused = is_unreachable(en);
        *err = make_error(QNE_SOCKERR, "%d: connect to %s: %d (%s)", sub->fd,
                          addr_text(ai, where), en, strerror(en));
        close_sock(s);
        return nullptr;
    }
    if (conn->realm->type == QN_CONN_TYPE_DTLS) {
        // The session over the connected socket; its handshake starts when the socket is
        // writable (at once), from the loop.
        if (dtls_start(sub) != 0) {
            *err = take_sub_error(sub, QNE_SSLERR);
            close_sock(s);
            return nullptr;
        }
        s->st = SockState::handshaking;
        set_want(s, QN_ASYNC_WRITE);
    } else if (!s->stream) {
        s->st = SockState::up;
        update_want(s);
    } else {
        set_want(s, QN_ASYNC_WRITE);  // writable once connected
    }
    return s;
}

// An identifier of s for r: the one its caller chose, else the next free one in turn; -1 none.
int free_id(const Sock *s, const qn_async_request *r)
{
    const qn_packet *pkt = r->pkt;
    if (pkt->id_chosen)
        return s->by_id[pkt->rpkt->id] ? -1 : pkt->rpkt->id;
    if (s->ids_used >= (s->stream ? LR_SERVER_IDS : udp_per_socket))
        return -1;
    for (int k = 0; k < LR_SERVER_IDS; k++) {
        const int id = (s->next_id + k) % LR_SERVER_IDS;
        if (!s->by_id[id])
            return id;
    }
    return -1;
}

// The socket for the request's next transmission: the one holding its identifier, one with
// room, or a new one (one stream, or up to udp_sockets datagram sockets per server address).
// Null with err set when a new one cannot be made, or with *full when all are full.
Sock *sock_for(AsyncEngine *e, qn_async_request *r, qn_error **err, bool *refused, bool *full)
{
    Sock *pick = nullptr;
    int count = 0;
    for (Sock *s = e->socks; s; s = s->next) {
        if (s->sub->active_peer != r->server || s->sub->addr_index != r->addr_index ||
            s->draining)
            continue;
        if (s == r->id_sock)
            return s;
        count++;
        if (!pick && free_id(s, r) >= 0)
            pick = s;
    }
    if (pick)
        return pick;
    const qn_realm *realm = e->conn->realm;
    const bool stream = realm->type == QN_CONN_TYPE_TCP || realm->type == QN_CONN_TYPE_TLS;
    if (count < (stream ? 1 : udp_sockets))
        return open_sock(e, r, err, refused);
    *full = true;
    return nullptr;
}

// The request waits for room on a socket; its schedule resumes when it leaves the queue.
void enqueue(qn_async_request *r, bool front)
{
    AsyncEngine *e = r->eng;
    timer_stop(e, r);
    r->state = State::waiting_id;
    if (front)
        e->waiting.push_front(r);
    else
        e->waiting.push(r);
}

// One attempt: the request's octets go to its server's socket (or wait there for the socket).
// True when it went to the engine's queue instead (at the front when asked).
bool transmit(qn_async_request *r, bool front)
{
    AsyncEngine *e = r->eng;
    qn_error *err = nullptr;
    bool refused = false, full = false;
    Sock *s = sock_for(e, r, &err, &refused, &full);
    if (!s) {
        if (full) {
            enqueue(r, front);
            return true;
        }
        if (refused)
            on_refused(r, err, false);
        else
            fail(r, err);
        return false;
    }
    qn_packet *pkt = r->pkt;
    lr_packet *rp = pkt->rpkt;
    if (r->id_sock != s) {
        release_id(r);
        const int id = free_id(s, r);
        assert(id >= 0);
        s->by_id[id] = r;
        s->ids_used++;
        s->next_id = (id + 1) % LR_SERVER_IDS;
        r->id_sock = s;
        rp->id = id;
        rp->data[1] = static_cast<uint8_t>(id);
    }
    // Written afresh for another server's secret or another identifier.
    if (!(rp->flags & LR_PACKET_ENCODED) || r->encoded_for != r->server ||
        r->encoded_id != rp->id) {
        if (rp->flags & LR_PACKET_ENCODED)
            packet_renew(pkt);
        if (packet_encode(pkt, r->server->secret, true) != 0) {
            fail(r, qn_err_conn_pop(e->conn));
            return false;
        }
        r->encoded_for = r->server;
        r->encoded_id = rp->id;
    }
    r->sock = s;
    struct timeval due = now_tv();
    lr_timeval_add(&due, static_cast<uint32_t>(r->timeout.tv_sec),
                   static_cast<uint32_t>(r->timeout.tv_usec));
    timer_start(e, r, due);

    if (s->st != SockState::up || (s->stream && s->unsent.size)) {
        r->state = State::unsent;
        s->unsent.push(r);
        update_want(s);
        return false;
    }
    if (!s->stream) {
        // Datagrams leave together when the engine call ends (flush_datagrams).
        r->state = State::unsent;
        s->unsent.push(r);
        return false;
    }
    r->state = State::sent;
    s->sent.push(r);
    s->out.insert(s->out.end(), rp->data, rp->data + rp->length);
    flush(s);
    return false;
}

// Requests leave the queue in order while sockets have room.
void admit(AsyncEngine *e)
{
    while (e->waiting.size && !e->closing) {
        qn_async_request *r = e->waiting.pop();
        r->state = State::unsent;
        if (transmit(r, true))
            break;
    }
}

// ---- receiving ----

// One packet from a socket: matched by identifier to a request sent on that socket, verified
// and decoded. Anything else is ignored; an answer that fails a check is counted against its
// request, which goes on waiting (RFC 2865 section 3).
void deliver(Sock *s, const uint8_t *data, size_t len)
{
    AsyncEngine *e = s->eng;
    if (len < 20)
        return;
    qn_async_request *r = s->by_id[data[1]];
    if (!r || r->sock != s || r->state != State::sent)
        return;  // stray: a late, duplicated or foreign answer
    qn_error *why = nullptr;
    if (len > QN_MAX_PACKET_LEN) {
        why = make_error(QNE_INVALID_PKT, "invalid packet length: %zu", len);
    } else if (int c = lr_packet_ok_raw(data, len); c != 0) {
        why = make_error(-c, "invalid packet: %s", lr_strerror());
    } else {
        qn_packet *resp = nullptr;
        if (qn_packet_create(e->conn, &resp) != 0) {
            fail(r, qn_err_conn_pop(e->conn));
            return;
        }
        lr_packet *rp = resp->rpkt;
        rp->length = (static_cast<size_t>(data[2]) << 8) | data[3];
        memcpy(rp->data, data, rp->length);
        rp->code = data[0];
        rp->id = data[1];
        if (packet_verify_response(s->sub, resp, r->pkt) == 0) {
            qn_connection *conn = e->conn;
            conn->answered_peer = r->server;
            memcpy(conn->answered_addr, s->addr, sizeof(s->addr));
            r->server->down_until = {0, 0};
            complete(r, 0, nullptr, resp);
            return;
        }
        qn_packet_destroy(resp);
        why = take_sub_error(s->sub, QNE_INVALID_PKT);
    }
    r->discarded++;
    if (r->last_discard)
        qn_err_free(r->last_discard);
    r->last_discard = why;
}

// A receive failed with en: after an ICMP port-unreachable the requests on the socket move on
// where they can (else they wait out their attempt); another error fails them.
void recv_failed(Sock *s, int en)
{
    const bool refused = is_unreachable(en);
    List moved;
    moved.take_all(s->sent);
    while (qn_async_request *r = moved.pop()) {
        qn_error *err = make_error(QNE_SOCKERR, "%d: recv from %s: %d (%s)", s->sub->fd,
                                   s->addr, en, strerror(en));
        if (refused) {
            s->sent.push(r);  // stays unless it moves on
            if (has_next_address(r) ||
                (!r->sticky && next_server(s->eng->conn, r->server, now_tv(), r->all_down))) {
                detach(r);
                on_refused(r, err, true);
            } else {
                qn_err_free(err);
            }
        } else {
            r->sock = nullptr;
            fail(r, err);
        }
    }
}

// DTLS: one record, one packet.
void read_records(Sock *s)
{
    uint8_t *buf = s->eng->rbufs.get();
    for (int i = 0; i < max_reads && s->st == SockState::up; i++) {
        ssize_t n = dtls_read(s->sub, buf, QN_MAX_PACKET_LEN + 1);
        if (n >= 0) {
            deliver(s, buf, static_cast<size_t>(n));
            continue;
        }
        if (n == -2) {  // the session is over (recorded)
            sock_failed(s, take_sub_error(s->sub, QNE_SSLERR), false);
            return;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            recv_failed(s, errno);
        return;
    }
}

void read_datagrams(Sock *s)
{
    if (s->sub->tls_ssl) {
        read_records(s);
        return;
    }
    constexpr size_t size = QN_MAX_PACKET_LEN + 1;
    uint8_t *bufs = s->eng->rbufs.get();
    struct iovec iov[read_batch];
    struct mmsghdr msgs[read_batch];
    for (int done = 0; done < max_reads && s->st == SockState::up;) {
        memset(msgs, 0, sizeof(msgs));
        for (int i = 0; i < read_batch; i++) {
            iov[i] = {bufs + static_cast<size_t>(i) * size, size};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(s->sub->fd, msgs, read_batch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (n > 0) {
            // A callback may close the socket (destroying nothing: it is freed later).
            for (int i = 0; i < n && s->st == SockState::up; i++)
                deliver(s, bufs + static_cast<size_t>(i) * size, msgs[i].msg_len);
            done += n;
            if (n < read_batch)
                return;
            continue;
        }
        const int en = errno;
        if (n == 0 || en == EAGAIN || en == EWOULDBLOCK)
            return;
        if (en == EINTR)
            continue;
        recv_failed(s, en);
        return;
    }
}

// A waiting datagram could not be sent (errno en): after an ICMP error the request moves on
// where it can, else it waits out its attempt; another error fails it.
void send_failed(Sock *s, qn_async_request *r, int en)
{
    s->unsent.remove(r);
    s->sent.push(r);
    qn_error *err = make_error(QNE_SOCKERR, "%d: send to %s: %d (%s)", s->sub->fd, s->addr, en,
                               strerror(en));
    if (is_unreachable(en)) {
        detach(r);
        on_refused(r, err, true);
    } else {
        fail(r, err);
    }
}

// DTLS: each packet one record, written by the session.
void write_records(Sock *s)
{
    while (qn_async_request *r = s->unsent.head) {
        if (s->st != SockState::up || s->blocked)
            break;
        const lr_packet *rp = r->pkt->rpkt;
        const int k = dtls_write(s->sub, rp->data, rp->length);
        if (k == -2) {
            sock_failed(s, take_sub_error(s->sub, QNE_SSLERR), false);
            return;
        }
        if (k == -1) {
            const int en = errno;
            if (en == EAGAIN || en == EWOULDBLOCK || en == ENOBUFS) {
                s->blocked = true;
                break;
            }
            send_failed(s, r, en);
            continue;
        }
        s->unsent.remove(r);
        r->state = State::sent;
        s->sent.push(r);
    }
    update_want(s);
}

// Writes the socket's waiting datagrams, many per system call, until they are all out or the
// socket is full.
void write_datagrams(Sock *s)
{
    if (s->sub->tls_ssl) {
        write_records(s);
        return;
    }
    struct iovec iov[write_batch];
    struct mmsghdr msgs[write_batch];
    qn_async_request *reqs[write_batch];
    while (s->unsent.head && s->st == SockState::up && !s->blocked) {
        int n = 0;
        memset(msgs, 0, sizeof(msgs));
        for (qn_async_request *r = s->unsent.head; r && n < write_batch; r = r->next, n++) {
            const lr_packet *rp = r->pkt->rpkt;
            iov[n] = {rp->data, rp->length};
            msgs[n].msg_hdr.msg_iov = &iov[n];
            msgs[n].msg_hdr.msg_iovlen = 1;
            reqs[n] = r;
        }
        int k = sendmmsg(s->sub->fd, msgs, static_cast<unsigned int>(n), MSG_DONTWAIT);
        if (k < 0) {
            const int en = errno;
            if (en == EINTR)
                continue;
            if (en == EAGAIN || en == EWOULDBLOCK || en == ENOBUFS) {
                s->blocked = true;
                break;
            }
            // The first datagram failed: it alone is answered for; the rest go on.
            send_failed(s, reqs[0], en);
            continue;
        }
        for (int i = 0; i < k; i++) {
            s->unsent.remove(reqs[i]);
            reqs[i]->state = State::sent;
            s->sent.push(reqs[i]);
        }
    }
    update_want(s);
}

// Datagrams queued during an engine call leave together at its end.
void flush_datagrams(AsyncEngine *e)
{
    for (Sock *s = e->socks; s; s = s->next)
        if (!s->stream && s->unsent.size && !s->blocked)
            write_datagrams(s);
}

// The stream failed or ended: its requests go elsewhere or fail.
void sock_failed(Sock *s, qn_error *err, bool refused)
{
    const bool was_up = s->st == SockState::up;
    List moved;
    moved.take_all(s->sent);
    List unsent;
    unsent.take_all(s->unsent);
    close_sock(s);
    for (qn_async_request *r = moved.head; r; r = r->next)
        release_id(r);
    for (qn_async_request *r = unsent.head; r; r = r->next)
        release_id(r);
    auto copy = [&]() { return make_error(qn_err_code(err, 0), "%s", qn_err_msg(err)); };
    while (qn_async_request *r = unsent.pop()) {
        r->sock = nullptr;
        if (refused)
            on_refused(r, copy(), false);
        else if (was_up)
            transmit(r);  // never written: goes on a new stream at no cost
        else
            fail(r, copy());
    }
    while (qn_async_request *r = moved.pop()) {
        r->sock = nullptr;
        // Servers close idle or busy streams: the requests go once more, at once, on a new
        // stream; each counts as an attempt.
        if (!r->renewed) {
            r->renewed = true;
            if (++r->attempts == r->max_attempts)
                give_up(r);
            else
                transmit(r);
        } else {
            fail(r, copy());
        }
    }
    qn_err_free(err);
}

void stream_failed(Sock *s, int code, const char *fmt, ...) QN_PRINTF(3, 4);
void stream_failed(Sock *s, int code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    qn_error *err = _err_vcreate(code, nullptr, 0, fmt, ap);
    va_end(ap);
    sock_failed(s, err ? err : make_error(code, nullptr), false);
}

void on_up(Sock *s)
{
    s->st = SockState::up;
    if (!s->stream) {
        write_datagrams(s);  // those that waited for the DTLS session
        return;
    }
    List waiting;
    waiting.take_all(s->unsent);
    while (qn_async_request *r = waiting.pop()) {
        r->state = State::sent;
        s->sent.push(r);
        const lr_packet *rp = r->pkt->rpkt;
        s->out.insert(s->out.end(), rp->data, rp->data + rp->length);
    }
    flush(s);
}

void tls_failed(Sock *s)
{
    quelna::net::push_queued_errors(s->sub, __FILE__, __LINE__,
                                    s->stream ? "TLS handshake failed" : "DTLS handshake failed");
    tls_note_handshake_failure(s->sub);
    sock_failed(s, take_sub_error(s->sub, QNE_SSLERR), false);
}

void start_handshake(Sock *s)
{
    SSL *ssl = s->sub->tls_ssl;
    ERR_clear_error();
    errno = 0;
    int r = SSL_connect(ssl);
    const int en = errno;
    if (r == 1) {
        const int bad = conn_cred_psk(s->sub) ? tls_check_psk(s->sub) : tls_verify_cert(s->sub);
        if (bad != 0) {
            sock_failed(s, take_sub_error(s->sub, bad), false);
            return;
        }
        on_up(s);
        return;
    }
    s->st = SockState::handshaking;
    switch (SSL_get_error(ssl, r)) {
    case SSL_ERROR_WANT_READ:
        set_want(s, QN_ASYNC_READ);
        return;
    case SSL_ERROR_WANT_WRITE:
        set_want(s, QN_ASYNC_WRITE);
        return;
    case SSL_ERROR_SYSCALL:
        if (!s->stream && is_unreachable(en)) {
            // An ICMP port-unreachable: no DTLS server listens at this address.
            sock_failed(s,
                        make_error(QNE_SOCKERR, "%d: connect to %s: %d (%s)", s->sub->fd,
                                   s->addr, en, strerror(en)),
                        true);
            return;
        }
        [[fallthrough]];
    default:
        tls_failed(s);
    }
}

// The DTLS handshakes whose retransmission timer has run out send their last flight again.
void dtls_timers(AsyncEngine *e)
{
    for (Sock *s = e->socks; s; s = s->next) {
        struct timeval left;
        if (s->st != SockState::handshaking || s->stream ||
            DTLSv1_get_timeout(s->sub->tls_ssl, &left) != 1 || left.tv_sec || left.tv_usec)
            continue;
        if (DTLSv1_handle_timeout(s->sub->tls_ssl) < 0) {
            tls_failed(s);  // closes s: the list changed, start again
            dtls_timers(e);
            return;
        }
    }
}

// The wait until the engine next needs time: its earliest request or DTLS handshake timer.
bool next_wait(const AsyncEngine *e, struct timeval *wait)
{
    bool any = false;
    if (!e->heap.empty()) {
        struct timeval now = now_tv();
        *wait = {0, 0};
        if (lr_timeval_cmp(&e->heap[0]->timer.due, &now) > 0)
            timersub(&e->heap[0]->timer.due, &now, wait);
        any = true;
    }
    for (const Sock *s = e->socks; s; s = s->next) {
        struct timeval left;
        if (s->st == SockState::handshaking && !s->stream &&
            DTLSv1_get_timeout(s->sub->tls_ssl, &left) == 1 &&
            (!any || timercmp(&left, wait, <))) {
            *wait = left;
            any = true;
        }
    }
    return any;
}

void flush(Sock *s)
{
    while (s->st == SockState::up && s->out_off < s->out.size()) {
        const size_t left = s->out.size() - s->out_off;
        const uint8_t *at = s->out.data() + s->out_off;
        if (SSL *ssl = s->sub->tls_ssl) {
            // One packet per record: servers take a record for a packet. A write OpenSSL asked
            // to repeat is repeated with the same length.
            const int len = s->tls_retry ? s->tls_retry : (at[2] << 8 | at[3]);
            ERR_clear_error();
            int n = SSL_write(ssl, at, len);
            if (n <= 0) {
                int why = SSL_get_error(ssl, n);
                if (why == SSL_ERROR_WANT_WRITE || why == SSL_ERROR_WANT_READ) {
                    s->tls_retry = len;
                    break;
                }
                quelna::net::push_queued_errors(s->sub, __FILE__, __LINE__, "SSL_write");
                sock_failed(s, take_sub_error(s->sub, QNE_SSLERR), false);
                return;
            }
            s->tls_retry = 0;
            s->out_off += static_cast<size_t>(n);
        } else {
            ssize_t n = compat_send(s->sub->fd, at, left, MSG_NOSIGNAL);
            if (n < 0) {
                const int en = errno;
                if (en == EAGAIN || en == EWOULDBLOCK)
                    break;
                stream_failed(s, QNE_SOCKERR, "%d: send: %d (%s)", s->sub->fd, en, strerror(en));
                return;
            }
            s->out_off += static_cast<size_t>(n);
        }
    }
    if (s->out_off == s->out.size()) {
        s->out.clear();
        s->out_off = 0;
    }
    update_want(s);
}

void read_stream(Sock *s)
{
    for (;;) {
        if (s->st != SockState::up)
            return;
        ssize_t n;
        const size_t room = stream_in_size - s->in_len;
        if (SSL *ssl = s->sub->tls_ssl) {
            ERR_clear_error();
            int k = SSL_read(ssl, s->in.get() + s->in_len, static_cast<int>(room));
            if (k <= 0) {
                int why = SSL_get_error(ssl, k);
                if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE)
                    return;
                if (why == SSL_ERROR_ZERO_RETURN) {
                    stream_failed(s, QNE_DISCO, "the server closed the stream");
                    return;
                }
                quelna::net::push_queued_errors(s->sub, __FILE__, __LINE__,
                                                "the stream ended without close_notify");
                sock_failed(s, take_sub_error(s->sub, QNE_SSLERR), false);
                return;
            }
            n = k;
        } else {
            n = compat_recv(s->sub->fd, s->in.get() + s->in_len, room, 0);
            if (n < 0) {
                const int en = errno;
                if (en == EAGAIN || en == EWOULDBLOCK)
                    return;
                stream_failed(s, QNE_SOCKERR, "%d: recv: %d (%s)", s->sub->fd, en, strerror(en));
                return;
            }
            if (n == 0) {
                if (s->in_len)
                    stream_failed(s, QNE_NO_PACKET_DATA,
                                  "the server closed the stream in the middle of a packet "
                                  "(%zu octets)", s->in_len);
                else
                    stream_failed(s, QNE_DISCO, "the server closed the stream");
                return;
            }
        }
        s->in_len += static_cast<size_t>(n);
        size_t off = 0;
        while (s->st == SockState::up && s->in_len - off >= 4) {
            const uint8_t *p = s->in.get() + off;
            const size_t len = (static_cast<size_t>(p[2]) << 8) | p[3];
            if (len < 20 || len > QN_MAX_PACKET_LEN) {
                // The framing is lost: nothing after it can be trusted.
                stream_failed(s, QNE_INVALID_PKT, "invalid packet length on the stream: %zu",
                              len);
                return;
            }
            if (s->in_len - off < len)
                break;
            deliver(s, p, len);
            off += len;
        }
        if (s->st != SockState::up)
            return;
        memmove(s->in.get(), s->in.get() + off, s->in_len - off);
        s->in_len -= off;
    }
}

void on_ready(Sock *s, int events)
{
    if (s->st == SockState::connecting) {
        if (!(events & QN_ASYNC_WRITE))
            return;
        int en = 0;
        socklen_t len = sizeof(en);
        if (getsockopt(s->sub->fd, SOL_SOCKET, SO_ERROR, &en, &len) != 0)
            en = errno;
        if (en != 0) {
            char where[QN_ADDR_TEXT_SIZE];
            qn_error *err = make_error(QNE_SOCKERR, "%d: connect to %s: %d (%s)", s->sub->fd,
                                       addr_text(conn_address(s->sub), where), en, strerror(en));
            sock_failed(s, err, is_unreachable(en));
            return;
        }
        if (s->sub->tls_ssl)
            start_handshake(s);
        else
            on_up(s);
        return;
    }
    if (s->st == SockState::handshaking) {
        start_handshake(s);
        return;
    }
    if (s->st != SockState::up)
        return;
    if (!s->stream) {
        if (events & QN_ASYNC_WRITE) {
            s->blocked = false;
            write_datagrams(s);
        }
        if (events & QN_ASYNC_READ)
            read_datagrams(s);
        return;
    }
    if (events & QN_ASYNC_WRITE)
        flush(s);
    if (events & QN_ASYNC_READ)
        read_stream(s);
}

// ---- timers and the loop ----

void run_timers(AsyncEngine *e)
{
    dtls_timers(e);
    const struct timeval now = now_tv();
    while (!e->heap.empty() && lr_timeval_cmp(&e->heap[0]->timer.due, &now) <= 0) {
        qn_async_request *r = e->heap[0];
        timer_stop(e, r);
        if (r->state == State::deferred) {
            qn_error *err = r->failure;
            r->failure = nullptr;
            fail(r, err);
        } else {
            attempt_over(r);
        }
    }
}

void rearm(AsyncEngine *e)
{
    if (!e->evb || !e->tev)
        return;
    struct timeval wait;
    if (next_wait(e, &wait))
        event_add(e->tev, &wait);
    else
        event_del(e->tev);
}

// Every entry point runs inside one: sockets closed meanwhile are freed and the base's timer
// set when the outermost returns.
class Entry {
public:
    explicit Entry(AsyncEngine *e) : e_(e) { e_->depth++; }
    ~Entry()
    {
        if (e_->depth == 1) {
            admit(e_);
            flush_datagrams(e_);
        }
        if (--e_->depth == 0) {
            reap(e_);
            rearm(e_);
        }
    }
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;

private:
    AsyncEngine *e_;
};

int process(AsyncEngine *e, int fd, int events)
{
    Entry entry(e);
    int rc = 0;
    if (fd >= 0) {
        Sock *s = e->socks;
        while (s && s->sub->fd != fd)
            s = s->next;
        if (s)
            on_ready(s, events);
        else
            rc = QNE_INVAL;
    }
    run_timers(e);
    return rc;
}

void io_cb(evutil_socket_t fd, short what, void *arg)
{
    auto *conn = static_cast<qn_connection *>(arg);
    process(conn->async, fd,
            ((what & EV_READ) ? QN_ASYNC_READ : 0) | ((what & EV_WRITE) ? QN_ASYNC_WRITE : 0));
}

void timer_cb(evutil_socket_t, short, void *arg)
{
    auto *conn = static_cast<qn_connection *>(arg);
    process(conn->async, -1, 0);
}

int push(qn_connection *conn, int code, const char *fmt, ...) QN_PRINTF(3, 4);

int queue_full(qn_connection *conn, const AsyncEngine *e)
{
    return push(conn, QNE_INUSE, "%zu requests in flight and %zu waiting (the queue's limit)",
                e->outstanding - e->waiting.size, e->waiting.size);
}

AsyncEngine *engine(qn_connection *conn)
{
    if (!conn->async) {
        conn->async = new (std::nothrow) AsyncEngine;
        if (conn->async)
            conn->async->conn = conn;
    }
    return conn->async;
}

int push(qn_connection *conn, int code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    qn_error *err = _err_vcreate(code, nullptr, 0, fmt, ap);
    va_end(ap);
    return err ? err_conn_push_err(conn, err) : code;
}

}  // namespace

void async_destroy(qn_connection *conn)
{
    AsyncEngine *e = conn->async;
    if (!e)
        return;
    e->closing = true;
    {
        Entry entry(e);
        while (qn_async_request *r = e->waiting.head)
            complete(r, QNE_CANCELLED, nullptr, nullptr);
        while (!e->heap.empty())
            complete(e->heap[0], QNE_CANCELLED, nullptr, nullptr);
        while (e->socks)
            close_sock(e->socks);
    }
    if (e->tev)
        event_free(e->tev);
    delete e;
    conn->async = nullptr;
}

size_t async_outstanding(const qn_connection *conn)
{
    return conn->async ? conn->async->outstanding : 0;
}

extern "C" {

QN_EXPORT int qn_async_send(qn_connection *conn, qn_packet *request, qn_async_cb cb, void *arg,
                            qn_async_request **areq)
{
    if (areq)
        *areq = nullptr;
    if (!conn)
        return QNE_INVALID_CONN;
    if (!cb || !request || request->conn != conn)
        return push(conn, QNE_INVAL, "qn_async_send: a callback and a packet of this connection "
                                     "are needed");
    if (request->in_flight)
        return push(conn, QNE_INVAL, "qn_async_send: the packet is already in flight");
    if (!conn->realm || !conn->peers)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOPEER, nullptr);
    AsyncEngine *e = engine(conn);
    if (!e)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, nullptr);
    if (e->closing)
        return push(conn, QNE_INVALID_CONN, "the connection is being destroyed");
    if (e->waiting.size >= e->queue_limit && e->waiting.size)
        return queue_full(conn, e);

    // Failures found before this call returns (its datagrams are written as it ends) are
    // reported from the loop.
    struct InSend {
        AsyncEngine *e;
        bool was;
        ~InSend() { e->in_send = was; }
    } in_send{e, e->in_send};
    e->in_send = true;
    Entry entry(e);
    qn_async_request *r = take_record(e);
    r->pkt = request;
    r->cb = cb;
    r->arg = arg;
    r->fixed = e->fixed;
    r->max_attempts = e->fixed ? e->fixed_attempts : max_attempts;
    struct timeval now = now_tv();
    r->deadline = now;
    r->deadline.tv_sec += deadline_seconds;
    r->sticky = conn->answered_peer && lr_vps_find(request->rpkt->vps, attr_state, 0);
    r->server = r->sticky ? conn->answered_peer : first_server(conn, now, r->all_down);
    use_server(r);
    request->in_flight = true;
    e->outstanding++;
    // Requests keep their order: one waits while others do.
    if (e->waiting.size) {
        enqueue(r, false);
    } else {
        const bool queued = transmit(r);
        if (queued && e->waiting.size > e->queue_limit) {
            e->waiting.remove(r);
            request->in_flight = false;
            e->outstanding--;
            give_back(e, r);
            return queue_full(conn, e);
        }
    }
    if (areq)
        *areq = r;
    return 0;
}

QN_EXPORT void qn_async_cancel(qn_async_request *areq)
{
    if (!areq || areq->state == State::completing)
        return;
    AsyncEngine *e = areq->eng;
    Entry entry(e);
    complete(areq, QNE_CANCELLED, nullptr, nullptr);
}

QN_EXPORT size_t qn_async_outstanding(qn_connection *conn)
{
    return conn ? async_outstanding(conn) : 0;
}

QN_EXPORT int qn_async_set_queue_limit(qn_connection *conn, size_t limit)
{
    AsyncEngine *e = engine(conn);
    if (!e)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, nullptr);
    e->queue_limit = limit;
    return 0;
}

QN_EXPORT int qn_async_set_schedule(qn_connection *conn, const struct timeval *timeout,
                                    int attempts)
{
    AsyncEngine *e = engine(conn);
    if (!e)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, nullptr);
    if (!timeout) {
        e->fixed = false;
        return 0;
    }
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000 ||
        (timeout->tv_sec == 0 && timeout->tv_usec == 0))
        return push(conn, QNE_INVAL, "qn_async_set_schedule: the wait must be positive");
    e->fixed = true;
    e->fixed_timeout = *timeout;
    e->fixed_attempts = std::max(1, attempts);
    return 0;
}

QN_EXPORT int qn_async_use_event_base(qn_connection *conn, struct event_base *base)
{
    AsyncEngine *e = engine(conn);
    if (!e)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, nullptr);
    if (e->outstanding)
        return push(conn, QNE_INUSE, "%zu asynchronous requests outstanding", e->outstanding);
    if (e->tev)
        event_free(e->tev);
    e->tev = nullptr;
    for (Sock *s = e->socks; s; s = s->next) {
        if (s->ev)
            event_free(s->ev);
        s->ev = nullptr;
    }
    e->evb = base;
    if (!base)
        return 0;
    e->sock_cb = nullptr;
    e->tev = evtimer_new(base, timer_cb, conn);
    if (!e->tev)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "evtimer_new");
    for (Sock *s = e->socks; s; s = s->next) {
        s->ev = event_new(base, s->sub->fd, EV_PERSIST, io_cb, conn);
        if (!s->ev)
            return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "event_new");
        const int want = s->want;
        s->want = 0;
        set_want(s, want);
    }
    return 0;
}

QN_EXPORT int qn_async_set_socket_cb(qn_connection *conn, qn_async_socket_cb cb, void *arg)
{
    AsyncEngine *e = engine(conn);
    if (!e)
        return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, nullptr);
    if (e->evb)
        return push(conn, QNE_INUSE, "an event base drives the engine");
    e->sock_cb = cb;
    e->sock_arg = arg;
    if (cb)
        for (Sock *s = e->socks; s; s = s->next)
            if (s->want)
                cb(arg, s->sub->fd, s->want);
    return 0;
}

QN_EXPORT size_t qn_async_fds(qn_connection *conn, qn_async_fd *fds, size_t max)
{
    if (!conn || !conn->async)
        return 0;
    size_t n = 0;
    for (Sock *s = conn->async->socks; s; s = s->next) {
        if (!s->want)
            continue;
        if (fds && n < max)
            fds[n] = qn_async_fd{s->sub->fd, s->want};
        n++;
    }
    return n;
}

QN_EXPORT int qn_async_timeout(qn_connection *conn, struct timeval *tv)
{
    AsyncEngine *e = conn ? conn->async : nullptr;
    return e && tv && next_wait(e, tv) ? 1 : 0;
}

QN_EXPORT int qn_async_process(qn_connection *conn, int fd, int events)
{
    if (!conn)
        return QNE_INVALID_CONN;
    AsyncEngine *e = conn->async;
    if (!e)
        return fd >= 0 ? push(conn, QNE_INVAL, "%d: not a socket of the engine", fd) : 0;
    int rc = process(e, fd, events);
    if (rc != 0)
        return push(conn, rc, "%d: not a socket of the engine", fd);
    return 0;
}

}  // extern "C"
