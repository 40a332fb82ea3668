// The command line of quelna-client and its usage text.
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client.h"

namespace quelna::client {
namespace {

// RFC 2865/2866 ports for authentication and accounting (also over TCP, RFC 6613), RFC 5176
// for dynamic authorisation; TLS always uses 2083 (RFC 6614).
constexpr Kind kinds[] = {
    {"auth", 1, "1812"},  {"acct", 4, "1813"},        {"status", 12, "1812"},
    {"coa", 43, "3799"},  {"disconnect", 40, "3799"},
};

enum LongOnly {
    kSecretFile = 256,
    kSecretEnv,
    kPasswordFile,
    kPasswordEnv,
    kCa,
    kCert,
    kKey,
    kPskId,
    kPskHex,
    kPskText,
    kNoHostnameCheck,
    kChap,
    kVersion,
    kRequireMsgAuth,
    kRate,
    kJson,
    kCheckReply,
};

// Load mode's bounds: a latency is kept for every request, and requests past the connection's
// 256 identifiers wait in the engine's queue.
constexpr int kMaxCount = 10000000;
constexpr int kMaxParallel = 65536;
constexpr double kMaxRate = 1000000;

constexpr option long_options[] = {
    {"config", required_argument, nullptr, 'c'},
    {"dictionary", required_argument, nullptr, 'D'},
    {"realm", required_argument, nullptr, 'R'},
    {"server", required_argument, nullptr, 's'},
    {"secret", required_argument, nullptr, 'S'},
    {"secret-file", required_argument, nullptr, kSecretFile},
    {"secret-env", required_argument, nullptr, kSecretEnv},
    {"transport", required_argument, nullptr, 'T'},
    {"ca", required_argument, nullptr, kCa},
    {"cert", required_argument, nullptr, kCert},
    {"key", required_argument, nullptr, kKey},
    {"psk-id", required_argument, nullptr, kPskId},
    {"psk-hex", required_argument, nullptr, kPskHex},
    {"psk-text", required_argument, nullptr, kPskText},
    {"no-hostname-check", no_argument, nullptr, kNoHostnameCheck},
    {"require-message-authenticator", required_argument, nullptr, kRequireMsgAuth},
    {"user", required_argument, nullptr, 'u'},
    {"password", required_argument, nullptr, 'p'},
    {"password-file", required_argument, nullptr, kPasswordFile},
    {"password-env", required_argument, nullptr, kPasswordEnv},
    {"chap", no_argument, nullptr, kChap},
    {"file", required_argument, nullptr, 'f'},
    {"timeout", required_argument, nullptr, 't'},
    {"retries", required_argument, nullptr, 'r'},
    {"count", required_argument, nullptr, 'n'},
    {"parallel", required_argument, nullptr, 'P'},
    {"rate", required_argument, nullptr, kRate},
    {"json", no_argument, nullptr, kJson},
    {"check-reply", no_argument, nullptr, kCheckReply},
    {"hex", no_argument, nullptr, 'x'},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

constexpr char usage_text[] = R"(Usage: quelna-client [OPTIONS] KIND [NAME=VALUE ...]

Sends RADIUS requests over UDP, TCP or TLS and prints the answers.

KIND is one of
  auth         Access-Request (PAP with -p, CHAP with -p --chap, or attributes only)
  acct         Accounting-Request
  status       Status-Server
  coa          CoA-Request
  disconnect   Disconnect-Request
NAME=VALUE pairs are attributes added to every request, by dictionary name; write
"NAME:TAG=VALUE" for a tagged attribute and 0x... for octets. A value may be the name the
dictionary gives it (Service-Type=Framed-User); IPv6 addresses, prefixes (2001:db8::/32),
interface ids (0011:2233:4455:6677) and dates (2026-12-08T19:00:00Z, UTC) in their usual text.

Dictionaries:
  -D, --dictionary FILE    load FILE (FreeRADIUS format, with what it includes) before
                           anything else; repeatable
Server, from the library's configuration file:
  -c, --config FILE        configuration file with realm sections
  -R, --realm NAME         the realm to use from it
Server, on the command line:
  -s, --server HOST[:PORT] host name or address ([::1]:1812 for IPv6); the port defaults
                           to 1812 (auth, status), 1813 (acct), 3799 (coa, disconnect),
                           2083 over TLS and DTLS
  -S, --secret TEXT        shared secret (default over TLS "radsec", RFC 6614, and over
                           DTLS "radius/dtls", RFC 7360); taken as written, no ${...}
      --secret-file FILE   read the shared secret from the first line of FILE
                           ("-": a line of standard input)
      --secret-env NAME    take the shared secret from environment variable NAME
  -T, --transport WORD     udp (default), tcp, tls or dtls
      --ca FILE            TLS, DTLS: CA certificates (PEM) the server's certificate chains to
      --cert FILE          TLS: client certificate (PEM)
      --key FILE           TLS: the client certificate's private key (PEM)
      --psk-id ID          TLS-PSK: identity
      --psk-hex HEX        TLS-PSK: key as hex digits
      --psk-text TEXT      TLS-PSK: key as the octets of TEXT
      --no-hostname-check  TLS: accept a certificate that does not name HOST
      --require-message-authenticator WORD
                           UDP, TCP: refuse Access replies without a Message-Authenticator:
                           yes, no, or auto (default: once the server has sent one)
Requests:
  -u, --user NAME          User-Name
  -p, --password TEXT      User-Password (PAP), or with --chap the CHAP secret
      --password-file FILE read the password from the first line of FILE ("-": a line of
                           standard input, after the secret's line if that is there too)
      --password-env NAME  take the password from environment variable NAME
      --chap               send the password as CHAP-Password (the library computes the
                           CHAP response from it)
  -f, --file FILE          read requests from FILE ("-": standard input): one request per
                           block of "Name = value" lines, blocks separated by blank lines,
                           '#' starts a comment; string values may be in double quotes
Secrets: -S, -p, --psk-hex and --psk-text show it to anyone who lists processes (ps), and the
shell may keep it in its history; the -file and -env forms (and -f) keep it out of the process
list (an environment is readable by the same user and root only).
Timing:
  -t, --timeout SECONDS    wait this long for each attempt (default: the library's schedule:
                           2 s, then twice the last plus 2 s, at most ~17.6 s each; it ends
                           after 6 attempts or the first attempt that ends past 30 s: a
                           silent server gets 4 transmissions and fails after ~40 s)
  -r, --retries N          with -t: send again N times after a time-out (default 2)
Load (many requests in flight on one connection, then a summary):
  -n, --count N            send N requests (1 to 10000000), the input's requests in turn
                           (default: each once); "%n" in a User-Name becomes the request's
                           number, 1 to N, so that every request is told apart
  -P, --parallel K         keep up to K requests in flight (1 to 65536, default 1)
      --rate R             start at most R requests a second (up to 1000000; default: as
                           fast as answers come)
      --json               print the summary as one JSON object
      --check-reply        count an answer whose Reply-Message does not name its request's
                           User-Name (as a word of its own) as mismatched
Any of -n above 1, -P above 1, --rate, --json and --check-reply selects load mode: while it
runs, a progress line on standard error (when that is a terminal); at the end a summary on
standard output: sent, accepted, rejected, mismatched, timed out, failed, the seconds taken,
requests per second, and the latency (send to answer, of every answer) in milliseconds at the
50th, 90th and 99th percentile and the largest. An interrupt (Ctrl-C) stops it early with the
summary of what was done.
A realm's servers are tried in order: an address or server that refuses moves the request on
at once; one that stays silent, after its share of attempts. Answers that fail verification
are discarded and counted; on TCP and TLS each attempt goes on a new connection.
Output:
  -x, --hex                also dump each request and answer in hexadecimal
  -q, --quiet              print nothing; only the exit status tells the result
  -v, --verbose            also show the library's own diagnostics on standard error
  -h, --help               this text
      --version            the library version

Exit status:
  0  positive answer: Access-Accept, Accounting-Response, CoA-ACK, Disconnect-ACK
     (Status-Server: Access-Accept or Accounting-Response)
  1  negative answer: Access-Reject, Access-Challenge, CoA-NAK, Disconnect-NAK
  2  usage, input or configuration error (nothing is sent)
  3  time-out: no answer
  4  any other failure (connection, TLS, wrong shared secret, bad answer)
With several requests (-f, or load mode) every request is sent and the status is the largest
of theirs: 0 only when all answers were positive; in load mode a mismatched answer counts 4.

Examples:
  quelna-client -s 127.0.0.1 -S testing123 -u bob -p hello auth
  quelna-client -s 127.0.0.1 -S testing123 -u bob -p hello --chap auth
  quelna-client -s localhost -S testing123 acct User-Name=bob Acct-Status-Type=Start \
      Acct-Session-Id=s-1
  quelna-client -D /usr/share/freeradius/dictionary -s 127.0.0.1 -S testing123 -u bob \
      -p hello auth Mikrotik-Rate-Limit=10M/10M
  quelna-client -s radius.example.net -T tls -S radsec --ca ca.pem --cert client.pem \
      --key client.key -u bob -p hello auth
  quelna-client -s 127.0.0.1:2083 -T tls -S radsec --psk-id nas1 --psk-hex 00112233 status
  quelna-client -c /etc/quelna.conf -R example-tls -u bob -p hello auth
  quelna-client -s 192.0.2.1 -S secret coa User-Name=bob Session-Timeout=60
  printf 'User-Name = bob\nUser-Password = hello\n\nUser-Name = rich\n' |
      quelna-client -s 127.0.0.1 -S testing123 -f - auth
  quelna-client -s 127.0.0.1 -S testing123 -n 10000 -P 256 --check-reply -u 'load-%n' \
      -p loadpw auth
)";

const Kind *find_kind(std::string_view word)
{
    for (const auto &k : kinds)
        if (k.word == word)
            return &k;
    return nullptr;
}

bool parse_positive(const char *text, double max, double *out)
{
    char *end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v) || v <= 0 || v > max)
        return false;
    *out = v;
    return true;
}

bool parse_count(const char *text, long min, long max, int *out)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < min || v > max)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool is_long(char **argv, int at)
{
    return argv[at] && std::strncmp(argv[at], "--", 2) == 0;
}

/** The option getopt refused, as written but without "=value"; never the word before it,
 *  which may be the value of the option before (a secret). */
std::string shown_option(char **argv, int at)
{
    if (!is_long(argv, at))
        return std::string("-") + static_cast<char>(optopt);
    std::string_view word = argv[at];
    return std::string(word.substr(0, word.find('=')));
}

// The rules that join options; each failure is one line and status 2.
Status check_combination(const Options &o)
{
    const bool from_file = !o.config_file.empty() || !o.realm.empty();
    if (from_file && !o.server.empty()) {
        complain("give either -c/-R or -s, not both");
        return kUsage;
    }
    if (from_file && (o.config_file.empty() || o.realm.empty())) {
        complain("-c FILE and -R REALM go together");
        return kUsage;
    }
    if (!from_file && o.server.empty()) {
        complain("no server: give -s HOST[:PORT] -S SECRET, or -c FILE -R REALM (see --help)");
        return kUsage;
    }
    const bool tls_opts = !o.ca_file.empty() || !o.cert_file.empty() || !o.key_file.empty() ||
                          !o.psk_id.empty() || !o.psk_hex.empty() || !o.psk_text.empty() ||
                          o.no_hostname_check;
    if (from_file && (tls_opts || o.secret || !o.secret_file.empty() || !o.secret_env.empty() ||
                      o.transport != "udp" || !o.require_msg_auth.empty())) {
        complain("with -c/-R the realm gives transport, secret and TLS settings; drop -S, -T, "
                 "--require-message-authenticator and the TLS options");
        return kUsage;
    }
    if (o.input_file == "-" && (o.secret_file == "-" || o.password_file == "-")) {
        complain("standard input holds the requests (-f -); give the secret or password "
                 "another way");
        return kUsage;
    }
    if (o.transport != "udp" && o.transport != "tcp" && o.transport != "tls" &&
        o.transport != "dtls") {
        complain("unknown transport \"%s\" (udp, tcp, tls or dtls)", o.transport.c_str());
        return kUsage;
    }
    const bool tls = o.transport == "tls" || o.transport == "dtls";
    if (!tls && tls_opts) {
        complain("TLS options need -T tls or -T dtls");
        return kUsage;
    }
    if (tls) {
        const bool psk = !o.psk_id.empty() || !o.psk_hex.empty() || !o.psk_text.empty();
        if (psk && (o.psk_id.empty() || o.psk_hex.empty() == o.psk_text.empty())) {
            complain("TLS-PSK needs --psk-id and one of --psk-hex or --psk-text");
            return kUsage;
        }
        if (!psk && o.ca_file.empty()) {
            complain("TLS needs --ca FILE (certificates) or --psk-id with a key (TLS-PSK)");
            return kUsage;
        }
        if (o.cert_file.empty() != o.key_file.empty()) {
            complain("--cert and --key go together");
            return kUsage;
        }
    }
    if (o.hex && load_mode(o)) {
        complain("-x dumps single exchanges: not with -n, -P, --rate, --json or --check-reply");
        return kUsage;
    }
    if (o.chap && (!o.has_password || o.kind->code != 1)) {
        complain("--chap needs a password (-p) and KIND auth");
        return kUsage;
    }
    if (o.has_password && o.kind->code != 1) {
        complain("%s is for KIND auth only", o.password_option.c_str());
        return kUsage;
    }
    return kPositive;
}

}  // namespace

void print_help(std::FILE *out)
{
    std::fputs(usage_text, out);
}

Status parse_options(int argc, char **argv, Options *o, bool *done)
{
    *done = false;
    opterr = 0;
    // "+": options end at the first word, so attribute values may start with '-'.
    const char *short_options = "+:c:D:R:s:S:T:u:p:f:t:r:n:P:xqvh";
    int c;
    // The word getopt works on; within "-ab" it stays the same.
    for (int at = optind; (c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1;
         at = optind) {
        switch (c) {
        case 'c': o->config_file = optarg; break;
        case 'D': o->dictionaries.emplace_back(optarg); break;
        case 'R': o->realm = optarg; break;
        case 's': o->server = optarg; break;
        case 'S':
        case kSecretFile:
        case kSecretEnv:
            if (o->secret || !o->secret_file.empty() || !o->secret_env.empty()) {
                complain("give one of -S, --secret-file and --secret-env");
                return kUsage;
            }
            (c == 'S' ? o->secret.emplace() : c == kSecretFile ? o->secret_file : o->secret_env) =
                optarg;
            break;
        case 'T': o->transport = optarg; break;
        case kCa: o->ca_file = optarg; break;
        case kCert: o->cert_file = optarg; break;
        case kKey: o->key_file = optarg; break;
        case kPskId: o->psk_id = optarg; break;
        case kPskHex: o->psk_hex = optarg; break;
        case kPskText: o->psk_text = optarg; break;
        case kNoHostnameCheck: o->no_hostname_check = true; break;
        case kRequireMsgAuth:
            o->require_msg_auth = optarg;
            if (o->require_msg_auth != "yes" && o->require_msg_auth != "no" &&
                o->require_msg_auth != "auto") {
                complain("--require-message-authenticator: unknown value \"%s\" "
                         "(yes, no or auto)", optarg);
                return kUsage;
            }
            break;
        case 'u':
            o->user = optarg;
            if (o->user.empty()) {
                complain("-u: the user name is empty");
                return kUsage;
            }
            break;
        case 'p':
        case kPasswordFile:
        case kPasswordEnv:
            if (o->has_password) {
                complain("give one of -p, --password-file and --password-env");
                return kUsage;
            }
            o->has_password = true;
            (c == 'p' ? o->password : c == kPasswordFile ? o->password_file : o->password_env) =
                optarg;
            o->password_option = c == 'p'             ? "-p"
                                 : c == kPasswordFile ? "--password-file"
                                                      : "--password-env";
            break;
        case kChap: o->chap = true; break;
        case 'f': o->input_file = optarg; break;
        case 't':
            o->timeout.emplace();
            if (!parse_positive(optarg, 3600, &*o->timeout)) {
                complain("-t: not a number of seconds between 0 and 3600: %s", optarg);
                return kUsage;
            }
            break;
        case 'r':
            o->retries_set = true;
            if (!parse_count(optarg, 0, 100, &o->retries)) {
                complain("-r: not a count between 0 and 100: %s", optarg);
                return kUsage;
            }
            break;
        case 'n':
            o->count_set = true;
            if (!parse_count(optarg, 1, kMaxCount, &o->count)) {
                complain("-n: not a count between 1 and %d: %s", kMaxCount, optarg);
                return kUsage;
            }
            break;
        case 'P':
            if (!parse_count(optarg, 1, kMaxParallel, &o->parallel)) {
                complain("-P: not a count between 1 and %d: %s", kMaxParallel, optarg);
                return kUsage;
            }
            break;
        case kRate:
            o->rate.emplace();
            if (!parse_positive(optarg, kMaxRate, &*o->rate)) {
                complain("--rate: not a number of requests a second above 0 and up to %.0f: %s",
                         kMaxRate, optarg);
                return kUsage;
            }
            break;
        case kJson: o->json = true; break;
        case kCheckReply: o->check_reply = true; break;
        case 'x': o->hex = true; break;
        case 'q': o->quiet = true; break;
        case 'v': o->verbose = true; break;
        case 'h':
            print_help(stdout);
            *done = true;
            return kPositive;
        case kVersion:
            std::printf("quelna-client %s\n", QUELNA_VERSION);
            *done = true;
            return kPositive;
        case ':':
            complain("option %s needs a value (see --help)", shown_option(argv, at).c_str());
            return kUsage;
        default:
            if (is_long(argv, at) && optopt != 0)
                complain("option %s takes no value", shown_option(argv, at).c_str());
            else
                complain("unknown option %s (see --help)", shown_option(argv, at).c_str());
            return kUsage;
        }
    }
    if (optind >= argc) {
        complain("no request kind: auth, acct, status, coa or disconnect (see --help)");
        return kUsage;
    }
    o->kind = find_kind(argv[optind]);
    if (!o->kind) {
        complain("unknown request kind \"%s\": auth, acct, status, coa or disconnect",
                 argv[optind]);
        return kUsage;
    }
    for (int i = optind + 1; i < argc; i++)
        o->attributes.emplace_back(argv[i]);
    if (!o->timeout && o->retries_set) {
        complain("-r needs -t SECONDS");
        return kUsage;
    }
    set_quiet(o->quiet);
    return check_combination(*o);
}

}  // namespace quelna::client
