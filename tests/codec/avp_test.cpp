// The public attribute-value interface: lists, typed values and attribute names.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "quelna/codec.h"
#include "quelna/quelna.h"

namespace {

struct List {
    qn_avp *head = nullptr;
    ~List() { qn_avp_free(&head); }
    qn_avp *add(unsigned attr, unsigned vendor = 0)
    {
        qn_avp *vp = qn_avp_alloc(attr, vendor);
        EXPECT_NE(vp, nullptr);
        qn_avp_append(&head, vp);
        return vp;
    }
    std::vector<unsigned> attrs() const
    {
        std::vector<unsigned> out;
        for (const qn_avp *vp = head; vp; vp = qn_avp_next_const(vp)) out.push_back(vp->da->attr);
        return out;
    }
};

// Descriptors for the types the dictionary has no attribute of.
const lr_dict_attr kByte{201, QN_TYPE_BYTE, 0, 0, 0, 1, "Test-Byte"};
const lr_dict_attr kShort{202, QN_TYPE_SHORT, 0, 0, 0, 2, "Test-Short"};

/** A standard attribute number the dictionary does not name. */
unsigned unnamed_standard_attribute()
{
    for (unsigned a = 255; a > 0; a--)
        if (!lr_dict_attr_byvalue(a, 0)) return a;
    return 0;
}

TEST(AvpList, AllocFindNextAndMetadata)
{
    const unsigned unnamed = unnamed_standard_attribute();
    ASSERT_NE(unnamed, 0u);
    List l;
    qn_avp *name = l.add(1);
    qn_avp *vsa = l.add(1, 311);       // MS-CHAP-Response
    qn_avp *raw = l.add(unnamed, 0);  // no dictionary entry: a descriptor of its own
    qn_avp *raw_vsa = l.add(7, 99999);
    EXPECT_EQ(qn_avp_alloc(257, 0), nullptr);
    EXPECT_EQ(qn_avp_alloc(1, 16777217), nullptr);

    EXPECT_EQ(name->da, lr_dict_attr_byvalue(1, 0));
    EXPECT_STREQ(qn_avp_name(name), "User-Name");
    EXPECT_EQ(qn_avp_typeof(name), QN_TYPE_STRING);
    EXPECT_EQ(vsa->da, lr_dict_attr_byvalue(1, 311));
    EXPECT_EQ(qn_avp_name(raw), "Attr-" + std::to_string(unnamed));
    EXPECT_EQ(qn_avp_typeof(raw), QN_TYPE_OCTETS);
    EXPECT_STREQ(qn_avp_name(raw_vsa), "Attr-26.99999.7");
    unsigned attr = 0, vendor = 0;
    qn_avp_attrid(raw_vsa, &attr, &vendor);
    EXPECT_EQ(attr, 7u);
    EXPECT_EQ(vendor, 99999u);

    EXPECT_EQ(qn_avp_find(l.head, 1, 311), vsa);
    EXPECT_EQ(qn_avp_find(l.head, 1, 0), name);
    EXPECT_EQ(qn_avp_find_const(qn_avp_next(name), 1, 0), nullptr);
    EXPECT_EQ(qn_avp_find(nullptr, 1, 0), nullptr);
    EXPECT_EQ(qn_avp_next(raw_vsa), nullptr);
    EXPECT_EQ(qn_avp_next(nullptr), nullptr);

    EXPECT_EQ(qn_avp_length(nullptr), 0u);
    EXPECT_EQ(qn_avp_typeof(nullptr), QN_TYPE_NONE);
    EXPECT_EQ(qn_avp_name(nullptr), nullptr);
    qn_avp_append(&l.head, nullptr);
    EXPECT_EQ(l.attrs(), (std::vector<unsigned>{1, 1, unnamed, 7}));
}

TEST(AvpList, DeleteEveryMatchKeepsTheRestInOrder)
{
    List l;
    for (unsigned a : {4, 1, 1, 5, 1, 6}) l.add(a);
    EXPECT_EQ(qn_avp_delete(&l.head, 1, 0), QNE_OK);
    EXPECT_EQ(l.attrs(), (std::vector<unsigned>{4, 5, 6}));

    EXPECT_EQ(qn_avp_delete(&l.head, 33, 0), QNE_ATTR_UNKNOWN);
    EXPECT_EQ(qn_avp_delete(&l.head, 4, 9), QNE_ATTR_UNKNOWN) << "vendor must match too";
    EXPECT_EQ(l.attrs(), (std::vector<unsigned>{4, 5, 6}));

    // The head and the tail go too.
    EXPECT_EQ(qn_avp_delete(&l.head, 4, 0), QNE_OK);
    EXPECT_EQ(qn_avp_delete(&l.head, 6, 0), QNE_OK);
    EXPECT_EQ(l.attrs(), (std::vector<unsigned>{5}));
    EXPECT_EQ(qn_avp_delete(&l.head, 5, 0), QNE_OK);
    EXPECT_EQ(l.head, nullptr);
    EXPECT_EQ(qn_avp_delete(&l.head, 5, 0), QNE_ATTR_UNKNOWN);
    EXPECT_EQ(qn_avp_delete(nullptr, 5, 0), QNE_INVAL);
}

TEST(AvpList, DuplicatesAreIndependent)
{
    List l;
    qn_avp *s = l.add(1);
    ASSERT_EQ(qn_avp_string_set(s, "original"), QNE_OK);
    s->tag = 3;
    l.add(5);

    List copies;
    qn_avp *c = qn_avp_dup(s);
    ASSERT_NE(c, nullptr);
    qn_avp_append(&copies.head, c);
    EXPECT_EQ(c->next, nullptr);
    EXPECT_EQ(c->da, s->da);
    EXPECT_EQ(c->tag, 3);
    EXPECT_STREQ(qn_avp_string_value(c), "original");

    ASSERT_EQ(qn_avp_string_set(c, "new"), QNE_OK);
    EXPECT_STREQ(qn_avp_string_value(s), "original");
    EXPECT_STREQ(qn_avp_string_value(c), "new");

    // A pair for an unknown attribute gets a descriptor of its own, freed with it.
    qn_avp *raw = l.add(12, 4242);
    const uint8_t octets[] = {1, 2, 3};
    ASSERT_EQ(qn_avp_octets_set(raw, octets, 3), QNE_OK);
    qn_avp *rc = qn_avp_dup(raw);
    ASSERT_NE(rc, nullptr);
    qn_avp_append(&copies.head, rc);
    EXPECT_NE(rc->da, raw->da);
    EXPECT_STREQ(qn_avp_name(rc), "Attr-26.4242.12");
    EXPECT_TRUE(rc->da->flags & LR_DICT_FLAG_UNKNOWN);
    EXPECT_EQ(qn_avp_length(rc), 3u);
    EXPECT_EQ(std::memcmp(qn_avp_octets_value_const_ptr(rc), octets, 3), 0);
}

TEST(AvpValues, GettersCheckTheirType)
{
    List l;
    qn_avp *str = l.add(1), *integer = l.add(5), *addr = l.add(4), *date = l.add(55),
           *oct = l.add(24), *ifid = l.add(96);
    qn_avp *byte = lr_vp_alloc(&kByte), *shrt = lr_vp_alloc(&kShort);
    qn_avp_append(&l.head, byte);
    qn_avp_append(&l.head, shrt);

    ASSERT_EQ(qn_avp_string_set(str, "bob"), QNE_OK);
    ASSERT_EQ(qn_avp_integer_set(integer, 0xdeadbeef), QNE_OK);
    ASSERT_EQ(qn_avp_ipaddr_set(addr, htonl(0xC0000201)), QNE_OK);
    ASSERT_EQ(qn_avp_date_set(date, 4294967295), QNE_OK);
    ASSERT_EQ(qn_avp_byte_set(byte, 200), QNE_OK);
    ASSERT_EQ(qn_avp_short_set(shrt, 65000), QNE_OK);
    const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(qn_avp_ifid_set(ifid, id), QNE_OK);

    EXPECT_STREQ(qn_avp_string_value(str), "bob");
    EXPECT_EQ(qn_avp_integer_value(integer), 0xdeadbeefu);
    EXPECT_EQ(qn_avp_ipaddr_value(addr), htonl(0xC0000201));
    EXPECT_EQ(std::memcmp(addr->value, "\xc0\x00\x02\x01", 4), 0) << "network order inside";
    EXPECT_EQ(qn_avp_date_value(date), 4294967295u);
    EXPECT_EQ(qn_avp_byte_value(byte), 200);
    EXPECT_EQ(qn_avp_short_value(shrt), 65000);
    uint8_t got[8] = {};
    EXPECT_EQ(qn_avp_ifid_value(ifid, got), QNE_OK);
    EXPECT_EQ(std::memcmp(got, id, 8), 0);

    // Another type, or no pair: 0 or NULL, never the other type's octets.
    for (const qn_avp *vp : {static_cast<const qn_avp *>(nullptr), (const qn_avp *)oct}) {
        EXPECT_EQ(qn_avp_string_value(vp), nullptr);
        EXPECT_EQ(qn_avp_integer_value(vp), 0u);
        EXPECT_EQ(qn_avp_ipaddr_value(vp), 0u);
        EXPECT_EQ(qn_avp_date_value(vp), 0u);
        EXPECT_EQ(qn_avp_byte_value(vp), 0);
        EXPECT_EQ(qn_avp_short_value(vp), 0);
        EXPECT_EQ(qn_avp_ifid_value(vp, got), QNE_ATTR_INVALID);
    }
    EXPECT_EQ(qn_avp_integer_value(str), 0u);
    EXPECT_EQ(qn_avp_string_value(integer), nullptr);
    EXPECT_EQ(qn_avp_integer_value(date), 0u) << "a date is not an integer";
    EXPECT_EQ(qn_avp_ifid_value(ifid, nullptr), QNE_INVAL);

    // The pointer getters take any type.
    EXPECT_EQ(qn_avp_octets_value_const_ptr(integer), integer->value);
    EXPECT_EQ(qn_avp_octets_value_ptr(str), str->value);
    EXPECT_EQ(qn_avp_octets_value_ptr(nullptr), nullptr);
    EXPECT_EQ(qn_avp_octets_value_const_ptr(nullptr), nullptr);
}

TEST(AvpValues, SettersRefuseNullAndOtherTypesWithTheirOwnCodes)
{
    List l;
    qn_avp *oct = l.add(24), *str = l.add(1);
    const uint8_t id[8] = {};
    // What a NULL pair gets differs between the setters; another type is always refused
    // the same way, and the pair is left as it was.
    struct Case {
        const char *name;
        int (*set)(qn_avp *);
        int null_code;
    } cases[] = {
        {"string", [](qn_avp *vp) { return qn_avp_string_set(vp, "x"); }, QNE_INVAL},
        {"integer", [](qn_avp *vp) { return qn_avp_integer_set(vp, 1); }, QNE_INVAL},
        {"ipaddr", [](qn_avp *vp) { return qn_avp_ipaddr_set(vp, 1); }, QNE_INVAL},
        {"date", [](qn_avp *vp) { return qn_avp_date_set(vp, 1); }, QNE_INVAL},
        {"octets", [](qn_avp *vp) { return qn_avp_octets_set(vp, (const uint8_t *)"x", 1); },
         QNE_ATTR_INVALID},
        {"ifid", [](qn_avp *vp) { return qn_avp_ifid_set(vp, (const uint8_t *)"12345678"); },
         QNE_ATTR_INVALID},
        {"byte", [](qn_avp *vp) { return qn_avp_byte_set(vp, 1); }, QNE_ATTR_INVALID},
        {"short", [](qn_avp *vp) { return qn_avp_short_set(vp, 1); }, QNE_ATTR_INVALID},
    };
    ASSERT_EQ(qn_avp_octets_set(oct, id, 8), QNE_OK);
    ASSERT_EQ(qn_avp_string_set(str, "keep"), QNE_OK);
    for (const auto &c : cases) {
        EXPECT_EQ(c.set(nullptr), c.null_code) << c.name;
        qn_avp *other = std::string(c.name) == "octets" ? str : oct;
        qn_avp before = *other;
        EXPECT_EQ(c.set(other), QNE_ATTR_INVALID) << c.name;
        EXPECT_EQ(std::memcmp(&before, other, sizeof before), 0) << c.name;
    }

    // Values the pair cannot hold.
    EXPECT_EQ(qn_avp_string_set(str, ""), QNE_INVAL);
    EXPECT_EQ(qn_avp_string_set(str, nullptr), QNE_INVAL);
    EXPECT_EQ(qn_avp_octets_set(oct, nullptr, 4), QNE_INVAL);
    EXPECT_EQ(qn_avp_ifid_set(l.add(96), nullptr), QNE_INVAL);
    EXPECT_STREQ(qn_avp_string_value(str), "keep");

    // A value cut to 253 octets still counts as stored.
    std::string longer(300, 'q');
    EXPECT_EQ(qn_avp_string_set(str, longer.c_str()), QNE_OK);
    EXPECT_EQ(qn_avp_length(str), 253u);
    EXPECT_EQ(qn_avp_string_value(str), longer.substr(0, 253));
}

TEST(AvpValues, DatesHoldUnsigned32BitSeconds)
{
    List l;
    qn_avp *date = l.add(55);
    EXPECT_EQ(qn_avp_date_set(date, 4294967295), QNE_OK);
    EXPECT_EQ(qn_avp_date_set(date, 4294967296), QNE_ATTR_INVALID);
    EXPECT_EQ(qn_avp_date_set(date, -1), QNE_ATTR_INVALID) << "would read as the year 2106";
    EXPECT_EQ(qn_avp_date_value(date), 4294967295u);
    EXPECT_EQ(qn_avp_date_set(date, 0), QNE_OK);
    EXPECT_EQ(qn_avp_date_value(date), 0u);
}

TEST(AvpValues, OctetsIntoTheCallersBuffer)
{
    List l;
    qn_avp *oct = l.add(25);
    std::vector<uint8_t> v(100);
    for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(qn_avp_octets_set(oct, v.data(), v.size()), QNE_OK);

    std::vector<uint8_t> buf(100, 0xee);
    size_t len = 99;
    EXPECT_EQ(qn_avp_octets_value(oct, buf.data(), &len), QNE_ATTR_TOO_SMALL);
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(buf[0], 0xee) << "nothing is copied when it does not fit";
    EXPECT_EQ(qn_avp_octets_value(oct, buf.data(), &len), QNE_OK);
    EXPECT_EQ(buf, v);

    uint8_t *ptr = nullptr;
    len = 0;
    EXPECT_EQ(qn_avp_octets_value_byref(oct, &ptr, &len), QNE_OK);
    EXPECT_EQ(ptr, oct->value);
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(qn_avp_octets_value_byref(nullptr, &ptr, &len), QNE_INVAL);
    EXPECT_EQ(qn_avp_octets_value(nullptr, buf.data(), &len), QNE_INVAL);
    EXPECT_EQ(qn_avp_octets_value(oct, buf.data(), nullptr), QNE_INVAL);
    len = 100;
    EXPECT_EQ(qn_avp_octets_value(oct, nullptr, &len), QNE_INVAL);
}

TEST(AvpValues, FragmentsJoinAcrossOtherAttributes)
{
    List l;
    qn_avp *first = l.add(79);  // EAP-Message, octets
    l.add(1);
    qn_avp *second = l.add(79);
    l.add(79, 311);  // same number, other vendor: not a fragment
    std::vector<uint8_t> a(253, 0xaa), b(100, 0xbb);
    ASSERT_EQ(qn_avp_octets_set(first, a.data(), a.size()), QNE_OK);
    ASSERT_EQ(qn_avp_octets_set(second, b.data(), b.size()), QNE_OK);

    std::vector<uint8_t> out(400, 0);
    size_t len = 352;
    EXPECT_EQ(qn_avp_fragmented_value(first, out.data(), &len), QNE_ATTR_TOO_SMALL);
    EXPECT_EQ(len, 353u);
    EXPECT_EQ(out[0], 0);
    len = out.size();
    EXPECT_EQ(qn_avp_fragmented_value(first, out.data(), &len), QNE_OK);
    EXPECT_EQ(len, 353u);
    std::vector<uint8_t> joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    EXPECT_TRUE(std::equal(joined.begin(), joined.end(), out.begin()));

    // From the second fragment on, only what follows it.
    len = out.size();
    EXPECT_EQ(qn_avp_fragmented_value(second, out.data(), &len), QNE_OK);
    EXPECT_EQ(len, 100u);

    // Strings join too; other types do not.
    List s;
    ASSERT_EQ(qn_avp_string_set(s.add(18), "Hello, "), QNE_OK);  // Reply-Message
    ASSERT_EQ(qn_avp_string_set(s.add(18), "world"), QNE_OK);
    len = out.size();
    EXPECT_EQ(qn_avp_fragmented_value(s.head, out.data(), &len), QNE_OK);
    EXPECT_EQ(std::string(out.begin(), out.begin() + len), "Hello, world");
    EXPECT_EQ(qn_avp_fragmented_value(l.add(5), out.data(), &len), QNE_ATTR_INVALID);
    EXPECT_EQ(qn_avp_fragmented_value(nullptr, out.data(), &len), QNE_INVAL);
}

TEST(AvpValues, DisplayValueIsTheTextForm)
{
    List l;
    qn_avp *addr = l.add(4);
    ASSERT_EQ(qn_avp_ipaddr_set(addr, htonl(0x0a000001)), QNE_OK);
    char buf[16];
    EXPECT_EQ(qn_avp_display_value(addr, buf, sizeof buf), 8u);
    EXPECT_STREQ(buf, "10.0.0.1");
    EXPECT_EQ(qn_avp_display_value(addr, buf, 8), 0u);
}

TEST(AttrNames, FindAndParse)
{
    unsigned attr = 99, vendor = 99;
    EXPECT_EQ(qn_attr_find("user-NAME", &attr, &vendor), QNE_OK);
    EXPECT_EQ(attr, 1u);
    EXPECT_EQ(vendor, 0u);
    EXPECT_EQ(qn_attr_find("No-Such-Attribute", &attr, &vendor), QNE_ATTR_UNKNOWN);
    EXPECT_EQ(qn_attr_parse_name("No-Such-Attribute", &attr, &vendor), QNE_ATTR_UNKNOWN);
    EXPECT_EQ(qn_attr_parse_name("MS-CHAP-Response", &attr, &vendor), QNE_OK);
    EXPECT_EQ(vendor, 311u);

    struct Case {
        const char *name;
        int rcode;
        unsigned attr, vendor;
    } cases[] = {
        {"Attr-26.9.1", QNE_OK, 1, 9},
        {"Attr-5", QNE_OK, 5, 0},
        {"Attr-300", QNE_OK, 300, 0},
        {"Attr-5xyz", QNE_OK, 5, 0},  // what follows a lone number is not examined
        {"Attr-26.16777216.5", QNE_OK, 5, 16777216},
        {"Attr-25.9.1", QNE_ATTR_BAD_NAME, 0, 0},
        {"Attr-26.9", QNE_ATTR_BAD_NAME, 0, 0},
        {"Attr-26.9.", QNE_ATTR_BAD_NAME, 0, 0},
        {"Attr-26.9.1.", QNE_ATTR_BAD_NAME, 0, 0},
        {"Attr-26.9.1x", QNE_ATTR_BAD_NAME, 0, 0},
        {"Attr-26..1", QNE_ATTR_BAD_NAME, 0, 0},
        {"Attr-", QNE_ATTR_BAD_NAME, 0, 0},
        {"Attr--1", QNE_ATTR_BAD_NAME, 0, 0},
        {"Attr- 1", QNE_ATTR_BAD_NAME, 0, 0},
        {"Attr-4294967297", QNE_ATTR_BAD_NAME, 0, 0},
        {"Attr-26.4294967296.1", QNE_ATTR_BAD_NAME, 0, 0},
        {"attr-5", QNE_ATTR_UNKNOWN, 0, 0},  // the prefix is exact; the dictionary has none
    };
    for (const auto &c : cases) {
        attr = vendor = 12345;
        EXPECT_EQ(qn_attr_parse_name(c.name, &attr, &vendor), c.rcode) << c.name;
        if (c.rcode == QNE_OK) {
            EXPECT_EQ(attr, c.attr) << c.name;
            EXPECT_EQ(vendor, c.vendor) << c.name;
        }
    }
}

TEST(AttrNames, DisplayNamedOrNumeric)
{
    char buf[64];
    EXPECT_EQ(qn_attr_display_name(1, 0, buf, sizeof buf, 0), QNE_OK);
    EXPECT_STREQ(buf, "User-Name");
    EXPECT_EQ(qn_attr_display_name(1, 0, buf, sizeof buf, 1), QNE_OK);
    EXPECT_STREQ(buf, "Attr-1");
    const unsigned unnamed = unnamed_standard_attribute();
    EXPECT_EQ(qn_attr_display_name(unnamed, 0, buf, sizeof buf, 0), QNE_OK);
    EXPECT_EQ(buf, "Attr-" + std::to_string(unnamed));
    EXPECT_EQ(qn_attr_display_name(1, 9, buf, sizeof buf, 0), QNE_OK);
    EXPECT_STREQ(buf, "Attr-26.9.1");
    EXPECT_EQ(qn_attr_display_name(257, 0, buf, sizeof buf, 1), QNE_INVAL);
    EXPECT_EQ(qn_attr_display_name(1, 16777217, buf, sizeof buf, 0), QNE_INVAL);

    // A short buffer cuts the name and stays terminated; an empty one is refused.
    EXPECT_EQ(qn_attr_display_name(1, 0, buf, 5, 0), QNE_OK);
    EXPECT_STREQ(buf, "User");
    EXPECT_EQ(qn_attr_display_name(1, 0, buf, 1, 0), QNE_OK);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(qn_attr_display_name(1, 0, buf, 0, 0), QNE_INVAL);
    EXPECT_EQ(qn_attr_display_name(1, 0, nullptr, 10, 0), QNE_INVAL);

    // Every numeric name written parses back to its numbers.
    for (unsigned vendor : {0u, 9u, 16777216u}) {
        for (unsigned a : {1u, 26u, 255u, 256u}) {
            unsigned attr = 0, v = 1;
            ASSERT_EQ(qn_attr_display_name(a, vendor, buf, sizeof buf, 1), QNE_OK);
            ASSERT_EQ(qn_attr_parse_name(buf, &attr, &v), QNE_OK) << buf;
            EXPECT_EQ(attr, a);
            EXPECT_EQ(v, vendor);
        }
    }
}

}  // namespace
