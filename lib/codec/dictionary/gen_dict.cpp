// Build-time generator of the codec's dictionary tables.
//
//   gen_dict -o <output.cpp> <dictionary file>...
//
// Reads dictionary files in the common text syntax (ATTRIBUTE, VALUE, VENDOR, BEGIN-VENDOR,
// END-VENDOR) and writes a C++ source that defines lr_dict_attrs, lr_dict_num_attrs,
// lr_dict_attr_names, lr_dict_num_names and lr_dict_vendors in the layout the lookups rely on:
//   - lr_dict_attrs[0..255]: standard attributes indexed by number (entry 0 always empty);
//     then the vendor-specific attributes sorted by (vendor, attr);
//   - lr_dict_attr_names[1..n]: every named entry, sorted by strcasecmp of the name;
//   - lr_dict_vendors: the vendors, ended by an entry with a null name;
//   - every fixed-size type has its wire size as length.
// Any rule broken by the input (bad numbers, duplicates, unknown types or flags, unbalanced
// vendor blocks, missing attributes the codec needs) ends the program with "file:line: message"
// and exit status 1, so the build stops.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct TypeInfo {
    std::string_view word;   // dictionary word
    std::string_view cname;  // enumerator of qn_attr_type
    unsigned size;           // fixed wire size, 0 for variable
};

// RFC 2865 section 5 and RFC 3162 wire sizes. ipv6prefix is variable on the wire (2 to 18).
constexpr TypeInfo kTypes[] = {
    {"string", "QN_TYPE_STRING", 0},     {"integer", "QN_TYPE_INTEGER", 4},
    {"ipaddr", "QN_TYPE_IPADDR", 4},     {"date", "QN_TYPE_DATE", 4},
    {"octets", "QN_TYPE_OCTETS", 0},     {"ifid", "QN_TYPE_IFID", 8},
    {"ipv6addr", "QN_TYPE_IPV6ADDR", 16}, {"ipv6prefix", "QN_TYPE_IPV6PREFIX", 0},
    {"byte", "QN_TYPE_BYTE", 1},         {"short", "QN_TYPE_SHORT", 2},
};

struct Where {
    std::string file;
    int line = 0;
    std::string str() const { return file + ":" + std::to_string(line); }
};

struct Attr {
    std::string name;
    uint32_t attr = 0;
    uint32_t vendor = 0;
    const TypeInfo *type = nullptr;
    bool has_tag = false;
    unsigned encrypt = 0;
    Where where;
};

struct Vendor {
    std::string name;
    uint32_t number = 0;
    unsigned type = 1;
    unsigned length = 1;
    Where where;
};

struct Value {
    std::string attr;
    std::string name;
    uint64_t number = 0;
    Where where;
};

[[noreturn]] void fail(const Where &w, const std::string &msg) {
    std::cerr << w.str() << ": " << msg << '\n';
    std::exit(1);
}

struct CaseLess {
    bool operator()(const std::string &a, const std::string &b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

std::optional<uint64_t> parse_number(const std::string &s) {
    if (s.empty() || s[0] == '-' || s[0] == '+') return std::nullopt;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno || *end != '\0') return std::nullopt;
    return v;
}

bool valid_name(const std::string &s) {
    if (s.empty() || s.size() > 63) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.' || c == '+' || c == '/';
    });
}

const TypeInfo *find_type(const std::string &w) {
    for (const auto &t : kTypes)
        if (t.word == w) return &t;
    return nullptr;
}

class Dictionary {
  public:
    void read_file(const std::string &path);
    void check_and_emit(const std::string &out_path);

  private:
    void on_attribute(const std::vector<std::string> &tok, const Where &w);
    void on_vendor(const std::vector<std::string> &tok, const Where &w);
    void on_value(const std::vector<std::string> &tok, const Where &w);
    void on_flags(Attr &a, const std::string &flags, const Where &w);

    std::vector<Attr> attrs_;
    std::deque<Vendor> vendors_;  // block_ points into it: growth keeps elements in place
    std::vector<Value> values_;
    std::map<std::string, size_t, CaseLess> attr_by_name_;
    std::map<std::pair<uint32_t, uint32_t>, size_t> attr_by_number_;
    std::map<std::string, size_t, CaseLess> vendor_by_name_;
    std::map<uint32_t, size_t> vendor_by_number_;
    const Vendor *block_ = nullptr;  // open BEGIN-VENDOR block of the current file
};

void Dictionary::read_file(const std::string &path) {
    std::ifstream in(path);
    Where w{path, 0};
    if (!in) fail(w, "cannot open dictionary file");
    block_ = nullptr;
    Where block_where;
    std::string line;
    while (std::getline(in, line)) {
        ++w.line;
        if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream ls(line);
        std::vector<std::string> tok;
        for (std::string t; ls >> t;) tok.push_back(t);
        if (tok.empty()) continue;
        const std::string &kw = tok[0];
        if (kw == "ATTRIBUTE") {
            on_attribute(tok, w);
        } else if (kw == "VALUE") {
            on_value(tok, w);
        } else if (kw == "VENDOR") {
            on_vendor(tok, w);
        } else if (kw == "BEGIN-VENDOR") {
            if (tok.size() != 2) fail(w, "BEGIN-VENDOR takes one vendor name");
            if (block_) fail(w, "BEGIN-VENDOR inside the block of vendor " + block_->name);
            auto it = vendor_by_name_.find(tok[1]);
            if (it == vendor_by_name_.end()) fail(w, "BEGIN-VENDOR of unknown vendor " + tok[1]);
            block_ = &vendors_[it->second];
            block_where = w;
        } else if (kw == "END-VENDOR") {
            if (tok.size() != 2) fail(w, "END-VENDOR takes one vendor name");
            if (!block_) fail(w, "END-VENDOR without BEGIN-VENDOR");
            if (strcasecmp(tok[1].c_str(), block_->name.c_str()) != 0)
                fail(w, "END-VENDOR " + tok[1] + " closes the block of vendor " + block_->name);
            block_ = nullptr;
        } else {
            fail(w, "unknown keyword " + kw);
        }
    }
    if (block_) fail(block_where, "BEGIN-VENDOR " + block_->name + " is never ended");
}

void Dictionary::on_flags(Attr &a, const std::string &flags, const Where &w) {
    std::istringstream fs(flags);
    for (std::string f; std::getline(fs, f, ',');) {
        if (f == "has_tag") {
            a.has_tag = true;
        } else if (f == "encrypt=1") {
            a.encrypt = 1;
        } else if (f == "encrypt=2") {
            a.encrypt = 2;
        } else {
            fail(w, "unknown flag " + f);
        }
    }
    const std::string_view t = a.type->word;
    // RFC 2868 tags exist for string and integer values only.
    if (a.has_tag && t != "string" && t != "integer")
        fail(w, "has_tag on " + a.name + " of type " + std::string(t) +
                    " (only string and integer carry tags)");
    if (a.encrypt && t != "string" && t != "octets")
        fail(w, "encrypt on " + a.name + " of type " + std::string(t) +
                    " (only string and octets values can be hidden)");
    if (a.encrypt == 2 && !a.has_tag)
        fail(w, "encrypt=2 on " + a.name + " without has_tag (RFC 2868 values carry a tag)");
    if (a.encrypt == 1 && a.has_tag)
        fail(w, "encrypt=1 on tagged attribute " + a.name);
}

void Dictionary::on_attribute(const std::vector<std::string> &tok, const Where &w) {
    if (tok.size() != 4 && tok.size() != 5)
        fail(w, "ATTRIBUTE takes a name, a number, a type and optional flags");
    Attr a;
    a.name = tok[1];
    a.where = w;
    if (!valid_name(a.name)) fail(w, "invalid attribute name " + a.name);
    if (strncasecmp(a.name.c_str(), "Attr-", 5) == 0)
        fail(w, "attribute name " + a.name + " uses the prefix reserved for unknown attributes");
    auto num = parse_number(tok[2]);
    if (!num) fail(w, "invalid attribute number " + tok[2]);
    a.type = find_type(tok[3]);
    if (!a.type) fail(w, "unknown type " + tok[3] + " of " + a.name);
    if (tok.size() == 5) on_flags(a, tok[4], w);

    if (block_) {
        a.vendor = block_->number;
        // The type field of the vendor's format bounds the number; 4-octet fields keep the
        // first octet zero, so numbers stay below 2^24.
        uint64_t max = block_->type == 1 ? 0xff : block_->type == 2 ? 0xffff : 0xffffff;
        if (*num == 0 || *num > max)
            fail(w, "attribute number " + tok[2] + " of " + a.name + " is outside 1.." +
                        std::to_string(max) + " for vendor " + block_->name);
    } else if (*num == 0 || *num > 255) {
        fail(w, "standard attribute number " + tok[2] + " of " + a.name + " is outside 1..255");
    }
    a.attr = static_cast<uint32_t>(*num);

    if (auto it = attr_by_name_.find(a.name); it != attr_by_name_.end())
        fail(w, "duplicate attribute name " + a.name + " (first defined at " +
                    attrs_[it->second].where.str() + ")");
    auto key = std::make_pair(a.vendor, a.attr);
    if (auto it = attr_by_number_.find(key); it != attr_by_number_.end())
        fail(w, "duplicate attribute number " + std::to_string(a.attr) +
                    (a.vendor ? " of vendor " + std::to_string(a.vendor) : std::string()) +
                    " (" + attrs_[it->second].name + " at " + attrs_[it->second].where.str() +
                    ")");
    attr_by_name_[a.name] = attrs_.size();
    attr_by_number_[key] = attrs_.size();
    attrs_.push_back(std::move(a));
}

void Dictionary::on_vendor(const std::vector<std::string> &tok, const Where &w) {
    if (tok.size() != 3 && tok.size() != 4)
        fail(w, "VENDOR takes a name, a number and an optional format=t,l");
    Vendor v;
    v.name = tok[1];
    v.where = w;
    if (!valid_name(v.name)) fail(w, "invalid vendor name " + v.name);
    auto num = parse_number(tok[2]);
    // The encoder refuses vendor numbers above 2^24.
    if (!num || *num == 0 || *num > 16777216)
        fail(w, "vendor number " + tok[2] + " of " + v.name + " is outside 1..16777216");
    v.number = static_cast<uint32_t>(*num);
    if (tok.size() == 4) {
        const std::string &f = tok[3];
        unsigned t = 0, l = 0;
        char extra = 0;
        if (f.rfind("format=", 0) != 0 ||
            std::sscanf(f.c_str() + 7, "%u,%u%c", &t, &l, &extra) != 2)
            fail(w, "invalid vendor format " + f + " (expected format=t,l)");
        if (t != 1 && t != 2 && t != 4) fail(w, "vendor type field size must be 1, 2 or 4");
        if (l > 2) fail(w, "vendor length field size must be 0, 1 or 2");
        v.type = t;
        v.length = l;
    }
    if (auto it = vendor_by_name_.find(v.name); it != vendor_by_name_.end())
        fail(w, "duplicate vendor name " + v.name + " (first defined at " +
                    vendors_[it->second].where.str() + ")");
    if (auto it = vendor_by_number_.find(v.number); it != vendor_by_number_.end())
        fail(w, "duplicate vendor number " + tok[2] + " (" + vendors_[it->second].name +
                    " at " + vendors_[it->second].where.str() + ")");
    vendor_by_name_[v.name] = vendors_.size();
    vendor_by_number_[v.number] = vendors_.size();
    vendors_.push_back(std::move(v));
}

void Dictionary::on_value(const std::vector<std::string> &tok, const Where &w) {
    if (tok.size() != 4) fail(w, "VALUE takes an attribute name, a value name and a number");
    auto num = parse_number(tok[3]);
    if (!num) fail(w, "invalid value number " + tok[3]);
    if (!valid_name(tok[2])) fail(w, "invalid value name " + tok[2]);
    values_.push_back({tok[1], tok[2], *num, w});
}

std::string quoted(const std::string &s) { return "\"" + s + "\""; }

void Dictionary::check_and_emit(const std::string &out_path) {
    // Named values: their attribute may come from any file, so they are checked at the end.
    std::map<std::pair<std::string, std::string>, Where, std::less<>> seen_values;
    for (const auto &v : values_) {
        auto it = attr_by_name_.find(v.attr);
        if (it == attr_by_name_.end()) fail(v.where, "VALUE of unknown attribute " + v.attr);
        const Attr &a = attrs_[it->second];
        const std::string_view t = a.type->word;
        uint64_t max = t == "integer" ? 0xffffffffu : t == "short" ? 0xffff : 0xff;
        if (t != "integer" && t != "short" && t != "byte")
            fail(v.where, "VALUE of " + a.name + " whose type " + std::string(t) +
                              " has no named values");
        if (v.number > max) fail(v.where, "VALUE " + v.name + " does not fit " + a.name);
        std::string lower_attr = a.name, lower_name = v.name;
        for (auto &c : lower_attr) c = static_cast<char>(std::tolower(c));
        for (auto &c : lower_name) c = static_cast<char>(std::tolower(c));
        auto [pos, fresh] = seen_values.emplace(std::make_pair(lower_attr, lower_name), v.where);
        if (!fresh)
            fail(v.where, "duplicate VALUE " + v.name + " of " + a.name + " (first at " +
                              pos->second.str() + ")");
    }

    // Entries other codec modules find by number or compare by identity.
    struct Needed {
        uint32_t attr;
        std::string_view type;
        std::string_view what;
    };
    constexpr Needed kNeeded[] = {{3, "octets", "CHAP-Password"},
                                  {26, "octets", "Vendor-Specific"},
                                  {60, "octets", "CHAP-Challenge"},
                                  {80, "octets", "Message-Authenticator"},
                                  {89, "", "Chargeable-User-Identity"}};
    Where all{"<dictionary>", 0};
    for (const auto &n : kNeeded) {
        auto it = attr_by_number_.find({0, n.attr});
        if (it == attr_by_number_.end())
            fail(all, "standard attribute " + std::to_string(n.attr) + " (" +
                          std::string(n.what) + ") is missing");
        const Attr &a = attrs_[it->second];
        if (!n.type.empty() && a.type->word != n.type)
            fail(a.where, a.name + " must be of type " + std::string(n.type));
    }

    // Lay out the tables.
    std::vector<const Attr *> table(256, nullptr);
    std::vector<const Attr *> vsa;
    for (const auto &a : attrs_) {
        if (a.vendor == 0)
            table[a.attr] = &a;
        else
            vsa.push_back(&a);
    }
    std::sort(vsa.begin(), vsa.end(), [](const Attr *x, const Attr *y) {
        return std::make_pair(x->vendor, x->attr) < std::make_pair(y->vendor, y->attr);
    });
    table.insert(table.end(), vsa.begin(), vsa.end());
    std::vector<size_t> names;  // indexes into table
    for (size_t i = 0; i < table.size(); ++i)
        if (table[i]) names.push_back(i);
    std::sort(names.begin(), names.end(), [&](size_t x, size_t y) {
        return strcasecmp(table[x]->name.c_str(), table[y]->name.c_str()) < 0;
    });

    // Check the layout the lookups rely on, as it will be written.
    if (table[0]) fail(table[0]->where, "entry 0 must stay empty");
    for (size_t i = 1; i < 256; ++i)
        if (table[i] && (table[i]->attr != i || table[i]->vendor != 0))
            fail(table[i]->where, "standard entry " + std::to_string(i) + " misplaced");
    for (size_t i = 257; i < table.size(); ++i) {
        auto prev = std::make_pair(table[i - 1]->vendor, table[i - 1]->attr);
        auto cur = std::make_pair(table[i]->vendor, table[i]->attr);
        if (table[i]->vendor == 0 || !(prev < cur))
            fail(table[i]->where, "vendor attributes out of (vendor, attribute) order");
    }
    for (size_t i = 1; i < names.size(); ++i)
        if (strcasecmp(table[names[i - 1]]->name.c_str(), table[names[i]]->name.c_str()) >= 0)
            fail(table[names[i]]->where, "attribute names out of order or duplicated: " +
                                             table[names[i]]->name);
    for (const auto *a : table)
        if (a && a->vendor && !vendor_by_number_.count(a->vendor))
            fail(a->where, "attribute of unknown vendor " + std::to_string(a->vendor));

    std::vector<const Vendor *> vendors;
    for (const auto &v : vendors_) vendors.push_back(&v);
    std::sort(vendors.begin(), vendors.end(),
              [](const Vendor *x, const Vendor *y) { return x->number < y->number; });

    std::ostringstream o;
    o << "// Generated by gen_dict from the dictionary files. Do not edit.\n"
         "#include <quelna/codec.h>\n\n"
         "extern \"C\" {\n\n"
         "const lr_dict_attr lr_dict_attrs[] = {\n";
    for (size_t i = 0; i < table.size(); ++i) {
        const Attr *a = table[i];
        if (!a) {
            o << "    {" << i << ", QN_TYPE_NONE, 0, 0, 0, 0, nullptr},\n";
            continue;
        }
        unsigned flags = a->has_tag ? 0x01 : 0;
        o << "    {" << a->attr << ", " << a->type->cname << ", " << a->vendor << ", " << flags
          << ", " << a->encrypt << ", " << a->type->size << ", " << quoted(a->name) << "},"
          << "  // " << i << "\n";
    }
    o << "};\n\nconst int32_t lr_dict_num_attrs = " << table.size() - 1 << ";\n\n";
    o << "const lr_dict_attr *const lr_dict_attr_names[] = {\n    nullptr,\n";
    for (size_t idx : names) o << "    &lr_dict_attrs[" << idx << "],\n";
    o << "};\n\nconst int32_t lr_dict_num_names = " << names.size() << ";\n\n";
    o << "const lr_dict_vendor lr_dict_vendors[] = {\n";
    for (const auto *v : vendors)
        o << "    {" << v->number << ", " << v->type << ", " << v->length << ", "
          << quoted(v->name) << "},\n";
    o << "    {0, 0, 0, nullptr},\n};\n\n}  // extern \"C\"\n";

    std::ofstream out(out_path, std::ios::trunc);
    out << o.str();
    out.close();
    if (!out) fail(Where{out_path, 0}, "cannot write the generated tables");
}

}  // namespace

int main(int argc, char **argv) {
    std::string out_path;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-o" && i + 1 < argc)
            out_path = argv[++i];
        else
            files.push_back(a);
    }
    if (out_path.empty() || files.empty()) {
        std::cerr << "usage: gen_dict -o <output.cpp> <dictionary file>...\n";
        return 2;
    }
    Dictionary dict;
    for (const auto &f : files) dict.read_file(f);
    dict.check_and_emit(out_path);
    return 0;
}
