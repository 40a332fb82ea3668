// Diffie-Hellman key module: RFC 3526 group 14 parameter records, matching records and key
// derivation, on OpenSSL's DH record.
#include "hb_dh.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/dh.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "hb_dh_check.h"

// The DH record and its functions are deprecated in OpenSSL 3 in favour of EVP_PKEY; the
// module's callers work with the record itself, so it is kept on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace quelna::dh {
namespace {

// RFC 3526 section 3: the 2048-bit MODP group (group 14), p = 2^2048 - 2^1984 - 1 +
// 2^64 * ( [2^1918 pi] + 124476 ), big-endian.
constexpr std::array<unsigned char, HB_DH_PRIME_LEN> kGroup14Prime = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xC9, 0x0F, 0xDA, 0xA2, 0x21, 0x68, 0xC2, 0x34,
    0xC4, 0xC6, 0x62, 0x8B, 0x80, 0xDC, 0x1C, 0xD1, 0x29, 0x02, 0x4E, 0x08, 0x8A, 0x67, 0xCC, 0x74,
    0x02, 0x0B, 0xBE, 0xA6, 0x3B, 0x13, 0x9B, 0x22, 0x51, 0x4A, 0x08, 0x79, 0x8E, 0x34, 0x04, 0xDD,
    0xEF, 0x95, 0x19, 0xB3, 0xCD, 0x3A, 0x43, 0x1B, 0x30, 0x2B, 0x0A, 0x6D, 0xF2, 0x5F, 0x14, 0x37,
    0x4F, 0xE1, 0x35, 0x6D, 0x6D, 0x51, 0xC2, 0x45, 0xE4, 0x85, 0xB5, 0x76, 0x62, 0x5E, 0x7E, 0xC6,
    0xF4, 0x4C, 0x42, 0xE9, 0xA6, 0x37, 0xED, 0x6B, 0x0B, 0xFF, 0x5C, 0xB6, 0xF4, 0x06, 0xB7, 0xED,
    0xEE, 0x38, 0x6B, 0xFB, 0x5A, 0x89, 0x9F, 0xA5, 0xAE, 0x9F, 0x24, 0x11, 0x7C, 0x4B, 0x1F, 0xE6,
    0x49, 0x28, 0x66, 0x51, 0xEC, 0xE4, 0x5B, 0x3D, 0xC2, 0x00, 0x7C, 0xB8, 0xA1, 0x63, 0xBF, 0x05,
    0x98, 0xDA, 0x48, 0x36, 0x1C, 0x55, 0xD3, 0x9A, 0x69, 0x16, 0x3F, 0xA8, 0xFD, 0x24, 0xCF, 0x5F,
    0x83, 0x65, 0x5D, 0x23, 0xDC, 0xA3, 0xAD, 0x96, 0x1C, 0x62, 0xF3, 0x56, 0x20, 0x85, 0x52, 0xBB,
    0x9E, 0xD5, 0x29, 0x07, 0x70, 0x96, 0x96, 0x6D, 0x67, 0x0C, 0x35, 0x4E, 0x4A, 0xBC, 0x98, 0x04,
    0xF1, 0x74, 0x6C, 0x08, 0xCA, 0x18, 0x21, 0x7C, 0x32, 0x90, 0x5E, 0x46, 0x2E, 0x36, 0xCE, 0x3B,
    0xE3, 0x9E, 0x77, 0x2C, 0x18, 0x0E, 0x86, 0x03, 0x9B, 0x27, 0x83, 0xA2, 0xEC, 0x07, 0xA2, 0x8F,
    0xB5, 0xC5, 0x5D, 0xF0, 0x6F, 0x4C, 0x52, 0xC9, 0xDE, 0x2B, 0xCB, 0xF6, 0x95, 0x58, 0x17, 0x18,
    0x39, 0x95, 0x49, 0x7C, 0xEA, 0x95, 0x6A, 0xE5, 0x15, 0xD2, 0x26, 0x18, 0x98, 0xFA, 0x05, 0x10,
    0x15, 0x72, 0x8E, 0x5A, 0x8A, 0xAC, 0xAA, 0x68, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};
constexpr BN_ULONG kGenerator = 2;

struct BnFree {
    void operator()(BIGNUM *bn) const { BN_clear_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

struct DhFree {
    void operator()(DH *dh) const { DH_free(dh); }
};
using DhPtr = std::unique_ptr<DH, DhFree>;

struct CheckText {
    int bit;
    const char *text;
};
// Only the first problem found is named, in this order.
constexpr std::array<CheckText, 4> kCheckTexts = {{
    {DH_CHECK_P_NOT_PRIME, ": p value is not prime\n"},
    {DH_CHECK_P_NOT_SAFE_PRIME, ": p value is not a safe prime\n"},
    {DH_UNABLE_TO_CHECK_GENERATOR, ": unable to check the generator value\n"},
    {DH_NOT_SUITABLE_GENERATOR, ": the g value is not a generator\n"},
}};

// Installs a caller's private value. It must lie in 1..q-1 (1..p-2 for a group without q):
// zero, or a multiple of the subgroup order, would give the public value 1 and a shared
// secret anyone can guess.
bool set_private_value(DH *dh, const unsigned char *octets, size_t len)
{
    if (len > static_cast<size_t>(INT_MAX)) {
        std::fputs("Invalid dh private value, out of range.\n", stderr);
        return false;
    }
    BnPtr priv(BN_secure_new());
    if (!priv || !BN_bin2bn(octets, static_cast<int>(len), priv.get()))
        return false;

    const BIGNUM *p = nullptr;
    const BIGNUM *q = nullptr;
    DH_get0_pqg(dh, &p, &q, nullptr);
    BnPtr bound;
    if (q == nullptr) {  // x < p - 1
        bound.reset(BN_dup(p));
        if (!bound || !BN_sub_word(bound.get(), 1))
            return false;
        q = bound.get();
    }
    if (BN_is_zero(priv.get()) || BN_cmp(priv.get(), q) >= 0) {
        std::fputs("Invalid dh private value, out of range.\n", stderr);
        return false;
    }
    if (!DH_set0_key(dh, nullptr, priv.get()))
        return false;
    priv.release();
    return true;
}

// Common tail of both create operations: optional private value, key pair, check report.
DH *finish_record(DhPtr dh, const unsigned char *priv_key, size_t keylen)
{
    if (priv_key != nullptr && keylen != 0 && !set_private_value(dh.get(), priv_key, keylen)) {
        return nullptr;
    }
    if (DH_generate_key(dh.get()) != 1) {
        std::fputs("Unable to generate DH key.\n", stderr);
        return nullptr;
    }
    int flags = 0;
    // A check that could not run leaves the flags it had found; the record is usable either way.
    (void)DH_check(dh.get(), &flags);
    write_check_report(stderr, flags);
    return dh.release();
}

}  // namespace

void write_check_report(std::FILE *out, int flags)
{
    if (flags == 0)
        return;
    std::fprintf(out, "Warning: dh_check failed with %d", flags);
    for (const CheckText &entry : kCheckTexts) {
        if ((flags & entry.bit) != 0) {
            std::fputs(entry.text, out);
            return;
        }
    }
    std::fputs("\n", out);
}

}  // namespace quelna::dh

using namespace quelna::dh;

extern "C" DH *hb_create_dh_params(const unsigned char *priv_key, size_t keylen)
{
    DhPtr dh(DH_new());
    if (!dh)
        return nullptr;
    BnPtr g(BN_new());
    BnPtr p(BN_new());
    BnPtr q(BN_new());
    if (!g || !p || !q)
        return nullptr;
    if (!BN_set_word(g.get(), kGenerator) ||
        !BN_bin2bn(kGroup14Prime.data(), static_cast<int>(kGroup14Prime.size()), p.get()) ||
        !BN_rshift1(q.get(), p.get())) {
        return nullptr;
    }
    if (!DH_set0_pqg(dh.get(), p.get(), q.get(), g.get()))
        return nullptr;
    // The record owns them now.
    p.release();
    q.release();
    g.release();
    return finish_record(std::move(dh), priv_key, keylen);
}

extern "C" DH *hb_create_matching_dh(const unsigned char *priv_key, size_t keylen, const DH *in_dh)
{
    if (in_dh == nullptr)
        return nullptr;
    DhPtr dh(DH_new());
    if (!dh) {
        std::fputs("Unable to allocate new DH structure.\n", stderr);
        return nullptr;
    }
    const BIGNUM *in_p = nullptr;
    const BIGNUM *in_g = nullptr;
    DH_get0_pqg(in_dh, &in_p, nullptr, &in_g);
    // BN_dup(nullptr) fails too, so a record without a group is refused here.
    BnPtr g(BN_dup(in_g));
    BnPtr p(g ? BN_dup(in_p) : nullptr);
    if (!g || !p || !DH_set0_pqg(dh.get(), p.get(), nullptr, g.get())) {
        std::fputs("Invalid dh parameter values, can't be duped.\n", stderr);
        return nullptr;
    }
    p.release();
    g.release();
    return finish_record(std::move(dh), priv_key, keylen);
}

extern "C" void hb_destroy_dh_params(DH *dh)
{
    DH_free(dh);  // accepts null
}

extern "C" int hb_compute_dh_key(unsigned char **pbuf, const BIGNUM *pub_key, DH *priv_dh)
{
    if (pbuf == nullptr || pub_key == nullptr || priv_dh == nullptr ||
        DH_get0_p(priv_dh) == nullptr) {
        std::fputs("hb_compute_dh_key(): Invalid parameters.\n", stderr);
        return -1;
    }
    *pbuf = nullptr;
    const int size = DH_size(priv_dh);
    auto *buf = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(size)));
    if (buf == nullptr) {
        std::fputs("out of memory\n", stderr);
        return -1;
    }
    const int len = DH_compute_key(buf, pub_key, priv_dh);
    // A secret of no octets is no key: never hand it out as a success.
    if (len <= 0) {
        OPENSSL_cleanse(buf, static_cast<size_t>(size));
        std::free(buf);
        return len < 0 ? len : -1;
    }
    *pbuf = buf;
    return len;
}

#pragma GCC diagnostic pop
