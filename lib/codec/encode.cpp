// Attribute encoding: one value pair into the octets of one RADIUS attribute (RFC 2865 §5),
// with the type's byte order, RFC 2868 tags, User-Password and Tunnel-Password hiding, the
// CHAP-Password response, the Message-Authenticator placeholder and the vendor formats.
//
// Every encoder writes only through an OctetWriter over [start, start + room), so nothing can
// land past the room it was given. Results: > 0 octets of the complete attribute, 0 the pair
// was skipped (no room, or an empty value), < 0 a negated QNE_* code.
#include <quelna/codec.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "md5.h"
#include "octets.h"
#include "packet_int.h"

namespace {

using quelna::codec::Md5;
using quelna::codec::OctetWriter;
using quelna::codec::has_zero_vector_request;
using quelna::codec::kAttrMessageAuthenticator;

constexpr unsigned kChapPassword = quelna::codec::kAttrChapPassword;
constexpr unsigned kVendorSpecific = 26;
constexpr unsigned kChapChallenge = 60;
constexpr unsigned kChargeableUserIdentity = 89;
constexpr size_t kMaxAttrValue = LR_MAX_VALUE_LENGTH;  // 253
constexpr size_t kMaxVsaData = 249;                    // 255 - 6 octets of VSA header
constexpr int kMaxTag = 31;

// The placeholder written for every Message-Authenticator: 16 zero octets that lr_packet_sign
// replaces with the HMAC once the whole packet is written.
const lr_value_pair fake_ma = {&lr_dict_attrs[kAttrMessageAuthenticator], 16, 0, nullptr, {}};

// Result of writing a value: its octets, or a skip (hidden value without room: nothing of the
// attribute may be written), or a negated code in n.
struct ValueResult {
    ssize_t n;
    bool skipped;
};

bool has_tag(const lr_dict_attr *da)
{
    return (da->flags & LR_DICT_FLAG_HAS_TAG) != 0;
}

void advance(const lr_value_pair **pvp)
{
    *pvp = (*pvp)->next;
}

// The value's octets in wire form; numbers are converted into scratch.
// An empty span with ok == false means the type is unknown.
std::span<const uint8_t> wire_source(const lr_value_pair *vp, std::array<uint8_t, 4> &scratch,
                                     bool &ok)
{
    ok = true;
    uint32_t num = 0;
    std::memcpy(&num, vp->value, sizeof num);
    const size_t stored = std::min(vp->length, kMaxAttrValue);
    switch (vp->da->type) {
        case QN_TYPE_STRING:
        case QN_TYPE_OCTETS:
        case QN_TYPE_IFID:
        case QN_TYPE_IPV6ADDR:
            return {vp->value, stored};
        case QN_TYPE_INTEGER:
        case QN_TYPE_DATE:
            quelna::codec::store_be32(std::span<uint8_t, 4>(scratch), num);
            return {scratch.data(), 4};
        case QN_TYPE_IPADDR:
            return {vp->value, 4};
        case QN_TYPE_IPV6PREFIX:
            return {vp->value, 18};
        case QN_TYPE_BYTE:
            scratch[0] = static_cast<uint8_t>(num);
            return {scratch.data(), 1};
        case QN_TYPE_SHORT:
            quelna::codec::store_be16(std::span<uint8_t, 2>(scratch.data(), 2),
                                      static_cast<uint16_t>(num));
            return {scratch.data(), 2};
        default:
            ok = false;
            return {};
    }
}

// Writes the value of the pair under the cursor into out (the room for the value only).
ValueResult vp2data_any(const lr_packet *packet, const lr_packet *original,
                        const lr_value_pair **pvp, std::span<uint8_t> out)
{
    const lr_value_pair *vp = *pvp;
    const lr_dict_attr *da = vp->da;
    std::array<uint8_t, 4> scratch{};
    bool known = false;
    std::span<const uint8_t> whole = wire_source(vp, scratch, known);
    if (!known) {
        lr_strerror_printf("ERROR: Unknown attribute type %d", static_cast<int>(da->type));
        return {-QNE_ATTR_TYPE_UNKNOWN, false};
    }
    std::span<const uint8_t> src = whole.first(std::min(whole.size(), out.size()));

    if (da->encrypt == LR_ENCRYPT_USER_PASSWORD) {
        const ssize_t r = lr_password_encrypt(out.data(), out.size(), src.data(), src.size(),
                                              packet->secret, packet->vector);
        if (r >= 0)
            advance(pvp);
        return {r, false};
    }

    if (da->encrypt == LR_ENCRYPT_TUNNEL_PASSWORD) {
        const size_t t = has_tag(da) ? 1 : 0;
        if (out.size() < 18 + t) {
            advance(pvp);
            return {0, true};
        }
        // RFC 2868 §3.5: the Request Authenticator of the request; requests that carry their
        // own MD5 authenticator hide with their own (zeroed) vector.
        const uint8_t *vector = nullptr;
        if (has_zero_vector_request(packet->code)) {
            vector = packet->vector;
        } else if (original) {
            vector = original->vector;
        } else {
            lr_strerror_printf("ERROR: No request packet, cannot encrypt %s attribute in the vp.",
                               da->name);
            return {-QNE_REQUEST_REQUIRED, false};
        }
        OctetWriter w(out);
        if (t)
            w.u8(static_cast<uint8_t>(vp->tag));
        std::span<uint8_t> rest = w.buffer().subspan(t);
        const ssize_t r = lr_tunnelpw_encrypt(rest.data(), rest.size(), whole.data(), whole.size(),
                                              packet->secret, vector);
        if (r < 0)
            return {r, false};
        advance(pvp);
        return {static_cast<ssize_t>(t) + r, false};
    }

    OctetWriter w(out);
    if (has_tag(da) && vp->tag >= 0 && vp->tag <= kMaxTag) {
        if (da->type == QN_TYPE_STRING) {
            if (!out.empty()) {
                w.u8(static_cast<uint8_t>(vp->tag));
                w.bytes(src.first(std::min(src.size(), w.remaining())));
            }
            advance(pvp);
            return {static_cast<ssize_t>(w.position()), false};
        }
        if (da->type == QN_TYPE_INTEGER) {
            // RFC 2868 §3.1: the tag takes the place of the high octet.
            scratch[0] = static_cast<uint8_t>(vp->tag);
        }
    }
    w.bytes(src);
    advance(pvp);
    return {static_cast<ssize_t>(w.position()), false};
}

// Writes Type k, Length and the value of the pair under the cursor.
ssize_t vp2attr_rfc(const lr_packet *packet, const lr_packet *original, const lr_value_pair **pvp,
                    unsigned k, uint8_t *start, size_t room)
{
    if (room < 2) {
        advance(pvp);
        return 0;
    }
    OctetWriter w(start, room);
    w.u8(static_cast<uint8_t>(k));
    w.u8(2);
    std::span<uint8_t> value = w.reserve(std::min(room - 2, kMaxAttrValue));
    const ValueResult r = vp2data_any(packet, original, pvp, value);
    if (r.n < 0)
        return r.n;
    if (r.skipped)
        return 0;
    w.patch_u8(1, static_cast<uint8_t>(2 + r.n));
    return 2 + r.n;
}

// RFC 2865 §5.3 / RFC 1994: replaces a clear-text CHAP-Password by identifier and
// MD5(identifier, password, challenge).
ssize_t lr_chap2rfc(const lr_packet *packet, const lr_packet *original, const lr_value_pair **pvp,
                    uint8_t *start, size_t room)
{
    const lr_value_pair *vp = *pvp;
    if (vp->da->vendor != 0 || vp->da != &lr_dict_attrs[kChapPassword]) {
        lr_strerror_printf("lr_chap2rfc called with non-CHAP");
        return -QNE_INVAL;
    }
    lr_value_pair response{};
    response.da = &lr_dict_attrs[kChapPassword];
    response.length = 17;
    response.value[0] = static_cast<uint8_t>(lr_rand());

    const auto *pw = reinterpret_cast<const char *>(vp->value);
    const size_t pw_len = strnlen(pw, kMaxAttrValue);
    std::span<const uint8_t> challenge(packet->vector, LR_AUTH_VECTOR_LENGTH);
    if (const lr_value_pair *c = lr_vps_find(packet->vps, kChapChallenge, 0)) {
        challenge = {c->value, std::min(c->length, kMaxAttrValue)};
    }
    Md5 md5;
    md5.update({response.value, 1});
    md5.update({vp->value, pw_len});
    md5.update(challenge);
    md5.final(std::span<uint8_t, 16>(response.value + 1, 16));

    const lr_value_pair *cursor = &response;
    const ssize_t r = vp2attr_rfc(packet, original, &cursor, kChapPassword, start, room);
    if (r >= 0)
        advance(pvp);
    return r;
}

// A CHAP-Password of 17 octets with a control octet in it is a computed response
// (identifier and digest); anything else is a clear-text password.
bool is_chap_response(const lr_value_pair *vp)
{
    if (vp->length != 17)
        return false;
    return std::any_of(vp->value, vp->value + 17, [](uint8_t c) { return c < 0x20; });
}

}  // namespace

extern "C" {

ssize_t lr_vp2rfc(const lr_packet *packet, const lr_packet *original, const lr_value_pair **pvp,
                  uint8_t *start, size_t room)
{
    const lr_value_pair *vp = *pvp;
    if (vp->da->vendor != 0) {
        lr_strerror_printf("lr_vp2rfc called with VSA");
        return -QNE_INVAL;
    }
    if (vp->da->attr == 0 || vp->da->attr > 255) {
        lr_strerror_printf("lr_vp2rfc called with non-standard attribute %u", vp->da->attr);
        return -QNE_INVAL;
    }
    // RFC 4372: an empty Chargeable-User-Identity is sent to ask for one.
    if (vp->length == 0 && vp->da != &lr_dict_attrs[kChargeableUserIdentity]) {
        advance(pvp);
        return 0;
    }
    return vp2attr_rfc(packet, original, pvp, vp->da->attr, start, room);
}

ssize_t lr_vp2vsa(const lr_packet *packet, const lr_packet *original, const lr_value_pair **pvp,
                  uint8_t *start, size_t room)
{
    const lr_value_pair *vp = *pvp;
    const lr_dict_attr *da = vp->da;
    if (da->vendor > LR_MAX_VENDOR) {
        lr_strerror_printf("lr_vp2vsa: Invalid arguments");
        return -QNE_INVAL;
    }
    if (room <= 5) {
        advance(pvp);
        return 0;
    }
    OctetWriter w(start, room);
    w.u8(kVendorSpecific);
    w.u8(6);
    w.u32be(da->vendor);
    std::span<uint8_t> sub = w.reserve(std::min(room - 6, kMaxVsaData));

    ssize_t sub_len = 0;
    const lr_dict_vendor *dv = lr_dict_vendor_byvalue(da->vendor);
    if (!dv || (dv->type == 1 && dv->length == 1)) {
        // RFC 2865 §5.26 recommended form: 1-octet type, 1-octet length.
        sub_len = vp2attr_rfc(packet, original, pvp, da->attr & 0xff, sub.data(), sub.size());
        if (sub_len < 0)
            return sub_len;
    } else {
        OctetWriter h(sub);
        switch (dv->type) {
            case 1:
                h.u8(static_cast<uint8_t>(da->attr));
                break;
            case 2:
                h.u16be(static_cast<uint16_t>(da->attr));
                break;
            case 4:
                h.u8(0), h.u24be(da->attr);
                break;
            default:
                lr_strerror_printf("vp2attr_vsa: Internal sanity check failed, type %u",
                                   static_cast<unsigned>(dv->type));
                return -QNE_INTERNAL;
        }
        switch (dv->length) {
            case 0:
                break;
            case 1:
                h.u8(static_cast<uint8_t>(dv->type + 1));
                break;
            case 2:
                h.u8(0), h.u8(static_cast<uint8_t>(dv->type + 2));
                break;
            default:
                lr_strerror_printf("vp2attr_vsa: Internal sanity check failed, length %u",
                                   static_cast<unsigned>(dv->length));
                return -QNE_INTERNAL;
        }
        if (!h.ok()) {  // the sub-room is smaller than the vendor's header
            advance(pvp);
            return 0;
        }
        const size_t hdr = h.position();
        const ValueResult r = vp2data_any(packet, original, pvp, h.reserve(h.remaining()));
        if (r.n < 0)
            return r.n;
        if (r.skipped)
            return 0;
        if (dv->length)
            h.patch_u8(hdr - 1, static_cast<uint8_t>(hdr + r.n));
        sub_len = static_cast<ssize_t>(hdr) + r.n;
    }
    if (sub_len == 0)
        return 0;
    w.patch_u8(1, static_cast<uint8_t>(6 + sub_len));
    return 6 + sub_len;
}

ssize_t lr_vp2attr(const lr_packet *packet, const lr_packet *original, const lr_value_pair **pvp,
                   uint8_t *start, size_t room)
{
    const lr_value_pair *vp = *pvp;
    if (vp->da->vendor != 0)
        return lr_vp2vsa(packet, original, pvp, start, room);
    if (vp->da->attr > 255) {
        advance(pvp);
        return 0;
    }
    // Any standard attribute 80 is written as the placeholder, also a raw pair decoded from a
    // malformed one: what goes out must be the 18 octets lr_packet_sign fills in.
    if (vp->da->attr == kAttrMessageAuthenticator) {
        const lr_value_pair *cursor = &fake_ma;
        const ssize_t r = lr_vp2rfc(packet, original, &cursor, start, room);
        if (r >= 0)
            advance(pvp);
        return r;
    }
    if (vp->da == &lr_dict_attrs[kChapPassword] && !is_chap_response(vp)) {
        return lr_chap2rfc(packet, original, pvp, start, room);
    }
    return lr_vp2rfc(packet, original, pvp, start, room);
}

}  // extern "C"
