// Password hiding and HMAC-MD5 against the RFCs' published vectors and against a reference
// computed here with OpenSSL's EVP interface (not the code under test).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <quelna/codec.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string &s) {
    Bytes out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(std::stoi(s.substr(i, 2), nullptr, 16));
    return out;
}

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

Bytes md5(const Bytes &a, const Bytes &b = {}, const Bytes &c = {}) {
    Bytes in = a;
    in.insert(in.end(), b.begin(), b.end());
    in.insert(in.end(), c.begin(), c.end());
    Bytes out(16);
    unsigned len = 0;
    EXPECT_EQ(EVP_Digest(in.data(), in.size(), out.data(), &len, EVP_md5(), nullptr), 1);
    return out;
}

const Bytes kVector = hex("0f403f9473978057bd83d5cb98f4227a");
const char *const kSecret = "xyzzy5461";

// RFC 2202 section 2 (HMAC-MD5 test cases 1, 2, 3 and 6).
struct HmacCase {
    Bytes key;
    Bytes data;
    const char *digest;
};

TEST(HmacMd5, Rfc2202Vectors) {
    const HmacCase cases[] = {
        {Bytes(16, 0x0b), text("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d"},
        {text("Jefe"), text("what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738"},
        {Bytes(16, 0xaa), Bytes(50, 0xdd), "56be34521d144c88dbb8c733f0e8b3f6"},
        {Bytes(80, 0xaa), text("Test Using Larger Than Block-Size Key - Hash Key First"),
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
    };
    // Twice over: the second round runs with the per-thread key state already prepared.
    for (int round = 0; round < 2; ++round) {
        for (const auto &c : cases) {
            uint8_t digest[16];
            lr_hmac_md5(c.data.data(), c.data.size(), c.key.data(), c.key.size(), digest);
            EXPECT_EQ(Bytes(digest, digest + 16), hex(c.digest)) << c.digest;
        }
    }
}

TEST(HmacMd5, KeyLongerThanBlockIsHashedFirst) {
    const Bytes data = text("message");
    const Bytes key65(65, 0x42), key64(64, 0x42);
    const Bytes hashed = md5(key65);
    uint8_t a[16], b[16], c[16], d[16];
    lr_hmac_md5(data.data(), data.size(), key65.data(), key65.size(), a);
    lr_hmac_md5(data.data(), data.size(), hashed.data(), hashed.size(), b);
    EXPECT_EQ(0, std::memcmp(a, b, 16));
    // A 64-octet key is used unchanged, so it differs from its digest's HMAC.
    lr_hmac_md5(data.data(), data.size(), key64.data(), key64.size(), c);
    const Bytes hashed64 = md5(key64);
    lr_hmac_md5(data.data(), data.size(), hashed64.data(), hashed64.size(), d);
    EXPECT_NE(0, std::memcmp(c, d, 16));
}

TEST(HmacMd5, KeyChangesBetweenCallsAreHonoured) {
    const Bytes data = text("what do ya want for nothing?");
    const Bytes jefe = text("Jefe"), jeff = text("Jeff"), jef = text("Jef");
    uint8_t a[16], b[16], c[16], again[16];
    lr_hmac_md5(data.data(), data.size(), jefe.data(), jefe.size(), a);
    lr_hmac_md5(data.data(), data.size(), jeff.data(), jeff.size(), b);
    lr_hmac_md5(data.data(), data.size(), jef.data(), jef.size(), c);
    lr_hmac_md5(data.data(), data.size(), jefe.data(), jefe.size(), again);
    EXPECT_EQ(Bytes(a, a + 16), hex("750c783e6ab0b503eaa86e310a5db738"));
    EXPECT_NE(0, std::memcmp(a, b, 16));
    EXPECT_NE(0, std::memcmp(a, c, 16));
    EXPECT_EQ(0, std::memcmp(a, again, 16));

    // A wiped key leaves no state that a later key, even an empty one, would be signed with.
    uint8_t empty[16], empty_again[16];
    lr_hmac_md5(data.data(), data.size(), jefe.data(), 0, empty);
    lr_hmac_forget();
    lr_hmac_md5(data.data(), data.size(), jefe.data(), 0, empty_again);
    EXPECT_EQ(0, std::memcmp(empty, empty_again, 16));
}

TEST(HmacMd5, DigestInsideTheText) {
    // A packet signs itself: the Message-Authenticator lies inside the octets it covers and
    // holds zeros when the call begins.
    Bytes packet(60, 0x11);
    std::fill(packet.begin() + 30, packet.begin() + 46, 0);
    const Bytes key = text("secret");
    uint8_t separate[16];
    lr_hmac_md5(packet.data(), packet.size(), key.data(), key.size(), separate);
    lr_hmac_md5(packet.data(), packet.size(), key.data(), key.size(), packet.data() + 30);
    EXPECT_EQ(0, std::memcmp(separate, packet.data() + 30, 16));
}

TEST(UserPassword, Rfc2865Section7Vector) {
    const Bytes pw = text("arctangent");
    uint8_t out[16];
    ASSERT_EQ(16, lr_password_encrypt(out, sizeof out, pw.data(), pw.size(), kSecret,
                                      kVector.data()));
    EXPECT_EQ(Bytes(out, out + 16), hex("0dbe708d93d413ce3196e43f782a0aee"));
}

TEST(UserPassword, MatchesReferenceForEveryBlockCount) {
    // RFC 2865 section 5.2: c(1) = p(1) xor MD5(S + RA), c(i) = p(i) xor MD5(S + c(i-1)).
    const Bytes secret = text("s3cr3t");
    for (size_t len : {1u, 15u, 16u, 17u, 33u, 100u, 128u}) {
        Bytes pw(len);
        for (size_t i = 0; i < len; ++i) pw[i] = static_cast<uint8_t>('a' + i % 26);
        Bytes padded = pw;
        padded.resize((len + 15) / 16 * 16, 0);
        Bytes expect = padded;
        Bytes prev = kVector;
        for (size_t off = 0; off < expect.size(); off += 16) {
            const Bytes b = md5(secret, prev);
            for (size_t i = 0; i < 16; ++i) expect[off + i] ^= b[i];
            prev.assign(expect.begin() + off, expect.begin() + off + 16);
        }
        auto out = std::make_unique<uint8_t[]>(expect.size());
        ASSERT_EQ(static_cast<ssize_t>(expect.size()),
                  lr_password_encrypt(out.get(), expect.size(), pw.data(), pw.size(), "s3cr3t",
                                      kVector.data()))
            << len;
        EXPECT_EQ(Bytes(out.get(), out.get() + expect.size()), expect) << len;
    }
}

TEST(UserPassword, RefusesBadArgumentsWithoutWriting) {
    const Bytes pw17(17, 'x'), pw129(129, 'x'), pw1(1, 'x');
    uint8_t out[160];
    std::memset(out, 0xee, sizeof out);
    struct {
        uint8_t *out;
        size_t outlen;
        const Bytes *in;
        const char *secret;
        const uint8_t *vector;
        ssize_t expect;
    } cases[] = {
        {nullptr, 16, &pw1, kSecret, kVector.data(), -QNE_INVAL},
        {out, 15, &pw1, kSecret, kVector.data(), -QNE_INVAL},
        {out, 16, &pw1, nullptr, kVector.data(), -QNE_INVAL},
        {out, 16, &pw1, kSecret, nullptr, -QNE_INVAL},
        {out, 16, &pw17, kSecret, kVector.data(), -QNE_ATTR_OVERFLOW},
        {out, sizeof out, &pw129, kSecret, kVector.data(), -QNE_ATTR_OVERFLOW},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expect, lr_password_encrypt(c.out, c.outlen, c.in->data(), c.in->size(),
                                                c.secret, c.vector));
    EXPECT_EQ(-QNE_INVAL, lr_password_encrypt(out, 16, pw1.data(), 0, kSecret, kVector.data()));
    EXPECT_EQ(-QNE_INVAL, lr_password_encrypt(out, 16, nullptr, 1, kSecret, kVector.data()));
    for (uint8_t o : out) ASSERT_EQ(o, 0xee);
}

TEST(TunnelPassword, ResultLengths) {
    const struct {
        size_t in;
        ssize_t out;
    } cases[] = {{1, 18}, {15, 18}, {16, 34}, {239, 242}, {240, -QNE_ATTR_OVERFLOW}};
    for (const auto &c : cases) {
        const Bytes pw(c.in, 'p');
        uint8_t out[256];
        EXPECT_EQ(c.out, lr_tunnelpw_encrypt(out, sizeof out, pw.data(), pw.size(), kSecret,
                                             kVector.data()))
            << c.in;
    }
    const Bytes pw16(16, 'p');
    uint8_t out[64];
    EXPECT_EQ(-QNE_ATTR_OVERFLOW,
              lr_tunnelpw_encrypt(out, 33, pw16.data(), pw16.size(), kSecret, kVector.data()));
    EXPECT_EQ(-QNE_INVAL,
              lr_tunnelpw_encrypt(out, 17, pw16.data(), pw16.size(), kSecret, kVector.data()));
    EXPECT_EQ(-QNE_INVAL, lr_tunnelpw_encrypt(out, 64, pw16.data(), 0, kSecret, kVector.data()));
}

TEST(TunnelPassword, MatchesReferenceAndSaltIsFresh) {
    // RFC 2868 section 3.5: b(1) = MD5(S + R + A), c(1) = p(1) xor b(1); b(i) = MD5(S + c(i-1)).
    const Bytes secret = text(kSecret);
    const Bytes pw = text("a tunnel password longer than one block");
    uint8_t first[64] = {}, second[64] = {};
    const ssize_t n = lr_tunnelpw_encrypt(first, sizeof first, pw.data(), pw.size(), kSecret,
                                          kVector.data());
    ASSERT_EQ(n, 2 + 48);
    EXPECT_TRUE(first[0] & 0x80);
    Bytes plain{static_cast<uint8_t>(pw.size())};
    plain.insert(plain.end(), pw.begin(), pw.end());
    plain.resize(48, 0);
    Bytes prev = kVector;
    prev.push_back(first[0]);
    prev.push_back(first[1]);
    for (size_t off = 0; off < 48; off += 16) {
        const Bytes b = md5(secret, prev);
        for (size_t i = 0; i < 16; ++i) ASSERT_EQ(first[2 + off + i], plain[off + i] ^ b[i]) << off;
        prev.assign(first + 2 + off, first + 2 + off + 16);
    }
    // Salts differ between calls (a repeat of all 15 random bits has odds 1 in 32768; allow
    // one retry).
    bool differs = false;
    for (int i = 0; i < 2 && !differs; ++i) {
        ASSERT_EQ(n, lr_tunnelpw_encrypt(second, sizeof second, pw.data(), pw.size(), kSecret,
                                         kVector.data()));
        EXPECT_TRUE(second[0] & 0x80);
        differs = std::memcmp(first, second, 2) != 0;
    }
    EXPECT_TRUE(differs);
}

TEST(TunnelPassword, RoundTrip) {
    for (size_t len : {1u, 14u, 15u, 16u, 31u, 100u, 239u}) {
        Bytes pw(len);
        for (size_t i = 0; i < len; ++i) pw[i] = static_cast<uint8_t>(i * 7 + 1);
        uint8_t hidden[256];
        const ssize_t n = lr_tunnelpw_encrypt(hidden, sizeof hidden, pw.data(), pw.size(),
                                              kSecret, kVector.data());
        ASSERT_GT(n, 0);
        uint8_t out[253];
        std::memset(out, 0xee, sizeof out);
        ASSERT_EQ(static_cast<ssize_t>(len),
                  lr_tunnelpw_decrypt(out, sizeof out, hidden, static_cast<size_t>(n), kSecret,
                                      kVector.data()))
            << len;
        EXPECT_EQ(Bytes(out, out + len), pw);
        EXPECT_EQ(out[len], 0);
    }
}

TEST(TunnelPassword, DecryptShortAndRefusedInputs) {
    const uint8_t in[4] = {0x80, 0x01, 0x02, 0x03};
    uint8_t out[8];
    out[0] = 0xee;
    EXPECT_EQ(0, lr_tunnelpw_decrypt(out, sizeof out, in, 2, kSecret, kVector.data()));
    EXPECT_EQ(0, out[0]);
    out[0] = 0xee;
    EXPECT_EQ(0, lr_tunnelpw_decrypt(out, sizeof out, in, 3, kSecret, kVector.data()));
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(-QNE_INVAL, lr_tunnelpw_decrypt(out, sizeof out, in, 1, kSecret, kVector.data()));
    EXPECT_EQ(-QNE_INVAL, lr_tunnelpw_decrypt(out, 0, in, 4, kSecret, kVector.data()));
    EXPECT_EQ(-QNE_INVAL, lr_tunnelpw_decrypt(out, sizeof out, in, 4, nullptr, kVector.data()));

    // A 20-octet password hidden, then cut to 18 octets: its length no longer fits.
    const Bytes pw(20, 'q');
    uint8_t hidden[64];
    ASSERT_EQ(34, lr_tunnelpw_encrypt(hidden, sizeof hidden, pw.data(), pw.size(), kSecret,
                                      kVector.data()));
    uint8_t big[253];
    EXPECT_EQ(-QNE_ATTR_TOO_LARGE,
              lr_tunnelpw_decrypt(big, sizeof big, hidden, 18, kSecret, kVector.data()));
    // Output smaller than the hidden text.
    EXPECT_EQ(-QNE_ATTR_OVERFLOW,
              lr_tunnelpw_decrypt(big, 30, hidden, 34, kSecret, kVector.data()));
    // Exactly as large as the text room, but the text of 31 octets would leave no room for
    // its terminator: refused rather than written past the end.
    const Bytes pw31(31, 'r');
    ASSERT_EQ(34, lr_tunnelpw_encrypt(hidden, sizeof hidden, pw31.data(), pw31.size(), kSecret,
                                      kVector.data()));
    auto exact = std::make_unique<uint8_t[]>(31);
    EXPECT_EQ(-QNE_ATTR_OVERFLOW,
              lr_tunnelpw_decrypt(exact.get(), 31, hidden, 34, kSecret, kVector.data()));
}

TEST(TunnelPassword, DecryptStaysInBoundsForEveryLength) {
    // Hostile input of every length a received attribute can carry, into outputs sized exactly
    // to the text room (heap blocks, so the address sanitizer sees any overrun).
    uint32_t seed = 12345;
    for (size_t len = 2; len <= 252; ++len) {
        for (int trial = 0; trial < 4; ++trial) {
            auto in = std::make_unique<uint8_t[]>(len);
            for (size_t i = 0; i < len; ++i) {
                seed = seed * 1103515245 + 12345;
                in[i] = static_cast<uint8_t>(seed >> 16);
            }
            const size_t outlen = len > 3 ? len - 3 : 1;
            auto out = std::make_unique<uint8_t[]>(outlen);
            const ssize_t r = lr_tunnelpw_decrypt(out.get(), outlen, in.get(), len, kSecret,
                                                  kVector.data());
            if (r >= 0) {
                ASSERT_LT(static_cast<size_t>(r), outlen) << len;
                EXPECT_EQ(0, out[r]);
            } else {
                EXPECT_TRUE(r == -QNE_ATTR_TOO_LARGE || r == -QNE_ATTR_OVERFLOW) << r;
            }
        }
    }
}

}  // namespace
