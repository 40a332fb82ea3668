// Dictionary lookups. The generated constant tables come first: standard attributes by direct
// index, vendor-specific attributes and names by binary search, vendors by a linear walk (few).
// Only when they have no answer are the dictionaries loaded at run time consulted (dict_load).
#include <strings.h>

#include <algorithm>
#include <cstdio>

#include <quelna/codec.h>

#include "dict.h"
#include "dict_load.h"

namespace {

// The built-in lookups, inlined into the public ones so that their path stays as short as it
// was before dictionaries could be loaded.
inline const lr_dict_attr *builtin_attr_byvalue(unsigned attr, unsigned vendor) {
    if (vendor == 0) {
        if (attr == 0 || attr > 255) return nullptr;
        const lr_dict_attr *da = &lr_dict_attrs[attr];
        return da->name ? da : nullptr;
    }
    int32_t lo = 256, hi = lr_dict_num_attrs;
    while (lo <= hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const lr_dict_attr *da = &lr_dict_attrs[mid];
        if (da->vendor == vendor && da->attr == attr) return da;
        if (da->vendor < vendor || (da->vendor == vendor && da->attr < attr))
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return nullptr;
}

inline const lr_dict_attr *builtin_attr_byname(const char *name) {
    int32_t lo = 1, hi = lr_dict_num_names;
    while (lo <= hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const int cmp = strcasecmp(name, lr_dict_attr_names[mid]->name);
        if (cmp == 0) return lr_dict_attr_names[mid];
        if (cmp > 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return nullptr;
}

inline const lr_dict_vendor *builtin_vendor_byname(const char *name) {
    for (const lr_dict_vendor *v = lr_dict_vendors; v->name; ++v)
        if (strcasecmp(v->name, name) == 0) return v;
    return nullptr;
}

inline const lr_dict_vendor *builtin_vendor_byvalue(unsigned vendor) {
    for (const lr_dict_vendor *v = lr_dict_vendors; v->name; ++v)
        if (v->vendor == vendor) return v;
    return nullptr;
}

}  // namespace

namespace quelna::codec::builtin {

const lr_dict_attr *attr_byvalue(unsigned attr, unsigned vendor) {
    return builtin_attr_byvalue(attr, vendor);
}

const lr_dict_attr *attr_byname(const char *name) { return builtin_attr_byname(name); }

const lr_dict_vendor *vendor_byname(const char *name) { return builtin_vendor_byname(name); }

const lr_dict_vendor *vendor_byvalue(unsigned vendor) { return builtin_vendor_byvalue(vendor); }

const NamedValue *value_byname(unsigned attr, unsigned vendor, const char *name) {
    const NamedValue *begin = kBuiltinValueNames, *end = begin + kBuiltinValueNameCount;
    const auto key_less = [&](const NamedValue &v) {
        if (v.vendor != vendor) return v.vendor < vendor;
        if (v.attr != attr) return v.attr < attr;
        return strcasecmp(v.name, name) < 0;
    };
    const NamedValue *it = std::partition_point(begin, end, key_less);
    return it != end && it->vendor == vendor && it->attr == attr && !strcasecmp(it->name, name)
               ? it
               : nullptr;
}

}  // namespace quelna::codec::builtin

namespace builtin = quelna::codec::builtin;
namespace loaded = quelna::codec::loaded;

extern "C" {

const lr_dict_attr *lr_dict_attr_byvalue(unsigned int attr, unsigned int vendor) {
    if (const lr_dict_attr *da = builtin_attr_byvalue(attr, vendor)) return da;
    return loaded::attr_byvalue(attr, vendor);
}

const lr_dict_attr *lr_dict_attr_byname(const char *name) {
    if (!name || !*name) return nullptr;
    if (const lr_dict_attr *da = builtin_attr_byname(name)) return da;
    return loaded::attr_byname(name);
}

int lr_dict_attr_2struct(lr_dict_attr *da, unsigned int attr, unsigned int vendor, char *buffer,
                         size_t bufsize) {
    if (!da || !buffer) return -QNE_INVAL;
    if (vendor) {
        if (vendor > LR_MAX_VENDOR) return -QNE_INVAL;
        std::snprintf(buffer, bufsize, "Attr-26.%u.%u", vendor, attr);
    } else {
        // 256 is accepted: the decoder names attributes it cannot place in the table by it.
        if (attr > 256) return -QNE_INVAL;
        std::snprintf(buffer, bufsize, "Attr-%u", attr);
    }
    da->attr = attr;
    da->vendor = vendor;
    da->type = QN_TYPE_OCTETS;
    da->flags = LR_DICT_FLAG_UNKNOWN;
    da->encrypt = LR_ENCRYPT_NONE;
    da->length = 0;
    da->name = buffer;
    return 0;
}

unsigned int lr_dict_vendor_byname(const char *name) {
    if (!name || !*name) return 0;
    const lr_dict_vendor *v = builtin_vendor_byname(name);
    if (!v) v = loaded::vendor_byname(name);
    return v ? v->vendor : 0;
}

const lr_dict_vendor *lr_dict_vendor_byvalue(unsigned int vendor) {
    if (const lr_dict_vendor *v = builtin_vendor_byvalue(vendor)) return v;
    return loaded::vendor_byvalue(vendor);
}

const lr_dict_value *lr_dict_value_byattr(unsigned int, unsigned int, int) { return nullptr; }

const lr_dict_value *lr_dict_value_byname(unsigned int, unsigned int, const char *) {
    return nullptr;
}

const char *lr_dict_value_name(unsigned int attr, unsigned int vendor, uint32_t value) {
    // A loaded file's latest name first: deployments' files name values as their servers print.
    if (const char *name = loaded::value_name(attr, vendor, value)) return name;
    const quelna::codec::NamedValue *begin = quelna::codec::kBuiltinValues;
    const quelna::codec::NamedValue *end = begin + quelna::codec::kBuiltinValueCount;
    const auto *it = std::partition_point(begin, end, [&](const quelna::codec::NamedValue &v) {
        if (v.vendor != vendor) return v.vendor < vendor;
        if (v.attr != attr) return v.attr < attr;
        return v.value < value;
    });
    return it != end && it->vendor == vendor && it->attr == attr && it->value == value ? it->name
                                                                                      : nullptr;
}

int lr_dict_value_find(unsigned int attr, unsigned int vendor, const char *name,
                       uint32_t *value) {
    if (!name || !value) return -QNE_INVAL;
    if (const quelna::codec::NamedValue *v = builtin::value_byname(attr, vendor, name)) {
        *value = v->value;
        return 0;
    }
    return loaded::value_byname(attr, vendor, name, value) ? 0 : -QNE_ATTR_VALUE_MALFORMED;
}

}  // extern "C"
