// Internals shared by the TID layer's modules: the framed JSON transport, GSS-API helpers and
// the conversions between records and JSON messages.
#pragma once

#include <gssapi/gssapi.h>
#include <jansson.h>

#include <memory>
#include <string>
#include <string_view>

#include "hb_tid.h"

namespace quelna::tid {

struct JsonDecref {
    void operator()(json_t *json) const { json_decref(json); }
};
/** An owned JSON reference. */
using Json = std::unique_ptr<json_t, JsonDecref>;

/** An owned GSS-API security context; deleting it releases the context. */
struct GssContext {
    gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
    GssContext() = default;
    GssContext(const GssContext &) = delete;
    GssContext &operator=(const GssContext &) = delete;
    ~GssContext();
};

/** An owned GSS-API name. */
struct GssName {
    gss_name_t name = GSS_C_NO_NAME;
    GssName() = default;
    GssName(const GssName &) = delete;
    GssName &operator=(const GssName &) = delete;
    ~GssName();
};

/** The text of a GSS-API status pair, for messages. */
std::string gss_error_text(OM_uint32 major, OM_uint32 minor);

/** Imports "service@host" as a host-based service name; false on failure. */
bool import_service_name(std::string_view service_at_host, GssName &out);

// ---- framed messages (tid_transport.cpp) ----

/** Sets send and receive time-outs on a socket, so no read or write waits for ever. */
void set_io_timeout(int fd, int seconds);
/** Sends one JSON message as a 4-octet big-endian length and its compact text. */
bool write_msg(int fd, json_t *msg);
/**
 * Reads one message: at most HB_TID_MAX_MSG octets, which must be one JSON object. Null on
 * end of stream, time-out, oversize or malformed text; `err` then says which, and *gone (when
 * given) whether the stream itself ended or failed, so that no answer can be sent on it.
 */
Json read_msg(int fd, std::string &err, bool *gone = nullptr);
/** Sends {"msg_type": "error", "error": text}, unprotected. */
void send_error_msg(int fd, std::string_view text);
/** Sends a context token as {"msg_type": "gss_token", "token": base64}. */
bool send_token(int fd, const gss_buffer_desc &token);
/**
 * Reads a context token message into `out_token` (its raw octets). False with
 * `err` set on anything else, including the peer's error message.
 */
bool read_token(int fd, std::string &out_token, std::string &err);
/** Wraps `inner` with integrity and confidentiality and sends it. */
bool send_wrapped(int fd, gss_ctx_id_t ctx, json_t *inner, std::string &err);
/** Reads a wrapped message, unwraps it (confidentiality required) and parses the JSON object. */
Json read_wrapped(int fd, gss_ctx_id_t ctx, std::string &err, bool *gone = nullptr);

// ---- records and JSON (tid_wire.cpp) ----

/** The request as {"msg_type": "tid_request", "msg_body": {...}}; null when out of memory. */
Json encode_request(const TID_REQ *req);
/** A request from a message, as a talloc child of `mem`; null with `err` set when malformed. */
TID_REQ *decode_request(TALLOC_CTX *mem, json_t *msg, std::string &err);
/** The response as {"msg_type": "tid_response", "msg_body": {...}}; null on failure. */
Json encode_response(const TID_RESP *resp, std::string &err);
/** A response from a message, as a talloc child of `mem`; null with `err` set when malformed. */
TID_RESP *decode_response(TALLOC_CTX *mem, json_t *msg, std::string &err);
/** Keeps a reference to `json` for the lifetime of the talloc context `owner`. */
bool keep_json(TALLOC_CTX *owner, json_t *json);

// ---- constraint sets (tid_constraint.cpp) ----

/** The constraint set as a JSON array of {"type": ..., "matches": [...]}; null on failure. */
Json constraints_to_json(const HB_CONSTRAINT_SET *set);
/** A constraint set from such an array, a talloc child of `mem`; null when malformed. */
HB_CONSTRAINT_SET *constraints_from_json(TALLOC_CTX *mem, json_t *array, std::string &err);

}  // namespace quelna::tid
