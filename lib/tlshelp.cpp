// Our TLS helper layer: client contexts from a realm's files, and certificate checks on top of
// OpenSSL's verifier and its RFC 6125 name matching.
#include "tlshelp.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <memory>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

struct CtxFree {
    void operator()(SSL_CTX *ctx) const { SSL_CTX_free(ctx); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

// An option text that was actually given.
const char *given(const char *text)
{
    return text && *text ? text : nullptr;
}

// Loads the client certificate chain and its key; the key password is lent only while loading.
bool load_client_identity(SSL_CTX *ctx, const qn_tls_settings &s)
{
    const char *cert = given(s.certfile);
    if (!cert)
        return true;
    const char *key = given(s.certkeyfile) ? s.certkeyfile : cert;
    if (const char *pwd = given(s.certkeypwd))
        SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<char *>(pwd));
    bool ok = SSL_CTX_use_certificate_chain_file(ctx, cert) == 1 &&
              SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) == 1 &&
              SSL_CTX_check_private_key(ctx) == 1;
    SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
    return ok;
}

}  // namespace

bool is_address_literal(const char *host)
{
    unsigned char buf[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

void X509Free::operator()(X509 *x) const
{
    X509_free(x);
}

SSL_CTX *tlsgetctx(uint8_t kind, const qn_tls_settings *settings)
{
    if ((kind != QN_TLS_KIND_TLS && kind != QN_TLS_KIND_DTLS) || !settings) {
        ERR_raise(ERR_LIB_SSL, ERR_R_PASSED_INVALID_ARGUMENT);
        return nullptr;
    }
    const bool dtls = kind == QN_TLS_KIND_DTLS;
    CtxPtr ctx(SSL_CTX_new(dtls ? DTLS_client_method() : TLS_client_method()));
    if (!ctx)
        return nullptr;
    // RFC 6614 asks for TLS 1.1 or later and RFC 7360 for DTLS 1.2; nothing older than 1.2 is
    // worth speaking today.
    if (SSL_CTX_set_min_proto_version(ctx.get(), dtls ? DTLS1_2_VERSION : TLS1_2_VERSION) != 1)
        return nullptr;

    const char *cafile = given(settings->cacertfile);
    const char *capath = given(settings->cacertpath);
    if ((cafile || capath) && SSL_CTX_load_verify_locations(ctx.get(), cafile, capath) != 1)
        return nullptr;
    if (!load_client_identity(ctx.get(), *settings))
        return nullptr;

    // The chain is verified during the handshake, but a failure does not abort it: the verdict is
    // read afterwards (verifytlscert), so that the refusal carries our own message. Nothing is
    // sent on the session before that check.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    return ctx.release();
}

int tlshelp_psk_only(SSL *ssl)
{
    // Every (D)TLS 1.2 suite offered uses the key. TLS 1.3 has no PSK-only suites: a key given
    // through the PSK callback is bound to SHA-256, so only SHA-256 suites are offered (a server
    // that picked another would have to ignore the key); a server that answers the key offer
    // with a certificate is caught by tlshelp_used_psk.
    return SSL_set_cipher_list(ssl, "PSK:!eNULL") == 1 &&
                   SSL_set_ciphersuites(ssl, "TLS_AES_128_GCM_SHA256:"
                                             "TLS_CHACHA20_POLY1305_SHA256") == 1
               ? 1
               : 0;
}

int tlshelp_used_psk(const SSL *ssl)
{
    if (SSL_version(ssl) == TLS1_3_VERSION)
        return SSL_session_reused(ssl) == 1 ? 1 : 0;
    const SSL_CIPHER *c = SSL_get_current_cipher(ssl);
    if (!c)
        return 0;
    switch (SSL_CIPHER_get_kx_nid(c)) {
    case NID_kx_psk:
    case NID_kx_ecdhe_psk:
    case NID_kx_dhe_psk:
    case NID_kx_rsa_psk:
        return 1;
    default:
        return 0;
    }
}

bool has_dns_altname(X509 *cert)
{
    using Names = STACK_OF(GENERAL_NAME);
    auto *names = static_cast<Names *>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr,
                                                        nullptr));
    bool found = false;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && !found; i++)
        found = sk_GENERAL_NAME_value(names, i)->type == GEN_DNS;
    GENERAL_NAMES_free(names);
    return found;
}

X509 *verifytlscert(SSL *ssl)
{
    X509Ptr cert(SSL_get1_peer_certificate(ssl));
    if (!cert || SSL_get_verify_result(ssl) != X509_V_OK)
        return nullptr;
    return cert.release();
}

int subjectaltnameaddr(X509 *cert, int family, std::span<const uint8_t> addr)
{
    size_t want = family == AF_INET ? 4 : family == AF_INET6 ? 16 : 0;
    if (!cert || want == 0 || addr.size() != want)
        return -1;
    // X509_check_ip looks only at subjectAltName iPAddress entries.
    return X509_check_ip(cert, addr.data(), addr.size(), 0) == 1 ? 1 : 0;
}

int subjectaltnameregexp(X509 *cert, int type, const char *host)
{
    if (!cert || !host || type != GEN_DNS)
        return -1;
    unsigned int flags = X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;
    return X509_check_host(cert, host, 0, flags, nullptr) == 1 ? 1 : 0;
}

int cnregexp(X509 *cert, const char *host)
{
    if (!cert || !host)
        return 0;
    // X509_check_host consults the subject's common names only when the certificate has no DNS
    // subjectAltName: a scratch certificate holding just the subject gives a common-name-only
    // check with OpenSSL's own rules.
    X509Ptr subject_only(X509_new());
    if (!subject_only || X509_set_subject_name(subject_only.get(), X509_get_subject_name(cert)) != 1)
        return -1;
    unsigned int flags = X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;
    if (is_address_literal(host))
        flags |= X509_CHECK_FLAG_NO_WILDCARDS;
    return X509_check_host(subject_only.get(), host, 0, flags, nullptr) == 1 ? 1 : 0;
}
