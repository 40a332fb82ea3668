// TLS per connection: the session made from the realm's files, the pre-shared-key callback, and
// the check of the server's certificate against the configured host name.
#include "tls_conn.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "tlshelp.h"

namespace quelna::net {

namespace {

// OpenSSL's own buffers for a PSK identity (with its terminating zero) and key, as it hands them
// to the callback.
constexpr unsigned int identity_size = PSK_MAX_IDENTITY_LEN;
constexpr unsigned int key_size = PSK_MAX_PSK_LEN;

int hex_value(char ch)
{
    return OPENSSL_hexchar2int(static_cast<unsigned char>(ch));
}

PskDecode decode_hex(std::string_view text, std::span<uint8_t> out, size_t *len)
{
    size_t digits = 0;
    while (digits < text.size() && hex_value(text[digits]) >= 0)
        digits++;
    *len = 0;
    if (digits == 0)
        return PskDecode::bad_hex;
    *len = (digits + 1) / 2;
    if (*len > out.size())
        return PskDecode::too_long;
    size_t i = 0, o = 0;
    if (digits % 2 == 1)
        out[o++] = static_cast<uint8_t>(hex_value(text[i++]));
    for (; i < digits; i += 2)
        out[o++] = static_cast<uint8_t>(hex_value(text[i]) << 4 | hex_value(text[i + 1]));
    return PskDecode::ok;
}

}  // namespace

int push_queued_errors(qn_connection *conn, const char *file, int line, const char *what)
{
    int code = 0;
    while (unsigned long e = ERR_get_error())
        code = push_ssl_error(conn, e, file, line);
    if (code == 0)
        code = qn_err_conn_push_fl(conn, QNE_SSLERR, file, line, "%s", what);
    return code;
}

int put_psk(qn_connection *conn, const qn_credentials &cred, unsigned int max_identity_len,
            std::span<uint8_t> key, size_t *len)
{
    size_t k = strlen(cred.identity);
    if (max_identity_len == 0 || k + 1 > max_identity_len)
        return qn_err_conn_push(conn, QNE_CRED, "PSK identity longer than max %d",
                                static_cast<int>(max_identity_len) - 1);
    switch (decode_psk(cred, key, len)) {
    case PskDecode::bad_hex:
        return qn_err_conn_push(conn, QNE_CRED, "Unable to convert pskhexstr");
    case PskDecode::too_long:
        return qn_err_conn_push(conn, QNE_CRED, "PSK secret longer than max %d",
                                static_cast<int>(key.size()));
    case PskDecode::ok:
        break;
    }
    return 0;
}

namespace {

// Credentials that cannot work are refused before any handshake, with a message that says why:
// once OpenSSL fails a handshake, its own errors replace whatever the PSK callback recorded.
int check_credentials(qn_connection *conn, const qn_credentials &cred)
{
    const char *realm = conn->realm->name ? conn->realm->name : "";
    if (!cred.identity)
        return qn_err_conn_push(conn, QNE_CRED, "%s: PSK credentials without an identity (pskid)",
                                realm);
    std::array<uint8_t, key_size> key;
    size_t len = 0;
    int r = put_psk(conn, cred, identity_size, key, &len);
    OPENSSL_cleanse(key.data(), key.size());
    if (r != 0)
        return r;
    if (len == 0)
        return qn_err_conn_push(conn, QNE_CRED, "%s: PSK secret is empty", realm);
    return 0;
}

// The write of the socket BIO below: OpenSSL's own socket BIO writes with write(2), which raises
// SIGPIPE when the server has gone; send with MSG_NOSIGNAL reports EPIPE instead.
int send_nosignal(BIO *b, const char *data, int len)
{
    int fd = -1;
    BIO_get_fd(b, &fd);
    errno = 0;
    auto n = static_cast<int>(send(fd, data, static_cast<size_t>(len), MSG_NOSIGNAL));
    BIO_clear_retry_flags(b);
    if (n <= 0 && BIO_sock_should_retry(n))
        BIO_set_retry_write(b);
    return n;
}

int puts_nosignal(BIO *b, const char *text)
{
    return send_nosignal(b, text, static_cast<int>(strlen(text)));
}

// OpenSSL's socket BIO with the write replaced; reading, control (the descriptor, close flag,
// end of file) and set-up are its own. Made once and kept for the life of the process.
BIO_METHOD *make_socket_method()
{
    const BIO_METHOD *base = BIO_s_socket();
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "socket without SIGPIPE");
    if (!m)
        return nullptr;
    if (BIO_meth_set_write(m, send_nosignal) != 1 || BIO_meth_set_puts(m, puts_nosignal) != 1 ||
        BIO_meth_set_read(m, BIO_meth_get_read(base)) != 1 ||
        BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(base)) != 1 ||
        BIO_meth_set_create(m, BIO_meth_get_create(base)) != 1 ||
        BIO_meth_set_destroy(m, BIO_meth_get_destroy(base)) != 1) {
        BIO_meth_free(m);
        return nullptr;
    }
    return m;
}

}  // namespace

BIO *socket_bio(int fd)
{
    static std::once_flag once;
    static BIO_METHOD *method = nullptr;
    std::call_once(once, [] { method = make_socket_method(); });
    BIO *b = method ? BIO_new(method) : nullptr;
    if (b)
        BIO_set_fd(b, fd, BIO_NOCLOSE);
    return b;
}

PskDecode decode_psk(const qn_credentials &cred, std::span<uint8_t> out, size_t *len)
{
    std::string_view text = cred.secret ? cred.secret : "";
    if (cred.secret_encoding == QN_KEY_ENCODING_HEX)
        return decode_hex(text, out, len);
    *len = text.size();
    if (text.size() > out.size())
        return PskDecode::too_long;
    memcpy(out.data(), text.data(), text.size());
    return PskDecode::ok;
}

int push_ssl_error(qn_connection *conn, unsigned long e, const char *file, int line)
{
    std::array<char, 256> text{};
    ERR_error_string_n(e, text.data(), text.size());
    return qn_err_conn_push_fl(conn, QNE_SSLERR, file, line, "%s", text.data());
}

}  // namespace quelna::net

using quelna::net::decode_psk;
using quelna::net::PskDecode;

unsigned int psk_client_cb(SSL *ssl, const char * /*hint*/, char *identity,
                           unsigned int max_identity_len, unsigned char *psk,
                           unsigned int max_psk_len)
{
    auto *c = static_cast<qn_connection *>(SSL_get_ex_data(ssl, 0));
    assert(c && c->active_peer && c->active_peer->realm);
    qn_credentials *cr = c->active_peer->realm->transport_cred;
    assert(cr && (cr->secret_encoding == QN_KEY_ENCODING_TEXT ||
                  cr->secret_encoding == QN_KEY_ENCODING_HEX));

    // Credentials without an identity are refused when the session is made; should such a
    // realm reach a handshake anyway, it fails here rather than sending an empty identity.
    if (!cr->identity) {
        qn_err_conn_push(c, QNE_CRED, "PSK credentials without an identity (pskid)");
        return 0;
    }
    size_t len = 0;
    if (quelna::net::put_psk(c, *cr, max_identity_len, {psk, max_psk_len}, &len) != 0)
        return 0;
    memcpy(identity, cr->identity, strlen(cr->identity) + 1);
    cr->secret_len = static_cast<uint32_t>(len);
    return static_cast<unsigned int>(len);
}

int tls_init_conn(qn_connection *conn)
{
    assert(conn && conn->ctx && conn->realm);
    qn_realm *r = conn->realm;
    const bool dtls = r->type == QN_CONN_TYPE_DTLS;

    // Each new stream gets a fresh session; the one of an earlier stream is done with.
    tls_release_session(conn);
    // A realm made in code may lack both (a configuration file is checked when read).
    if (!r->cacertfile && !r->transport_cred)
        return qn_err_conn_push(conn, QNE_CONFIG, "%s: missing both CA file/path and PSK",
                                r->name ? r->name : "");
    if (r->transport_cred && quelna::net::check_credentials(conn, *r->transport_cred) != 0)
        return -1;

    // The realm's context serves all its connections; it is made on first use.
    if (!r->tls_ctx) {
        qn_tls_settings s{};  // borrowed by the helper layer for the call only
        s.name = r->name;
        s.cacertfile = r->cacertfile;
        s.certfile = r->certfile;
        s.certkeyfile = r->certkeyfile;
        ERR_clear_error();
        r->tls_ctx = tlsgetctx(dtls ? QN_TLS_KIND_DTLS : QN_TLS_KIND_TLS, &s);
        if (!r->tls_ctx) {
            quelna::net::push_queued_errors(conn, __FILE__, __LINE__, "cannot make a TLS context");
            return -1;
        }
    }
    SSL_CTX *tctx = r->tls_ctx;
    SSL_CTX_up_ref(tctx);
    SSL *ssl = SSL_new(tctx);
    if (!ssl) {
        quelna::net::push_queued_errors(conn, __FILE__, __LINE__, "cannot make a TLS session");
        SSL_CTX_free(tctx);
        return -1;
    }
    conn->tls_ctx = tctx;
    conn->tls_ssl = ssl;
    // A server that hosts several names picks its certificate by this one (RFC 6066); an
    // address is never sent as a name.
    const char *host = conn->active_peer ? conn->active_peer->hostname : nullptr;
    if (host && *host && !is_address_literal(host) && SSL_set_tlsext_host_name(ssl, host) != 1) {
        quelna::net::push_queued_errors(conn, __FILE__, __LINE__, "cannot set the server name");
        tls_release_session(conn);
        return -1;
    }
    // With a key, the key alone stands for the server: only suites that use it are offered, and
    // tls_check_psk refuses a handshake that went without it.
    if (r->transport_cred) {
        SSL_set_psk_client_callback(ssl, psk_client_cb);
        SSL_set_ex_data(ssl, 0, conn);
        if (tlshelp_psk_only(ssl) != 1) {
            quelna::net::push_queued_errors(conn, __FILE__, __LINE__,
                                            "cannot limit the suites to PSK");
            tls_release_session(conn);
            return -1;
        }
    }
    return 0;
}

int tls_check_psk(qn_connection *conn)
{
    if (tlshelp_used_psk(conn->tls_ssl) == 1)
        return 0;
    return qn_err_conn_push(conn, QNE_CRED,
                            "%s: the server did not use the pre-shared key%s; nothing was sent",
                            conn->realm->name ? conn->realm->name : "",
                            SSL_get0_peer_certificate(conn->tls_ssl)
                                ? " (it presented a certificate instead)"
                                : "");
}

void tls_note_handshake_failure(qn_connection *conn)
{
    if (!conn_cred_psk(conn))
        return;
    // OpenSSL's words ("handshake failure", "no shared cipher") do not say that the key is the
    // server's only way in, or that the server did not take it.
    qn_error *e = qn_err_conn_pop(conn);
    qn_err_conn_push(conn, QNE_SSLERR,
                     "%s: the server did not use the pre-shared key (handshake failed: %s)",
                     conn->realm->name ? conn->realm->name : "", e ? qn_err_msg(e) : "");
    if (e)
        qn_err_free(e);
}

int tls_verify_cert(qn_connection *conn)
{
    assert(conn && conn->active_peer && conn->active_peer->hostname);
    const char *h = conn->active_peer->hostname;

    X509Ptr cert(verifytlscert(conn->tls_ssl));
    if (!cert) {
        // OpenSSL's verdict on the chain, or no chain at all.
        const long v = SSL_get_verify_result(conn->tls_ssl);
        return qn_err_conn_push(conn, QNE_SSLERR, "basic certificate validation failed: %s",
                                v != X509_V_OK ? X509_verify_cert_error_string(v)
                                               : "the server sent no certificate");
    }

    bool matched;
    std::array<uint8_t, sizeof(struct in6_addr)> addr{};
    if (inet_pton(AF_INET, h, addr.data()) == 1)
        matched = subjectaltnameaddr(cert.get(), AF_INET, std::span(addr).first(4)) == 1;
    else if (inet_pton(AF_INET6, h, addr.data()) == 1)
        matched = subjectaltnameaddr(cert.get(), AF_INET6, addr) == 1;
    else
        matched = subjectaltnameregexp(cert.get(), GEN_DNS, h) == 1;
    // The common name is the identity only of a certificate that has no DNS subjectAltName
    // (RFC 6125 section 6.4.4).
    if (!matched && !has_dns_altname(cert.get()))
        matched = cnregexp(cert.get(), h) == 1;

    if (!matched && !conn->realm->disable_hostname_check)
        return qn_err_conn_push(conn, QNE_CERT,
                                "server certificate doesn't match configured hostname \"%s\"", h);
    return 0;
}

void tls_release_session(qn_connection *conn)
{
    SSL_free(conn->tls_ssl);
    conn->tls_ssl = nullptr;
    SSL_CTX_free(conn->tls_ctx);
    conn->tls_ctx = nullptr;
}

void realm_release_tls(qn_realm *realm)
{
    if (realm->tls_ctx) {
        SSL_CTX_free(realm->tls_ctx);
        realm->tls_ctx = nullptr;
    }
}
