// Error objects and the single error slot of contexts and connections.
#include <array>
#include <climits>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "quelna_int.h"

namespace {

// Index = code; these texts are part of the interface.
constexpr std::array<std::string_view, 46> errtxt = {
    "SUCCESS",
    "out of memory",
    "not yet implemented",
    "invalid handle",
    "invalid connection",
    "connection type mismatch",
    "FreeRadius error",
    "bad hostname or port",
    "no peer configured",
    "libevent error",
    "socket error",
    "invalid configuration file",
    "authentication failed",
    "internal error",
    "SSL error",
    "invalid packet",
    "connect timeout",
    "invalid argument",
    "I/O timeout",
    "timeout",
    "peer disconnected",
    "resource is in use",
    "packet is too small",
    "packet is too large",
    "attribute overflows packet",
    "attribute is too small",
    "attribute is too large",
    "unknown attribute",
    "invalid name for attribute",
    "invalid value for attribute",
    "invalid attribute",
    "too many attributes in the packet",
    "attribute type unknown",
    "invalid message authenticator",
    "incorrect message authenticator",
    "request is required",
    "invalid request code",
    "incorrect request authenticator",
    "response code is unsupported",
    "response ID is invalid",
    "response from the wrong source address",
    "no packet data",
    "vendor is unknown",
    "invalid credentials",
    "certificate validation error",
    "request cancelled",
};
static_assert(errtxt.size() == QNE_CANCELLED + 1);

std::string_view base_name(std::string_view path)
{
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void slot_store(qn_error **slot, qn_error *err)
{
    if (*slot)
        qn_err_free(*slot);
    *slot = err;
}

}  // namespace

const char *err_text(int code)
{
    // Unsigned comparison: every negative code is outside the table.
    return static_cast<unsigned int>(code) < errtxt.size() ? errtxt[code].data() : "";
}

qn_error *_err_vcreate(int code, const char *file, int line, const char *fmt, va_list args)
{
    auto *err = static_cast<qn_error *>(malloc(sizeof(qn_error)));
    if (!err)
        return nullptr;
    memset(err, 0, sizeof(*err));
    err->code = code;

    int n = 0;
    if (fmt) {
        n = vsnprintf(err->buf, sizeof(err->buf), fmt, args);
    } else {
        snprintf(err->buf, sizeof(err->buf), "%s", err_text(code));
    }

    if (file && n >= 0) {
        size_t used = strlen(err->buf);
        if (used < sizeof(err->buf) - 1) {
            auto base = base_name(file);
            snprintf(err->buf + used, sizeof(err->buf) - used, " (%.*s:%d)",
                     static_cast<int>(base.size()), base.data(), line);
        }
    }
    return err;
}

qn_error *err_create(int code, const char *file, int line, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    qn_error *err = _err_vcreate(code, file, line, fmt, args);
    va_end(args);
    return err;
}

int err_conn_push_err(qn_connection *conn, qn_error *err)
{
    assert(conn);
    assert(err);
    slot_store(&conn->err, err);
    return err->code;
}

namespace {

// Records a new error in a context's or connection's slot; its code, or QNE_NOMEM.
int slot_vpush(qn_error **slot, int code, const char *file, int line, const char *fmt,
               va_list args)
{
    qn_error *err = _err_vcreate(code, file, line, fmt, args);
    if (!err)
        return QNE_NOMEM;
    slot_store(slot, err);
    return err->code;
}

int ctx_vpush(qn_context *ctx, int code, const char *file, int line, const char *fmt,
              va_list args)
{
    assert(ctx);
    return slot_vpush(&ctx->err, code, file, line, fmt, args);
}

int conn_vpush(qn_connection *conn, int code, const char *file, int line, const char *fmt,
               va_list args)
{
    assert(conn);
    return slot_vpush(&conn->err, code, file, line, fmt, args);
}

}  // namespace

extern "C" {

QN_EXPORT int qn_err_ctx_push(qn_context *ctx, int code, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int r = ctx_vpush(ctx, code, nullptr, 0, fmt, args);
    va_end(args);
    return r;
}

QN_EXPORT int qn_err_ctx_push_fl(qn_context *ctx, int code, const char *file, int line,
                                 const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int r = ctx_vpush(ctx, code, file, line, fmt, args);
    va_end(args);
    return r;
}

QN_EXPORT int qn_err_conn_push(qn_connection *conn, int code, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int r = conn_vpush(conn, code, nullptr, 0, fmt, args);
    va_end(args);
    return r;
}

QN_EXPORT int qn_err_conn_push_fl(qn_connection *conn, int code, const char *file, int line,
                                  const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int r = conn_vpush(conn, code, file, line, fmt, args);
    va_end(args);
    return r;
}

QN_EXPORT qn_error *qn_err_ctx_pop(qn_context *ctx)
{
    if (!ctx)
        return nullptr;
    qn_error *err = ctx->err;
    ctx->err = nullptr;
    return err;
}

QN_EXPORT qn_error *qn_err_conn_pop(qn_connection *conn)
{
    if (!conn)
        return nullptr;
    qn_error *err = conn->err;
    conn->err = nullptr;
    return err;
}

QN_EXPORT int qn_err_conn_peek_code(qn_connection *conn)
{
    if (!conn)
        return -1;
    return conn->err ? conn->err->code : QNE_OK;
}

QN_EXPORT void qn_err_free(qn_error *err)
{
    assert(err);
    free(err);
}

QN_EXPORT char *qn_err_msg(qn_error *err)
{
    return err ? err->buf : nullptr;
}

QN_EXPORT const char *qn_strerror(int code)
{
    return err_text(code < 0 && code != INT_MIN ? -code : code);
}

QN_EXPORT const char *qn_code_name(unsigned int code)
{
    return code <= LR_MAX_PACKET_CODE ? lr_packet_codes[code] : "";
}

QN_EXPORT int qn_err_code(qn_error *err, int free_flag)
{
    if (!err)
        return -1;
    int code = err->code;
    if (free_flag)
        qn_err_free(err);
    return code;
}

}  // extern "C"
