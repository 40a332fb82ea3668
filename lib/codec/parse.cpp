// Parsing the text form "name = value" back into a value pair. Only string, integer, ipaddr
// and date values have a text form that parses.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "quelna/codec.h"

namespace quelna::codec {
namespace {

/**
 * Longest attribute name accepted, in characters. The dictionary's names are far shorter
 * (raw names such as Attr-26.16777216.16777215 included); a longer name cannot be known.
 */
constexpr size_t kMaxNameLength = 127;

/** Skips the space characters (only ' ', as in the text form) at the start of text. */
const char *skip_spaces(const char *text)
{
    while (*text == ' ') text++;
    return text;
}

/**
 * A whole decimal number of at most 32 bits (strtoul's syntax otherwise). Answers the number
 * of characters read, or -1 when the text is not such a number: no digit, text after it, a
 * minus sign, or a value above 4294967295 (storing only its low bits would change it).
 */
long parse_u32(const char *text, uint32_t &out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long n = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || n > UINT32_MAX) return -1;
    if (std::string_view(text, end).find('-') != std::string_view::npos) return -1;
    out = static_cast<uint32_t>(n);
    return end - text;
}

}  // namespace
}  // namespace quelna::codec

using namespace quelna::codec;

extern "C" QN_EXPORT int lr_vp_sscanf_value(lr_value_pair *vp, const char *value)
{
    if (!vp || !vp->da || !value) return -QNE_INVAL;

    switch (vp->da->type) {
    case QN_TYPE_STRING: {
        // strnlen stops early: a long text is never read further than needed to refuse it.
        size_t len = strnlen(value, LR_MAX_VALUE_LENGTH + 1);
        if (len > LR_MAX_VALUE_LENGTH) return -QNE_ATTR_TOO_LARGE;
        std::memcpy(vp->value, value, len);
        vp->value[len] = 0;
        vp->length = len;
        return static_cast<int>(len);
    }
    case QN_TYPE_INTEGER:
    case QN_TYPE_DATE: {
        uint32_t n = 0;
        long used = parse_u32(value, n);
        if (used < 0) {
            lr_strerror_printf("Invalid value");
            return -QNE_ATTR_VALUE_MALFORMED;
        }
        std::memcpy(vp->value, &n, sizeof n);
        return used > INT32_MAX ? INT32_MAX : static_cast<int>(used);
    }
    case QN_TYPE_IPADDR: {
        // Parsed aside first, so that a refused text leaves the pair as it was.
        uint8_t addr[4];
        if (inet_pton(AF_INET, value, addr) != 1) return -QNE_NOSYS;
        std::memcpy(vp->value, addr, sizeof addr);
        // An accepted dotted quad has at most 15 characters.
        return static_cast<int>(std::strlen(value));
    }
    default:
        lr_strerror_printf("Invalid type");
        return -QNE_ATTR_TYPE_UNKNOWN;
    }
}

extern "C" QN_EXPORT int lr_vp_sscanf(const char *string, lr_value_pair **pvp)
{
    if (!string || !pvp) return -QNE_INVAL;

    // The name runs up to the first space, "=" or the end; tabs belong to it.
    size_t name_len = std::strcspn(string, " =");
    if (name_len == 0) {
        lr_strerror_printf("No Attribute name");
        return -QNE_ATTR_BAD_NAME;
    }
    if (name_len > kMaxNameLength) {
        lr_strerror_printf("Attribute name too long");
        return -QNE_ATTR_BAD_NAME;
    }
    char name[kMaxNameLength + 1];
    std::memcpy(name, string, name_len);
    name[name_len] = '\0';

    const lr_dict_attr *da = lr_dict_attr_byname(name);
    if (!da) {
        lr_strerror_printf("Unknown attribute \"%s\"", name);
        return -QNE_ATTR_UNKNOWN;
    }

    const char *p = skip_spaces(string + name_len);
    if (*p != '=') {
        lr_strerror_printf("Unexpected text after attribute name");
        return -QNE_ATTR_BAD_NAME;
    }
    // The value is everything after "=" and its leading spaces, trailing spaces included.
    const char *value = skip_spaces(p + 1);

    lr_value_pair *vp = lr_vp_alloc(da);
    if (!vp) return -QNE_NOMEM;
    int rcode = lr_vp_sscanf_value(vp, value);
    if (rcode < 0) {
        lr_vp_free(&vp);
        return rcode;
    }
    *pvp = vp;
    return 0;
}
