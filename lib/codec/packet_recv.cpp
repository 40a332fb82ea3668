// The receiving half of the packet layer: the structural check of received octets, the
// verification of a response against its request (RFC 2865 §3, RFC 2866 §3, RFC 3579 §3.2,
// RFC 5176 §3.5), decoding into pairs and walking the attributes.
//
// Received octets are hostile. Once lr_packet_ok_raw has passed, the attributes tile the octets
// up to the header's length exactly; everything after that length is ignored here too.
#include <event2/util.h>
#include <quelna/codec.h>

#include <cstring>

#include "octets.h"
#include "packet_int.h"

using namespace quelna::codec;

namespace {

// The packet as its header's length field says (lr_packet_ok has checked that it fits).
std::span<uint8_t> checked_octets(const lr_packet *packet)
{
    const size_t len = load_be16(std::span<const uint8_t, 2>(packet->data + 2, 2));
    return {packet->data, std::min(len, packet->length)};
}

// Calls fn(offset, type, length) for each attribute of a checked packet; a negative result
// stops the walk and is returned.
template <typename Fn>
int for_each_attribute(std::span<const uint8_t> pkt, Fn &&fn)
{
    OctetReader r(pkt);
    r.skip(kHeaderLen);
    while (!r.empty()) {
        const size_t pos = r.position();
        uint8_t type = 0, len = 0;
        if (!r.u8(type) || !r.u8(len) || len < 2 || !r.skip(len - 2u)) {
            return -QNE_INTERNAL;  // not reached on a checked packet
        }
        const int rc = fn(pos, type, len);
        if (rc < 0)
            return rc;
    }
    return 0;
}

// The HMAC-MD5 of the packet with the Message-Authenticator value zeroed and the authenticator
// field holding vector; the octets are restored afterwards.
void message_authenticator(std::span<uint8_t> pkt, size_t value_off, const uint8_t *vector,
                           const lr_packet *keyholder, uint8_t *out)
{
    uint8_t saved_value[kVectorLen], saved_field[kVectorLen];
    uint8_t *value = pkt.data() + value_off;
    uint8_t *field = pkt.data() + kVectorOffset;
    std::memcpy(saved_value, value, kVectorLen);
    std::memcpy(saved_field, field, kVectorLen);
    std::memset(value, 0, kVectorLen);
    if (vector)
        std::memcpy(field, vector, kVectorLen);
    lr_hmac_md5(pkt.data(), pkt.size(), key_octets(keyholder->secret), keyholder->secret_len, out);
    std::memcpy(value, saved_value, kVectorLen);
    std::memcpy(field, saved_field, kVectorLen);
}

// Resolves the descriptor of one walked attribute and hands it to the caller's function.
int do_callback(void *ctx, lr_walk_func fn, unsigned attr, unsigned vendor,
                std::span<const uint8_t> value)
{
    const lr_dict_attr *da = lr_dict_attr_byvalue(attr, vendor);
    lr_dict_attr tmp;
    char name[LR_RAW_NAME_SIZE];
    if (!da || (da->length != 0 && da->length != value.size())) {
        const int r = lr_dict_attr_2struct(&tmp, attr, vendor, name, sizeof name);
        if (r < 0)
            return r;
        da = &tmp;
    }
    const int r = fn(ctx, da, value.data(), value.size());
    return r > 0 ? 0 : r;
}

}  // namespace

extern "C" {

int lr_packet_ok_raw(const void *data, size_t size)
{
    if (!data || size < kHeaderLen) {
        lr_strerror_printf("Invalid argument");
        return -QNE_INVAL;
    }
    OctetReader r(static_cast<const uint8_t *>(data), size);
    uint16_t len = 0;
    r.skip(2);
    r.u16be(len);
    if (len < kHeaderLen) {
        lr_strerror_printf("Packet length is too small");
        return -QNE_PACKET_TOO_SMALL;
    }
    if (len > size) {
        lr_strerror_printf("Packet length overflows received data");
        return -QNE_PACKET_TOO_LARGE;
    }
    OctetReader attrs(static_cast<const uint8_t *>(data) + kHeaderLen, len - kHeaderLen);
    while (!attrs.empty()) {
        uint8_t alen = 0;
        if (attrs.remaining() < 2) {
            lr_strerror_printf("Attribute overflows packet");
            return -QNE_ATTR_OVERFLOW;
        }
        attrs.skip(1);
        attrs.u8(alen);
        if (alen < 2) {
            lr_strerror_printf("Attribute length is too small");
            return -QNE_ATTR_TOO_SMALL;
        }
        if (!attrs.skip(alen - 2u)) {
            lr_strerror_printf("Attribute length is too large");
            return -QNE_ATTR_TOO_LARGE;
        }
    }
    return 0;
}

int lr_packet_ok(lr_packet *packet)
{
    if (!packet)
        return -QNE_INVAL;
    if (packet->flags & LR_PACKET_OK)
        return 0;
    const int r = lr_packet_ok_raw(packet->data, packet->length);
    if (r < 0)
        return r;
    packet->flags |= LR_PACKET_OK;
    return 0;
}

int lr_packet_verify(lr_packet *packet, const lr_packet *original)
{
    if (!packet || !packet->data || !packet->secret) {
        lr_strerror_printf("Invalid argument");
        return -QNE_INVAL;
    }
    if (packet->flags & LR_PACKET_VERIFIED)
        return 0;
    int r = lr_packet_ok(packet);
    if (r < 0)
        return r;

    const std::span<uint8_t> pkt = checked_octets(packet);
    const unsigned code = pkt[0];
    if (original) {
        if (original->code > LR_MAX_PACKET_CODE) {
            lr_strerror_printf("Invalid original code %u", original->code);
            return -QNE_INVALID_REQ_CODE;
        }
        if (pkt[1] != static_cast<unsigned>(original->id)) {
            lr_strerror_printf("Ignoring response with wrong ID %u", pkt[1]);
            return -QNE_INVALID_RESP_ID;
        }
        if (!is_allowed_response(original->code, code)) {
            lr_strerror_printf("Ignoring response with wrong code %u", code);
            return -QNE_INVALID_RESP_CODE;
        }
        if (std::memcmp(&packet->src, &original->dst, sizeof packet->src) != 0 &&
            evutil_sockaddr_cmp(reinterpret_cast<const sockaddr *>(&packet->src),
                                reinterpret_cast<const sockaddr *>(&original->dst), 1) != 0) {
            lr_strerror_printf("Ignoring response from wrong IP/port");
            return -QNE_INVALID_RESP_SRC;
        }
    } else if (!is_request_code(code)) {
        lr_strerror_printf("Ignoring response without original");
        return -QNE_INVALID_RESP_CODE;
    }
    const lr_packet *keyholder = original ? original : packet;
    const uint8_t zeros[kVectorLen] = {};

    // RFC 3579 §3.2 / RFC 5176 §3.5: what octets 4..19 hold under the HMAC.
    const uint8_t *ma_vector = nullptr;  // leave the field as received
    if (is_access_response(code)) {
        ma_vector = original ? original->vector : zeros;
    } else if (code == kAccountingRequest || code == kAccountingResponse ||
               (code >= kDisconnectRequest && code <= kCoaNak)) {
        ma_vector = zeros;
    }
    r = for_each_attribute(pkt, [&](size_t pos, uint8_t type, uint8_t len) {
        if (type != kAttrMessageAuthenticator)
            return 0;
        if (len != kMessageAuthLen) {
            lr_strerror_printf("Message-Authenticator has invalid length");
            return -QNE_MSG_AUTH_LEN;
        }
        uint8_t expected[kVectorLen];
        message_authenticator(pkt, pos + 2, ma_vector, keyholder, expected);
        if (!equal16(expected, pkt.data() + pos + 2)) {
            lr_strerror_printf("Invalid Message-Authenticator");
            return -QNE_MSG_AUTH_WRONG;
        }
        return 0;
    });
    if (r < 0)
        return r;

    if (!has_random_vector(code)) {
        uint8_t saved[kVectorLen], expected[kVectorLen];
        uint8_t *field = pkt.data() + kVectorOffset;
        std::memcpy(saved, field, kVectorLen);
        std::memcpy(field, original ? original->vector : zeros, kVectorLen);
        md5_authenticator(pkt, keyholder->secret, keyholder->secret_len, expected);
        std::memcpy(field, saved, kVectorLen);
        if (!equal16(expected, saved)) {
            lr_strerror_printf("Invalid authentication vector");
            return -QNE_AUTH_VECTOR_WRONG;
        }
    }
    packet->flags |= LR_PACKET_VERIFIED;
    return 0;
}

int lr_packet_decode(lr_packet *packet, const lr_packet *original)
{
    if (!packet)
        return -QNE_INVAL;
    if (packet->flags & LR_PACKET_DECODED)
        return 0;
    const int ok = lr_packet_ok(packet);
    if (ok < 0)
        return ok;

    const std::span<uint8_t> pkt = checked_octets(packet);
    packet->vps = nullptr;
    lr_value_pair **tail = &packet->vps;
    int count = 0;
    const int r = for_each_attribute(pkt, [&](size_t pos, uint8_t, uint8_t) {
        lr_value_pair *vp = nullptr;
        const ssize_t n = lr_attr2vp(packet, original, pkt.data() + pos, pkt.size() - pos, &vp);
        if (n < 0)
            return static_cast<int>(n);
        // A Vendor-Specific attribute may give a chain of pairs, one per sub-attribute.
        for (*tail = vp; vp; vp = vp->next) {
            tail = &vp->next;
            if (++count > LR_MAX_ATTRIBUTES) {
                lr_strerror_printf("Too many attributes");
                return -QNE_TOO_MANY_ATTRS;
            }
        }
        return 0;
    });
    if (r < 0) {
        lr_vp_free(&packet->vps);
        return r;
    }
    packet->code = pkt[0];
    packet->id = pkt[1];
    std::memcpy(packet->vector, pkt.data() + kVectorOffset, kVectorLen);
    packet->flags |= LR_PACKET_DECODED;
    return 0;
}

int lr_packet_walk(lr_packet *packet, void *ctx, lr_walk_func callback)
{
    if (!packet || !callback)
        return -QNE_INVAL;
    const int ok = lr_packet_ok(packet);
    if (ok < 0)
        return ok;

    const std::span<uint8_t> pkt = checked_octets(packet);
    return for_each_attribute(pkt, [&](size_t pos, uint8_t type, uint8_t len) {
        const std::span<const uint8_t> value = pkt.subspan(pos + 2, len - 2u);
        if (type == 26 && len >= 6) {
            const uint32_t vendor = load_be32(value.first<4>());
            const lr_dict_vendor *dv = lr_dict_vendor_byvalue(vendor);
            const size_t t = dv ? dv->type : 1, l = dv ? dv->length : 1;
            const std::span<const uint8_t> run = value.subspan(4);
            if (lr_tlv_ok(run.data(), run.size(), t, l) == 0) {
                return for_each_vendor_sub(run, t, l, [&](uint32_t attr, auto sub) {
                    return do_callback(ctx, callback, attr, vendor, sub);
                });
            }
        }
        return do_callback(ctx, callback, type, 0, value);
    });
}

}  // extern "C"
