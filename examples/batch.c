/* batch: see batch.h. */
#include "batch.h"

#include <stdio.h>
#include <stdlib.h>

static const char *prog_name = "batch";

/* Prints the message of an error taken out of a slot, and releases it. */
static void report(const char *what, qn_error *err)
{
    fprintf(stderr, "%s: %s: %s\n", prog_name, what, err ? qn_err_msg(err) : "failed");
    if (err)
        qn_err_free(err);
}

static void start_next(struct batch *b);

/* Completion of one request: runs from the call that drives the engine. Both packets are ours
 * now: the request we gave to qn_async_send, and the response (NULL unless code is 0). */
static void done(qn_async_request *areq, int code, const char *message, qn_packet *request,
                 qn_packet *response, void *arg)
{
    struct batch *b = arg;

    (void)areq;
    if (code != QNE_OK) {
        if (b->failed++ == 0) /* the first reason; the summary counts the others */
            fprintf(stderr, "%s: request failed: %s\n", prog_name, message);
    } else if (qn_packet_code(response) == 2) { /* Access-Accept */
        b->accepted++;
    } else {
        b->rejected++;
    }
    qn_packet_destroy(response);
    qn_packet_destroy(request);
    start_next(b);
    if (b->accepted + b->rejected + b->failed == b->total && b->finished)
        b->finished(b->finished_arg);
}

/* Starts one more request, if any is left. One that cannot start ends the run: it and those
 * not started yet count as failed. */
static void start_next(struct batch *b)
{
    qn_packet *pkt = NULL;

    if (b->started == b->total)
        return;
    b->started++;
    if (qn_packet_create_authn_request(b->conn, &pkt, "bob", "hello") == QNE_OK &&
        qn_async_send(b->conn, pkt, done, b, NULL) == QNE_OK)
        return; /* the packet must live until done() has run */
    report("cannot start a request", qn_err_conn_pop(b->conn));
    qn_packet_destroy(pkt);
    b->failed += b->total - b->started + 1;
    b->started = b->total;
}

void batch_fill(struct batch *b)
{
    while (b->started < b->total && qn_async_outstanding(b->conn) < BATCH_IN_FLIGHT)
        start_next(b);
}

int batch_open(struct batch *b, const char *prog, int argc, char **argv)
{
    prog_name = prog;
    b->total = argc == 4 ? atol(argv[3]) : 100;
    if (argc < 3 || argc > 4 || b->total < 1) {
        fprintf(stderr, "usage: %s CONFIG-FILE REALM [COUNT]\n", prog);
        return 2;
    }
    if (qn_context_create(&b->ctx) != QNE_OK) {
        fprintf(stderr, "%s: out of memory\n", prog);
        return 3;
    }
    if (qn_context_read_config(b->ctx, argv[1]) != QNE_OK)
        report("configuration", qn_err_ctx_pop(b->ctx));
    else if (qn_conn_create(b->ctx, &b->conn, argv[2]) != QNE_OK)
        report("connection", qn_err_ctx_pop(b->ctx));
    else
        return 0;
    qn_context_destroy(b->ctx);
    return 3;
}

int batch_close(struct batch *b)
{
    int status = b->accepted == b->total ? 0 : 1;

    printf("%ld requests: %ld accepted, %ld rejected, %ld failed\n", b->total, b->accepted,
           b->rejected, b->failed);
    b->total = b->started; /* completions run by qn_conn_destroy start nothing more */
    b->finished = NULL;
    qn_conn_destroy(b->conn);
    qn_context_destroy(b->ctx);
    return status;
}
