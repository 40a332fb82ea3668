// Dictionaries loaded at run time. A load reads the files into a new overlay that holds the
// entries of the previous one and its own, and publishes it with one atomic store: readers never
// lock and never see a half-built table, and a file with an error publishes nothing.
//
// Every overlay stays alive until lr_dict_unload_all (each owns the one before it): value pairs
// point at its descriptors, and a reader may still be looking at an older overlay.
//
// Rules, beside the built-in dictionary and earlier files:
//  - a name is defined once: the same name again must say the same vendor, number, type, tag
//    and hiding, else the file is in error;
//  - a number may have several names. A built-in number keeps its built-in descriptor: another
//    name of the same type becomes a second name for it, one of another type reads and writes
//    with its own type while received attributes still decode by the built-in one. A loaded
//    number decodes by the latest definition (as the files of deployments expect, where a
//    vendor's later file takes over numbers an older one used);
//  - a VALUE name is defined once per attribute; a number's latest VALUE name is the one printed.
#include "dict_load.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dict_text.h"

namespace quelna::codec {

namespace {

struct NameHash {
    size_t operator()(std::string_view s) const { return dict_text::name_hash(s); }
};
struct NameEqual {
    bool operator()(std::string_view a, std::string_view b) const
    {
        return dict_text::name_equal(a, b);
    }
};

using Number = std::pair<uint32_t, uint32_t>;                  // (vendor, attr)
using ValueNumber = std::tuple<uint32_t, uint32_t, uint32_t>;  // (vendor, attr, value)
using ValueName = std::tuple<uint32_t, uint32_t, std::string_view>;

struct ValueNameHash {
    size_t operator()(const ValueName &v) const
    {
        return dict_text::name_hash(std::get<2>(v)) ^ (size_t{std::get<0>(v)} << 20) ^
               std::get<1>(v);
    }
};
struct ValueNameEqual {
    bool operator()(const ValueName &a, const ValueName &b) const
    {
        return std::get<0>(a) == std::get<0>(b) && std::get<1>(a) == std::get<1>(b) &&
               dict_text::name_equal(std::get<2>(a), std::get<2>(b));
    }
};

// Names are found by hashing (case ignored); the hash tables are only read once published.
template <typename V>
using NameMap = std::unordered_map<std::string_view, V, NameHash, NameEqual>;
using ValueNameMap = std::unordered_map<ValueName, uint32_t, ValueNameHash, ValueNameEqual>;

struct Overlay {
    std::unique_ptr<Overlay> prev;
    // What this load added; deques keep their elements in place as they grow.
    std::deque<lr_dict_attr> attrs;
    std::deque<lr_dict_vendor> vendors;
    std::deque<std::string> names;
    // Indexes over everything loaded so far.
    std::vector<const lr_dict_attr *> by_number;  // sorted by (vendor, attr)
    NameMap<const lr_dict_attr *> by_name;
    std::vector<const lr_dict_vendor *> vendors_by_number;  // sorted by number
    NameMap<const lr_dict_vendor *> vendors_by_name;
    std::vector<NamedValue> values;  // sorted by (vendor, attr, value): the latest name each
    ValueNameMap value_names;
    std::vector<const char *> skipped;  // names of skipped attributes
    lr_dict_counts counts{};
};

std::atomic<Overlay *> current{nullptr};
std::mutex load_mutex;  // one load at a time

const Overlay *overlay() { return current.load(std::memory_order_acquire); }

bool same_layout(const lr_dict_attr *d, qn_attr_type type, bool tag, unsigned encrypt)
{
    return d->type == type && ((d->flags & LR_DICT_FLAG_HAS_TAG) != 0) == tag &&
           d->encrypt == encrypt;
}

bool same_layout(const lr_dict_attr *d, const lr_dict_attr *e)
{
    return same_layout(d, e->type, (e->flags & LR_DICT_FLAG_HAS_TAG) != 0, e->encrypt);
}

const char *type_word(qn_attr_type t)
{
    // Indexed by qn_attr_type.
    static const char *const words[] = {"none", "string",   "integer",    "ipaddr",
                                        "date", "octets",   "ifid",       "ipv6addr",
                                        "ipv6prefix",       "byte",       "short"};
    const auto i = static_cast<size_t>(t);
    return i < std::size(words) ? words[i] : "?";
}

// "vendor 9 number 1, string, has_tag, encrypt=2"
std::string describe(const lr_dict_attr *d)
{
    std::string s = d->vendor ? "vendor " + std::to_string(d->vendor) + " number " : "number ";
    s += std::to_string(d->attr) + ", " + type_word(d->type);
    if (d->flags & LR_DICT_FLAG_HAS_TAG)
        s += ", has_tag";
    if (d->encrypt)
        s += ", encrypt=" + std::to_string(d->encrypt);
    return s;
}

std::string describe(const lr_dict_vendor *v)
{
    return std::string(v->name) + " " + std::to_string(v->vendor) + " format=" +
           std::to_string(v->type) + "," + std::to_string(v->length);
}

// Reads one load's definitions into a new overlay, checking them against the built-in tables,
// the overlay before and each other.
class Builder : public dict_text::Sink {
public:
    explicit Builder(const Overlay *prev);
    std::optional<dict_text::Error> finish(const dict_text::Reader &reader);
    std::unique_ptr<Overlay> take() { return std::move(out_); }

    std::optional<std::string> vendor(const dict_text::VendorDef &v) override;
    std::optional<std::string> attribute(const dict_text::AttrDef &a) override;
    std::optional<std::string> value(const dict_text::ValueDef &v) override
    {
        pending_.push_back(v);  // its attribute may come later, from any file
        return std::nullopt;
    }
    std::optional<dict_text::VendorDef> find_vendor(std::string_view name) override;

private:
    const char *keep(std::string_view s) { return out_->names.emplace_back(s).c_str(); }
    const lr_dict_attr *find_attr(const std::string &name) const;
    const lr_dict_vendor *find_vendor_entry(const std::string &name) const;
    std::string place(const void *entry, bool built_in) const;
    std::optional<std::string> add_value(const dict_text::ValueDef &v);

    std::unique_ptr<Overlay> out_ = std::make_unique<Overlay>();
    // The name tables move into the overlay; the ordered ones become sorted vectors.
    NameMap<const lr_dict_attr *> names_;
    std::map<Number, const lr_dict_attr *> numbers_;
    NameMap<const lr_dict_vendor *> vendor_names_;
    std::map<uint32_t, const lr_dict_vendor *> vendor_numbers_;
    std::map<ValueNumber, const char *> values_;
    ValueNameMap value_names_;
    std::unordered_set<std::string_view, NameHash, NameEqual> skipped_;
    std::unordered_map<const void *, dict_text::Where> where_;  // this load's definitions
    std::vector<dict_text::ValueDef> pending_;
};

Builder::Builder(const Overlay *prev)
{
    if (!prev)
        return;
    out_->counts = prev->counts;
    names_ = prev->by_name;
    vendor_names_ = prev->vendors_by_name;
    value_names_ = prev->value_names;
    for (const auto *d : prev->by_number)
        numbers_.emplace(Number{d->vendor, d->attr}, d);
    for (const auto *v : prev->vendors_by_number)
        vendor_numbers_.emplace(v->vendor, v);
    for (const auto &v : prev->values)
        values_.emplace(ValueNumber{v.vendor, v.attr, v.value}, v.name);
    skipped_.insert(prev->skipped.begin(), prev->skipped.end());
}

const lr_dict_attr *Builder::find_attr(const std::string &name) const
{
    if (const lr_dict_attr *d = builtin::attr_byname(name.c_str()))
        return d;
    const auto it = names_.find(name);
    return it == names_.end() ? nullptr : it->second;
}

const lr_dict_vendor *Builder::find_vendor_entry(const std::string &name) const
{
    if (const lr_dict_vendor *v = builtin::vendor_byname(name.c_str()))
        return v;
    const auto it = vendor_names_.find(name);
    return it == vendor_names_.end() ? nullptr : it->second;
}

std::string Builder::place(const void *entry, bool built_in) const
{
    if (built_in)
        return " in the built-in dictionary";
    const auto it = where_.find(entry);
    return it != where_.end() ? " at " + it->second.str() : " by an earlier load";
}

std::optional<dict_text::VendorDef> Builder::find_vendor(std::string_view name)
{
    const lr_dict_vendor *v = find_vendor_entry(std::string(name));
    if (!v)
        return std::nullopt;
    dict_text::VendorDef d;
    d.name = std::string(name);
    d.number = v->vendor;
    d.type = static_cast<unsigned>(v->type);
    d.length = static_cast<unsigned>(v->length);
    return d;
}

std::optional<std::string> Builder::vendor(const dict_text::VendorDef &v)
{
    if (const lr_dict_vendor *named = find_vendor_entry(v.name)) {
        if (named->vendor == v.number && named->type == v.type && named->length == v.length)
            return std::nullopt;  // the same definition again
        return "vendor " + v.name + " is already " + describe(named) +
               place(named, builtin::vendor_byname(v.name.c_str()) == named);
    }
    const lr_dict_vendor *numbered = builtin::vendor_byvalue(v.number);
    const bool built_in = numbered != nullptr;
    if (!numbered) {
        const auto it = vendor_numbers_.find(v.number);
        numbered = it == vendor_numbers_.end() ? nullptr : it->second;
    }
    if (numbered && (numbered->type != v.type || numbered->length != v.length))
        return "vendor " + v.name + " " + std::to_string(v.number) + " format=" +
               std::to_string(v.type) + "," + std::to_string(v.length) + " has the number of " +
               describe(numbered) + place(numbered, built_in);
    const char *name = keep(v.name);
    ++out_->counts.vendors;
    if (numbered) {
        vendor_names_[name] = numbered;  // another name for the same vendor
        return std::nullopt;
    }
    lr_dict_vendor &d =
        out_->vendors.emplace_back(lr_dict_vendor{v.number, v.type, v.length, name});
    vendor_names_[name] = &d;
    vendor_numbers_[v.number] = &d;
    where_[&d] = v.where;
    return std::nullopt;
}

std::optional<std::string> Builder::attribute(const dict_text::AttrDef &a)
{
    const unsigned encrypt = a.encrypt;
    const lr_dict_attr *built_in = builtin::attr_byvalue(a.attr, a.vendor);
    if (const lr_dict_attr *named = find_attr(a.name)) {
        const bool same_number = named->vendor == a.vendor && named->attr == a.attr;
        if (same_number && same_layout(named, a.type, a.has_tag, encrypt)) {
            if (!built_in)
                numbers_[{a.vendor, a.attr}] = named;  // the latest definition of the number
            return std::nullopt;
        }
        // The built-in tag and hiding of a built-in attribute stand: they are checked against
        // the RFCs (a file may hide a value in a way that loses octets of it).
        if (same_number && named == built_in && named->type == a.type) {
            ++out_->counts.builtin_kept;
            return std::nullopt;
        }
        const uint8_t tag = a.has_tag ? LR_DICT_FLAG_HAS_TAG : 0;
        const lr_dict_attr here{a.attr, a.type, a.vendor, tag,
                                static_cast<uint8_t>(encrypt), 0, nullptr};
        return "attribute " + a.name + " (" + describe(&here) + ") is already " +
               describe(named) + place(named, builtin::attr_byname(a.name.c_str()) == named);
    }
    const char *name = keep(a.name);
    ++out_->counts.attributes;
    if (built_in && same_layout(built_in, a.type, a.has_tag, encrypt)) {
        names_[name] = built_in;  // another name for a built-in attribute
        return std::nullopt;
    }
    const uint8_t flags = a.has_tag ? LR_DICT_FLAG_HAS_TAG : 0;
    lr_dict_attr &d = out_->attrs.emplace_back(
        lr_dict_attr{a.attr, a.type, a.vendor, flags, static_cast<uint8_t>(encrypt),
                     static_cast<uint8_t>(a.size), name});
    names_[name] = &d;
    where_[&d] = a.where;
    if (!built_in)
        numbers_[{a.vendor, a.attr}] = &d;
    return std::nullopt;
}

std::optional<std::string> Builder::add_value(const dict_text::ValueDef &v)
{
    const lr_dict_attr *da = find_attr(v.attr);
    if (!da) {
        if (!skipped_.count(v.attr))
            return "VALUE " + v.name + " of unknown attribute " + v.attr;
        ++out_->counts.skipped_values;
        return std::nullopt;
    }
    const lr_dict_attr *owner = builtin::attr_byvalue(da->attr, da->vendor);
    if (!owner) {
        const auto it = numbers_.find({da->vendor, da->attr});
        owner = it != numbers_.end() ? it->second : da;
    }
    const uint64_t max = da->type == QN_TYPE_INTEGER ? 0xffffffffu
                         : da->type == QN_TYPE_SHORT ? 0xffff
                         : da->type == QN_TYPE_BYTE  ? 0xff
                                                     : 0;
    // Values of a type without named values, or of a name whose number now decodes as an
    // attribute of another type: they could never be printed.
    if (!max || !same_layout(owner, da)) {
        ++out_->counts.skipped_values;
        return std::nullopt;
    }
    if (v.number > max)
        return "VALUE " + v.name + " (" + std::to_string(v.number) + ") does not fit " +
               type_word(da->type) + " attribute " + v.attr;
    const auto number = static_cast<uint32_t>(v.number);
    const char *name = nullptr;
    std::optional<uint32_t> known;
    if (const NamedValue *b = builtin::value_byname(da->attr, da->vendor, v.name.c_str())) {
        name = b->name;
        known = b->value;
    } else if (auto it = value_names_.find({da->vendor, da->attr, v.name});
               it != value_names_.end()) {
        name = std::get<2>(it->first).data();
        known = it->second;
    }
    if (known && *known != number)
        return "VALUE " + v.name + " of " + v.attr + " is already " + std::to_string(*known);
    if (!known) {
        name = keep(v.name);
        value_names_.emplace(ValueName{da->vendor, da->attr, name}, number);
        ++out_->counts.values;
    }
    values_[{da->vendor, da->attr, number}] = name;  // the latest name is printed
    return std::nullopt;
}

std::optional<dict_text::Error> Builder::finish(const dict_text::Reader &reader)
{
    for (const auto &n : reader.skipped_names())
        if (!skipped_.count(n))
            skipped_.insert(keep(n));
    for (const auto &v : pending_)
        if (auto msg = add_value(v))
            return dict_text::Error{v.where, *msg};

    const dict_text::Counts &c = reader.counts();
    lr_dict_counts &n = out_->counts;
    n.as_octets += c.as_octets;
    n.skipped_attributes += c.skipped_attrs;
    n.skipped_lines += c.skipped_lines;
    n.ignored_flags += c.ignored_flags;

    Overlay &o = *out_;
    for (const auto &[k, d] : numbers_)
        o.by_number.push_back(d);
    for (const auto &[k, v] : vendor_numbers_)
        o.vendors_by_number.push_back(v);
    for (const auto &[k, name] : values_)
        o.values.push_back({std::get<0>(k), std::get<1>(k), std::get<2>(k), name});
    o.by_name = std::move(names_);
    o.vendors_by_name = std::move(vendor_names_);
    o.value_names = std::move(value_names_);
    for (const auto &s : skipped_)
        o.skipped.push_back(s.data());
    return std::nullopt;
}

}  // namespace

namespace loaded {

const lr_dict_attr *attr_byvalue(unsigned attr, unsigned vendor)
{
    const Overlay *o = overlay();
    if (!o)
        return nullptr;
    const Number key{vendor, attr};
    const auto it = std::lower_bound(
        o->by_number.begin(), o->by_number.end(), key,
        [](const lr_dict_attr *d, const Number &k) { return Number{d->vendor, d->attr} < k; });
    return it != o->by_number.end() && (*it)->vendor == vendor && (*it)->attr == attr ? *it
                                                                                      : nullptr;
}

const lr_dict_attr *attr_byname(const char *name)
{
    const Overlay *o = overlay();
    if (!o)
        return nullptr;
    const auto it = o->by_name.find(name);
    return it == o->by_name.end() ? nullptr : it->second;
}

const lr_dict_vendor *vendor_byvalue(unsigned vendor)
{
    const Overlay *o = overlay();
    if (!o)
        return nullptr;
    const auto it = std::lower_bound(
        o->vendors_by_number.begin(), o->vendors_by_number.end(), vendor,
        [](const lr_dict_vendor *v, unsigned k) { return v->vendor < k; });
    return it != o->vendors_by_number.end() && (*it)->vendor == vendor ? *it : nullptr;
}

const lr_dict_vendor *vendor_byname(const char *name)
{
    const Overlay *o = overlay();
    if (!o)
        return nullptr;
    const auto it = o->vendors_by_name.find(name);
    return it == o->vendors_by_name.end() ? nullptr : it->second;
}

const char *value_name(unsigned attr, unsigned vendor, uint32_t value)
{
    const Overlay *o = overlay();
    if (!o)
        return nullptr;
    const ValueNumber key{vendor, attr, value};
    const auto it = std::lower_bound(o->values.begin(), o->values.end(), key,
                                     [](const NamedValue &v, const ValueNumber &k) {
                                         return ValueNumber{v.vendor, v.attr, v.value} < k;
                                     });
    return it != o->values.end() && ValueNumber{it->vendor, it->attr, it->value} == key
               ? it->name
               : nullptr;
}

bool value_byname(unsigned attr, unsigned vendor, const char *name, uint32_t *value)
{
    const Overlay *o = overlay();
    if (!o)
        return false;
    const auto it = o->value_names.find(ValueName{vendor, attr, name});
    if (it == o->value_names.end())
        return false;
    *value = it->second;
    return true;
}

}  // namespace loaded

}  // namespace quelna::codec

using quelna::codec::Builder;
using quelna::codec::Overlay;

extern "C" {

int lr_dict_load(const char *path)
{
    if (!path || !*path) {
        lr_strerror_printf("lr_dict_load: no file name");
        return -QNE_INVAL;
    }
    try {
        std::lock_guard<std::mutex> lock(quelna::codec::load_mutex);
        Overlay *prev = quelna::codec::current.load(std::memory_order_acquire);
        Builder builder(prev);
        quelna::dict_text::Reader reader(builder, quelna::dict_text::Mode::lenient);
        auto err = reader.read(path);
        if (!err)
            err = builder.finish(reader);
        if (err) {
            lr_strerror_printf("%s", err->str().c_str());
            return -QNE_CONFIG;
        }
        std::unique_ptr<Overlay> next = builder.take();
        next->prev.reset(prev);
        quelna::codec::current.store(next.release(), std::memory_order_release);
        return 0;
    } catch (const std::bad_alloc &) {
        lr_strerror_printf("Out of memory");
        return -QNE_NOMEM;
    }
}

void lr_dict_load_counts(lr_dict_counts *counts)
{
    if (!counts)
        return;
    const Overlay *o = quelna::codec::overlay();
    *counts = o ? o->counts : lr_dict_counts{};
}

void lr_dict_unload_all(void)
{
    std::lock_guard<std::mutex> lock(quelna::codec::load_mutex);
    delete quelna::codec::current.exchange(nullptr, std::memory_order_acq_rel);
}

}  // extern "C"
