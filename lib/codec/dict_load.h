// Dictionaries loaded at run time (lr_dict_load): an immutable overlay over the built-in tables,
// published through one atomic pointer. The public lookups (dict.cpp) consult the built-in
// tables first and these only when the built-in tables have no answer.
#ifndef QUELNA_CODEC_DICT_LOAD_H
#define QUELNA_CODEC_DICT_LOAD_H

#include <quelna/codec.h>

#include "dict.h"

namespace quelna::codec::loaded {

const lr_dict_attr *attr_byvalue(unsigned attr, unsigned vendor);
const lr_dict_attr *attr_byname(const char *name);
const lr_dict_vendor *vendor_byvalue(unsigned vendor);
const lr_dict_vendor *vendor_byname(const char *name);
// The latest name a loaded file gives to the value, or null.
const char *value_name(unsigned attr, unsigned vendor, uint32_t value);
// Stores the number of the value a loaded file calls name; false when none.
bool value_byname(unsigned attr, unsigned vendor, const char *name, uint32_t *value);

}  // namespace quelna::codec::loaded

#endif
