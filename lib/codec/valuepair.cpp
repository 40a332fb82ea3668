// Value pairs: allocation (one heap block per pair, the value inline), raw pairs for unknown
// attributes (pair, descriptor and name in one block), storing values, and lists.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <quelna/codec.h>

#include "packet_int.h"

namespace {

// A raw pair carries its own descriptor and name; freeing the pair frees them too.
struct RawPair {
    lr_value_pair vp;
    lr_dict_attr da;
    char name[LR_RAW_NAME_SIZE];
};
static_assert(offsetof(RawPair, vp) == 0, "a raw pair must be freeable as a pair");

// Passwords do not outlive their pair in freed memory: hidden ones, and a CHAP-Password, which
// holds the clear password until the encoder turns it into a response.
bool holds_password(const lr_value_pair *vp) {
    using quelna::codec::kAttrChapPassword;
    return vp->da &&
           (vp->da->encrypt || (vp->da->vendor == 0 && vp->da->attr == kAttrChapPassword));
}

/** The stored-form size of a fixed-size type; 0 for the others. */
size_t fixed_size(qn_attr_type type) {
    switch (type) {
    case QN_TYPE_INTEGER:
    case QN_TYPE_IPADDR:
    case QN_TYPE_DATE: return 4;
    case QN_TYPE_IFID: return 8;
    case QN_TYPE_BYTE: return 1;
    case QN_TYPE_SHORT: return 2;
    default: return 0;
    }
}

}  // namespace

extern "C" {

lr_value_pair *lr_vp_init(lr_value_pair *vp, const lr_dict_attr *da) {
    std::memset(vp, 0, sizeof *vp);
    vp->da = da;
    vp->length = da ? da->length : 0;
    return vp;
}

lr_value_pair *lr_vp_alloc(const lr_dict_attr *da) {
    if (!da) {
        lr_strerror_printf("Unknown attribute");
        return nullptr;
    }
    auto *vp = static_cast<lr_value_pair *>(std::malloc(sizeof(lr_value_pair)));
    if (!vp) {
        lr_strerror_printf("Out of memory");
        return nullptr;
    }
    return lr_vp_init(vp, da);
}

lr_value_pair *lr_vp_alloc_raw(unsigned int attr, unsigned int vendor) {
    auto *raw = static_cast<RawPair *>(std::malloc(sizeof(RawPair)));
    if (!raw) {
        lr_strerror_printf("Out of memory");
        return nullptr;
    }
    std::memset(&raw->vp, 0, sizeof raw->vp);
    if (lr_dict_attr_2struct(&raw->da, attr, vendor, raw->name, sizeof raw->name) < 0) {
        std::free(raw);
        return nullptr;
    }
    raw->vp.da = &raw->da;
    return &raw->vp;
}

int lr_vp_set_data(lr_value_pair *vp, const void *data, size_t len) {
    if (!vp || !data || len == 0) return -QNE_INVAL;
    // A fixed-size value is read whole from data: any other length would read past the
    // caller's octets or store only part of what was meant.
    if (const size_t size = fixed_size(vp->da->type); size != 0 && len != size)
        return -QNE_ATTR_VALUE_MALFORMED;
    const auto *src = static_cast<const uint8_t *>(data);
    switch (vp->da->type) {
    case QN_TYPE_STRING:
    case QN_TYPE_OCTETS: {
        const size_t n = std::min<size_t>(len, LR_MAX_VALUE_LENGTH);
        std::memmove(vp->value, src, n);
        if (vp->da->type == QN_TYPE_STRING) vp->value[n] = 0;  // strings stay terminated
        vp->length = n;
        return len <= LR_MAX_VALUE_LENGTH ? 1 : 0;
    }
    case QN_TYPE_INTEGER:
    case QN_TYPE_IPADDR:
    case QN_TYPE_DATE:
        std::memcpy(vp->value, src, 4);
        return 1;
    case QN_TYPE_IFID:
        std::memcpy(vp->value, src, 8);
        return 1;
    case QN_TYPE_BYTE: {
        const uint32_t v = src[0];
        std::memcpy(vp->value, &v, sizeof v);
        return 1;
    }
    case QN_TYPE_SHORT: {
        uint16_t s;
        std::memcpy(&s, src, sizeof s);
        const uint32_t v = s;
        std::memcpy(vp->value, &v, sizeof v);
        return 1;
    }
    default:
        return -QNE_ATTR_TYPE_UNKNOWN;
    }
}

lr_value_pair *lr_vp_create(unsigned int attr, unsigned int vendor, const void *data,
                            size_t len) {
    const lr_dict_attr *da = lr_dict_attr_byvalue(attr, vendor);
    if (!da) return nullptr;
    lr_value_pair *vp = lr_vp_alloc(da);
    if (!vp) return nullptr;
    if (lr_vp_set_data(vp, data, len) < 0) {
        lr_vp_free(&vp);
        return nullptr;
    }
    return vp;
}

void lr_vps_append(lr_value_pair **head, lr_value_pair *vp) {
    if (!vp) return;
    lr_value_pair **tail = head;
    while (*tail) tail = &(*tail)->next;
    *tail = vp;
}

lr_value_pair *lr_vps_find(const lr_value_pair *head, unsigned int attr, unsigned int vendor) {
    for (const lr_value_pair *vp = head; vp; vp = vp->next)
        if (vp->da->attr == attr && vp->da->vendor == vendor)
            return const_cast<lr_value_pair *>(vp);
    return nullptr;
}

void lr_vp_free(lr_value_pair **head) {
    if (!head) return;
    lr_value_pair *vp = *head;
    while (vp) {
        lr_value_pair *next = vp->next;
        if (holds_password(vp)) OPENSSL_cleanse(vp, sizeof *vp);
        std::free(vp);
        vp = next;
    }
    *head = nullptr;
}

}  // extern "C"
