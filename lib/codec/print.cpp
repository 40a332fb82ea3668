// Text forms of value pairs ("name = value") and the hexadecimal dump of an encoded packet.
//
// Rendering writes only into the caller's buffer and never past its size; a text that does not
// fit, or a type without a text form, answers 0.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#include "octets.h"
#include "quelna/codec.h"

namespace quelna::codec {
namespace {

/** Octets of the RADIUS header: code, identifier, length, authenticator (RFC 2865 section 3). */
constexpr size_t kHeaderLength = 20;

uint32_t stored_number(const lr_value_pair *vp)
{
    uint32_t n;
    std::memcpy(&n, vp->value, sizeof n);
    return n;
}

/** snprintf that answers the text length, or 0 when the text and its terminator do not fit. */
template <typename... Args>
size_t fitted(char *out, size_t size, const char *fmt, Args... args)
{
    int n = std::snprintf(out, size, fmt, args...);
    if (n < 0 || static_cast<size_t>(n) >= size) return 0;
    return static_cast<size_t>(n);
}

/** "0x" and two lower-case hex digits per octet, or 0 as soon as a piece does not fit. */
size_t print_octets(char *out, size_t size, std::span<const uint8_t> octets)
{
    size_t used = fitted(out, size, "%s", "0x");
    if (used == 0) return 0;
    for (uint8_t octet : octets) {
        if (fitted(out + used, size - used, "%02x", octet) == 0) return 0;
        used += 2;
    }
    return used;
}

}  // namespace
}  // namespace quelna::codec

using namespace quelna::codec;

extern "C" QN_EXPORT size_t lr_vp_snprintf_value(char *out, size_t size, const lr_value_pair *vp)
{
    if (!out || size == 0 || !vp || !vp->da) return 0;

    switch (vp->da->type) {
    case QN_TYPE_STRING: {
        // The text ends at its terminating zero, and never past the value area.
        int len = static_cast<int>(strnlen(reinterpret_cast<const char *>(vp->value),
                                           sizeof vp->value));
        return fitted(out, size, "%.*s", len, reinterpret_cast<const char *>(vp->value));
    }
    case QN_TYPE_INTEGER:
    case QN_TYPE_DATE:
    case QN_TYPE_BYTE:
    case QN_TYPE_SHORT:
        return fitted(out, size, "%u", static_cast<unsigned>(stored_number(vp)));
    case QN_TYPE_IPADDR:
        return fitted(out, size, "%u.%u.%u.%u", vp->value[0], vp->value[1], vp->value[2],
                      vp->value[3]);
    case QN_TYPE_OCTETS: {
        size_t len = vp->length < sizeof vp->value ? vp->length : sizeof vp->value;
        return print_octets(out, size, std::span<const uint8_t>(vp->value, len));
    }
    default:
        return 0;
    }
}

extern "C" QN_EXPORT size_t lr_vp_snprintf(char *out, size_t size, const lr_value_pair *vp)
{
    if (!out || size == 0 || !vp || !vp->da || !vp->da->name) return 0;

    size_t head = fitted(out, size, "%s = ", vp->da->name);
    if (head == 0) return 0;
    size_t value = lr_vp_snprintf_value(out + head, size - head, vp);
    if (value == 0) return 0;
    return head + value;
}

extern "C" QN_EXPORT void lr_vp_fprintf_list(FILE *fp, const lr_value_pair *vp)
{
    if (!fp) return;
    char line[1024];
    for (; vp; vp = vp->next) {
        line[0] = '\0';
        // The line is printed whatever the rendering answered: a pair without a value text
        // shows as its name and " = ".
        lr_vp_snprintf(line, sizeof line, vp);
        std::fprintf(fp, "\t%s\n", line);
    }
}

namespace {

/** Prints the attributes after the header, as far as the octets reach. */
void print_attributes(OctetReader in)
{
    std::printf("  Data:");
    while (!in.empty()) {
        std::printf("\t\t");
        uint8_t type = 0, length = 0;
        if (in.remaining() == 1) {
            in.u8(type);
            std::printf("%02x\n", type);
            return;
        }
        in.peek(1, length);
        // An attribute that runs past the packet end, or whose Length cannot even cover its
        // own two header octets, is shown as the octets that remain, in one row.
        if (in.remaining() < length || length < 2) {
            for (uint8_t octet : in.take(in.remaining())) std::printf("%02x ", octet);
            return;
        }
        in.u8(type);
        in.skip(1);
        std::printf("%02x  %02x  ", type, length);
        auto value = in.take(length - 2u);
        for (size_t i = 0; i < value.size(); i++) {
            if (i > 0 && i % 16 == 0) std::printf("\t\t\t");
            std::printf("%02x ", value[i]);
            if (i % 16 == 15) std::printf("\n");
        }
        if (value.empty() || value.size() % 16 != 0) std::printf("\n");
    }
}

}  // namespace

extern "C" QN_EXPORT int lr_packet_print_hex(const lr_packet *packet)
{
    // A buffer that cannot hold a header has nothing to show.
    if (!packet || !packet->data || packet->data_size < kHeaderLength) return 0;

    // The dump covers the octets in use and never reaches past the buffer, whatever the
    // packet's own Length octets say.
    size_t in_use = packet->length < packet->data_size ? packet->length : packet->data_size;
    OctetReader header(packet->data, kHeaderLength);
    uint8_t code = 0, id = 0;
    uint16_t length = 0;
    header.u8(code);
    header.u8(id);
    header.u16be(length);
    std::printf("  Code:\t\t%u\n", code);
    std::printf("  Id:\t\t%u\n", id);
    std::printf("  Length:\t%u\n", length);
    std::printf("  Vector:\t");
    for (uint8_t octet : header.take(LR_AUTH_VECTOR_LENGTH)) std::printf("%02x", octet);
    std::printf("\n");

    if (!(packet->flags & LR_PACKET_SIGNED))
        std::printf("\t\tWARNING: lr_packet_sign() was not called!\n");

    if (in_use > kHeaderLength)
        print_attributes(OctetReader(packet->data + kHeaderLength, in_use - kHeaderLength));

    std::printf("\n");
    return std::fflush(stdout);
}
