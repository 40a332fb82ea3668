// The two demonstration programs end to end: real Kerberos, a real TID exchange, SQLite.
#include <glib.h>

#include <regex>
#include <sstream>

#include "tid_fixture.h"

namespace tidtest {
namespace {

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

gint64 now_seconds()
{
    return g_get_real_time() / G_USEC_PER_SEC;
}

class TidDemos : public TidServerTest {
protected:
    Outcome client(const std::map<std::string, std::string> &env = {})
    {
        return run_program({TID_CLIENT_PATH, "localhost", "rp.example", "target.example",
                            "apc.example", std::to_string(server_.port())},
                           dir_, env);
    }
};

TEST_F(TidDemos, ClientGetsTheKeyTheServerStored)
{
    const gint64 before = now_seconds();
    const Outcome run = client();
    const gint64 after = now_seconds();
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    EXPECT_EQ(lines[0], "TIDC Client:");
    EXPECT_EQ(lines[1], "Server = localhost, rp_realm = rp.example, target_realm = target.example, "
                        "community = apc.example, port = " + std::to_string(server_.port()));
    EXPECT_EQ(lines[2], "Response received! Realm = target.example, Community = apc.example.");

    const auto keys = query(db_, "select keyid, key, length(client_dh_pub), key_expiration "
                                 "from psk_keys_tab");
    ASSERT_EQ(keys.size(), 1u);
    const std::string &stored_key = keys[0][1];
    EXPECT_EQ(lines[3], "Client Key Generated (len = " + std::to_string(stored_key.size() / 2) + "):");
    EXPECT_EQ(lines[4], stored_key);
    EXPECT_GE(stored_key.size(), 2u * 200);  // a 2048-bit group's secret

    EXPECT_TRUE(std::regex_match(keys[0][0], std::regex("key-[0-9a-f]{6}"))) << keys[0][0];
    EXPECT_EQ(keys[0][2], "32");  // SHA-256 of the client's public value
    // Requested interval 0 is raised to one minute.
    EXPECT_TRUE(std::regex_match(keys[0][3],
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z)")))
        << keys[0][3];
    GTimeVal expires{};
    ASSERT_TRUE(g_time_val_from_iso8601(keys[0][3].c_str(), &expires));
    EXPECT_GE(expires.tv_sec, before + 60);
    EXPECT_LE(expires.tv_sec, after + 60);

    EXPECT_TRUE(query(db_, "select * from authorizations").empty());
    const std::string log = server_.log();
    EXPECT_NE(log.find("tids_req_handler: Request received! target_realm = target.example, "
                       "community = apc.example\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Request has no constraints, so no authorizations.\n"), std::string::npos);
}

TEST_F(TidDemos, EachClientGetsItsOwnKey)
{
    ASSERT_EQ(client().status, 0);
    ASSERT_EQ(client().status, 0);
    const auto keys = query(db_, "select keyid, key, client_dh_pub from psk_keys_tab");
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_NE(keys[0][1], keys[1][1]);
    EXPECT_NE(keys[0][2], keys[1][2]);
}

TEST_F(TidDemos, ClientWithAnotherNameIsRefusedAndNothingIsWritten)
{
    const Outcome bob = client({{"KRB5_CLIENT_KTNAME", kdc_->keytab("bob")},
                            {"KRB5CCNAME", "FILE:" + dir_ + "/bob.ccache"}});
    // The error response still completes the exchange, so the program exits 0.
    EXPECT_EQ(bob.status, 0) << bob.out << bob.err;
    EXPECT_NE(bob.out.find("Response received! Realm = target.example, Community = apc.example.\n"),
              std::string::npos)
        << bob.out;
    EXPECT_EQ(bob.out.find("Client Key Generated"), std::string::npos);
    EXPECT_NE(bob.err.find("tidc_resp_handler: Response is an error.\n"), std::string::npos)
        << bob.err;
    EXPECT_TRUE(query(db_, "select * from psk_keys_tab").empty());
    EXPECT_TRUE(query(db_, "select * from authorizations").empty());
    EXPECT_EQ(server_.log().find("Request received"), std::string::npos);

    // The server goes on serving the client it is configured for.
    EXPECT_EQ(client().status, 0);
    EXPECT_EQ(query(db_, "select * from psk_keys_tab").size(), 1u);
}

TEST_F(TidDemos, ClientWithoutCredentialsCannotConnect)
{
    const Outcome run = client({{"KRB5_CLIENT_KTNAME", dir_ + "/missing.keytab"},
                            {"KRB5CCNAME", "FILE:" + dir_ + "/empty.ccache"}});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Error in tidc_open_connection.\n"), std::string::npos) << run.out;
    EXPECT_TRUE(query(db_, "select * from psk_keys_tab").empty());
}

TEST(TidDemoCommandLines, WrongArgumentCountsPrintUsage)
{
    char tmpl[] = "/tmp/tid-usage-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string server_usage =
        " <ip-address> <gss-name> <hostname> <database-name>\n";
    for (const auto &args : std::vector<std::vector<std::string>>{
             {TID_SERVER_PATH, "a", "b", "c"}, {TID_SERVER_PATH, "a", "b", "c", "d", "e"}}) {
        const Outcome run = run_program(args, dir);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "Usage: " + std::string(TID_SERVER_PATH) + server_usage);
    }
    for (const auto &args : std::vector<std::vector<std::string>>{
             {TID_CLIENT_PATH, "a", "b", "c"}, {TID_CLIENT_PATH, "a", "b", "c", "d", "e", "f"}}) {
        const Outcome run = run_program(args, dir);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "Usage: " + std::string(TID_CLIENT_PATH) +
                               " <server> <RP-realm> <target-realm> <community> [<port>]\n");
    }
    // The server cannot open a database in a directory that does not exist.
    const Outcome run = run_program({TID_SERVER_PATH, "127.0.0.1", "alice@TEST.REALM", "localhost",
                                 dir + "/no/such/dir/keys.db"},
                                dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Error opening database " + dir + "/no/such/dir/keys.db\n"),
              std::string::npos)
        << run.err;
    // Four arguments mean the default port (printed before the client tries to connect).
    const Outcome dflt = run_program({TID_CLIENT_PATH, "127.0.0.1", "r", "t", "c"}, dir);
    EXPECT_NE(dflt.out.find(", port = 12309\n"), std::string::npos) << dflt.out;
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace tidtest
