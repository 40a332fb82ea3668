// Fuzz target for the text forms: parsing "name = value" lines, rendering what parses at
// every small buffer size, attribute names, and the hexadecimal dump of arbitrary octets as
// a packet. The input never carries its own terminator; each use copies it with one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quelna/codec.h"
#include "quelna/quelna.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The dump writes to standard output; keep it out of the fuzzer's log, and the codec's
    // messages for refused text too.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    lr_strerror_echo(0);
    return 0;
}

namespace {

void render_everywhere(const lr_value_pair *vp)
{
    // Exact-size heap blocks, so that any write past the size is caught.
    for (size_t size = 0; size <= 600; size += size < 40 ? 1 : 97) {
        auto *buf = static_cast<char *>(std::malloc(size ? size : 1));
        size_t n = lr_vp_snprintf(buf, size, vp);
        if (n >= size && n != 0) std::abort();
        n = lr_vp_snprintf_value(buf, size, vp);
        if (n >= size && n != 0) std::abort();
        std::free(buf);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);

    lr_value_pair *vp = nullptr;
    if (lr_vp_sscanf(text.c_str(), &vp) == 0) {
        render_everywhere(vp);
        // What parses, prints; what prints, parses back to the same value.
        char line[1024];
        if (lr_vp_snprintf(line, sizeof line, vp) > 0) {
            lr_value_pair *back = nullptr;
            if (lr_vp_sscanf(line, &back) != 0) std::abort();
            if (back->length != vp->length ||
                std::memcmp(back->value, vp->value, sizeof vp->value) != 0)
                std::abort();
            lr_vp_free(&back);
        }
        lr_vp_free(&vp);
    }

    unsigned attr = 0, vendor = 0;
    qn_attr_parse_name(text.c_str(), &attr, &vendor);

    // The octets as a packet: Length octets and attribute lengths are whatever came in, and
    // the buffer is exactly the input, so the dump must stay inside it.
    std::vector<uint8_t> octets(data, data + size);
    lr_packet packet{};
    packet.data = octets.empty() ? nullptr : octets.data();
    packet.data_size = octets.size();
    packet.length = size >= 2 ? (size_t{data[0]} << 8 | data[1]) : size;
    packet.flags = size > 0 && (data[size - 1] & 1) ? LR_PACKET_SIGNED : 0;
    lr_packet_print_hex(&packet);
    packet.length = size;
    lr_packet_print_hex(&packet);
    return 0;
}
