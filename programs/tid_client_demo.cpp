// tid_client_demo: sends one TID request to a TID server and, when the answer carries a server
// entry, derives the Diffie-Hellman key it now shares with that server and prints it.
#include <openssl/dh.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>

#include "hb_dh.h"
#include "hb_tid.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

void tidc_resp_handler(TIDC_INSTANCE * /*tidc*/, TID_REQ *req, TID_RESP *resp, void * /*cookie*/)
{
    std::printf("Response received! Realm = %s, Community = %s.\n",
                resp->realm != nullptr ? resp->realm->buf : "(null)",
                resp->comm != nullptr ? resp->comm->buf : "(null)");
    if (resp->result != 0) {
        std::fprintf(stderr, "tidc_resp_handler: Response is an error.\n");
        return;
    }
    if (resp->servers == nullptr || resp->num_servers == 0) {
        std::fprintf(stderr, "tidc_resp_handler: Response does not contain server info.\n");
        return;
    }
    const DH *server_dh = resp->servers[0].aa_server_dh;
    unsigned char *key = nullptr;
    const int key_len = hb_compute_dh_key(
        &key, server_dh != nullptr ? DH_get0_pub_key(server_dh) : nullptr, req->tidc_dh);
    if (key_len < 0) {
        std::printf("tidc_resp_handler: Error computing client key.\n");
        return;
    }
    std::printf("Client Key Generated (len = %d):\n", key_len);
    for (int i = 0; i < key_len; ++i)
        std::printf("%.2x", key[i]);
    std::printf("\n");
    std::free(key);
}

}  // namespace

int main(int argc, char **argv)
{
    hb_log_open();
    talloc_set_log_stderr();
    hb_log_threshold(LOG_CRIT);
    hb_console_threshold(LOG_DEBUG);
    if (argc < 5 || argc > 6) {
        std::printf("Usage: %s <server> <RP-realm> <target-realm> <community> [<port>]\n",
                    argv[0]);
        std::exit(1);
    }
    const char *server = argv[1];
    const char *rp_realm = argv[2];
    const char *realm = argv[3];
    const char *community = argv[4];
    const int port = argc == 6 ? static_cast<int>(std::strtol(argv[5], nullptr, 10)) : HB_TID_PORT;

    std::printf("TIDC Client:\nServer = %s, rp_realm = %s, target_realm = %s, community = %s, "
                "port = %i\n",
                server, rp_realm, realm, community, port);

    TIDC_INSTANCE *tidc = tidc_create();
    if (tidc == nullptr) {
        std::printf("Error creating TIDC instance.\n");
        return 1;
    }
    // Failure paths release the instance too, so that nothing is left behind at exit.
    tidc->client_dh = hb_create_dh_params(nullptr, 0);
    if (tidc->client_dh == nullptr) {
        std::printf("Error creating client DH params.\n");
        tidc_destroy(tidc);
        return 1;
    }
    gss_ctx_id_t gssctx = GSS_C_NO_CONTEXT;
    const int conn =
        tidc_open_connection(tidc, server, static_cast<unsigned int>(port), &gssctx);
    if (conn == -1) {
        std::printf("Error in tidc_open_connection.\n");
        tidc_destroy(tidc);
        return 1;
    }
    const int rc = tidc_send_request(tidc, conn, gssctx, rp_realm, realm, community,
                                     &tidc_resp_handler, nullptr);
    if (rc < 0) {
        std::printf("Error in tidc_send_request, rc = %d.\n", rc);
        tidc_destroy(tidc);
        return 1;
    }
    tidc_destroy(tidc);
    return 0;
}

#pragma GCC diagnostic pop
