// The server quelna-client talks to: a realm of the library's configuration file, or one given
// on the command line, made in code with the library's realm operations (nothing is written to
// disk: the shared secret stays in memory).
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client.h"

namespace quelna::client {
namespace {

constexpr char kRealm[] = "quelna-client";
constexpr char kTlsPort[] = "2083";       // RFC 6614
constexpr char kTlsSecret[] = "radsec";   // RFC 6614 §2.3: the secret inside TLS
constexpr char kDtlsSecret[] = "radius/dtls";  // RFC 7360 §2.1: the secret inside DTLS

bool has_control(std::string_view text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    return false;
}

/** Splits host[:port], [v6]:port, [v6] or a bare IPv6 literal. False when malformed. */
bool split_server(const std::string &server, std::string *host, std::string *port)
{
    port->clear();
    if (!server.empty() && server.front() == '[') {
        size_t close = server.find(']');
        if (close == std::string::npos || close == 1)
            return false;
        *host = server.substr(1, close - 1);
        std::string rest = server.substr(close + 1);
        if (rest.empty())
            return true;
        if (rest.front() != ':' || rest.size() == 1)
            return false;
        *port = rest.substr(1);
        return true;
    }
    size_t colon = server.find(':');
    if (colon == std::string::npos || server.find(':', colon + 1) != std::string::npos) {
        *host = server;  // no port, or an IPv6 literal without brackets
        return !host->empty();
    }
    *host = server.substr(0, colon);
    *port = server.substr(colon + 1);
    return !host->empty() && !port->empty();
}

bool valid_port(const std::string &port)
{
    if (port.find_first_not_of("0123456789") != std::string::npos) {
        // A service name, resolved by the library. RFC 6335 §5.1: at most 15 letters, digits
        // and hyphens, starting with a letter, not ending in a hyphen, no two hyphens together.
        return port.size() <= 15 && std::isalpha(static_cast<unsigned char>(port.front())) &&
               port.back() != '-' && port.find("--") == std::string::npos &&
               port.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") ==
                   std::string::npos;
    }
    long n = std::strtol(port.c_str(), nullptr, 10);
    return port.size() <= 5 && n >= 1 && n <= 65535;
}

/** Whether file can be opened for reading and is no directory (which opens, but reads as
 *  nothing); false with the system's reason in *why. */
bool readable(const std::string &file, const char *what, std::string *why)
{
    int error = 0;
    if (std::FILE *f = std::fopen(file.c_str(), "r")) {
        struct stat st;
        if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode))
            error = EISDIR;
        std::fclose(f);
    } else {
        error = errno;
    }
    if (error != 0)
        *why = std::string("cannot read ") + what + " " + file + ": " + std::strerror(error);
    return error == 0;
}

bool is_hex(const std::string &text)
{
    return !text.empty() && text.size() % 2 == 0 &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

/** The library's message of an error taken out of a slot ("" for none); releases it. */
std::string take_message(qn_error *err)
{
    std::string text = err && qn_err_msg(err) ? qn_err_msg(err) : "";
    if (err)  // releasing no error is not allowed
        qn_err_free(err);
    return text;
}

}  // namespace

Status command_line_realm(const Options &o, qn_context *ctx, std::string *why)
{
    std::string host, port;
    if (!split_server(o.server, &host, &port)) {
        *why = "bad server \"" + o.server + "\": expected HOST[:PORT] or [IPv6]:PORT";
        return kUsage;
    }
    const bool dtls = o.transport == "dtls";
    const bool tls = o.transport == "tls" || dtls;
    if (port.empty())
        port = tls ? kTlsPort : std::string(o.kind->udp_port);
    if (!valid_port(port)) {
        *why = "bad port \"" + port + "\" (1..65535 or a service name)";
        return kUsage;
    }
    std::string secret;
    if (o.secret) {
        secret = *o.secret;  // read_secrets() has put the file's or variable's secret here
    } else if (tls) {
        secret = dtls ? kDtlsSecret : kTlsSecret;
    } else {
        *why = "no shared secret: give -S SECRET, --secret-file FILE or --secret-env NAME";
        return kUsage;
    }
    if (secret.empty()) {
        *why = "the shared secret is empty";
        return kUsage;
    }
    for (const std::string *v : std::initializer_list<const std::string *>{
             &host, &secret, &o.psk_id, &o.psk_text, &o.ca_file,
                                 &o.cert_file, &o.key_file}) {
        if (has_control(*v)) {
            *why = "control characters are not allowed in server, secret, PSK or file names";
            return kUsage;
        }
    }
    if (!o.ca_file.empty() && !readable(o.ca_file, "CA file", why))
        return kUsage;
    if (!o.cert_file.empty() && !readable(o.cert_file, "certificate file", why))
        return kUsage;
    if (!o.key_file.empty() && !readable(o.key_file, "key file", why))
        return kUsage;
    if (!o.psk_hex.empty() && !is_hex(o.psk_hex)) {
        *why = "--psk-hex: not an even number of hex digits";
        return kUsage;
    }

    qn_realm *r = nullptr;
    const int type = o.transport == "udp" ? QN_CONN_TYPE_UDP
                     : dtls               ? QN_CONN_TYPE_DTLS
                     : tls                ? QN_CONN_TYPE_TLS
                                          : QN_CONN_TYPE_TCP;
    auto opt = [](const std::string &v) { return v.empty() ? nullptr : v.c_str(); };
    int rc = qn_realm_create(ctx, kRealm, type, &r);
    if (rc == 0 && !(o.ca_file.empty() && o.cert_file.empty() && o.key_file.empty()))
        rc = qn_realm_set_tls_files(r, opt(o.ca_file), opt(o.cert_file), opt(o.key_file));
    if (rc == 0 && !o.psk_id.empty())
        rc = o.psk_hex.empty()
                 ? qn_realm_set_psk(r, o.psk_id.c_str(), o.psk_text.c_str(), QN_KEY_ENCODING_TEXT)
                 : qn_realm_set_psk(r, o.psk_id.c_str(), o.psk_hex.c_str(), QN_KEY_ENCODING_HEX);
    if (rc == 0 && o.no_hostname_check)
        rc = qn_realm_set_hostname_check(r, 0);
    if (rc == 0 && !o.require_msg_auth.empty())
        rc = qn_realm_set_require_message_authenticator(r, o.require_msg_auth.c_str());
    if (rc == 0)
        rc = qn_realm_add_server(r, host.c_str(), port.c_str(), secret.c_str());
    if (rc != 0) {
        *why = take_message(qn_err_ctx_pop(ctx));
        return rc == QNE_NOMEM ? kFailure : kUsage;
    }
    return kPositive;
}

Session::~Session()
{
    if (conn_)
        qn_conn_destroy(conn_);
    if (ctx_)
        qn_context_destroy(ctx_);
}

Status Session::read_config(const std::string &file)
{
    if (qn_context_create(&ctx_) != 0) {
        ctx_ = nullptr;
        complain("cannot set up the library (TLS library or memory)");
        return kFailure;
    }
    int rc;
    {
        StderrMute mute(true);
        rc = qn_context_read_config(ctx_, file.c_str());
    }
    if (rc != 0) {
        complain("%s", take_message(qn_err_ctx_pop(ctx_)).c_str());
        return rc == QNE_CONFIG ? kUsage : kFailure;
    }
    return kPositive;
}

Status Session::connect(const std::string &file, const std::string &realm)
{
    if (!qn_conf_find_realm(ctx_, realm.c_str())) {
        complain("%s: no realm \"%s\"", file.c_str(), realm.c_str());
        return kUsage;
    }
    if (qn_conn_create(ctx_, &conn_, realm.c_str()) != 0) {
        conn_ = nullptr;
        complain("%s", take_message(qn_err_ctx_pop(ctx_)).c_str());
        return kFailure;
    }
    return kPositive;
}

Status load_dictionaries(const Options &o)
{
    if (o.dictionaries.empty())
        return kPositive;
    // The tables are the whole process's; a context of its own only carries the messages.
    qn_context *ctx = nullptr;
    if (qn_context_create(&ctx) != 0) {
        complain("cannot set up the library (TLS library or memory)");
        return kFailure;
    }
    Status result = kPositive;
    for (const std::string &file : o.dictionaries) {
        if (const int rc = qn_dict_load(ctx, file.c_str()); rc != 0) {
            complain("%s", take_message(qn_err_ctx_pop(ctx)).c_str());
            result = rc == QNE_NOMEM ? kFailure : kUsage;
            break;
        }
    }
    qn_context_destroy(ctx);
    return result;
}

Status Session::open(const Options &o)
{
    std::string why;
    if (o.server.empty()) {
        if (!readable(o.config_file, "configuration file", &why)) {
            complain("%s", why.c_str());
            return kUsage;
        }
        realm_file_ = o.config_file;
        realm_ = o.realm;
        return read_config(o.config_file);
    }
    if (qn_context_create(&ctx_) != 0) {
        ctx_ = nullptr;
        complain("cannot set up the library (TLS library or memory)");
        return kFailure;
    }
    realm_file_ = realm_ = kRealm;
    if (Status s = command_line_realm(o, ctx_, &why); s != kPositive) {
        complain("%s", why.c_str());
        return s;
    }
    return kPositive;
}

}  // namespace quelna::client
