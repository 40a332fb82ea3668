// Attribute decoding: attribute octets into pairs, table-driven (hex -> pair or exact failure),
// the vendor sub-attribute check, lr_attr2data, and round trips through the encoder for every
// value type.
#include <string>
#include <vector>

#include "packet_test_util.h"

namespace quelna::test {
namespace {

const char *const kSecret = "testing123";

struct Decoded {
    ssize_t result;
    lr_value_pair *vp = nullptr;
    Decoded(ssize_t r, lr_value_pair *p) : result(r), vp(p) {}
    Decoded(const Decoded &) = delete;
    ~Decoded() { lr_vp_free(&vp); }
};

Decoded decode(const Bytes &attr, const lr_packet *packet = nullptr,
               const lr_packet *original = nullptr, size_t avail = SIZE_MAX)
{
    static lr_packet dummy{};
    lr_value_pair *vp = reinterpret_cast<lr_value_pair *>(0x1);  // must be overwritten
    const ssize_t r = lr_attr2vp(packet ? packet : &dummy, original, attr.data(),
                                 avail == SIZE_MAX ? attr.size() : avail, &vp);
    return Decoded(r, vp);
}

struct Case {
    const char *octets;
    ssize_t result;
    const char *name;  // null: no pair expected
    size_t length;
    const char *value;  // hex of the first `length` stored octets
    int tag;
    const char *message;  // expected codec message, or null
};

TEST(Decode, AttributesToPairs)
{
    const Case cases[] = {
        {"01 01", -QNE_ATTR_TOO_SMALL, nullptr, 0, "", 0, nullptr},
        {"01 05 61 62", -QNE_ATTR_OVERFLOW, nullptr, 0, "", 0, nullptr},
        {"01 02", 2, nullptr, 0, "", 0, nullptr},
        {"01 05 61 62 63", 5, "User-Name", 3, "61 62 63", 0, nullptr},
        {"59 02", 2, "Chargeable-User-Identity", 1, "00", 0, nullptr},
        {"05 06 00 00 01 00", 6, "NAS-Port", 4, "00 01 00 00", 0, nullptr},  // host order 256
        {"05 05 00 01 00", 5, "Attr-5", 3, "00 01 00", 0, nullptr},
        {"40 06 05 ab cd ef", 6, "Tunnel-Type", 4, "ef cd ab 00", 5, nullptr},
        {"42 06 01 61 62 63", 6, "Tunnel-Client-Endpoint", 3, "61 62 63", 1, nullptr},
        {"42 06 20 61 62 63", 6, "Tunnel-Client-Endpoint", 4, "20 61 62 63", 0, nullptr},
        {"fa 05 01 02 03", 5, "Attr-250", 3, "01 02 03", 0, nullptr},
        {"61 06 00 40 20 01", 6, "Framed-IPv6-Prefix", 4,
         "00 40 20 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 0, nullptr},
        {"61 06 00 81 20 01", 6, "Attr-97", 4, "00 81 20 01", 0, nullptr},
        {"61 03 00", 3, "Attr-97", 1, "00", 0, nullptr},
        {"61 15 00 40 00000000000000000000000000000000 00", 21, "Attr-97", 19, nullptr, 0, nullptr},
        {"60 0a 01 02 03 04 05 06 07 08", 10, "Framed-Interface-Id", 8, "01 02 03 04 05 06 07 08",
         0, nullptr},
        // Vendor-Specific attributes; one decoded raw answers its value length.
        {"1a 09 00 00 10 92 07 03 aa", 9, "Vendor-Specific", 7, "00 00 10 92 07 03 aa", 0, nullptr},
        {"1a 05 00 00 10", 3, "Attr-26", 3, "00 00 10", 0, nullptr},
        {"1a 09 01 00 01 37 01 03 61", 7, "Attr-26", 7, "01 00 01 37 01 03 61", 0, nullptr},
        {"1a 0b 00 00 01 37 01 05 61 62 63", 11, "MS-CHAP-Response", 0, nullptr, 0, nullptr},
        // RFC 2865 §5.26: several sub-attributes give a pair each, in order; an empty one or an
        // unknown vendor's run as today.
        {"1a 15 00 00 01 37 07 06 00 00 00 02 08 05 00 00 06 0a 04 61 62", 21,
         "MS-MPPE-Encryption-Policy Attr-26.311.8 MS-CHAP-Domain", 4, "02 00 00 00", 0, nullptr},
        {"1a 0e 00 00 01 37 0a 03 61 08 02 0a 03 62", -QNE_PACKET_TOO_SMALL, nullptr, 0, "", 0,
         "attr2vp_vsa: Failure to call lr_tlv_ok"},
        {"1a 0d 00 00 10 92 07 03 aa 08 04 bb cc", 13, "Vendor-Specific", 11,
         "00 00 10 92 07 03 aa 08 04 bb cc", 0, nullptr},
        {"1a 09 00 00 01 37 00 03 61", 7, "Attr-26", 7, "00 00 01 37 00 03 61", 0,
         "Invalid attribute 0"},
        {"1a 06 00 00 01 37", -QNE_PACKET_TOO_SMALL, nullptr, 0, "", 0,
         "attr2vp_vsa: Failure to call lr_tlv_ok"},
        {"1a 0d 00 00 1f e4 01 00 00 07 61 62 63", 13, "Attr-26.8164.256", 3, "61 62 63", 0,
         nullptr},
        {"1a 0d 00 00 1f e4 00 02 00 07 61 62 63", 13, "SN-VPN-Name", 3, "61 62 63", 0, nullptr},
        {"1a 0d 00 00 1f e4 00 02 01 07 61 62 63", 11, "Attr-26", 11,
         "00 00 1f e4 00 02 01 07 61 62 63", 0, "Attribute is longer than 256 octets"},
        {"1a 0e 00 00 01 ad 00 00 90 23 00 00 00 05", 14, "USR-Connect-Speed", 4, "05 00 00 00", 0,
         nullptr},
        {"1a 0d 00 00 12 ee 00 02 07 00 00 00 04", 13, "Lucent-Max-Shared-Users", 4, "04 00 00 00",
         0, nullptr},
    };
    for (const Case &c : cases) {
        lr_strerror_printf("-");
        const Decoded d = decode(hex(c.octets));
        EXPECT_EQ(d.result, c.result) << c.octets;
        if (c.message) {
            EXPECT_EQ(last_message(), c.message) << c.octets;
        }
        if (!c.name) {
            EXPECT_EQ(d.vp, nullptr) << c.octets;
            continue;
        }
        ASSERT_NE(d.vp, nullptr) << c.octets;
        std::string names = d.vp->da->name;  // and those of the pairs chained after it
        for (const lr_value_pair *vp = d.vp->next; vp; vp = vp->next)
            names += std::string(" ") + vp->da->name;
        EXPECT_EQ(names, c.name) << c.octets;
        if (c.value) {
            EXPECT_EQ(d.vp->length, c.length) << c.octets;
            const size_t shown = hex(c.value).size();
            EXPECT_EQ(to_hex(d.vp->value, shown), c.value) << c.octets;
        }
        EXPECT_EQ(d.vp->tag, c.tag) << c.octets;
        if (d.vp->da->flags & LR_DICT_FLAG_UNKNOWN) {
            EXPECT_EQ(d.vp->da->type, QN_TYPE_OCTETS);
        }
    }
}

TEST(Decode, HeaderChecksOfEveryEntryPoint)
{
    using Fn = ssize_t (*)(const lr_packet *, const lr_packet *, const uint8_t *, size_t,
                           lr_value_pair **);
    lr_packet pkt{};
    const Bytes ok = hex("1a 08 00 00 00 09 01 02");
    for (Fn fn : {lr_attr2vp, lr_attr2vp_rfc, lr_attr2vp_vsa, lr_attr2vp_raw}) {
        lr_value_pair *vp = nullptr;
        EXPECT_EQ(fn(&pkt, nullptr, ok.data(), 1, &vp), -QNE_PACKET_TOO_SMALL);
        const Bytes one = hex("1a 01");
        EXPECT_EQ(fn(&pkt, nullptr, one.data(), 2, &vp), -QNE_ATTR_TOO_SMALL);
        EXPECT_EQ(fn(&pkt, nullptr, ok.data(), 7, &vp), -QNE_ATTR_OVERFLOW);
        EXPECT_EQ(vp, nullptr);
    }
    lr_value_pair *vp = nullptr;
    const Bytes user = hex("01 03 61");
    EXPECT_EQ(lr_attr2vp_vsa(&pkt, nullptr, user.data(), user.size(), &vp), -QNE_INVAL);
    EXPECT_EQ(last_message(), "lr_attr2vp_vsa: Invalid attribute");
    EXPECT_EQ(lr_attr2vp_raw(&pkt, nullptr, ok.data(), ok.size(), &vp), 6);
    ASSERT_NE(vp, nullptr);
    EXPECT_STREQ(vp->da->name, "Attr-26");
    lr_vp_free(&vp);
}

TEST(Decode, HiddenValues)
{
    // User-Password hidden by our encoder from 17 and 3 octets decodes back.
    for (const std::string pw : {"seventeen-octets!", "abc"}) {
        Packet req;
        ASSERT_EQ(req.init(1, kSecret), 0);
        Pairs pairs;
        pairs.str("User-Password", pw);
        const lr_value_pair *cursor = pairs.head;
        uint8_t out[64];
        const ssize_t n = lr_vp2attr(&req.pkt, nullptr, &cursor, out, sizeof out);
        ASSERT_GT(n, 0);
        const Decoded d = decode(Bytes(out, out + n), &req.pkt);
        ASSERT_NE(d.vp, nullptr);
        EXPECT_STREQ(d.vp->da->name, "User-Password");
        EXPECT_EQ(d.vp->length, pw.size());
        EXPECT_EQ(std::string(reinterpret_cast<char *>(d.vp->value)), pw);
    }
    // Tunnel-Password: raw without the request, text and tag with it.
    Packet req, resp;
    ASSERT_EQ(req.init(1, kSecret), 0);
    ASSERT_EQ(resp.init(2, kSecret, &req.pkt), 0);
    Pairs pairs;
    lr_value_pair *tp = pairs.str("Tunnel-Password", "tunnel");
    tp->tag = 2;
    const lr_value_pair *cursor = tp;
    uint8_t out[64];
    const ssize_t n = lr_vp2attr(&resp.pkt, &req.pkt, &cursor, out, sizeof out);
    ASSERT_EQ(n, 21);
    const Bytes wire(out, out + n);
    const Decoded raw = decode(wire, &resp.pkt, nullptr);
    ASSERT_NE(raw.vp, nullptr);
    EXPECT_STREQ(raw.vp->da->name, "Attr-69");
    EXPECT_EQ(to_hex(raw.vp->value, raw.vp->length), to_hex(Bytes(wire.begin() + 2, wire.end())));
    const Decoded plain = decode(wire, &resp.pkt, &req.pkt);
    ASSERT_NE(plain.vp, nullptr);
    EXPECT_STREQ(plain.vp->da->name, "Tunnel-Password");
    EXPECT_EQ(plain.vp->tag, 2);
    EXPECT_EQ(plain.vp->length, 6u);
    EXPECT_STREQ(reinterpret_cast<char *>(plain.vp->value), "tunnel");
    // MS-MPPE-Recv-Key (RFC 2548 §2.4.3): salt hiding without a tag; the key keeps its zero
    // octets. The octets were computed apart from the codec.
    std::memcpy(req.pkt.vector, hex("0102030405060708090a0b0c0d0e0f10").data(), 16);
    const Bytes mppe = hex("1a 2a 00 00 01 37 11 24 80 01 35 33 dc 2f 33 a5 50 7d 5f e0 0f 10 27"
                           "c7 a9 1c 25 0c d1 52 e7 26 d3 d3 1f a4 25 46 6c fe 14 4a");
    const Decoded key = decode(mppe, &resp.pkt, &req.pkt);
    ASSERT_NE(key.vp, nullptr);
    EXPECT_STREQ(key.vp->da->name, "MS-MPPE-Recv-Key");
    EXPECT_EQ(to_hex(key.vp->value, key.vp->length),
              to_hex(hex("000102030405060708090a0b0c0d0e0f")));
    const Decoded hidden_key = decode(mppe, &resp.pkt, nullptr);
    ASSERT_NE(hidden_key.vp, nullptr);
    EXPECT_STREQ(hidden_key.vp->da->name, "Attr-26.311.17");
    // A hidden User-Password longer than 128 octets cannot be revealed and stays raw.
    const Decoded big = decode(cat(hex("02 92"), Bytes(144, 0x33)), &req.pkt);
    ASSERT_NE(big.vp, nullptr);
    EXPECT_STREQ(big.vp->da->name, "Attr-2");
    EXPECT_EQ(big.vp->length, 144u);
}

TEST(Decode, TlvCheck)
{
    struct Tlv {
        const char *octets;
        size_t t, l;
        int result;
        const char *message;
    } cases[] = {
        {"", 1, 1, 0, nullptr},
        {"01 03 aa 02 02", 1, 1, 0, nullptr},
        {"01 03 aa 02 04 bb", 1, 1, -QNE_ATTR_OVERFLOW, "Attribute overflows container"},
        {"01", 1, 1, -QNE_ATTR_TOO_SMALL, "Attribute header overflow"},
        {"01 01", 1, 1, -QNE_PACKET_TOO_SMALL, "Attribute header has invalid length"},
        {"00 03 aa", 1, 1, -QNE_ATTR_INVALID, "Invalid attribute 0"},
        {"00 00 00 04", 2, 2, -QNE_ATTR_INVALID, "Invalid attribute 0"},
        {"01 00 00 05 aa", 2, 2, 0, nullptr},
        {"01 00 01 05 aa", 2, 2, -QNE_ATTR_TOO_LARGE, "Attribute is longer than 256 octets"},
        {"01 00 00 01 aa bb", 4, 0, -QNE_ATTR_INVALID, "Invalid attribute > 2^24"},
        {"00 00 00 00 aa", 4, 0, -QNE_ATTR_INVALID, "Invalid attribute 0"},
        {"00 00 00 01 aa bb cc", 4, 0, 0, nullptr},
        {"00 00 01 aa", 3, 0, -QNE_INTERNAL, "Internal sanity check failed"},
        {"01 02", 0, 1, -QNE_INVAL, "lr_tlv_ok: Invalid arguments"},
        {"01 02", 1, 3, -QNE_INVAL, "lr_tlv_ok: Invalid arguments"},
    };
    for (const Tlv &c : cases) {
        const Bytes b = hex(c.octets);
        lr_strerror_printf("-");
        EXPECT_EQ(lr_tlv_ok(b.data(), b.size(), c.t, c.l), c.result) << c.octets;
        if (c.message) {
            EXPECT_EQ(last_message(), c.message) << c.octets;
        }
    }
}

TEST(Decode, Attr2DataFindsAttributesInTurn)
{
    Packet p;
    p.receive(hex("01 00 00 28 00000000000000000000000000000000 01 03 61 12 03 78 01 04 62 63"
                  "1a 0a 00 00 10 92 07 04 aa bb"),
              "s");
    ASSERT_EQ(p.pkt.length, 40u);
    const uint8_t *data = nullptr;
    size_t len = 0;
    EXPECT_EQ(lr_attr2data(&p.pkt, 0, 1, 0, &data, &len), 20);
    EXPECT_EQ(to_hex(data, len), "61");
    EXPECT_EQ(lr_attr2data(&p.pkt, 20, 1, 0, &data, &len), 26);
    EXPECT_EQ(to_hex(data, len), "62 63");
    EXPECT_EQ(lr_attr2data(&p.pkt, 26, 1, 0, &data, &len), 0);
    EXPECT_EQ(lr_attr2data(&p.pkt, 0, 7, 4242, &data, &len), 30);
    EXPECT_EQ(to_hex(data, len), "aa bb");
    EXPECT_EQ(lr_attr2data(&p.pkt, 0, 8, 4242, &data, &len), 0);
    EXPECT_EQ(lr_attr2data(&p.pkt, 5, 1, 0, &data, &len), -QNE_INVAL);
    EXPECT_EQ(lr_attr2data(&p.pkt, 38, 1, 0, &data, &len), -QNE_INVAL);
    EXPECT_EQ(lr_attr2data(&p.pkt, -1, 1, 0, &data, &len), -QNE_INVAL);
    EXPECT_EQ(lr_attr2data(nullptr, 0, 1, 0, &data, &len), -QNE_INVAL);
    EXPECT_EQ(lr_attr2data(&p.pkt, 0, 1, 8164, &data, &len), 0);

    Packet ms;  // a known vendor of another format cannot be searched this way
    ms.receive(hex("01 00 00 21 00000000000000000000000000000000 1a 0d 00 00 1f e4 00 02 00 07"
                   "61 62 63"),
               "s");
    EXPECT_EQ(lr_attr2data(&ms.pkt, 0, 2, 8164, &data, &len), -QNE_VENDOR_UNKNOWN);

    Packet vsa;  // the second of three sub-attributes
    vsa.receive(hex("01 00 00 2a 00000000000000000000000000000000"
                    "1a 16 00 00 01 37 07 06 00 00 00 02 08 06 00 00 00 06 0a 04 61 62"),
                "s");
    EXPECT_EQ(lr_attr2data(&vsa.pkt, 0, 8, 311, &data, &len), 20);
    EXPECT_EQ(to_hex(data, len), "00 00 00 06");

    Packet bad;
    bad.receive(hex("01 00 00 17 00000000000000000000000000000000 01 05 61"), "s");
    EXPECT_EQ(lr_attr2data(&bad.pkt, 0, 9, 0, &data, &len), -QNE_ATTR_TOO_LARGE);
    EXPECT_EQ(last_message(), "Attribute length is too large");
}

// Every value type survives encoder -> decoder unchanged.
TEST(Decode, RoundTripEveryType)
{
    const lr_dict_attr kByte = {241, QN_TYPE_BYTE, 0, 0, 0, 1, "Test-Byte"};
    const lr_dict_attr kShort = {242, QN_TYPE_SHORT, 0, 0, 0, 2, "Test-Short"};
    struct Trip {
        const lr_dict_attr *da;
        Bytes stored;
    };
    auto u32 = [](uint32_t v) {
        Bytes b(4);
        std::memcpy(b.data(), &v, 4);
        return b;
    };
    const Trip trips[] = {
        {lr_dict_attr_byname("User-Name"), text("round trip")},
        {lr_dict_attr_byname("Session-Timeout"), u32(0xfedcba98)},
        {lr_dict_attr_byname("Framed-IP-Address"), hex("0a000001")},
        {lr_dict_attr_byname("Event-Timestamp"), u32(1700000000)},
        {lr_dict_attr_byname("Class"), hex("00 ff 10 20")},
        {lr_dict_attr_byname("Framed-Interface-Id"), hex("0011223344556677")},
        {lr_dict_attr_byname("NAS-IPv6-Address"), hex("20010db8000000000000000000000001")},
        {lr_dict_attr_byname("Framed-IPv6-Prefix"),
         hex("00 40 20010db8 00000000 0000000000000000")},
        {lr_dict_attr_byname("Tunnel-Type"), u32(3)},
        {lr_dict_attr_byname("USR-Connect-Speed"), u32(9600)},
        {lr_dict_attr_byname("SN-VPN-Name"), text("vpn")},
        {lr_dict_attr_byname("Lucent-Max-Shared-Users"), u32(4)},
        {&kByte, u32(200)},
        {&kShort, u32(65000)},
    };
    for (const Trip &t : trips) {
        ASSERT_NE(t.da, nullptr);
        Packet p;
        ASSERT_EQ(p.init(1, kSecret), 0);
        lr_value_pair vp;
        lr_vp_init(&vp, t.da);
        std::memcpy(vp.value, t.stored.data(), t.stored.size());
        vp.length = t.stored.size();
        const lr_value_pair *cursor = &vp;
        uint8_t out[300];
        const ssize_t n = lr_vp2attr(&p.pkt, nullptr, &cursor, out, sizeof out);
        ASSERT_GT(n, 0) << t.da->name;
        const Decoded d = decode(Bytes(out, out + n), &p.pkt);
        ASSERT_NE(d.vp, nullptr) << t.da->name;
        if (t.da == &kByte || t.da == &kShort) {
            EXPECT_STREQ(d.vp->da->name, t.da->name == kByte.name ? "Attr-241" : "Attr-242");
            continue;  // not in the dictionary: decoded raw, checked on the wire instead
        }
        EXPECT_EQ(d.vp->da, t.da) << t.da->name;
        EXPECT_EQ(d.vp->length, t.stored.size()) << t.da->name;
        EXPECT_EQ(to_hex(d.vp->value, t.stored.size()), to_hex(t.stored)) << t.da->name;
    }
}

}  // namespace
}  // namespace quelna::test
