// The text format of dictionary files (the one FreeRADIUS deployments keep theirs in), read line
// by line: $INCLUDE, VENDOR, BEGIN-VENDOR/END-VENDOR, ATTRIBUTE with its type and flags, VALUE,
// and the keywords of newer files that the codec has no use for.
//
// Two programs read it: the build-time generator of the built-in tables (a standalone program,
// so this file needs nothing but the standard library and the public type enumeration) and the
// run-time loader. The Reader parses and checks what one line says on its own; what becomes of
// each definition (duplicates, conflicts, storage) is decided by the Sink it feeds.
#ifndef QUELNA_CODEC_DICT_TEXT_H
#define QUELNA_CODEC_DICT_TEXT_H

#include <quelna/quelna.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelna::dict_text {

struct Where {
    std::string file;
    int line = 0;
    std::string str() const;
};

struct VendorDef {
    std::string name;
    uint32_t number = 0;
    unsigned type = 1;    // octets of a sub-attribute's type field
    unsigned length = 1;  // octets of its length field
    Where where;
};

struct AttrDef {
    std::string name;
    uint32_t attr = 0;
    uint32_t vendor = 0;
    qn_attr_type type = QN_TYPE_NONE;
    unsigned size = 0;     // fixed wire size of the type, 0 for variable
    bool has_tag = false;  // RFC 2868 tag
    unsigned encrypt = 0;  // 1 User-Password, 2 Tunnel-Password (RFC 2868, or RFC 2548 untagged)
    bool as_octets = false;  // the file names a type the codec lacks
    Where where;
};

struct ValueDef {
    std::string attr;
    std::string name;
    uint64_t number = 0;
    Where where;
};

// What a lenient read passed over, so that nothing is dropped without a count.
struct Counts {
    size_t as_octets = 0;      // attributes of a type the codec lacks, kept as octets
    size_t skipped_attrs = 0;  // attributes the codec cannot represent
    size_t skipped_lines = 0;  // lines of keywords the codec has no use for
    size_t ignored_flags = 0;  // attribute flags without meaning to the codec
};

struct Error {
    Where where;
    std::string message;
    std::string str() const;
};

// The generator is strict: its files are the library's own, and anything it does not know is a
// mistake. The loader is lenient with what deployments' files legitimately contain (types,
// flags, keywords and numbers the codec cannot use are kept as octets or skipped, and counted);
// an unknown keyword or a malformed line is an error in both.
enum class Mode { strict, lenient };

class Sink {
public:
    virtual ~Sink() = default;
    // Each answers nothing to go on, or the message of an error at the definition's place.
    virtual std::optional<std::string> vendor(const VendorDef &v) = 0;
    virtual std::optional<std::string> attribute(const AttrDef &a) = 0;
    virtual std::optional<std::string> value(const ValueDef &v) = 0;
    // The vendor called name (case ignored) as defined so far, or nothing.
    virtual std::optional<VendorDef> find_vendor(std::string_view name) = 0;
};

// Case-insensitive order of names, as the lookups compare them.
bool name_less(std::string_view a, std::string_view b);
bool name_equal(std::string_view a, std::string_view b);
size_t name_hash(std::string_view s);  // equal for names name_equal finds equal

class Reader {
public:
    Reader(Sink &sink, Mode mode) : sink_(sink), mode_(mode) {}

    // Reads the file at path and every file it includes. Stops at the first error.
    std::optional<Error> read(const std::string &path);

    const Counts &counts() const { return counts_; }
    // Names of the attributes skipped so far: a VALUE of one of them is skipped too.
    const std::vector<std::string> &skipped_names() const { return skipped_names_; }

private:
    struct Block;
    std::optional<Error> read_file(const std::string &path, const Where &from, int depth);
    std::optional<std::string> line(std::vector<std::string> &tok, const Where &w, Block &b,
                                    int depth);
    std::optional<std::string> attribute(const std::vector<std::string> &tok, const Where &w,
                                         const Block &b);
    std::optional<std::string> flags(AttrDef &a, const std::string &flags, bool &skip);
    std::optional<std::string> vendor(const std::vector<std::string> &tok, const Where &w);
    std::optional<std::string> begin_vendor(const std::vector<std::string> &tok, Block &b);
    void skip_attr(const std::string &name);

    Sink &sink_;
    Mode mode_;
    Counts counts_;
    std::vector<std::string> skipped_names_;
    std::vector<std::string> unusable_vendors_;  // lenient: vendors whose format the codec lacks
    std::optional<Error> nested_;                // an error of an included file
};

}  // namespace quelna::dict_text

#endif
