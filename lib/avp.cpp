// The public face of attribute-value pairs: creating, finding, copying and deleting the pairs
// of a list, reading and changing their values, and attribute names. A qn_avp is the codec's
// lr_value_pair itself; everything here is a thin layer over the codec.
//
// These operations answer codes only (positive QNE_*) and record nothing in an error slot.
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <system_error>
#include <charconv>

#include "quelna/codec.h"
#include "quelna/quelna.h"

namespace quelna::avp {
namespace {

/** The octets of a pair's value, never reaching past its value area. */
std::span<const uint8_t> value_octets(const qn_avp *vp)
{
    size_t len = vp->length < sizeof vp->value ? vp->length : sizeof vp->value;
    return {vp->value, len};
}

/** Hands octets to the codec; its negated failure becomes a positive code. */
int store(qn_avp *vp, const void *data, size_t len)
{
    int rcode = lr_vp_set_data(vp, data, len);
    // 0 means the value was cut to 253 octets, which still counts as stored.
    return rcode < 0 ? -rcode : QNE_OK;
}

/*
 * One description per value type: the type a getter or setter checks, the code a setter
 * gives for a NULL pair (the members differ there), how the value is read and how it is
 * stored. The typed C functions below are instances of get_value and set_value.
 */

/** Numbers kept in the value area as a 32-bit number (an address: as its 4 octets). */
template <qn_attr_type Type, typename Value, int NullCode>
struct Number {
    static constexpr qn_attr_type type = Type;
    static constexpr int null_code = NullCode;
    static Value load(const qn_avp *vp)
    {
        uint32_t n;
        std::memcpy(&n, vp->value, sizeof n);
        return static_cast<Value>(n);
    }
    /** The octets of the argument as it lies in memory (host order, or as given). */
    static int put(qn_avp *vp, Value v) { return store(vp, &v, sizeof v); }
};

using Integer = Number<QN_TYPE_INTEGER, uint32_t, QNE_INVAL>;
using IpAddr = Number<QN_TYPE_IPADDR, uint32_t, QNE_INVAL>;
using Byte = Number<QN_TYPE_BYTE, uint8_t, QNE_ATTR_INVALID>;
using Short = Number<QN_TYPE_SHORT, uint16_t, QNE_ATTR_INVALID>;

struct Date : Number<QN_TYPE_DATE, uint32_t, QNE_INVAL> {
    /** A date holds unsigned 32-bit seconds; other times would be stored as another date. */
    static int put(qn_avp *vp, int64_t t)
    {
        if (t < 0 || t > int64_t{UINT32_MAX}) return QNE_ATTR_INVALID;
        return Number::put(vp, static_cast<uint32_t>(t));
    }
};

struct String {
    static constexpr qn_attr_type type = QN_TYPE_STRING;
    static constexpr int null_code = QNE_INVAL;
    static const char *load(const qn_avp *vp) { return reinterpret_cast<const char *>(vp->value); }
    static int put(qn_avp *vp, const char *s) { return store(vp, s, s ? std::strlen(s) : 0); }
};

struct Octets {
    static constexpr qn_attr_type type = QN_TYPE_OCTETS;
    static constexpr int null_code = QNE_ATTR_INVALID;
    static int put(qn_avp *vp, const uint8_t *data, size_t len) { return store(vp, data, len); }
};

struct Ifid {
    static constexpr qn_attr_type type = QN_TYPE_IFID;
    static constexpr int null_code = QNE_ATTR_INVALID;
    static constexpr size_t size = 8;  // RFC 3162 section 2.4: a 64-bit interface identifier
    static int put(qn_avp *vp, const uint8_t *ifid) { return store(vp, ifid, ifid ? size : 0); }
};

/** QNE_OK for a pair of the described type, else the code for a NULL pair or another type. */
template <typename Kind>
int check_type(const qn_avp *vp)
{
    if (!vp) return Kind::null_code;
    if (!vp->da || vp->da->type != Kind::type) return QNE_ATTR_INVALID;
    return QNE_OK;
}

/** The value of a pair of the described type; 0 or NULL for anything else. */
template <typename Kind>
auto get_value(const qn_avp *vp) -> decltype(Kind::load(vp))
{
    if (check_type<Kind>(vp) != QNE_OK) return {};
    return Kind::load(vp);
}

/** Stores a value in a pair of the described type. */
template <typename Kind, typename... Args>
int set_value(qn_avp *vp, Args... args)
{
    int rcode = check_type<Kind>(vp);
    if (rcode != QNE_OK) return rcode;
    return Kind::put(vp, args...);
}

bool same_attribute(const qn_avp *vp, unsigned int attr, unsigned int vendor)
{
    return vp->da->attr == attr && vp->da->vendor == vendor;
}

/** The next pair after vp with the same attribute, or NULL. */
const qn_avp *next_fragment(const qn_avp *vp)
{
    return vp->next ? lr_vps_find(vp->next, vp->da->attr, vp->da->vendor) : nullptr;
}

/** Copies a value into the caller's buffer of *len octets, or tells how many are needed. */
int copy_out(std::span<const uint8_t> value, uint8_t *buffer, size_t *len)
{
    if (value.size() > *len) {
        *len = value.size();
        return QNE_ATTR_TOO_SMALL;
    }
    if (!buffer && !value.empty()) return QNE_INVAL;
    if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
    *len = value.size();
    return QNE_OK;
}

/** A decimal number of at most 32 bits at the start of text; the rest is left in text. */
bool take_number(std::string_view &text, unsigned int &out)
{
    uint32_t n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n, 10);
    if (ec != std::errc{}) return false;
    out = n;
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    return true;
}

constexpr unsigned int kVendorSpecific = 26;  // RFC 2865 section 5.26

}  // namespace
}  // namespace quelna::avp

using namespace quelna::avp;

/* Lists and pairs */

extern "C" QN_EXPORT qn_avp *qn_avp_alloc(unsigned int attr, unsigned int vendor)
{
    const lr_dict_attr *da = lr_dict_attr_byvalue(attr, vendor);
    return da ? lr_vp_alloc(da) : lr_vp_alloc_raw(attr, vendor);
}

extern "C" QN_EXPORT void qn_avp_free(qn_avp **vps)
{
    if (vps) lr_vp_free(vps);
}

extern "C" QN_EXPORT void qn_avp_append(qn_avp **head, qn_avp *vp)
{
    if (head) lr_vps_append(head, vp);
}

extern "C" QN_EXPORT qn_avp *qn_avp_find(qn_avp *vp, unsigned int attr, unsigned int vendor)
{
    return vp ? lr_vps_find(vp, attr, vendor) : nullptr;
}

extern "C" QN_EXPORT const qn_avp *qn_avp_find_const(const qn_avp *vp, unsigned int attr,
                                                     unsigned int vendor)
{
    return vp ? lr_vps_find(vp, attr, vendor) : nullptr;
}

extern "C" QN_EXPORT qn_avp *qn_avp_next(qn_avp *vp)
{
    return vp ? vp->next : nullptr;
}

extern "C" QN_EXPORT const qn_avp *qn_avp_next_const(const qn_avp *vp)
{
    return vp ? vp->next : nullptr;
}

extern "C" QN_EXPORT qn_avp *qn_avp_dup(const qn_avp *vp)
{
    // A pair made for an attribute the dictionary does not know carries its own descriptor,
    // so its copy needs one of its own as well.
    const lr_dict_attr *da = vp->da;
    qn_avp *copy = (da->flags & LR_DICT_FLAG_UNKNOWN) ? lr_vp_alloc_raw(da->attr, da->vendor)
                                                      : lr_vp_alloc(da);
    if (!copy) return nullptr;
    copy->length = vp->length;
    copy->tag = vp->tag;
    std::memcpy(copy->value, vp->value, sizeof copy->value);
    copy->next = nullptr;
    if (da->type == QN_TYPE_STRING && copy->length < sizeof copy->value)
        copy->value[copy->length] = 0;
    return copy;
}

extern "C" QN_EXPORT int qn_avp_delete(qn_avp **head, unsigned int attr, unsigned int vendor)
{
    if (!head) return QNE_INVAL;
    bool deleted = false;
    qn_avp **link = head;
    while (*link) {
        qn_avp *vp = *link;
        if (!same_attribute(vp, attr, vendor)) {
            link = &vp->next;
            continue;
        }
        *link = vp->next;
        vp->next = nullptr;  // lr_vp_free releases a whole chain
        lr_vp_free(&vp);
        deleted = true;
    }
    return deleted ? QNE_OK : QNE_ATTR_UNKNOWN;
}

extern "C" QN_EXPORT size_t qn_avp_length(const qn_avp *vp)
{
    return vp ? vp->length : 0;
}

extern "C" QN_EXPORT qn_attr_type qn_avp_typeof(const qn_avp *vp)
{
    return vp ? vp->da->type : QN_TYPE_NONE;
}

extern "C" QN_EXPORT const char *qn_avp_name(const qn_avp *vp)
{
    return vp ? vp->da->name : nullptr;
}

extern "C" QN_EXPORT void qn_avp_attrid(const qn_avp *vp, unsigned int *attr,
                                        unsigned int *vendor)
{
    *attr = vp->da->attr;
    *vendor = vp->da->vendor;
}

extern "C" QN_EXPORT size_t qn_avp_display_value(const qn_avp *vp, char *buffer, size_t buflen)
{
    return lr_vp_snprintf_value(buffer, buflen, vp);
}

/* Names */

extern "C" QN_EXPORT int qn_attr_find(const char *name, unsigned int *attr,
                                      unsigned int *vendor)
{
    const lr_dict_attr *da = lr_dict_attr_byname(name);
    if (!da) return QNE_ATTR_UNKNOWN;
    *attr = da->attr;
    *vendor = da->vendor;
    return QNE_OK;
}

extern "C" QN_EXPORT int qn_attr_parse_name(const char *name, unsigned int *attr,
                                            unsigned int *vendor)
{
    constexpr std::string_view prefix = "Attr-";
    if (!name) return QNE_ATTR_UNKNOWN;
    std::string_view text(name);
    if (!text.starts_with(prefix)) return qn_attr_find(name, attr, vendor);
    text.remove_prefix(prefix.size());

    // The numeric names written for attributes without a dictionary name: "Attr-<attr>" and
    // "Attr-26.<vendor>.<attr>". A number must have digits and fit 32 bits.
    unsigned int number = 0;
    if (!take_number(text, number)) return QNE_ATTR_BAD_NAME;
    if (!text.starts_with('.')) {
        *attr = number;
        *vendor = 0;
        return QNE_OK;
    }
    if (number != kVendorSpecific) return QNE_ATTR_BAD_NAME;
    text.remove_prefix(1);
    if (!take_number(text, *vendor)) return QNE_ATTR_BAD_NAME;
    if (!text.starts_with('.')) return QNE_ATTR_BAD_NAME;
    text.remove_prefix(1);
    if (!take_number(text, *attr)) return QNE_ATTR_BAD_NAME;
    return text.empty() ? QNE_OK : QNE_ATTR_BAD_NAME;
}

extern "C" QN_EXPORT int qn_attr_display_name(unsigned int attr, unsigned int vendor,
                                              char *buffer, size_t bufsize, int numeric)
{
    if (!buffer || bufsize == 0) return QNE_INVAL;
    if (!numeric) {
        if (const lr_dict_attr *da = lr_dict_attr_byvalue(attr, vendor)) {
            size_t len = strnlen(da->name, bufsize - 1);
            std::memcpy(buffer, da->name, len);
            buffer[len] = '\0';
            return QNE_OK;
        }
    }
    lr_dict_attr scratch;
    return lr_dict_attr_2struct(&scratch, attr, vendor, buffer, bufsize) < 0 ? QNE_INVAL
                                                                              : QNE_OK;
}

/* Typed values */

extern "C" QN_EXPORT const char *qn_avp_string_value(const qn_avp *vp)
{
    return get_value<String>(vp);
}

extern "C" QN_EXPORT int qn_avp_string_set(qn_avp *vp, const char *str)
{
    return set_value<String>(vp, str);
}

extern "C" QN_EXPORT uint32_t qn_avp_integer_value(const qn_avp *vp)
{
    return get_value<Integer>(vp);
}

extern "C" QN_EXPORT int qn_avp_integer_set(qn_avp *vp, uint32_t value)
{
    return set_value<Integer>(vp, value);
}

extern "C" QN_EXPORT uint32_t qn_avp_ipaddr_value(const qn_avp *vp)
{
    return get_value<IpAddr>(vp);
}

extern "C" QN_EXPORT int qn_avp_ipaddr_set(qn_avp *vp, uint32_t addr)
{
    return set_value<IpAddr>(vp, addr);
}

extern "C" QN_EXPORT uint32_t qn_avp_date_value(const qn_avp *vp)
{
    return get_value<Date>(vp);
}

extern "C" QN_EXPORT int qn_avp_date_set(qn_avp *vp, int64_t value)
{
    return set_value<Date>(vp, value);
}

extern "C" QN_EXPORT uint8_t qn_avp_byte_value(const qn_avp *vp)
{
    return get_value<Byte>(vp);
}

extern "C" QN_EXPORT int qn_avp_byte_set(qn_avp *vp, uint8_t value)
{
    return set_value<Byte>(vp, value);
}

extern "C" QN_EXPORT uint16_t qn_avp_short_value(const qn_avp *vp)
{
    return get_value<Short>(vp);
}

extern "C" QN_EXPORT int qn_avp_short_set(qn_avp *vp, uint16_t value)
{
    return set_value<Short>(vp, value);
}

extern "C" QN_EXPORT int qn_avp_octets_set(qn_avp *vp, const uint8_t *data, size_t len)
{
    return set_value<Octets>(vp, data, len);
}

extern "C" QN_EXPORT int qn_avp_ifid_set(qn_avp *vp, const uint8_t *ifid)
{
    return set_value<Ifid>(vp, ifid);
}

extern "C" QN_EXPORT int qn_avp_ifid_value(const qn_avp *vp, uint8_t *ifid)
{
    int rcode = check_type<Ifid>(vp);
    if (rcode != QNE_OK) return rcode;
    if (!ifid) return QNE_INVAL;
    std::memcpy(ifid, vp->value, Ifid::size);
    return QNE_OK;
}

/* Values of any type, as octets */

extern "C" QN_EXPORT const uint8_t *qn_avp_octets_value_const_ptr(const qn_avp *vp)
{
    return vp ? vp->value : nullptr;
}

extern "C" QN_EXPORT uint8_t *qn_avp_octets_value_ptr(qn_avp *vp)
{
    return vp ? vp->value : nullptr;
}

extern "C" QN_EXPORT int qn_avp_octets_value_byref(qn_avp *vp, uint8_t **value, size_t *len)
{
    if (!vp || !value || !len) return QNE_INVAL;
    *value = vp->value;
    *len = vp->length;
    return QNE_OK;
}

extern "C" QN_EXPORT int qn_avp_octets_value(const qn_avp *vp, uint8_t *buffer, size_t *len)
{
    if (!vp || !len) return QNE_INVAL;
    return copy_out(value_octets(vp), buffer, len);
}

extern "C" QN_EXPORT int qn_avp_fragmented_value(const qn_avp *vp, uint8_t *buffer, size_t *len)
{
    if (!vp || !len) return QNE_INVAL;
    if (vp->da->type != QN_TYPE_STRING && vp->da->type != QN_TYPE_OCTETS)
        return QNE_ATTR_INVALID;

    // The pairs of the same attribute, in list order; pairs of others in between are skipped.
    size_t total = 0;
    for (const qn_avp *p = vp; p; p = next_fragment(p))
        total += value_octets(p).size();

    if (total > *len) {
        *len = total;
        return QNE_ATTR_TOO_SMALL;
    }
    if (!buffer && total > 0) return QNE_INVAL;
    size_t at = 0;
    for (const qn_avp *p = vp; p; p = next_fragment(p)) {
        auto part = value_octets(p);
        if (!part.empty()) std::memcpy(buffer + at, part.data(), part.size());
        at += part.size();
    }
    *len = total;
    return QNE_OK;
}
