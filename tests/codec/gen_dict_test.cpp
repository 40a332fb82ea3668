// The dictionary generator refuses dictionaries that break the layout rules, naming the file
// and line, and lays out a good one as the lookups need it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// The attributes other codec modules need, so a dictionary built on this is valid.
const char *const kBase =
    "ATTRIBUTE User-Name 1 string\n"
    "ATTRIBUTE CHAP-Password 3 octets\n"
    "ATTRIBUTE Vendor-Specific 26 octets\n"
    "ATTRIBUTE CHAP-Challenge 60 octets\n"
    "ATTRIBUTE Message-Authenticator 80 octets\n"
    "ATTRIBUTE Chargeable-User-Identity 89 octets\n"
    "VENDOR Wide 9000 format=2,2\n";  // line 7

class GenDict : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/gen_dict_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the generator on the files; answers its exit status and its standard error.
    int run(std::initializer_list<std::pair<std::string, std::string>> files, std::string &err) {
        std::string cmd = std::string(QUELNA_GEN_DICT_PATH) + " -o " + (dir_ / "out.cpp").string();
        for (const auto &[name, content] : files) {
            std::ofstream(dir_ / name) << content;
            cmd += " " + (dir_ / name).string();
        }
        cmd += " 2>" + (dir_ / "err.txt").string();
        const int status = std::system(cmd.c_str());
        std::ifstream in(dir_ / "err.txt");
        std::stringstream ss;
        ss << in.rdbuf();
        err = ss.str();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string output() {
        std::ifstream in(dir_ / "out.cpp");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    fs::path dir_;
};

TEST_F(GenDict, RejectsRuleViolationsWithFileAndLine) {
    const struct {
        const char *extra;  // appended to the base as line 8 and on
        const char *where;  // expected "file:line"
        const char *message;
    } cases[] = {
        {"ATTRIBUTE Other-Name 1 string\n", "bad:8", "duplicate attribute number 1"},
        {"ATTRIBUTE user-name 2 string\n", "bad:8", "duplicate attribute name user-name"},
        {"ATTRIBUTE Big 256 integer\n", "bad:8", "outside 1..255"},
        {"ATTRIBUTE Zero 0 integer\n", "bad:8", "outside 1..255"},
        {"ATTRIBUTE Odd 5 float\n", "bad:8", "unknown type float"},
        {"ATTRIBUTE Flagged 5 string concat\n", "bad:8", "unknown flag concat"},
        {"ATTRIBUTE Tagged 5 ipaddr has_tag\n", "bad:8", "has_tag on Tagged"},
        {"ATTRIBUTE Hidden 5 integer encrypt=1\n", "bad:8", "encrypt on Hidden"},
        {"ATTRIBUTE Attr-5 5 string\n", "bad:8", "reserved"},
        {"ATTRIBUTE Bad!Name 5 string\n", "bad:8", "invalid attribute name"},
        {"FROB x\n", "bad:8", "unknown keyword FROB"},
        {"VENDOR Wide 9001\n", "bad:8", "duplicate vendor name Wide"},
        {"VENDOR Twin 9000\n", "bad:8", "duplicate vendor number 9000"},
        {"VENDOR Huge 16777217\n", "bad:8", "outside 1..16777216"},
        {"VENDOR Three 77 format=3,1\n", "bad:8", "type field size"},
        {"VENDOR Long 77 format=1,3\n", "bad:8", "length field size"},
        {"BEGIN-VENDOR Nobody\n", "bad:8", "unknown vendor Nobody"},
        {"BEGIN-VENDOR Wide\nATTRIBUTE W-1 1 string\n", "bad:8", "never ended"},
        {"END-VENDOR Wide\n", "bad:8", "without BEGIN-VENDOR"},
        {"BEGIN-VENDOR Wide\nATTRIBUTE W-1 65536 string\nEND-VENDOR Wide\n", "bad:9",
         "outside 1..65535"},
        {"BEGIN-VENDOR Wide\nATTRIBUTE W-1 7 string\nATTRIBUTE W-2 7 string\nEND-VENDOR Wide\n",
         "bad:10", "duplicate attribute number 7 of vendor 9000"},
        {"VALUE Nothing Some 1\n", "bad:8", "VALUE of unknown attribute Nothing"},
        {"VALUE User-Name Some 1\n", "bad:8", "has no named values"},
    };
    for (const auto &c : cases) {
        std::string err;
        EXPECT_EQ(1, run({{"bad", std::string(kBase) + c.extra}}, err)) << c.extra;
        const std::string where = (dir_ / c.where).string();
        EXPECT_NE(err.find(where + ": "), std::string::npos) << c.extra << " -> " << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.extra << " -> " << err;
    }
}

TEST_F(GenDict, RejectsDictionaryWithoutAttributesTheCodecNeeds) {
    std::string err;
    EXPECT_EQ(1, run({{"bad", "ATTRIBUTE User-Name 1 string\n"}}, err));
    EXPECT_NE(err.find("standard attribute 3 (CHAP-Password) is missing"), std::string::npos)
        << err;
}

TEST_F(GenDict, DuplicatesAcrossFilesNameTheFirstDefinition) {
    std::string err;
    EXPECT_EQ(1, run({{"a", kBase}, {"b", "\n# comment\nATTRIBUTE NAS-Port 1 integer\n"}}, err));
    EXPECT_NE(err.find((dir_ / "b").string() + ":3: duplicate attribute number 1"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find((dir_ / "a").string() + ":1"), std::string::npos) << err;
}

TEST_F(GenDict, LaysOutGoodDictionary) {
    std::string err;
    const std::string extra =
        "ATTRIBUTE Framed-MTU 12 integer\n"
        "ATTRIBUTE Tunnel-Password 69 string has_tag,encrypt=2\n"
        "VENDOR Alpha 50\n"
        "BEGIN-VENDOR Wide\n"
        "ATTRIBUTE W-Two 2 ipaddr\n"
        "ATTRIBUTE W-One 300 short\n"
        "END-VENDOR Wide\n"
        "BEGIN-VENDOR Alpha\n"
        "ATTRIBUTE a-first 1 ifid  # trailing comment\n"
        "END-VENDOR Alpha\n"
        "VALUE Framed-MTU Small 576\n";
    ASSERT_EQ(0, run({{"good", std::string(kBase) + extra}}, err)) << err;
    const std::string out = output();
    // Vendor part sorted by vendor then attribute, lengths from the types.
    const auto p1 = out.find("{1, QN_TYPE_IFID, 50, 0, 0, 8, \"a-first\"}");
    const auto p2 = out.find("{2, QN_TYPE_IPADDR, 9000, 0, 0, 4, \"W-Two\"}");
    const auto p3 = out.find("{300, QN_TYPE_SHORT, 9000, 0, 0, 2, \"W-One\"}");
    ASSERT_NE(p1, std::string::npos) << out;
    ASSERT_NE(p2, std::string::npos) << out;
    ASSERT_NE(p3, std::string::npos) << out;
    EXPECT_LT(p1, p2);
    EXPECT_LT(p2, p3);
    EXPECT_NE(out.find("{69, QN_TYPE_STRING, 0, 1, 2, 0, \"Tunnel-Password\"}"),
              std::string::npos);
    EXPECT_NE(out.find("lr_dict_num_attrs = 258;"), std::string::npos);
    EXPECT_NE(out.find("lr_dict_num_names = 11;"), std::string::npos);
    // Names in strcasecmp order: a-first before CHAP-Challenge before W-One.
    const auto n1 = out.find("&lr_dict_attrs[256]");
    const auto n2 = out.find("&lr_dict_attrs[60]");
    const auto n3 = out.find("&lr_dict_attrs[258]");
    EXPECT_LT(n1, n2);
    EXPECT_LT(n2, n3);
    EXPECT_NE(out.find("{50, 1, 1, \"Alpha\"}"), std::string::npos);
    EXPECT_NE(out.find("{9000, 2, 2, \"Wide\"}"), std::string::npos);
}

}  // namespace
