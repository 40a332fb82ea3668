// Counted names, hexadecimal text and the digest of a request's client public value.
#include <openssl/bn.h>
#include <openssl/dh.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hb_tid.h"

// The programs hand the layer OpenSSL's DH record, deprecated in OpenSSL 3 but kept on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

extern "C" {

hb_name *hb_new_name_len(const char *s, size_t len)
{
    if (s == nullptr || len > static_cast<size_t>(INT32_MAX))
        return nullptr;
    auto *name = static_cast<hb_name *>(std::malloc(sizeof(hb_name)));
    if (name == nullptr)
        return nullptr;
    name->buf = static_cast<char *>(std::malloc(len + 1));
    if (name->buf == nullptr) {
        std::free(name);
        return nullptr;
    }
    std::memcpy(name->buf, s, len);
    name->buf[len] = '\0';
    name->len = static_cast<int>(len);
    return name;
}

hb_name *hb_new_name(const char *s)
{
    return s == nullptr ? nullptr : hb_new_name_len(s, std::strlen(s));
}

hb_name *hb_dup_name(const hb_name *name)
{
    return name == nullptr ? nullptr : hb_new_name_len(name->buf, static_cast<size_t>(name->len));
}

void hb_free_name(hb_name *name)
{
    if (name == nullptr)
        return;
    std::free(name->buf);
    std::free(name);
}

int hb_name_cmp(const hb_name *a, const hb_name *b)
{
    if (a == nullptr || b == nullptr)
        return (a == nullptr ? 0 : 1) - (b == nullptr ? 0 : 1);
    const size_t shorter = static_cast<size_t>(std::min(a->len, b->len));
    const int by_text = std::memcmp(a->buf, b->buf, shorter);
    if (by_text != 0)
        return by_text;
    return a->len < b->len ? -1 : (a->len > b->len ? 1 : 0);
}

size_t hb_bin_to_hex(const unsigned char *bin, size_t len, char *out, size_t outsize)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    if (out == nullptr || outsize == 0)
        return 0;
    const size_t octets = std::min(len, (outsize - 1) / 2);
    for (size_t i = 0; i < octets; ++i) {
        out[2 * i] = kDigits[bin[i] >> 4];
        out[2 * i + 1] = kDigits[bin[i] & 0x0f];
    }
    out[2 * octets] = '\0';
    return 2 * octets;
}

int hb_dh_pub_hash(TID_REQ *req, unsigned char **digest, size_t *digest_len)
{
    if (req == nullptr || req->tidc_dh == nullptr || digest == nullptr || digest_len == nullptr)
        return -1;
    const BIGNUM *pub = DH_get0_pub_key(req->tidc_dh);
    if (pub == nullptr)
        return -1;
    std::vector<unsigned char> octets(static_cast<size_t>(BN_num_bytes(pub)));
    BN_bn2bin(pub, octets.data());
    auto *out = static_cast<unsigned char *>(talloc_size(req, SHA256_DIGEST_LENGTH));
    if (out == nullptr)
        return -1;
    SHA256(octets.data(), octets.size(), out);
    *digest = out;
    *digest_len = SHA256_DIGEST_LENGTH;
    return 0;
}

}  // extern "C"

#pragma GCC diagnostic pop
