// The library context, its allocation scheme, and address resolution.
#include <cstdlib>
#include <cstring>

#include <event2/util.h>
#include <netinet/in.h>

#include "quelna_int.h"

void *qn_calloc(const qn_context *ctx, size_t nmemb, size_t size)
{
    return ctx->alloc_scheme.calloc ? ctx->alloc_scheme.calloc(nmemb, size)
                                    : calloc(nmemb, size);
}

void *qn_malloc(const qn_context *ctx, size_t size)
{
    return ctx->alloc_scheme.malloc ? ctx->alloc_scheme.malloc(size) : malloc(size);
}

void qn_free(const qn_context *ctx, void *ptr)
{
    if (ctx->alloc_scheme.free)
        ctx->alloc_scheme.free(ptr);
    else
        free(ptr);
}

extern "C" {

QN_EXPORT int qn_context_create(qn_context **ctx)
{
    if (tls_init() != 0)
        return QNE_SSLERR;
    auto *h = static_cast<qn_context *>(calloc(1, sizeof(qn_context)));
    if (!h)
        return QNE_NOMEM;
    debug_init("libquelna");
    *ctx = h;
    return 0;
}

QN_EXPORT void qn_context_destroy(qn_context *ctx)
{
    if (!ctx)
        return;
    if (ctx->config) {
        conf_free(ctx, ctx->config);
        ctx->config = nullptr;
    }
    if (ctx->err)
        qn_err_free(ctx->err);
    free(ctx);
}

QN_EXPORT int qn_context_set_alloc_scheme(qn_context *ctx, qn_alloc_scheme * /*scheme*/)
{
    return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOSYS, nullptr);
}

QN_EXPORT qn_error *qn_resolve(struct evutil_addrinfo **addr, qn_conn_type type,
                               const char *hostname, const char *service)
{
    struct evutil_addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_flags = EVUTIL_AI_ADDRCONFIG;
    switch (type) {
    case QN_CONN_TYPE_UDP:
    case QN_CONN_TYPE_DTLS:
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        break;
    case QN_CONN_TYPE_TCP:
    case QN_CONN_TYPE_TLS:
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        break;
    default:
        return QN_ERR_CREATE_FL(QNE_INVALID_CONN, nullptr);
    }

    struct evutil_addrinfo *res = nullptr;
    int rc = evutil_getaddrinfo(hostname, service, &hints, &res);
    if (rc != 0)
        return QN_ERR_CREATE_FL(QNE_BADADDR, "%s:%s: bad host name or service name (%s)",
                                hostname ? hostname : "", service ? service : "",
                                evutil_gai_strerror(rc));
    *addr = res;
    return nullptr;
}

}  // extern "C"
