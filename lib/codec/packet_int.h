// Packet codes, the allowed-response table and the authenticator helpers shared by the sending
// (packet.cpp) and receiving (packet_recv.cpp) halves of the packet layer.
#ifndef QUELNA_CODEC_PACKET_INT_H
#define QUELNA_CODEC_PACKET_INT_H

#include <quelna/codec.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quelna::codec {

// RFC 2865, 2866, 5176, 5997 packet codes.
inline constexpr unsigned kAccessRequest = 1;
inline constexpr unsigned kAccessAccept = 2;
inline constexpr unsigned kAccessReject = 3;
inline constexpr unsigned kAccountingRequest = 4;
inline constexpr unsigned kAccountingResponse = 5;
inline constexpr unsigned kAccessChallenge = 11;
inline constexpr unsigned kStatusServer = 12;
inline constexpr unsigned kDisconnectRequest = 40;
inline constexpr unsigned kDisconnectAck = 41;
inline constexpr unsigned kDisconnectNak = 42;
inline constexpr unsigned kCoaRequest = 43;
inline constexpr unsigned kCoaAck = 44;
inline constexpr unsigned kCoaNak = 45;

inline constexpr unsigned kAttrChapPassword = 3;
inline constexpr unsigned kAttrEapMessage = 79;
inline constexpr unsigned kAttrMessageAuthenticator = 80;
inline constexpr size_t kHeaderLen = 20;
inline constexpr size_t kVectorOffset = 4;
inline constexpr size_t kVectorLen = LR_AUTH_VECTOR_LENGTH;
inline constexpr size_t kMessageAuthLen = 18;  // type, length, 16-octet HMAC-MD5

constexpr uint64_t code_bit(unsigned code)
{
    return code < 64 ? uint64_t{1} << code : 0;
}

// Bit c of entry r: code c answers a request of code r. A request code has a non-zero entry.
inline constexpr auto allowed_responses = [] {
    std::array<uint64_t, LR_MAX_PACKET_CODE + 1> t{};
    t[kAccessRequest] =
        code_bit(kAccessAccept) | code_bit(kAccessReject) | code_bit(kAccessChallenge);
    t[kAccountingRequest] = code_bit(kAccountingResponse);
    t[kStatusServer] = code_bit(kAccessAccept) | code_bit(kAccessReject) |
                       code_bit(kAccountingResponse) | code_bit(kAccessChallenge);
    t[kDisconnectRequest] = code_bit(kDisconnectAck) | code_bit(kDisconnectNak);
    t[kCoaRequest] = code_bit(kCoaAck) | code_bit(kCoaNak);
    return t;
}();

constexpr uint64_t responses_to(unsigned request)
{
    return request <= LR_MAX_PACKET_CODE ? allowed_responses[request] : 0;
}
constexpr bool is_request_code(unsigned code)
{
    return responses_to(code) != 0;
}
constexpr bool is_allowed_response(unsigned request, unsigned response)
{
    return (responses_to(request) & code_bit(response)) != 0;
}
/** Access-Request and Status-Server carry a random authenticator that is never recomputed. */
constexpr bool has_random_vector(unsigned code)
{
    return code == kAccessRequest || code == kStatusServer;
}
/** Responses whose authenticators are computed over the request's authenticator. */
constexpr bool is_access_response(unsigned code)
{
    return code == kAccessAccept || code == kAccessReject || code == kAccessChallenge;
}
/** Requests whose authenticator is MD5 over the packet with a zeroed field (RFC 2866, 5176). */
constexpr bool has_zero_vector_request(unsigned code)
{
    return code == kAccountingRequest || code == kDisconnectRequest || code == kCoaRequest;
}

/** Compares two 16-octet values in time independent of where they differ. */
inline bool equal16(const uint8_t *a, const uint8_t *b)
{
    uint8_t diff = 0;
    for (size_t i = 0; i < kVectorLen; i++)
        diff |= static_cast<uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}

/** MD5(packet octets, secret) into out: the RFC 2865 §3 / RFC 2866 §3 authenticator. */
void md5_authenticator(std::span<const uint8_t> packet, const char *secret, size_t secret_len,
                       uint8_t *out);

/** The secret as HMAC key octets; an absent secret is the empty key. */
inline const uint8_t *key_octets(const char *secret)
{
    return reinterpret_cast<const uint8_t *>(secret ? secret : "");
}

}  // namespace quelna::codec

#endif  // QUELNA_CODEC_PACKET_INT_H
