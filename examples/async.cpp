// async: Access-Requests in flight on one connection, run by an application's libevent loop.
//   async CONFIG-FILE REALM [COUNT]
// Sends COUNT (default 100) Access-Requests, at most 32 outstanding at a time, prints one
// summary line and exits 0 when every request was accepted. Each completion counts its answer
// and starts the next request; all of it runs inside event_base_dispatch.
#include <quelna/quelna.hpp>

#include <event2/event.h>

#include <cstdlib>
#include <iostream>
#include <memory>

namespace {

constexpr size_t in_flight = 32;

struct Batch {
    event_base *base;
    long total, started = 0, accepted = 0, rejected = 0, failed = 0;
    quelna::Connection *conn = nullptr;

    void fill()
    {
        while (started < total && conn->outstanding() < in_flight)
            start();
    }

    void start()
    {
        started++;
        try {
            conn->send_async(quelna::Packet::access_request(*conn, "bob", "hello"),
                            [this](quelna::Completion done) { count(done); });
        } catch (const quelna::Error &e) {  // it and those not started yet count as failed
            std::cerr << "async: cannot start a request: " << e.what() << '\n';
            failed += total - started + 1;
            started = total;
        }
    }

    void count(const quelna::Completion &done)
    {
        if (!done.ok()) {
            if (failed++ == 0)  // the first reason; the summary counts the others
                std::cerr << "async: request failed: " << done.message << '\n';
        } else if (done.response.code() == QN_CODE_ACCESS_ACCEPT) {
            accepted++;
        } else {
            rejected++;
        }
        fill();
        if (accepted + rejected + failed == total)
            event_base_loopexit(base, nullptr);
    }
};

}  // namespace

int main(int argc, char **argv)
{
    const long total = argc == 4 ? std::atol(argv[3]) : 100;
    if (argc < 3 || argc > 4 || total < 1) {
        std::cerr << "usage: async CONFIG-FILE REALM [COUNT]\n";
        return 2;
    }
    // The base goes last: the connection's events belong to it.
    const std::unique_ptr<event_base, void (*)(event_base *)> base(event_base_new(),
                                                                   event_base_free);
    try {
        quelna::Context ctx;
        ctx.read_config(argv[1]);
        Batch b{base.get(), total};  // outlives the connection, whose end completes the rest
        quelna::Connection conn(ctx, argv[2]);
        conn.use_event_base(base.get());
        b.conn = &conn;
        b.fill();
        if (conn.outstanding() > 0)
            event_base_dispatch(base.get());
        conn.rethrow_pending();
        std::cout << total << " requests: " << b.accepted << " accepted, " << b.rejected
                  << " rejected, " << b.failed << " failed\n";
        return b.accepted == total ? 0 : 1;
    } catch (const quelna::Error &e) {
        std::cerr << "async: " << e.what() << '\n';
        return 3;
    }
}
