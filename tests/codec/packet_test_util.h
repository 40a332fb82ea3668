// Helpers shared by the attribute and packet coding suites: hex octets, pair lists that free
// themselves, packets with their own buffer, and an MD5/HMAC oracle that is OpenSSL's EVP
// interface rather than the code under test.
#ifndef QUELNA_TESTS_CODEC_PACKET_TEST_UTIL_H
#define QUELNA_TESTS_CODEC_PACKET_TEST_UTIL_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <quelna/codec.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace quelna::test {

using Bytes = std::vector<uint8_t>;

/** Octets from hex text; blanks are ignored ("01 02 0a"). */
inline Bytes hex(const std::string &s)
{
    Bytes out;
    std::string digits;
    for (char c : s)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

/** Lower-case hex text of octets, blank-separated. */
inline std::string to_hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        if (i)
            s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
inline std::string to_hex(const Bytes &b)
{
    return to_hex(b.data(), b.size());
}

inline Bytes text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

inline Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes md5(const Bytes &in)
{
    Bytes out(16);
    unsigned len = 0;
    EVP_Digest(in.data(), in.size(), out.data(), &len, EVP_md5(), nullptr);
    return out;
}

inline Bytes hmac_md5(const std::string &key, const Bytes &in)
{
    Bytes out(16);
    unsigned len = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()), in.data(), in.size(), out.data(),
         &len);
    return out;
}

/** A pair list freed at scope end. */
struct Pairs {
    lr_value_pair *head = nullptr;
    Pairs() = default;
    Pairs(const Pairs &) = delete;
    Pairs &operator=(const Pairs &) = delete;
    ~Pairs() { lr_vp_free(&head); }

    /** Appends a pair of the named attribute holding raw stored-form octets. */
    lr_value_pair *add(const char *name, const Bytes &stored)
    {
        const lr_dict_attr *da = lr_dict_attr_byname(name);
        EXPECT_NE(da, nullptr) << name;
        return add(da, stored);
    }
    lr_value_pair *add(const lr_dict_attr *da, const Bytes &stored)
    {
        lr_value_pair *vp = lr_vp_alloc(da);
        if (!vp)
            return nullptr;
        if (stored.size() > sizeof vp->value)
            ADD_FAILURE() << "value too long";
        if (!stored.empty())
            std::memcpy(vp->value, stored.data(), std::min(stored.size(), sizeof vp->value));
        vp->length = stored.size();
        lr_vps_append(&head, vp);
        return vp;
    }
    lr_value_pair *str(const char *name, const std::string &s)
    {
        lr_value_pair *vp = add(name, text(s));
        return vp;
    }
    lr_value_pair *num(const char *name, uint32_t v)
    {
        Bytes b(4);
        std::memcpy(b.data(), &v, 4);
        return add(name, b);
    }
    lr_value_pair *ip(const char *name, const char *dotted)
    {
        Bytes b(4);
        inet_pton(AF_INET, dotted, b.data());
        return add(name, b);
    }
};

/** A codec packet with a buffer of its own. */
struct Packet {
    lr_packet pkt{};
    Bytes buf;
    explicit Packet(size_t size = 4096) : buf(size) {}
    Packet(const Packet &) = delete;
    Packet &operator=(const Packet &) = delete;
    ~Packet() { lr_vp_free(&pkt.vps); }

    int init(int code, const char *secret, const lr_packet *original = nullptr)
    {
        return lr_packet_init(&pkt, original, secret, code, buf.data(), buf.size());
    }
    /** Sets the packet up as received octets. */
    void receive(const Bytes &octets, const char *secret)
    {
        pkt = lr_packet{};
        buf = octets;
        if (buf.empty())
            buf.push_back(0);  // keep data non-null
        pkt.data = buf.data();
        pkt.data_size = buf.size();
        pkt.length = octets.size();
        pkt.secret = secret;
        pkt.secret_len = secret ? std::strlen(secret) : 0;
    }
    Bytes octets() const { return Bytes(buf.begin(), buf.begin() + pkt.length); }
};

/** The codec's most recent message. */
inline std::string last_message()
{
    return lr_strerror();
}

}  // namespace quelna::test

#endif  // QUELNA_TESTS_CODEC_PACKET_TEST_UTIL_H
