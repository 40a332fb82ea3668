// The TID client engine: connects to a server, establishes a mutually authenticated GSS-API
// context with the service "tid@server", and exchanges one protected request and response.
#include <netdb.h>
#include <openssl/dh.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <gssapi/gssapi_krb5.h>

#include <string>

#include "hb_dh.h"
#include "tid_int.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

/** One open connection of a client instance: a talloc child of the instance. */
struct tidc_conn {
    int fd;
    gss_ctx_id_t ctx;
    tidc_conn *next;
};

namespace quelna::tid {
namespace {

// How long the client waits for each message; the server derives a key before it answers.
constexpr int kServerTimeout = 30;
constexpr int kMaxRounds = 4;

int conn_destructor(tidc_conn *conn)
{
    OM_uint32 minor = 0;
    if (conn->ctx != GSS_C_NO_CONTEXT)
        gss_delete_sec_context(&minor, &conn->ctx, GSS_C_NO_BUFFER);
    if (conn->fd >= 0)
        close(conn->fd);
    return 0;
}

int tidc_destructor(TIDC_INSTANCE *tidc)
{
    hb_destroy_dh_params(tidc->client_dh);
    return 0;
}

int connect_to(const char *server, unsigned int port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    const int gai = getaddrinfo(server, service.c_str(), &hints, &found);
    if (gai != 0) {
        hb_log(LOG_ERR, "tidc: cannot resolve %s: %s", server, gai_strerror(gai));
        return -1;
    }
    int fd = -1;
    for (addrinfo *ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0)
            continue;
        set_io_timeout(fd, kServerTimeout);  // also bounds connect
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0)
        hb_log(LOG_ERR, "tidc: cannot connect to %s port %u", server, port);
    return fd;
}

// The initiator side of context establishment, with mutual authentication and protection.
bool init_context(int fd, const char *server, gss_ctx_id_t &ctx)
{
    GssName target;
    if (!import_service_name(std::string("tid@") + server, target))
        return false;
    const OM_uint32 wanted = GSS_C_MUTUAL_FLAG | GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG |
                             GSS_C_REPLAY_FLAG | GSS_C_SEQUENCE_FLAG;
    std::string token;
    for (int round = 0; round < kMaxRounds; ++round) {
        OM_uint32 minor = 0;
        OM_uint32 flags = 0;
        gss_buffer_desc input{token.size(), token.data()};
        gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
        const OM_uint32 major = gss_init_sec_context(
            &minor, GSS_C_NO_CREDENTIAL, &ctx, target.name, const_cast<gss_OID>(gss_mech_krb5),
            wanted, 0, GSS_C_NO_CHANNEL_BINDINGS, round == 0 ? GSS_C_NO_BUFFER : &input,
            nullptr, &output, &flags, nullptr);
        if (GSS_ERROR(major)) {
            const std::string text = gss_error_text(major, minor);
            hb_log(LOG_ERR, "tidc: cannot authenticate to %s: %s", server, text.c_str());
            gss_release_buffer(&minor, &output);
            return false;
        }
        const bool sent = output.length == 0 || send_token(fd, output);
        gss_release_buffer(&minor, &output);
        if (!sent)
            return false;
        if (major == GSS_S_COMPLETE) {
            const OM_uint32 needed = GSS_C_MUTUAL_FLAG | GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG;
            if ((flags & needed) != needed) {
                hb_log(LOG_ERR, "tidc: the context with %s lacks protection", server);
                return false;
            }
            return true;
        }
        std::string err;
        if (!read_token(fd, token, err)) {
            hb_log(LOG_ERR, "tidc: authentication with %s failed: %s", server, err.c_str());
            return false;
        }
    }
    return false;
}

tidc_conn *find_conn(TIDC_INSTANCE *tidc, int fd, gss_ctx_id_t ctx)
{
    for (tidc_conn *c = tidc->conns; c != nullptr; c = c->next)
        if (c->fd == fd && c->ctx == ctx)
            return c;
    return nullptr;
}

}  // namespace
}  // namespace quelna::tid

using namespace quelna::tid;

extern "C" {

TIDC_INSTANCE *tidc_create(void)
{
    TIDC_INSTANCE *tidc = talloc_zero(nullptr, TIDC_INSTANCE);
    if (tidc != nullptr)
        talloc_set_destructor(tidc, tidc_destructor);
    return tidc;
}

int tidc_open_connection(TIDC_INSTANCE *tidc, const char *server, unsigned int port,
                         gss_ctx_id_t *gssctx)
{
    if (tidc == nullptr || server == nullptr || gssctx == nullptr)
        return -1;
    auto *conn = talloc_zero(tidc, tidc_conn);
    if (conn == nullptr)
        return -1;
    conn->fd = -1;
    conn->ctx = GSS_C_NO_CONTEXT;
    talloc_set_destructor(conn, conn_destructor);
    conn->fd = connect_to(server, port);
    if (conn->fd < 0 || !init_context(conn->fd, server, conn->ctx)) {
        talloc_free(conn);
        return -1;
    }
    conn->next = tidc->conns;
    tidc->conns = conn;
    *gssctx = conn->ctx;
    return conn->fd;
}

int tidc_fwd_request(TIDC_INSTANCE *tidc, int conn, gss_ctx_id_t gssctx, TID_REQ *req,
                     TIDC_RESP_FUNC *resp_handler, void *cookie)
{
    if (tidc == nullptr || req == nullptr || find_conn(tidc, conn, gssctx) == nullptr)
        return -1;
    if (req->tidc_dh == nullptr && tidc->client_dh != nullptr &&
        DH_up_ref(tidc->client_dh) == 1)
        req->tidc_dh = tidc->client_dh;
    std::string err;
    Json msg = encode_request(req);
    if (!msg || !send_wrapped(conn, gssctx, msg.get(), err)) {
        hb_log(LOG_ERR, "tidc: cannot send the request: %s", err.c_str());
        return -1;
    }
    Json answer = read_wrapped(conn, gssctx, err);
    TID_RESP *resp = answer ? decode_response(nullptr, answer.get(), err) : nullptr;
    if (resp == nullptr) {
        hb_log(LOG_ERR, "tidc: no usable response: %s", err.c_str());
        return -1;
    }
    if (resp_handler != nullptr)
        resp_handler(tidc, req, resp, cookie);
    talloc_free(resp);
    return 0;
}

int tidc_send_request(TIDC_INSTANCE *tidc, int conn, gss_ctx_id_t gssctx, const char *rp_realm,
                      const char *realm, const char *comm, TIDC_RESP_FUNC *resp_handler,
                      void *cookie)
{
    TID_REQ *req = tid_req_new(nullptr);
    if (req == nullptr)
        return -1;
    req->rp_realm = hb_new_name(rp_realm);
    req->realm = hb_new_name(realm);
    req->comm = hb_new_name(comm);
    const int rc = (req->rp_realm == nullptr || req->realm == nullptr || req->comm == nullptr)
                       ? -1
                       : tidc_fwd_request(tidc, conn, gssctx, req, resp_handler, cookie);
    tid_req_free(req);
    return rc;
}

void tidc_destroy(TIDC_INSTANCE *tidc)
{
    talloc_free(tidc);
}

}  // extern "C"

#pragma GCC diagnostic pop
