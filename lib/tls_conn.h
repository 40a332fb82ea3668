// Per-connection TLS: the pre-shared-key callback and OpenSSL error recording. tls_init_conn
// and tls_verify_cert are declared with the other transport set-up in net.h.
#ifndef QUELNA_TLS_CONN_H
#define QUELNA_TLS_CONN_H

#include <cstddef>
#include <cstdint>
#include <span>

#include <openssl/types.h>

#include "net.h"

/**
 * OpenSSL's PSK client callback: writes the identity (with its terminating zero) and the key of
 * the realm of the connection kept in the session's application data slot 0. Returns the key
 * length, or 0 (failing the handshake) after recording QNE_CRED on the connection.
 */
unsigned int psk_client_cb(SSL *ssl, const char *hint, char *identity,
                           unsigned int max_identity_len, unsigned char *psk,
                           unsigned int max_psk_len);

namespace quelna::net {

/** Outcome of decoding pre-shared-key credentials. */
enum class PskDecode { ok, bad_hex, too_long };

/**
 * The key octets of credentials into out: a text secret's own octets, or a hex secret's leading
 * run of hex digits decoded octet by octet (an odd count reads as a leading zero nibble; zero
 * octets at the front are part of the key). *len receives the key length, also when it does
 * not fit (too_long: nothing written). bad_hex when the hex text does not start with a digit.
 */
PskDecode decode_psk(const qn_credentials &cred, std::span<uint8_t> out, size_t *len);

/**
 * A socket BIO on fd (left open when the BIO is freed) whose writes never raise SIGPIPE: a
 * server that has gone shows as a failed write (EPIPE), without a signal for the application to
 * handle. nullptr when OpenSSL cannot make it (out of memory).
 */
BIO *socket_bio(int fd);

/**
 * Checks that the identity of credentials fits max_identity_len octets with its terminating
 * zero, and decodes their key into `key` (*len: its length). Returns 0, or QNE_CRED recorded
 * on the connection with the reason (identity too long, bad hex, key longer than `key`).
 */
int put_psk(qn_connection *conn, const qn_credentials &cred, unsigned int max_identity_len,
            std::span<uint8_t> key, size_t *len);

/**
 * Records every error on OpenSSL's queue as QNE_SSLERR (the last one stays in the slot);
 * `what` is recorded when the queue is empty. Returns the code.
 */
int push_queued_errors(qn_connection *conn, const char *file, int line, const char *what);

/** Records one OpenSSL error e on the connection as QNE_SSLERR with OpenSSL's text for it. */
int push_ssl_error(qn_connection *conn, unsigned long e, const char *file, int line);

}  // namespace quelna::net

#endif
