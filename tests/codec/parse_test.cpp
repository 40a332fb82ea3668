// Parsing "name = value" texts into value pairs, and the round trip through the text form.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quelna/codec.h"

namespace {

struct Parsed {
    lr_value_pair *vp = nullptr;
    int rcode = 0;
    std::string message;
    explicit Parsed(const std::string &text)
    {
        lr_strerror_printf("(none)");
        rcode = lr_vp_sscanf(text.c_str(), &vp);
        message = lr_strerror();
    }
    ~Parsed() { lr_vp_free(&vp); }
    std::string value() const
    {
        return std::string(reinterpret_cast<const char *>(vp->value), vp->length);
    }
};

TEST(ParseLine, SpacingAndCase)
{
    for (const char *text : {"User-Name = bob", "user-name=bob", "User-Name   =   bob"}) {
        Parsed p(text);
        ASSERT_EQ(p.rcode, 0) << text;
        ASSERT_NE(p.vp, nullptr);
        EXPECT_EQ(p.vp->da, lr_dict_attr_byvalue(1, 0));
        EXPECT_EQ(p.value(), "bob");
        EXPECT_EQ(p.vp->value[3], 0);
    }
    // Trailing spaces belong to the value.
    Parsed p("User-Name = bob  ");
    ASSERT_EQ(p.rcode, 0);
    EXPECT_EQ(p.value(), "bob  ");
}

TEST(ParseLine, BadNamesGiveTheirCodeAndMessage)
{
    struct Case {
        std::string text;
        int rcode;
        std::string message;
    } cases[] = {
        {" User-Name = bob", -QNE_ATTR_BAD_NAME, "No Attribute name"},
        {"=bob", -QNE_ATTR_BAD_NAME, "No Attribute name"},
        {"", -QNE_ATTR_BAD_NAME, "No Attribute name"},
        {"User-Name\t= bob", -QNE_ATTR_UNKNOWN, "Unknown attribute \"User-Name\t\""},
        {"No-Such-Thing = 1", -QNE_ATTR_UNKNOWN, "Unknown attribute \"No-Such-Thing\""},
        {"User-Name x", -QNE_ATTR_BAD_NAME, "Unexpected text after attribute name"},
        {"User-Name", -QNE_ATTR_BAD_NAME, "Unexpected text after attribute name"},
        {"User-Name   ", -QNE_ATTR_BAD_NAME, "Unexpected text after attribute name"},
        {std::string(127, 'A') + " = 1", -QNE_ATTR_UNKNOWN,
         "Unknown attribute \"" + std::string(127, 'A') + "\""},
        {std::string(128, 'A') + " = 1", -QNE_ATTR_BAD_NAME, "Attribute name too long"},
        {std::string(100000, 'B'), -QNE_ATTR_BAD_NAME, "Attribute name too long"},
        {"\x01\xff\x7f = 1", -QNE_ATTR_UNKNOWN, "Unknown attribute \"\x01\xff\x7f\""},
    };
    for (const auto &c : cases) {
        Parsed p(c.text);
        EXPECT_EQ(p.rcode, c.rcode) << c.text.substr(0, 40);
        EXPECT_EQ(p.message, c.message);
        EXPECT_EQ(p.vp, nullptr);
    }

    lr_value_pair *vp = nullptr;
    EXPECT_EQ(lr_vp_sscanf(nullptr, &vp), -QNE_INVAL);
    EXPECT_EQ(lr_vp_sscanf("User-Name = bob", nullptr), -QNE_INVAL);
    EXPECT_EQ(lr_vp_sscanf_value(nullptr, "1"), -QNE_INVAL);
}

TEST(ParseValue, Numbers)
{
    Parsed ok("Session-Timeout = 4294967295");
    ASSERT_EQ(ok.rcode, 0);
    uint32_t n = 0;
    std::memcpy(&n, ok.vp->value, 4);
    EXPECT_EQ(n, 4294967295u);
    EXPECT_EQ(ok.vp->length, 4u);

    Parsed date("Event-Timestamp = 1700000000");
    ASSERT_EQ(date.rcode, 0);
    std::memcpy(&n, date.vp->value, 4);
    EXPECT_EQ(n, 1700000000u);

    // Anything but a whole decimal number of 32 bits is refused rather than stored as some
    // other number.
    for (const char *bad : {"12x", "", "x", "4294967296", "4294967297", "-1", "- 1", "1 ",
                            "99999999999999999999999999999999999999999", "0x10"}) {
        Parsed p(std::string("Session-Timeout = ") + bad);
        EXPECT_EQ(p.rcode, -QNE_ATTR_VALUE_MALFORMED) << bad;
        EXPECT_EQ(p.message, "Invalid value") << bad;
        EXPECT_EQ(p.vp, nullptr);
    }

    // The number of characters used comes back from the value parser.
    lr_value_pair vp;
    lr_vp_init(&vp, lr_dict_attr_byname("NAS-Port"));
    EXPECT_EQ(lr_vp_sscanf_value(&vp, "12345"), 5);
    EXPECT_EQ(lr_vp_sscanf_value(&vp, "12x"), -QNE_ATTR_VALUE_MALFORMED);
    std::memcpy(&n, vp.value, 4);
    EXPECT_EQ(n, 12345u) << "a refused text changed the pair";
}

TEST(ParseValue, StringsUpTo253Characters)
{
    Parsed ok("Reply-Message = " + std::string(253, 'x'));
    ASSERT_EQ(ok.rcode, 0);
    EXPECT_EQ(ok.vp->length, 253u);
    EXPECT_EQ(ok.vp->value[253], 0);

    for (size_t len : {254, 255, 100000}) {
        Parsed p("Reply-Message = " + std::string(len, 'x'));
        EXPECT_EQ(p.rcode, -QNE_ATTR_TOO_LARGE);
        EXPECT_EQ(p.message, "(none)") << "this refusal has no message";
    }

    // Binary octets are text like any other (the value ends only at the terminator).
    Parsed bin(std::string("User-Name = \x01\x02\xff\t=x"));
    ASSERT_EQ(bin.rcode, 0);
    EXPECT_EQ(bin.value(), "\x01\x02\xff\t=x");
}

TEST(ParseValue, Addresses)
{
    Parsed ok("NAS-IP-Address = 192.0.2.1");
    ASSERT_EQ(ok.rcode, 0);
    const uint8_t want[] = {0xC0, 0x00, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(ok.vp->value, want, 4), 0);

    for (const char *bad : {"300.1.1.1", "1.2.3", "", "::1", "1.2.3.4 ", "localhost"}) {
        Parsed p(std::string("NAS-IP-Address = ") + bad);
        EXPECT_EQ(p.rcode, -QNE_NOSYS) << bad;
        EXPECT_EQ(p.message, "(none)");
    }
}

TEST(ParseValue, TypesWithoutTextForm)
{
    for (const char *text : {"State = 0x01", "Framed-Interface-Id = 1", "Framed-IPv6-Prefix = x"}) {
        Parsed p(text);
        EXPECT_EQ(p.rcode, -QNE_ATTR_TYPE_UNKNOWN) << text;
        EXPECT_EQ(p.message, "Invalid type");
        EXPECT_EQ(p.vp, nullptr);
    }
}

/** Prints a pair's line form and parses it back; the new pair must equal the old one. */
void expect_round_trip(const lr_value_pair *vp)
{
    char line[1024];
    ASSERT_GT(lr_vp_snprintf(line, sizeof line, vp), 0u) << vp->da->name;
    Parsed back(line);
    ASSERT_EQ(back.rcode, 0) << line;
    EXPECT_EQ(back.vp->da, vp->da) << line;
    EXPECT_EQ(back.vp->length, vp->length) << line;
    EXPECT_EQ(std::memcmp(back.vp->value, vp->value, sizeof vp->value), 0) << line;
}

TEST(RoundTrip, EveryParsableAttributeOfTheDictionary)
{
    std::mt19937 rng(4);
    size_t tried = 0;
    for (int32_t i = 1; i <= lr_dict_num_names; i++) {
        const lr_dict_attr *da = lr_dict_attr_names[i];
        std::vector<std::string> texts;
        switch (da->type) {
        case QN_TYPE_STRING:
            texts = {"a", std::string(253, 'z'), "with space", "tab\there", "\x80\xfe\x01"};
            break;
        case QN_TYPE_INTEGER:
        case QN_TYPE_DATE:
            texts = {"0", "1", "4294967295", std::to_string(rng())};
            break;
        case QN_TYPE_IPADDR:
            texts = {"0.0.0.0", "255.255.255.255", "192.0.2.1", "10.0.0.254"};
            break;
        default:
            continue;
        }
        for (const auto &value : texts) {
            // Text to pair, pair to text, text to an equal pair.
            Parsed first(std::string(da->name) + " = " + value);
            ASSERT_EQ(first.rcode, 0) << da->name << " = " << value;
            expect_round_trip(first.vp);
            tried++;
        }
    }
    EXPECT_GT(tried, 500u);
}

TEST(RoundTrip, RandomTextsThatParseComeBackTheSame)
{
    // Random texts over a small alphabet that makes names, separators and values likely.
    const std::string alphabet = "User-Name NAS-IP-Address Session-Timeout = 0123456789. x\t";
    const char *names[] = {"User-Name", "NAS-IP-Address", "Session-Timeout", "Event-Timestamp"};
    std::mt19937 rng(11);
    size_t parsed = 0;
    for (int round = 0; round < 20000; round++) {
        std::string text = names[rng() % 4];
        text += std::string(rng() % 3, ' ') + (rng() % 8 ? "=" : "") + std::string(rng() % 3, ' ');
        for (size_t n = rng() % 16; n > 0; n--) text += alphabet[rng() % alphabet.size()];
        Parsed p(text);
        if (p.rcode != 0) {
            EXPECT_EQ(p.vp, nullptr);
            continue;
        }
        parsed++;
        if (p.vp->da->type == QN_TYPE_STRING && p.vp->length == 0) continue;  // no line form
        expect_round_trip(p.vp);
    }
    EXPECT_GT(parsed, 1000u);
}

}  // namespace
