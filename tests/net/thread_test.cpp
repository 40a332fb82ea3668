// Connections of separate contexts used by separate threads at the same time (run under
// ThreadSanitizer by the test script): three over UDP to one responder, one over TLS.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "async_batch.h"
#include "stream_responder.h"

namespace {

using quelna::test::Batch;
using quelna::test::echo;
using quelna::test::Octets;
using quelna::test::RealmConnection;
using quelna::test::secret;
using quelna::test::StreamResponder;
using quelna::test::StreamSession;
using quelna::test::UdpResponder;

TEST(Threads, ConnectionsOfSeparateContextsRunTogether)
{
    UdpResponder udp("127.0.0.1", [](const Octets &req, int) { return echo(req); });
    StreamResponder tls(StreamResponder::Kind::Tls, [](StreamSession &s) {
        while (auto req = s.read_packet())
            s.write(echo(*req));
    });
    constexpr int per_thread = 300;
    std::vector<std::thread> threads;
    std::vector<int> answered(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            const bool is_tls = t == 3;
            RealmConnection rc(is_tls ? "TLS" : "UDP", is_tls ? "localhost" : "127.0.0.1",
                               is_tls ? tls.port() : udp.port(), secret,
                               is_tls ? "cacertfile = \"" + StreamResponder::ca_file() + "\""
                                      : "");
            Batch run{rc.conn, {}};
            for (int i = 0; i < per_thread; i++)
                run.start("t" + std::to_string(t) + "-" + std::to_string(i));
            run.poll_until_done(std::chrono::seconds(60));  // a guard against hanging
            for (const auto &[user, o] : run.by_user)
                answered[static_cast<size_t>(t)] +=
                    o.calls == 1 && o.code == 0 && o.reply == "hello " + user;
        });
    }
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < 4; t++)
        EXPECT_EQ(answered[static_cast<size_t>(t)], per_thread) << "thread " << t;
}

}  // namespace
