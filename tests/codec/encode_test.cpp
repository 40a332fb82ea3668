// Attribute encoding: value pairs into attribute octets, table-driven (pair -> hex), plus the
// hidden and computed values checked against OpenSSL's MD5 and the codec's own inverse.
#include <string>
#include <utility>
#include <vector>

#include "packet_test_util.h"

namespace quelna::test {
namespace {

const char *const kSecret = "testing123";

// Hand-made descriptors for what the dictionary does not carry.
const lr_dict_attr kByte = {241, QN_TYPE_BYTE, 0, 0, 0, 1, "Test-Byte"};
const lr_dict_attr kShort = {242, QN_TYPE_SHORT, 0, 0, 0, 2, "Test-Short"};
const lr_dict_attr kNoType = {243, QN_TYPE_NONE, 0, 0, 0, 0, "Test-None"};
const lr_dict_attr kType11 = {244, static_cast<qn_attr_type>(11), 0, 0, 0, 0, "Test-11"};
const lr_dict_attr kBigStd = {300, QN_TYPE_OCTETS, 0, 0, 0, 0, "Test-300"};
const lr_dict_attr kVendor4242 = {7, QN_TYPE_OCTETS, 4242, 0, 0, 0, "Test-4242-7"};
const lr_dict_attr kStarent = {0x0102, QN_TYPE_OCTETS, 8164, 0, 0, 0, "Test-Starent"};
const lr_dict_attr kLucent = {0x0102, QN_TYPE_OCTETS, 4846, 0, 0, 0, "Test-Lucent"};
const lr_dict_attr kUsr = {0x019823, QN_TYPE_OCTETS, 429, 0, 0, 0, "Test-USR"};
const lr_dict_attr kRaw80 = {80, QN_TYPE_OCTETS, 0, LR_DICT_FLAG_UNKNOWN, 0, 0, "Attr-80"};
const lr_dict_attr kBadVendor = {1, QN_TYPE_OCTETS, LR_MAX_VENDOR + 1, 0, 0, 0, "Test-Bad"};

Bytes u32(uint32_t v)
{
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

struct Encoded {
    ssize_t result;
    Bytes octets;  // the result's octets (empty unless positive)
    bool cursor_moved;
};

// Encodes one pair into an Access-Request (or code) with the given room.
Encoded encode_one(const lr_dict_attr *da, const Bytes &stored, size_t room, int tag = 0,
                   int code = 1)
{
    Packet p;
    EXPECT_EQ(p.init(code == 1 || code == 4 ? code : 1, kSecret), 0);
    p.pkt.code = static_cast<unsigned>(code);
    lr_value_pair vp;
    lr_vp_init(&vp, da);
    if (!stored.empty())
        std::memcpy(vp.value, stored.data(), stored.size());
    vp.length = stored.size();
    vp.tag = tag;
    const lr_value_pair *cursor = &vp;
    Bytes out(room + 8, 0xee);
    const ssize_t r = lr_vp2attr(&p.pkt, nullptr, &cursor, out.data(), room);
    for (size_t i = room; i < out.size(); i++)
        EXPECT_EQ(out[i], 0xee) << "wrote past the room";
    Encoded e{r, {}, cursor == nullptr};
    if (r > 0)
        e.octets.assign(out.begin(), out.begin() + r);
    return e;
}

struct Case {
    const char *what;
    const lr_dict_attr *da;
    Bytes stored;
    size_t room;
    int tag;
    ssize_t result;
    const char *octets;
};

TEST(Encode, ValuesByType)
{
    const Case cases[] = {
        {"integer", lr_dict_attr_byname("NAS-Port"), u32(0x01020304), 4096, 0, 6,
         "05 06 01 02 03 04"},
        {"date", lr_dict_attr_byname("Event-Timestamp"), u32(0x01020304), 4096, 0, 6,
         "37 06 01 02 03 04"},
        {"short", &kShort, u32(0x1234), 4096, 0, 4, "f2 04 12 34"},
        {"byte", &kByte, u32(7), 4096, 0, 3, "f1 03 07"},
        {"ipaddr keeps its octets", lr_dict_attr_byname("NAS-IP-Address"), hex("c0a80110"), 4096, 0,
         6, "04 06 c0 a8 01 10"},
        {"ipv6prefix is always 18 octets", lr_dict_attr_byname("Framed-IPv6-Prefix"),
         hex("0040 20010db8"), 4096, 0, 20,
         "61 14 00 40 20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"ifid", lr_dict_attr_byname("Framed-Interface-Id"), hex("0102030405060708"), 4096, 0, 10,
         "60 0a 01 02 03 04 05 06 07 08"},
        {"tagged integer", lr_dict_attr_byname("Tunnel-Type"), u32(0x00abcdef), 4096, 5, 6,
         "40 06 05 ab cd ef"},
        {"integer tag above 31 is not sent", lr_dict_attr_byname("Tunnel-Type"), u32(0x00abcdef),
         4096, 40, 6, "40 06 00 ab cd ef"},
        {"tagged string", lr_dict_attr_byname("Tunnel-Client-Endpoint"), text("abc"), 4096, 1, 6,
         "42 06 01 61 62 63"},
        {"string tag above 31 is not sent", lr_dict_attr_byname("Tunnel-Client-Endpoint"),
         text("abc"), 4096, 32, 5, "42 05 61 62 63"},
        {"empty string is skipped", lr_dict_attr_byname("User-Name"), {}, 4096, 0, 0, ""},
        {"empty Chargeable-User-Identity is sent",
         lr_dict_attr_byvalue(89, 0),
         {},
         4096,
         0,
         2,
         "59 02"},
        {"attribute above 255 is skipped", &kBigStd, text("x"), 4096, 0, 0, ""},
        {"Message-Authenticator is a placeholder", lr_dict_attr_byvalue(80, 0), Bytes(16, 0x5a),
         4096, 0, 18, "50 12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"a raw attribute 80 is a placeholder too", &kRaw80, hex("0909092bd20000"), 4096, 0, 18,
         "50 12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"computed CHAP response goes out unchanged", lr_dict_attr_byvalue(3, 0),
         cat(hex("07"), Bytes(16, 0x41)), 4096, 0, 19,
         "03 13 07 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41"},
        {"room of 1", lr_dict_attr_byname("User-Name"), text("a"), 1, 0, 0, ""},
        {"room of 2 sends an empty value", lr_dict_attr_byname("User-Name"), text("a"), 2, 0, 2,
         "01 02"},
        {"value cut to the room", lr_dict_attr_byname("User-Name"), text("abcdef"), 5, 0, 5,
         "01 05 61 62 63"},
        {"unknown vendor, RFC 2865 form", &kVendor4242, hex("aabbcc"), 4096, 0, 11,
         "1a 0b 00 00 10 92 07 05 aa bb cc"},
        {"vendor with 2-octet type and length", &kStarent, hex("aabbcc"), 4096, 0, 13,
         "1a 0d 00 00 1f e4 01 02 00 07 aa bb cc"},
        {"vendor with 2-octet type, 1-octet length", &kLucent, hex("aabbcc"), 4096, 0, 12,
         "1a 0c 00 00 12 ee 01 02 06 aa bb cc"},
        {"vendor with 4-octet type, no length", &kUsr, hex("aabbcc"), 4096, 0, 13,
         "1a 0d 00 00 01 ad 00 01 98 23 aa bb cc"},
        {"vendor pair with a room of 5", &kVendor4242, hex("aa"), 5, 0, 0, ""},
        {"vendor header without room for the sub-attribute header", &kStarent, hex("aa"), 9, 0, 0,
         ""},
    };
    for (const Case &c : cases) {
        ASSERT_NE(c.da, nullptr) << c.what;
        const Encoded e = encode_one(c.da, c.stored, c.room, c.tag);
        EXPECT_EQ(e.result, c.result) << c.what;
        EXPECT_EQ(to_hex(e.octets), c.octets) << c.what;
        EXPECT_TRUE(e.cursor_moved) << c.what;
    }
}

TEST(Encode, LongValuesAreCutToOneAttribute)
{
    const Encoded whole = encode_one(lr_dict_attr_byname("User-Name"), Bytes(253, 'a'), 4096);
    EXPECT_EQ(whole.result, 255);
    EXPECT_EQ(whole.octets[1], 255);
    const Encoded cut = encode_one(lr_dict_attr_byname("User-Name"), Bytes(253, 'a'), 100);
    EXPECT_EQ(cut.result, 100);
    EXPECT_EQ(cut.octets[1], 100);
    const Encoded vsa = encode_one(&kVendor4242, Bytes(253, 'v'), 4096);
    EXPECT_EQ(vsa.result, 255);
    EXPECT_EQ(vsa.octets[1], 255);
    EXPECT_EQ(vsa.octets[7], 249) << "247 value octets in the 1-octet type and length form";
}

TEST(Encode, ArgumentAndTypeErrors)
{
    struct Err {
        const lr_dict_attr *da;
        int result;
        const char *message;
    } cases[] = {
        {&kNoType, -QNE_ATTR_TYPE_UNKNOWN, "ERROR: Unknown attribute type 0"},
        {&kType11, -QNE_ATTR_TYPE_UNKNOWN, "ERROR: Unknown attribute type 11"},
        {&kBadVendor, -QNE_INVAL, "lr_vp2vsa: Invalid arguments"},
    };
    for (const Err &c : cases) {
        lr_strerror_printf("-");
        EXPECT_EQ(encode_one(c.da, u32(1), 4096).result, c.result) << c.message;
        EXPECT_EQ(last_message(), c.message);
    }
    Packet p;
    ASSERT_EQ(p.init(1, kSecret), 0);
    lr_value_pair vp;
    uint8_t out[64];
    lr_vp_init(&vp, &kVendor4242);
    vp.length = 1;
    const lr_value_pair *cursor = &vp;
    EXPECT_EQ(lr_vp2rfc(&p.pkt, nullptr, &cursor, out, sizeof out), -QNE_INVAL);
    EXPECT_EQ(last_message(), "lr_vp2rfc called with VSA");
    const lr_dict_attr zero = {0, QN_TYPE_OCTETS, 0, 0, 0, 0, "Zero"};
    lr_vp_init(&vp, &zero);
    vp.length = 1;
    cursor = &vp;
    EXPECT_EQ(lr_vp2rfc(&p.pkt, nullptr, &cursor, out, sizeof out), -QNE_INVAL);
    EXPECT_EQ(last_message(), "lr_vp2rfc called with non-standard attribute 0");
}

// RFC 2865 §5.2, checked independently: c1 = p1 ^ MD5(secret + RA), c2 = p2 ^ MD5(secret + c1).
TEST(Encode, UserPasswordIsHiddenWithThePacketAuthenticator)
{
    Packet p;
    ASSERT_EQ(p.init(1, kSecret), 0);
    const Bytes ra(p.pkt.vector, p.pkt.vector + 16);
    Pairs pairs;
    const Bytes pw = text("seventeen-octets!");
    ASSERT_EQ(pw.size(), 17u);
    pairs.add("User-Password", pw);
    const lr_value_pair *cursor = pairs.head;
    uint8_t out[64];
    ASSERT_EQ(lr_vp2attr(&p.pkt, nullptr, &cursor, out, sizeof out), 34);
    EXPECT_EQ(out[1], 34);
    Bytes padded = pw;
    padded.resize(32, 0);
    const Bytes b1 = md5(cat(text(kSecret), ra));
    Bytes c(32);
    for (int i = 0; i < 16; i++)
        c[i] = padded[i] ^ b1[i];
    const Bytes b2 = md5(cat(text(kSecret), Bytes(c.begin(), c.begin() + 16)));
    for (int i = 16; i < 32; i++)
        c[i] = padded[i] ^ b2[i - 16];
    EXPECT_EQ(to_hex(out + 2, 32), to_hex(c));
}

TEST(Encode, ChapPasswordResponseFromClearText)
{
    for (bool with_challenge : {false, true}) {
        Packet p;
        ASSERT_EQ(p.init(1, kSecret), 0);
        Pairs pairs;
        if (with_challenge)
            pairs.add("CHAP-Challenge", hex("0102030405060708090a"));
        lr_value_pair *chap = pairs.add(lr_dict_attr_byvalue(3, 0), text("password"));
        p.pkt.vps = pairs.head;
        const lr_value_pair *cursor = chap;
        uint8_t out[64];
        ASSERT_EQ(lr_vp2attr(&p.pkt, nullptr, &cursor, out, sizeof out), 19);
        EXPECT_EQ(cursor, nullptr);
        EXPECT_EQ(out[0], 3);
        EXPECT_EQ(out[1], 19);
        const Bytes challenge =
            with_challenge ? hex("0102030405060708090a") : Bytes(p.pkt.vector, p.pkt.vector + 16);
        const Bytes expect = md5(cat(cat(Bytes{out[2]}, text("password")), challenge));
        EXPECT_EQ(to_hex(out + 3, 16), to_hex(expect)) << with_challenge;
        p.pkt.vps = nullptr;
    }
    // 17 printable octets are a clear-text password too.
    const Encoded e = encode_one(lr_dict_attr_byvalue(3, 0), text("ABCDEFGHIJKLMNOPQ"), 4096);
    EXPECT_EQ(e.result, 19);
    EXPECT_NE(to_hex(e.octets), "03 13 " + to_hex(text("ABCDEFGHIJKLMNOPQ")));
}

TEST(Encode, TunnelPasswordHidingAndItsAuthenticator)
{
    const lr_dict_attr *tp = lr_dict_attr_byname("Tunnel-Password");
    ASSERT_NE(tp, nullptr);
    // A response needs the request's authenticator.
    lr_strerror_printf("-");
    EXPECT_EQ(encode_one(tp, text("secret"), 4096, 1, 2).result, -QNE_REQUEST_REQUIRED);
    EXPECT_EQ(last_message(),
              "ERROR: No request packet, cannot encrypt Tunnel-Password attribute in the vp.");
    // No room for tag, salt and one block: skipped.
    EXPECT_EQ(encode_one(tp, text("secret"), 2 + 18, 1, 4).result, 0);

    // An Accounting-Request hides with its own authenticator.
    Packet p;
    ASSERT_EQ(p.init(4, kSecret), 0);
    Pairs pairs;
    lr_value_pair *vp = pairs.add(tp, text("tunnel-secret"));
    vp->tag = 3;
    const lr_value_pair *cursor = vp;
    uint8_t out[64];
    const ssize_t n = lr_vp2attr(&p.pkt, nullptr, &cursor, out, sizeof out);
    ASSERT_EQ(n, 2 + 1 + 2 + 16);
    EXPECT_EQ(out[1], n);
    EXPECT_EQ(out[2], 3) << "tag";
    EXPECT_TRUE(out[3] & 0x80) << "salt";
    uint8_t plain[253];
    EXPECT_EQ(lr_tunnelpw_decrypt(plain, sizeof plain, out + 3, static_cast<size_t>(n) - 3, kSecret,
                                  p.pkt.vector),
              13);
    EXPECT_STREQ(reinterpret_cast<char *>(plain), "tunnel-secret");

    // A response hides with the request's authenticator.
    Packet req, resp;
    ASSERT_EQ(req.init(1, kSecret), 0);
    ASSERT_EQ(resp.init(2, kSecret, &req.pkt), 0);
    cursor = vp;
    const ssize_t m = lr_vp2attr(&resp.pkt, &req.pkt, &cursor, out, sizeof out);
    ASSERT_EQ(m, 21);
    EXPECT_EQ(lr_tunnelpw_decrypt(plain, sizeof plain, out + 3, 18, kSecret, req.pkt.vector), 13);
}

}  // namespace
}  // namespace quelna::test
