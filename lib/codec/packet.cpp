// The sending half of the packet layer: setting a packet up over a caller's buffer, writing its
// pair list as attributes, appending raw attributes, and signing (RFC 2865 §3, RFC 2866 §3,
// RFC 3579 §3.2, RFC 5176 §3.5). Nothing here allocates.
#include <openssl/crypto.h>
#include <quelna/codec.h>

#include <algorithm>
#include <cstring>

#include "md5.h"
#include "octets.h"
#include "packet_int.h"

using namespace quelna::codec;

namespace quelna::codec {

void md5_authenticator(std::span<const uint8_t> packet, const char *secret, size_t secret_len,
                       uint8_t *out)
{
    Md5 md5;
    md5.update(packet);
    if (secret)
        md5.update(secret, secret_len);
    md5.final(out);
}

}  // namespace quelna::codec

namespace {

// Decides whether the packet's code may be encoded, and takes the request's identifier for a
// response.
int can_encode_packet(lr_packet *packet, const lr_packet *original)
{
    if (packet->code == 0 || packet->code > LR_MAX_PACKET_CODE ||
        (original && original->code > LR_MAX_PACKET_CODE)) {
        lr_strerror_printf("Cannot send unknown packet code");
        return -QNE_INVALID_REQ_CODE;
    }
    if (lr_packet_codes[packet->code][0] == '\0') {
        lr_strerror_printf("Cannot handle packet code %u", packet->code);
        return -QNE_INVALID_REQ_CODE;
    }
    if (packet->data_size < kHeaderLen) {
        lr_strerror_printf("The buffer is too small to encode the packet");
        return -QNE_PACKET_TOO_SMALL;
    }
    if (original) {
        if (!is_allowed_response(original->code, packet->code)) {
            lr_strerror_printf("Cannot encode response %u to packet %u", packet->code,
                               original->code);
            return -QNE_INVALID_RESP_CODE;
        }
        packet->id = original->id;
    } else if (!is_request_code(packet->code)) {
        lr_strerror_printf("Cannot encode response %u without original", packet->code);
        return -QNE_REQUEST_REQUIRED;
    }
    return 0;
}

void encode_header(lr_packet *packet)
{
    OctetWriter w(packet->data, kHeaderLen);
    w.u8(static_cast<uint8_t>(packet->code));
    w.u8(static_cast<uint8_t>(packet->id));
    w.u16be(kHeaderLen);
    if (has_random_vector(packet->code)) {
        lr_rand_bytes(packet->vector, kVectorLen);
    } else {
        std::memset(packet->vector, 0, kVectorLen);
    }
    w.bytes(packet->vector);
    packet->length = kHeaderLen;
    packet->flags |= LR_PACKET_HEADER;
}

void write_length(lr_packet *packet)
{
    store_be16(std::span<uint8_t, 2>(packet->data + 2, 2), static_cast<uint16_t>(packet->length));
}

// Offset of the first Message-Authenticator of the encoded octets, or 0.
size_t find_message_authenticator(const lr_packet *packet)
{
    OctetReader r(packet->data, packet->length);
    r.skip(kHeaderLen);
    while (!r.empty()) {
        const size_t pos = r.position();
        uint8_t type = 0, len = 0;
        if (!r.u8(type) || !r.u8(len) || len < 2)
            break;
        if (type == kAttrMessageAuthenticator)
            return len == kMessageAuthLen ? pos : 0;
        if (!r.skip(len - 2u))
            break;
    }
    return 0;
}

// Puts the Message-Authenticator placeholder right after the header, moving the attributes
// up to end behind it, when the buffer has room; answers its offset, or 0. Access-Request and
// Status-Server carry it first, as the advice on CVE-2024-3596 has it: a server finds it at
// once and can check the packet before it reads any other attribute.
size_t insert_message_authenticator(lr_packet *packet, size_t end)
{
    if (end > packet->data_size || packet->data_size - end < kMessageAuthLen)
        return 0;
    uint8_t *first = packet->data + kHeaderLen;
    std::memmove(first + kMessageAuthLen, first, end - kHeaderLen);
    OctetWriter w(first, kMessageAuthLen);
    w.u8(kAttrMessageAuthenticator);
    w.u8(kMessageAuthLen);
    w.zeros(kVectorLen);
    return kHeaderLen;
}

// EAP-Message values longer than one attribute are split over consecutive attributes of at
// most 253 value octets each (RFC 3579 §3.1).
int append_eap_message(lr_packet *packet, std::span<const uint8_t> value)
{
    OctetWriter w(packet->data + packet->length, packet->data_size - packet->length);
    while (!value.empty()) {
        const size_t n = std::min(value.size(), size_t{LR_MAX_VALUE_LENGTH});
        if (w.remaining() < n + 2)
            return -QNE_ATTR_OVERFLOW;
        w.u8(kAttrEapMessage);
        w.u8(static_cast<uint8_t>(n + 2));
        w.bytes(value.first(n));
        value = value.subspan(n);
    }
    packet->length += w.position();
    return 0;
}

}  // namespace

extern "C" {

const char *const lr_packet_codes[LR_MAX_PACKET_CODE + 1] = {
    "",
    "Access-Request",
    "Access-Accept",
    "Access-Reject",
    "Accounting-Request",
    "Accounting-Response",
    "",
    "",
    "",
    "",
    "",
    "Access-Challenge",
    "Status-Server",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
    "Disconnect-Request",
    "Disconnect-ACK",
    "Disconnect-NAK",
    "CoA-Request",
    "CoA-ACK",
    "CoA-NAK",
};

int lr_packet_init(lr_packet *packet, const lr_packet *original, const char *secret, int code,
                   void *data, size_t size)
{
    if (code < 0 || code > static_cast<int>(LR_MAX_PACKET_CODE))
        return -QNE_INVALID_REQ_CODE;
    if (!packet || !data || size < kHeaderLen)
        return -QNE_INVAL;
    std::memset(packet, 0, sizeof *packet);
    packet->secret = secret;
    packet->secret_len = secret ? std::strlen(secret) : 0;
    packet->code = static_cast<unsigned>(code);
    packet->data = static_cast<uint8_t *>(data);
    packet->data_size = size;
    const int r = can_encode_packet(packet, original);
    if (r < 0)
        return r;
    encode_header(packet);
    return 0;
}

int lr_packet_encode(lr_packet *packet, const lr_packet *original)
{
    if (packet->flags & LR_PACKET_ENCODED)
        return 0;
    const int r = can_encode_packet(packet, original);
    if (r < 0)
        return r;
    if (!(packet->flags & LR_PACKET_HEADER))
        encode_header(packet);

    size_t pos = kHeaderLen;
    // A packet with a random authenticator gets its Message-Authenticator first, whatever the
    // list says; other packets carry one where their list has it.
    const bool ma_first = has_random_vector(packet->code);
    bool seen_ma = false;
    const lr_value_pair *cursor = packet->vps;
    while (cursor) {
        if (cursor->da->attr == kAttrMessageAuthenticator && cursor->da->vendor == 0) {
            // RFC 3579 §3.2: at most one Message-Authenticator; a second could never verify.
            if (seen_ma || ma_first) {
                cursor = cursor->next;
                continue;
            }
            seen_ma = true;
        }
        const lr_value_pair *before = cursor;
        const ssize_t n =
            lr_vp2attr(packet, original, &cursor, packet->data + pos, packet->data_size - pos);
        if (n < 0)
            return static_cast<int>(n);
        // A skipped pair (empty value, no room for it) costs only that pair: the encoder has
        // moved the cursor on, and the pairs after it are still written where they fit.
        pos += static_cast<size_t>(n);
        if (cursor == before)
            break;  // an encoder that does not advance would loop forever
    }
    if (ma_first && insert_message_authenticator(packet, pos))
        pos += kMessageAuthLen;
    packet->length = pos;
    write_length(packet);
    packet->flags |= LR_PACKET_ENCODED;
    return static_cast<int>(packet->length);
}

int lr_packet_sign(lr_packet *packet, const lr_packet *original)
{
    if (packet->flags & LR_PACKET_SIGNED)
        return 0;
    if (!(packet->flags & LR_PACKET_ENCODED)) {
        const int r = lr_packet_encode(packet, original);
        if (r < 0)
            return r;
    }
    const unsigned code = packet->code;
    // What octets 4..19 hold while the Message-Authenticator is computed (RFC 3579 §3.2,
    // RFC 5176 §3.5), and what they hold under the MD5 authenticator.
    const uint8_t zeros[kVectorLen] = {};
    const uint8_t *ma_vector = packet->vector;
    const uint8_t *md5_vector = packet->vector;
    if (is_access_response(code) || code == kAccountingResponse || code == kDisconnectAck ||
        code == kDisconnectNak || code == kCoaAck || code == kCoaNak) {
        if (!original) {
            lr_strerror_printf("Original packet is required to create the  Message-Authenticator");
            return -QNE_REQUEST_REQUIRED;
        }
        ma_vector = is_access_response(code) ? original->vector : zeros;
        md5_vector = original->vector;
    }
    uint8_t *field = packet->data + kVectorOffset;
    std::memmove(field, ma_vector, kVectorLen);

    size_t ma = find_message_authenticator(packet);
    if (!ma && has_random_vector(code)) {
        ma = insert_message_authenticator(packet, packet->length);
        if (ma)
            packet->length += kMessageAuthLen;
    }
    write_length(packet);
    if (ma) {
        lr_hmac_md5(packet->data, packet->length, key_octets(packet->secret), packet->secret_len,
                    packet->data + ma + 2);
    }
    if (!has_random_vector(code)) {
        std::memmove(field, md5_vector, kVectorLen);
        md5_authenticator({packet->data, packet->length}, packet->secret, packet->secret_len,
                          packet->vector);
    }
    std::memcpy(field, packet->vector, kVectorLen);
    packet->flags |= LR_PACKET_SIGNED;
    packet->attempts = 0;
    return 0;
}

int lr_packet_attr_append(lr_packet *packet, const lr_packet *original, const lr_dict_attr *da,
                          const void *data, size_t len)
{
    if (!packet || !da || !data)
        return -QNE_INVAL;
    if (len == 0) {
        if (da->type != QN_TYPE_STRING)
            return -QNE_ATTR_TOO_SMALL;
        len = std::strlen(static_cast<const char *>(data));
    }
    if (packet->vps)
        return -QNE_INVAL;
    packet->flags |= LR_PACKET_ENCODED;
    if (packet->length > packet->data_size || len + 2 > packet->data_size - packet->length) {
        return -QNE_ATTR_OVERFLOW;
    }
    if (da->length != 0 && da->length != len)
        return -QNE_ATTR_VALUE_MALFORMED;
    const std::span<const uint8_t> value(static_cast<const uint8_t *>(data), len);
    if (da->attr == kAttrEapMessage && da->vendor == 0 && len > LR_MAX_VALUE_LENGTH) {
        return append_eap_message(packet, value);
    }
    if (len > LR_MAX_VALUE_LENGTH)
        return -QNE_ATTR_TOO_LARGE;

    lr_value_pair vp;
    lr_vp_init(&vp, da);
    const int set = lr_vp_set_data(&vp, data, len);
    if (set < 0)
        return set;
    const lr_value_pair *cursor = &vp;
    const ssize_t n = lr_vp2attr(packet, original, &cursor, packet->data + packet->length,
                                 packet->data_size - packet->length);
    OPENSSL_cleanse(vp.value, sizeof vp.value);  // it may hold a password in clear
    if (n > 0)
        packet->length += static_cast<size_t>(n);
    return static_cast<int>(n);
}

}  // extern "C"
