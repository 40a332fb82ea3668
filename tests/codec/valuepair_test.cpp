// Value pairs: creation for every type, storing values (good and bad), raw pairs, lists.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include <quelna/codec.h>

namespace {

uint32_t stored_u32(const lr_value_pair *vp) {
    uint32_t v;
    std::memcpy(&v, vp->value, sizeof v);
    return v;
}

struct PairDeleter {
    void operator()(lr_value_pair *vp) const { lr_vp_free(&vp); }
};
using PairPtr = std::unique_ptr<lr_value_pair, PairDeleter>;

PairPtr alloc(const char *name) {
    const lr_dict_attr *da = lr_dict_attr_byname(name);
    EXPECT_NE(da, nullptr) << name;
    return PairPtr(lr_vp_alloc(da));
}

TEST(ValuePair, AllocStartsZeroedWithFixedLength) {
    const struct {
        const char *name;
        qn_attr_type type;
        size_t length;
    } cases[] = {{"User-Name", QN_TYPE_STRING, 0},      {"NAS-Port", QN_TYPE_INTEGER, 4},
                 {"NAS-IP-Address", QN_TYPE_IPADDR, 4}, {"Event-Timestamp", QN_TYPE_DATE, 4},
                 {"State", QN_TYPE_OCTETS, 0},          {"Framed-Interface-Id", QN_TYPE_IFID, 8},
                 {"NAS-IPv6-Address", QN_TYPE_IPV6ADDR, 16},
                 {"Framed-IPv6-Prefix", QN_TYPE_IPV6PREFIX, 0}};
    for (const auto &c : cases) {
        PairPtr vp = alloc(c.name);
        ASSERT_TRUE(vp);
        EXPECT_EQ(vp->da->type, c.type) << c.name;
        EXPECT_EQ(vp->length, c.length) << c.name;
        EXPECT_EQ(vp->tag, 0);
        EXPECT_EQ(vp->next, nullptr);
        for (uint8_t o : vp->value) ASSERT_EQ(o, 0) << c.name;
    }
}

TEST(ValuePair, AllocWithoutDescriptorReportsUnknownAttribute) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(lr_vp_alloc(nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Unknown attribute\n");
    EXPECT_STREQ(lr_strerror(), "Unknown attribute");
}

TEST(ValuePair, InitOnCallerStorage) {
    lr_value_pair vp;
    std::memset(&vp, 0x5a, sizeof vp);
    const lr_dict_attr *da = lr_dict_attr_byvalue(5, 0);
    EXPECT_EQ(lr_vp_init(&vp, da), &vp);
    EXPECT_EQ(vp.da, da);
    EXPECT_EQ(vp.length, 4u);
    EXPECT_EQ(vp.next, nullptr);
    EXPECT_EQ(vp.tag, 0);
    EXPECT_EQ(stored_u32(&vp), 0u);
}

TEST(ValuePair, SetDataForEveryStoredType) {
    {
        PairPtr vp = alloc("NAS-Port");
        const uint32_t v = 0x01020304;
        EXPECT_EQ(1, lr_vp_set_data(vp.get(), &v, sizeof v));
        EXPECT_EQ(stored_u32(vp.get()), v);
        EXPECT_EQ(vp->length, 4u);
    }
    {
        PairPtr vp = alloc("NAS-IP-Address");
        const uint8_t addr[4] = {192, 0, 2, 1};
        EXPECT_EQ(1, lr_vp_set_data(vp.get(), addr, sizeof addr));
        EXPECT_EQ(0, std::memcmp(vp->value, addr, 4));
    }
    {
        PairPtr vp = alloc("Event-Timestamp");
        const uint32_t t = 1700000000;
        EXPECT_EQ(1, lr_vp_set_data(vp.get(), &t, sizeof t));
        EXPECT_EQ(stored_u32(vp.get()), t);
    }
    {
        PairPtr vp = alloc("Framed-Interface-Id");
        const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_EQ(1, lr_vp_set_data(vp.get(), id, sizeof id));
        EXPECT_EQ(0, std::memcmp(vp->value, id, 8));
        EXPECT_EQ(vp->length, 8u);
    }
    {
        PairPtr vp = alloc("State");
        const uint8_t st[3] = {0, 0xff, 7};
        EXPECT_EQ(1, lr_vp_set_data(vp.get(), st, sizeof st));
        EXPECT_EQ(vp->length, 3u);
        EXPECT_EQ(0, std::memcmp(vp->value, st, 3));
    }
    {
        // Byte and short pairs come from vendors in a deployment; a synthesised descriptor
        // stands in for them here.
        lr_dict_attr byte_da{1, QN_TYPE_BYTE, 0, 0, 0, 1, "Test-Byte"};
        lr_dict_attr short_da{2, QN_TYPE_SHORT, 0, 0, 0, 2, "Test-Short"};
        lr_value_pair b, s;
        lr_vp_init(&b, &byte_da);
        lr_vp_init(&s, &short_da);
        const uint8_t seven[2] = {7, 9};
        EXPECT_EQ(1, lr_vp_set_data(&b, seven, 1));
        EXPECT_EQ(stored_u32(&b), 7u);
        const uint16_t sh = 0x1234;
        EXPECT_EQ(1, lr_vp_set_data(&s, &sh, sizeof sh));
        EXPECT_EQ(stored_u32(&s), 0x1234u);
        EXPECT_EQ(s.length, 2u);
    }
}

TEST(ValuePair, StringsAreCutTo253AndStayTerminated) {
    PairPtr vp = alloc("Reply-Message");
    const std::string longtext(300, 'x');
    EXPECT_EQ(0, lr_vp_set_data(vp.get(), longtext.data(), longtext.size()));
    EXPECT_EQ(vp->length, 253u);
    EXPECT_EQ(vp->value[252], 'x');
    EXPECT_EQ(vp->value[253], 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char *>(vp->value)), 253u);

    // A shorter text over a longer one ends right after the new text.
    EXPECT_EQ(1, lr_vp_set_data(vp.get(), "hello text", 10));
    EXPECT_EQ(vp->length, 10u);
    EXPECT_STREQ(reinterpret_cast<const char *>(vp->value), "hello text");

    PairPtr oct = alloc("Class");
    const std::string big(254, 'y');
    EXPECT_EQ(0, lr_vp_set_data(oct.get(), big.data(), big.size()));
    EXPECT_EQ(oct->length, 253u);
    EXPECT_EQ(1, lr_vp_set_data(oct.get(), big.data(), 253));
}

TEST(ValuePair, RefusedValuesLeaveThePairUnchanged) {
    PairPtr vp = alloc("User-Name");
    ASSERT_EQ(1, lr_vp_set_data(vp.get(), "bob", 3));
    EXPECT_EQ(-QNE_INVAL, lr_vp_set_data(vp.get(), "alice", 0));
    EXPECT_EQ(-QNE_INVAL, lr_vp_set_data(vp.get(), nullptr, 5));
    EXPECT_EQ(-QNE_INVAL, lr_vp_set_data(nullptr, "alice", 5));
    EXPECT_EQ(vp->length, 3u);
    EXPECT_STREQ(reinterpret_cast<const char *>(vp->value), "bob");

    const uint8_t addr[18] = {0, 64, 0x20, 0x01, 0x0d, 0xb8};
    for (const char *name : {"Framed-IPv6-Prefix", "NAS-IPv6-Address"}) {
        PairPtr p = alloc(name);
        const size_t before = p->length;
        EXPECT_EQ(-QNE_ATTR_TYPE_UNKNOWN, lr_vp_set_data(p.get(), addr, sizeof addr)) << name;
        EXPECT_EQ(p->length, before);
        for (uint8_t o : p->value) ASSERT_EQ(o, 0) << name;
    }
    lr_dict_attr none_da{1, QN_TYPE_NONE, 0, 0, 0, 0, "No-Type"};
    lr_dict_attr future_da{1, static_cast<qn_attr_type>(11), 0, 0, 0, 0, "Future-Type"};
    lr_value_pair n, f;
    lr_vp_init(&n, &none_da);
    lr_vp_init(&f, &future_da);
    EXPECT_EQ(-QNE_ATTR_TYPE_UNKNOWN, lr_vp_set_data(&n, addr, 4));
    EXPECT_EQ(-QNE_ATTR_TYPE_UNKNOWN, lr_vp_set_data(&f, addr, 4));
}

TEST(ValuePair, RawPairsCarryTheirOwnDescriptor) {
    lr_value_pair *std_raw = lr_vp_alloc_raw(17, 0);
    ASSERT_NE(std_raw, nullptr);
    EXPECT_STREQ(std_raw->da->name, "Attr-17");
    EXPECT_EQ(std_raw->da->type, QN_TYPE_OCTETS);
    EXPECT_TRUE(std_raw->da->flags & LR_DICT_FLAG_UNKNOWN);
    EXPECT_EQ(std_raw->length, 0u);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(1, lr_vp_set_data(std_raw, data, 3));

    lr_value_pair *vsa_raw = lr_vp_alloc_raw(7, 4242);
    ASSERT_NE(vsa_raw, nullptr);
    EXPECT_STREQ(vsa_raw->da->name, "Attr-26.4242.7");
    EXPECT_EQ(vsa_raw->da->vendor, 4242u);
    EXPECT_EQ(vsa_raw->da->attr, 7u);

    EXPECT_EQ(lr_vp_alloc_raw(257, 0), nullptr);
    EXPECT_EQ(lr_vp_alloc_raw(1, 16777217), nullptr);

    // One free releases pair, descriptor and name (the leak checker would see otherwise).
    lr_vps_append(&std_raw, vsa_raw);
    lr_vp_free(&std_raw);
    EXPECT_EQ(std_raw, nullptr);
}

TEST(ValuePair, CreateLooksUpAndStores) {
    const uint32_t port = 3;
    lr_value_pair *vp = lr_vp_create(5, 0, &port, sizeof port);
    ASSERT_NE(vp, nullptr);
    EXPECT_STREQ(vp->da->name, "NAS-Port");
    EXPECT_EQ(stored_u32(vp), 3u);
    lr_vp_free(&vp);

    vp = lr_vp_create(2, 311, "error text", 10);  // MS-CHAP-Error
    ASSERT_NE(vp, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char *>(vp->value), "error text");
    lr_vp_free(&vp);

    EXPECT_EQ(lr_vp_create(17, 0, &port, sizeof port), nullptr);  // not in the dictionary
    EXPECT_EQ(lr_vp_create(97, 0, &port, sizeof port), nullptr);  // no stored form
    EXPECT_EQ(lr_vp_create(1, 0, "x", 0), nullptr);                // nothing to store
}

TEST(ValuePairList, AppendFindFree) {
    lr_value_pair *head = nullptr;
    lr_vps_append(&head, nullptr);
    EXPECT_EQ(head, nullptr);

    lr_value_pair *a = lr_vp_create(1, 0, "alice", 5);
    lr_value_pair *b = lr_vp_create(18, 0, "first", 5);
    lr_value_pair *c = lr_vp_create(18, 0, "second", 6);
    lr_vps_append(&head, a);
    // A chain comes along whole.
    b->next = c;
    lr_vps_append(&head, b);
    EXPECT_EQ(head, a);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(b->next, c);

    EXPECT_EQ(lr_vps_find(head, 18, 0), b);
    EXPECT_EQ(lr_vps_find(b->next, 18, 0), c);
    EXPECT_EQ(lr_vps_find(head, 1, 0), a);
    EXPECT_EQ(lr_vps_find(head, 1, 311), nullptr);
    EXPECT_EQ(lr_vps_find(nullptr, 1, 0), nullptr);

    lr_vp_free(&head);  // all three: the leak checker holds us to it
    EXPECT_EQ(head, nullptr);
    lr_vp_free(&head);
    EXPECT_EQ(head, nullptr);
}

TEST(ValuePairList, HiddenPairsAreFreedToo) {
    lr_value_pair *head = lr_vp_create(2, 0, "secret-password", 15);
    ASSERT_NE(head, nullptr);
    lr_vps_append(&head, lr_vp_create(69, 0, "tunnel", 6));
    lr_vp_free(&head);
    EXPECT_EQ(head, nullptr);
}

}  // namespace
