// quelna-client run as a process against what a real server will not do (silence, forged
// answers, CoA and Disconnect answers from the in-process responder), and on bad input.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client_runner.h"
#include "net/stream_responder.h"
#include "net/udp_responder.h"

namespace {

using quelna::test::attr;
using quelna::test::ClientRun;
using quelna::test::make_response;
using quelna::test::Octets;
using quelna::test::run_client;
using quelna::test::TempDir;
using quelna::test::UdpResponder;
using Args = std::vector<std::string>;

constexpr char kSecret[] = "local-secret";
constexpr char kHidden[] = "hidden-Xq7";  // a secret or password no message may show

Args local(const UdpResponder &r, Args more)
{
    Args a = {"-s", "127.0.0.1:" + std::to_string(r.port()), "-S", kSecret, "-t", "1", "-r", "0"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

// RFC 5176 §2.3 (as RFC 2866 §3): the Request Authenticator of CoA and Disconnect requests is
// MD5(Code | Identifier | Length | 16 zero octets | Attributes | Secret).
bool request_authenticator_ok(const Octets &req, const std::string &secret)
{
    if (req.size() < 20)
        return false;
    Octets hashed = req;
    std::memset(hashed.data() + 4, 0, 16);
    hashed.insert(hashed.end(), secret.begin(), secret.end());
    uint8_t md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(hashed.data(), hashed.size(), md, &len, EVP_md5(), nullptr);
    return std::memcmp(md, req.data() + 4, 16) == 0;
}

// The User-Password of an Access-Request, unhidden with secret (RFC 2865 §5.2; one block).
std::string unhide_password(const Octets &req, const std::string &secret)
{
    for (size_t i = 20; i + 18 <= req.size() && req[i + 1] >= 2; i += req[i + 1]) {
        if (req[i] != 2 || req[i + 1] != 18)
            continue;
        Octets key(secret.begin(), secret.end());
        key.insert(key.end(), req.begin() + 4, req.begin() + 20);
        uint8_t md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_Digest(key.data(), key.size(), md, &len, EVP_md5(), nullptr);
        std::string out;
        for (size_t k = 0; k < 16; k++)
            out.push_back(static_cast<char>(req[i + 2 + k] ^ md[k]));
        return out.substr(0, out.find('\0'));
    }
    return "";
}

bool has_attr(const Octets &pkt, uint8_t type, const std::string &value)
{
    Octets want = attr(type, value);
    return std::search(pkt.begin() + 20, pkt.end(), want.begin(), want.end()) != pkt.end();
}

struct DynamicCase {
    const char *kind;
    uint8_t request_code, answer_code;
    int status;
    const char *answer_name;
};

void PrintTo(const DynamicCase &c, std::ostream *os)
{
    *os << c.kind << " answered " << int(c.answer_code);
}

class DynamicAuthorisation : public ::testing::TestWithParam<DynamicCase> {};

TEST_P(DynamicAuthorisation, AnswerDecidesTheStatus)
{
    const DynamicCase &c = GetParam();
    UdpResponder responder("127.0.0.1", [&](const Octets &req, int) -> std::optional<Octets> {
        return make_response(req, c.answer_code, attr(18, "done"), kSecret);
    });
    ClientRun r = run_client(local(responder, {c.kind, "User-Name=bob", "Session-Timeout=60"}));
    EXPECT_EQ(r.status, c.status) << r.describe();
    EXPECT_NE(r.out.find(std::string("Received ") + c.answer_name), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tReply-Message = done\n"), std::string::npos) << r.out;

    auto got = responder.received();
    ASSERT_EQ(got.size(), 1u);
    const Octets &req = got[0].octets;
    EXPECT_EQ(req.at(0), c.request_code);
    EXPECT_TRUE(has_attr(req, 1, "bob"));
    EXPECT_TRUE(has_attr(req, 27, std::string("\0\0\0\x3c", 4)));
    EXPECT_TRUE(request_authenticator_ok(req, kSecret));
}

INSTANTIATE_TEST_SUITE_P(
    CoaAndDisconnect, DynamicAuthorisation,
    ::testing::Values(DynamicCase{"coa", 43, 44, 0, "CoA-ACK"},
                      DynamicCase{"coa", 43, 45, 1, "CoA-NAK"},
                      DynamicCase{"disconnect", 40, 41, 0, "Disconnect-ACK"},
                      DynamicCase{"disconnect", 40, 42, 1, "Disconnect-NAK"}));

TEST(ClientFailures, SilentServerTimesOutAfterTheRetries)
{
    UdpResponder silent("127.0.0.1", [](const Octets &, int) { return std::nullopt; });
    Args args = {"-s", "127.0.0.1:" + std::to_string(silent.port()), "-S", kSecret, "-t", "0.3",
                 "-r", "2", "-u", "bob", "-p", "hello", "auth"};
    ClientRun r = run_client(args);
    EXPECT_EQ(r.status, 3) << r.describe();
    ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("timeout"), std::string::npos) << r.err;
    // Three transmissions of the same octets.
    auto got = silent.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].octets, got[2].octets);
}

TEST(ClientFailures, ForgedOrWrongAnswersAreFailures)
{
    // Signed with another secret: the answer does not verify.
    UdpResponder wrong_secret("127.0.0.1", [](const Octets &req, int) -> std::optional<Octets> {
        return make_response(req, 2, {}, "not-the-secret");
    });
    ClientRun r = run_client(local(wrong_secret, {"-u", "bob", "-p", "hello", "auth"}));
    EXPECT_EQ(r.status, 4) << r.describe();
    ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("secret"), std::string::npos) << r.err;

    // An Access-Accept is no answer to a CoA-Request.
    UdpResponder wrong_code("127.0.0.1", [](const Octets &req, int) -> std::optional<Octets> {
        return make_response(req, 2, {}, kSecret);
    });
    r = run_client(local(wrong_code, {"coa", "User-Name=bob"}));
    EXPECT_EQ(r.status, 4) << r.describe();
    EXPECT_EQ(r.err_lines().size(), 1u) << r.err;

    // Garbage octets.
    UdpResponder garbage("127.0.0.1", [](const Octets &, int) -> std::optional<Octets> {
        return Octets{2, 0, 0, 3};
    });
    r = run_client(local(garbage, {"-u", "bob", "-p", "hello", "auth"}));
    EXPECT_TRUE(r.status == 3 || r.status == 4) << r.describe();
    EXPECT_EQ(r.err_lines().size(), 1u) << r.err;

    // An unsigned Access-Accept, refused on request.
    r = run_client(local(wrong_code, {"--require-message-authenticator", "yes", "status"}));
    EXPECT_EQ(r.status, 4) << r.describe();
    ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("Access-Accept without Message-Authenticator refused"),
              std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("secret"), std::string::npos) << r.err;
}

// Several requests from one run (one source port) carry different identifiers, so a server
// never takes one for a duplicate of the one before.
TEST(ClientRequests, StreamOfRequestsCarriesDifferentIds)
{
    UdpResponder responder("127.0.0.1", [](const Octets &req, int) -> std::optional<Octets> {
        return make_response(req, 2, {}, kSecret);
    });
    ClientRun r = run_client(local(responder, {"-f", "-", "auth"}),
                             "User-Name = a\n\nUser-Name = b\n\nUser-Name = c\n");
    EXPECT_EQ(r.status, 0) << r.describe();
    auto got = responder.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NE(got[0].octets[1], got[1].octets[1]);
    EXPECT_NE(got[1].octets[1], got[2].octets[1]);
    EXPECT_NE(got[0].octets[1], got[2].octets[1]);
}

// A secret and a password arrive as written (no ${...}, quotes or backslashes taken for syntax)
// whichever way they are given, and nothing is written to the temporary directory.
TEST(ClientRequests, SecretsArriveAsWritten)
{
    const std::string secret = "${HOME}\\'x\"", password = "pw ${USER}";
    TempDir tmp, files;
    std::atomic<int> leftovers{0};
    UdpResponder responder("127.0.0.1", [&](const Octets &req, int) -> std::optional<Octets> {
        if (!std::filesystem::is_empty(tmp.path()))
            leftovers++;
        return make_response(req, 2, {}, secret);
    });
    const std::vector<std::pair<Args, std::string>> ways = {
        {{"-S", secret, "-p", password}, ""},
        {{"--secret-env", "QN_SECRET", "--password-env", "QN_PASSWORD"}, ""},
        {{"--secret-file", files.write("s", secret + "\n"), "--password-file",
          files.write("p", password + "\r\n")}, ""},
        {{"--secret-file", "-", "--password-file", "-"}, secret + "\n" + password + "\n"},
    };
    for (const auto &[way, stdin_text] : ways) {
        Args args = {"-s", "127.0.0.1:" + std::to_string(responder.port()), "-t", "1", "-r", "0",
                     "-u", "bob", "auth"};
        args.insert(args.begin(), way.begin(), way.end());
        ClientRun r = run_client(args, stdin_text, 60,
                                 {"TMPDIR=" + tmp.path(), "QN_SECRET=" + secret,
                                  "QN_PASSWORD=" + password});
        EXPECT_EQ(r.status, 0) << way[0] << "\n" << r.describe();
        ASSERT_FALSE(responder.received().empty());
        EXPECT_EQ(unhide_password(responder.received().back().octets, secret), password) << way[0];
    }
    EXPECT_EQ(leftovers, 0);
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

// Value names and the usual text of dates, IPv6 addresses, prefixes and interface ids go out as
// their octets and, echoed back, print the same way; a long EAP-Message goes out split over
// attributes (RFC 3579 §3.1) and is shown joined.
TEST(ClientRequests, ValueNamesAndUsualTextsBothWays)
{
    UdpResponder responder("127.0.0.1", [](const Octets &req, int) -> std::optional<Octets> {
        return make_response(req, 5, Octets(req.begin() + 20, req.end()), kSecret);
    });
    std::string eap = "0x";
    for (int i = 0; i < 600; i++)
        eap += "0123456789abcdef"[i % 16] + std::string("a");
    ClientRun r = run_client(local(responder,
        {"acct", "Acct-Status-Type=Start", "Service-Type=framed-user", "Tunnel-Type:3=VLAN",
         "NAS-Port-Type=4711", "Event-Timestamp=2026-12-08T19:00:00Z",
         "Framed-IPv6-Prefix=2001:db8:ff::1/40", "Framed-Interface-Id=0011:2233:4455:6677",
         "Login-IPv6-Host=2001:DB8:0:0::1", "EAP-Message=" + eap}));
    ASSERT_EQ(r.status, 0) << r.describe();
    ASSERT_EQ(responder.received().size(), 1u);
    const Octets req = responder.received()[0].octets;
    EXPECT_TRUE(has_attr(req, 40, std::string("\0\0\0\1", 4)));
    EXPECT_TRUE(has_attr(req, 6, std::string("\0\0\0\2", 4)));
    EXPECT_TRUE(has_attr(req, 64, std::string("\3\0\0\x0d", 4)));
    EXPECT_TRUE(has_attr(req, 55, "\x6b\x18\x53\xb0"));  // 1796756400
    std::vector<int> eap_lengths;
    for (size_t i = 20; i + 2 <= req.size() && req[i + 1] >= 2; i += req[i + 1])
        if (req[i] == 79)
            eap_lengths.push_back(req[i + 1]);
    EXPECT_EQ(eap_lengths, (std::vector<int>{255, 255, 96}));
    for (const std::string &line : std::vector<std::string>{
             "\tAcct-Status-Type = Start\n", "\tService-Type = Framed-User\n",
          "\tTunnel-Type:3 = VLAN\n", "\tNAS-Port-Type = 4711\n",
          "\tEvent-Timestamp = 2026-12-08T19:00:00Z\n", "\tFramed-IPv6-Prefix = 2001:db8::/40\n",
          "\tFramed-Interface-Id = 11:2233:4455:6677\n", "\tLogin-IPv6-Host = 2001:db8::1\n",
          "\tEAP-Message = " + eap + "\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " missing in\n" << r.out;
    // A date as seconds is the same date.
    r = run_client(local(responder, {"acct", "Event-Timestamp=1796756400"}));
    EXPECT_NE(r.out.find("\tEvent-Timestamp = 2026-12-08T19:00:00Z\n"), std::string::npos)
        << r.describe();
}

// Text from a server cannot drive the terminal or fake a line: controls, C1 and bytes that are
// no UTF-8 are shown escaped, well-formed UTF-8 as it is.
TEST(ClientRequests, ServerTextIsShownEscaped)
{
    const std::string text = std::string("a\x1b[2J\r\nReceived Access-Reject\x07 \xc2\x9b \xff ") +
                             "\xc3\xa9\\" + std::string(1, '\0') + "z";
    UdpResponder responder("127.0.0.1", [&](const Octets &req, int) -> std::optional<Octets> {
        return make_response(req, 2, attr(18, text), kSecret);
    });
    ClientRun r = run_client(local(responder, {"status"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_NE(r.out.find("\tReply-Message = a\\x1b[2J\\r\\nReceived Access-Reject\\x07 "
                         "\\xc2\\x9b \\xff \xc3\xa9\\\\\\x00z\n"),
              std::string::npos) << r.out;
}

// -T dtls: RADIUS inside a DTLS session made with the key, with RFC 7360's secret by default.
TEST(ClientRequests, DtlsWithAKeyUsesTheDefaultSecret)
{
    quelna::test::StreamResponder server(quelna::test::StreamResponder::Kind::Dtls,
                                         quelna::test::accept_all("radius/dtls", "dtls"),
                                         {"", "", "nas1", "k"});
    ClientRun r = run_client({"-s", "127.0.0.1:" + std::to_string(server.port()), "-T", "dtls",
                              "--psk-id", "nas1", "--psk-text", "k", "-t", "1", "-u", "bob",
                              "-p", "pw", "auth"});
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_NE(r.out.find("Reply-Message = dtls"), std::string::npos) << r.out;
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(ClientFailures, UnreachableServers)
{
    // Nothing listens on the port: refused at once.
    int port;
    {
        UdpResponder gone("127.0.0.1", [](const Octets &, int) { return std::nullopt; });
        port = gone.port();
    }
    ClientRun r = run_client({"-s", "127.0.0.1:" + std::to_string(port), "-S", "x", "-t", "1",
                              "-r", "0", "status"});
    EXPECT_TRUE(r.status == 3 || r.status == 4) << r.describe();
    EXPECT_EQ(r.err_lines().size(), 1u) << r.err;
    // A stream that cannot connect: nothing went out, so nothing says "Sent".
    r = run_client({"-s", "127.0.0.1:" + std::to_string(port), "-S", "x", "-T", "tcp", "-t", "1",
                    "status"});
    EXPECT_EQ(r.status, 4) << r.describe();
    EXPECT_EQ(r.out, "") << r.describe();
    r = run_client({"-s", "no-such-host.invalid", "-S", "x", "-t", "1", "status"});
    EXPECT_EQ(r.status, 4) << r.describe();
    EXPECT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("no-such-host.invalid"), std::string::npos) << r.err;
}

// Load mode counts every outcome: "%n" numbers the users, --check-reply refuses an answer that
// names another user ("Hello, load-12" does not name load-1), the worst outcome sets the
// status, and --rate holds back the starts.
TEST(ClientLoad, SummaryCountsEveryOutcome)
{
    struct Case {
        const char *what;
        int answer;  // response code; 0: silence
        Args args;
        int status;
        std::vector<std::string> out;  // in the summary
        size_t err_lines;
        int spread_ms = 0;  // at least this long from the first request to the last
    };
    const std::vector<Case> cases = {
        {"one named", 2, {"-n", "12", "-P", "4", "--check-reply", "--json"}, 4,
         {"{\"sent\": 12, \"accepted\": 1, \"rejected\": 0, \"mismatched\": 11, "
          "\"timed_out\": 0, \"failed\": 0, "}, 1},
        {"rejects", 3, {"-n", "5", "-P", "5"}, 1, {"rejected      5\n", "accepted      0\n"}, 0},
        {"silence", 0, {"-n", "3", "-P", "3", "--json"}, 3,
         {"\"timed_out\": 3, ", "\"latency_ms\": {\"p50\": null, "}, 1},
        {"rate", 2, {"-n", "5", "-P", "5", "--rate", "10"}, 0, {"accepted      5\n"}, 0, 390},
    };
    for (const Case &c : cases) {
        UdpResponder responder("127.0.0.1", [&](const Octets &req, int) -> std::optional<Octets> {
            if (c.answer == 0)
                return std::nullopt;
            return make_response(req, static_cast<uint8_t>(c.answer),
                                 attr(18, "Hello, load-12"), kSecret);
        });
        Args args = c.args;
        args.insert(args.end(), {"-u", "load-%n", "auth"});
        ClientRun r = run_client(local(responder, args));
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.describe();
        for (const std::string &text : c.out)
            EXPECT_NE(r.out.find(text), std::string::npos) << c.what << ": " << text << "\n"
                                                           << r.out;
        EXPECT_EQ(r.err_lines().size(), c.err_lines) << c.what << "\n" << r.err;
        const auto got = responder.received();
        const size_t count = std::stoul(c.args[1]);
        ASSERT_EQ(got.size(), count) << c.what;
        for (size_t i = 1; i <= count; i++)
            EXPECT_EQ(std::count_if(got.begin(), got.end(),
                                    [&](const auto &g) {
                                        return has_attr(g.octets, 1, "load-" + std::to_string(i));
                                    }),
                      1) << c.what << " load-" << i;
        EXPECT_GE(got.back().at - got.front().at, std::chrono::milliseconds(c.spread_ms))
            << c.what;
    }
}

struct BadInput {
    const char *what;
    std::vector<std::string> args;
    std::string stdin_text;
    const char *mentions;  // the message names the problem
};

void PrintTo(const BadInput &c, std::ostream *os)
{
    *os << c.what;
}

class ClientBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(ClientBadInput, OneLineAndStatusTwo)
{
    const BadInput &c = GetParam();
    // Nothing may be sent: the responder counts what arrives.
    UdpResponder responder("127.0.0.1", [](const Octets &req, int) -> std::optional<Octets> {
        return make_response(req, 2, {}, kSecret);
    });
    Args args;
    for (const std::string &a : c.args)
        args.push_back(a == "SERVER" ? "127.0.0.1:" + std::to_string(responder.port()) : a);
    ClientRun r = run_client(args, c.stdin_text);
    EXPECT_EQ(r.status, 2) << c.what << "\n" << r.describe();
    ASSERT_EQ(r.err_lines().size(), 1u) << c.what << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("quelna-client: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.mentions), std::string::npos) << c.what << "\n" << r.err;
    EXPECT_EQ(r.err.find(kHidden), std::string::npos) << c.what << "\n" << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(responder.received().empty()) << c.what;
}

const Args S = {"-s", "SERVER", "-S", kSecret};
std::vector<std::string> with(std::vector<std::string> more)
{
    Args a = S;
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientBadInput,
    ::testing::Values(
        BadInput{"no kind", with({}), "", "request kind"},
        BadInput{"unknown kind", with({"frobnicate"}), "", "frobnicate"},
        BadInput{"unknown option", with({"--frob", "auth"}), "", "--frob"},
        BadInput{"option without value", {"-s"}, "", "-s"},
        BadInput{"no server", {"-S", "x", "auth"}, "", "no server"},
        BadInput{"no secret", {"-s", "SERVER", "auth"}, "", "secret"},
        BadInput{"bad port", {"-s", "127.0.0.1:99999", "-S", "x", "auth"}, "", "99999"},
        BadInput{"unknown attribute", with({"auth", "Not-An-Attribute=1"}), "",
                 "Not-An-Attribute"},
        BadInput{"malformed integer", with({"auth", "Session-Timeout=soon"}), "",
                 "Session-Timeout"},
        BadInput{"malformed address", with({"auth", "NAS-IP-Address=300.1.1.1"}), "",
                 "NAS-IP-Address"},
        BadInput{"malformed octets", with({"auth", "Class=0xabc"}), "", "Class"},
        BadInput{"unknown value name", with({"auth", "Service-Type=Framed-Usr"}), "",
                 "value name"},
        BadInput{"prefix past 128 bits", with({"auth", "Framed-IPv6-Prefix=2001:db8::/129"}), "",
                 "Framed-IPv6-Prefix"},
        BadInput{"no such day", with({"acct", "Event-Timestamp=2026-02-29T00:00:00Z"}), "",
                 "Event-Timestamp"},
        BadInput{"EAP-Message past a packet",
                 with({"auth", "EAP-Message=0x" + std::string(2 * 4077, '0')}), "", "4076"},
        BadInput{"missing dictionary", with({"-D", "/nonexistent/dictionary", "status"}), "",
                 "/nonexistent/dictionary"},
        BadInput{"tag on untagged", with({"auth", "User-Name:2=bob"}), "", "tag"},
        BadInput{"no equals sign", with({"auth", "User-Name"}), "", "Name = value"},
        BadInput{"password too long", with({"-u", "a", "-p", std::string(129, 'p'), "auth"}),
                 "", "-p"},
        BadInput{"unknown option after a secret", {"-s", "SERVER", "-S", kHidden, "-Zx", "auth"},
                 "", "option -Z "},
        BadInput{"long option with a secret value",
                 with({"-p", kHidden, "--pw=" + std::string(kHidden), "auth"}), "", "option --pw "},
        BadInput{"hidden value too long",
                 with({"auth", "User-Password=" + std::string(kHidden) + std::string(120, 'p')}),
                 "", "User-Password: 130 octets"},
        BadInput{"empty value", with({"auth", "User-Name="}), "", "User-Name"},
        BadInput{"attribute number past 255", with({"auth", "Attr-256=0x01"}), "", "Attr-256"},
        BadInput{"vendor 0", with({"auth", "Attr-26.0.1=0x41"}), "", "Attr-26.0.1"},
        BadInput{"attribute 0", with({"auth", "Attr-0=0x01"}), "", "Attr-0"},
        BadInput{"reply-only attribute", with({"auth", "Tunnel-Password:1=x"}), "",
                 "Tunnel-Password"},
        BadInput{"hidden attribute outside auth", with({"acct", "User-Password=x"}), "",
                 "User-Password"},
        BadInput{"negative port", {"-s", "127.0.0.1:-1", "-S", "x", "auth"}, "", "\"-1\""},
        BadInput{"directory as secret file", {"-s", "SERVER", "--secret-file", "/", "auth"}, "",
                 "Is a directory"},
        BadInput{"directory as configuration", {"-c", "/", "-R", "r", "auth"}, "",
                 "Is a directory"},
        BadInput{"secret and requests on standard input",
                 {"-s", "SERVER", "--secret-file", "-", "-f", "-", "auth"}, "", "-f -"},
        BadInput{"secret variable unset", {"-s", "SERVER", "--secret-env", "QN_UNSET", "auth"},
                 "", "QN_UNSET"},
        BadInput{"two passwords", with({"-p", "x", "--password-env", "X", "auth"}), "",
                 "one of -p"},
        BadInput{"bad block in a stream", with({"-f", "-", "auth"}),
                 "User-Name = bob\n\nUser-Name = x\nFramed-IP-Address = nope\n",
                 "standard input:4"},
        BadInput{"empty stream", with({"-f", "-", "auth"}), "\n# nothing\n\n", "no request"},
        BadInput{"unreadable file", with({"-f", "/nonexistent/requests", "auth"}), "",
                 "/nonexistent/requests"},
        BadInput{"missing CA file", with({"-T", "tls", "--ca", "/nonexistent/ca.pem", "status"}),
                 "", "/nonexistent/ca.pem"},
        BadInput{"missing key file",
                 with({"-T", "tls", "--ca", "/dev/null", "--cert", "/dev/null", "--key",
                       "/nonexistent/k.pem", "status"}),
                 "", "/nonexistent/k.pem"},
        BadInput{"PSK without key", with({"-T", "tls", "--psk-id", "me", "status"}), "",
                 "--psk-id"},
        BadInput{"bad PSK hex", with({"-T", "tls", "--psk-id", "me", "--psk-hex", "xyz", "status"}),
                 "", "--psk-hex"},
        BadInput{"TLS option on UDP", with({"--ca", "/dev/null", "status"}), "", "-T tls"},
        BadInput{"unknown transport", with({"-T", "sctp", "status"}), "", "sctp"},
        BadInput{"unknown Message-Authenticator policy",
                 with({"--require-message-authenticator", "maybe", "status"}), "", "maybe"},
        BadInput{"chap without auth", with({"-p", "x", "--chap", "acct"}), "", "--chap"},
        BadInput{"both server kinds", {"-s", "SERVER", "-c", "/etc/quelna.conf", "-R", "r", "auth"},
                 "", "not both"},
        BadInput{"missing configuration file", {"-c", "/nonexistent/q.conf", "-R", "r", "auth"}, "",
                 "/nonexistent/q.conf"},
        BadInput{"bad time-out", with({"-t", "-1", "status"}), "", "-t"},
        BadInput{"rate of zero", with({"--rate", "0", "status"}), "", "--rate"},
        BadInput{"nothing in flight", with({"-P", "0", "status"}), "", "-P"},
        BadInput{"hex dump in load mode", with({"-x", "-n", "2", "status"}), "", "-x"},
        BadInput{"numbered user too long",
                 with({"-n", "100", "-u", std::string(251, 'u') + "%n", "status"}), "", "253"}),
    [](const ::testing::TestParamInfo<BadInput> &info) {
        std::string name;
        for (char ch : std::string(info.param.what))
            name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST(ClientHelp, HelpAndManPageShowEveryOption)
{
    ClientRun r = run_client({"--help"});
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_EQ(r.err, "");
    std::ifstream man_file(QUELNA_CLIENT_MAN);
    ASSERT_TRUE(man_file) << QUELNA_CLIENT_MAN;
    std::stringstream man;
    man << man_file.rdbuf();
    for (const char *opt : {"config", "dictionary", "realm", "server", "secret", "secret-file",
                            "secret-env", "password-file", "password-env", "transport", "ca",
                            "cert", "key", "psk-id", "psk-hex", "psk-text", "no-hostname-check",
                            "require-message-authenticator",
                            "user", "password", "chap", "file", "timeout", "retries", "hex",
                            "quiet", "verbose", "help", "version", "count", "parallel", "rate",
                            "json", "check-reply"}) {
        EXPECT_NE(r.out.find(std::string("--") + opt + " "), std::string::npos) << opt;
        // The man page escapes each dash of an option name.
        std::string escaped = "\\-\\-";
        for (char ch : std::string(opt))
            escaped += ch == '-' ? std::string("\\-") : std::string(1, ch);
        EXPECT_NE(man.str().find(escaped), std::string::npos) << opt;
        // The option is accepted (a usage error names another problem, not the option).
        std::string arg = std::string("--") + opt;
        ClientRun probe = run_client({arg, "x", "status"}, "", 10);
        EXPECT_EQ(probe.err.find("unknown option"), std::string::npos) << opt << probe.err;
    }
    EXPECT_NE(r.out.find("Examples:"), std::string::npos);
    EXPECT_NE(r.out.find("Exit status:"), std::string::npos);
}

}  // namespace
