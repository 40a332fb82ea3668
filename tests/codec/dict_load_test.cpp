// Dictionaries loaded at run time: a deployment's FreeRADIUS dictionary resolves by name and by
// number, in the text forms and on the wire; named values both ways; what the codec cannot use
// is kept as octets or left out and counted; a bad file is refused with its file and line and
// the dictionary loaded before stays as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <quelna/codec.h>
#include <quelna/quelna.h>

#include "packet_test_util.h"

namespace {

namespace fs = std::filesystem;

class DictLoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        echo_ = lr_strerror_echo(0);
        char tmpl[] = "/tmp/dict_load_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        lr_dict_unload_all();
        lr_strerror_echo(echo_);
        fs::remove_all(dir_);
    }
    std::string write(const std::string &name, const std::string &text)
    {
        fs::create_directories((dir_ / name).parent_path());
        std::ofstream(dir_ / name, std::ios::binary) << text;
        return (dir_ / name).string();
    }
    static lr_dict_counts counts()
    {
        lr_dict_counts c;
        lr_dict_load_counts(&c);
        return c;
    }

    fs::path dir_;
    int echo_ = 1;
};

TEST_F(DictLoad, DebianDictionaryWorksWhereverNamesDo)
{
    const char *const debian = "/usr/share/freeradius/dictionary";
    if (access(debian, R_OK) != 0)
        GTEST_SKIP() << debian << " is not installed (freeradius-common)";
    ASSERT_EQ(lr_dict_load(debian), 0) << lr_strerror();
    EXPECT_GT(counts().attributes, 5000u);
    EXPECT_GT(counts().as_octets, 0u);
    EXPECT_GT(counts().skipped_attributes, 0u);

    const struct {
        const char *text;  // the text form, which the pair must print back
        const char *vendor;
        unsigned vendor_number, attr;
        qn_attr_type type;
    } cases[] = {
        {"Cisco-AVPair = shell:priv-lvl=15", "Cisco", 9, 1, QN_TYPE_STRING},
        {"Mikrotik-Rate-Limit = 1M/2M", "Mikrotik", 14988, 8, QN_TYPE_STRING},
        {"WISPr-Bandwidth-Max-Down = 2048000", "WISPr", 14122, 8, QN_TYPE_INTEGER},
    };
    for (const auto &c : cases) {
        lr_value_pair *vp = nullptr;
        ASSERT_EQ(lr_vp_sscanf(c.text, &vp), 0) << c.text << ": " << lr_strerror();
        quelna::test::Pairs keep;
        keep.head = vp;
        EXPECT_EQ(vp->da->vendor, c.vendor_number) << c.text;
        EXPECT_EQ(vp->da->attr, c.attr) << c.text;
        EXPECT_EQ(vp->da->type, c.type) << c.text;
        EXPECT_EQ(lr_dict_attr_byvalue(c.attr, c.vendor_number), vp->da) << c.text;
        EXPECT_EQ(lr_dict_vendor_byname(c.vendor), c.vendor_number);
        unsigned attr = 0, vendor = 0;
        EXPECT_EQ(qn_attr_find(vp->da->name, &attr, &vendor), QNE_OK);
        EXPECT_EQ(attr, c.attr);
        EXPECT_EQ(vendor, c.vendor_number);

        // On the wire: a Vendor-Specific attribute of the vendor's number, decoded back to the
        // same descriptor and text.
        quelna::test::Packet req;
        ASSERT_EQ(req.init(1, "secret"), 0);
        uint8_t out[64];
        const lr_value_pair *cursor = vp;
        const ssize_t n = lr_vp2attr(&req.pkt, nullptr, &cursor, out, sizeof out);
        ASSERT_GT(n, 8) << c.text;
        EXPECT_EQ(quelna::test::to_hex(out, 7),
                  quelna::test::to_hex(quelna::test::Bytes{
                      26, static_cast<uint8_t>(n), 0, static_cast<uint8_t>(c.vendor_number >> 16),
                      static_cast<uint8_t>(c.vendor_number >> 8),
                      static_cast<uint8_t>(c.vendor_number), static_cast<uint8_t>(c.attr)}));
        quelna::test::Pairs back;
        ASSERT_EQ(lr_attr2vp(&req.pkt, nullptr, out, static_cast<size_t>(n), &back.head), n);
        ASSERT_NE(back.head, nullptr);
        EXPECT_EQ(back.head->da, vp->da) << c.text;
        char text[128];
        ASSERT_GT(lr_vp_snprintf(text, sizeof text, back.head), 0);
        EXPECT_STREQ(text, c.text);
    }

    // Named values of a loaded vendor, and the latest of several names for one number.
    uint32_t v = 0;
    const lr_dict_attr *algo = lr_dict_attr_byname("Mikrotik-Wireless-Enc-Algo");
    ASSERT_NE(algo, nullptr);
    EXPECT_EQ(lr_dict_value_find(algo->attr, algo->vendor, "aes-ccm", &v), 0);
    EXPECT_EQ(v, 3u);
    EXPECT_STREQ(lr_dict_value_name(algo->attr, algo->vendor, 3), "AES-CCM");
    EXPECT_STREQ(lr_dict_value_name(40, 0, 3), "Interim-Update");  // "Alive" comes first
    EXPECT_EQ(lr_dict_value_find(40, 0, "Alive", &v), 0);
    EXPECT_EQ(v, 3u);
}

TEST_F(DictLoad, NamedValuesOfTheBuiltInDictionaryBothWays)
{
    const struct {
        unsigned attr;
        const char *name;
        uint32_t value;
    } cases[] = {{6, "Framed-User", 2}, {40, "Start", 1}, {64, "VLAN", 13}};
    for (const auto &c : cases) {
        EXPECT_STREQ(lr_dict_value_name(c.attr, 0, c.value), c.name);
        uint32_t v = 0;
        EXPECT_EQ(lr_dict_value_find(c.attr, 0, c.name, &v), 0) << c.name;
        EXPECT_EQ(v, c.value) << c.name;
        std::string lower = c.name;
        for (auto &ch : lower)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_EQ(lr_dict_value_find(c.attr, 0, lower.c_str(), &v), 0) << lower;
    }
    uint32_t v = 7;
    EXPECT_EQ(lr_dict_value_find(6, 0, "No-Such-Value", &v), -QNE_ATTR_VALUE_MALFORMED);
    EXPECT_EQ(lr_dict_value_find(1, 0, "Framed-User", &v), -QNE_ATTR_VALUE_MALFORMED);
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(lr_dict_value_find(6, 0, nullptr, &v), -QNE_INVAL);
    EXPECT_EQ(lr_dict_value_name(6, 0, 99999), nullptr);
    EXPECT_EQ(lr_dict_value_byattr(6, 0, 2), nullptr);  // the documented lookups stay null
}

// A deployment's files: includes, types and flags the codec lacks, blocks it cannot represent.
TEST_F(DictLoad, KeepsWhatItCanAndCountsWhatItLeavesOut)
{
    write("sub/example.dict",
          "VENDOR Example 32473 format=2,1\n"
          "BEGIN-VENDOR Example\n"
          "ATTRIBUTE Example-Group 1 String\n"
          "ATTRIBUTE Example-Big 2 integer64\n"
          "ATTRIBUTE Example-Key 3 octets[16] encrypt=2\n"
          "ATTRIBUTE Example-List 4 ipaddr array\n"
          "ATTRIBUTE Example-Secret 5 string encrypt=3\n"
          "BEGIN-TLV Example-Tlv\n"
          "ATTRIBUTE Example-Child 1 integer\n"
          "END-TLV Example-Tlv\n"
          "ATTRIBUTE Example-Level 700 integer\n"
          "VALUE Example-Level High 3\n"
          "VALUE Example-Secret Anything 1\n"
          "END-VENDOR Example\n");
    const std::string main = write("main.dict",
                                   "$INCLUDE sub/example.dict  # relative to this file\n"
                                   "VENDOR Wide 32474 format=1,1,c\n"
                                   "BEGIN-VENDOR Wide\n"
                                   "ATTRIBUTE Wide-One 1 string\n"
                                   "END-VENDOR Wide\n"
                                   "ATTRIBUTE Internal-Thing 1000 string\n"
                                   "ATTRIBUTE Extended-Child 241.1 integer\n"
                                   "FLAGS internal\n");
    ASSERT_EQ(lr_dict_load(main.c_str()), 0) << lr_strerror();
    const struct {
        const char *name;
        qn_attr_type type;  // QN_TYPE_NONE: left out
        unsigned encrypt;
    } cases[] = {{"Example-Group", QN_TYPE_STRING, 0},   {"Example-Big", QN_TYPE_OCTETS, 0},
                 {"Example-Key", QN_TYPE_OCTETS, 2},     {"Example-List", QN_TYPE_IPADDR, 0},
                 {"Example-Level", QN_TYPE_INTEGER, 0},  {"Example-Secret", QN_TYPE_NONE, 0},
                 {"Example-Child", QN_TYPE_NONE, 0},     {"Wide-One", QN_TYPE_NONE, 0},
                 {"Internal-Thing", QN_TYPE_NONE, 0},    {"Extended-Child", QN_TYPE_NONE, 0}};
    for (const auto &c : cases) {
        const lr_dict_attr *da = lr_dict_attr_byname(c.name);
        if (c.type == QN_TYPE_NONE) {
            EXPECT_EQ(da, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(da, nullptr) << c.name;
        EXPECT_EQ(da->type, c.type) << c.name;
        EXPECT_EQ(da->encrypt, c.encrypt) << c.name;
        EXPECT_EQ(da->vendor, 32473u) << c.name;
    }
    const lr_dict_vendor *dv = lr_dict_vendor_byvalue(32473);
    ASSERT_NE(dv, nullptr);
    EXPECT_EQ(dv->type * 10 + dv->length, 21u);
    EXPECT_EQ(lr_dict_vendor_byname("Wide"), 0u);
    EXPECT_STREQ(lr_dict_value_name(700, 32473, 3), "High");

    lr_dict_counts c = counts();
    EXPECT_EQ(c.attributes, 5u);
    EXPECT_EQ(c.vendors, 1u);
    EXPECT_EQ(c.values, 1u);
    EXPECT_EQ(c.as_octets, 1u);
    EXPECT_EQ(c.skipped_attributes, 5u);
    EXPECT_EQ(c.skipped_values, 1u);
    EXPECT_EQ(c.skipped_lines, 4u);  // BEGIN-TLV, END-TLV, VENDOR Wide, FLAGS
    EXPECT_EQ(c.ignored_flags, 1u);

    // The same files again define nothing new.
    ASSERT_EQ(lr_dict_load(main.c_str()), 0) << lr_strerror();
    EXPECT_EQ(counts().attributes, 5u);
    EXPECT_EQ(counts().values, 1u);
}

TEST_F(DictLoad, NumbersWithSeveralNames)
{
    const std::string path = write("names.dict",
                                   "ATTRIBUTE Login-Name 1 string\n"
                                   "ATTRIBUTE Port-Text 5 string\n"
                                   "VENDOR Example 32473\n"
                                   "BEGIN-VENDOR Example\n"
                                   "ATTRIBUTE Ex-Old 10 integer\n"
                                   "ATTRIBUTE Ex-New 10 string\n"
                                   "END-VENDOR Example\n");
    ASSERT_EQ(lr_dict_load(path.c_str()), 0) << lr_strerror();
    // Another name of the same type is the built-in descriptor itself (other modules compare
    // descriptors by identity); one of another type keeps its type, and the number decodes as
    // the built-in attribute.
    EXPECT_EQ(lr_dict_attr_byname("Login-Name"), lr_dict_attr_byvalue(1, 0));
    const lr_dict_attr *text = lr_dict_attr_byname("Port-Text");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->type, QN_TYPE_STRING);
    EXPECT_STREQ(lr_dict_attr_byvalue(5, 0)->name, "NAS-Port");
    // A loaded number decodes by its latest definition; the older name still writes its type.
    EXPECT_STREQ(lr_dict_attr_byvalue(10, 32473)->name, "Ex-New");
    EXPECT_EQ(lr_dict_attr_byname("Ex-Old")->type, QN_TYPE_INTEGER);
}

TEST_F(DictLoad, BadFilesNameFileAndLineAndKeepTheDictionaryBefore)
{
    const std::string good = write("good.dict",
                                   "VENDOR Example 32473\n"
                                   "BEGIN-VENDOR Example\n"
                                   "ATTRIBUTE Ex-Good 1 string\n"
                                   "ATTRIBUTE Ex-Level 2 integer\n"
                                   "VALUE Ex-Level Low 1\n"
                                   "END-VENDOR Example\n");
    ASSERT_EQ(lr_dict_load(good.c_str()), 0) << lr_strerror();
    const lr_dict_attr *kept = lr_dict_attr_byname("Ex-Good");
    ASSERT_NE(kept, nullptr);
    const lr_dict_counts before = counts();

    // Lines 1-4 are good; the fault is on the line given.
    const std::string head =
        "VENDOR Fresh 40000\nBEGIN-VENDOR Fresh\nATTRIBUTE Fresh-Early 1 string\n"
        "END-VENDOR Fresh\n";
    const std::string bad = (dir_ / "bad.dict").string();
    const struct {
        std::string text;
        int line;
        std::string message;
    } cases[] = {
        {"FROB x\n", 5, "unknown keyword FROB"},
        {"ATTRIBUTE User-Name 2 string\n", 5,
         "attribute User-Name (number 2, string) is already number 1, string in the built-in "
         "dictionary"},
        {"BEGIN-VENDOR Example\nATTRIBUTE Ex-Good 1 integer\nEND-VENDOR Example\n", 6,
         "attribute Ex-Good (vendor 32473 number 1, integer) is already vendor 32473 number 1, "
         "string by an earlier load"},
        {"ATTRIBUTE Fresh-Early 7 string\n", 5, "is already vendor 40000 number 1, string at " +
                                                    bad + ":3"},
        {"VENDOR Microsoft 311 format=2,2\n", 5,
         "vendor Microsoft is already Microsoft 311 format=1,1 in the built-in dictionary"},
        {"VALUE Nothing Some 1\n", 5, "VALUE Some of unknown attribute Nothing"},
        {"VALUE Ex-Level low 2\n", 5, "VALUE low of Ex-Level is already 1"},
        {"$INCLUDE missing.dict\n", 5,
         "cannot open included file " + (dir_ / "missing.dict").string() +
             ": No such file or directory"},
        {"$INCLUDE bad.dict\n", 5, "$INCLUDE nested 16 deep"},
        {"# " + std::string(10000, 'x') + "\n", 5, "line longer than 4096 characters"},
        {std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10) + "\n", 5,
         "control character 0x7f (not a text file?)"},
        {"BEGIN-VENDOR Fresh\nATTRIBUTE Fresh-Late 2 string\n", 5, "is never ended"},
    };
    for (const auto &c : cases) {
        write("bad.dict", head + c.text);
        EXPECT_EQ(lr_dict_load(bad.c_str()), -QNE_CONFIG) << c.message;
        const std::string msg = lr_strerror();
        EXPECT_EQ(msg.rfind(bad + ":" + std::to_string(c.line) + ": ", 0), 0u) << msg;
        EXPECT_NE(msg.find(c.message), std::string::npos) << msg;
        // Nothing of the bad file was published; what was loaded before still works.
        EXPECT_EQ(lr_dict_attr_byname("Fresh-Early"), nullptr) << c.message;
        EXPECT_EQ(lr_dict_vendor_byname("Fresh"), 0u) << c.message;
        EXPECT_EQ(lr_dict_attr_byname("Ex-Good"), kept) << c.message;
        EXPECT_EQ(counts().attributes, before.attributes) << c.message;
    }

    EXPECT_EQ(lr_dict_load("/nonexistent/dictionary"), -QNE_CONFIG);
    EXPECT_STREQ(lr_strerror(),
                 "/nonexistent/dictionary: cannot open dictionary file: No such file or directory");
    EXPECT_EQ(lr_dict_load(nullptr), -QNE_INVAL);

    // The library's call records the codec's message on the context.
    qn_context *ctx = nullptr;
    ASSERT_EQ(qn_context_create(&ctx), QNE_OK);
    write("bad.dict", head + "FROB x\n");
    EXPECT_EQ(qn_dict_load(ctx, bad.c_str()), QNE_CONFIG);
    qn_error *err = qn_err_ctx_pop(ctx);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(std::string(qn_err_msg(err)), bad + ":5: unknown keyword FROB");
    qn_err_free(err);
    EXPECT_EQ(qn_dict_load(ctx, good.c_str()), QNE_OK);
    qn_context_destroy(ctx);
}

}  // namespace
