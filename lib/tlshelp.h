// Our TLS helper layer: the client TLS context made from a realm's files, the basic validation of
// a server's certificate chain, and the matching of a host name or address against a
// certificate. Host-name rules are OpenSSL's own (RFC 6125), not hand-written patterns.
#ifndef QUELNA_TLSHELP_H
#define QUELNA_TLSHELP_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct x509_st X509;

/** Owns a certificate (X509_free). */
struct X509Free {
    void operator()(X509 *x) const;
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

/** Connection kinds given to tlsgetctx. */
inline constexpr uint8_t QN_TLS_KIND_TLS = 1;
inline constexpr uint8_t QN_TLS_KIND_DTLS = 2;

/**
 * What a TLS context is made from. The texts are borrowed (the realm's option texts); an empty
 * or null text means "not given". The record is zero-filled by whoever makes it.
 */
struct qn_tls_settings {
    const char *name;         // realm name, for diagnostics
    const char *cacertfile;   // PEM file of trusted CAs
    const char *cacertpath;   // directory of hashed CA files
    const char *certfile;     // client certificate chain (PEM)
    const char *certkeyfile;  // its private key (PEM)
    const char *certkeypwd;   // password of the key
    uint8_t crlcheck;         // reserved, 0
    void *reserved;           // reserved, null
    uint32_t policy_flags;    // reserved, 0
};

/**
 * Makes a client SSL_CTX for kind QN_TLS_KIND_TLS or _DTLS from the settings: (D)TLS 1.2 at
 * least, the CA file or directory as trust anchors, the client certificate and key when given.
 * The chain is
 * verified during the handshake without failing it; verifytlscert reads the verdict afterwards.
 * Returns null with the reasons on OpenSSL's error queue. The caller frees it (SSL_CTX_free).
 */
SSL_CTX *tlsgetctx(uint8_t kind, const qn_tls_settings *settings);

/**
 * Limits a session's (D)TLS 1.2 cipher suites to those that use a pre-shared key (RFC 4279):
 * with a PSK callback installed, the key is then the only way to the server. 1 or 0.
 */
int tlshelp_psk_only(SSL *ssl);

/**
 * 1 when the finished handshake used the pre-shared key: a PSK key exchange in (D)TLS 1.2, a
 * session resumed from the external key in TLS 1.3 (a server that ignores the offered key and
 * presents a certificate instead gives a full handshake). 0 otherwise.
 */
int tlshelp_used_psk(const SSL *ssl);

/** Whether host is an IPv4 or IPv6 address literal (not a name). */
bool is_address_literal(const char *host);

/** Whether the certificate carries a DNS subjectAltName (then its common name does not count). */
bool has_dns_altname(X509 *cert);

/**
 * The server's certificate when the handshake's chain verification against the trust anchors
 * passed; null otherwise. The caller frees it with X509_free.
 */
X509 *verifytlscert(SSL *ssl);

/**
 * 1 when a subjectAltName IP address of cert equals addr (4 octets for AF_INET, 16 for
 * AF_INET6), 0 when none does, -1 for a bad family or length.
 */
int subjectaltnameaddr(X509 *cert, int family, std::span<const uint8_t> addr);

/**
 * 1 when a subjectAltName entry of the given type (only GEN_DNS is supported) matches host by
 * RFC 6125 rules (a left-most "*" label as wildcard), 0 when none does, -1 for another type.
 */
int subjectaltnameregexp(X509 *cert, int type, const char *host);

/**
 * 1 when a common name in cert's subject matches host by the same rules (no wildcard for an
 * address literal), 0 otherwise, -1 on allocation failure.
 */
int cnregexp(X509 *cert, const char *host);

#endif
