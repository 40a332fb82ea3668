// Text forms of value pairs and the hexadecimal packet dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quelna/codec.h"

namespace {

struct PairList {
    lr_value_pair *head = nullptr;
    ~PairList() { lr_vp_free(&head); }
};

/** A pair of a descriptor the test defines (the dictionary has no byte or short attribute). */
lr_dict_attr descriptor(qn_attr_type type, uint8_t length, const char *name)
{
    return lr_dict_attr{200, type, 0, 0, 0, length, name};
}

lr_value_pair *pair_with(const lr_dict_attr *da, const void *data, size_t len)
{
    lr_value_pair *vp = lr_vp_alloc(da);
    if (vp && len) {
        EXPECT_GE(lr_vp_set_data(vp, data, len), 0);
    }
    return vp;
}

std::string value_text(const lr_value_pair *vp, size_t size, size_t *result)
{
    std::vector<char> buf(size + 1, '#');
    *result = lr_vp_snprintf_value(buf.data(), size, vp);
    return std::string(buf.data(), strnlen(buf.data(), size + 1));
}

TEST(ValueText, EveryTypeHasItsForm)
{
    PairList l;
    uint32_t n42 = 42, date = 1700000000;
    const uint8_t addr[] = {0xC0, 0x00, 0x02, 0x01};
    const uint8_t octets[] = {0x01, 0xAB};
    auto *integer = pair_with(lr_dict_attr_byname("Session-Timeout"), &n42, 4);
    auto *ipaddr = pair_with(lr_dict_attr_byname("NAS-IP-Address"), addr, 4);
    auto *oct = pair_with(lr_dict_attr_byname("State"), octets, 2);
    auto *empty = pair_with(lr_dict_attr_byname("Class"), nullptr, 0);
    auto *when = pair_with(lr_dict_attr_byname("Event-Timestamp"), &date, 4);
    auto *text = pair_with(lr_dict_attr_byname("User-Name"), "bob", 3);
    static const lr_dict_attr byte_da = descriptor(QN_TYPE_BYTE, 1, "Test-Byte");
    static const lr_dict_attr short_da = descriptor(QN_TYPE_SHORT, 2, "Test-Short");
    uint8_t b = 255;
    uint16_t s = 65535;
    auto *byte = pair_with(&byte_da, &b, 1);
    auto *shrt = pair_with(&short_da, &s, 2);
    for (auto *vp : {integer, ipaddr, oct, empty, when, text, byte, shrt}) {
        ASSERT_NE(vp, nullptr);
        lr_vps_append(&l.head, vp);
    }

    struct Case {
        const lr_value_pair *vp;
        const char *text;
    } cases[] = {{integer, "42"},         {ipaddr, "192.0.2.1"}, {oct, "0x01ab"},
                 {empty, "0x"},           {when, "1700000000"},  {text, "bob"},
                 {byte, "255"},           {shrt, "65535"}};
    for (const auto &c : cases) {
        size_t len = std::strlen(c.text), result = 0;
        EXPECT_EQ(value_text(c.vp, 64, &result), c.text);
        EXPECT_EQ(result, len) << c.text;
        // The text needs room for its terminator: one octet less and it does not fit.
        value_text(c.vp, len, &result);
        EXPECT_EQ(result, 0u) << c.text;
        EXPECT_EQ(value_text(c.vp, len + 1, &result), c.text);
        EXPECT_EQ(result, len);
    }
}

TEST(ValueText, TypesWithoutTextFormWriteNothing)
{
    PairList l;
    const uint8_t ifid[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    l.head = pair_with(lr_dict_attr_byname("Framed-Interface-Id"), ifid, 8);
    ASSERT_NE(l.head, nullptr);
    char buf[32];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(lr_vp_snprintf_value(buf, sizeof buf, l.head), 0u);
    EXPECT_EQ(buf[0], 'x');

    static const lr_dict_attr v6 = descriptor(QN_TYPE_IPV6ADDR, 16, "Test-V6");
    static const lr_dict_attr none = descriptor(QN_TYPE_NONE, 0, "Test-None");
    static const lr_dict_attr beyond = descriptor(static_cast<qn_attr_type>(11), 0, "Test-11");
    for (const lr_dict_attr *da : {&v6, &none, &beyond}) {
        lr_value_pair vp;
        lr_vp_init(&vp, da);
        EXPECT_EQ(lr_vp_snprintf_value(buf, sizeof buf, &vp), 0u) << da->name;
        EXPECT_EQ(buf[0], 'x');
    }
    EXPECT_EQ(lr_vp_snprintf_value(nullptr, 10, l.head), 0u);
    EXPECT_EQ(lr_vp_snprintf_value(buf, sizeof buf, nullptr), 0u);
}

TEST(LineText, NameEqualsValue)
{
    PairList l;
    l.head = lr_vp_create(1, 0, "bob", 3);
    ASSERT_NE(l.head, nullptr);
    char buf[64];
    EXPECT_EQ(lr_vp_snprintf(buf, sizeof buf, l.head), 15u);
    EXPECT_STREQ(buf, "User-Name = bob");
    EXPECT_EQ(lr_vp_snprintf(buf, 8, l.head), 0u);
    EXPECT_EQ(lr_vp_snprintf(buf, 15, l.head), 0u);
    EXPECT_EQ(lr_vp_snprintf(buf, 16, l.head), 15u);

    // An empty string answers 0 although the name stands in the buffer.
    lr_value_pair *empty = lr_vp_alloc(lr_dict_attr_byvalue(1, 0));
    ASSERT_NE(empty, nullptr);
    lr_vps_append(&l.head, empty);
    EXPECT_EQ(lr_vp_snprintf(buf, sizeof buf, empty), 0u);
    EXPECT_STREQ(buf, "User-Name = ");
}

TEST(LineText, ListPrintsEveryPairEvenWithoutValueText)
{
    PairList l;
    const uint8_t ifid[8] = {};
    uint32_t port = 3;
    lr_vps_append(&l.head, lr_vp_create(1, 0, "nemo", 4));
    lr_vps_append(&l.head, lr_vp_create(96, 0, ifid, 8));
    lr_vps_append(&l.head, lr_vp_create(5, 0, &port, 4));
    lr_vps_append(&l.head, lr_vp_alloc_raw(26, 9));

    char *text = nullptr;
    size_t size = 0;
    FILE *fp = open_memstream(&text, &size);
    ASSERT_NE(fp, nullptr);
    lr_vp_fprintf_list(fp, l.head);
    std::fclose(fp);
    EXPECT_STREQ(text, "\tUser-Name = nemo\n\tFramed-Interface-Id = \n\tNAS-Port = 3\n"
                       "\tAttr-26.9.26 = 0x\n");
    std::free(text);
}

bool has_text_form(qn_attr_type type)
{
    switch (type) {
    case QN_TYPE_STRING:
    case QN_TYPE_INTEGER:
    case QN_TYPE_IPADDR:
    case QN_TYPE_DATE:
    case QN_TYPE_OCTETS:
    case QN_TYPE_BYTE:
    case QN_TYPE_SHORT:
        return true;
    default:
        return false;
    }
}

using Render = size_t (*)(char *, size_t, const lr_value_pair *);

/**
 * Renders vp at one size into a heap block of exactly that size (ASan sees any overrun).
 * Whatever is written is terminated within the buffer; a value without a text form writes
 * nothing at all.
 */
size_t render_exact(Render render, const lr_value_pair *vp, size_t size, std::string *text)
{
    char *buf = static_cast<char *>(std::malloc(size ? size : 1));
    buf[0] = 'x';
    size_t n = render(buf, size, vp);
    if (size == 0 || (render == lr_vp_snprintf_value && !has_text_form(vp->da->type))) {
        EXPECT_EQ(buf[0], 'x') << vp->da->name << ": wrote where nothing may be written";
    } else {
        size_t len = strnlen(buf, size);
        EXPECT_LT(len, size) << vp->da->name << ": no terminator within the buffer";
        text->assign(buf, len);
    }
    std::free(buf);
    return n;
}

/** Checks a pair at every buffer size from 0 to two past what its text needs. */
void check_every_size(const lr_value_pair *vp)
{
    for (Render render : {lr_vp_snprintf_value, lr_vp_snprintf}) {
        std::vector<char> big(1200);
        size_t full = render(big.data(), big.size(), vp);
        std::string text;
        for (size_t size = 0; size <= full + 2; size++) {
            size_t n = render_exact(render, vp, size, &text);
            if (full == 0 || size <= full) {
                ASSERT_EQ(n, 0u) << vp->da->name << " size " << size;
            } else {
                ASSERT_EQ(n, full) << vp->da->name << " size " << size;
                ASSERT_EQ(text, std::string(big.data(), full));
            }
        }
    }
}

TEST(LineText, DecodedPairsStayWithinEveryBufferSize)
{
    // Every attribute the dictionary knows, and some it does not, decoded from values of
    // assorted lengths and contents, as a received packet would give them.
    uint8_t data[LR_SERVER_PACKET_SIZE] = {};
    lr_packet packet{};
    ASSERT_EQ(lr_packet_init(&packet, nullptr, "xyzzy5461", 1, data, sizeof data), 0);

    std::vector<std::vector<uint8_t>> attrs;
    for (unsigned type = 1; type <= 255; type++) {
        for (size_t len : {0, 1, 2, 4, 8, 16, 17, 18, 100, 253}) {
            std::vector<uint8_t> a{static_cast<uint8_t>(type), static_cast<uint8_t>(len + 2)};
            for (size_t i = 0; i < len; i++) a.push_back(static_cast<uint8_t>(i * 37 + type));
            attrs.push_back(a);
        }
    }
    // Vendor-specific ones: a known vendor (Microsoft, 1-octet type and length) and an unknown.
    for (uint32_t vendor : {311u, 99999u}) {
        std::vector<uint8_t> a{26, 0, 0, static_cast<uint8_t>(vendor >> 16),
                               static_cast<uint8_t>(vendor >> 8), static_cast<uint8_t>(vendor), 1,
                               8, 'a', 'b', 0xff, 0, '%', 's'};
        a[1] = static_cast<uint8_t>(a.size());
        attrs.push_back(a);
    }

    size_t decoded = 0;
    for (const auto &a : attrs) {
        lr_value_pair *vp = nullptr;
        if (lr_attr2vp(&packet, nullptr, a.data(), a.size(), &vp) < 0) continue;
        PairList l;
        l.head = vp;
        for (; vp; vp = vp->next, decoded++) check_every_size(vp);
    }
    EXPECT_GT(decoded, 1000u);
}

struct HexDump : ::testing::Test {
    std::vector<uint8_t> octets;
    lr_packet packet{};

    void set(std::vector<uint8_t> o, size_t length, int flags)
    {
        octets = std::move(o);
        packet.data = octets.data();
        packet.data_size = octets.size();
        packet.length = length;
        packet.flags = flags;
    }
    std::string dump()
    {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(lr_packet_print_hex(&packet), 0);
        return ::testing::internal::GetCapturedStdout();
    }
    static std::vector<uint8_t> header(uint16_t length)
    {
        std::vector<uint8_t> h{1, 7, static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length)};
        for (uint8_t i = 0; i < 16; i++) h.push_back(i);
        return h;
    }
};

constexpr const char *kHead =
    "  Code:\t\t1\n  Id:\t\t7\n  Length:\t%u\n  Vector:\t000102030405060708090a0b0c0d0e0f\n";

std::string head(unsigned length)
{
    char buf[200];
    std::snprintf(buf, sizeof buf, kHead, length);
    return buf;
}

TEST_F(HexDump, HeaderOnly)
{
    set(header(20), 20, LR_PACKET_SIGNED);
    EXPECT_EQ(dump(), head(20) + "\n");
    packet.flags = 0;
    EXPECT_EQ(dump(), head(20) + "\t\tWARNING: lr_packet_sign() was not called!\n\n");

    packet.data = nullptr;
    EXPECT_EQ(dump(), "");
}

TEST_F(HexDump, AttributesSixteenOctetsToALine)
{
    auto o = header(60);
    // User-Name "ab"; an attribute with 17 value octets; one with exactly 16; one empty.
    o.insert(o.end(), {1, 4, 'a', 'b', 25, 19});
    for (uint8_t i = 0; i < 17; i++) o.push_back(i);
    o.insert(o.end(), {24, 18});
    for (uint8_t i = 0; i < 16; i++) o.push_back(0xf0 | i);
    o.insert(o.end(), {33, 2});
    set(o, o.size(), LR_PACKET_SIGNED);
    EXPECT_EQ(dump(), head(60) +
                          "  Data:"
                          "\t\t01  04  61 62 \n"
                          "\t\t19  13  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \n"
                          "\t\t\t10 \n"
                          "\t\t18  12  f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff \n"
                          "\t\t21  02  \n"
                          "\n");
}

TEST_F(HexDump, MalformedAttributesEndWithinThePacket)
{
    // The Length octet runs past the end: the remaining octets in a row.
    auto o = header(26);
    o.insert(o.end(), {1, 200, 'a', 'b', 'c', 'd'});
    set(o, o.size(), LR_PACKET_SIGNED);
    EXPECT_EQ(dump(), head(26) + "  Data:\t\t01 c8 61 62 63 64 \n");

    // One octet left: shown alone.
    o = header(25);
    o.insert(o.end(), {1, 3, 'x', 9, 0});
    set(o, 24, LR_PACKET_SIGNED);
    EXPECT_EQ(dump(), head(25) + "  Data:\t\t01  03  78 \n\t\t09\n\n");

    // Length 0 or 1 would never advance: the rest is shown in a row and the dump ends.
    for (uint8_t bad : {0, 1}) {
        o = header(28);
        o.insert(o.end(), {1, 3, 'x', 2, bad, 5, 6, 7});
        set(o, o.size(), 0);
        std::string out = dump();
        EXPECT_NE(out.find("\t\t01  03  78 \n\t\t02 0" + std::to_string(bad) + " 05 06 07 \n"),
                  std::string::npos)
            << out;
    }
}

TEST_F(HexDump, NeverReadsPastTheBuffer)
{
    // length claims more than the buffer holds (and the header's Length even more): the dump
    // stops at the buffer's end. The vector is sized exactly, so ASan sees any overrun.
    auto o = header(4096);
    o.insert(o.end(), {1, 10, 'a'});
    set(o, 4096, LR_PACKET_SIGNED);
    EXPECT_EQ(dump(), head(4096) + "  Data:\t\t01 0a 61 \n");

    // A buffer too small for a header shows nothing.
    set(std::vector<uint8_t>(19, 1), 19, 0);
    EXPECT_EQ(dump(), "");
}

}  // namespace
