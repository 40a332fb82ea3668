// The codec's dictionary beyond the public tables: the named values generated from the built-in
// files, and the record both they and the dictionaries loaded at run time (dict_load.h) use.
#ifndef QUELNA_CODEC_DICT_H
#define QUELNA_CODEC_DICT_H

#include <quelna/codec.h>

#include <cstddef>
#include <cstdint>

namespace quelna::codec {

struct NamedValue {
    uint32_t vendor;
    uint32_t attr;
    uint32_t value;
    const char *name;
};

// One name per (vendor, attr, value), the last one the files give to it, sorted so.
extern const NamedValue kBuiltinValues[];
extern const size_t kBuiltinValueCount;
// Every value name, sorted by (vendor, attr, name ignoring case).
extern const NamedValue kBuiltinValueNames[];
extern const size_t kBuiltinValueNameCount;

// Lookups of the built-in tables alone (the public lookups add the loaded dictionaries).
namespace builtin {
const lr_dict_attr *attr_byvalue(unsigned attr, unsigned vendor);
const lr_dict_attr *attr_byname(const char *name);
const lr_dict_vendor *vendor_byvalue(unsigned vendor);
const lr_dict_vendor *vendor_byname(const char *name);
const NamedValue *value_byname(unsigned attr, unsigned vendor, const char *name);
}  // namespace builtin

}  // namespace quelna::codec

#endif
