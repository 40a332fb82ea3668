/* batch: the part both examples share. A run of Access-Requests for one realm, at most
 * BATCH_IN_FLIGHT outstanding at a time; each completion counts its outcome and starts the next
 * request. The examples differ only in the event loop that drives the connection. */
#ifndef QUELNA_EXAMPLES_BATCH_H
#define QUELNA_EXAMPLES_BATCH_H

#include <quelna/quelna.h>

#define BATCH_IN_FLIGHT 32

struct batch {
    qn_context *ctx;
    qn_connection *conn;
    long total, started, accepted, rejected, failed;
    void (*finished)(void *arg); /* optional: runs once the last request has completed */
    void *finished_arg;
};

/* Reads the arguments CONFIG-FILE REALM [COUNT] (default 100 requests) and opens a connection
 * to the realm. Returns 0, or an exit status after printing why and releasing everything
 * (2 usage, 3 configuration or connection). */
int batch_open(struct batch *b, const char *prog, int argc, char **argv);

/* Starts requests until BATCH_IN_FLIGHT are outstanding or all have been started. */
void batch_fill(struct batch *b);

/* Prints the summary line, destroys the connection (which completes whatever is still
 * outstanding) and the context. Returns the exit status: 0 when every request was accepted,
 * else 1. */
int batch_close(struct batch *b);

#endif
