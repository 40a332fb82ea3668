/* send_request: the smallest complete use of libquelna. Reads a configuration file, sends one
 * Access-Request (User-Name and User-Password, hidden by the library) to a realm's server,
 * waits for the verified answer and prints it.
 *
 *   send_request CONFIG-FILE REALM USER PASSWORD
 *
 * Exit status: 0 Access-Accept, 1 another answer, 2 usage, 3 no answer or another failure. */
#include <quelna/codec.h>
#include <quelna/quelna.h>

#include <stdio.h>

/* Prints the message of an error taken out of a slot, and releases it. */
static void report(const char *what, qn_error *err)
{
    fprintf(stderr, "send_request: %s: %s\n", what, err ? qn_err_msg(err) : "failed");
    if (err)
        qn_err_free(err);
}

int main(int argc, char **argv)
{
    qn_context *ctx = NULL;
    qn_connection *conn = NULL;
    qn_request *req = NULL;
    qn_packet *resp = NULL;
    struct lr_value_pair **vps = NULL;
    const struct lr_value_pair *vp;
    char line[1024];
    unsigned int code;
    int status = 3;

    if (argc != 5) {
        fprintf(stderr, "usage: send_request CONFIG-FILE REALM USER PASSWORD\n");
        return 2;
    }
    if (qn_context_create(&ctx) != QNE_OK)
        return 3;
    if (qn_context_read_config(ctx, argv[1]) != QNE_OK) {
        report("configuration", qn_err_ctx_pop(ctx));
        goto out;
    }
    if (qn_conn_create(ctx, &conn, argv[2]) != QNE_OK) {
        report("connection", qn_err_ctx_pop(ctx));
        goto out;
    }
    if (qn_request_create_authn(conn, &req, argv[3], argv[4]) != QNE_OK) {
        report("request", qn_err_conn_pop(conn));
        goto out;
    }
    /* Sends, retransmits after time-outs, and verifies the answer against the request. */
    if (qn_request_send(req, &resp) != QNE_OK) {
        report("send", qn_err_conn_pop(conn));
        goto out;
    }

    code = qn_packet_code(resp);
    printf("%s\n", code <= LR_MAX_PACKET_CODE ? lr_packet_codes[code] : "?");
    qn_packet_avps(resp, &vps);
    for (vp = *vps; vp; vp = qn_avp_next_const(vp))
        if (lr_vp_snprintf(line, sizeof line, vp) > 0)
            printf("\t%s\n", line);
    status = code == 2 ? 0 : 1;

out:
    qn_packet_destroy(resp);
    qn_request_destroy(req);
    if (conn)
        qn_conn_destroy(conn);
    qn_context_destroy(ctx);
    return status;
}
