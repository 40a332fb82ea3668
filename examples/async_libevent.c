/* async_libevent: Access-Requests in flight on one connection, run by an application's
 * libevent loop.
 *
 *   async_libevent CONFIG-FILE REALM [COUNT]
 *
 * Sends COUNT (default 100) Access-Requests, at most 32 outstanding at a time, prints one
 * summary line and exits 0 when every request was accepted. qn_async_use_event_base makes the
 * engine's sockets and timer events of the application's base; from then on everything,
 * completion callbacks included, runs inside event_base_dispatch, beside whatever other
 * events the application has on the same base. */
#include "batch.h"

#include <event2/event.h>

#include <stdio.h>

/* The last request has completed: leave event_base_dispatch. */
static void stop_loop(void *arg)
{
    event_base_loopexit(arg, NULL);
}

int main(int argc, char **argv)
{
    struct batch b = {0};
    struct event_base *base = event_base_new();
    int status;

    if (!base) {
        fprintf(stderr, "async_libevent: cannot create an event base\n");
        return 3;
    }
    status = batch_open(&b, "async_libevent", argc, argv);
    if (status != 0) {
        event_base_free(base);
        return status;
    }
    if (qn_async_use_event_base(b.conn, base) == QNE_OK) {
        b.finished = stop_loop;
        b.finished_arg = base;
        batch_fill(&b); /* later requests start from the completion callback */
        if (qn_async_outstanding(b.conn) > 0)
            event_base_dispatch(base);
    } else {
        qn_error *err = qn_err_conn_pop(b.conn);

        fprintf(stderr, "async_libevent: %s\n", err ? qn_err_msg(err) : "cannot use the base");
        if (err)
            qn_err_free(err);
    }
    /* The connection goes first: its events belong to the base. */
    status = batch_close(&b);
    event_base_free(base);
    return status;
}
