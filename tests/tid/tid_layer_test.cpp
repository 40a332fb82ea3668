// The TID layer's own pieces, in process: names, hexadecimal text, constraint sets, and the
// conversions of requests and responses to and from their JSON messages.
#include <openssl/bn.h>
#include <openssl/dh.h>

#include <cstring>
#include <tuple>

#include "hb_dh.h"
#include "hb_tid.h"
#include "tid_int.h"

#include <gtest/gtest.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

using quelna::tid::Json;

Json parse(const std::string &text)
{
    json_error_t err;
    return Json(json_loads(text.c_str(), 0, &err));
}

TEST(TidNames, CompareByTextThenLength)
{
    hb_name *abc = hb_new_name("abc");
    hb_name *abc2 = hb_new_name_len("abcdef", 3);
    hb_name *ab = hb_new_name("ab");
    hb_name *abd = hb_new_name("abd");
    EXPECT_EQ(hb_name_cmp(abc, abc2), 0);
    EXPECT_STREQ(abc2->buf, "abc");
    EXPECT_LT(hb_name_cmp(ab, abc), 0);
    EXPECT_GT(hb_name_cmp(abc, ab), 0);
    EXPECT_LT(hb_name_cmp(abc, abd), 0);
    EXPECT_NE(hb_name_cmp(nullptr, abc), 0);
    EXPECT_EQ(hb_name_cmp(nullptr, nullptr), 0);
    EXPECT_EQ(hb_new_name(nullptr), nullptr);
    for (hb_name *n : {abc, abc2, ab, abd})
        hb_free_name(n);
}

TEST(TidNames, HexWritesWholeOctetsThatFit)
{
    const unsigned char octets[] = {0x0a, 0xbc, 0xff};
    char out[8];
    EXPECT_EQ(hb_bin_to_hex(octets, 3, out, sizeof out), 6u);
    EXPECT_STREQ(out, "0abcff");
    EXPECT_EQ(hb_bin_to_hex(octets, 3, out, 6), 4u);  // room for two octets and the NUL
    EXPECT_STREQ(out, "0abc");
    EXPECT_EQ(hb_bin_to_hex(octets, 3, out, 1), 0u);
    EXPECT_STREQ(out, "");
}

class TidConstraints : public ::testing::Test {
protected:
    void add(const char *type, std::vector<const char *> matches)
    {
        ASSERT_EQ(hb_constraint_set_add(set_, type, matches.data(), matches.size()), 0);
    }
    std::vector<std::string> strings(HB_CONSTRAINT_SET *set, const char *type)
    {
        HB_CONSTRAINT_MATCHES array = nullptr;
        size_t n = 99;
        EXPECT_EQ(hb_constraint_set_get_match_strings(req_, set, type, &array, &n), 0);
        return n == 99 ? std::vector<std::string>{} : std::vector<std::string>(array, array + n);
    }
    void TearDown() override { tid_req_free(req_); }

    TID_REQ *req_ = tid_req_new(nullptr);
    HB_CONSTRAINT_SET *set_ = hb_constraint_set_new(req_);
};

TEST_F(TidConstraints, IntersectionKeepsWhatEveryConstraintAllows)
{
    add("domain", {"*.example.org", "x.net", "*.wide.example"});
    add("realm", {"r1", "r2"});
    add("domain", {"a.example.org", "*.sub.example.org", "y.net", "*.example"});
    HB_CONSTRAINT_SET *both = hb_constraint_set_intersect(req_, set_);
    ASSERT_NE(both, nullptr);
    EXPECT_EQ(strings(both, "domain"),
              (std::vector<std::string>{"a.example.org", "*.sub.example.org", "*.wide.example"}));
    EXPECT_EQ(strings(both, "realm"), (std::vector<std::string>{"r1", "r2"}));
    EXPECT_TRUE(strings(both, "other").empty());
    // A wildcard never matches the bare suffix itself.
    add("domain", {"example.org"});
    EXPECT_TRUE(strings(hb_constraint_set_intersect(req_, set_), "domain").empty());
}

TEST_F(TidConstraints, UnintersectedSetsAndNullAreRefused)
{
    add("domain", {"a"});
    add("domain", {"a"});
    HB_CONSTRAINT_MATCHES array = nullptr;
    size_t n = 0;
    EXPECT_NE(hb_constraint_set_get_match_strings(req_, set_, "domain", &array, &n), 0);
    EXPECT_NE(hb_constraint_set_get_match_strings(req_, nullptr, "domain", &array, &n), 0);
    EXPECT_EQ(hb_constraint_set_intersect(req_, nullptr), nullptr);
}

TEST(TidWire, RequestSurvivesTheRoundTrip)
{
    TID_REQ *req = tid_req_new(nullptr);
    req->rp_realm = hb_new_name("rp");
    req->realm = hb_new_name("target");
    req->comm = hb_new_name("apc");
    req->orig_coi = hb_new_name("coi");
    req->expiration_interval = -7;
    req->tidc_dh = hb_create_dh_params(nullptr, 0);
    req->cons = hb_constraint_set_new(req);
    const char *domains[] = {"*.org", "h.example"};
    ASSERT_EQ(hb_constraint_set_add(req->cons, "domain", domains, 2), 0);
    Json path = parse(R"(["hop1", {"hop": 2}])");
    req->path = path.get();
    Json msg = quelna::tid::encode_request(req);
    ASSERT_TRUE(msg);

    std::string err;
    TID_REQ *back = quelna::tid::decode_request(nullptr, msg.get(), err);
    ASSERT_NE(back, nullptr) << err;
    EXPECT_EQ(hb_name_cmp(back->rp_realm, req->rp_realm), 0);
    EXPECT_EQ(hb_name_cmp(back->realm, req->realm), 0);
    EXPECT_EQ(hb_name_cmp(back->comm, req->comm), 0);
    EXPECT_EQ(hb_name_cmp(back->orig_coi, req->orig_coi), 0);
    EXPECT_EQ(back->expiration_interval, -7);
    EXPECT_EQ(BN_cmp(DH_get0_p(back->tidc_dh), DH_get0_p(req->tidc_dh)), 0);
    EXPECT_EQ(BN_cmp(DH_get0_g(back->tidc_dh), DH_get0_g(req->tidc_dh)), 0);
    EXPECT_EQ(BN_cmp(DH_get0_pub_key(back->tidc_dh), DH_get0_pub_key(req->tidc_dh)), 0);
    EXPECT_EQ(DH_get0_priv_key(back->tidc_dh), nullptr);  // the private value never travels
    EXPECT_TRUE(json_equal(back->path, path.get()));
    HB_CONSTRAINT_MATCHES array = nullptr;
    size_t n = 0;
    ASSERT_EQ(hb_constraint_set_get_match_strings(back, back->cons, "domain", &array, &n), 0);
    ASSERT_EQ(n, 2u);
    EXPECT_STREQ(array[0], "*.org");
    EXPECT_STREQ(array[1], "h.example");

    // Both digests of the public value agree, and differ from another client's.
    unsigned char *d1 = nullptr;
    unsigned char *d2 = nullptr;
    size_t l1 = 0;
    size_t l2 = 0;
    ASSERT_EQ(hb_dh_pub_hash(req, &d1, &l1), 0);
    ASSERT_EQ(hb_dh_pub_hash(back, &d2, &l2), 0);
    EXPECT_EQ(l1, 32u);
    EXPECT_EQ(std::memcmp(d1, d2, 32), 0);
    tid_req_free(back);
    tid_req_free(req);
}

TEST(TidWire, ResponseWithServerEntrySurvivesTheRoundTrip)
{
    TID_RESP *resp = tid_resp_new(nullptr);
    resp->realm = hb_new_name("target");
    resp->comm = hb_new_name("apc");
    resp->servers = talloc_zero(resp, TID_SRVR_BLK);
    resp->num_servers = 1;
    resp->servers->aa_server_addr.s_addr = htonl(0x7f000001);
    resp->servers->key_name = hb_new_name("key-abcdef");
    resp->servers->aa_server_dh = hb_create_dh_params(nullptr, 0);
    resp->servers->key_expiration = {1700000000, 250000};
    std::string err;
    Json msg = quelna::tid::encode_response(resp, err);
    ASSERT_TRUE(msg) << err;
    TID_RESP *back = quelna::tid::decode_response(nullptr, msg.get(), err);
    ASSERT_NE(back, nullptr) << err;
    EXPECT_EQ(back->result, 0);
    ASSERT_EQ(back->num_servers, 1u);
    EXPECT_EQ(back->servers->aa_server_addr.s_addr, htonl(0x7f000001));
    EXPECT_STREQ(back->servers->key_name->buf, "key-abcdef");
    EXPECT_EQ(back->servers->key_expiration.tv_sec, 1700000000);
    EXPECT_EQ(back->servers->key_expiration.tv_usec, 250000);
    EXPECT_EQ(BN_cmp(DH_get0_pub_key(back->servers->aa_server_dh),
                     DH_get0_pub_key(resp->servers->aa_server_dh)),
              0);
    talloc_free(back);

    // Other writers' forms: an offset, a short fraction, the last second of year 9999.
    for (auto [when, sec, usec] : {std::tuple{"2024-02-29T12:00:00.5+01:30", 1709202600L, 500000L},
                                   {"9999-12-31T23:59:59Z", 253402300799L, 0L}}) {
        Json theirs = parse(R"({"msg_type":"tid_response","msg_body":{"result":"success",)"
                            R"("servers":[{"server_addr":"1.2.3.4","key_name":"k",)"
                            R"("key_expiration":")" + std::string(when) + R"("}]}})");
        back = quelna::tid::decode_response(nullptr, theirs.get(), err);
        ASSERT_NE(back, nullptr) << when << ": " << err;
        EXPECT_EQ(back->servers->key_expiration.tv_sec, sec) << when;
        EXPECT_EQ(back->servers->key_expiration.tv_usec, usec) << when;
        talloc_free(back);
    }

    // A handler that claims more entries than it allocated is answered with an error.
    resp->num_servers = 2;
    EXPECT_FALSE(quelna::tid::encode_response(resp, err));
    resp->num_servers = 1;
    talloc_free(resp);
}

TEST(TidWire, MalformedResponsesAreRejected)
{
    const std::string entry =
        R"({"server_addr":"127.0.0.1","key_name":"k","key_expiration":"2030-01-01T00:00:00Z"})";
    std::string many = "[";
    for (int i = 0; i < 17; ++i)
        many += (i ? "," : "") + entry;
    many += "]";
    std::vector<std::string> bodies = {
        R"({})",
        R"({"result":"success","servers":{}})",
        R"({"result":"success","servers":[{"key_name":"k","key_expiration":"2030-01-01T00:00:00Z"}]})",
        R"({"result":"success","servers":[{"server_addr":"1.2.3","key_name":"k","key_expiration":"2030-01-01T00:00:00Z"}]})",
        R"({"result":"success","servers":[{"server_addr":"1.2.3.4","key_name":"k","key_expiration":"soon"}]})",
        R"({"result":"success","servers":[)" + entry + R"(,{"server_addr":"1.2.3.4"}]})",
        R"({"result":"success","servers":[{"server_addr":"1.2.3.4","key_name":"k","key_expiration":"2030-01-01T00:00:00Z","server_dh":{"dh_pub_key":"xyz"}}]})",
        R"({"result":"success","servers":)" + many + "}",
        R"({"result":"success","community":5})",
    };
    // Expirations out of range or of another form: each would decode to a time that is
    // written back as different text, or as text the decoder refuses.
    for (const char *when :
         {"2030-1-2T0011111111111111111111", "2030-02-29T00:00:00Z", "2030-01-01T24:00:00Z",
          "2030-01-01T00:60:00Z", "1969-12-31T23:59:59Z", "1970-01-01T00:00:00+00:01",
          "2030-01-01T00:00:00", "2030-01-01T00:00:00.1234567Z", "2030-01-01T00:00:00.Z",
          "2030-01-01T00:00:00+1:00", "2030-01-01 00:00:00Z", "2030-01-01T00:00:00Zjunk"})
        bodies.push_back(R"({"result":"success","servers":[{"server_addr":"1.2.3.4",)"
                         R"("key_name":"k","key_expiration":")" +
                         std::string(when) + R"("}]})");
    for (const auto &body : bodies) {
        Json msg = parse(R"({"msg_type":"tid_response","msg_body":)" + body + "}");
        ASSERT_TRUE(msg) << body;
        std::string err;
        EXPECT_EQ(quelna::tid::decode_response(nullptr, msg.get(), err), nullptr) << body;
        EXPECT_FALSE(err.empty()) << body;
    }
    Json ok = parse(R"({"msg_type":"tid_response","msg_body":{"result":"error","err_msg":"no"}})");
    std::string err;
    TID_RESP *resp = quelna::tid::decode_response(nullptr, ok.get(), err);
    ASSERT_NE(resp, nullptr) << err;
    EXPECT_NE(resp->result, 0);
    EXPECT_STREQ(resp->err_msg->buf, "no");
    talloc_free(resp);
}

}  // namespace

#pragma GCC diagnostic pop
