// The built-in dictionary checked against the dictionaries a FreeRADIUS server installs (Debian's
// freeradius-common, under /usr/share/freeradius): every attribute and vendor both know, by name
// or by number, must agree on number, name, type, vendor format and flags, and every standard
// attribute and every attribute of a vendor both know must be known there. FreeRADIUS prints a
// number by the name defined last for it, so that is the name compared. Deliberate differences
// are listed with their reasons; a listed difference that no longer occurs fails as well, so the
// list stays true.
#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <quelna/codec.h>

namespace {

namespace fs = std::filesystem;

const fs::path kOracleDir = "/usr/share/freeradius";

// FreeRADIUS type words (case ignored; a length suffix such as octets[16] dropped) and the codec
// type each corresponds to.
const std::map<std::string, qn_attr_type> kTypes = {
    {"string", QN_TYPE_STRING},     {"octets", QN_TYPE_OCTETS},
    {"integer", QN_TYPE_INTEGER},   {"ipaddr", QN_TYPE_IPADDR},
    {"date", QN_TYPE_DATE},         {"ifid", QN_TYPE_IFID},
    {"ipv6addr", QN_TYPE_IPV6ADDR}, {"ipv6prefix", QN_TYPE_IPV6PREFIX},
    {"byte", QN_TYPE_BYTE},         {"short", QN_TYPE_SHORT}};
// FreeRADIUS types the codec lacks; it carries them as octets.
const std::set<std::string> kAsOctets = {
    "ipv4prefix", "combo-ip",      "integer64", "signed", "ether",  "abinary", "tlv",
    "extended",   "long-extended", "evs",       "vsa",    "uint16", "uint32"};

qn_attr_type codec_type(const std::string &word)
{
    const auto it = kTypes.find(word);
    return it != kTypes.end() ? it->second : QN_TYPE_OCTETS;
}

std::string type_word(qn_attr_type type)
{
    for (const auto &[word, t] : kTypes)
        if (t == type)
            return word;
    return "type " + std::to_string(type);
}

enum class Field { Absent, Number, Name, Type, Flags, Format };
const char *const kFieldNames[] = {"absent", "number", "name", "type", "flags", "format"};

// Deliberate differences: the built-in name (attribute or vendor), what differs, and why.
struct Intended {
    const char *name;
    Field field;
    const char *reason;
};
const Intended kIntended[] = {
    {"MS-CHAP-MPPE-Keys", Field::Flags,
     "a User-Password reveal ends the value at its first zero octet, and keys hold zero octets"},
    {"Lucent-Traffic-Descriptor-Name", Field::Absent,
     "number 1000 is unassigned; the loopback server's raw reply uses it as a two-octet type"},
};

struct OracleAttr {
    std::string name;
    uint32_t attr = 0;
    uint32_t vendor = 0;
    std::string type;
    bool has_tag = false;
    unsigned encrypt = 0;
    std::string where;
};

struct OracleVendor {
    std::string name;
    uint32_t number = 0;
    size_t type = 1;
    size_t length = 1;
    std::string where;
};

struct CaseLess {
    bool operator()(const std::string &a, const std::string &b) const
    {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

// Just enough of the FreeRADIUS dictionary syntax to learn numbers, types, flags and vendor
// formats. What the codec cannot represent (members of TLVs and extended attributes, dotted
// numbers) is counted and left out; an unknown keyword is an error, so nothing is missed silently.
class Oracle {
public:
    void read(const fs::path &file, int depth = 0);

    std::map<std::string, OracleAttr, CaseLess> by_name;
    std::map<std::pair<uint32_t, uint32_t>, OracleAttr> by_number;  // the last definition
    std::map<std::string, OracleVendor, CaseLess> vendors_by_name;
    std::map<uint32_t, OracleVendor> vendors_by_number;
    int skipped = 0;
    std::vector<std::string> errors;

private:
    void attribute(const std::vector<std::string> &tok, const std::string &where);
    void vendor(const std::vector<std::string> &tok, const std::string &where);

    uint32_t block_ = 0;      // vendor of the open BEGIN-VENDOR block
    bool block_evs_ = false;  // that block holds extended vendor attributes
    int tlv_depth_ = 0;
};

bool number(const std::string &s, uint32_t &out)
{
    if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0])))
        return false;
    char *end = nullptr;
    const unsigned long v = std::strtoul(s.c_str(), &end, 0);
    out = static_cast<uint32_t>(v);
    return *end == '\0' && v <= 0xffffffffUL;
}

void Oracle::read(const fs::path &file, int depth)
{
    std::ifstream in(file);
    if (!in || depth > 8) {
        errors.push_back(file.string() + ": cannot read");
        return;
    }
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        const std::string where = file.filename().string() + ":" + std::to_string(n);
        std::istringstream ls(line.substr(0, line.find('#')));
        std::vector<std::string> tok;
        for (std::string t; ls >> t;)
            tok.push_back(t);
        if (tok.empty())
            continue;
        const std::string &kw = tok[0];
        if ((kw == "$INCLUDE" || kw == "$INCLUDE-") && tok.size() == 2) {
            const fs::path inc = file.parent_path() / tok[1];
            if (kw == "$INCLUDE" || fs::exists(inc))
                read(inc, depth + 1);
        } else if (kw == "ATTRIBUTE" && tok.size() >= 4) {
            attribute(tok, where);
        } else if (kw == "VENDOR" && tok.size() >= 3) {
            vendor(tok, where);
        } else if (kw == "BEGIN-VENDOR" && tok.size() >= 2 && vendors_by_name.count(tok[1])) {
            block_ = vendors_by_name[tok[1]].number;
            block_evs_ = tok.size() > 2;  // format=Extended-Vendor-Specific-N
        } else if (kw == "END-VENDOR") {
            block_ = 0;
            block_evs_ = false;
        } else if (kw == "BEGIN-TLV" || kw == "END-TLV") {
            tlv_depth_ += kw == "BEGIN-TLV" ? 1 : -1;
        } else if (kw != "VALUE") {
            errors.push_back(where + ": cannot read " + line);
        }
    }
}

void Oracle::attribute(const std::vector<std::string> &tok, const std::string &where)
{
    OracleAttr a;
    a.name = tok[1];
    a.vendor = block_;
    a.where = where;
    if (tlv_depth_ > 0 || block_evs_ || tok[2].find('.') != std::string::npos) {
        ++skipped;
        return;
    }
    a.type = tok[3].substr(0, tok[3].find('['));
    std::transform(a.type.begin(), a.type.end(), a.type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!number(tok[2], a.attr) || (!kTypes.count(a.type) && !kAsOctets.count(a.type))) {
        errors.push_back(where + ": cannot read attribute " + a.name);
        return;
    }
    if (tok.size() > 4 && vendors_by_name.count(tok[4])) {  // ATTRIBUTE name number type vendor
        a.vendor = vendors_by_name[tok[4]].number;
    } else if (tok.size() > 4) {
        std::istringstream flags(tok[4]);
        for (std::string f; std::getline(flags, f, ',');) {
            if (f == "has_tag")
                a.has_tag = true;
            if (f.rfind("encrypt=", 0) == 0 && !number(f.substr(8), a.encrypt))
                errors.push_back(where + ": cannot read the flags of " + a.name);
        }
    }
    by_name[a.name] = a;
    by_number[{a.vendor, a.attr}] = a;
}

void Oracle::vendor(const std::vector<std::string> &tok, const std::string &where)
{
    OracleVendor v;
    v.name = tok[1];
    v.where = where;
    if (!number(tok[2], v.number)) {
        errors.push_back(where + ": cannot read vendor " + v.name);
        return;
    }
    if (tok.size() > 3 && tok[3].rfind("format=", 0) == 0) {
        // format=t,l or format=t,l,c (the c marks continued values; the field sizes are the same)
        if (std::sscanf(tok[3].c_str(), "format=%zu,%zu", &v.type, &v.length) != 2)
            errors.push_back(where + ": cannot read the format of vendor " + v.name);
    }
    vendors_by_name[v.name] = v;
    vendors_by_number[v.number] = v;
}

std::string describe(const lr_dict_attr &e)
{
    std::string s = e.vendor ? "26." + std::to_string(e.vendor) + "." : "";
    return s + std::to_string(e.attr);
}

std::string describe(const OracleAttr &a)
{
    std::string s = a.vendor ? "26." + std::to_string(a.vendor) + "." : "";
    s += std::to_string(a.attr) + " " + a.type + (a.has_tag ? " has_tag" : "");
    if (a.encrypt)
        s += " encrypt=" + std::to_string(a.encrypt);
    return s + " at " + a.where;
}

// Differences found, keyed by built-in name and field, with what FreeRADIUS says.
using Differences = std::map<std::pair<std::string, Field>, std::string>;

// Compares a built-in entry with the oracle's entry of the same number.
void compare_same_number(const lr_dict_attr &e, const OracleAttr &a, Differences &out)
{
    if (strcasecmp(e.name, a.name.c_str()) != 0)
        out[{e.name, Field::Name}] =
            "FreeRADIUS names " + describe(e) + " " + a.name + " (" + describe(a) + ")";
    if (codec_type(a.type) != e.type)
        out[{e.name, Field::Type}] = type_word(e.type) + ", FreeRADIUS " + describe(a);
    if (((e.flags & LR_DICT_FLAG_HAS_TAG) != 0) != a.has_tag || e.encrypt != a.encrypt)
        out[{e.name, Field::Flags}] = "has_tag " + std::to_string(e.flags & LR_DICT_FLAG_HAS_TAG) +
                                      " encrypt " + std::to_string(e.encrypt) + ", FreeRADIUS " +
                                      describe(a);
}

Differences find_differences(const Oracle &oracle)
{
    Differences out;
    for (const lr_dict_vendor *v = lr_dict_vendors; v->name; ++v) {
        const auto by_name = oracle.vendors_by_name.find(v->name);
        if (by_name != oracle.vendors_by_name.end() && by_name->second.number != v->vendor)
            out[{v->name, Field::Number}] =
                "vendor " + std::to_string(v->vendor) + ", FreeRADIUS " +
                std::to_string(by_name->second.number) + " at " + by_name->second.where;
        const auto by_number = oracle.vendors_by_number.find(v->vendor);
        if (by_number == oracle.vendors_by_number.end())
            continue;
        const OracleVendor &o = by_number->second;
        if (strcasecmp(o.name.c_str(), v->name) != 0)
            out[{v->name, Field::Name}] = "FreeRADIUS names vendor " + std::to_string(v->vendor) +
                                          " " + o.name + " at " + o.where;
        if (o.type != v->type || o.length != v->length)
            out[{v->name, Field::Format}] = "format " + std::to_string(v->type) + "," +
                                            std::to_string(v->length) + ", FreeRADIUS " +
                                            std::to_string(o.type) + "," +
                                            std::to_string(o.length) + " at " + o.where;
    }
    for (int32_t i = 1; i <= lr_dict_num_attrs; ++i) {
        const lr_dict_attr &e = lr_dict_attrs[i];
        if (!e.name)
            continue;
        const auto by_name = oracle.by_name.find(e.name);
        const bool named = by_name != oracle.by_name.end();
        if (named && (by_name->second.vendor != e.vendor || by_name->second.attr != e.attr))
            out[{e.name, Field::Number}] =
                describe(e) + ", FreeRADIUS " + describe(by_name->second);
        const auto by_number = oracle.by_number.find({e.vendor, e.attr});
        if (by_number != oracle.by_number.end())
            compare_same_number(e, by_number->second, out);
        else if (!named && (e.vendor == 0 || oracle.vendors_by_number.count(e.vendor)))
            out[{e.name, Field::Absent}] = describe(e) + " is unknown to FreeRADIUS";
    }
    return out;
}

TEST(DictOracle, BuiltInDictionaryAgreesWithFreeRadius)
{
    if (!fs::exists(kOracleDir / "dictionary"))
        GTEST_SKIP() << "no FreeRADIUS dictionaries under " << kOracleDir
                     << " (scripts/install-deps installs them)";
    Oracle oracle;
    oracle.read(kOracleDir / "dictionary");
    for (const std::string &e : oracle.errors)
        ADD_FAILURE() << e;
    // A reading that found little would make every comparison vacuous.
    ASSERT_GT(oracle.by_number.size(), 5000u);
    RecordProperty("skipped", oracle.skipped);

    Differences found = find_differences(oracle);
    for (const Intended &d : kIntended) {
        EXPECT_EQ(found.erase({d.name, d.field}), 1u)
            << d.name << ": listed " << kFieldNames[static_cast<int>(d.field)]
            << " difference no longer occurs; remove it from the list";
    }
    for (const auto &[key, text] : found)
        ADD_FAILURE() << key.first << ": " << kFieldNames[static_cast<int>(key.second)] << ": "
                      << text;
}

}  // namespace
