/*
 * The TID layer of the key-exchange programs: names, logging, constraint sets, the request and
 * response records, and the server and client engines that carry them.
 *
 * Wire format: every message is a JSON object (Jansson) sent over TCP as a 4-octet big-endian
 * length followed by that many octets (at most HB_TID_MAX_MSG). A connection first establishes
 * a GSS-API (Kerberos) security context, carrying the context tokens base64-encoded in
 * {"msg_type": "gss_token", "token": ...} messages; an acceptor that refuses the context answers
 * {"msg_type": "error", "error": ...} and closes. After that one request and its response travel
 * as {"msg_type": "wrapped", "data": ...}, the data being the GSS-wrapped (integrity and
 * confidentiality) JSON text of the request or the response. See tid_wire.cpp for the fields.
 *
 * The interface is plain C; the programs include it from C++.
 */
#ifndef QUELNA_PROGRAMS_HB_TID_H
#define QUELNA_PROGRAMS_HB_TID_H

#include <gssapi/gssapi.h>
#include <glib.h>
#include <netinet/in.h>
#include <openssl/types.h>
#include <stddef.h>
#include <talloc.h>

#ifdef __cplusplus
extern "C" {
#endif

/** The TID service's default TCP port. */
#define HB_TID_PORT 12309
/** Largest message body, in octets, either side accepts; longer ones end the connection. */
#define HB_TID_MAX_MSG 65536

struct json_t;

/* ---- names ---------------------------------------------------------------------------- */

/** A counted string. `buf` is NUL-terminated as well, so it may be printed with %s. */
typedef struct hb_name {
    char *buf;
    int len;
} hb_name;

/** A new name holding a copy of `s`; release it with hb_free_name. Null when out of memory. */
hb_name *hb_new_name(const char *s);
/** A new name holding a copy of `len` octets at `s`. */
hb_name *hb_new_name_len(const char *s, size_t len);
/** A copy of `name`, or null when `name` is null. */
hb_name *hb_dup_name(const hb_name *name);
/** Releases a name; null does nothing. */
void hb_free_name(hb_name *name);
/**
 * Compares two names like strncmp over the shorter length, then by length: 0 means equal.
 * A null name sorts before any other; two nulls are equal.
 */
int hb_name_cmp(const hb_name *a, const hb_name *b);

/**
 * Writes `len` octets as lower-case hexadecimal into `out` (size `outsize`), NUL-terminated,
 * as many whole octets as fit. Returns the number of digits written.
 */
size_t hb_bin_to_hex(const unsigned char *bin, size_t len, char *out, size_t outsize);

/* ---- logging -------------------------------------------------------------------------- */

/** Opens the system log under the program's name. */
void hb_log_open(void);
/** Messages at this syslog level or more urgent go to the system log (default LOG_ERR). */
void hb_log_threshold(int level);
/** Messages at this syslog level or more urgent go to standard error (default LOG_ERR). */
void hb_console_threshold(int level);
/** Writes one message at a syslog level (LOG_CRIT is 2, LOG_DEBUG 7). */
void hb_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* ---- records -------------------------------------------------------------------------- */

/** A set of constraints: for each type ("domain", "realm"), match strings. Opaque. */
typedef struct hb_constraint_set HB_CONSTRAINT_SET;
/** An array of match strings; entries may be replaced by talloc strings of the request. */
typedef const char **HB_CONSTRAINT_MATCHES;

/** One TID request. Allocated with talloc; freeing it releases every member. */
typedef struct tid_req {
    hb_name *rp_realm;         /**< the requesting (relying party) realm */
    hb_name *realm;            /**< the target realm */
    hb_name *comm;             /**< the community */
    hb_name *orig_coi;         /**< the original community, or null */
    DH *tidc_dh;               /**< the client's DH record: p, g and pub_key */
    HB_CONSTRAINT_SET *cons;   /**< constraints, or null */
    int expiration_interval;   /**< requested key lifetime in minutes */
    struct json_t *path;       /**< the hops the request took (JSON array), or null */
} TID_REQ;

/** One server entry of a response. */
typedef struct tid_srvr_blk {
    struct in_addr aa_server_addr; /**< the AAA server's IPv4 address */
    hb_name *key_name;             /**< the key identifier */
    DH *aa_server_dh;              /**< the server's DH record (the client reads pub_key) */
    GTimeVal key_expiration;       /**< when the key expires */
    struct json_t *path;           /**< copied from the request, borrowed */
} TID_SRVR_BLK;

/** One TID response. Allocated with talloc; freeing it releases every member and block. */
typedef struct tid_resp {
    int result;                /**< 0 success, non-zero when the server answered an error */
    hb_name *err_msg;          /**< the server's error text, or null */
    hb_name *rp_realm;
    hb_name *realm;
    hb_name *comm;
    hb_name *orig_coi;
    TID_SRVR_BLK *servers;     /**< talloc children of the response */
    size_t num_servers;
} TID_RESP;

/** A new empty request (expiration interval 0), a talloc child of `mem` (may be null). */
TID_REQ *tid_req_new(TALLOC_CTX *mem);
/** Releases a request and all it holds; null does nothing. */
void tid_req_free(TID_REQ *req);
/** A new empty response, a talloc child of `mem`. */
TID_RESP *tid_resp_new(TALLOC_CTX *mem);

/* ---- constraint sets ------------------------------------------------------------------ */

/** A new empty constraint set, a talloc child of `mem`. */
HB_CONSTRAINT_SET *hb_constraint_set_new(TALLOC_CTX *mem);
/**
 * Adds one constraint of `type` whose match strings are the `n` strings of `matches` (copied).
 * A string may start with "*" to match any name ending in the rest. Returns 0, or -1 when out
 * of memory.
 */
int hb_constraint_set_add(HB_CONSTRAINT_SET *set, const char *type, const char *const *matches,
                          size_t n);
/**
 * Intersects the constraints of each type into one: a name is kept when every constraint of
 * its type matches it (a wildcard matches the names and narrower wildcards under it). The
 * result is a talloc child of `req`; null when `set` is null or out of memory.
 */
HB_CONSTRAINT_SET *hb_constraint_set_intersect(TID_REQ *req, HB_CONSTRAINT_SET *set);
/**
 * Gives the match strings of `type` in an intersected set: an array (talloc child of `req`)
 * the caller may rewrite, and its count; no constraint of the type gives 0 strings. Returns 0,
 * or -1 when `set` is null, holds more than one constraint of the type, or memory runs out.
 */
int hb_constraint_set_get_match_strings(TID_REQ *req, HB_CONSTRAINT_SET *set, const char *type,
                                        HB_CONSTRAINT_MATCHES *out, size_t *count);

/**
 * SHA-256 of the octets of the request's client public value. The digest is a talloc child of
 * `req`. Returns 0, or -1 when the request has no public value or memory runs out.
 */
int hb_dh_pub_hash(TID_REQ *req, unsigned char **digest, size_t *digest_len);

/* ---- server engine -------------------------------------------------------------------- */

/** A TID server. */
typedef struct tids_instance {
    int req_count;             /**< requests handled; the request handler increments it */
    const char *ipaddr;        /**< this server's IPv4 address: listened on and handed out */
} TIDS_INSTANCE;

/** Answers one request by filling `resp`; a negative result makes it an error response. */
typedef int(TIDS_REQ_FUNC)(TIDS_INSTANCE *tids, TID_REQ *req, TID_RESP *resp, void *cookie);
/**
 * Decides whether an authenticated client may send a request: 0 accepts. `client_name` is the
 * GSS name, `display_name` its text form (for Kerberos "user@REALM").
 */
typedef int(TIDS_AUTH_FUNC)(gss_name_t client_name, hb_name *display_name, void *cookie);

/** A new server instance, or null. */
TIDS_INSTANCE *tids_create(void);
/**
 * Runs the server: listens on `ipaddr` (any address when unset) and `port` (the environment
 * variable HB_TID_PORT overrides it, so tests can pick free ports), accepts as acceptor the
 * Kerberos service "tid@hostname" from the default keytab, and serves one client after
 * another, one request per connection. Returns when SIGTERM or SIGINT arrives (0) or when
 * listening fails (-1).
 */
int tids_start(TIDS_INSTANCE *tids, TIDS_REQ_FUNC *req_handler, TIDS_AUTH_FUNC *auth_handler,
               const char *hostname, unsigned int port, void *cookie);
/** Releases a server instance; null does nothing. */
void tids_destroy(TIDS_INSTANCE *tids);

/* ---- client engine -------------------------------------------------------------------- */

struct tidc_conn;

/** A TID client. */
typedef struct tidc_instance {
    DH *client_dh;             /**< the client's DH record, filled by the caller, owned here */
    struct tidc_conn *conns;
} TIDC_INSTANCE;

/** Called with each response before the sending call returns. */
typedef void(TIDC_RESP_FUNC)(TIDC_INSTANCE *tidc, TID_REQ *req, TID_RESP *resp, void *cookie);

/** A new client instance, or null. */
TIDC_INSTANCE *tidc_create(void);
/**
 * Connects to `server` (host name or address) on `port` and establishes a mutually
 * authenticated GSS-API context with the service "tid@server", using the default Kerberos
 * credentials. The connection and `*gssctx` belong to the instance. Returns the connection
 * handle, or -1.
 */
int tidc_open_connection(TIDC_INSTANCE *tidc, const char *server, unsigned int port,
                         gss_ctx_id_t *gssctx);
/**
 * Sends one request for a key with `realm` in `comm`, carrying the instance's client DH
 * record, and waits for the response; `resp_handler` has run when this returns. Returns 0, or
 * a negative value when nothing usable came back.
 */
int tidc_send_request(TIDC_INSTANCE *tidc, int conn, gss_ctx_id_t gssctx, const char *rp_realm,
                      const char *realm, const char *comm, TIDC_RESP_FUNC *resp_handler,
                      void *cookie);
/**
 * Sends a request built by the caller (its tidc_dh set, or the instance's record is used) and
 * waits for the response as tidc_send_request does.
 */
int tidc_fwd_request(TIDC_INSTANCE *tidc, int conn, gss_ctx_id_t gssctx, TID_REQ *req,
                     TIDC_RESP_FUNC *resp_handler, void *cookie);
/** Closes the instance's connections and releases it with its DH record; null does nothing. */
void tidc_destroy(TIDC_INSTANCE *tidc);

#ifdef __cplusplus
}
#endif

#endif /* QUELNA_PROGRAMS_HB_TID_H */
