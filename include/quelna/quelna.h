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
