// The server quelna-client talks to: a realm of the library's configuration file, or one given
// on the command line. The library takes transport and TLS settings only from a configuration
// file, so a command-line server becomes a private temporary file read the same way.
#include <fcntl.h>
#include <unistd.h>

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

/** Text in double quotes for the configuration syntax: \ and " escaped. */
std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

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
        // A service name, resolved by the library.
        return port.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") ==
               std::string::npos;
    }
    long n = std::strtol(port.c_str(), nullptr, 10);
    return port.size() <= 5 && n >= 1 && n <= 65535;
}

bool readable(const std::string &file, const char *what, std::string *why)
{
    if (std::FILE *f = std::fopen(file.c_str(), "r")) {
        std::fclose(f);
        return true;
    }
    *why = std::string("cannot read ") + what + " " + file + ": " + std::strerror(errno);
    return false;
}

bool read_secret_file(const std::string &file, std::string *secret, std::string *why)
{
    std::FILE *f = std::fopen(file.c_str(), "r");
    if (!f) {
        *why = "cannot read secret file " + file + ": " + std::strerror(errno);
        return false;
    }
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len = getline(&line, &cap, f);
    std::fclose(f);
    if (len > 0)
        secret->assign(line, static_cast<size_t>(len));
    std::free(line);
    while (!secret->empty() && (secret->back() == '\n' || secret->back() == '\r'))
        secret->pop_back();
    if (secret->empty()) {
        *why = "secret file " + file + " has no secret on its first line";
        return false;
    }
    return true;
}

bool is_hex(const std::string &text)
{
    return !text.empty() && text.size() % 2 == 0 &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

/** Removes the temporary configuration file when the scope ends. */
class TempFile {
public:
    ~TempFile()
    {
        if (!path_.empty())
            unlink(path_.c_str());
    }
    /** Writes text to a new file only we may read. False with the reason in *why. */
    bool write(const std::string &text, std::string *why)
    {
        const char *dir = std::getenv("TMPDIR");
        std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/quelna-client-XXXXXX";
        int fd = mkstemp(tmpl.data());  // mode 0600: the file holds the shared secret
        if (fd < 0) {
            *why = "cannot make a temporary file in " + tmpl + ": " + std::strerror(errno);
            return false;
        }
        path_ = tmpl;
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *why = "cannot write " + path_ + ": " + std::strerror(errno);
                close(fd);
                return false;
            }
            done += static_cast<size_t>(n);
        }
        if (close(fd) != 0) {
            *why = "cannot write " + path_ + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

/** The library's message of an error taken out of a slot ("" for none); releases it. */
std::string take_message(qn_error *err)
{
    std::string text = err && qn_err_msg(err) ? qn_err_msg(err) : "";
    if (err)  // releasing no error is not allowed
        qn_err_free(err);
    return text;
}

}  // namespace

Status command_line_config(const Options &o, std::string *text, std::string *why)
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
        secret = *o.secret;
    } else if (!o.secret_file.empty()) {
        if (!read_secret_file(o.secret_file, &secret, why))
            return kUsage;
    } else if (tls) {
        secret = dtls ? kDtlsSecret : kTlsSecret;
    } else {
        *why = "no shared secret: give -S SECRET or --secret-file FILE";
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

    std::string t = "realm " + quoted(kRealm) + " {\n";
    const char *type = o.transport == "udp" ? "UDP" : dtls ? "DTLS" : tls ? "TLS" : "TCP";
    t += "    type = " + quoted(type) + "\n";
    if (!o.ca_file.empty())
        t += "    cacertfile = " + quoted(o.ca_file) + "\n";
    if (!o.cert_file.empty())
        t += "    certfile = " + quoted(o.cert_file) + "\n";
    if (!o.key_file.empty())
        t += "    certkeyfile = " + quoted(o.key_file) + "\n";
    if (!o.psk_id.empty()) {
        t += "    pskid = " + quoted(o.psk_id) + "\n";
        t += o.psk_hex.empty() ? "    pskstr = " + quoted(o.psk_text) + "\n"
                               : "    pskhexstr = " + quoted(o.psk_hex) + "\n";
        t += "    pskex = \"PSK\"\n";
    }
    if (o.no_hostname_check)
        t += "    disable_hostname_check = true\n";
    if (!o.require_msg_auth.empty())
        t += "    require_message_authenticator = " + quoted(o.require_msg_auth) + "\n";
    t += "    server {\n";
    t += "        hostname = " + quoted(host) + "\n";
    t += "        service = " + quoted(port) + "\n";
    t += "        secret = " + quoted(secret) + "\n";
    t += "    }\n}\n";
    *text = std::move(t);
    return kPositive;
}

Session::~Session()
{
    if (conn_)
        qn_conn_destroy(conn_);
    if (ctx_)
        qn_context_destroy(ctx_);
}

Status Session::open_from_file(const std::string &file, const std::string &realm)
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

Status Session::open(const Options &o)
{
    if (o.server.empty())
        return open_from_file(o.config_file, o.realm);

    std::string text, why;
    if (Status s = command_line_config(o, &text, &why); s != kPositive) {
        complain("%s", why.c_str());
        return s;
    }
    TempFile file;
    if (!file.write(text, &why)) {
        complain("%s", why.c_str());
        return kFailure;
    }
    return open_from_file(file.path(), kRealm);
}

}  // namespace quelna::client
