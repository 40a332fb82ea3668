// Key module: group, key agreement, supplied private values, argument handling and the
// parameter check report.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/dh.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dh_test_util.h"
#include "hb_dh.h"
#include "hb_dh_check.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

using dhtest::Bn;
using dhtest::bn_from;
using dhtest::p_of;
using dhtest::priv_of;
using dhtest::pub_of;
using dhtest::Record;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct Derived {
    int len = -1;
    std::vector<unsigned char> octets;
};

Derived derive(const BIGNUM *peer_pub, DH *own)
{
    unsigned char *key = nullptr;
    Derived out;
    out.len = hb_compute_dh_key(&key, peer_pub, own);
    if (out.len > 0)
        out.octets.assign(key, key + out.len);
    std::free(key);
    return out;
}

// The secret computed without the module: peer_pub ^ priv mod p, minimal big-endian octets.
std::vector<unsigned char> expected_secret(const BIGNUM *peer_pub, const DH *own)
{
    BN_CTX *ctx = BN_CTX_new();
    Bn secret(BN_new());
    EXPECT_EQ(1, BN_mod_exp(secret.get(), peer_pub, priv_of(own), p_of(own), ctx));
    BN_CTX_free(ctx);
    std::vector<unsigned char> octets(static_cast<size_t>(BN_num_bytes(secret.get())));
    BN_bn2bin(secret.get(), octets.data());
    return octets;
}

// g^priv mod p of the record, computed without the module.
Bn expected_public(const DH *dh)
{
    BN_CTX *ctx = BN_CTX_new();
    Bn pub(BN_new());
    EXPECT_EQ(1, BN_mod_exp(pub.get(), DH_get0_g(dh), priv_of(dh), p_of(dh), ctx));
    BN_CTX_free(ctx);
    return pub;
}

std::vector<unsigned char> repeated(unsigned char octet, size_t count)
{
    return std::vector<unsigned char>(count, octet);
}

TEST(DhGroup, IsRfc3526Group14WithSubgroupOrder)
{
    const Record dh(hb_create_dh_params(nullptr, 0));
    ASSERT_NE(dh, nullptr);
    const Bn rfc_prime(BN_get_rfc3526_prime_2048(nullptr));
    EXPECT_EQ(0, BN_cmp(p_of(dh.get()), rfc_prime.get()));
    EXPECT_TRUE(BN_is_word(DH_get0_g(dh.get()), 2));
    Bn q(BN_new());
    BN_rshift1(q.get(), rfc_prime.get());
    ASSERT_NE(DH_get0_q(dh.get()), nullptr);
    EXPECT_EQ(0, BN_cmp(DH_get0_q(dh.get()), q.get()));
    EXPECT_EQ(HB_DH_PRIME_LEN, DH_size(dh.get()));
}

TEST(DhAgreement, BothSidesDeriveTheSameKeyOverManyRuns)
{
    for (int run = 0; run < 24; ++run) {
        SCOPED_TRACE(run);
        const Record client(hb_create_dh_params(nullptr, 0));
        ASSERT_NE(client, nullptr);
        const Record server(hb_create_matching_dh(nullptr, 0, client.get()));
        ASSERT_NE(server, nullptr);
        EXPECT_EQ(0, BN_cmp(p_of(client.get()), p_of(server.get())));
        EXPECT_NE(0, BN_cmp(pub_of(client.get()), pub_of(server.get())));

        const Derived c = derive(pub_of(server.get()), client.get());
        const Derived s = derive(pub_of(client.get()), server.get());
        ASSERT_GT(c.len, 0);
        ASSERT_LE(c.len, HB_DH_PRIME_LEN);
        EXPECT_EQ(c.len, s.len);
        EXPECT_EQ(c.octets, s.octets);
        EXPECT_EQ(c.octets, expected_secret(pub_of(server.get()), client.get()));
    }
}

TEST(DhAgreement, KeyWithLeadingZeroOctetIsShortenedAlikeOnBothSides)
{
    // These two private values give a shared secret whose top octet is zero.
    const std::vector<unsigned char> a = repeated(0x5a, 32);
    std::vector<unsigned char> b = repeated(0x3c, 32);
    b.back() = 0xa1;
    const Record client(hb_create_dh_params(a.data(), a.size()));
    ASSERT_NE(client, nullptr);
    const Record server(hb_create_matching_dh(b.data(), b.size(), client.get()));
    ASSERT_NE(server, nullptr);

    const Derived c = derive(pub_of(server.get()), client.get());
    const Derived s = derive(pub_of(client.get()), server.get());
    EXPECT_EQ(HB_DH_PRIME_LEN - 1, c.len);
    EXPECT_EQ(c.len, s.len);
    EXPECT_EQ(c.octets, s.octets);
    EXPECT_EQ(c.octets, expected_secret(pub_of(server.get()), client.get()));
}

TEST(DhPrivateValue, SuppliedValueIsUsedByBothCreateOperations)
{
    const std::vector<unsigned char> x = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x42};
    const Bn want(bn_from(x));
    const Record dh(hb_create_dh_params(x.data(), x.size()));
    ASSERT_NE(dh, nullptr);
    EXPECT_EQ(0, BN_cmp(priv_of(dh.get()), want.get()));
    EXPECT_EQ(0, BN_cmp(pub_of(dh.get()), expected_public(dh.get()).get()));

    const Record matched(hb_create_matching_dh(x.data(), x.size(), dh.get()));
    ASSERT_NE(matched, nullptr);
    EXPECT_EQ(0, BN_cmp(priv_of(matched.get()), want.get()));
    EXPECT_EQ(0, BN_cmp(pub_of(matched.get()), pub_of(dh.get())));
}

TEST(DhPrivateValue, ZeroLengthOrNullPointerMeansDrawnValue)
{
    const std::vector<unsigned char> x = repeated(0x11, 16);
    const Bn given(bn_from(x));
    const Record zero_len(hb_create_dh_params(x.data(), 0));
    const Record null_ptr(hb_create_dh_params(nullptr, x.size()));
    const Record matched(hb_create_matching_dh(x.data(), 0, zero_len.get()));
    for (const Record *r : {&zero_len, &null_ptr, &matched}) {
        ASSERT_NE(*r, nullptr);
        ASSERT_NE(priv_of(r->get()), nullptr);
        EXPECT_NE(0, BN_cmp(priv_of(r->get()), given.get()));
        EXPECT_EQ(0, BN_cmp(pub_of(r->get()), expected_public(r->get()).get()));
    }
    EXPECT_NE(0, BN_cmp(priv_of(zero_len.get()), priv_of(null_ptr.get())));
}

TEST(DhPrivateValue, ValuesOutsideTheSubgroupRangeAreRefused)
{
    const Record group(hb_create_dh_params(nullptr, 0));
    ASSERT_NE(group, nullptr);
    std::vector<unsigned char> q(static_cast<size_t>(BN_num_bytes(DH_get0_q(group.get()))));
    BN_bn2bin(DH_get0_q(group.get()), q.data());

    const std::vector<std::vector<unsigned char>> refused = {{0x00}, repeated(0x00, 40), q};
    for (const auto &x : refused) {
        CaptureStderr();
        EXPECT_EQ(hb_create_dh_params(x.data(), x.size()), nullptr);
        EXPECT_EQ(hb_create_matching_dh(x.data(), x.size(), group.get()), nullptr);
        EXPECT_EQ(GetCapturedStderr(),
                  "Invalid dh private value, out of range.\n"
                  "Invalid dh private value, out of range.\n");
    }

    // q - 1 is the largest value allowed; leading zero octets do not matter.
    std::vector<unsigned char> top = q;
    top.back() -= 1;
    top.insert(top.begin(), 0x00);
    const Record accepted(hb_create_dh_params(top.data(), top.size()));
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(0, BN_cmp(pub_of(accepted.get()), expected_public(accepted.get()).get()));
}

TEST(DhArguments, NullArgumentsAreRefusedWithoutTouchingTheKeyPointer)
{
    const Record dh(hb_create_dh_params(nullptr, 0));
    ASSERT_NE(dh, nullptr);
    unsigned char marker = 0;
    unsigned char *key = &marker;

    CaptureStderr();
    EXPECT_EQ(-1, hb_compute_dh_key(nullptr, pub_of(dh.get()), dh.get()));
    EXPECT_EQ(-1, hb_compute_dh_key(&key, nullptr, dh.get()));
    EXPECT_EQ(-1, hb_compute_dh_key(&key, pub_of(dh.get()), nullptr));
    std::string want;
    for (int i = 0; i < 3; ++i)
        want += "hb_compute_dh_key(): Invalid parameters.\n";
    EXPECT_EQ(GetCapturedStderr(), want);
    EXPECT_EQ(key, &marker);

    CaptureStderr();
    EXPECT_EQ(hb_create_matching_dh(nullptr, 0, nullptr), nullptr);
    hb_destroy_dh_params(nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(DhArguments, MatchingARecordWithoutGroupIsRefused)
{
    DH *empty = DH_new();
    ASSERT_NE(empty, nullptr);
    CaptureStderr();
    EXPECT_EQ(hb_create_matching_dh(nullptr, 0, empty), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "Invalid dh parameter values, can't be duped.\n");

    unsigned char *key = nullptr;
    const Record dh(hb_create_dh_params(nullptr, 0));
    CaptureStderr();
    EXPECT_EQ(-1, hb_compute_dh_key(&key, pub_of(dh.get()), empty));
    EXPECT_EQ(GetCapturedStderr(), "hb_compute_dh_key(): Invalid parameters.\n");
    DH_free(empty);
}

TEST(DhArguments, DegeneratePeerPublicValuesGiveNoKey)
{
    const Record dh(hb_create_dh_params(nullptr, 0));
    ASSERT_NE(dh, nullptr);
    Bn one(BN_new());
    BN_one(one.get());
    Bn p_minus_1(BN_dup(p_of(dh.get())));
    BN_sub_word(p_minus_1.get(), 1);
    const BIGNUM *const peers[] = {one.get(), p_minus_1.get(), p_of(dh.get())};
    for (const BIGNUM *peer : peers) {
        unsigned char marker = 0;
        unsigned char *key = &marker;
        EXPECT_LT(hb_compute_dh_key(&key, peer, dh.get()), 0);
        EXPECT_EQ(key, nullptr);
    }
}

TEST(DhCheckReport, NamesTheFirstProblemBitOnly)
{
    const struct {
        int flags;
        const char *text;
    } cases[] = {
        {0x00, ""},
        {0x01, "Warning: dh_check failed with 1: p value is not prime\n"},
        {0x03, "Warning: dh_check failed with 3: p value is not prime\n"},
        {0x02, "Warning: dh_check failed with 2: p value is not a safe prime\n"},
        {0x0e, "Warning: dh_check failed with 14: p value is not a safe prime\n"},
        {0x04, "Warning: dh_check failed with 4: unable to check the generator value\n"},
        {0x0c, "Warning: dh_check failed with 12: unable to check the generator value\n"},
        {0x08, "Warning: dh_check failed with 8: the g value is not a generator\n"},
        {0x10, "Warning: dh_check failed with 16\n"},
        {0x18, "Warning: dh_check failed with 24: the g value is not a generator\n"},
    };
    for (const auto &c : cases) {
        char *text = nullptr;
        size_t len = 0;
        std::FILE *out = open_memstream(&text, &len);
        ASSERT_NE(out, nullptr);
        quelna::dh::write_check_report(out, c.flags);
        std::fclose(out);
        EXPECT_EQ(std::string(text, len), c.text) << "flags " << c.flags;
        std::free(text);
    }
}

// Matches a record in an unsound group with generator 2: the record is still made, and the
// warning names the problem that OpenSSL's own check of the input finds first.
void expect_matching_report(Bn p, int first_bit, const std::string &text)
{
    DH *in = DH_new();
    Bn g(BN_new());
    BN_set_word(g.get(), 2);
    ASSERT_EQ(1, DH_set0_pqg(in, p.release(), nullptr, g.release()));
    int flags = 0;
    DH_check(in, &flags);
    EXPECT_EQ(first_bit, flags & -flags) << "flags " << flags;
    CaptureStderr();
    const Record matched(hb_create_matching_dh(nullptr, 0, in));
    EXPECT_EQ(GetCapturedStderr(), "Warning: dh_check failed with " + std::to_string(flags) + text);
    EXPECT_NE(matched, nullptr);
    DH_free(in);
}

TEST(DhCheckReport, MatchingAnUnsoundGroupWarnsButReturnsTheRecord)
{
    // 2^2047 + 1 is divisible by 3.
    Bn composite(BN_new());
    BN_set_bit(composite.get(), 2047);
    BN_add_word(composite.get(), 1);
    expect_matching_report(std::move(composite), DH_CHECK_P_NOT_PRIME, ": p value is not prime\n");

    // A prime p whose (p-1)/2 is not prime.
    Bn prime(BN_new());
    Bn half(BN_new());
    BN_CTX *ctx = BN_CTX_new();
    do {
        ASSERT_EQ(1, BN_generate_prime_ex(prime.get(), 512, 0, nullptr, nullptr, nullptr));
        BN_rshift1(half.get(), prime.get());
    } while (BN_check_prime(half.get(), ctx, nullptr) == 1);
    BN_CTX_free(ctx);
    expect_matching_report(std::move(prime), DH_CHECK_P_NOT_SAFE_PRIME,
                           ": p value is not a safe prime\n");
}

TEST(DhCheckReport, SoundGroupPrintsNothing)
{
    CaptureStderr();
    const Record client(hb_create_dh_params(nullptr, 0));
    const Record server(hb_create_matching_dh(nullptr, 0, client.get()));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_NE(client, nullptr);
    EXPECT_NE(server, nullptr);
}

}  // namespace
