// Build-time generator of the codec's dictionary tables.
//
//   gen_dict -o <output.cpp> <dictionary file>...
//
// Reads dictionary files in the common text syntax (ATTRIBUTE, VALUE, VENDOR, BEGIN-VENDOR,
// END-VENDOR, $INCLUDE; the reader is the run-time loader's, in strict mode) and writes a C++
// source that defines lr_dict_attrs, lr_dict_num_attrs, lr_dict_attr_names, lr_dict_num_names and
// lr_dict_vendors in the layout the lookups rely on, and the named values:
//   - lr_dict_attrs[0..255]: standard attributes indexed by number (entry 0 always empty);
//     then the vendor-specific attributes sorted by (vendor, attr);
//   - lr_dict_attr_names[1..n]: every named entry, sorted by strcasecmp of the name;
//   - lr_dict_vendors: the vendors, ended by an entry with a null name;
//   - every fixed-size type has its wire size as length;
//   - kBuiltinValues: one name per (vendor, attr, value), the last one the files give, in that
//     order; kBuiltinValueNames: every value name, sorted by (vendor, attr, name ignoring case).
// Any rule broken by the input (bad numbers, duplicates, unknown types or flags, unbalanced
// vendor blocks, missing attributes the codec needs) ends the program with "file:line: message"
// and exit status 1, so the build stops.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "../dict_text.h"

namespace {

using quelna::dict_text::AttrDef;
using quelna::dict_text::ValueDef;
using quelna::dict_text::VendorDef;
using quelna::dict_text::Where;
using Attr = AttrDef;
using Vendor = VendorDef;
using Value = ValueDef;

[[noreturn]] void fail(const Where &w, const std::string &msg) {
    std::cerr << w.str() << ": " << msg << '\n';
    std::exit(1);
}

struct CaseLess {
    bool operator()(const std::string &a, const std::string &b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

std::string_view type_cname(qn_attr_type t) {
    switch (t) {
        case QN_TYPE_STRING: return "QN_TYPE_STRING";
        case QN_TYPE_INTEGER: return "QN_TYPE_INTEGER";
        case QN_TYPE_IPADDR: return "QN_TYPE_IPADDR";
        case QN_TYPE_DATE: return "QN_TYPE_DATE";
        case QN_TYPE_OCTETS: return "QN_TYPE_OCTETS";
        case QN_TYPE_IFID: return "QN_TYPE_IFID";
        case QN_TYPE_IPV6ADDR: return "QN_TYPE_IPV6ADDR";
        case QN_TYPE_IPV6PREFIX: return "QN_TYPE_IPV6PREFIX";
        case QN_TYPE_BYTE: return "QN_TYPE_BYTE";
        case QN_TYPE_SHORT: return "QN_TYPE_SHORT";
        default: return "QN_TYPE_NONE";
    }
}

// Collects the definitions of the files and refuses duplicates: the built-in dictionary has one
// name per number.
class Dictionary : public quelna::dict_text::Sink {
  public:
    void read_file(const std::string &path);
    void check_and_emit(const std::string &out_path);

    std::optional<std::string> vendor(const Vendor &v) override;
    std::optional<std::string> attribute(const Attr &a) override;
    std::optional<std::string> value(const Value &v) override;
    std::optional<Vendor> find_vendor(std::string_view name) override;

  private:
    std::vector<Attr> attrs_;
    std::deque<Vendor> vendors_;
    std::vector<Value> values_;
    std::map<std::string, size_t, CaseLess> attr_by_name_;
    std::map<std::pair<uint32_t, uint32_t>, size_t> attr_by_number_;
    std::map<std::string, size_t, CaseLess> vendor_by_name_;
    std::map<uint32_t, size_t> vendor_by_number_;
};

void Dictionary::read_file(const std::string &path) {
    quelna::dict_text::Reader reader(*this, quelna::dict_text::Mode::strict);
    if (auto err = reader.read(path)) fail(err->where, err->message);
}

std::optional<Vendor> Dictionary::find_vendor(std::string_view name) {
    auto it = vendor_by_name_.find(std::string(name));
    if (it == vendor_by_name_.end()) return std::nullopt;
    return vendors_[it->second];
}

std::optional<std::string> Dictionary::attribute(const Attr &a) {
    if (auto it = attr_by_name_.find(a.name); it != attr_by_name_.end())
        return "duplicate attribute name " + a.name + " (first defined at " +
               attrs_[it->second].where.str() + ")";
    auto key = std::make_pair(a.vendor, a.attr);
    if (auto it = attr_by_number_.find(key); it != attr_by_number_.end())
        return "duplicate attribute number " + std::to_string(a.attr) +
               (a.vendor ? " of vendor " + std::to_string(a.vendor) : std::string()) + " (" +
               attrs_[it->second].name + " at " + attrs_[it->second].where.str() + ")";
    attr_by_name_[a.name] = attrs_.size();
    attr_by_number_[key] = attrs_.size();
    attrs_.push_back(a);
    return std::nullopt;
}

std::optional<std::string> Dictionary::vendor(const Vendor &v) {
    if (auto it = vendor_by_name_.find(v.name); it != vendor_by_name_.end())
        return "duplicate vendor name " + v.name + " (first defined at " +
               vendors_[it->second].where.str() + ")";
    if (auto it = vendor_by_number_.find(v.number); it != vendor_by_number_.end())
        return "duplicate vendor number " + std::to_string(v.number) + " (" +
               vendors_[it->second].name + " at " + vendors_[it->second].where.str() + ")";
    vendor_by_name_[v.name] = vendors_.size();
    vendor_by_number_[v.number] = vendors_.size();
    vendors_.push_back(v);
    return std::nullopt;
}

std::optional<std::string> Dictionary::value(const Value &v) {
    values_.push_back(v);
    return std::nullopt;
}

std::string quoted(const std::string &s) { return "\"" + s + "\""; }

void Dictionary::check_and_emit(const std::string &out_path) {
    // Named values: their attribute may come from any file, so they are checked at the end.
    std::map<std::pair<std::string, std::string>, Where, std::less<>> seen_values;
    std::map<std::tuple<uint32_t, uint32_t, uint64_t>, const Value *> by_number;  // last wins
    std::vector<std::pair<const Attr *, const Value *>> by_name;
    for (const auto &v : values_) {
        auto it = attr_by_name_.find(v.attr);
        if (it == attr_by_name_.end()) fail(v.where, "VALUE of unknown attribute " + v.attr);
        const Attr &a = attrs_[it->second];
        const qn_attr_type t = a.type;
        uint64_t max = t == QN_TYPE_INTEGER ? 0xffffffffu : t == QN_TYPE_SHORT ? 0xffff : 0xff;
        if (t != QN_TYPE_INTEGER && t != QN_TYPE_SHORT && t != QN_TYPE_BYTE)
            fail(v.where, "VALUE of " + a.name +
                              ": its type has no named values (only integer, short and byte)");
        if (v.number > max) fail(v.where, "VALUE " + v.name + " does not fit " + a.name);
        std::string lower_attr = a.name, lower_name = v.name;
        for (auto &c : lower_attr) c = static_cast<char>(std::tolower(c));
        for (auto &c : lower_name) c = static_cast<char>(std::tolower(c));
        auto [pos, fresh] = seen_values.emplace(std::make_pair(lower_attr, lower_name), v.where);
        if (!fresh)
            fail(v.where, "duplicate VALUE " + v.name + " of " + a.name + " (first at " +
                              pos->second.str() + ")");
        by_number[{a.vendor, a.attr, v.number}] = &v;
        by_name.emplace_back(&a, &v);
    }
    std::sort(by_name.begin(), by_name.end(), [](const auto &x, const auto &y) {
        if (x.first->vendor != y.first->vendor) return x.first->vendor < y.first->vendor;
        if (x.first->attr != y.first->attr) return x.first->attr < y.first->attr;
        return strcasecmp(x.second->name.c_str(), y.second->name.c_str()) < 0;
    });

    // Entries other codec modules find by number or compare by identity.
    struct Needed {
        uint32_t attr;
        qn_attr_type type;  // QN_TYPE_NONE: any
        std::string_view what;
    };
    constexpr Needed kNeeded[] = {{3, QN_TYPE_OCTETS, "CHAP-Password"},
                                  {26, QN_TYPE_OCTETS, "Vendor-Specific"},
                                  {60, QN_TYPE_OCTETS, "CHAP-Challenge"},
                                  {80, QN_TYPE_OCTETS, "Message-Authenticator"},
                                  {89, QN_TYPE_NONE, "Chargeable-User-Identity"}};
    Where all{"<dictionary>", 0};
    for (const auto &n : kNeeded) {
        auto it = attr_by_number_.find({0, n.attr});
        if (it == attr_by_number_.end())
            fail(all, "standard attribute " + std::to_string(n.attr) + " (" +
                          std::string(n.what) + ") is missing");
        const Attr &a = attrs_[it->second];
        if (n.type != QN_TYPE_NONE && a.type != n.type)
            fail(a.where, a.name + " must be of type octets");
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
         "#include \"dict.h\"\n\n"
         "extern \"C\" {\n\n"
         "const lr_dict_attr lr_dict_attrs[] = {\n";
    for (size_t i = 0; i < table.size(); ++i) {
        const Attr *a = table[i];
        if (!a) {
            o << "    {" << i << ", QN_TYPE_NONE, 0, 0, 0, 0, nullptr},\n";
            continue;
        }
        unsigned flags = a->has_tag ? 0x01 : 0;
        o << "    {" << a->attr << ", " << type_cname(a->type) << ", " << a->vendor << ", " << flags
          << ", " << a->encrypt << ", " << a->size << ", " << quoted(a->name) << "},"
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
    o << "    {0, 0, 0, nullptr},\n};\n\n}  // extern \"C\"\n\n";
    // Named values; each table ends with an empty entry, so that none is of size zero.
    auto value_entry = [&](uint32_t vendor, uint32_t attr, uint64_t number, const Value &v) {
        o << "    {" << vendor << ", " << attr << ", " << number << "u, " << quoted(v.name)
          << "},\n";
    };
    o << "namespace quelna::codec {\n\nconst NamedValue kBuiltinValues[] = {\n";
    for (const auto &[key, v] : by_number)
        value_entry(std::get<0>(key), std::get<1>(key), std::get<2>(key), *v);
    o << "    {0, 0, 0, nullptr},\n};\n\nconst size_t kBuiltinValueCount = " << by_number.size()
      << ";\n\nconst NamedValue kBuiltinValueNames[] = {\n";
    for (const auto &[a, v] : by_name) value_entry(a->vendor, a->attr, v->number, *v);
    o << "    {0, 0, 0, nullptr},\n};\n\nconst size_t kBuiltinValueNameCount = " << by_name.size()
      << ";\n\n}  // namespace quelna::codec\n";

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
