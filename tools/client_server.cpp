// The server quelna-client talks to: a realm of the library's configuration file, or one given
// on the command line. The library takes transport and TLS settings only from a configuration
// file, so a command-line server becomes a private temporary file read the same way.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "client.h"

namespace quelna::client {
namespace {

constexpr char kRealm[] = "quelna-client";
constexpr char kTlsPort[] = "2083";       // RFC 6614
constexpr char kTlsSecret[] = "radsec";   // RFC 6614 §2.3: the secret inside TLS
constexpr char kDtlsSecret[] = "radius/dtls";  // RFC 7360 §2.1: the secret inside DTLS

/** Text in single quotes, which the configuration reader takes as written (no ${...}, no
 *  escapes) but for \\ and \' standing for a backslash and a quote. */
std::string quoted(std::string_view text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('\'');
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

// The temporary configuration file holds the shared secret. While it exists, a signal that
// ends the program removes it first; the handler may use only async-signal-safe calls, so the
// path is kept in a fixed buffer.
char temp_path[4096];
volatile sig_atomic_t temp_exists = 0;
constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGTERM};
struct sigaction saved_actions[std::size(kEndingSignals)];

extern "C" void remove_temp_file(int sig)
{
    if (temp_exists)
        unlink(temp_path);
    // SA_RESETHAND has restored the default action; the signal, blocked while this handler
    // runs, ends the program as soon as it returns.
    raise(sig);
}

/** Blocks (or unblocks) the ending signals, so that a change of the file is never torn. */
void block_ending_signals(int how)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kEndingSignals)
        sigaddset(&set, sig);
    sigprocmask(how, &set, nullptr);
}

/** The temporary configuration file, removed when the scope ends or a signal ends us. */
class TempFile {
public:
    ~TempFile() { remove(); }
    /** Writes text to a new file only we may read. False with the reason in *why. */
    bool write(const std::string &text, std::string *why)
    {
        const char *dir = std::getenv("TMPDIR");
        std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/quelna-client-XXXXXX";
        if (tmpl.size() >= sizeof temp_path) {
            *why = "cannot make a temporary file: TMPDIR is too long";
            return false;
        }
        std::memcpy(temp_path, tmpl.c_str(), tmpl.size() + 1);
        block_ending_signals(SIG_BLOCK);
        int fd = mkstemp(temp_path);  // mode 0600: the file holds the shared secret
        const int error = errno;
        if (fd >= 0)
            catch_ending_signals();
        block_ending_signals(SIG_UNBLOCK);
        if (fd < 0) {
            *why = "cannot make a temporary file in " + tmpl + ": " + std::strerror(error);
            return false;
        }
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                *why = std::string("cannot write ") + temp_path + ": " + std::strerror(errno);
                close(fd);
                return false;
            }
            done += static_cast<size_t>(n);
        }
        if (close(fd) != 0) {
            *why = std::string("cannot write ") + temp_path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    /** Removes the file (once the library has read it) and the signal handlers. */
    void remove()
    {
        if (!temp_exists)
            return;
        block_ending_signals(SIG_BLOCK);
        unlink(temp_path);
        temp_exists = 0;
        for (size_t i = 0; i < std::size(kEndingSignals); i++)
            sigaction(kEndingSignals[i], &saved_actions[i], nullptr);
        block_ending_signals(SIG_UNBLOCK);
    }
    const char *path() const { return temp_path; }

private:
    // Called with the signals blocked. A signal the caller ignores (nohup) stays ignored.
    static void catch_ending_signals()
    {
        temp_exists = 1;
        struct sigaction sa = {};
        sa.sa_handler = remove_temp_file;
        sa.sa_flags = SA_RESETHAND;
        for (int sig : kEndingSignals)
            sigaddset(&sa.sa_mask, sig);
        for (size_t i = 0; i < std::size(kEndingSignals); i++) {
            sigaction(kEndingSignals[i], nullptr, &saved_actions[i]);
            if (saved_actions[i].sa_handler != SIG_IGN)
                sigaction(kEndingSignals[i], &sa, nullptr);
        }
    }
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
    std::string text, why;
    if (o.server.empty()) {
        if (!readable(o.config_file, "configuration file", &why)) {
            complain("%s", why.c_str());
            return kUsage;
        }
        realm_file_ = o.config_file;
        realm_ = o.realm;
        return read_config(o.config_file);
    }
    if (Status s = command_line_config(o, &text, &why); s != kPositive) {
        complain("%s", why.c_str());
        return s;
    }
    TempFile file;
    if (!file.write(text, &why)) {
        complain("%s", why.c_str());
        return kFailure;
    }
    Status s = read_config(file.path());
    file.remove();  // read: the secret is in the library's memory, and nowhere on disk
    realm_file_ = realm_ = kRealm;
    return s;
}

}  // namespace quelna::client
