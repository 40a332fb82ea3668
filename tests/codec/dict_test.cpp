// Dictionary lookups over the generated tables, and the layout those lookups rely on.
#include <gtest/gtest.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <string>

#include <quelna/codec.h>

namespace {

TEST(DictLookup, StandardAttributesByNumber) {
    const lr_dict_attr *da = lr_dict_attr_byvalue(1, 0);
    ASSERT_NE(da, nullptr);
    EXPECT_STREQ(da->name, "User-Name");
    EXPECT_EQ(da->type, QN_TYPE_STRING);
    EXPECT_EQ(da, &lr_dict_attrs[1]);

    da = lr_dict_attr_byvalue(2, 0);
    ASSERT_NE(da, nullptr);
    EXPECT_EQ(da->encrypt, LR_ENCRYPT_USER_PASSWORD);
    da = lr_dict_attr_byvalue(69, 0);
    ASSERT_NE(da, nullptr);
    EXPECT_STREQ(da->name, "Tunnel-Password");
    EXPECT_EQ(da->encrypt, LR_ENCRYPT_TUNNEL_PASSWORD);
    EXPECT_TRUE(da->flags & LR_DICT_FLAG_HAS_TAG);
    da = lr_dict_attr_byvalue(97, 0);
    ASSERT_NE(da, nullptr);
    EXPECT_EQ(da->type, QN_TYPE_IPV6PREFIX);

    EXPECT_EQ(lr_dict_attr_byvalue(0, 0), nullptr);
    EXPECT_EQ(lr_dict_attr_byvalue(256, 0), nullptr);
    EXPECT_EQ(lr_dict_attr_byvalue(17, 0), nullptr);  // unassigned
    EXPECT_EQ(lr_dict_attr_byvalue(255, 0), nullptr);
}

TEST(DictLookup, EntriesOtherModulesFindByIndex) {
    const struct {
        unsigned attr;
        const char *name;
    } needed[] = {{3, "CHAP-Password"},
                  {26, "Vendor-Specific"},
                  {60, "CHAP-Challenge"},
                  {79, "EAP-Message"},
                  {80, "Message-Authenticator"},
                  {89, "Chargeable-User-Identity"}};
    for (const auto &n : needed) {
        ASSERT_NE(lr_dict_attrs[n.attr].name, nullptr) << n.attr;
        EXPECT_STREQ(lr_dict_attrs[n.attr].name, n.name);
        EXPECT_EQ(lr_dict_attr_byname(n.name), &lr_dict_attrs[n.attr]);
    }
}

TEST(DictLookup, VendorAttributesByNumberIncludingTableEnds) {
    ASSERT_GT(lr_dict_num_attrs, 256);
    for (int32_t i : {256, 257, (256 + lr_dict_num_attrs) / 2, lr_dict_num_attrs - 1,
                      lr_dict_num_attrs}) {
        const lr_dict_attr &e = lr_dict_attrs[i];
        EXPECT_EQ(lr_dict_attr_byvalue(e.attr, e.vendor), &e) << i;
    }
    const lr_dict_attr *da = lr_dict_attr_byvalue(16, 311);
    ASSERT_NE(da, nullptr);
    EXPECT_STREQ(da->name, "MS-MPPE-Send-Key");
    EXPECT_EQ(lr_dict_attr_byvalue(200, 311), nullptr);
    EXPECT_EQ(lr_dict_attr_byvalue(1, 4242), nullptr);
    EXPECT_EQ(lr_dict_attr_byvalue(0, 311), nullptr);
    EXPECT_EQ(lr_dict_attr_byvalue(1, 0xffffffffu), nullptr);
}

TEST(DictLookup, ByNameIgnoresCase) {
    const lr_dict_attr *da = lr_dict_attr_byname("User-Name");
    ASSERT_NE(da, nullptr);
    EXPECT_EQ(da, lr_dict_attr_byname("user-name"));
    EXPECT_EQ(da, lr_dict_attr_byname("USER-NAME"));
    da = lr_dict_attr_byname("sn-vpn-name");
    ASSERT_NE(da, nullptr);
    EXPECT_EQ(da->vendor, 8164u);
    EXPECT_EQ(da->attr, 2u);
    EXPECT_EQ(lr_dict_attr_byname(""), nullptr);
    EXPECT_EQ(lr_dict_attr_byname(nullptr), nullptr);
    EXPECT_EQ(lr_dict_attr_byname("User-Nam"), nullptr);
    EXPECT_EQ(lr_dict_attr_byname("User-Names"), nullptr);
    EXPECT_EQ(lr_dict_attr_byname("Attr-1"), nullptr);
}

// Every named entry can be found both ways, and the layout rules hold: standard entries at
// their number, the vendor part sorted, the names sorted and unique, fixed lengths by type.
TEST(DictLayout, EveryEntryFoundByNumberAndName) {
    EXPECT_EQ(lr_dict_attrs[0].name, nullptr);
    int named = 0;
    for (int32_t i = 1; i <= lr_dict_num_attrs; ++i) {
        const lr_dict_attr &e = lr_dict_attrs[i];
        if (i < 256) {
            if (!e.name) continue;
            EXPECT_EQ(e.attr, static_cast<uint32_t>(i));
            EXPECT_EQ(e.vendor, 0u);
        } else {
            ASSERT_NE(e.name, nullptr) << i;
            EXPECT_NE(e.vendor, 0u);
            if (i > 256) {
                const lr_dict_attr &p = lr_dict_attrs[i - 1];
                EXPECT_TRUE(p.vendor < e.vendor || (p.vendor == e.vendor && p.attr < e.attr))
                    << e.name;
            }
        }
        ++named;
        EXPECT_EQ(lr_dict_attr_byvalue(e.attr, e.vendor), &e) << e.name;
        EXPECT_EQ(lr_dict_attr_byname(e.name), &e) << e.name;
        std::string upper = e.name;
        for (auto &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(lr_dict_attr_byname(upper.c_str()), &e) << e.name;

        unsigned want = 0;
        switch (e.type) {
        case QN_TYPE_INTEGER: case QN_TYPE_IPADDR: case QN_TYPE_DATE: want = 4; break;
        case QN_TYPE_IFID: want = 8; break;
        case QN_TYPE_IPV6ADDR: want = 16; break;
        case QN_TYPE_BYTE: want = 1; break;
        case QN_TYPE_SHORT: want = 2; break;
        case QN_TYPE_STRING: case QN_TYPE_OCTETS: case QN_TYPE_IPV6PREFIX: want = 0; break;
        default: ADD_FAILURE() << e.name << " has type " << e.type;
        }
        EXPECT_EQ(e.length, want) << e.name;
        EXPECT_EQ(e.flags & LR_DICT_FLAG_UNKNOWN, 0) << e.name;
    }
    EXPECT_EQ(named, lr_dict_num_names);
    for (int32_t i = 2; i <= lr_dict_num_names; ++i)
        EXPECT_LT(strcasecmp(lr_dict_attr_names[i - 1]->name, lr_dict_attr_names[i]->name), 0);
}

TEST(DictVendors, EveryFormatTheCodecHandles) {
    const struct {
        const char *name;
        unsigned number;
        size_t type, length;
    } vendors[] = {{"Microsoft", 311, 1, 1},
                   {"Lucent", 4846, 2, 1},
                   {"Starent", 8164, 2, 2},
                   {"USR", 429, 4, 0},
                   {"ADSL-Forum", 3561, 1, 1}};
    for (const auto &v : vendors) {
        EXPECT_EQ(lr_dict_vendor_byname(v.name), v.number) << v.name;
        const lr_dict_vendor *dv = lr_dict_vendor_byvalue(v.number);
        ASSERT_NE(dv, nullptr) << v.name;
        EXPECT_STREQ(dv->name, v.name);
        EXPECT_EQ(dv->type, v.type) << v.name;
        EXPECT_EQ(dv->length, v.length) << v.name;
    }
    EXPECT_EQ(lr_dict_vendor_byname("microsoft"), 311u);
    EXPECT_EQ(lr_dict_vendor_byname("NoSuchVendor"), 0u);
    EXPECT_EQ(lr_dict_vendor_byname(""), 0u);
    EXPECT_EQ(lr_dict_vendor_byname(nullptr), 0u);
    EXPECT_EQ(lr_dict_vendor_byvalue(4242), nullptr);
    EXPECT_EQ(lr_dict_vendor_byvalue(0), nullptr);

    // Vendor attributes beyond one octet exist for the wider formats.
    const lr_dict_attr *da = lr_dict_attr_byname("USR-Connect-Speed");
    ASSERT_NE(da, nullptr);
    EXPECT_EQ(da->vendor, 429u);
    EXPECT_EQ(da->attr, 0x9023u);
}

TEST(DictSynthesis, NamesAndLimits) {
    lr_dict_attr da;
    char buf[64];
    const struct {
        unsigned attr, vendor;
        int result;
        const char *name;
    } cases[] = {{256, 0, 0, "Attr-256"},
                 {0, 0, 0, "Attr-0"},
                 {17, 0, 0, "Attr-17"},
                 {257, 0, -QNE_INVAL, nullptr},
                 {1, 9, 0, "Attr-26.9.1"},
                 {5, 16777216, 0, "Attr-26.16777216.5"},
                 {5, 16777217, -QNE_INVAL, nullptr}};
    for (const auto &c : cases) {
        std::memset(&da, 0xa5, sizeof da);
        ASSERT_EQ(lr_dict_attr_2struct(&da, c.attr, c.vendor, buf, sizeof buf), c.result)
            << c.attr << "/" << c.vendor;
        if (c.result) continue;
        EXPECT_STREQ(da.name, c.name);
        EXPECT_EQ(da.name, buf);
        EXPECT_EQ(da.attr, c.attr);
        EXPECT_EQ(da.vendor, c.vendor);
        EXPECT_EQ(da.type, QN_TYPE_OCTETS);
        EXPECT_EQ(da.flags, LR_DICT_FLAG_UNKNOWN);
        EXPECT_EQ(da.encrypt, 0);
        EXPECT_EQ(da.length, 0);
    }
    // The name is cut to the buffer.
    char small[8];
    ASSERT_EQ(0, lr_dict_attr_2struct(&da, 1, 9, small, sizeof small));
    EXPECT_STREQ(da.name, "Attr-26");
    EXPECT_EQ(-QNE_INVAL, lr_dict_attr_2struct(nullptr, 1, 0, buf, sizeof buf));
    EXPECT_EQ(-QNE_INVAL, lr_dict_attr_2struct(&da, 1, 0, nullptr, 0));
}

TEST(DictValues, NamedValuesAreNotSupported) {
    EXPECT_EQ(lr_dict_value_byattr(6, 0, 1), nullptr);
    EXPECT_EQ(lr_dict_value_byname(6, 0, "Login-User"), nullptr);
}

}  // namespace
