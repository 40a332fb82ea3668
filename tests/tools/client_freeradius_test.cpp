// quelna-client run as a process against a real server (FreeRADIUS on loopback): every request
// kind it answers, over UDP, TCP, TLS and TLS-PSK, single requests and streams.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "client_runner.h"
#include "support/radius_peer.h"

namespace {

using quelna::test::ClientRun;
using quelna::test::Listener;
using quelna::test::RadiusPeer;
using quelna::test::run_client;
using quelna::test::run_program;
using quelna::test::TempDir;
using Args = std::vector<std::string>;

struct ClientFreeRadius : ::testing::Test {
    RadiusPeer *peer = nullptr;
    void SetUp() override
    {
        std::string why;
        peer = RadiusPeer::shared(&why);
        ASSERT_NE(peer, nullptr) << why;
    }
    std::string at(Listener l, const std::string &host = "127.0.0.1") const
    {
        return host + ":" + std::to_string(peer->port(l));
    }
    // A UDP or TCP server on the command line; each call adds a bounded time-out so that a
    // broken exchange fails fast instead of running the 30 s schedule.
    Args server(Listener l, const std::string &transport = "udp") const
    {
        return {"-s", at(l), "-S", peer->secret(), "-T", transport, "-t", "5", "-r", "1"};
    }
    Args tls_server(Listener l, const std::string &host = "127.0.0.1") const
    {
        return {"-s", at(l, host), "-T", "tls", "-S", peer->tls_secret(), "-t", "5", "-r", "0"};
    }
    static Args cat(Args a, const Args &b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

TEST_F(ClientFreeRadius, PapAcceptRejectAndUnknownUser)
{
    ClientRun r = run_client(cat(server(Listener::AuthUdp), {"-u", "bob", "-p", "hello", "auth"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_NE(r.out.find("Received Access-Accept Id "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tReply-Message = Hello, bob\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");

    r = run_client(cat(server(Listener::AuthUdp), {"-u", "bob", "-p", "wrong", "auth"}));
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_NE(r.out.find("Received Access-Reject"), std::string::npos) << r.out;

    r = run_client(cat(server(Listener::AuthUdp), {"-u", "nobody", "-p", "x", "auth"}));
    EXPECT_EQ(r.status, 1) << r.describe();
}

TEST_F(ClientFreeRadius, ChapFromOptionAndFromFile)
{
    ClientRun r = run_client(
        cat(server(Listener::AuthUdp), {"-u", "bob", "-p", "hello", "--chap", "auth"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    r = run_client(
        cat(server(Listener::AuthUdp), {"-u", "bob", "-p", "hellO", "--chap", "auth"}));
    EXPECT_EQ(r.status, 1) << r.describe();
    // A clear-text CHAP-Password in the input is turned into the response by the library.
    r = run_client(cat(server(Listener::AuthUdp), {"-f", "-", "auth"}),
                   "User-Name = rich\nCHAP-Password = \"richpw\"\n");
    EXPECT_EQ(r.status, 0) << r.describe();
}

TEST_F(ClientFreeRadius, TypedAndTaggedReplyAttributesAndHexDump)
{
    ClientRun r = run_client(
        cat(server(Listener::AuthUdp), {"-x", "-u", "rich", "-p", "richpw", "auth"}));
    ASSERT_EQ(r.status, 0) << r.describe();
    for (const char *line : {"\tReply-Message = Rich reply\n", "\tFramed-IP-Address = 192.0.2.10\n",
                             "\tSession-Timeout = 3600\n", "\tClass = 0x71756c6e61\n",
                             "\tTunnel-Type:1 = VLAN\n", "\tTunnel-Medium-Type:1 = IEEE-802\n",
                             "\tTunnel-Private-Group-Id:1 = 42\n",
                             "\tTunnel-Password:1 = tunnel-secret\n",
                             "\tLucent-Max-Shared-Users = 4\n\tLucent-PPP-Circuit-Name = quelna\n"
                             "\tLucent-Traffic-Descriptor-Name = td\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " missing in\n" << r.out;
    // Both packets dumped: the request (code 1) and the answer (code 2, 116 octets).
    EXPECT_NE(r.out.find("  Code:\t\t1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  Code:\t\t2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  Length:\t116\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
}

// The "Name = value" lines after "Received", values without radclient's string quotes.
std::vector<std::pair<std::string, std::string>> received_pairs(const std::string &out)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    std::istringstream in(out.substr(std::min(out.find("\nReceived ") + 1, out.size())));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line) && !line.empty() && line[0] == '\t') {
        const size_t eq = line.find(" = ");
        std::string value = eq == std::string::npos ? "" : line.substr(eq + 3);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        pairs.emplace_back(line.substr(1, eq - 1), value);
    }
    return pairs;
}

// With the system's FreeRADIUS dictionaries loaded at run time, vendor attributes reach the
// server with the right numbers (its users entry accepts only when they match) and the answer
// reads as radclient shows it: vendor names, value names, IPv6 forms, MS-MPPE keys revealed.
TEST_F(ClientFreeRadius, RunTimeDictionaryAnswerReadsAsRadclientShowsIt)
{
    const std::string request = "User-Name = vendors\nUser-Password = vendorpw\n"
                                "Cisco-AVPair = \"shell:priv-lvl=15\"\n"
                                "Mikrotik-Rate-Limit = \"10M/10M\"\n"
                                "WISPr-Bandwidth-Max-Down = 1000000\n";
    const Args dict = {"-D", "/usr/share/freeradius/dictionary"};
    ClientRun ours = run_client(cat(cat(dict, server(Listener::AuthUdp)), {"-f", "-", "auth"}),
                                request);
    ASSERT_EQ(ours.status, 0) << ours.describe();
    for (const char *line : {"\tService-Type = Framed-User\n", "\tTunnel-Type:1 = VLAN\n",
                             "\tMikrotik-Wireless-Enc-Algo = AES-CCM\n",
                             "\tCisco-AVPair = ip:addr-pool=quelna\n",
                             "\tFramed-IPv6-Prefix = 2001:db8:1::/48\n",
                             "\tMS-MPPE-Send-Key = 0x00112233445566778899aabbccddeeff\n"})
        EXPECT_NE(ours.out.find(line), std::string::npos) << line << " missing in\n" << ours.out;
    // Without the dictionary the vendor names are unknown: nothing is sent.
    ClientRun bare = run_client(cat(server(Listener::AuthUdp), {"-f", "-", "auth"}), request);
    EXPECT_EQ(bare.status, 2) << bare.describe();

    // The server wants a Message-Authenticator, which radclient computes when given one.
    ClientRun theirs = run_program("/usr/bin/radclient",
                                   {"-x", "-r", "1", "-t", "5", at(Listener::AuthUdp), "auth",
                                    peer->secret()},
                                   request + "Message-Authenticator = 0x00\n");
    ASSERT_EQ(theirs.status, 0) << theirs.describe();
    const auto want = received_pairs(theirs.out), got = received_pairs(ours.out);
    ASSERT_EQ(want.size(), 13u) << theirs.out;
    EXPECT_EQ(got, want) << "ours:\n" << ours.out << "radclient:\n" << theirs.out;

    // The same dictionary named by the configuration file instead of -D.
    TempDir dir;
    const std::string conf = dir.write(
        "q.conf", "dictionary = \"" + dict[1] + "\"\nrealm r {\n type = \"UDP\"\n server {\n"
                  "  hostname = \"127.0.0.1\"\n  service = \"" +
                      std::to_string(peer->port(Listener::AuthUdp)) + "\"\n  secret = \"" +
                      peer->secret() + "\"\n }\n}\n");
    ClientRun from_conf = run_client({"-c", conf, "-R", "r", "-f", "-", "auth"}, request);
    ASSERT_EQ(from_conf.status, 0) << from_conf.describe();
    EXPECT_EQ(received_pairs(from_conf.out), want) << from_conf.out;
}

TEST_F(ClientFreeRadius, AccountingAndStatusServer)
{
    ClientRun r = run_client(cat(server(Listener::AcctUdp),
                                 {"acct", "User-Name=bob", "Acct-Status-Type=1",
                                  "Acct-Session-Id=cli-1", "NAS-IP-Address=127.0.0.1"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_NE(r.out.find("Received Accounting-Response"), std::string::npos) << r.out;

    r = run_client(cat(server(Listener::AuthUdp), {"status"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_NE(r.out.find("Sent Status-Server"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Received Access-Accept"), std::string::npos) << r.out;
}

TEST_F(ClientFreeRadius, StreamOfRequestsCombinesStatuses)
{
    const std::string input =
        "# accepted, plain and quoted\n"
        "User-Name = bob\nUser-Password = hello\n\n"
        "User-Name = \"rich\"\r\nUser-Password = \"richpw\"\r\n\n\n"
        "User-Name = bob\nUser-Password = not-his\n";
    ClientRun r = run_client(cat(server(Listener::AuthUdp), {"-f", "-", "auth"}), input);
    EXPECT_EQ(r.status, 1) << r.describe();  // one reject among accepts
    size_t accepts = 0, pos = 0;
    while ((pos = r.out.find("Received Access-Accept", pos)) != std::string::npos) {
        accepts++;
        pos++;
    }
    EXPECT_EQ(accepts, 2u) << r.out;
    EXPECT_NE(r.out.find("Received Access-Reject"), std::string::npos) << r.out;

    // All positive: 0. The same blocks from a file, over TCP this time.
    TempDir dir;
    std::string file =
        dir.write("reqs", "User-Name = bob\nUser-Password = hello\n\nUser-Name = signer\n"
                          "User-Password = signpw\n");
    r = run_client(cat(server(Listener::Tcp, "tcp"), {"-f", file, "auth"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_NE(r.out.find("Reply-Message = Signed reply for signer"), std::string::npos) << r.out;
}

TEST_F(ClientFreeRadius, TcpTlsAndTlsPsk)
{
    ClientRun r = run_client(
        cat(server(Listener::Tcp, "tcp"), {"-u", "bob", "-p", "hello", "auth"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    r = run_client(cat(server(Listener::Tcp, "tcp"), {"acct", "User-Name=bob",
                                                      "Acct-Status-Type=2", "Acct-Session-Id=t"}));
    EXPECT_EQ(r.status, 0) << r.describe();

    const Args cert = {"--ca", peer->ca_file(), "--cert", peer->client_cert(), "--key",
                       peer->client_key()};
    r = run_client(cat(cat(tls_server(Listener::Tls), cert), {"-u", "bob", "-p", "hello", "auth"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    r = run_client(cat(cat(tls_server(Listener::Tls, "localhost"), cert), {"status"}));
    EXPECT_EQ(r.status, 0) << r.describe();

    r = run_client(cat(tls_server(Listener::TlsPskHex),
                       {"--psk-id", peer->psk_identity(), "--psk-hex", peer->psk_hex(), "-u",
                        "bob", "-p", "hello", "auth"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    r = run_client(cat(tls_server(Listener::TlsPskText),
                       {"--psk-id", peer->psk_identity(), "--psk-text", peer->psk_text(), "-u",
                        "bob", "-p", "nope", "auth"}));
    EXPECT_EQ(r.status, 1) << r.describe();
}

// Load mode: 10,000 requests with 256 in flight on one connection, and every answer names the
// user of its own request ("Hello, load-N"): none lost, duplicated or given to another.
TEST_F(ClientFreeRadius, LoadRunMatchesEveryAnswerToItsRequest)
{
    const Args cert = {"--ca", peer->ca_file(), "--cert", peer->client_cert(), "--key",
                       peer->client_key()};
    const std::vector<std::pair<const char *, Args>> transports = {
        {"udp", server(Listener::AuthUdp)},
        {"tcp", server(Listener::Tcp, "tcp")},
        {"tls", cat(tls_server(Listener::Tls), cert)},
    };
    for (const auto &[name, where] : transports) {
        ClientRun r = run_client(cat(where, {"-n", "10000", "-P", "256", "--json", "--check-reply",
                                             "-u", "load-%n", "-p", "loadpw", "auth"}),
                                 "", 120);
        EXPECT_EQ(r.status, 0) << name << "\n" << r.describe();
        EXPECT_EQ(r.err, "") << name;
        EXPECT_EQ(r.out.rfind("{\"sent\": 10000, \"accepted\": 10000, \"rejected\": 0, "
                              "\"mismatched\": 0, \"timed_out\": 0, \"failed\": 0, ",
                              0),
                  0u)
            << name << "\n" << r.out;
    }
}

TEST_F(ClientFreeRadius, TlsCertificateChecks)
{
    const Args ca = {"--ca", peer->ca_file(), "-u", "bob", "-p", "hello"};
    // The certificate names only another host: refused, unless the check is switched off.
    ClientRun r = run_client(cat(cat(tls_server(Listener::TlsWrongHost, "localhost"), ca), {"auth"}));
    EXPECT_EQ(r.status, 4) << r.describe();
    ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("certificate"), std::string::npos) << r.err;
    r = run_client(cat(cat(tls_server(Listener::TlsWrongHost, "localhost"), ca),
                       {"--no-hostname-check", "auth"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    // An untrusted issuer, and a server that wants a client certificate we do not give.
    r = run_client(cat(cat(tls_server(Listener::TlsRogue, "localhost"), ca), {"auth"}));
    EXPECT_EQ(r.status, 4) << r.describe();
    r = run_client(cat(cat(tls_server(Listener::Tls), ca), {"auth"}));
    EXPECT_EQ(r.status, 4) << r.describe();
    EXPECT_EQ(r.err_lines().size(), 1u) << r.err;
}

TEST_F(ClientFreeRadius, ServerFromConfigurationFile)
{
    TempDir dir;
    std::string conf = dir.write(
        "quelna.conf",
        "realm udp-auth {\n type = \"UDP\"\n server {\n  hostname = \"127.0.0.1\"\n  service = \"" +
            std::to_string(peer->port(Listener::AuthUdp)) + "\"\n  secret = \"" + peer->secret() +
            "\"\n }\n}\n"
            "realm psk {\n type = \"TLS\"\n pskid = \"" + peer->psk_identity() +
            "\"\n pskhexstr = \"" + peer->psk_hex() + "\"\n server {\n  hostname = \"127.0.0.1\"\n"
            "  service = \"" + std::to_string(peer->port(Listener::TlsPskHex)) +
            "\"\n  secret = \"" + peer->tls_secret() + "\"\n }\n}\n");
    ClientRun r = run_client({"-c", conf, "-R", "udp-auth", "-u", "bob", "-p", "hello", "auth"});
    EXPECT_EQ(r.status, 0) << r.describe();
    r = run_client({"-c", conf, "-R", "psk", "-u", "bob", "-p", "hello", "auth"});
    EXPECT_EQ(r.status, 0) << r.describe();

    r = run_client({"-c", conf, "-R", "nosuch", "-u", "bob", "-p", "hello", "auth"});
    EXPECT_EQ(r.status, 2) << r.describe();
    EXPECT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("nosuch"), std::string::npos) << r.err;
    // A file the library refuses, and a realm without a server.
    std::string broken = dir.write("broken.conf", "realm x { type = \"UDP\" colour = 1 }\n");
    r = run_client({"-c", broken, "-R", "x", "status"});
    EXPECT_EQ(r.status, 2) << r.describe();
    EXPECT_EQ(r.err_lines().size(), 1u) << r.err;
    std::string empty = dir.write("empty.conf", "realm x { type = \"UDP\" }\n");
    r = run_client({"-c", empty, "-R", "x", "status"});
    EXPECT_EQ(r.status, 2) << r.describe();
    EXPECT_EQ(r.err_lines().size(), 1u) << r.err;
}

TEST_F(ClientFreeRadius, SecretFromFileAndWrongSecret)
{
    TempDir dir;
    std::string file = dir.write("secret", peer->secret() + "\n");
    ClientRun r = run_client({"-s", at(Listener::AuthUdp), "--secret-file", file, "-u", "bob", "-p",
                              "hello", "auth"});
    EXPECT_EQ(r.status, 0) << r.describe();
    // The server drops a request signed with another secret without a word: a time-out, whose
    // message points at the secret.
    r = run_client({"-s", at(Listener::AuthUdp), "-S", "not-" + peer->secret(), "-t", "0.5", "-r",
                    "0", "-u", "bob", "-p", "hello", "auth"});
    EXPECT_EQ(r.status, 3) << r.describe();
    ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
    EXPECT_NE(r.err.find("secret"), std::string::npos) << r.err;
}

TEST_F(ClientFreeRadius, QuietPrintsNothing)
{
    ClientRun r = run_client(cat(server(Listener::AuthUdp), {"-q", "-u", "bob", "-p", "hello", "auth"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_EQ(r.out + r.err, "");
    r = run_client(cat(server(Listener::AuthUdp), {"-q", "-u", "bob", "-p", "bad", "-x", "auth"}));
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(r.out + r.err, "");
    r = run_client(cat(server(Listener::AuthUdp), {"-q", "auth", "No-Such-Attribute=1"}));
    EXPECT_EQ(r.status, 2) << r.describe();
    EXPECT_EQ(r.out + r.err, "");
}

}  // namespace
