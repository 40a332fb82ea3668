// Values as people read and write them: value names from the dictionary, IPv6 addresses and
// prefixes, interface ids and dates in their usual text. The plain text forms (print.cpp,
// parse.cpp) stay as they are; programs that show values to people use these.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "quelna/codec.h"

namespace quelna::codec {
namespace {

constexpr size_t kIfidLength = 8;         // RFC 3162 §2.3
constexpr size_t kPrefixLength = 18;      // RFC 3162 §2.3: reserved, length, 16 octets
constexpr size_t kIpv6Length = 16;

uint32_t stored_number(const lr_value_pair *vp)
{
    uint32_t n;
    std::memcpy(&n, vp->value, sizeof n);
    return n;
}

void store_number(lr_value_pair *vp, uint32_t n)
{
    std::memset(vp->value, 0, sizeof vp->value);
    std::memcpy(vp->value, &n, sizeof n);
    vp->length = vp->da->length ? vp->da->length : sizeof n;
}

void store_octets(lr_value_pair *vp, const uint8_t *octets, size_t len)
{
    std::memset(vp->value, 0, sizeof vp->value);
    std::memcpy(vp->value, octets, len);
    vp->length = len;
}

/** snprintf that answers the text length, or 0 when the text and its terminator do not fit. */
template <typename... Args>
size_t fitted(char *out, size_t size, const char *fmt, Args... args)
{
    int n = std::snprintf(out, size, fmt, args...);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return 0;
    return static_cast<size_t>(n);
}

bool has_value_names(qn_attr_type type)
{
    return type == QN_TYPE_INTEGER || type == QN_TYPE_BYTE || type == QN_TYPE_SHORT;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/** Decimal digits only, at most limit. */
bool parse_decimal(std::string_view text, uint64_t limit, uint64_t *out)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
        if (n > limit)
            return false;
    }
    *out = n;
    return true;
}

/** Days from 1970-01-01 to the civil date (proleptic Gregorian), without the time zone. */
int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

/** "YYYY-MM-DDTHH:MM:SSZ" (ISO 8601, UTC) into seconds since 1970 that a date holds. */
bool parse_iso_date(std::string_view text, uint32_t *out)
{
    // Positions of the separators in the only form taken.
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
        return false;
    uint64_t f[6];
    const size_t at[6] = {0, 5, 8, 11, 14, 17}, len[6] = {4, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; i++)
        if (!parse_decimal(text.substr(at[i], len[i]), 9999, &f[i]))
            return false;
    static constexpr unsigned mdays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (f[0] % 4 == 0 && f[0] % 100 != 0) || f[0] % 400 == 0;
    if (f[1] < 1 || f[1] > 12 || f[2] < 1 || f[2] > mdays[f[1] - 1] ||
        (f[1] == 2 && f[2] == 29 && !leap) || f[3] > 23 || f[4] > 59 || f[5] > 59)
        return false;
    const int64_t secs = days_from_civil(static_cast<int64_t>(f[0]), static_cast<unsigned>(f[1]),
                                         static_cast<unsigned>(f[2])) * 86400 +
                         static_cast<int64_t>(f[3] * 3600 + f[4] * 60 + f[5]);
    if (secs < 0 || secs > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(secs);
    return true;
}

/** Four groups of one to four hex digits separated by ':' (RFC 3162 §2.3 interface id). */
bool parse_ifid(std::string_view text, uint8_t *out)
{
    for (int group = 0; group < 4; group++) {
        size_t end = group < 3 ? text.find(':') : text.size();
        if (end == std::string_view::npos || end == 0 || end > 4)
            return false;
        unsigned v = 0;
        for (char c : text.substr(0, end)) {
            const int d = hex_digit(c);
            if (d < 0)
                return false;
            v = v << 4 | static_cast<unsigned>(d);
        }
        out[2 * group] = static_cast<uint8_t>(v >> 8);
        out[2 * group + 1] = static_cast<uint8_t>(v);
        text.remove_prefix(group < 3 ? end + 1 : end);
    }
    return true;
}

/** "ADDRESS/LENGTH" into the stored form of an IPv6 prefix; bits past the length cleared. */
bool parse_prefix(std::string_view text, uint8_t *out)
{
    const size_t slash = text.find('/');
    uint64_t bits = 0;
    if (slash == std::string_view::npos || slash >= INET6_ADDRSTRLEN ||
        !parse_decimal(text.substr(slash + 1), 128, &bits))
        return false;
    char addr[INET6_ADDRSTRLEN];
    std::memcpy(addr, text.data(), slash);
    addr[slash] = '\0';
    out[0] = 0;
    out[1] = static_cast<uint8_t>(bits);
    if (inet_pton(AF_INET6, addr, out + 2) != 1)
        return false;
    for (size_t i = 0; i < kIpv6Length; i++) {
        const uint64_t kept = bits > 8 * i ? bits - 8 * i : 0;
        if (kept < 8)
            out[2 + i] &= static_cast<uint8_t>(0xff00u >> kept);
    }
    return true;
}

/** "0x" and hex digits, 1..253 octets. */
bool parse_hex(std::string_view text, uint8_t *out, size_t *len)
{
    if (text.size() < 4 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return false;
    text.remove_prefix(2);
    if (text.size() % 2 != 0 || text.size() / 2 > LR_MAX_VALUE_LENGTH)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
    *len = text.size() / 2;
    return true;
}

}  // namespace
}  // namespace quelna::codec

using namespace quelna::codec;

extern "C" QN_EXPORT size_t lr_vp_snprintf_value_named(char *out, size_t size,
                                                       const lr_value_pair *vp)
{
    if (!out || size == 0 || !vp || !vp->da)
        return 0;
    const uint8_t *v = vp->value;
    switch (vp->da->type) {
    case QN_TYPE_INTEGER:
    case QN_TYPE_BYTE:
    case QN_TYPE_SHORT:
        if (const char *name = lr_dict_value_name(vp->da->attr, vp->da->vendor, stored_number(vp)))
            return fitted(out, size, "%s", name);
        break;
    case QN_TYPE_DATE: {
        const time_t secs = stored_number(vp);
        struct tm tm;
        char text[32];
        if (!gmtime_r(&secs, &tm) ||
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
            return 0;
        return fitted(out, size, "%s", text);
    }
    case QN_TYPE_IFID:
        if (vp->length != kIfidLength)
            break;
        // Groups without leading zeros, as IPv6 text writes them (and radclient shows them).
        return fitted(out, size, "%x:%x:%x:%x", v[0] << 8 | v[1], v[2] << 8 | v[3],
                      v[4] << 8 | v[5], v[6] << 8 | v[7]);
    case QN_TYPE_IPV6ADDR: {
        char text[INET6_ADDRSTRLEN];
        if (vp->length != kIpv6Length || !inet_ntop(AF_INET6, v, text, sizeof text))
            break;
        return fitted(out, size, "%s", text);
    }
    case QN_TYPE_IPV6PREFIX: {
        // RFC 3162 §2.3: a received prefix may leave out octets past its length.
        uint8_t addr[kIpv6Length] = {};
        char text[INET6_ADDRSTRLEN];
        if (vp->length < 2 || vp->length > kPrefixLength || v[1] > 128)
            break;
        std::memcpy(addr, v + 2, vp->length - 2);
        if (!inet_ntop(AF_INET6, addr, text, sizeof text))
            break;
        return fitted(out, size, "%s/%u", text, static_cast<unsigned>(v[1]));
    }
    default:
        break;
    }
    return lr_vp_snprintf_value(out, size, vp);
}

extern "C" QN_EXPORT int lr_vp_sscanf_value_named(lr_value_pair *vp, const char *value)
{
    if (!vp || !vp->da || !value)
        return -QNE_INVAL;
    const std::string_view text(value);
    const qn_attr_type type = vp->da->type;
    uint32_t n = 0;
    if (has_value_names(type) && lr_dict_value_find(vp->da->attr, vp->da->vendor, value, &n) == 0) {
        store_number(vp, n);
        return 0;
    }
    uint8_t octets[LR_VALUE_SIZE];
    size_t len = 0;
    uint64_t number = 0;
    switch (type) {
    case QN_TYPE_STRING:
    case QN_TYPE_INTEGER:
    case QN_TYPE_IPADDR:
        return lr_vp_sscanf_value(vp, value) < 0 ? -QNE_ATTR_VALUE_MALFORMED : 0;
    case QN_TYPE_DATE:
        if (parse_iso_date(text, &n)) {
            store_number(vp, n);
            return 0;
        }
        return lr_vp_sscanf_value(vp, value) < 0 ? -QNE_ATTR_VALUE_MALFORMED : 0;
    case QN_TYPE_BYTE:
    case QN_TYPE_SHORT:
        if (!parse_decimal(text, type == QN_TYPE_BYTE ? 0xff : 0xffff, &number))
            return -QNE_ATTR_VALUE_MALFORMED;
        store_number(vp, static_cast<uint32_t>(number));
        return 0;
    case QN_TYPE_OCTETS:
        if (!parse_hex(text, octets, &len))
            return -QNE_ATTR_VALUE_MALFORMED;
        break;
    case QN_TYPE_IFID:
        if (!parse_ifid(text, octets))
            return -QNE_ATTR_VALUE_MALFORMED;
        len = kIfidLength;
        break;
    case QN_TYPE_IPV6ADDR:
        if (text.size() >= INET6_ADDRSTRLEN || inet_pton(AF_INET6, value, octets) != 1)
            return -QNE_ATTR_VALUE_MALFORMED;
        len = kIpv6Length;
        break;
    case QN_TYPE_IPV6PREFIX:
        if (!parse_prefix(text, octets))
            return -QNE_ATTR_VALUE_MALFORMED;
        len = kPrefixLength;
        break;
    default:
        return -QNE_ATTR_TYPE_UNKNOWN;
    }
    store_octets(vp, octets, len);
    return 0;
}
