// Fuzz target: the input is the octets of a received RADIUS packet. Everything the library does
// with received octets runs over it: the structural check, verification against a request,
// decoding, walking, lr_attr2data and the vendor sub-attribute check. The decoded pairs are then
// encoded and signed again, and what the codec writes must pass its own checks.
//
// Findings are crashes and sanitizer reports, plus these properties (a trap when broken):
//  - verification leaves the octets exactly as they were;
//  - a packet our encoder and signer produced is well formed and verifies.
#include <quelna/codec.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char kSecret[] = "fuzzing-secret";

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// The request each response code answers; 0 for codes that answer nothing.
unsigned request_for(unsigned code)
{
    switch (code) {
        case 2:
        case 3:
        case 11:
            return 1;
        case 5:
            return 4;
        case 41:
        case 42:
            return 40;
        case 44:
        case 45:
            return 43;
        default:
            return 0;
    }
}

// Reads every octet it is given, so that the sanitizer checks the bounds the walk hands out.
int touch(void *ctx, const lr_dict_attr *da, const uint8_t *data, size_t len)
{
    unsigned sum = 0;
    for (size_t i = 0; i < len; i++)
        sum += data[i];
    if (da->name)
        sum += static_cast<unsigned char>(da->name[0]);
    *static_cast<unsigned *>(ctx) += sum;
    return sum == 0xdeadbeef ? -1 : 0;
}

void set_up(lr_packet *pkt, uint8_t *data, size_t size)
{
    *pkt = lr_packet{};
    pkt->data = data;
    pkt->data_size = size;
    pkt->length = size;
    pkt->secret = kSecret;
    pkt->secret_len = sizeof kSecret - 1;
}

// Encodes the pairs again (code and original as decoded) and checks what comes out.
void reencode(lr_value_pair *vps, unsigned code, const lr_packet *original)
{
    static uint8_t out[4096];
    lr_packet again;
    const lr_packet *orig = request_for(code) ? original : nullptr;
    if (lr_packet_init(&again, orig, kSecret, static_cast<int>(code), out, sizeof out) != 0)
        return;
    again.vps = vps;
    if (lr_packet_sign(&again, orig) != 0)
        return;
    check(again.length <= sizeof out);
    check(lr_packet_ok_raw(out, again.length) == 0);
    lr_packet rx;
    set_up(&rx, out, again.length);
    check(lr_packet_verify(&rx, orig) == 0);
    lr_packet_decode(&rx, orig);
    lr_vp_free(&rx.vps);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Nearly every input is refused with a codec message; echoed, they would flood the log.
    lr_strerror_echo(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    // An exact-size heap copy, so that a read one past the end is a sanitizer report.
    std::vector<uint8_t> buf(input, input + size);
    uint8_t *data = buf.empty() ? nullptr : buf.data();

    lr_packet_ok_raw(data, size);
    if (size < 20)
        return 0;

    // The request the octets would answer: same identifier, code that allows this response.
    static uint8_t orig_buf[20];
    lr_packet original{};
    original.code = request_for(data[0]) ? request_for(data[0]) : 1;
    original.id = data[1];
    original.secret = kSecret;
    original.secret_len = sizeof kSecret - 1;
    original.data = orig_buf;
    original.data_size = sizeof orig_buf;
    for (int i = 0; i < 16; i++)
        original.vector[i] = static_cast<uint8_t>(i * 17 + 3);

    lr_packet pkt;
    set_up(&pkt, data, size);
    lr_packet_verify(&pkt, &original);
    check(std::memcmp(data, input, size) == 0);
    set_up(&pkt, data, size);
    lr_packet_verify(&pkt, nullptr);
    check(std::memcmp(data, input, size) == 0);

    unsigned sum = 0;
    set_up(&pkt, data, size);
    lr_packet_walk(&pkt, &sum, touch);

    if (lr_packet_ok_raw(data, size) == 0) {
        for (unsigned attr : {1u, 26u, 79u, static_cast<unsigned>(data[size - 1])}) {
            for (unsigned vendor : {0u, 311u, 4242u, 8164u}) {
                ssize_t at = 0;
                const uint8_t *value = nullptr;
                size_t len = 0;
                for (int n = 0; n < 300; n++) {
                    at = lr_attr2data(&pkt, at, attr, vendor, &value, &len);
                    if (at <= 0)
                        break;
                    check(value >= data && value + len <= data + size);
                }
            }
        }
    }
    for (size_t t : {1u, 2u, 4u}) {
        for (size_t l : {0u, 1u, 2u})
            lr_tlv_ok(data + 20, size - 20, t, l);
    }

    set_up(&pkt, data, size);
    if (lr_packet_decode(&pkt, &original) == 0) {
        for (const lr_value_pair *vp = pkt.vps; vp; vp = vp->next) {
            check(vp->da != nullptr && vp->length <= LR_MAX_VALUE_LENGTH);
        }
        reencode(pkt.vps, pkt.code, &original);
    }
    lr_vp_free(&pkt.vps);
    return 0;
}
