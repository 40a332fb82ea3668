// MD5 for the codec: RADIUS hides passwords and signs packets with MD5 (RFC 2865, 2868, 2869).
//
// The low-level MD5_* interface is deprecated in OpenSSL 3 but is faster than EVP for the short
// inputs RADIUS hashes (no provider dispatch; figures in crypto.cpp), and an MD5 state is a
// plain struct that can be copied to reuse an absorbed prefix such as the shared secret.
#ifndef QUELNA_CODEC_MD5_H
#define QUELNA_CODEC_MD5_H

#include <cstddef>
#include <cstdint>
#include <span>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/crypto.h>
#include <openssl/md5.h>

namespace quelna::codec {

/** Digest length of MD5 in octets. */
inline constexpr size_t kMd5Len = 16;

/**
 * An MD5 state. Copying it copies the absorbed prefix. The state keeps the last partial block
 * it absorbed (often the shared secret), so it is wiped when it goes.
 */
class Md5 {
  public:
    Md5() { MD5_Init(&ctx_); }
    Md5(const Md5 &) = default;
    Md5 &operator=(const Md5 &) = default;
    ~Md5() { OPENSSL_cleanse(&ctx_, sizeof ctx_); }
    Md5 &update(const void *data, size_t len) {
        if (len) MD5_Update(&ctx_, data, len);
        return *this;
    }
    Md5 &update(std::span<const uint8_t> s) { return update(s.data(), s.size()); }
    /** Finishes into out (16 octets); the state must not be used afterwards. */
    void final(uint8_t *out) { MD5_Final(out, &ctx_); }
    void final(std::span<uint8_t, kMd5Len> out) { final(out.data()); }

  private:
    MD5_CTX ctx_;
};

/** A digest that is a key stream (it hides or reveals a password): wiped when it goes. */
struct SecretDigest {
    uint8_t octets[kMd5Len];
    SecretDigest() = default;
    SecretDigest(const SecretDigest &) = delete;
    SecretDigest &operator=(const SecretDigest &) = delete;
    ~SecretDigest() { OPENSSL_cleanse(octets, sizeof octets); }
};

}  // namespace quelna::codec

#pragma GCC diagnostic pop

#endif  // QUELNA_CODEC_MD5_H
