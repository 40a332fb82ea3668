/*
 * libquelna: a RADIUS client library (UDP, TCP, TLS).
 *
 * Conventions of this interface:
 *  - Operations returning int give 0 on success, otherwise one of the QNE_* codes below, and
 *    record an error object (code and message) on the context or connection they work on.
 *    Take it out with qn_err_ctx_pop() / qn_err_conn_pop().
 *  - A context and its connections are used by one thread at a time.
 *  - Handles are opaque; the application destroys what it creates (connections before their
 *    context).
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
    QNE_CODEC = 6,                /* RADIUS codec error */
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
    QNE_CERT = 44                 /* "certificate validation error" */
};

/** Connection types; the configuration words are "UDP", "TCP", "TLS" and "DTLS". */
typedef enum qn_conn_type {
    QN_CONN_TYPE_NONE = 0,
    QN_CONN_TYPE_UDP = 1,
    QN_CONN_TYPE_TCP = 2,
    QN_CONN_TYPE_TLS = 3,
    QN_CONN_TYPE_DTLS = 4
} qn_conn_type;

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
 * Returns 0, QNE_CONFIG (file missing or malformed, bad type word, TLS realm without CA file
 * or PSK, realm without name) or QNE_NOMEM; the message is recorded on the context.
 * After a failure the context still holds what was read so far; destroy it.
 */
QN_EXPORT int qn_context_read_config(qn_context *ctx, const char *config_file);

/** The first realm called name (case-sensitive), or NULL when none or no configuration. */
QN_EXPORT qn_realm *qn_conf_find_realm(qn_context *ctx, const char *name);

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

#ifdef __cplusplus
}
#endif

#endif /* QUELNA_QUELNA_H */
