// Dictionary lookups over the generated constant tables: standard attributes by direct index,
// vendor-specific attributes and names by binary search, vendors by a linear walk (few).
#include <strings.h>

#include <cstdio>

#include <quelna/codec.h>

extern "C" {

const lr_dict_attr *lr_dict_attr_byvalue(unsigned int attr, unsigned int vendor) {
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

const lr_dict_attr *lr_dict_attr_byname(const char *name) {
    if (!name || !*name) return nullptr;
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
    for (const lr_dict_vendor *v = lr_dict_vendors; v->name; ++v)
        if (strcasecmp(v->name, name) == 0) return v->vendor;
    return 0;
}

const lr_dict_vendor *lr_dict_vendor_byvalue(unsigned int vendor) {
    for (const lr_dict_vendor *v = lr_dict_vendors; v->name; ++v)
        if (v->vendor == vendor) return v;
    return nullptr;
}

const lr_dict_value *lr_dict_value_byattr(unsigned int, unsigned int, int) { return nullptr; }

const lr_dict_value *lr_dict_value_byname(unsigned int, unsigned int, const char *) {
    return nullptr;
}

}  // extern "C"
