// Many requests in flight from one client thread, against in-process responders that verify
// every request (Message-Authenticator, hidden User-Password) and sign every answer (Response
// Authenticator, Message-Authenticator), in one run:
// - the library's asynchronous engine with K requests in flight, each completion starting the
//   next (a new packet per request), over UDP at K = 1, 16, 64, 256 and over TCP and TLS at 256,
//   driven by a libevent base (qn_async_use_event_base) and by qn_async_process from a poll loop;
// - the floor: a non-blocking connected UDP socket with K in flight, once sending ready-made
//   signed requests and checking only the identifier of each answer, once doing a client's MD5
//   work per request (new authenticator, hidden User-Password, Message-Authenticator, both
//   authenticators of the answer checked);
// - the blocking library (qn_request_send, one at a time) and radclient -p 128 (when installed).
// Every figure is taken with client and responder on one CPU and on two CPUs; the rows run in a
// shuffled order in each round, and the table gives medians (min..max) over the rounds: verified
// answers per second (wall), the client thread's CPU time per answer, and for the library its
// heap allocations per request and heap bytes per outstanding request. Run
//   async_bench [--rounds=5] [--seconds=0.3] [--only=TEXT] [--placement=one|two]
//               [--rcvbuf=4194304]
// on an otherwise idle machine (--only picks the rows whose "name K" contains TEXT; --rcvbuf sizes
// the receive buffer of the floor's and the library's UDP sockets, 0 leaves the default). Speed
// is reported here, never asserted.
#include <event2/event.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <quelna/quelna.h>

#include "alloc_count.h"
#include "responder.h"

extern char **environ;

namespace {

using namespace quelna::bench;

// One timed run of a row.
struct Sample {
    double wall = 0, cpu = 0;  // seconds
    uint64_t replies = 0;
    // Library rows: allocations per request, of which creating the request packet; heap bytes
    // per outstanding request, of which not the request packet's.
    double allocs_per_request = -1, packet_allocs = -1;
    double bytes_per_outstanding = -1, engine_bytes = -1;
    std::string error;  // empty when every answer was verified
};

double thread_cpu()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Wall and client-thread CPU time from construction to finish.
class Timer {
public:
    Timer() : wall_(now()), cpu_(thread_cpu()) {}
    void finish(Sample &s, uint64_t replies) const
    {
        s.wall = now() - wall_;
        s.cpu = thread_cpu() - cpu_;
        s.replies = replies;
    }

private:
    double wall_, cpu_;
};

// Counts allocations between construction and finish; process-wide, so a responder's count too
// (the UDP responder allocates nothing per request).
class AllocWindow {
public:
    AllocWindow()
    {
        alloc_reset();
        alloc_counting(true);
    }
    ~AllocWindow() { alloc_counting(false); }
    AllocWindow(const AllocWindow &) = delete;
    AllocWindow &operator=(const AllocWindow &) = delete;
    double per(uint64_t n) const
    {
        return n ? static_cast<double>(alloc_counts().allocations) / static_cast<double>(n) : -1;
    }
    int64_t live() const { return alloc_counts().live_bytes; }
};

// Receive buffer of the clients' UDP sockets (0: the system's default). The default holds about
// 256 small datagrams, too few for 256 answers that arrive together.
int client_rcvbuf = 4 << 20;

void size_receive_buffer(int fd)
{
    int type = 0;
    socklen_t len = sizeof(type);
    if (client_rcvbuf > 0 && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 &&
        type == SOCK_DGRAM)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &client_rcvbuf, sizeof(client_rcvbuf));
}

// ---- the floor -------------------------------------------------------------------------------

// n verified answers with k requests in flight on a non-blocking connected UDP socket. md5: a
// new signed request per send and every answer checked; otherwise one ready-made request per
// identifier, sent again and again, and an answer checked by identifier and length only.
Sample raw_run(uint16_t port, int k, bool md5, uint64_t n)
{
    Sample s;
    const Signer signer(shared_secret);
    struct Slot {
        uint8_t auth[16];
        uint8_t pkt[request_len];
        bool busy = false;
    };
    std::array<Slot, 256> slots;
    std::mt19937_64 rng(42);
    auto fresh = [&](int id) {
        for (int i = 0; i < 16; i += 8) {
            uint64_t r = rng();
            memcpy(slots[id].auth + i, &r, 8);
        }
        signer.make_request(static_cast<uint8_t>(id), slots[id].auth, slots[id].pkt);
    };
    for (int id = 0; id < 256; id++)
        fresh(id);
    int fd = connected_socket(SOCK_DGRAM, port);
    if (fd < 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        s.error = "socket";
        return s;
    }
    size_receive_buffer(fd);
    uint64_t sent = 0, done = 0;
    auto send_one = [&](int id) {
        if (md5)
            fresh(id);
        slots[id].busy = true;
        sent++;
        return send(fd, slots[id].pkt, request_len, 0) == static_cast<ssize_t>(request_len);
    };
    Timer timer;
    for (int id = 0; id < k && s.error.empty(); id++)
        if (!send_one(id))
            s.error = "send failed";
    uint8_t buf[4096];
    while (done < n && s.error.empty()) {
        ssize_t r = recv(fd, buf, sizeof(buf), 0);
        if (r < 0) {
            pollfd p{fd, POLLIN, 0};
            if (errno != EAGAIN || poll(&p, 1, 1000) == 0)
                s.error = errno == EAGAIN ? "no answer within 1 s" : strerror(errno);
            continue;
        }
        if (r < 20 || !slots[buf[1]].busy)
            continue;  // not an answer to an outstanding request
        Slot &slot = slots[buf[1]];
        if (md5 ? !signer.check_answer(buf, static_cast<size_t>(r), slot.auth)
                : r != static_cast<ssize_t>(answer_len) || buf[0] != 2) {
            s.error = "answer failed its check";
            break;
        }
        slot.busy = false;
        done++;
        if (sent < n && !send_one(buf[1]))
            s.error = "send failed";
    }
    timer.finish(s, done);
    close(fd);
    return s;
}

// ---- the library -----------------------------------------------------------------------------

qn_context *context = nullptr;

std::string conn_error(qn_connection *conn)
{
    qn_error *e = qn_err_conn_pop(conn);
    std::string m = e && qn_err_msg(e) ? qn_err_msg(e) : "no message";
    qn_err_free(e);
    return m;
}

// How the engine is driven: its sockets and timer on a libevent base, or a poll loop that
// hands ready sockets to qn_async_process.
class Driver {
public:
    virtual ~Driver() = default;
    virtual int attach(qn_connection *conn) = 0;
    // Waits for and handles the next events.
    virtual void turn(qn_connection *conn) = 0;
};

class EventBaseDriver : public Driver {
public:
    EventBaseDriver() : base_(event_base_new()) {}
    ~EventBaseDriver() override { event_base_free(base_); }
    EventBaseDriver(const EventBaseDriver &) = delete;
    EventBaseDriver &operator=(const EventBaseDriver &) = delete;
    int attach(qn_connection *conn) override { return qn_async_use_event_base(conn, base_); }
    void turn(qn_connection *) override { event_base_loop(base_, EVLOOP_ONCE); }

private:
    event_base *base_;
};

class PollDriver : public Driver {
public:
    int attach(qn_connection *conn) override
    {
        fds_.clear();
        return qn_async_set_socket_cb(conn, &PollDriver::on_socket, this);
    }
    void turn(qn_connection *conn) override
    {
        timeval tv;
        int ms = qn_async_timeout(conn, &tv)
                     ? static_cast<int>(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000)
                     : 1000;
        size_t n = std::min(fds_.size(), ready_.size());
        for (size_t i = 0; i < n; i++)
            ready_[i] = {fds_[i].fd,
                         static_cast<short>((fds_[i].events & QN_ASYNC_READ ? POLLIN : 0) |
                                            (fds_[i].events & QN_ASYNC_WRITE ? POLLOUT : 0)),
                         0};
        if (poll(ready_.data(), n, ms) <= 0) {
            qn_async_process(conn, -1, 0);
            return;
        }
        for (size_t i = 0; i < n; i++) {
            short r = ready_[i].revents;
            int ev = (r & (POLLIN | POLLERR | POLLHUP) ? QN_ASYNC_READ : 0) |
                     (r & POLLOUT ? QN_ASYNC_WRITE : 0);
            if (ev)
                qn_async_process(conn, ready_[i].fd, ev);
        }
    }

private:
    static void on_socket(void *arg, int fd, int events)
    {
        auto &fds = static_cast<PollDriver *>(arg)->fds_;
        auto it = std::find_if(fds.begin(), fds.end(), [fd](auto &f) { return f.fd == fd; });
        if (it != fds.end() && events)
            it->events = events;
        else if (it != fds.end())
            fds.erase(it);
        else if (events)
            fds.push_back({fd, events});
    }

    std::vector<qn_async_fd> fds_;
    std::array<pollfd, 16> ready_{};
};

// Requests of one connection, each completion verifying its answer and starting the next until
// target have been started.
struct AsyncRun {
    qn_connection *conn = nullptr;
    uint64_t target = 0, started = 0, completed = 0, verified = 0;
    std::string error;

    bool start(qn_packet *pkt)
    {
        if (qn_async_send(conn, pkt, on_done, this, nullptr) != 0) {
            qn_packet_destroy(pkt);
            if (error.empty())
                error = "qn_async_send: " + conn_error(conn);
            return false;
        }
        started++;
        return true;
    }
    bool start_new()
    {
        qn_packet *pkt = nullptr;
        if (qn_packet_create_authn_request(conn, &pkt, user_name, user_password) != 0) {
            if (pkt)
                qn_packet_destroy(pkt);
            error = "packet: " + conn_error(conn);
            return false;
        }
        return start(pkt);
    }
    static void on_done(qn_async_request *, int code, const char *message, qn_packet *request,
                        qn_packet *response, void *arg)
    {
        auto &run = *static_cast<AsyncRun *>(arg);
        run.completed++;
        if (code == 0 && qn_packet_code(response) == 2 && qn_packet_find_avp(response, 18, 0))
            run.verified++;
        else if (run.error.empty())
            run.error = code ? std::string(qn_strerror(code)) + ": " + (message ? message : "")
                             : "not the expected Access-Accept";
        if (response)
            qn_packet_destroy(response);
        qn_packet_destroy(request);
        if (run.error.empty() && run.started < run.target)
            run.start_new();
    }
    // Turns the driver until every started request has completed (or 60 s have gone).
    void finish(Driver &driver)
    {
        const double deadline = now() + 60;
        while (completed < started && now() < deadline)
            driver.turn(conn);
        if (completed < started && error.empty())
            error = "requests still outstanding after 60 s";
    }
    // n requests, k at a time.
    void run(Driver &driver, uint64_t n, int k)
    {
        target = n;
        started = completed = verified = 0;
        for (int i = 0; i < k && started < n && start_new(); i++) {
        }
        finish(driver);
    }
};

// The library's heap bytes with k requests outstanding minus with none, per request: all of
// them, and the engine's share (without the request packets).
void measure_outstanding(AsyncRun &run, Driver &driver, int k, Sample &s)
{
    std::vector<qn_packet *> pkts(static_cast<size_t>(k), nullptr);
    run.target = run.started = run.completed = 0;
    int64_t before, made, sent;
    {
        AllocWindow w;
        before = w.live();
        for (auto &p : pkts) {
            if (qn_packet_create_authn_request(run.conn, &p, user_name, user_password) != 0) {
                run.error = "packet: " + conn_error(run.conn);
                for (auto *q : pkts)
                    qn_packet_destroy(q);  // NULL for those not made
                return;
            }
        }
        made = w.live();
        s.packet_allocs = w.per(static_cast<uint64_t>(k));
        for (auto *p : pkts)
            run.start(p);
        sent = w.live();
    }
    // The engine's sockets are listed while they have requests.
    qn_async_fd fds[8];
    size_t nfds = qn_async_fds(run.conn, fds, 8);
    for (size_t i = 0; i < std::min<size_t>(nfds, 8); i++)
        size_receive_buffer(fds[i].fd);
    run.finish(driver);
    s.bytes_per_outstanding = static_cast<double>(sent - before) / k;
    s.engine_bytes = static_cast<double>(sent - made) / k;
}

Sample async_run(const char *realm, int k, Driver &driver, uint64_t n)
{
    Sample s;
    AsyncRun run;
    if (qn_conn_create(context, &run.conn, realm) != 0) {
        s.error = "qn_conn_create failed";
        return s;
    }
    const timeval attempt{1, 0};
    if (driver.attach(run.conn) != 0 || qn_async_set_schedule(run.conn, &attempt, 3) != 0) {
        s.error = "driver: " + conn_error(run.conn);
    } else {
        run.run(driver, static_cast<uint64_t>(k), k);  // sockets, streams, handshakes
        if (run.error.empty())
            measure_outstanding(run, driver, k, s);
        if (run.error.empty()) {
            AllocWindow w;
            Timer timer;
            run.run(driver, n, k);
            timer.finish(s, run.verified);
            s.allocs_per_request = w.per(run.started);
        }
        s.error = run.error;
    }
    qn_conn_destroy(run.conn);
    return s;
}

// One blocking request after another on a connection of realm udp.
Sample blocking_run(uint64_t n)
{
    Sample s;
    qn_connection *conn = nullptr;
    if (qn_conn_create(context, &conn, "udp") != 0) {
        s.error = "qn_conn_create failed";
        return s;
    }
    auto one = [&] {
        qn_request *req = nullptr;
        qn_packet *resp = nullptr;
        int rc = qn_request_create_authn(conn, &req, user_name, user_password);
        if (rc == 0)
            rc = qn_request_send(req, &resp);
        bool ok = rc == 0 && qn_packet_code(resp) == 2 && qn_packet_find_avp(resp, 18, 0);
        if (!ok && s.error.empty())
            s.error = "qn_request_send: " + conn_error(conn);
        if (resp)
            qn_packet_destroy(resp);
        qn_request_destroy(req);
        return ok;
    };
    uint64_t done = 0;
    if (one()) {
        AllocWindow w;
        Timer timer;
        while (done < n && one())
            done++;
        timer.finish(s, done);
        s.allocs_per_request = w.per(done);
    }
    qn_conn_destroy(conn);
    return s;
}

// ---- radclient -------------------------------------------------------------------------------

constexpr int radclient_parallel = 128;

bool have_radclient() { return system("command -v radclient >/dev/null 2>&1") == 0; }

// radclient -p 128 with n requests: an input of 128 requests, each sent n / 128 times (-c), so
// that 128 are in flight. Its CPU time is the child's whole (start-up included).
Sample radclient_run(uint16_t port, uint64_t n)
{
    Sample s;
    const uint64_t each = std::max<uint64_t>(1, n / radclient_parallel);
    char in_path[] = "/tmp/quelna-async-bench-in-XXXXXX";
    char out_path[] = "/tmp/quelna-async-bench-out-XXXXXX";
    int in_fd = mkstemp(in_path), out_fd = mkstemp(out_path);
    {
        std::ofstream in(in_path);
        for (int i = 0; i < radclient_parallel; i++)
            in << "User-Name = " << user_name << ", User-Password = " << user_password
               << ", Message-Authenticator = 0x00\n\n";
    }
    const std::string count = std::to_string(each), par = std::to_string(radclient_parallel),
                      target = "127.0.0.1:" + std::to_string(port);
    const char *argv[] = {"radclient", "-s", "-q", "-p", par.c_str(), "-c", count.c_str(),
                          "-r", "2", "-t", "2", "-f", in_path, target.c_str(), "auth",
                          shared_secret, nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    posix_spawn_file_actions_adddup2(&fa, out_fd, 2);
    pid_t pid;
    rusage ru{};
    int status = -1;
    const double t0 = now();
    if (posix_spawnp(&pid, "radclient", &fa, nullptr, const_cast<char **>(argv), environ) == 0)
        wait4(pid, &status, 0, &ru);
    s.wall = now() - t0;
    posix_spawn_file_actions_destroy(&fa);
    s.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    std::ifstream out(out_path);
    std::stringstream text;
    text << out.rdbuf();
    // The summary (-s) counts the Access-Accepts that passed radclient's checks.
    const std::string t = text.str();
    const size_t at = t.find_first_of("0123456789", std::min(t.find("Accepted"), t.size()));
    const uint64_t passed = at == std::string::npos ? 0 : strtoull(t.c_str() + at, nullptr, 10);
    s.replies = passed;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || passed != each * radclient_parallel)
        s.error = "radclient: status " + std::to_string(status) + ", " + std::to_string(passed) +
                  " of " + std::to_string(each * radclient_parallel) + " accepted: " +
                  t.substr(0, 200);
    close(in_fd);
    close(out_fd);
    unlink(in_path);
    unlink(out_path);
    return s;
}

// ---- rows, placements, table -----------------------------------------------------------------

struct Servers {
    UdpResponder udp;
    TlsIdentity identity;
    StreamResponder tcp, tls{identity.server_ctx()};
    EventBaseDriver event_base;
    PollDriver poll;
};

struct Row {
    std::string name;
    int k;
    std::function<Sample(Servers &, uint64_t n)> run;
    bool library = false;
};

std::vector<Row> rows(bool radclient)
{
    std::vector<Row> r;
    for (int k : {1, 16, 64, 256}) {
        r.push_back({"raw UDP floor", k, [k](Servers &sv, uint64_t n) {
                         return raw_run(sv.udp.port(), k, false, n);
                     }});
        r.push_back({"raw UDP floor + MD5", k, [k](Servers &sv, uint64_t n) {
                         return raw_run(sv.udp.port(), k, true, n);
                     }});
    }
    auto library = [&](const char *name, const char *realm, int k, bool event_base) {
        r.push_back({name, k,
                     [=](Servers &sv, uint64_t n) {
                         Driver &d = event_base ? static_cast<Driver &>(sv.event_base) : sv.poll;
                         return async_run(realm, k, d, n);
                     },
                     true});
    };
    for (int k : {1, 16, 64, 256}) {
        library("lib async UDP, event base", "udp", k, true);
        library("lib async UDP, process", "udp", k, false);
    }
    library("lib async TCP, event base", "tcp", 256, true);
    library("lib async TCP, process", "tcp", 256, false);
    library("lib async TLS, event base", "tls", 256, true);
    library("lib async TLS, process", "tls", 256, false);
    r.push_back({"lib blocking UDP", 1, [](Servers &, uint64_t n) { return blocking_run(n); },
                 true});
    if (radclient)
        r.push_back({"radclient -p 128", radclient_parallel,
                     [](Servers &sv, uint64_t n) { return radclient_run(sv.udp.port(), n); }});
    return r;
}

struct Placement {
    const char *name;
    int client_cpu, responder_cpu;
};

void place(Servers &sv, const Placement &p)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(p.client_cpu, &set);
    sched_setaffinity(0, sizeof(set), &set);  // this thread: the client (and radclient)
    for (Responder *r : std::initializer_list<Responder *>{&sv.udp, &sv.tcp, &sv.tls})
        r->pin(p.responder_cpu);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Figures {
    double rate, rate_min, rate_max, cpu_us, allocs, packet_allocs, bytes, engine_bytes;
    std::string error;
};

Figures summarise(const std::vector<Sample> &samples)
{
    Figures f{};
    std::vector<double> rate, cpu, allocs, packet_allocs, bytes, engine;
    for (const auto &s : samples) {
        if (!s.error.empty()) {
            f.error = s.error;
            continue;
        }
        rate.push_back(static_cast<double>(s.replies) / s.wall);
        cpu.push_back(s.cpu / static_cast<double>(s.replies) * 1e6);
        allocs.push_back(s.allocs_per_request);
        packet_allocs.push_back(s.packet_allocs);
        bytes.push_back(s.bytes_per_outstanding);
        engine.push_back(s.engine_bytes);
    }
    if (rate.empty())
        return f;
    f.rate = median(rate);
    f.rate_min = *std::min_element(rate.begin(), rate.end());
    f.rate_max = *std::max_element(rate.begin(), rate.end());
    f.cpu_us = median(cpu);
    f.allocs = median(allocs);
    f.packet_allocs = median(packet_allocs);
    f.bytes = median(bytes);
    f.engine_bytes = median(engine);
    return f;
}

// Per placement: the ratios the targets ask for, from the cheaper of the two drivers.
void print_ratios(const char *placement, const std::map<std::string, Figures> &f)
{
    auto get = [&](const std::string &row) -> const Figures * {
        auto it = f.find(std::string(placement) + "|" + row);
        return it == f.end() || it->second.rate == 0 ? nullptr : &it->second;
    };
    const Figures *ev = get("lib async UDP, event base|256");
    const Figures *pr = get("lib async UDP, process|256");
    const Figures *lib = ev && (!pr || ev->cpu_us <= pr->cpu_us) ? ev : pr;
    const Figures *floor = get("raw UDP floor + MD5|256"), *rad = get("radclient -p 128|128");
    if (!lib) {
        printf("%s: no library figure at 256\n", placement);
        return;
    }
    printf("%s (%s): CPU per reply at 256 / floor with MD5: ", placement,
           lib == ev ? "event base" : "qn_async_process");
    if (floor)
        printf("%.2f (target <= 2)", lib->cpu_us / floor->cpu_us);
    else
        printf("n/a");
    printf("; throughput / radclient: ");
    if (rad)
        printf("%.2f (target >= 3)\n", lib->rate / rad->rate);
    else
        printf("n/a (radclient not run)\n");
}

struct Options {
    int rounds = 5;
    double seconds = 0.3;
    std::string only, placement;
};

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            size_t l = strlen(name);
            return a.compare(0, l, name) == 0 ? argv[i] + l : nullptr;
        };
        if (const char *v = value("--rounds="))
            o.rounds = std::max(1, atoi(v));
        else if (const char *v = value("--seconds="))
            o.seconds = std::max(0.01, atof(v));
        else if (const char *v = value("--only="))
            o.only = v;
        else if (const char *v = value("--placement="))
            o.placement = v;
        else if (const char *v = value("--rcvbuf="))
            client_rcvbuf = std::max(0, atoi(v));
        else {
            fprintf(stderr, "usage: %s [--rounds=N] [--seconds=S] [--only=TEXT] "
                            "[--placement=one|two] [--rcvbuf=BYTES]\n", argv[0]);
            exit(2);
        }
    }
    return o;
}

std::string write_config(const Servers &sv)
{
    auto server = [](uint16_t port) {
        return " server { hostname = \"127.0.0.1\" service = \"" + std::to_string(port) +
               "\" secret = \"" + shared_secret + "\" }\n";
    };
    std::string text = "realm udp {\n type = \"UDP\"\n" + server(sv.udp.port()) + "}\n" +
                       "realm tcp {\n type = \"TCP\"\n" + server(sv.tcp.port()) + "}\n" +
                       "realm tls {\n type = \"TLS\"\n cacertfile = \"" +
                       sv.identity.ca_file() + "\"\n" + server(sv.tls.port()) + "}\n";
    char path[] = "/tmp/quelna-async-bench-conf-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        abort();
    close(fd);
    return path;
}

}  // namespace

int main(int argc, char **argv)
{
    const Options opt = parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    Servers sv;
    const std::string conf = write_config(sv);
    if (qn_context_create(&context) != 0 || qn_context_read_config(context, conf.c_str()) != 0) {
        qn_error *e = qn_err_ctx_pop(context);
        fprintf(stderr, "configuration: %s\n", e ? qn_err_msg(e) : "no context");
        return 1;
    }
    unlink(conf.c_str());

    const bool radclient = have_radclient();
    if (!radclient)
        printf("radclient is not installed: no radclient row\n");
    std::vector<Row> all = rows(radclient);
    std::vector<Placement> placements;
    if (opt.placement != "two")
        placements.push_back({"one CPU", 0, 0});
    if (opt.placement != "one" && sysconf(_SC_NPROCESSORS_ONLN) > 1)
        placements.push_back({"two CPUs", 0, 1});

    // Calibration: a short run of each row gives the count that lasts about --seconds.
    std::vector<std::pair<size_t, size_t>> order;  // placement, row
    std::map<size_t, uint64_t> count;
    for (size_t r = 0; r < all.size(); r++) {
        const std::string label = all[r].name + " " + std::to_string(all[r].k);
        if (label.find(opt.only) == std::string::npos)
            continue;
        place(sv, placements[0]);
        // radclient runs at least a second, so that its start-up stays a small share.
        const bool external = all[r].name.starts_with("radclient");
        Sample s = all[r].run(sv, external ? 12800 : 2000);
        double rate = s.error.empty() ? static_cast<double>(s.replies) / s.wall : 1000;
        double seconds = external ? std::max(1.0, opt.seconds) : opt.seconds;
        count[r] = std::max<uint64_t>(1000, static_cast<uint64_t>(rate * seconds));
        for (size_t p = 0; p < placements.size(); p++)
            order.push_back({p, r});
    }
    if (std::any_of(order.begin(), order.end(),
                    [&](auto &o) { return all[o.second].name.starts_with("radclient"); })) {
        // Its start-up (dictionaries) is in its figures: how much, with 128 requests.
        const Sample s = radclient_run(sv.udp.port(), radclient_parallel);
        printf("radclient with 128 requests: %.0f ms wall, %.0f ms CPU%s\n", s.wall * 1e3,
               s.cpu * 1e3, s.error.empty() ? "" : " (failed)");
    }
    std::map<std::pair<size_t, size_t>, std::vector<Sample>> samples;
    std::mt19937 shuffle(7);
    for (int round = 0; round < opt.rounds; round++) {
        std::shuffle(order.begin(), order.end(), shuffle);
        for (auto [p, r] : order) {
            place(sv, placements[p]);
            samples[{p, r}].push_back(all[r].run(sv, count[r]));
        }
        fprintf(stderr, "round %d of %d done\n", round + 1, opt.rounds);
    }

    printf("\nclient UDP receive buffers: %s\n",
           client_rcvbuf ? std::to_string(client_rcvbuf).c_str() : "system default");
    printf("%-9s %-27s %4s %19s %9s %11s %16s\n", "placement", "row", "K",
           "replies/s (min..max)", "CPU us/r", "allocs/r(p)", "B/outst (engine)");
    std::map<std::string, Figures> figures;
    for (size_t p = 0; p < placements.size(); p++) {
        for (size_t r = 0; r < all.size(); r++) {
            auto it = samples.find({p, r});
            if (it == samples.end())
                continue;
            const Figures f = summarise(it->second);
            figures[std::string(placements[p].name) + "|" + all[r].name + "|" +
                    std::to_string(all[r].k)] = f;
            printf("%-9s %-27s %4d ", placements[p].name, all[r].name.c_str(), all[r].k);
            if (f.rate == 0) {
                printf("FAILED: %s\n", f.error.c_str());
                continue;
            }
            printf("%7.0f (%5.0f..%6.0f) %9.2f", f.rate, f.rate_min, f.rate_max, f.cpu_us);
            if (all[r].library)
                printf(" %5.1f", f.allocs);
            if (all[r].library && f.packet_allocs >= 0)
                printf(" (%3.1f)", f.packet_allocs);
            else if (all[r].library)
                printf("      ");
            if (all[r].library && f.bytes >= 0)
                printf(" %7.0f (%6.0f)", f.bytes, f.engine_bytes);
            if (!f.error.empty())
                printf("  (some rounds failed: %s)", f.error.c_str());
            printf("\n");
        }
    }
    printf("\n");
    for (const auto &p : placements)
        print_ratios(p.name, figures);
    for (auto [name, r] : {std::pair<const char *, Responder *>{"UDP", &sv.udp},
                           {"TCP", &sv.tcp}, {"TLS", &sv.tls}})
        if (r->counts().refused)
            printf("the %s responder refused %llu requests (bad signature or password)\n", name,
                   static_cast<unsigned long long>(r->counts().refused.load()));
    qn_context_destroy(context);
    return 0;
}
