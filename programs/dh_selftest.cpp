// dh_selftest: runs both halves of a Diffie-Hellman exchange in one process with the key module
// and checks that the two sides derive the same key. Exit status 0 only when they do.
#include <openssl/dh.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "hb_dh.h"

// DHparams_print_fp and DH_get0_pub_key belong to the deprecated DH interface the module keeps.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

struct RecordFree {
    void operator()(DH *dh) const { hb_destroy_dh_params(dh); }
};
using Record = std::unique_ptr<DH, RecordFree>;

struct KeyFree {
    void operator()(unsigned char *key) const { std::free(key); }
};
using Key = std::unique_ptr<unsigned char, KeyFree>;

// Octets as "%2x" each, no separator, then a newline.
void print_key(const char *title, int len, const unsigned char *key)
{
    std::printf(title, len);
    for (const unsigned char octet : std::span(key, len > 0 ? static_cast<size_t>(len) : 0)) {
        std::printf("%2x", octet);
    }
    std::printf("\n");
}

int run()
{
    const Record client(hb_create_dh_params(nullptr, 0));
    if (!client) {
        std::printf("Error: Can't create client DH params, exiting.\n");
        return EXIT_FAILURE;
    }
    std::fputs("Client DH Parameters:\n", stderr);
    DHparams_print_fp(stdout, client.get());
    std::fputs("\n", stderr);

    const Record server(hb_create_matching_dh(nullptr, 0, client.get()));
    if (!server) {
        std::printf("Error: Can't create server server DH params, exiting.\n");
        return EXIT_FAILURE;
    }
    std::printf("Server DH Parameters:\n");
    DHparams_print_fp(stdout, server.get());
    std::printf("\n");

    unsigned char *raw = nullptr;
    const int client_len = hb_compute_dh_key(&raw, DH_get0_pub_key(server.get()), client.get());
    const Key client_key(raw);
    raw = nullptr;
    const int server_len = hb_compute_dh_key(&raw, DH_get0_pub_key(client.get()), server.get());
    const Key server_key(raw);
    if (server_len < 0) {
        std::printf("Error: Can't compute server key.\n");
        return EXIT_FAILURE;
    }

    print_key("Client Key Generated (len = %d):\n", client_len, client_key.get());
    print_key("Server Key Generated (len = %d):\n", server_len, server_key.get());

    // A failed client derivation has no key and a negative length, so it can never match.
    if (client_len > 0 && client_len == server_len &&
        std::memcmp(client_key.get(), server_key.get(), static_cast<size_t>(client_len)) == 0) {
        std::printf("Success: Identical keys generated, key length = %d!\n", client_len);
        return EXIT_SUCCESS;
    }
    std::printf("Error: Different keys generated!\n");
    return EXIT_FAILURE;
}

}  // namespace

#pragma GCC diagnostic pop

int main()
{
    return run();
}
