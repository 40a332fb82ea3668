// quelna-client: a command-line RADIUS client over UDP, TCP and TLS, built on the library's
// public interface only. This header joins the tool's pieces: options, input, server set-up,
// the exchange and its output.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <quelna/codec.h>
#include <quelna/quelna.h>

namespace quelna::client {

/** Exit statuses; for a stream of requests the largest one of all requests wins. */
enum Status : int {
    kPositive = 0,  // Access-Accept, Accounting-Response, CoA-ACK, Disconnect-ACK
    kNegative = 1,  // Access-Reject, Access-Challenge, CoA-NAK, Disconnect-NAK
    kUsage = 2,     // bad command line, input, configuration or files
    kTimeout = 3,   // no answer in time
    kFailure = 4,   // anything else
};

/** A request kind of the command line and its RADIUS code. */
struct Kind {
    std::string_view word;
    unsigned int code;
    std::string_view udp_port;  // default port over UDP and TCP
};

/** Everything the command line says. */
struct Options {
    const Kind *kind = nullptr;
    // Server from the configuration file ...
    std::string config_file;
    std::string realm;
    // ... or from the command line.
    std::string server;  // host[:port], [v6-literal]:port
    std::optional<std::string> secret;  // -S, or what read_secrets() read
    std::string secret_file, secret_env;
    std::string transport = "udp";
    std::string ca_file, cert_file, key_file;
    std::string psk_id, psk_hex, psk_text;
    bool no_hostname_check = false;
    std::string require_msg_auth;  // the realm's require_message_authenticator; empty: default
    // The request(s).
    std::string user, password;
    bool has_password = false;              // any of -p, --password-file, --password-env
    std::string password_file, password_env;
    std::string password_option = "-p";     // the option that gave it, for messages
    bool chap = false;
    std::string input_file;               // "-" for standard input
    std::vector<std::string> attributes;  // "Name = value", added to every request
    std::vector<std::string> dictionaries;  // -D: loaded before anything is read
    // Timing: unset means the library's own retransmission schedule.
    std::optional<double> timeout;
    int retries = 2;
    bool retries_set = false;
    // Load mode (see load_mode()): requests in flight through the asynchronous engine.
    int count = 1;  // -n: requests to send, the input's in turn; unset: each input request once
    bool count_set = false;
    int parallel = 1;            // -P: at most this many in flight
    std::optional<double> rate;  // --rate: at most this many started per second
    bool json = false;           // --json: the summary as one JSON object
    bool check_reply = false;    // --check-reply: the Reply-Message must name the User-Name
    // Output.
    bool hex = false;
    bool quiet = false;
    bool verbose = false;
};

/** Parses argv. Returns kPositive and fills *opts, or a status to exit with at once (--help
 *  gives kPositive with *done set). Messages go to standard error. */
Status parse_options(int argc, char **argv, Options *opts, bool *done);

/** Loads the -D dictionaries in order. kPositive, or kUsage with "FILE:LINE: message". */
Status load_dictionaries(const Options &opts);

/** Prints the usage text with every option and examples. */
void print_help(std::FILE *out);

/**
 * Reads the secret and the password that the options name (a file's first line, standard input
 * for "-": the secret's line before the password's, an environment variable) into
 * opts->secret and opts->password. Returns kPositive or kUsage (with the message written).
 */
Status read_secrets(Options *opts);

// ------------------------------------------------------------------------------------------
// Messages

/** Writes "quelna-client: <text>" and a newline to standard error, unless quiet. */
void complain(const char *fmt, ...) QN_PRINTF(1, 2);
/** Silences complain() (the quiet flag). */
void set_quiet(bool quiet);

/**
 * text as it may go to a terminal: C0 controls, DEL, C1 controls and octets that are not
 * well-formed UTF-8 escaped (\n, \r, \t, \xHH), and \ doubled, so that text from a server
 * can neither drive the terminal nor fake a line of output.
 */
std::string printable(std::string_view text);

/**
 * While alive, whatever the libraries still write to standard error (libevent and OpenSSL
 * warnings; the codec's echo is off) goes nowhere: the client reports each failure once, in one
 * line, itself.
 */
class StderrMute {
public:
    explicit StderrMute(bool active);
    ~StderrMute();
    StderrMute(const StderrMute &) = delete;
    StderrMute &operator=(const StderrMute &) = delete;
    /** Whether mutes are made active at all (off with --verbose). */
    static void enable(bool on);

private:
    int saved_ = -1;
};

// ------------------------------------------------------------------------------------------
// Input: requests as blocks of "Name = value" lines

/** Frees a pair list on scope exit. */
struct PairListDeleter {
    void operator()(qn_avp *vps) const { qn_avp_free(&vps); }
};
using PairList = std::unique_ptr<qn_avp, PairListDeleter>;

/** One request to send: its pairs and where they came from (for messages). */
struct RequestPlan {
    PairList pairs;
    std::string origin;  // "command line" or "FILE:LINE"
};

/**
 * Parses one "Name = value" (or "Name:tag = value", value optionally in double quotes; octets
 * as 0x and hex digits; a value name or the usual text of the type) into a new pair for a
 * request of code, or for a long EAP-Message into a chain of pairs. On failure returns null
 * and puts the reason in *why (never a hidden attribute's value).
 */
qn_avp *parse_pair(std::string_view line, unsigned int code, std::string *why);

/**
 * Builds the requests: one from the command line, or one per blank-line-separated block of
 * opts.input_file. Each gets the command line's attributes, user and password. Returns
 * kPositive or kUsage (with the message written).
 */
Status build_requests(const Options &opts, std::vector<RequestPlan> *out);

// ------------------------------------------------------------------------------------------
// Server and exchange

/** A context and one connection to the chosen server; destroyed in the right order. */
class Session {
public:
    Session() = default;
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    /** Reads the configuration (and the dictionaries it names). kPositive, or a status
     *  (reported). */
    Status open(const Options &opts);
    /** Makes the connection to the realm open() read. kPositive, or a status (reported). */
    Status start() { return connect(realm_file_, realm_); }

    qn_context *ctx() const { return ctx_; }
    qn_connection *conn() const { return conn_; }

private:
    Status read_config(const std::string &file);
    Status connect(const std::string &file, const std::string &realm);
    qn_context *ctx_ = nullptr;
    qn_connection *conn_ = nullptr;
    std::string realm_file_, realm_;  // where the realm comes from (for messages), its name
};

/**
 * Makes the realm "quelna-client" in ctx for a server given on the command line; kUsage (or
 * kFailure when out of memory) with the message in *why.
 */
Status command_line_realm(const Options &opts, qn_context *ctx, std::string *why);

/** Sends one request and prints its answer. Returns the request's status. */
Status exchange(const Options &opts, Session &session, RequestPlan &plan);

/** The status of a response code (kFailure for codes that are no answer of ours). */
Status status_of_response(unsigned int code);

// ------------------------------------------------------------------------------------------
// Load mode

/** Whether the options ask for load mode: -n above 1, -P above 1, --rate, --json or
 *  --check-reply. Otherwise the requests go one after another through exchange(). */
bool load_mode(const Options &opts);

/**
 * Sends the requests of load mode on the session's connection, the input's requests in turn
 * with "%n" in their User-Name replaced by each one's number (1 to the count), and prints the
 * summary (a progress line on standard error while it runs, when that is a terminal). Returns
 * kPositive when every request got a positive answer, else the largest status a single
 * request would have given (a mismatched reply counts as kFailure).
 */
Status run_load(const Options &opts, Session &session, const std::vector<RequestPlan> &requests);

}  // namespace quelna::client
