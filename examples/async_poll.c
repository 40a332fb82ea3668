/* async_poll: Access-Requests in flight on one connection, driven by a plain poll(2) loop.
 *
 *   async_poll CONFIG-FILE REALM [COUNT]
 *
 * Sends COUNT (default 100) Access-Requests, at most 32 outstanding at a time, prints one
 * summary line and exits 0 when every request was accepted. The pattern fits any loop that
 * is not libevent: each round, ask the engine which sockets to watch (qn_async_fds) and when
 * it next needs time (qn_async_timeout), wait, then hand it each ready socket
 * (qn_async_process(conn, fd, events)), or only the time (qn_async_process(conn, -1, 0)).
 * Completion callbacks run from qn_async_process. */
#define _POSIX_C_SOURCE 200809L

#include "batch.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>

/* What poll reported, in the engine's terms. An error or hang-up counts as readiness for what
 * the engine asked for: it reads the error where it waits. */
static int readiness(short revents, int wanted)
{
    if (revents & (POLLERR | POLLHUP))
        return wanted;
    return (revents & POLLIN ? QN_ASYNC_READ : 0) | (revents & POLLOUT ? QN_ASYNC_WRITE : 0);
}

/* Runs the engine until nothing is outstanding (or poll fails). */
static void run_loop(qn_connection *conn)
{
    qn_async_fd *fds = NULL;
    struct pollfd *pfds = NULL;
    size_t cap = 0, n, i;

    while (qn_async_outstanding(conn) > 0) {
        struct timeval tv;
        int wait_ms = -1, ready;

        /* The set changes as streams open and close: ask again every round. */
        while ((n = qn_async_fds(conn, fds, cap)) > cap) {
            cap = n;
            fds = realloc(fds, cap * sizeof *fds);
            pfds = realloc(pfds, cap * sizeof *pfds);
            if (!fds || !pfds)
                abort();
        }
        for (i = 0; i < n; i++) {
            pfds[i].fd = fds[i].fd;
            pfds[i].events = (short)((fds[i].events & QN_ASYNC_READ ? POLLIN : 0) |
                                     (fds[i].events & QN_ASYNC_WRITE ? POLLOUT : 0));
        }
        /* Round up, so that the wait never ends just before the timer is due. */
        if (qn_async_timeout(conn, &tv))
            wait_ms = (int)(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000);

        ready = poll(pfds, n, wait_ms);
        if (ready < 0 && errno != EINTR) {
            perror("async_poll: poll");
            break;
        }
        if (ready <= 0) {
            qn_async_process(conn, -1, 0); /* the time-out is due: retransmit or give up */
            continue;
        }
        for (i = 0; i < n; i++) {
            /* Fails (QNE_INVAL) for a socket that an earlier callback of this round closed. */
            if (pfds[i].revents &&
                qn_async_process(conn, pfds[i].fd, readiness(pfds[i].revents, fds[i].events)))
                qn_err_free(qn_err_conn_pop(conn));
        }
    }
    free(fds);
    free(pfds);
}

int main(int argc, char **argv)
{
    struct batch b = {0};
    int status = batch_open(&b, "async_poll", argc, argv);

    if (status != 0)
        return status;
    batch_fill(&b); /* later requests start from the completion callback */
    run_loop(b.conn);
    return batch_close(&b);
}
