/*
 * libquelna: a RADIUS client library (UDP, TCP, TLS, DTLS).
 *
 * Handles are opaque; the application destroys what it creates (connections before their
 * context). A context and its connections are used by one thread at a time.
 *
 * The error contract, in one place:
 *
 * Codes. Every failure has a QNE_* code (below; the numbers are stable). qn_strerror() gives a
 * code's fixed text (of its negation too), qn_code_name() the name of a packet code.
 *
 * Slots. A context and a connection each hold one error object, replaced by the next; take it
 * with qn_err_ctx_pop() / qn_err_conn_pop() (the caller then owns it), read it with qn_err_msg()
 * and qn_err_code(), release it with qn_err_free(). Success leaves a slot as it was: read it
 * after a failure only.
 *
 * By family of operations:
 *  - Context, configuration, dictionary, realms made in code (qn_context_read_config,
 *    qn_dict_load, qn_realm_*) and qn_conn_create: 0 or a code; the message on the context.
 *    qn_context_create returns a code and records nothing (there is no context yet).
 *  - Connections, peers, packets, requests and asynchronous requests (qn_conn_*, qn_peer_*,
 *    qn_packet_*, qn_request_*, qn_async_*): 0 or a code; the message on the connection.
 *    -1 occurs only here, always with the real code in the connection's slot
 *    (qn_err_conn_peek_code()):
 *      qn_packet_create_authn_request, qn_request_create_authn: -1 on any failure;
 *      qn_packet_send, qn_conn_receive_packet: -1 when a set-up step failed, else the code;
 *    and, recording nothing, qn_conn_disconnect and qn_conn_destroy: -1 when there was no
 *    socket to close or closing it failed. qn_request_send returns 0 or a code, never -1.
 *    The callback of an asynchronous request receives its code and message itself.
 *  - Attribute values and the dictionary (qn_avp_*, qn_attr_*): a code, recorded nowhere.
 *  - qn_resolve: an error object (NULL on success) that the caller releases.
 *  - The codec (lr_*, codec.h): the codes negated (-QNE_ATTR_UNKNOWN); the message is in
 *    lr_strerror() (each thread's own) and is also printed on standard error as "ERROR: ..."
 *    unless lr_strerror_echo(0) turns that off for the process.
 *  - qn_err_code(NULL) and qn_err_conn_peek_code(NULL) answer -1.
 */
#ifndef QUELNA_QUELNA_H
#define QUELNA_QUELNA_H

#include <stdarg.h>
#include <stddef.h>

#if defined(__GNUC__)
#define QN_EXPORT __attribute__((visibility("default")))
#define QN_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define QN_EXPORT
#define QN_PRINTF(f, a)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Error codes. The numbers are part of the interface; the codec returns them negated. */
enum qn_error_code {
    QNE_OK = 0,                   /* "SUCCESS" */
    QNE_NOMEM = 1,                /* "out of memory" */
    QNE_NOSYS = 2,                /* "not yet implemented" */
    QNE_INVALID_CTX = 3,          /* "invalid handle" */
    QNE_INVALID_CONN = 4,         /* "invalid connection" */
    QNE_CONN_TYPE_MISMATCH = 5,   /* "connection type mismatch" */
    QNE_CODEC = 6,                /* "FreeRadius error" */
    QNE_BADADDR = 7,              /* "bad hostname or port" */
    QNE_NOPEER = 8,               /* "no peer configured" */
    QNE_EVENT = 9,                /* "libevent error" */
    QNE_SOCKERR = 10,             /* "socket error" */
    QNE_CONFIG = 11,              /* "invalid configuration file" */
    QNE_BADAUTH = 12,             /* "authentication failed" */
    QNE_INTERNAL = 13,            /* "internal error" */
    QNE_SSLERR = 14,              /* "SSL error" */
    QNE_INVALID_PKT = 15,         /* "invalid packet" */
    QNE_TIMEOUT_CONN = 16,        /* "connect timeout" */
    QNE_INVAL = 17,               /* "invalid argument" */
    QNE_TIMEOUT_IO = 18,          /* "I/O timeout" */
    QNE_TIMEOUT = 19,             /* "timeout" */
    QNE_DISCO = 20,               /* "peer disconnected" */
    QNE_INUSE = 21,               /* "resource is in use" */
    QNE_PACKET_TOO_SMALL = 22,    /* "packet is too small" */
    QNE_PACKET_TOO_LARGE = 23,    /* "packet is too large" */
    QNE_ATTR_OVERFLOW = 24,       /* "attribute overflows packet" */
    QNE_ATTR_TOO_SMALL = 25,      /* "attribute is too small" */
    QNE_ATTR_TOO_LARGE = 26,      /* "attribute is too large" */
    QNE_ATTR_UNKNOWN = 27,        /* "unknown attribute" */
    QNE_ATTR_BAD_NAME = 28,       /* "invalid name for attribute" */
    QNE_ATTR_VALUE_MALFORMED = 29,/* "invalid value for attribute" */
    QNE_ATTR_INVALID = 30,        /* "invalid attribute" */
    QNE_TOO_MANY_ATTRS = 31,      /* "too many attributes in the packet" */
    QNE_ATTR_TYPE_UNKNOWN = 32,   /* "attribute type unknown" */
    QNE_MSG_AUTH_LEN = 33,        /* "invalid message authenticator" */
    QNE_MSG_AUTH_WRONG = 34,      /* "incorrect message authenticator" */
    QNE_REQUEST_REQUIRED = 35,    /* "request is required" */
    QNE_INVALID_REQ_CODE = 36,    /* "invalid request code" */
    QNE_AUTH_VECTOR_WRONG = 37,   /* "incorrect request authenticator" */
    QNE_INVALID_RESP_CODE = 38,   /* "response code is unsupported" */
    QNE_INVALID_RESP_ID = 39,     /* "response ID is invalid" */
    QNE_INVALID_RESP_SRC = 40,    /* "response from the wrong source address" */
    QNE_NO_PACKET_DATA = 41,      /* "no packet data" */
    QNE_VENDOR_UNKNOWN = 42,      /* "vendor is unknown" */
    QNE_CRED = 43,                /* "invalid credentials" */
    QNE_CERT = 44,                /* "certificate validation error" */
    QNE_CANCELLED = 45            /* "request cancelled" */
};

/**
 * Connection types; the configuration words are "UDP", "TCP", "TLS" and "DTLS". DTLS is RADIUS
 * over DTLS 1.2 on datagrams (RFC 7360), with TLS's credentials; nothing leaves a DTLS realm
 * outside its session. TLS and DTLS speak version 1.2 or later only.
 */
typedef enum qn_conn_type {
    QN_CONN_TYPE_NONE = 0,
    QN_CONN_TYPE_UDP = 1,
    QN_CONN_TYPE_TCP = 2,
    QN_CONN_TYPE_TLS = 3,
    QN_CONN_TYPE_DTLS = 4
} qn_conn_type;

/**
 * Packet codes (RFC 2865, 2866, 5176, 5997), as qn_packet_code() gives them; qn_code_name()
 * names them.
 */
typedef enum qn_radius_code {
    QN_CODE_ACCESS_REQUEST = 1,
    QN_CODE_ACCESS_ACCEPT = 2,
    QN_CODE_ACCESS_REJECT = 3,
    QN_CODE_ACCOUNTING_REQUEST = 4,
    QN_CODE_ACCOUNTING_RESPONSE = 5,
    QN_CODE_ACCESS_CHALLENGE = 11,
    QN_CODE_STATUS_SERVER = 12,
    QN_CODE_DISCONNECT_REQUEST = 40,
    QN_CODE_DISCONNECT_ACK = 41,
    QN_CODE_DISCONNECT_NAK = 42,
    QN_CODE_COA_REQUEST = 43,
    QN_CODE_COA_ACK = 44,
    QN_CODE_COA_NAK = 45
} qn_radius_code;

/** Transport credential kinds and secret encodings (pre-shared keys of TLS realms). */
#define QN_CRED_PSK 1
#define QN_KEY_ENCODING_TEXT 1
#define QN_KEY_ENCODING_HEX 2

/* Opaque handles. */
typedef struct qn_context qn_context;
typedef struct qn_connection qn_connection;
typedef struct qn_packet qn_packet;
typedef struct qn_request qn_request;
typedef struct qn_peer qn_peer;
typedef struct qn_realm qn_realm;
/** An error object: read it with qn_err_msg() and qn_err_code(). */
typedef struct qn_error qn_error;

struct evutil_addrinfo; /* libevent's address list */
struct timeval;
struct lr_value_pair; /* an attribute value pair (qn_avp), see codec.h */
struct lr_packet;     /* a codec packet, see codec.h */

/** Allocation entry points; an empty entry means the system function of the same name. */
typedef struct qn_alloc_scheme {
    void *(*calloc)(size_t nmemb, size_t size);
    void *(*malloc)(size_t size);
    void (*free)(void *ptr);
} qn_alloc_scheme;

/* ---------------------------------------------------------------------------------------- */
/* Context and configuration                                                                 */
/* ---------------------------------------------------------------------------------------- */

/**
 * Creates a library context and stores it in *ctx. Sets up OpenSSL once per process and
 * seeds its random generator.
 * Returns 0, QNE_SSLERR when the TLS library cannot be set up, QNE_NOMEM.
 * Nothing is recorded on failure (no context exists).
 */
QN_EXPORT int qn_context_create(qn_context **ctx);

/**
 * Destroys a context with its configuration, realms, peers and any error left in its slot.
 * Destroy the context's connections first.
 */
QN_EXPORT void qn_context_destroy(qn_context *ctx);

/** Not implemented: always QNE_NOSYS, recorded on the context. The scheme is not installed. */
QN_EXPORT int qn_context_set_alloc_scheme(qn_context *ctx, qn_alloc_scheme *scheme);

/**
 * Reads the configuration file at config_file into the context, replacing (and releasing)
 * a configuration read before.
 * Top-level `dictionary` files are loaded first (qn_dict_load).
 * Returns 0, QNE_CONFIG (file missing or malformed, bad type word, TLS realm without CA file
 * or PSK, realm without name, a value out of range, a server without hostname, an empty
 * secret, an unknown pskex, a dictionary in error) or QNE_NOMEM; the message is recorded on the
 * context.
 * After a failure the context still holds what was read so far; destroy it.
 */
QN_EXPORT int qn_context_read_config(qn_context *ctx, const char *config_file);

/**
 * Loads a dictionary file in the FreeRADIUS text format (and the files it includes) for the
 * whole process, as lr_dict_load() in <quelna/codec.h> does: its names then work everywhere
 * names do. Call it before connections are used; loads never change the tables that readers
 * see afterwards, so that any number of threads may use them.
 * Returns 0; QNE_INVAL (NULL context); QNE_CONFIG (NULL path, a file missing or in error, with
 * the message "FILE:LINE: message"; the dictionary loaded before stays as it was) or
 * QNE_NOMEM; the message is recorded on the context.
 */
QN_EXPORT int qn_dict_load(qn_context *ctx, const char *path);

/** The first realm called name (case-sensitive), or NULL when none or no configuration. */
QN_EXPORT qn_realm *qn_conf_find_realm(qn_context *ctx, const char *name);

/*
 * Realms made in code, without a configuration file. They join the context's realms (a
 * configuration file read later replaces them all) and are used as configured ones:
 * qn_conn_create(ctx, &conn, name). Each operation returns 0 or a code recorded on the
 * realm's context: QNE_INVAL for a missing argument or a value out of range, QNE_CONFIG for a
 * name already in use, QNE_NOMEM. Texts are copied.
 */

/**
 * Creates realm name of transport type (QN_CONN_TYPE_*) with the configuration file's defaults
 * (timeout 2 s, 2 retries, the host name checked, require_message_authenticator "auto") and
 * stores it in *realm when realm is not NULL. A TLS or DTLS realm needs a CA file or a
 * pre-shared key before its first connection.
 */
QN_EXPORT int qn_realm_create(qn_context *ctx, const char *name, int type, qn_realm **realm);

/** Seconds each attempt waits (1 to 3600), as the option "timeout". */
QN_EXPORT int qn_realm_set_timeout(qn_realm *realm, int seconds);

/** Retries per server (0 to 100), as the option "retries". */
QN_EXPORT int qn_realm_set_retries(qn_realm *realm, int retries);

/**
 * TLS and DTLS: the CA file that the server's certificate must chain to, and the client's own
 * certificate and key (NULL: none), as the options "cacertfile", "certfile", "certkeyfile".
 */
QN_EXPORT int qn_realm_set_tls_files(qn_realm *realm, const char *cacertfile,
                                     const char *certfile, const char *certkeyfile);

/**
 * TLS and DTLS: a pre-shared key instead of certificates (the options "pskid" and "pskstr" or
 * "pskhexstr"): identity (NULL: none), and key as text (QN_KEY_ENCODING_TEXT) or as hex digits
 * (QN_KEY_ENCODING_HEX).
 */
QN_EXPORT int qn_realm_set_psk(qn_realm *realm, const char *identity, const char *key,
                               int encoding);

/** Whether the server certificate must name the configured host (default 1). */
QN_EXPORT int qn_realm_set_hostname_check(qn_realm *realm, int check);

/** As the option "require_message_authenticator": "yes", "no" or "auto". */
QN_EXPORT int qn_realm_set_require_message_authenticator(qn_realm *realm, const char *word);

/**
 * Adds a server (tried in the order added): hostname and service (a port number or a service
 * name) and the shared secret, checked as the configuration file's are.
 */
QN_EXPORT int qn_realm_add_server(qn_realm *realm, const char *hostname, const char *service,
                                  const char *secret);

/**
 * Resolves hostname and service for a connection type (UDP and DTLS as datagrams, TCP and TLS
 * as streams). On success stores the list in *addr (the caller frees it with
 * evutil_freeaddrinfo) and returns NULL; otherwise returns a new error object the caller owns
 * (QNE_INVALID_CONN for an unknown type, QNE_BADADDR when resolution fails).
 */
QN_EXPORT qn_error *qn_resolve(struct evutil_addrinfo **addr, qn_conn_type type,
                               const char *hostname, const char *service);

/**
 * Copies a string through the context's allocator. Returns NULL and records QNE_NOMEM
 * ("qn_strdup") on the context when memory runs out.
 */
QN_EXPORT char *qn_strdup(qn_context *ctx, const char *s);

/* ---------------------------------------------------------------------------------------- */
/* Errors                                                                                    */
/* ---------------------------------------------------------------------------------------- */

/**
 * Records an error on the context, replacing the one held there. With a format, the message
 * is the formatted text (cut at 1023 characters); without, the code's table text.
 * Returns code, or QNE_NOMEM when the error object cannot be made (the slot is then unchanged).
 */
QN_EXPORT int qn_err_ctx_push(qn_context *ctx, int code, const char *fmt, ...) QN_PRINTF(3, 4);

/** As qn_err_ctx_push(), with " (file:line)" appended (the base name of file). */
QN_EXPORT int qn_err_ctx_push_fl(qn_context *ctx, int code, const char *file, int line,
                                 const char *fmt, ...) QN_PRINTF(5, 6);

/** As qn_err_ctx_push(), recorded on a connection. */
QN_EXPORT int qn_err_conn_push(qn_connection *conn, int code, const char *fmt, ...)
    QN_PRINTF(3, 4);

/** As qn_err_ctx_push_fl(), recorded on a connection. */
QN_EXPORT int qn_err_conn_push_fl(qn_connection *conn, int code, const char *file, int line,
                                  const char *fmt, ...) QN_PRINTF(5, 6);

/** Takes the error out of the context's slot; the caller owns it. NULL when empty or no ctx. */
QN_EXPORT qn_error *qn_err_ctx_pop(qn_context *ctx);

/** Takes the error out of the connection's slot; the caller owns it. NULL when empty/no conn. */
QN_EXPORT qn_error *qn_err_conn_pop(qn_connection *conn);

/** Code of the error in the connection's slot, leaving it there; 0 when empty, -1 for NULL. */
QN_EXPORT int qn_err_conn_peek_code(qn_connection *conn);

/** Releases an error object taken out of a slot. */
QN_EXPORT void qn_err_free(qn_error *err);

/** The message of an error (owned by the error), or NULL for no error. */
QN_EXPORT char *qn_err_msg(qn_error *err);

/** The code of an error, -1 for no error; with free_flag set the error is released after. */
QN_EXPORT int qn_err_code(qn_error *err, int free_flag);

/** The fixed text of a QNE_* code (its negation too, as the codec returns it); "" if none. */
QN_EXPORT const char *qn_strerror(int code);

/** The name of a packet code ("Access-Accept"), or "" for a code without one. */
QN_EXPORT const char *qn_code_name(unsigned int code);

/* ---------------------------------------------------------------------------------------- */
/* Connections and peers                                                                     */
/* ---------------------------------------------------------------------------------------- */

/** Largest RADIUS packet, and the size of every packet's octet buffer. */
#define QN_MAX_PACKET_LEN 4096

/** Flags of a library packet. */
#define QN_PACKET_RECEIVED 1
#define QN_PACKET_SENT 2

/**
 * User callbacks. Installing any of them switches the connection to user-dispatch mode, in
 * which sending only arms the events; without them the blocking calls run the event loop.
 */
typedef struct qn_conn_callbacks {
    void (*connected_cb)(void *user_data);
    void (*disconnected_cb)(void *user_data);
    void (*received_cb)(qn_packet *packet, void *user_data);
    void (*sent_cb)(void *user_data);
} qn_conn_callbacks;

/**
 * Creates a connection for the realm called realm_name (NULL: no realm). A name that is not
 * configured gets a blank realm of its own (type QN_CONN_TYPE_NONE, no servers), which
 * qn_conn_set_type() and qn_peer_create() can fill. The connection's timeout is the realm's.
 * Returns 0 or QNE_NOMEM (recorded on the context).
 */
QN_EXPORT int qn_conn_create(qn_context *ctx, qn_connection **conn, const char *realm_name);

/** Sets the connection type (QN_CONN_TYPE_*) of the connection's realm. */
QN_EXPORT void qn_conn_set_type(qn_connection *conn, int type);

/** Not implemented: QNE_NOSYS, recorded on the connection. */
QN_EXPORT int qn_conn_add_listener(qn_connection *conn, int type, void *cb, void *user_data);

/**
 * Closes the connection's transport (socket and its events); the next send connects again.
 * Returns 0, or -1 when there was no socket to close or closing failed.
 */
QN_EXPORT int qn_conn_disconnect(qn_connection *conn);

/**
 * Destroys a connection: disconnects it, closes any open socket, frees its event base, TLS
 * objects and any error left in its slot. Returns the disconnect's result, else 0.
 */
QN_EXPORT int qn_conn_destroy(qn_connection *conn);

/** Not implemented: QNE_NOSYS, recorded on the connection. */
QN_EXPORT int qn_conn_set_eventbase(qn_connection *conn, void *eb);

/** Copies the four callbacks (a NULL entry removes that callback). */
QN_EXPORT void qn_conn_set_callbacks(qn_connection *conn, qn_conn_callbacks *cb);

/** Removes all four callbacks: back to blocking mode. */
QN_EXPORT void qn_conn_del_callbacks(qn_connection *conn);

/** The connection's own callback table (entries may be changed through it). */
QN_EXPORT qn_conn_callbacks *qn_conn_get_callbacks(qn_connection *conn);

/** Not implemented: QNE_NOSYS, recorded on the connection. */
QN_EXPORT int qn_conn_select_peer(qn_connection *conn, const char *name);

/** Not implemented: QNE_NOSYS, recorded on the connection. */
QN_EXPORT int qn_conn_get_current_peer(qn_connection *conn, const char *name, size_t buflen);

/**
 * The server that gave the connection's most recent verified answer to qn_request_send: its
 * host name and service as configured (the library's texts, valid while the peer lives; either
 * place may be NULL) and, when address is given, the address that answered as text
 * ("192.0.2.1:1812", "[2001:db8::1]:2083"), truncated to address_size. Returns 0, or QNE_NOPEER
 * (recorded on the connection) when no request on it has been answered yet.
 */
QN_EXPORT int qn_conn_get_answering_server(qn_connection *conn, const char **hostname,
                                           const char **service, char *address,
                                           size_t address_size);

/** The connection's socket (-1 when none); the connection must have an active server. */
QN_EXPORT int qn_conn_fd(qn_connection *conn);

/** Sets the time-out applied to connecting and to each blocking receive (0: none). */
QN_EXPORT void qn_conn_set_timeout(qn_connection *conn, struct timeval *tv);

/**
 * Adds a server to the connection by hand; it belongs to the connection's realm, whose timeout
 * and retries are set to 2. Stores the peer in *peer when peer is not NULL.
 * Returns 0 or QNE_NOMEM (recorded on the connection).
 */
QN_EXPORT int qn_peer_create(qn_connection *conn, qn_peer **peer);

/** Sets a server's host name and service (copied). 0 or QNE_NOMEM (on the connection). */
QN_EXPORT int qn_peer_set_address(qn_peer *peer, const char *hostname, const char *service);

/** Sets the shared secret of a server (copied). 0 or QNE_NOMEM (on the connection). */
QN_EXPORT int qn_peer_set_secret(qn_peer *peer, const char *secret);

/** Sets the time-out (seconds) of the server's realm. */
QN_EXPORT void qn_peer_set_timeout(qn_peer *peer, int timeout);

/** Sets the retry count of the server's realm. */
QN_EXPORT void qn_peer_set_retries(qn_peer *peer, int retries);

/* ---------------------------------------------------------------------------------------- */
/* Packets                                                                                   */
/* ---------------------------------------------------------------------------------------- */

/**
 * Creates an empty Access-Request (identifier 0, random authenticator) for the connection.
 * The application destroys it with qn_packet_destroy(). 0 or QNE_NOMEM (on the connection).
 */
QN_EXPORT int qn_packet_create(qn_connection *conn, qn_packet **pkt);

/**
 * Creates a request packet of any request code: Access-Request (1), Accounting-Request (4),
 * Status-Server (12), Disconnect-Request (40) or CoA-Request (43).
 * Returns 0, QNE_INVALID_REQ_CODE for another code, or QNE_NOMEM (recorded on the connection).
 */
QN_EXPORT int qn_packet_create_request(qn_connection *conn, qn_packet **pkt, unsigned int code);

/**
 * Creates an Access-Request with User-Name and User-Password (each only when not NULL; the
 * password is hidden when the packet is encoded). Returns 0, -1 when the packet could not be
 * created, or the code of a refused attribute (the packet is then still stored in *pkt).
 */
QN_EXPORT int qn_packet_create_authn_request(qn_connection *conn, qn_packet **pkt,
                                             const char *user_name, const char *user_pw);

/** Destroys a packet with its attributes (taking it out of its connection's queue first). */
QN_EXPORT void qn_packet_destroy(qn_packet *pkt);

/**
 * Adds an attribute (dictionary number attr of vendor, 0 for standard ones) with its value
 * in stored form (numbers in host order). Values of strings and octets longer than 253 octets
 * are cut; a fixed-size type needs len to be its size (QNE_ATTR_VALUE_MALFORMED otherwise).
 * Returns 0, QNE_ATTR_TYPE_UNKNOWN, QNE_NOMEM or the codec's code for a bad value.
 */
QN_EXPORT int qn_packet_add_avp(qn_packet *pkt, unsigned int attr, unsigned int vendor,
                                const void *data, size_t len);

/**
 * Writes an attribute's wire form straight into a packet that has no attribute list (long
 * EAP-Message values are split). Returns 0, QNE_ATTR_TYPE_UNKNOWN or the codec's code.
 */
QN_EXPORT int qn_packet_append_avp(qn_packet *pkt, unsigned int attr, unsigned int vendor,
                                   const void *data, size_t len);

/** Stores in *vps the address of the packet's attribute list head (changeable in place). */
QN_EXPORT void qn_packet_avps(qn_packet *pkt, struct lr_value_pair ***vps);

/** The packet's code. */
QN_EXPORT unsigned int qn_packet_code(qn_packet *pkt);

/** The first attribute attr of vendor in the packet's list, or NULL. */
QN_EXPORT struct lr_value_pair *qn_packet_find_avp(qn_packet *pkt, unsigned int attr,
                                                   unsigned int vendor);

/**
 * Sets the packet's identifier and returns the previous one. Octets already written get the new
 * identifier too, and the packet is signed afresh when it is next sent; the library then no
 * longer chooses its identifier.
 */
QN_EXPORT int qn_packet_set_id(qn_packet *pkt, int id);

/**
 * The codec packet inside a library packet (header fields, octets, attribute list), for the
 * codec's operations such as lr_packet_print_hex(). Owned by the library packet.
 */
QN_EXPORT struct lr_packet *qn_packet_codec(qn_packet *pkt);

/** Writes "\tCode: %u, Identifier: %u, Lenght: %zu" for the packet to standard error. */
QN_EXPORT void qn_dump_packet(const qn_packet *pkt);

/* ---------------------------------------------------------------------------------------- */
/* Sending, receiving, requests                                                              */
/* ---------------------------------------------------------------------------------------- */

/**
 * Sends a packet on its connection, setting the transport up on first use (event base,
 * server, socket, connect). In blocking mode (no callbacks) waits until it is written.
 * Returns 0; -1 when a set-up step failed; or the code of the failure (all recorded on the
 * connection).
 */
QN_EXPORT int qn_packet_send(qn_packet *pkt, void *user_data);

/**
 * Blocking mode only: waits (at most the connection's timeout) for one packet. With req_msg
 * the packet is verified against that request (the realm's require_message_authenticator
 * included, see qn_request_send) and its attributes decoded. On success the
 * packet is stored in *pkt_out (the caller destroys it) when pkt_out is not NULL.
 * Returns 0, -1, or a code; never 0 without a packet.
 */
QN_EXPORT int qn_conn_receive_packet(qn_connection *conn, qn_packet *req_msg,
                                     qn_packet **pkt_out);

/** Creates an empty request on the connection. 0 or QNE_NOMEM (on the connection). */
QN_EXPORT int qn_request_create(qn_connection *conn, qn_request **req_out);

/** Gives the request its packet (the request then owns it; an earlier one is not released). */
QN_EXPORT void qn_request_add_reqpkt(qn_request *req, qn_packet *req_msg);

/** Creates a request holding an Access-Request with user name and password. 0 or -1. */
QN_EXPORT int qn_request_create_authn(qn_connection *conn, qn_request **req_out,
                                      const char *user_name, const char *user_pw);

/** Destroys a request and its packet. */
QN_EXPORT void qn_request_destroy(qn_request *req);

/**
 * Blocking mode only: sends the request and waits for its verified response.
 *
 * Schedule: each attempt waits a randomised, growing time (2.0-2.2 s, then twice the last plus
 * 2.0-2.2 s, at most 16.0-17.6 s); a request ends after 6 attempts or with the first attempt
 * that ends more than 30 s after the start. Against a silent server that is 4 transmissions
 * (at 0, ~2, ~8 and ~23 s), and the call returns after 38-42 s.
 *
 * Responses that fail a check (malformed, wrong identifier or code, wrong authenticator or
 * Message-Authenticator) are discarded and the attempt goes on waiting (RFC 2865 section 3);
 * so is an ICMP port-unreachable on UDP, and, over UDP and TCP, an Access-Accept, -Reject or
 * -Challenge without a Message-Authenticator when the realm's require_message_authenticator is
 * "yes", or "auto" (the default) and that server has sent one before (QNE_MSG_AUTH_WRONG). An
 * Access-Request or Status-Server carries its Message-Authenticator as its first attribute.
 * Over UDP the same octets are sent again; a stream is closed when an attempt on it times out,
 * and the next attempt goes on a new one (RFC 6613). A stream opened before this request that
 * ends under it (servers drop idle streams) is replaced at once, once per request.
 *
 * Addresses and servers: a refused or unreachable connect (or port-unreachable datagram) moves
 * on to the server's next resolved address at once; a connect that times out, on the next
 * attempt. A server that used up its share of attempts (the realm's retries plus one) or could
 * not be reached is held down for 30 s and the request moves to the next server in
 * configuration order, with a fresh schedule, within the same 30 s and 6 attempts. The last
 * server tried keeps all the attempts left. A request carrying a State attribute stays on the
 * server that answered the connection's previous request (qn_conn_get_answering_server).
 *
 * On success the decoded response is stored in *resp_msg (the caller destroys it). Returns 0;
 * QNE_TIMEOUT when nothing valid came back; the code of the last discarded response, with
 * "N responses discarded" in its message, when only invalid answers came; QNE_INVAL for missing
 * arguments; or the code of another failure (a stream or connect that failed, a TLS error).
 * The packet gets an identifier of the connection's table on its first send (random start, no
 * two outstanding packets of a connection share one) unless qn_packet_set_id chose one.
 */
QN_EXPORT int qn_request_send(qn_request *req, qn_packet **resp_msg);

/**
 * Replaces the request's schedule by a fixed one for its next qn_request_send calls: every
 * attempt waits timeout, and the request ends after attempts attempts (at least 1), with no
 * overall deadline. NULL restores the default schedule. Discards, addresses and servers are
 * handled as with the default schedule.
 */
QN_EXPORT void qn_request_set_schedule(qn_request *req, const struct timeval *timeout,
                                       int attempts);

/** The request's packet. */
QN_EXPORT qn_packet *qn_request_get_reqmsg(const qn_request *req);

/* ---------------------------------------------------------------------------------------- */
/* Asynchronous requests                                                                     */
/* ---------------------------------------------------------------------------------------- */

/*
 * Many requests in flight on one connection, driven by the application's event loop.
 *
 * qn_async_send starts a request and returns at once; its completion callback runs exactly once,
 * later, from the call that drives the engine (qn_async_process, or the libevent loop given to
 * qn_async_use_event_base), from qn_async_cancel, or from qn_conn_destroy. Each request keeps
 * the schedule, discard rules, address and server failover of qn_request_send (or the
 * connection's fixed schedule, qn_async_set_schedule). Over UDP one socket per server carries
 * all requests; a retransmission repeats the same octets. Over TCP and TLS requests are
 * pipelined on one stream per server; an attempt that times out goes on a new stream (the old
 * one takes no new requests and closes when its last request is done), and the requests of a
 * stream that ends under them go out again at once on a new one. Over DTLS a session per
 * socket carries them, each packet one record; a request waits for its session's handshake.
 *
 * Identifiers: each socket has its own 256, taken in turn. A UDP socket carries at most 128
 * requests at a time (an identifier rests before it is used again: a server still holding the
 * request it was last used for may drop a new one that reuses it), with up to 16 sockets per
 * server address; a stream carries up to 256. Requests beyond wait in a queue (default limit
 * 4096, qn_async_set_queue_limit) and leave in order as room comes free; when the queue is
 * full too, qn_async_send fails with QNE_INUSE. Datagrams started during one call into the
 * engine leave together when it returns (one system call for many).
 *
 * Driving the engine, one of two ways:
 *  - libevent: qn_async_use_event_base(conn, base); the engine's sockets and timer are events
 *    of that base and everything runs from event_base_dispatch (or _loop) of the application.
 *  - any other loop: the engine reports which sockets to watch through the socket callback
 *    (qn_async_set_socket_cb; or ask qn_async_fds), and qn_async_timeout when it next needs
 *    time; call qn_async_process(conn, fd, events) when a socket is ready and
 *    qn_async_process(conn, -1, 0) when the time-out is due (ready sockets also run due
 *    timers).
 *
 * Threads: a context, its connections, their packets and requests belong to one thread at a
 * time (callbacks run on the thread that drives the connection). Separate contexts may be used
 * by separate threads at the same time; the dictionary is shared read-only.
 *
 * A connection used asynchronously does not also run blocking requests while any asynchronous
 * one is outstanding (qn_request_send returns QNE_INUSE). Callbacks may start, cancel and
 * destroy requests and packets, but not destroy the connection.
 */

typedef struct qn_async_request qn_async_request;

/**
 * Completion of an asynchronous request. code 0: response is the verified, decoded answer and
 * belongs to the callback (qn_packet_destroy it); message is NULL. Otherwise response is NULL
 * and message says why (valid during the call): QNE_TIMEOUT, the code of the last discarded
 * response ("...; N responses discarded"), QNE_CANCELLED, or the failure of a connect, stream or
 * TLS session. request is the packet given to qn_async_send, still the caller's (it may be
 * destroyed here). The areq handle is invalid once the callback returns.
 */
typedef void (*qn_async_cb)(qn_async_request *areq, int code, const char *message,
                            qn_packet *request, qn_packet *response, void *arg);

/**
 * Starts a request for packet request (a request packet of this connection, which must live
 * until the completion) and stores its handle in *areq when areq is not NULL. Returns 0, or a
 * code recorded on the connection, with no callback to come: QNE_INVAL (no callback or packet,
 * or the packet is already in flight), QNE_NOPEER, QNE_INUSE (the
 * sockets and the queue are full), or an encoding error.
 */
QN_EXPORT int qn_async_send(qn_connection *conn, qn_packet *request, qn_async_cb cb, void *arg,
                            qn_async_request **areq);

/**
 * Cancels an outstanding request: its callback runs now, with QNE_CANCELLED; an answer that
 * comes later is ignored. Nothing happens when called from the request's own callback.
 */
QN_EXPORT void qn_async_cancel(qn_async_request *areq);

/** Requests started and not completed yet (queued ones included). */
QN_EXPORT size_t qn_async_outstanding(qn_connection *conn);

/** Limit of the queue of requests waiting for an identifier (0: no queue). 0. */
QN_EXPORT int qn_async_set_queue_limit(qn_connection *conn, size_t limit);

/**
 * A fixed schedule for requests started from now on: each attempt waits timeout, and a request
 * ends after attempts attempts (at least 1). NULL restores the default schedule. 0.
 */
QN_EXPORT int qn_async_set_schedule(qn_connection *conn, const struct timeval *timeout,
                                    int attempts);

struct event_base; /* libevent's */

/**
 * Runs the connection's asynchronous engine on the application's libevent base: its sockets
 * and timer become events of base (which must outlive the connection, or be taken back with
 * NULL first). Replaces a socket callback. 0, or QNE_INUSE while requests are outstanding.
 */
QN_EXPORT int qn_async_use_event_base(qn_connection *conn, struct event_base *base);

/* Readiness of a socket, in qn_async_fds, the socket callback and qn_async_process. */
#define QN_ASYNC_READ 1
#define QN_ASYNC_WRITE 2

/**
 * Called whenever the engine's interest in a socket changes: events is QN_ASYNC_READ and/or
 * QN_ASYNC_WRITE, or 0 when the socket is about to be closed (stop watching it).
 */
typedef void (*qn_async_socket_cb)(void *arg, int fd, int events);

/**
 * Sets the socket callback (NULL: none; the application asks qn_async_fds). Sockets already
 * open are reported at once. 0, or QNE_INUSE when an event base drives the engine.
 */
QN_EXPORT int qn_async_set_socket_cb(qn_connection *conn, qn_async_socket_cb cb, void *arg);

typedef struct qn_async_fd {
    int fd;
    int events; /* QN_ASYNC_READ | QN_ASYNC_WRITE */
} qn_async_fd;

/** Stores up to max sockets to watch in fds; returns how many there are (may exceed max). */
QN_EXPORT size_t qn_async_fds(qn_connection *conn, qn_async_fd *fds, size_t max);

/**
 * When the engine next needs time: 1 with *tv the wait from now (zero when due), or 0 when it
 * has no timer (nothing outstanding).
 */
QN_EXPORT int qn_async_timeout(qn_connection *conn, struct timeval *tv);

/**
 * Handles readiness events (QN_ASYNC_*) of socket fd, then every due timer. fd -1 runs the
 * timers only. Completion callbacks run from here. 0, or QNE_INVAL for a socket the engine
 * does not own (timers still run).
 */
QN_EXPORT int qn_async_process(qn_connection *conn, int fd, int events);

/* ---------------------------------------------------------------------------------------- */
/* Attribute values                                                                          */
/* ---------------------------------------------------------------------------------------- */

/*
 * The value pairs of a packet (qn_packet_avps() hands out the list head) and the attribute
 * dictionary. These operations return codes only (QNE_* as positive numbers, QNE_OK on
 * success) and record nothing in an error slot. A list and its pairs are used by one thread
 * at a time; the dictionary is read-only and may be shared.
 */

#include <stdint.h>

/**
 * Attribute value types. The numbers are part of the interface. 0 (no type) and values above
 * 10 are unknown types. Stored form in a pair / wire form:
 *  STRING      text octets + zero octet (length without it) / the text octets
 *  INTEGER     uint32 host order / 4 octets network order
 *  IPADDR      4 octets network order / the same
 *  DATE        uint32 host order / 4 octets network order
 *  OCTETS      the octets / the octets
 *  IFID        8 octets / as stored
 *  IPV6ADDR    16 octets / as stored
 *  IPV6PREFIX  18 octets (reserved, prefix length, 16 prefix octets) / always 18 octets
 *  BYTE        uint32 0..255 host order / 1 octet
 *  SHORT       uint32 0..65535 host order / 2 octets network order
 */
typedef enum qn_attr_type {
    QN_TYPE_NONE = 0,
    QN_TYPE_STRING = 1,
    QN_TYPE_INTEGER = 2,
    QN_TYPE_IPADDR = 3,
    QN_TYPE_DATE = 4,
    QN_TYPE_OCTETS = 5,
    QN_TYPE_IFID = 6,
    QN_TYPE_IPV6ADDR = 7,
    QN_TYPE_IPV6PREFIX = 8,
    QN_TYPE_BYTE = 9,
    QN_TYPE_SHORT = 10
} qn_attr_type;

/** An attribute value pair; its fields are those of lr_value_pair in <quelna/codec.h>. */
typedef struct lr_value_pair qn_avp;

/**
 * A new pair for attribute attr of vendor (0: standard), with the dictionary's descriptor, or
 * for an attribute the dictionary does not know one typed octets and named "Attr-...". The
 * caller owns it (qn_avp_free(), or append it to a packet's list). NULL when allocation fails
 * or the numbers cannot name an attribute (vendor 0 with attr above 256, vendor above 2^24).
 */
QN_EXPORT qn_avp *qn_avp_alloc(unsigned int attr, unsigned int vendor);

/** Frees every pair of the list *vps and sets *vps to NULL. */
QN_EXPORT void qn_avp_free(qn_avp **vps);

/** Links vp (with whatever follows it) after the last pair of *head; a NULL vp does nothing. */
QN_EXPORT void qn_avp_append(qn_avp **head, qn_avp *vp);

/** The first pair from vp on with attribute attr of vendor, or NULL (also for a NULL vp). */
QN_EXPORT qn_avp *qn_avp_find(qn_avp *vp, unsigned int attr, unsigned int vendor);

/** As qn_avp_find(), on a list that is only read. */
QN_EXPORT const qn_avp *qn_avp_find_const(const qn_avp *vp, unsigned int attr,
                                          unsigned int vendor);

/** The pair after vp, or NULL (also for a NULL vp). */
QN_EXPORT qn_avp *qn_avp_next(qn_avp *vp);

/** As qn_avp_next(), on a list that is only read. */
QN_EXPORT const qn_avp *qn_avp_next_const(const qn_avp *vp);

/**
 * An independent copy of vp (not NULL): descriptor, value, length and tag; not linked to any
 * list. The caller owns it. NULL when allocation fails.
 */
QN_EXPORT qn_avp *qn_avp_dup(const qn_avp *vp);

/**
 * Unlinks and frees every pair of the list *head with attribute attr of vendor. Returns QNE_OK
 * when at least one was deleted, QNE_ATTR_UNKNOWN when none was (also for an empty list),
 * QNE_INVAL for a NULL head.
 */
QN_EXPORT int qn_avp_delete(qn_avp **head, unsigned int attr, unsigned int vendor);

/** The value length in octets (a string without its terminator); 0 for NULL. */
QN_EXPORT size_t qn_avp_length(const qn_avp *vp);

/** The value type; 0 for NULL. */
QN_EXPORT qn_attr_type qn_avp_typeof(const qn_avp *vp);

/** The attribute name (owned by the dictionary or by the pair); NULL for NULL. */
QN_EXPORT const char *qn_avp_name(const qn_avp *vp);

/** Stores the attribute and vendor numbers of vp (not NULL). */
QN_EXPORT void qn_avp_attrid(const qn_avp *vp, unsigned int *attr, unsigned int *vendor);

/**
 * Writes the value as text into buffer (buflen octets, terminator included): a string as it
 * is, numbers in decimal, an IPv4 address as a dotted quad, octets as 0x and hex digits.
 * Returns the text length; 0 when it does not fit or the type has no text form.
 */
QN_EXPORT size_t qn_avp_display_value(const qn_avp *vp, char *buffer, size_t buflen);

/**
 * Looks an attribute name up in the dictionary (case ignored) and stores its numbers.
 * QNE_OK, or QNE_ATTR_UNKNOWN.
 */
QN_EXPORT int qn_attr_find(const char *name, unsigned int *attr, unsigned int *vendor);

/**
 * As qn_attr_find(), and also accepts the numeric names that qn_attr_display_name() writes:
 * "Attr-<attr>" and "Attr-26.<vendor>.<attr>". QNE_OK, QNE_ATTR_UNKNOWN, or QNE_ATTR_BAD_NAME
 * for a malformed numeric name (the out-arguments may then hold numbers already read).
 */
QN_EXPORT int qn_attr_parse_name(const char *name, unsigned int *attr, unsigned int *vendor);

/**
 * Writes the name of attribute attr of vendor into buffer (bufsize octets, terminator
 * included; a longer name is cut): the dictionary's name, or with numeric set (or for an
 * unknown attribute) "Attr-<attr>" / "Attr-26.<vendor>.<attr>". QNE_OK, or QNE_INVAL for a
 * NULL or empty buffer, vendor 0 with attr above 256, or vendor above 2^24.
 */
QN_EXPORT int qn_attr_display_name(unsigned int attr, unsigned int vendor, char *buffer,
                                   size_t bufsize, int numeric);

/*
 * Typed values. A getter answers the value when vp is not NULL and of the getter's type, else
 * 0 (NULL for pointers). A setter refuses a pair of another type with QNE_ATTR_INVALID, and a
 * NULL pair with the code its comment names; a value the pair cannot hold gives QNE_INVAL (for
 * example an empty string or NULL data); strings and octets longer than 253 octets are cut to
 * 253 and still succeed.
 */

/** The text of a STRING pair (inside the pair, zero-terminated), or NULL. */
QN_EXPORT const char *qn_avp_string_value(const qn_avp *vp);

/** Stores the strlen(str) octets of str. NULL pair: QNE_INVAL. */
QN_EXPORT int qn_avp_string_set(qn_avp *vp, const char *str);

/** The number of an INTEGER pair, or 0. */
QN_EXPORT uint32_t qn_avp_integer_value(const qn_avp *vp);

/** Stores a number. NULL pair: QNE_INVAL. */
QN_EXPORT int qn_avp_integer_set(qn_avp *vp, uint32_t value);

/** The IPv4 address of an IPADDR pair, in network byte order (as in struct in_addr), or 0. */
QN_EXPORT uint32_t qn_avp_ipaddr_value(const qn_avp *vp);

/** Stores an IPv4 address given in network byte order. NULL pair: QNE_INVAL. */
QN_EXPORT int qn_avp_ipaddr_set(qn_avp *vp, uint32_t addr);

/** The seconds of a DATE pair, or 0. */
QN_EXPORT uint32_t qn_avp_date_value(const qn_avp *vp);

/**
 * Stores a time in seconds; a time outside 0..4294967295 (a date cannot hold it) gives
 * QNE_ATTR_INVALID. NULL pair: QNE_INVAL.
 */
QN_EXPORT int qn_avp_date_set(qn_avp *vp, int64_t value);

/** The value octets of a pair of any type (inside the pair), or NULL. */
QN_EXPORT const uint8_t *qn_avp_octets_value_const_ptr(const qn_avp *vp);

/** As qn_avp_octets_value_const_ptr(), writable. */
QN_EXPORT uint8_t *qn_avp_octets_value_ptr(qn_avp *vp);

/**
 * Stores a pointer to the value octets of a pair of any type in *value and its length in
 * *len. QNE_OK; QNE_INVAL for a NULL argument.
 */
QN_EXPORT int qn_avp_octets_value_byref(qn_avp *vp, uint8_t **value, size_t *len);

/**
 * Copies the value of a pair of any type into buffer, which has room for *len octets, and
 * stores the value length in *len. QNE_OK; QNE_ATTR_TOO_SMALL (nothing copied, *len = the
 * length needed); QNE_INVAL for a NULL pair or len, or a NULL buffer that would be written.
 */
QN_EXPORT int qn_avp_octets_value(const qn_avp *vp, uint8_t *buffer, size_t *len);

/**
 * For a value split over several attributes: joins, in list order, the values of vp (a STRING
 * or OCTETS pair) and of every later pair of the same attribute into buffer, which has room
 * for *len octets, and stores the total length in *len. QNE_OK; QNE_ATTR_TOO_SMALL (nothing
 * copied, *len = the length needed); QNE_ATTR_INVALID for another type; QNE_INVAL for a NULL
 * pair or len, or a NULL buffer that would be written.
 */
QN_EXPORT int qn_avp_fragmented_value(const qn_avp *vp, uint8_t *buffer, size_t *len);

/** Stores len octets of an OCTETS pair. NULL pair: QNE_ATTR_INVALID. */
QN_EXPORT int qn_avp_octets_set(qn_avp *vp, const uint8_t *data, size_t len);

/**
 * Copies the 8 octets of an IFID pair into ifid (room for 8). QNE_OK; QNE_ATTR_INVALID for a
 * NULL pair or another type; QNE_INVAL for a NULL ifid.
 */
QN_EXPORT int qn_avp_ifid_value(const qn_avp *vp, uint8_t *ifid);

/** Stores the 8 octets at ifid in an IFID pair. NULL pair: QNE_ATTR_INVALID. */
QN_EXPORT int qn_avp_ifid_set(qn_avp *vp, const uint8_t *ifid);

/** The number of a BYTE pair, or 0. */
QN_EXPORT uint8_t qn_avp_byte_value(const qn_avp *vp);

/** Stores a number. NULL pair: QNE_ATTR_INVALID. */
QN_EXPORT int qn_avp_byte_set(qn_avp *vp, uint8_t value);

/** The number of a SHORT pair, or 0. */
QN_EXPORT uint16_t qn_avp_short_value(const qn_avp *vp);

/** Stores a number. NULL pair: QNE_ATTR_INVALID. */
QN_EXPORT int qn_avp_short_set(qn_avp *vp, uint16_t value);

#ifdef __cplusplus
}
#endif

#endif /* QUELNA_QUELNA_H */
