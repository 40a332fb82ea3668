// Asynchronous requests for tests: a batch of them on one connection, each remembering how it
// completed, driven with poll(2); and a responder's answer naming the user.
#pragma once

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>

#include "net_util.h"
#include "udp_responder.h"

namespace quelna::test {

inline const std::string secret = "responder-secret";

// The User-Name of a request (the client puts it right after the Message-Authenticator).
inline std::string user_of(const Octets &req)
{
    for (size_t i = 20; i + 2 <= req.size() && req[i + 1] >= 2; i += req[i + 1])
        if (req[i] == 1)
            return std::string(req.begin() + static_cast<long>(i) + 2,
                               req.begin() + static_cast<long>(i) + req[i + 1]);
    return "";
}

// An Access-Accept whose Reply-Message names the request's user.
inline Octets echo(const Octets &req)
{
    return make_response(req, 2, attr(18, "hello " + user_of(req)), secret, true);
}

// What each request's callback saw.
struct Outcome {
    int calls = 0;
    int code = -1;
    std::string message, reply;
};

struct Batch {
    qn_connection *conn;
    std::map<std::string, Outcome> by_user;

    static void done(qn_async_request *, int code, const char *message, qn_packet *request,
                     qn_packet *response, void *arg)
    {
        auto *o = static_cast<Outcome *>(arg);
        o->calls++;
        o->code = code;
        o->message = message ? message : "";
        if (response)
            o->reply = string_attr(response, 18);
        qn_packet_destroy(response);
        qn_packet_destroy(request);
    }

    int start(const std::string &user, qn_async_request **areq = nullptr)
    {
        qn_packet *pkt = nullptr;
        EXPECT_EQ(qn_packet_create_authn_request(conn, &pkt, user.c_str(), "pw"), 0);
        int rc = qn_async_send(conn, pkt, done, &by_user[user], areq);
        if (rc != 0)
            qn_packet_destroy(pkt);
        return rc;
    }

    // Drives the engine with poll(2) until nothing is outstanding or the time is up.
    void poll_until_done(std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (qn_async_outstanding(conn) > 0 && std::chrono::steady_clock::now() < end) {
            qn_async_fd fds[8];
            size_t n = std::min<size_t>(qn_async_fds(conn, fds, 8), 8);
            pollfd p[8];
            for (size_t i = 0; i < n; i++)
                p[i] = {fds[i].fd,
                        static_cast<short>(((fds[i].events & QN_ASYNC_READ) ? POLLIN : 0) |
                                           ((fds[i].events & QN_ASYNC_WRITE) ? POLLOUT : 0)),
                        0};
            struct timeval tv{};
            int wait = qn_async_timeout(conn, &tv) ? static_cast<int>(tv.tv_sec * 1000 +
                                                                     tv.tv_usec / 1000)
                                                   : 100;
            poll(p, n, std::min(wait, 100));
            bool any = false;
            for (size_t i = 0; i < n; i++) {
                int ev = ((p[i].revents & (POLLIN | POLLERR | POLLHUP)) ? QN_ASYNC_READ : 0) |
                         ((p[i].revents & (POLLOUT | POLLERR)) ? QN_ASYNC_WRITE : 0);
                if (ev) {
                    EXPECT_EQ(qn_async_process(conn, p[i].fd, ev), 0);
                    any = true;
                }
            }
            if (!any)
                qn_async_process(conn, -1, 0);
        }
    }

    // Every request completed once, accepted, with the answer meant for it.
    void expect_all_answered(size_t count)
    {
        EXPECT_EQ(by_user.size(), count);
        for (const auto &[user, o] : by_user) {
            EXPECT_EQ(o.calls, 1) << user;
            EXPECT_EQ(o.code, 0) << user << ": " << o.message;
            EXPECT_EQ(o.reply, "hello " + user);
        }
    }
};

}  // namespace quelna::test
