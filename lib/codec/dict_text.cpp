// Reader of dictionary files: one line at a time, with vendor blocks, nested blocks of newer
// files and $INCLUDE. See dict_text.h.
#include "dict_text.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace quelna::dict_text {

namespace {

// Longer lines are not dictionary text; the bound also keeps a read of a huge or endless file
// (a device named by $INCLUDE) from taking memory without end.
constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxName = 127;  // the longest name the text forms accept
constexpr int kMaxDepth = 16;     // $INCLUDE nesting: deeper is a file including itself

struct TypeInfo {
    std::string_view word;
    qn_attr_type type;
    unsigned size;  // fixed wire size, 0 for variable
};

// RFC 2865 section 5 and RFC 3162 wire sizes. ipv6prefix is variable on the wire (2 to 18).
// The last four are newer files' spellings of the same wire types.
constexpr TypeInfo kTypes[] = {
    {"string", QN_TYPE_STRING, 0},      {"integer", QN_TYPE_INTEGER, 4},
    {"ipaddr", QN_TYPE_IPADDR, 4},      {"date", QN_TYPE_DATE, 4},
    {"octets", QN_TYPE_OCTETS, 0},      {"ifid", QN_TYPE_IFID, 8},
    {"ipv6addr", QN_TYPE_IPV6ADDR, 16}, {"ipv6prefix", QN_TYPE_IPV6PREFIX, 0},
    {"byte", QN_TYPE_BYTE, 1},          {"short", QN_TYPE_SHORT, 2},
    {"uint8", QN_TYPE_BYTE, 1},         {"uint16", QN_TYPE_SHORT, 2},
    {"uint32", QN_TYPE_INTEGER, 4},     {"ipv4addr", QN_TYPE_IPADDR, 4},
};
constexpr size_t kClassicTypes = 10;  // the strict reader knows only these

// Keywords of newer dictionary files that define nothing the codec can use.
constexpr std::string_view kSkippedKeywords[] = {"PROTOCOL", "FLAGS",  "ALIAS", "MEMBER",
                                                 "STRUCT",   "ENUM",   "DEFINE"};

std::optional<uint64_t> parse_number(std::string_view s)
{
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 16)
        return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        if (v > (UINT64_MAX - d) / base)
            return std::nullopt;
        v = v * base + d;
    }
    return v;
}

bool valid_name(std::string_view s)
{
    if (s.empty() || s.size() > kMaxName)
        return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.' || c == '+' || c == '/';
    });
}

// Value names are freer ("T1,T1-E1/PRI-Call-Arrive-Event"): any visible ASCII.
bool valid_value_name(std::string_view s)
{
    if (s.empty() || s.size() > kMaxName)
        return false;
    return std::all_of(s.begin(), s.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

const TypeInfo *find_type(std::string_view w, Mode mode)
{
    const size_t n = mode == Mode::strict ? kClassicTypes : std::size(kTypes);
    for (size_t i = 0; i < n; ++i)
        if (name_equal(kTypes[i].word, w))
            return &kTypes[i];
    return nullptr;
}

// ASCII case folding, as strcasecmp does in the C locale the built-in tables are sorted in.
unsigned char fold(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

bool contains(std::string_view s, char c) { return s.find(c) != std::string_view::npos; }

std::string dir_of(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

// Opens a regular file for reading; a device or a pipe named in a dictionary is refused before
// anything is read from it (opening does not block: O_NONBLOCK).
std::unique_ptr<FILE, FileCloser> open_regular(const std::string &path, std::string &why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        ::close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "r");
    if (!f) {
        why = std::strerror(errno);
        ::close(fd);
    }
    return std::unique_ptr<FILE, FileCloser>(f);
}

enum class LineStatus { ok, eof, too_long, control };

// Reads one line without its end into out. Stops at the first octet no text file holds.
LineStatus read_line(FILE *f, std::string &out, int &bad)
{
    out.clear();
    int c;
    while ((c = getc_unlocked(f)) != EOF && c != '\n') {
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\f' && c != '\v') || c == 0x7f) {
            bad = c;
            return LineStatus::control;
        }
        if (out.size() == kMaxLine)
            return LineStatus::too_long;
        out.push_back(static_cast<char>(c));
    }
    return c == EOF && out.empty() ? LineStatus::eof : LineStatus::ok;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

void split(const std::string &line, std::vector<std::string> &tok)
{
    tok.clear();
    const std::string_view text(line.data(), std::min(line.find('#'), line.size()));
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && blank(text[i]))
            ++i;
        const size_t start = i;
        while (i < text.size() && !blank(text[i]))
            ++i;
        if (i > start)
            tok.emplace_back(text.substr(start, i - start));
    }
}

}  // namespace

std::string Where::str() const
{
    return line > 0 ? file + ":" + std::to_string(line) : file;
}

std::string Error::str() const { return where.str() + ": " + message; }

bool name_less(std::string_view a, std::string_view b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (fold(a[i]) != fold(b[i]))
            return fold(a[i]) < fold(b[i]);
    return a.size() < b.size();
}

bool name_equal(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

size_t name_hash(std::string_view s)
{
    size_t h = 14695981039346656037ull;  // FNV-1a over the folded octets
    for (char c : s)
        h = (h ^ fold(c)) * 1099511628211ull;
    return h;
}

// The open blocks of one file.
struct Reader::Block {
    std::optional<VendorDef> vendor;  // BEGIN-VENDOR ... END-VENDOR
    std::string vendor_name;
    bool vendor_skipped = false;  // a vendor format the codec cannot represent
    Where vendor_where;
    int nested = 0;  // BEGIN-TLV / BEGIN depth: children of other attributes
    Where nested_where;
    bool foreign = false;  // BEGIN-PROTOCOL of another protocol than RADIUS
    Where foreign_where;
};

std::optional<Error> Reader::read(const std::string &path)
{
    return read_file(path, Where{path, 0}, 0);
}

std::optional<Error> Reader::read_file(const std::string &path, const Where &from, int depth)
{
    std::string why;
    auto f = open_regular(path, why);
    if (!f)
        return Error{from, (depth ? "cannot open included file " + path + ": "
                                  : std::string("cannot open dictionary file: ")) + why};
    Where w{path, 0};
    Block block;
    std::string text;
    std::vector<std::string> tok;
    for (;;) {
        ++w.line;
        int bad = 0;
        const LineStatus st = read_line(f.get(), text, bad);
        if (st == LineStatus::eof)
            break;
        if (st == LineStatus::too_long)
            return Error{w, "line longer than " + std::to_string(kMaxLine) + " characters"};
        if (st == LineStatus::control) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", bad);
            return Error{w, std::string("control character ") + hex + " (not a text file?)"};
        }
        split(text, tok);
        if (tok.empty())
            continue;
        if (auto msg = line(tok, w, block, depth)) {
            if (nested_)
                return std::exchange(nested_, std::nullopt);
            return Error{w, *msg};
        }
    }
    if (std::ferror(f.get()))
        return Error{w, std::string("read error: ") + std::strerror(errno)};
    if (block.vendor || block.vendor_skipped)
        return Error{block.vendor_where, "BEGIN-VENDOR " + block.vendor_name + " is never ended"};
    if (block.nested)
        return Error{block.nested_where, "BEGIN-TLV is never ended"};
    if (block.foreign)
        return Error{block.foreign_where, "BEGIN-PROTOCOL is never ended"};
    return std::nullopt;
}

std::optional<std::string> Reader::line(std::vector<std::string> &tok, const Where &w, Block &b,
                                        int depth)
{
    const std::string &kw = tok[0];
    const bool lenient = mode_ == Mode::lenient;
    if (b.foreign && kw != "END-PROTOCOL") {
        if (kw == "ATTRIBUTE" && tok.size() > 1)
            skip_attr(tok[1]);
        else
            ++counts_.skipped_lines;
        return std::nullopt;
    }
    if (kw == "ATTRIBUTE")
        return attribute(tok, w, b);
    if (kw == "VALUE") {
        if (tok.size() != 4)
            return "VALUE takes an attribute name, a value name and a number";
        auto num = parse_number(tok[3]);
        if (!num)
            return "invalid value number " + tok[3];
        if (!valid_value_name(tok[2]))
            return "invalid value name " + tok[2];
        return sink_.value({tok[1], tok[2], *num, w});
    }
    if (kw == "VENDOR")
        return vendor(tok, w);
    if (kw == "BEGIN-VENDOR") {
        b.vendor_where = w;
        return begin_vendor(tok, b);
    }
    if (kw == "END-VENDOR") {
        if (tok.size() != 2)
            return "END-VENDOR takes one vendor name";
        if (!b.vendor && !b.vendor_skipped)
            return "END-VENDOR without BEGIN-VENDOR";
        if (!name_equal(tok[1], b.vendor_name))
            return "END-VENDOR " + tok[1] + " closes the block of vendor " + b.vendor_name;
        b.vendor.reset();
        b.vendor_skipped = false;
        return std::nullopt;
    }
    if (kw == "$INCLUDE" || kw == "$INCLUDE-") {
        if (tok.size() != 2)
            return kw + " takes one file name";
        if (depth + 1 >= kMaxDepth)
            return "$INCLUDE nested " + std::to_string(kMaxDepth) +
                   " deep (does a file include itself?)";
        const std::string path = tok[1][0] == '/' ? tok[1] : dir_of(w.file) + tok[1];
        if (kw == "$INCLUDE-" && ::access(path.c_str(), F_OK) != 0)
            return std::nullopt;  // optional: a missing file is fine
        nested_ = read_file(path, w, depth + 1);
        if (nested_)
            return nested_->message;
        return std::nullopt;
    }
    if (!lenient)
        return "unknown keyword " + kw;
    if (kw == "BEGIN-TLV" || kw == "BEGIN") {
        if (!b.nested++)
            b.nested_where = w;
        ++counts_.skipped_lines;
        return std::nullopt;
    }
    if (kw == "END-TLV" || kw == "END") {
        if (!b.nested)
            return kw + " without BEGIN-TLV";
        --b.nested;
        ++counts_.skipped_lines;
        return std::nullopt;
    }
    if (kw == "BEGIN-PROTOCOL") {
        b.foreign = tok.size() < 2 || !name_equal(tok[1], "RADIUS");
        b.foreign_where = w;
        ++counts_.skipped_lines;
        return std::nullopt;
    }
    if (kw == "END-PROTOCOL") {
        b.foreign = false;
        ++counts_.skipped_lines;
        return std::nullopt;
    }
    for (auto k : kSkippedKeywords) {
        if (kw == k) {
            ++counts_.skipped_lines;
            return std::nullopt;
        }
    }
    return "unknown keyword " + kw;
}

void Reader::skip_attr(const std::string &name)
{
    ++counts_.skipped_attrs;
    skipped_names_.push_back(name);
}

std::optional<std::string> Reader::attribute(const std::vector<std::string> &tok, const Where &w,
                                             const Block &b)
{
    if (tok.size() != 4 && tok.size() != 5)
        return "ATTRIBUTE takes a name, a number, a type and optional flags";
    const bool lenient = mode_ == Mode::lenient;
    AttrDef a;
    a.name = tok[1];
    a.where = w;
    if (!valid_name(a.name))
        return "invalid attribute name " + a.name;
    if (strncasecmp(a.name.c_str(), "Attr-", 5) == 0)
        return "attribute name " + a.name + " uses the prefix reserved for unknown attributes";
    // Children of TLV and extended attributes (dotted numbers, nested blocks) and blocks of
    // vendor formats the codec lacks: the codec cannot represent them.
    if (lenient && (b.nested || b.vendor_skipped || contains(tok[2], '.'))) {
        skip_attr(a.name);
        return std::nullopt;
    }
    auto num = parse_number(tok[2]);
    if (!num)
        return "invalid attribute number " + tok[2];

    std::string_view word = tok[3];
    if (lenient && contains(word, '['))
        word = word.substr(0, word.find('['));  // octets[16]: a size the codec does not check
    if (const TypeInfo *t = find_type(word, mode_)) {
        a.type = t->type;
        a.size = t->size;
    } else if (lenient) {
        a.type = QN_TYPE_OCTETS;
        a.as_octets = true;
    } else {
        return "unknown type " + tok[3] + " of " + a.name;
    }

    bool skip = false;
    std::optional<VendorDef> vendor = b.vendor;
    if (tok.size() == 5) {
        const std::string &f = tok[4];
        std::optional<VendorDef> named;
        if (!b.vendor && !contains(f, '=') && !contains(f, ','))
            named = sink_.find_vendor(f);
        if (named)
            vendor = named;
        else if (auto msg = flags(a, f, skip))
            return msg;
    }

    if (vendor) {
        a.vendor = vendor->number;
        // The type field of the vendor's format bounds the number; 4-octet fields keep the
        // first octet zero, so numbers stay below 2^24.
        const uint64_t max = vendor->type == 1 ? 0xff : vendor->type == 2 ? 0xffff : 0xffffff;
        if (lenient && *num == 0)
            skip = true;  // reserved (CableLabs-Reserved): nothing to send or receive
        else if (*num == 0 || *num > max)
            return "attribute number " + tok[2] + " of " + a.name + " is outside 1.." +
                   std::to_string(max) + " for vendor " + vendor->name;
    } else if (lenient && *num > 255 && *num <= UINT32_MAX) {
        skip = true;  // a server's internal attribute: never on the wire
    } else if (*num == 0 || *num > 255) {
        return "standard attribute number " + tok[2] + " of " + a.name + " is outside 1..255";
    }
    a.attr = static_cast<uint32_t>(*num);
    if (skip) {
        skip_attr(a.name);
        return std::nullopt;
    }
    if (a.as_octets)
        ++counts_.as_octets;
    return sink_.attribute(a);
}

std::optional<std::string> Reader::flags(AttrDef &a, const std::string &flags, bool &skip)
{
    const bool lenient = mode_ == Mode::lenient;
    size_t start = 0;
    while (start <= flags.size()) {
        size_t end = flags.find(',', start);
        if (end == std::string::npos)
            end = flags.size();
        const std::string_view f = std::string_view(flags).substr(start, end - start);
        start = end + 1;
        if (f == "has_tag") {
            a.has_tag = true;
        } else if (f == "encrypt=1") {
            a.encrypt = 1;
        } else if (f == "encrypt=2") {
            a.encrypt = 2;
        } else if (lenient && f == "encrypt=0") {
        } else if (lenient && f.starts_with("encrypt=")) {
            // A hiding method the codec lacks: such a value must never go out in clear.
            skip = true;
        } else if (lenient) {
            ++counts_.ignored_flags;  // array, concat, virtual, secret...: nothing on the wire
        } else {
            return "unknown flag " + std::string(f);
        }
    }
    if (a.as_octets && (a.has_tag || a.encrypt)) {
        skip = true;  // a tag or hiding on a type the codec lacks: its layout is unknown
        return std::nullopt;
    }
    const bool text = a.type == QN_TYPE_STRING;
    // RFC 2868 tags exist for string and integer values only.
    if (a.has_tag && !text && a.type != QN_TYPE_INTEGER)
        return "has_tag on " + a.name + " (only string and integer carry tags)";
    // The salted hiding (encrypt=2) carries the value's length, so it hides any type; the
    // User-Password hiding pads with zeros, which only text and octets can lose.
    if (a.encrypt == 1 && !text && a.type != QN_TYPE_OCTETS)
        return "encrypt on " + a.name + " (only string and octets values can be hidden so)";
    if (a.encrypt == 1 && a.has_tag)
        return "encrypt=1 on tagged attribute " + a.name;
    return std::nullopt;
}

std::optional<std::string> Reader::vendor(const std::vector<std::string> &tok, const Where &w)
{
    if (tok.size() != 3 && tok.size() != 4)
        return "VENDOR takes a name, a number and an optional format=t,l";
    VendorDef v;
    v.name = tok[1];
    v.where = w;
    if (!valid_name(v.name))
        return "invalid vendor name " + v.name;
    auto num = parse_number(tok[2]);
    // The encoder refuses vendor numbers above 2^24.
    if (!num || *num == 0 || *num > 16777216)
        return "vendor number " + tok[2] + " of " + v.name + " is outside 1..16777216";
    v.number = static_cast<uint32_t>(*num);
    if (tok.size() == 4) {
        const std::string &f = tok[3];
        unsigned t = 0, l = 0;
        char extra = 0, more = 0;
        const int n = f.rfind("format=", 0) == 0
                          ? std::sscanf(f.c_str() + 7, "%u,%u%c%c", &t, &l, &extra, &more)
                          : 0;
        // WiMAX's ",c": a continuation octet after the length, which the codec does not read.
        const bool continued = mode_ == Mode::lenient && n == 4 && extra == ',' &&
                               more == 'c' && f.compare(f.size() - 2, 2, ",c") == 0;
        if (n != 2 && !continued)
            return "invalid vendor format " + f + " (expected format=t,l)";
        if (t != 1 && t != 2 && t != 4)
            return "vendor type field size must be 1, 2 or 4";
        if (l > 2)
            return "vendor length field size must be 0, 1 or 2";
        v.type = t;
        v.length = l;
        if (continued) {
            unusable_vendors_.push_back(v.name);
            ++counts_.skipped_lines;
            return std::nullopt;
        }
    }
    return sink_.vendor(v);
}

std::optional<std::string> Reader::begin_vendor(const std::vector<std::string> &tok, Block &b)
{
    const bool lenient = mode_ == Mode::lenient;
    // BEGIN-VENDOR name format=Extended-Vendor-Specific-N: RFC 6929 extended vendor attributes,
    // which the codec does not encode; the block's attributes are skipped.
    const bool extended = lenient && tok.size() == 3 && tok[2].starts_with("format=");
    if (tok.size() != 2 && !extended)
        return "BEGIN-VENDOR takes one vendor name";
    if (b.vendor || b.vendor_skipped)
        return "BEGIN-VENDOR inside the block of vendor " + b.vendor_name;
    b.vendor_name = tok[1];
    const bool unusable = std::any_of(unusable_vendors_.begin(), unusable_vendors_.end(),
                                      [&](const std::string &n) { return name_equal(n, tok[1]); });
    if (unusable || extended) {
        b.vendor_skipped = true;
        return std::nullopt;
    }
    b.vendor = sink_.find_vendor(tok[1]);
    if (!b.vendor)
        return "BEGIN-VENDOR of unknown vendor " + tok[1];
    return std::nullopt;
}

}  // namespace quelna::dict_text
