// Records behind the library's opaque handles, and helpers shared by the library's modules.
// Internal: not installed, not part of the public interface.
#ifndef QUELNA_INT_H
#define QUELNA_INT_H

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

#include <quelna/codec.h>
#include <quelna/quelna.h>

struct event_base;
struct event;
struct bufferevent;
struct evutil_addrinfo;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

#define QN_ERRMSG_SIZE 1024
// Room for an address as text, "[ipv6]:port".
#define QN_ADDR_TEXT_SIZE 64

struct qn_error {
    int32_t code;
    char buf[QN_ERRMSG_SIZE];
};

struct qn_credentials {
    int32_t type;             // QN_CRED_PSK
    const char *identity;     // option text, may be null
    const char *secret;       // option text, as written
    int32_t secret_encoding;  // QN_KEY_ENCODING_TEXT or _HEX
    uint32_t secret_len;      // filled by the PSK callback
};

// A realm's require_message_authenticator: whether Access-Accept, -Reject and -Challenge over
// UDP and TCP must carry a Message-Authenticator. Automatic, the zero value a blank realm has,
// requires it from a server once that server has sent one.
enum class RequireMsgAuth : int32_t { automatic = 0, yes, no };

struct qn_realm {
    char *name;
    int32_t type;  // qn_conn_type
    int32_t timeout;
    int32_t retries;
    const char *cacertfile;
    const char *certfile;
    const char *certkeyfile;
    int32_t disable_hostname_check;
    qn_credentials *transport_cred;
    RequireMsgAuth require_msg_auth;
    qn_peer *peers;
    qn_realm *next;
    // The TLS context made from the realm's files, shared (reference-counted) by its
    // connections: building one reads and parses the files, which costs more than a handshake.
    SSL_CTX *tls_ctx;
    // The realm's libconfuse section: it owns the option texts the realm and its peers point to.
    struct cfg_t *section;
    // A realm made in code owns its texts here instead (conf.cpp).
    struct RealmTexts *texts;
    // The context whose configuration holds the realm (errors of the realm operations).
    qn_context *ctx;
};

// Releases what a realm holds besides its texts and peers (its shared TLS context).
void realm_release_tls(qn_realm *realm);

struct qn_peer {
    qn_connection *conn;
    qn_realm *realm;
    const char *hostname;
    const char *service;
    const char *secret;
    struct evutil_addrinfo *addr;
    qn_peer *next;
    // Texts set through the peer operations, owned by the peer (the configuration's texts
    // belong to the libconfuse handle). hostname/service come from qn_strdup, secret from malloc.
    char *own_hostname;
    char *own_service;
    char *own_secret;
    // Added by hand to a connection whose list is its own, not a realm's: the connection frees it.
    bool conn_owned;
    // Position in configuration (or creation) order: requests fail over in this order.
    int index;
    // A server that failed a request is skipped by later requests until then (hold-down).
    struct timeval down_until;
    // It has sent an Access reply with a verified Message-Authenticator (RequireMsgAuth).
    bool signs_responses;
};

// The realms by name (conf.cpp).
struct RealmIndex;

struct qn_config {
    qn_realm *realms;
    RealmIndex *index;
};

struct qn_context {
    qn_config *config;
    qn_alloc_scheme alloc_scheme;
    qn_error *err;
};

struct qn_connection {
    qn_context *ctx;
    qn_realm *realm;
    struct event_base *evb;
    struct event *tev;
    qn_conn_callbacks callbacks;
    void *user_data;
    qn_peer *peers;
    qn_peer *active_peer;
    qn_error *err;
    struct timeval timeout;
    bool is_connecting;
    bool is_connected;
    int fd;
    struct bufferevent *bev;
    struct event *wev;
    struct event *rev;
    qn_packet *out_queue;
    SSL_CTX *tls_ctx;
    SSL *tls_ssl;
    // When a DTLS handshake in progress gives up (the connection's time-out from its start).
    struct timeval handshake_end;
    // The blank realm made for a realm name that is not configured belongs to the connection.
    bool owns_realm;
    // Which of the active peer's resolved addresses is in use (0: the first).
    int addr_index;
    // Set by the transport when a connect was refused or unreachable, or a datagram met a
    // port-unreachable: the request moves on to another address or server.
    bool refused;
    // Set by a receive that got a packet and discarded it (malformed, or failing verification).
    bool discarded;
    // The peer and address that gave the most recent verified answer to a request.
    qn_peer *answered_peer;
    char answered_addr[QN_ADDR_TEXT_SIZE];
    // Identifiers held by the connection's outstanding packets, and the next one to try.
    lr_server ids;
    int next_id;
    // The asynchronous engine, made on first use (async.cpp).
    struct AsyncEngine *async;
};

struct lr_packet;

struct qn_packet {
    qn_connection *conn;
    uint32_t flags;   // QN_PACKET_RECEIVED, QN_PACKET_SENT
    uint8_t hdr[4];   // first octets of a packet being read from a stream
    struct lr_packet *rpkt;  // codec packet, followed in the same block by its buffer
    qn_packet *next;  // next packet of the connection's output queue
    bool holds_id;    // its identifier is held in the connection's table
    bool id_chosen;   // the caller chose the identifier (qn_packet_set_id)
    bool in_flight;   // an asynchronous request of it is outstanding
};

struct qn_request {
    qn_connection *conn;
    qn_packet *req_msg;
    // A fixed schedule set by qn_request_set_schedule: the wait of each attempt and their
    // number (0: the default, growing schedule).
    struct timeval fixed_timeout;
    int fixed_attempts;
};

// Allocation through the context's scheme, each entry falling back to the system function.
void *qn_calloc(const qn_context *ctx, size_t nmemb, size_t size);
void *qn_malloc(const qn_context *ctx, size_t size);
void qn_free(const qn_context *ctx, void *ptr);

// Error objects (err.cpp).
qn_error *_err_vcreate(int code, const char *file, int line, const char *fmt, va_list args);
qn_error *err_create(int code, const char *file, int line, const char *fmt, ...)
    QN_PRINTF(4, 5);
int err_conn_push_err(qn_connection *conn, qn_error *err);
// The table text of a code, or "" outside the table.
const char *err_text(int code);

// Push sites that carry our source file and line in the message.
#define QN_ERR_CTX_PUSH_FL(ctx, code, ...) \
    qn_err_ctx_push_fl((ctx), (code), __FILE__, __LINE__, __VA_ARGS__)
#define QN_ERR_CONN_PUSH_FL(conn, code, ...) \
    qn_err_conn_push_fl((conn), (code), __FILE__, __LINE__, __VA_ARGS__)
#define QN_ERR_CREATE_FL(code, ...) err_create((code), __FILE__, __LINE__, __VA_ARGS__)

// Process-wide OpenSSL set-up (tls.cpp): 0, or -1 when the generator cannot be seeded.
int tls_init(void);

// Our small debug facility: remembers who initialised it, for diagnostics.
int debug_init(const char *ident);
const char *debug_ident(void);

// Adds a zero-filled peer to the list at *rootp (after the head). Null on allocation failure.
qn_peer *peer_create(qn_context *ctx, qn_peer **rootp);

// Releases a peer with its resolved addresses and the texts it owns.
void peer_free(qn_context *ctx, qn_peer *peer);

// Releases a configuration and everything it owns.
void conf_free(qn_context *ctx, qn_config *config);

#endif
