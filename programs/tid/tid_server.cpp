// The TID server engine: listens, authenticates each client with GSS-API as the service
// "tid@host", asks the authorisation handler, and answers one protected request per
// connection through the request handler. Clients are served one after another.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <gssapi/gssapi_krb5.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tid_int.h"

namespace quelna::tid {
namespace {

// How long one client may keep the server waiting for each message.
constexpr int kClientTimeout = 10;
// Context establishment rounds a client may take; Kerberos needs one.
constexpr int kMaxRounds = 4;

volatile sig_atomic_t g_stop = 0;

extern "C" void on_stop_signal(int)
{
    g_stop = 1;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct Cred {
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    Cred() = default;
    Cred(const Cred &) = delete;
    Cred &operator=(const Cred &) = delete;
    ~Cred()
    {
        OM_uint32 minor = 0;
        if (cred != GSS_C_NO_CREDENTIAL)
            gss_release_cred(&minor, &cred);
    }
};

// Runs the acceptor side of context establishment; fills `peer` with the client's name.
bool accept_context(int fd, gss_cred_id_t cred, GssContext &ctx, GssName &peer)
{
    for (int round = 0; round < kMaxRounds; ++round) {
        std::string token;
        std::string err;
        if (!read_token(fd, token, err)) {
            hb_log(LOG_INFO, "tids: context establishment failed: %s", err.c_str());
            send_error_msg(fd, "expected a context token");
            return false;
        }
        OM_uint32 minor = 0;
        OM_uint32 flags = 0;
        gss_buffer_desc input{token.size(), token.data()};
        gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
        if (peer.name != GSS_C_NO_NAME)
            gss_release_name(&minor, &peer.name);
        const OM_uint32 major =
            gss_accept_sec_context(&minor, &ctx.ctx, cred, &input, GSS_C_NO_CHANNEL_BINDINGS,
                                   &peer.name, nullptr, &output, &flags, nullptr, nullptr);
        if (GSS_ERROR(major)) {
            const std::string text = gss_error_text(major, minor);
            hb_log(LOG_INFO, "tids: client not authenticated: %s", text.c_str());
            gss_release_buffer(&minor, &output);
            send_error_msg(fd, "authentication failed");
            return false;
        }
        const bool sent = output.length == 0 || send_token(fd, output);
        gss_release_buffer(&minor, &output);
        if (!sent)
            return false;
        if (major == GSS_S_COMPLETE) {
            // Requests and keys travel encrypted; a context that cannot do that is refused.
            const OM_uint32 needed = GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG;
            if ((flags & needed) != needed) {
                hb_log(LOG_INFO, "tids: client context lacks confidentiality");
                return false;
            }
            return true;
        }
    }
    hb_log(LOG_INFO, "tids: context establishment took too many rounds");
    send_error_msg(fd, "too many context tokens");
    return false;
}

// A response naming the request it answers, when there is one; null when out of memory.
TID_RESP *response_for(const TID_REQ *req)
{
    TID_RESP *resp = tid_resp_new(nullptr);
    if (resp != nullptr && req != nullptr) {
        resp->rp_realm = hb_dup_name(req->rp_realm);
        resp->realm = hb_dup_name(req->realm);
        resp->comm = hb_dup_name(req->comm);
        resp->orig_coi = hb_dup_name(req->orig_coi);
    }
    return resp;
}

// Sends an error response naming the request it answers, when there is one.
void answer_error(int fd, gss_ctx_id_t ctx, const TID_REQ *req, const char *text)
{
    TID_RESP *resp = response_for(req);
    if (resp == nullptr)
        return;
    resp->result = 1;
    resp->err_msg = hb_new_name(text);
    std::string err;
    Json msg = encode_response(resp, err);
    if (!msg || !send_wrapped(fd, ctx, msg.get(), err))
        hb_log(LOG_INFO, "tids: cannot send an error response: %s", err.c_str());
    talloc_free(resp);
}

struct Handlers {
    TIDS_INSTANCE *tids;
    TIDS_REQ_FUNC *req_handler;
    TIDS_AUTH_FUNC *auth_handler;
    void *cookie;
};

void serve_client(int fd, gss_cred_id_t cred, const Handlers &h)
{
    GssContext ctx;
    GssName peer;
    if (!accept_context(fd, cred, ctx, peer))
        return;
    OM_uint32 minor = 0;
    gss_buffer_desc shown = GSS_C_EMPTY_BUFFER;
    if (gss_display_name(&minor, peer.name, &shown, nullptr) != GSS_S_COMPLETE)
        return;
    hb_name *display = hb_new_name_len(static_cast<const char *>(shown.value), shown.length);
    gss_release_buffer(&minor, &shown);
    if (display == nullptr)
        return;
    // Without an authorisation handler nobody is authorised.
    const bool authorised = h.auth_handler != nullptr &&
                            h.auth_handler(peer.name, display, h.cookie) == 0;
    if (!authorised)
        hb_log(LOG_NOTICE, "tids: client %s is not authorised", display->buf);
    hb_free_name(display);

    std::string err;
    bool gone = false;
    Json msg = read_wrapped(fd, ctx.ctx, err, &gone);
    if (!msg) {
        hb_log(LOG_INFO, "tids: no request: %s", err.c_str());
        if (!gone)
            answer_error(fd, ctx.ctx, nullptr, "malformed message");
        return;
    }
    TID_REQ *req = decode_request(nullptr, msg.get(), err);
    if (req == nullptr) {
        hb_log(LOG_INFO, "tids: malformed request: %s", err.c_str());
        answer_error(fd, ctx.ctx, nullptr, "malformed request");
        return;
    }
    if (!authorised) {
        answer_error(fd, ctx.ctx, req, "client is not authorised");
        tid_req_free(req);
        return;
    }
    TID_RESP *resp = response_for(req);
    const int rc = resp == nullptr ? -1 : h.req_handler(h.tids, req, resp, h.cookie);
    Json answer = rc < 0 ? nullptr : encode_response(resp, err);
    if (rc < 0)
        answer_error(fd, ctx.ctx, req, "request failed");
    else if (!answer)
        answer_error(fd, ctx.ctx, req, err.c_str());
    else if (!send_wrapped(fd, ctx.ctx, answer.get(), err))
        hb_log(LOG_INFO, "tids: cannot send the response: %s", err.c_str());
    talloc_free(resp);
    tid_req_free(req);
}

// The port from HB_TID_PORT when set to a valid port number, else `port`.
unsigned int effective_port(unsigned int port)
{
    const char *text = std::getenv("HB_TID_PORT");
    if (text == nullptr || *text == '\0')
        return port;
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == '\0' && value > 0 && value < 65536) ? static_cast<unsigned int>(value) : port;
}

int open_listener(const char *ipaddr, unsigned int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (ipaddr != nullptr && inet_aton(ipaddr, &addr.sin_addr) == 0) {
        hb_log(LOG_ERR, "tids: %s is not an IPv4 address", ipaddr);
        return -1;
    }
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (fd.fd < 0 || setsockopt(fd.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd.fd, 16) != 0) {
        hb_log(LOG_ERR, "tids: cannot listen on port %u: %s", port, std::strerror(errno));
        return -1;
    }
    const int out = fd.fd;
    fd.fd = -1;
    return out;
}

bool acquire_acceptor(const char *hostname, Cred &cred)
{
    if (hostname == nullptr || *hostname == '\0')
        return true;  // any key in the keytab
    GssName name;
    OM_uint32 minor = 0;
    const std::string service = std::string("tid@") + hostname;
    if (!import_service_name(service, name))
        return false;
    gss_OID_set_desc mechs{1, const_cast<gss_OID>(gss_mech_krb5)};
    const OM_uint32 major = gss_acquire_cred(&minor, name.name, GSS_C_INDEFINITE, &mechs,
                                             GSS_C_ACCEPT, &cred.cred, nullptr, nullptr);
    if (major != GSS_S_COMPLETE) {
        const std::string text = gss_error_text(major, minor);
        hb_log(LOG_ERR, "tids: no acceptor credentials for %s: %s", service.c_str(),
               text.c_str());
        return false;
    }
    return true;
}

// Serves until a stop signal. The signals stay blocked except while waiting for a client, so
// a client being served is finished first and no signal is lost between check and wait.
int serve(int listen_fd, gss_cred_id_t cred, const Handlers &h)
{
    sigset_t stop_set;
    sigset_t old_mask;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGINT);
    struct sigaction act {};
    act.sa_handler = on_stop_signal;
    sigemptyset(&act.sa_mask);
    struct sigaction old_term {};
    struct sigaction old_int {};
    pthread_sigmask(SIG_BLOCK, &stop_set, &old_mask);
    sigaction(SIGTERM, &act, &old_term);
    sigaction(SIGINT, &act, &old_int);
    sigset_t wait_mask = old_mask;
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);

    g_stop = 0;
    int rc = 0;
    while (!g_stop) {
        pollfd pfd{listen_fd, POLLIN, 0};
        const int ready = ppoll(&pfd, 1, nullptr, &wait_mask);
        if (ready < 0 && errno != EINTR) {
            rc = -1;
            break;
        }
        if (ready <= 0)
            continue;
        Fd client(accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
        if (client.fd < 0)
            continue;
        set_io_timeout(client.fd, kClientTimeout);
        serve_client(client.fd, cred, h);
    }
    sigaction(SIGTERM, &old_term, nullptr);
    sigaction(SIGINT, &old_int, nullptr);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return rc;
}

}  // namespace
}  // namespace quelna::tid

using namespace quelna::tid;

extern "C" {

TIDS_INSTANCE *tids_create(void)
{
    return talloc_zero(nullptr, TIDS_INSTANCE);
}

int tids_start(TIDS_INSTANCE *tids, TIDS_REQ_FUNC *req_handler, TIDS_AUTH_FUNC *auth_handler,
               const char *hostname, unsigned int port, void *cookie)
{
    if (tids == nullptr || req_handler == nullptr)
        return -1;
    Cred cred;
    if (!acquire_acceptor(hostname, cred))
        return -1;
    Fd listener(open_listener(tids->ipaddr, effective_port(port)));
    if (listener.fd < 0)
        return -1;
    return serve(listener.fd, cred.cred, Handlers{tids, req_handler, auth_handler, cookie});
}

void tids_destroy(TIDS_INSTANCE *tids)
{
    talloc_free(tids);
}

}  // extern "C"
