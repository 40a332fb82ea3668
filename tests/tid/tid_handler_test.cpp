// The server demo's request handler, driven by a test client of the TID layer that sends
// requests the client demo cannot: constraints, original communities, expiration intervals.
#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/dh.h>
#include <openssl/sha.h>

#include <sys/stat.h>

#include <climits>
#include <set>

#include "hb_dh.h"
#include "hb_tid.h"
#include "tid_fixture.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace tidtest {
namespace {

using Constraints = std::vector<std::pair<std::string, std::vector<std::string>>>;

struct Answer {
    bool received = false;
    int result = -1;
    size_t num_servers = 0;
    std::string key_hex;
    std::string key_name;
    std::string address;
    GTimeVal expiration{};
    std::string client_pub_sha256;
};

std::string hex_of(const unsigned char *octets, size_t len)
{
    std::string hex(2 * len + 1, '\0');
    hex.resize(hb_bin_to_hex(octets, len, hex.data(), hex.size()));
    return hex;
}

void on_response(TIDC_INSTANCE *, TID_REQ *req, TID_RESP *resp, void *cookie)
{
    auto *answer = static_cast<Answer *>(cookie);
    answer->received = true;
    answer->result = resp->result;
    answer->num_servers = resp->num_servers;
    const BIGNUM *pub = DH_get0_pub_key(req->tidc_dh);
    std::vector<unsigned char> octets(static_cast<size_t>(BN_num_bytes(pub)));
    BN_bn2bin(pub, octets.data());
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(octets.data(), octets.size(), digest);
    answer->client_pub_sha256 = hex_of(digest, sizeof digest);
    if (resp->num_servers == 0)
        return;
    const TID_SRVR_BLK &blk = resp->servers[0];
    unsigned char *key = nullptr;
    const int len = hb_compute_dh_key(&key, DH_get0_pub_key(blk.aa_server_dh), req->tidc_dh);
    if (len > 0)
        answer->key_hex = hex_of(key, static_cast<size_t>(len));
    std::free(key);
    answer->key_name = blk.key_name->buf;
    answer->address = inet_ntoa(blk.aa_server_addr);
    answer->expiration = blk.key_expiration;
}

class TidHandler : public TidServerTest {
protected:
    // Sends one request through the TID layer and returns what came back.
    Answer ask(const Constraints &constraints, int interval = 0, const char *orig_coi = nullptr,
               int port = 0)
    {
        Answer answer;
        TIDC_INSTANCE *tidc = tidc_create();
        tidc->client_dh = hb_create_dh_params(nullptr, 0);
        gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
        const int conn =
            tidc_open_connection(tidc, "localhost", port != 0 ? port : server_.port(), &ctx);
        EXPECT_GE(conn, 0);
        TID_REQ *req = tid_req_new(nullptr);
        req->rp_realm = hb_new_name("rp.example");
        req->realm = hb_new_name("target.example");
        req->comm = hb_new_name("apc.example");
        req->orig_coi = hb_new_name(orig_coi);
        req->expiration_interval = interval;
        if (!constraints.empty()) {
            req->cons = hb_constraint_set_new(req);
            for (const auto &[type, matches] : constraints) {
                std::vector<const char *> strings;
                for (const auto &m : matches)
                    strings.push_back(m.c_str());
                EXPECT_EQ(hb_constraint_set_add(req->cons, type.c_str(), strings.data(),
                                                strings.size()),
                          0);
            }
        }
        if (conn >= 0) {
            EXPECT_EQ(tidc_fwd_request(tidc, conn, ctx, req, on_response, &answer), 0);
        }
        tid_req_free(req);
        tidc_destroy(tidc);
        return answer;
    }

    std::set<std::pair<std::string, std::string>> domain_realm_rows()
    {
        std::set<std::pair<std::string, std::string>> rows;
        for (const auto &row : query(db_, "select hostname, acceptor_realm from authorizations"))
            rows.insert({row[0], row[1]});
        return rows;
    }
};

TEST_F(TidHandler, EveryDomainRealmPairGetsARow)
{
    const Answer answer = ask({{"domain", {"a.example.org", "b.example.org"}},
                               {"realm", {"r1.example", "r2.example", "r3.example"}}});
    ASSERT_TRUE(answer.received);
    ASSERT_EQ(answer.result, 0);
    const auto rows = query(db_, "select client_dh_pub, coi, apc from authorizations");
    ASSERT_EQ(rows.size(), 6u);
    for (const auto &row : rows) {
        EXPECT_EQ(row[0], answer.client_pub_sha256);
        EXPECT_EQ(row[1], "apc.example");  // no original community: the community itself
        EXPECT_EQ(row[2], "apc.example");
    }
    std::set<std::pair<std::string, std::string>> expected;
    for (const char *d : {"a.example.org", "b.example.org"})
        for (const char *r : {"r1.example", "r2.example", "r3.example"})
            expected.insert({d, r});
    EXPECT_EQ(domain_realm_rows(), expected);

    // The response's entry describes the key the server stored.
    const auto keys = query(db_, "select keyid, key, client_dh_pub from psk_keys_tab");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(answer.num_servers, 1u);
    EXPECT_EQ(answer.key_name, keys[0][0]);
    EXPECT_EQ(answer.key_hex, keys[0][1]);
    EXPECT_EQ(keys[0][2], answer.client_pub_sha256);
    EXPECT_EQ(answer.address, "127.0.0.1");
}

TEST_F(TidHandler, OriginalCommunityIsStoredAsCoi)
{
    ASSERT_EQ(ask({{"domain", {"h.example"}}, {"realm", {"r.example"}}}, 0, "coi.example").result,
              0);
    const auto rows = query(db_, "select coi, apc from authorizations");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "coi.example");
    EXPECT_EQ(rows[0][1], "apc.example");
}

TEST_F(TidHandler, WildcardsBecomeSqlWildcards)
{
    ASSERT_EQ(ask({{"domain", {"*.org", "host.example"}}, {"realm", {"*.realm.example"}}}).result,
              0);
    EXPECT_EQ(domain_realm_rows(),
              (std::set<std::pair<std::string, std::string>>{{"%.org", "%.realm.example"},
                                                             {"host.example", "%.realm.example"}}));
}

TEST_F(TidHandler, ConstraintsOfOneTypeAreIntersected)
{
    ASSERT_EQ(ask({{"domain", {"*.example.org", "other.net"}},
                   {"domain", {"a.example.org", "*.b.example.org", "c.example.com"}},
                   {"realm", {"r.example"}}})
                  .result,
              0);
    EXPECT_EQ(domain_realm_rows(),
              (std::set<std::pair<std::string, std::string>>{{"a.example.org", "r.example"},
                                                             {"%.b.example.org", "r.example"}}));
}

TEST_F(TidHandler, PercentInAMatchFailsTheRequest)
{
    const Answer answer = ask({{"domain", {"*.org", "50%.example"}}, {"realm", {"r.example"}}});
    ASSERT_TRUE(answer.received);
    EXPECT_NE(answer.result, 0);
    EXPECT_EQ(answer.num_servers, 0u);
    EXPECT_TRUE(query(db_, "select * from authorizations").empty());
    EXPECT_TRUE(query(db_, "select * from psk_keys_tab").empty());
    const std::string log = server_.log();
    const size_t counts = log.find(" 2 domain constraint matches and 1 realm constraint matches\n");
    const size_t refusal = log.find(
        "Processing domain constraints: Constraint match `50%.example' is not appropriate for "
        "SQL\n");
    EXPECT_NE(counts, std::string::npos) << log;
    EXPECT_NE(refusal, std::string::npos) << log;
    EXPECT_LT(counts, refusal);

    const Answer realm = ask({{"domain", {"h.example"}}, {"realm", {"%"}}});
    EXPECT_NE(realm.result, 0);
    EXPECT_NE(server_.log().find("Processing realm constraints: Constraint match `%' is not "
                                 "appropriate for SQL\n"),
              std::string::npos);
}

TEST_F(TidHandler, MissingDomainsOrConstraintsWriteNoAuthorisations)
{
    EXPECT_EQ(ask({}).result, 0);
    EXPECT_EQ(ask({{"realm", {"r1.example", "r2.example"}}}).result, 0);
    EXPECT_EQ(ask({{"domain", {"a.example"}}, {"domain", {"b.example"}}, {"realm", {"r.example"}}})
                  .result,
              0);  // the two domain constraints have nothing in common
    EXPECT_TRUE(query(db_, "select * from authorizations").empty());
    EXPECT_EQ(query(db_, "select * from psk_keys_tab").size(), 3u);
    EXPECT_NE(server_.log().find(" 0 domain constraint matches and 2 realm constraint matches\n"),
              std::string::npos);
}

TEST_F(TidHandler, ExpirationIsAtLeastOneMinute)
{
    const std::vector<std::pair<int, gint64>> cases = {
        {0, 60}, {-5, 60}, {INT_MIN, 60}, {10, 600}, {INT_MAX, gint64{INT_MAX} * 60}};
    for (const auto &[interval, seconds] : cases) {
        const gint64 before = g_get_real_time() / G_USEC_PER_SEC;
        const Answer answer = ask({}, interval);
        const gint64 after = g_get_real_time() / G_USEC_PER_SEC;
        ASSERT_EQ(answer.result, 0) << interval;
        EXPECT_GE(answer.expiration.tv_sec, before + seconds) << interval;
        EXPECT_LE(answer.expiration.tv_sec, after + seconds) << interval;
    }
    // The stored expiration is the one the client was told.
    const auto rows = query(db_, "select key_expiration from psk_keys_tab");
    ASSERT_EQ(rows.size(), cases.size());
    GTimeVal stored{};
    ASSERT_TRUE(g_time_val_from_iso8601(rows[3][0].c_str(), &stored));
    const gint64 now = g_get_real_time() / G_USEC_PER_SEC;
    EXPECT_NEAR(static_cast<double>(stored.tv_sec), static_cast<double>(now + 600), 5.0);
}

TEST_F(TidHandler, WithoutTablesRequestsStillGetKeys)
{
    // A database whose statements cannot be prepared: the keys are handed out, not stored.
    const std::string bare_dir = dir_ + "/bare";
    ASSERT_EQ(mkdir(bare_dir.c_str(), 0700), 0);
    TidServer bare;
    std::string why;
    ASSERT_TRUE(bare.start(bare_dir, bare_dir + "/empty.db", "alice@TEST.REALM", why)) << why;
    const Answer answer =
        ask({{"domain", {"h.example"}}, {"realm", {"r.example"}}}, 5, nullptr, bare.port());
    EXPECT_EQ(answer.result, 0);
    EXPECT_EQ(answer.num_servers, 1u);
    EXPECT_FALSE(answer.key_hex.empty());
    EXPECT_NE(bare.log().find(" No database, no authorizations inserted\n"), std::string::npos)
        << bare.log();
    EXPECT_EQ(bare.stop(), 1);
}

}  // namespace
}  // namespace tidtest

#pragma GCC diagnostic pop
