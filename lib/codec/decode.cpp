// Attribute decoding: the octets of one received attribute into a value pair. Received octets
// are hostile; nothing is lost: an attribute the dictionary does not know, or whose value does
// not fit its descriptor, becomes a raw pair holding the octets exactly as they arrived.
//
// Every read of attribute octets goes through an OctetReader over the octets the caller says
// are available, so a lying Length octet is a reported failure, never a read past the packet.
#include <quelna/codec.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "md5.h"
#include "octets.h"

namespace {

using quelna::codec::kMd5Len;
using quelna::codec::Md5;
using quelna::codec::OctetReader;

constexpr unsigned kVendorSpecific = 26;
constexpr unsigned kChargeableUserIdentity = 89;
constexpr size_t kMaxAttrValue = LR_MAX_VALUE_LENGTH;
constexpr size_t kMaxHiddenPassword = 128;  // RFC 2865 §5.2
constexpr uint8_t kMaxTag = 31;

// The checks every attribute decoder makes before reading the attribute: the header is there,
// its Length counts at least the header, and the octets it claims are available. Answers the
// Length octet, or a negated code.
ssize_t check_header(const uint8_t *data, size_t length)
{
    if (!data || length < 2)
        return -QNE_PACKET_TOO_SMALL;
    if (data[1] < 2)
        return -QNE_ATTR_TOO_SMALL;
    if (length < data[1])
        return -QNE_ATTR_OVERFLOW;
    return data[1];
}

// RFC 2865 §5.2 in reverse: each 16-octet block is XORed with MD5(secret + the previous hidden
// block, or the authenticator for the first). A trailing partial block is revealed with the
// first octets of its digest. The text ends at the first zero octet (the padding).
// Returns the text length, or -1 when the value cannot be revealed.
ssize_t reveal_user_password(std::span<const uint8_t> hidden, const char *secret,
                             const uint8_t *vector, uint8_t *out)
{
    if (hidden.empty() || hidden.size() > kMaxHiddenPassword || !secret || !vector)
        return -1;
    Md5 keyed;
    keyed.update(secret, std::strlen(secret));
    std::span<const uint8_t> chain(vector, LR_AUTH_VECTOR_LENGTH);
    for (size_t off = 0; off < hidden.size(); off += kMd5Len) {
        const size_t n = std::min(kMd5Len, hidden.size() - off);
        quelna::codec::SecretDigest b;
        Md5 md5 = keyed;
        md5.update(chain);
        md5.final(b.octets);
        for (size_t i = 0; i < n; i++)
            out[off + i] = hidden[off + i] ^ b.octets[i];
        chain = hidden.subspan(off, n);
    }
    const auto *text = reinterpret_cast<const char *>(out);
    const size_t len = strnlen(text, hidden.size());
    std::memset(out + len, 0, hidden.size() - len);
    return static_cast<ssize_t>(len);
}

// A raw pair for (attr, vendor) holding value exactly as received.
ssize_t make_raw(unsigned attr, unsigned vendor, std::span<const uint8_t> value,
                 lr_value_pair **pvp)
{
    if (value.size() > kMaxAttrValue)
        return -QNE_ATTR_OVERFLOW;
    lr_value_pair *vp = lr_vp_alloc_raw(attr, vendor);
    if (!vp)
        return -QNE_NOMEM;
    if (!value.empty())
        std::memcpy(vp->value, value.data(), value.size());
    vp->length = value.size();
    *pvp = vp;
    return static_cast<ssize_t>(value.size());
}

// Reveals a hidden value into vp. False when it cannot be revealed.
bool reveal(const lr_packet *packet, const lr_packet *original, std::span<const uint8_t> hidden,
            lr_value_pair *vp)
{
    switch (vp->da->encrypt) {
        case LR_ENCRYPT_USER_PASSWORD: {
            const uint8_t *vector = original ? original->vector : packet->vector;
            std::memset(vp->value, 0, sizeof vp->value);
            const ssize_t n = reveal_user_password(hidden, packet->secret, vector, vp->value);
            if (n < 0)
                return false;
            vp->length = static_cast<size_t>(n);
            return true;
        }
        case LR_ENCRYPT_TUNNEL_PASSWORD: {
            // RFC 2868 §3.5: only the request's authenticator can reveal it.
            if (!original)
                return false;
            std::memset(vp->value, 0, sizeof vp->value);
            const ssize_t n = lr_tunnelpw_decrypt(vp->value, kMaxAttrValue, hidden.data(),
                                                  hidden.size(), packet->secret, original->vector);
            if (n < 0)
                return false;
            vp->length = static_cast<size_t>(n);
            return true;
        }
        default:
            return true;
    }
}

// Stores value as a pair of dictionary attribute (attr, vendor), or as a raw pair when the
// dictionary does not know it or the value does not fit the descriptor. Answers the value
// octets consumed (1 for an empty Chargeable-User-Identity), 0 when no pair results, or a
// negated code.
ssize_t data2vp_any(const lr_packet *packet, const lr_packet *original, unsigned attr,
                    unsigned vendor, std::span<const uint8_t> value, lr_value_pair **pvp)
{
    static constexpr uint8_t kEmptyCui[1] = {0};
    *pvp = nullptr;
    if (value.empty()) {
        // RFC 4372: an empty Chargeable-User-Identity is meaningful and is kept.
        if (vendor != 0 || attr != kChargeableUserIdentity)
            return 0;
        value = kEmptyCui;
    }
    const lr_dict_attr *da = lr_dict_attr_byvalue(attr, vendor);
    if (!da)
        return make_raw(attr, vendor, value, pvp);

    lr_value_pair *vp = lr_vp_alloc(da);
    if (!vp)
        return -QNE_NOMEM;

    // RFC 2868 §3: a tag octet is 0x00..0x1f; a Tunnel-Password always starts with one.
    size_t skip = 0;
    if ((da->flags & LR_DICT_FLAG_HAS_TAG) &&
        (value[0] <= kMaxTag || da->encrypt == LR_ENCRYPT_TUNNEL_PASSWORD)) {
        vp->tag = value[0];
        if (da->type == QN_TYPE_STRING || da->type == QN_TYPE_OCTETS)
            skip = 1;
    }
    std::span<const uint8_t> body = value.subspan(skip);
    if (!body.empty())
        std::memcpy(vp->value, body.data(), body.size());
    vp->length = body.size();

    bool fits = reveal(packet, original, body, vp);
    if (fits && da->length != 0 && da->length != vp->length)
        fits = false;
    if (fits) {
        uint32_t num = 0;
        switch (da->type) {
            case QN_TYPE_INTEGER:
            case QN_TYPE_DATE:
                num = quelna::codec::load_be32(std::span<const uint8_t, 4>(vp->value, 4));
                // RFC 2868 §3.1: a tagged integer keeps only its low 24 bits.
                if (da->type == QN_TYPE_INTEGER && (da->flags & LR_DICT_FLAG_HAS_TAG)) {
                    num &= 0x00ffffff;
                }
                std::memcpy(vp->value, &num, sizeof num);
                break;
            case QN_TYPE_BYTE:
                num = vp->value[0];
                std::memcpy(vp->value, &num, sizeof num);
                break;
            case QN_TYPE_SHORT:
                num = quelna::codec::load_be16(std::span<const uint8_t, 2>(vp->value, 2));
                std::memcpy(vp->value, &num, sizeof num);
                break;
            case QN_TYPE_IPV6PREFIX:
                // RFC 3162 §2.3: reserved octet, prefix length (at most 128), prefix octets.
                if (vp->length < 2 || vp->length > 18 || vp->value[1] > 128) {
                    fits = false;
                    break;
                }
                std::memset(vp->value + vp->length, 0, 18 - vp->length);
                break;
            case QN_TYPE_STRING:
            case QN_TYPE_IPADDR:
            case QN_TYPE_OCTETS:
            case QN_TYPE_IFID:
            case QN_TYPE_IPV6ADDR:
                break;
            default:
                fits = false;
        }
    }
    if (!fits) {
        lr_vp_free(&vp);
        return make_raw(attr, vendor, value, pvp);
    }
    *pvp = vp;
    return static_cast<ssize_t>(value.size());
}

}  // namespace

extern "C" {

ssize_t lr_attr2vp_raw(const lr_packet *, const lr_packet *, const uint8_t *data, size_t length,
                       lr_value_pair **pvp)
{
    *pvp = nullptr;
    const ssize_t len = check_header(data, length);
    if (len < 0)
        return len;
    return make_raw(data[0], 0, {data + 2, static_cast<size_t>(len) - 2}, pvp);
}

ssize_t lr_attr2vp_rfc(const lr_packet *packet, const lr_packet *original, const uint8_t *data,
                       size_t length, lr_value_pair **pvp)
{
    *pvp = nullptr;
    const ssize_t len = check_header(data, length);
    if (len < 0)
        return len;
    const ssize_t r =
        data2vp_any(packet, original, data[0], 0, {data + 2, static_cast<size_t>(len) - 2}, pvp);
    return r < 0 ? r : len;
}

ssize_t lr_attr2vp_vsa(const lr_packet *packet, const lr_packet *original, const uint8_t *data,
                       size_t length, lr_value_pair **pvp)
{
    *pvp = nullptr;
    const ssize_t len = check_header(data, length);
    if (len < 0)
        return len;
    if (data[0] != kVendorSpecific) {
        lr_strerror_printf("lr_attr2vp_vsa: Invalid attribute");
        return -QNE_INVAL;
    }
    // A vendor number of 2^24 or more is not one this codec can name: keep it raw.
    if (len <= 5 || data[2] != 0)
        return lr_attr2vp_raw(packet, original, data, length, pvp);

    OctetReader attr(data + 2, static_cast<size_t>(len) - 2);
    uint32_t vendor = 0;
    attr.u32be(vendor);
    const lr_dict_vendor *dv = lr_dict_vendor_byvalue(vendor);
    if (!dv)
        return lr_attr2vp_rfc(packet, original, data, length, pvp);

    const std::span<const uint8_t> run = attr.rest();
    if (lr_tlv_ok(run.data(), run.size(), dv->type, dv->length) < 0) {
        return lr_attr2vp_raw(packet, original, data, length, pvp);
    }
    const size_t hdr = dv->type + dv->length;
    if (hdr >= run.size()) {
        lr_strerror_printf("attr2vp_vsa: Failure to call lr_tlv_ok");
        return -QNE_PACKET_TOO_SMALL;
    }

    // One pair per sub-attribute, chained through next in the order they arrived.
    lr_value_pair *head = nullptr;
    lr_value_pair **tail = &head;
    const int rc = quelna::codec::for_each_vendor_sub(
        run, dv->type, dv->length, [&](uint32_t sub_attr, std::span<const uint8_t> value) {
            if (value.empty()) {
                lr_strerror_printf("attr2vp_vsa: Failure to call lr_tlv_ok");
                return -QNE_PACKET_TOO_SMALL;
            }
            const ssize_t r = data2vp_any(packet, original, sub_attr, vendor, value, tail);
            if (r < 0)
                return static_cast<int>(r);
            while (*tail)
                tail = &(*tail)->next;
            return 0;
        });
    if (rc < 0) {
        lr_vp_free(&head);
        return rc;
    }
    *pvp = head;
    return len;
}

ssize_t lr_attr2vp(const lr_packet *packet, const lr_packet *original, const uint8_t *data,
                   size_t length, lr_value_pair **pvp)
{
    *pvp = nullptr;
    const ssize_t len = check_header(data, length);
    if (len < 0)
        return len;
    if (data[0] == kVendorSpecific)
        return lr_attr2vp_vsa(packet, original, data, length, pvp);
    return lr_attr2vp_rfc(packet, original, data, length, pvp);
}

int lr_tlv_ok(const uint8_t *data, size_t length, size_t dv_type, size_t dv_length)
{
    if (dv_type < 1 || dv_type > 4 || dv_length > 2) {
        lr_strerror_printf("lr_tlv_ok: Invalid arguments");
        return -QNE_INVAL;
    }
    const size_t hdr = dv_type + dv_length;
    OctetReader run(data, length);
    while (!run.empty()) {
        OctetReader h(run.rest().first(std::min(hdr, run.remaining())));
        if (h.remaining() < hdr) {
            lr_strerror_printf("Attribute header overflow");
            return -QNE_ATTR_TOO_SMALL;
        }
        uint8_t t0 = 0, t1 = 0, t2 = 0, t3 = 0;
        switch (dv_type) {
            case 1:
                h.u8(t0);
                if (t0 == 0) {
                    lr_strerror_printf("Invalid attribute 0");
                    return -QNE_ATTR_INVALID;
                }
                break;
            case 2:
                h.u8(t0), h.u8(t1);
                if ((t0 | t1) == 0) {
                    lr_strerror_printf("Invalid attribute 0");
                    return -QNE_ATTR_INVALID;
                }
                break;
            case 4:
                h.u8(t0), h.u8(t1), h.u8(t2), h.u8(t3);
                if (t0 != 0) {
                    lr_strerror_printf("Invalid attribute > 2^24");
                    return -QNE_ATTR_INVALID;
                }
                if ((t1 | t2 | t3) == 0) {
                    lr_strerror_printf("Invalid attribute 0");
                    return -QNE_ATTR_INVALID;
                }
                break;
            default:
                lr_strerror_printf("Internal sanity check failed");
                return -QNE_INTERNAL;
        }
        if (dv_length == 0)
            return 0;  // the sub-attribute runs to the end of the run
        uint8_t high = 0, sub_len = 0;
        if (dv_length == 2) {
            h.u8(high);
            if (high != 0) {
                lr_strerror_printf("Attribute is longer than 256 octets");
                return -QNE_ATTR_TOO_LARGE;
            }
        }
        h.u8(sub_len);
        if (sub_len < hdr) {
            lr_strerror_printf("Attribute header has invalid length");
            return -QNE_PACKET_TOO_SMALL;
        }
        if (sub_len > run.remaining()) {
            lr_strerror_printf("Attribute overflows container");
            return -QNE_ATTR_OVERFLOW;
        }
        run.skip(sub_len);
    }
    return 0;
}

ssize_t lr_attr2data(const lr_packet *packet, ssize_t start, unsigned int attr, unsigned int vendor,
                     const uint8_t **pdata, size_t *plength)
{
    if (!packet || !pdata || !plength || !packet->data || packet->length < 20 || start < 0 ||
        (start > 0 && start < 20) || static_cast<size_t>(start) >= packet->length - 2) {
        return -QNE_INVAL;
    }
    const std::span<const uint8_t> pkt(packet->data, packet->length);
    size_t pos = 20;
    if (start > 0)
        pos = static_cast<size_t>(start) + pkt[static_cast<size_t>(start) + 1];

    while (pos < pkt.size()) {
        OctetReader a(pkt.subspan(pos));
        uint8_t type = 0, len = 0;
        if (!a.u8(type) || !a.u8(len)) {
            lr_strerror_printf("Attribute overflows packet");
            return -QNE_ATTR_OVERFLOW;
        }
        if (len < 2) {
            lr_strerror_printf("Attribute length is too small");
            return -QNE_ATTR_TOO_SMALL;
        }
        const std::span<const uint8_t> value = a.take(len - 2u);
        if (!a.ok()) {
            lr_strerror_printf("Attribute length is too large");
            return -QNE_ATTR_TOO_LARGE;
        }
        if (vendor == 0) {
            if (type == attr) {
                *pdata = value.data();
                *plength = value.size();
                return static_cast<ssize_t>(pos);
            }
        } else if (type == kVendorSpecific && len > 5) {
            OctetReader v(value);
            uint32_t vnum = 0;
            v.u32be(vnum);
            if (vnum == vendor) {
                const lr_dict_vendor *dv = lr_dict_vendor_byvalue(vendor);
                if (dv && (dv->type != 1 || dv->length != 1))
                    return -QNE_VENDOR_UNKNOWN;
                // Any sub-attribute of a well-formed run, as the decoder gives them; the
                // first match is the one found in a Vendor-Specific that repeats it.
                const std::span<const uint8_t> run = v.rest();
                std::span<const uint8_t> found;
                if (lr_tlv_ok(run.data(), run.size(), 1, 1) == 0 &&
                    quelna::codec::for_each_vendor_sub(
                        run, 1, 1, [&](uint32_t sub, std::span<const uint8_t> sub_value) {
                            if (sub != attr || sub_value.empty())
                                return 0;
                            found = sub_value;
                            return 1;
                        }) == 1) {
                    *pdata = found.data();
                    *plength = found.size();
                    return static_cast<ssize_t>(pos);
                }
            }
        }
        pos += len;
    }
    return 0;
}

}  // extern "C"
