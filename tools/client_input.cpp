// The requests of quelna-client: attributes from the command line and from blocks of
// "Name = value" lines in a file or on standard input.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client.h"

namespace quelna::client {
namespace {

constexpr unsigned int kUserName = 1;
constexpr unsigned int kUserPassword = 2;
constexpr unsigned int kChapPassword = 3;
constexpr unsigned int kEapMessage = 79;
// An EAP-Message value may be longer than one attribute holds: it goes out split over
// consecutive attributes (RFC 3579 §3.1), as far as a packet reaches.
constexpr size_t kMaxEapMessage = LR_SERVER_PACKET_SIZE - 20;
static_assert(kMaxEapMessage == 4076, "the refusal message names the limit");
constexpr int kMaxTag = 31;  // RFC 2868 §3.1: tags 0x01-0x1F

constexpr std::string_view kBlank = " \t\r\n";

std::string_view trim(std::string_view s)
{
    size_t b = s.find_first_not_of(kBlank);
    if (b == std::string_view::npos)
        return {};
    size_t e = s.find_last_not_of(kBlank);
    return s.substr(b, e - b + 1);
}

/** Removes surrounding double quotes, undoing \" and \\ inside. False for a broken quote. */
bool unquote(std::string_view in, std::string *out)
{
    out->clear();
    if (in.empty() || in.front() != '"') {
        out->assign(in);
        return true;
    }
    if (in.size() < 2 || in.back() != '"')
        return false;
    in = in.substr(1, in.size() - 2);
    for (size_t i = 0; i < in.size(); i++) {
        char c = in[i];
        if (c == '\\' && i + 1 < in.size() && (in[i + 1] == '"' || in[i + 1] == '\\'))
            c = in[++i];
        else if (c == '"')
            return false;
        out->push_back(c);
    }
    return true;
}

bool parse_small_number(const std::string &text, uint32_t limit, uint32_t *out)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v > limit)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

const char *expected_form(qn_attr_type type)
{
    switch (type) {
    case QN_TYPE_STRING: return "text of 1..253 octets";
    case QN_TYPE_INTEGER: return "a value name or a decimal number 0..4294967295";
    case QN_TYPE_IPADDR: return "an IPv4 address";
    case QN_TYPE_DATE: return "YYYY-MM-DDTHH:MM:SSZ (UTC) or seconds since 1970";
    case QN_TYPE_OCTETS: return "0x and hex digits, 1..253 octets";
    case QN_TYPE_IFID: return "an interface id such as 0011:2233:4455:6677";
    case QN_TYPE_IPV6ADDR: return "an IPv6 address";
    case QN_TYPE_IPV6PREFIX: return "an IPv6 prefix such as 2001:db8::/32";
    case QN_TYPE_BYTE: return "a value name or a number 0..255";
    case QN_TYPE_SHORT: return "a value name or a number 0..65535";
    default: return "a type without a text form here";
    }
}

/** Stores value in vp by the attribute's type. False when the text is no such value. */
bool store_value(qn_avp *vp, unsigned int attr, unsigned int vendor, const std::string &value)
{
    // The CHAP-Password of a request is the clear-text secret: the library's encoder turns it
    // into the RFC 1994 response when the packet is built.
    if (attr == kChapPassword && vendor == 0)
        return !value.empty() && value.size() <= LR_MAX_VALUE_LENGTH &&
               qn_avp_octets_set(vp, reinterpret_cast<const uint8_t *>(value.data()),
                                 value.size()) == QNE_OK;
    // RFC 2865 §5.2: a hidden User-Password holds at most 128 octets.
    if (attr == kUserPassword && vendor == 0 && value.size() > 128)
        return false;
    // Value names and the usual text of each type; the caller reports a refusal.
    return value.find('\0') == value.npos && lr_vp_sscanf_value_named(vp, value.c_str()) == 0;
}

/** An EAP-Message of 0x and hex digits as a chain of pairs of at most 253 octets each. */
qn_avp *eap_message_pairs(const std::string &value)
{
    constexpr size_t piece_digits = 2 * LR_MAX_VALUE_LENGTH;
    if (value.size() < 4 || value.size() % 2 != 0 || (value.size() - 2) / 2 > kMaxEapMessage ||
        (value.compare(0, 2, "0x") != 0 && value.compare(0, 2, "0X") != 0))
        return nullptr;
    qn_avp *list = nullptr;
    for (size_t at = 2; at < value.size(); at += piece_digits) {
        // Each piece is read as a value of its own: "0x" and its share of the digits.
        const std::string piece = "0x" + value.substr(at, piece_digits);
        PairList vp(qn_avp_alloc(kEapMessage, 0));
        if (!vp || lr_vp_sscanf_value_named(vp.get(), piece.c_str()) != 0) {
            qn_avp_free(&list);
            return nullptr;
        }
        qn_avp_append(&list, vp.release());
    }
    return list;
}

/** The problem with a line that holds a control character other than a tab, or "". */
const char *control_character(std::string_view line)
{
    for (char c : line)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
            return "control character in the line";
    return "";
}

/** Whether the attribute's value is hidden or a secret: it is never shown in a message. */
bool is_hidden(const qn_avp *vp, unsigned int attr, unsigned int vendor)
{
    return vp->da->encrypt != LR_ENCRYPT_NONE || (attr == kChapPassword && vendor == 0);
}

/**
 * Why a request of code cannot carry the attribute, or "". Numeric names reach past what a
 * packet holds (the attribute number is one octet, RFC 2865 §5; a vendor is 24 bits, §5.26);
 * hidden values are tied to an Access-Request's authenticator.
 */
std::string unfit(const std::string &name, const qn_avp *vp, unsigned int attr,
                  unsigned int vendor, unsigned int code)
{
    if (name.starts_with("Attr-") &&
        (attr < 1 || attr > 255 ||
         (name.starts_with("Attr-26.") && (vendor < 1 || vendor > 0xffffff))))
        return "bad attribute number \"" + name +
               "\" (Attr-1..255, or Attr-26.VENDOR.1..255 with VENDOR 1..16777215)";
    const std::string shown = qn_avp_name(vp) ? qn_avp_name(vp) : name;
    // RFC 2868 §3.5: hidden with the authenticator of the request it answers.
    if (vp->da->encrypt == LR_ENCRYPT_TUNNEL_PASSWORD)
        return shown + " goes in replies only, not in a request";
    if (is_hidden(vp, attr, vendor) && code != 1)
        return shown + " belongs in an Access-Request only (KIND auth)";
    return "";
}

/** A pair built from the -u / -p options. */
qn_avp *option_pair(unsigned int attr, const std::string &value, std::string *why)
{
    PairList vp(qn_avp_alloc(attr, 0));
    if (!vp || value.empty() || !store_value(vp.get(), attr, 0, value)) {
        *why = attr == kUserName ? "bad user name (1..253 octets)"
                                 : "bad password (1..128 octets for PAP, 1..253 for CHAP)";
        return nullptr;
    }
    return vp.release();
}

}  // namespace

qn_avp *parse_pair(std::string_view line, unsigned int code, std::string *why)
{
    line = trim(line);
    if (*control_character(line)) {
        *why = control_character(line);
        return nullptr;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        *why = "expected Name = value: " + std::string(line);
        return nullptr;
    }
    std::string name(trim(line.substr(0, eq)));
    std::string_view raw_value = trim(line.substr(eq + 1));

    int tag = -1;
    if (size_t colon = name.find(':'); colon != std::string::npos) {
        std::string tag_text = name.substr(colon + 1);
        name.resize(colon);
        uint32_t t = 0;
        if (!parse_small_number(tag_text, kMaxTag, &t) || t == 0) {
            *why = "bad tag \"" + tag_text + "\" of " + name + " (1..31)";
            return nullptr;
        }
        tag = static_cast<int>(t);
    }
    unsigned int attr = 0, vendor = 0;
    if (name.empty() || qn_attr_parse_name(name.c_str(), &attr, &vendor) != QNE_OK) {
        *why = "unknown attribute \"" + name + "\"";
        return nullptr;
    }
    PairList vp(qn_avp_alloc(attr, vendor));
    if (!vp) {
        *why = "cannot make attribute \"" + name + "\"";
        return nullptr;
    }
    if (tag >= 0) {
        if (!(vp->da->flags & LR_DICT_FLAG_HAS_TAG)) {
            *why = name + " takes no tag";
            return nullptr;
        }
        vp->tag = tag;
    }
    if (std::string unfit_why = unfit(name, vp.get(), attr, vendor, code); !unfit_why.empty()) {
        *why = std::move(unfit_why);
        return nullptr;
    }
    std::string value;
    if (!unquote(raw_value, &value)) {
        *why = "unbalanced quotes in the value of " + name;
        return nullptr;
    }
    const bool eap = attr == kEapMessage && vendor == 0 && vp->da->type == QN_TYPE_OCTETS;
    if (eap && !value.empty()) {
        if (qn_avp *list = eap_message_pairs(value))
            return list;
    }
    // RFC 2865 §5: a value has at least one octet; the codec would leave an empty one out.
    if (eap || value.empty() || !store_value(vp.get(), attr, vendor, value)) {
        const char *form = vendor != 0                ? expected_form(vp->da->type)
                           : eap ? "0x and hex digits, 1..4076 octets"
                           : attr == kChapPassword ? "the clear-text password, 1..253 octets"
                           : attr == kUserPassword ? "text of 1..128 octets"
                                                   : expected_form(vp->da->type);
        // A long value is cut, so that the message keeps its end (the expected form).
        const std::string shown =
            is_hidden(vp.get(), attr, vendor) ? std::to_string(value.size()) + " octets"
            : value.size() > 80 ? "\"" + value.substr(0, 60) + "...\" (" +
                                      std::to_string(value.size()) + " characters)"
                                : "\"" + value + "\"";
        *why = "invalid value for " + std::string(qn_avp_name(vp.get())) + ": " + shown +
               " (expected " + form + ")";
        return nullptr;
    }
    return vp.release();
}

namespace {

/** The pairs every request gets: -u, -p (PAP or CHAP) and the command line's NAME=VALUE. */
Status common_pairs(const Options &opts, PairList *out)
{
    qn_avp *list = nullptr;
    std::string why;
    auto add = [&](qn_avp *vp) { qn_avp_append(&list, vp); };
    if (!opts.user.empty()) {
        qn_avp *vp = option_pair(kUserName, opts.user, &why);
        if (!vp) {
            qn_avp_free(&list);
            complain("-u: %s", why.c_str());
            return kUsage;
        }
        add(vp);
    }
    if (opts.has_password) {
        qn_avp *vp = option_pair(opts.chap ? kChapPassword : kUserPassword, opts.password, &why);
        if (!vp) {
            qn_avp_free(&list);
            complain("%s: %s", opts.password_option.c_str(), why.c_str());
            return kUsage;
        }
        add(vp);
    }
    for (size_t i = 0; i < opts.attributes.size(); i++) {
        qn_avp *vp = parse_pair(opts.attributes[i], opts.kind->code, &why);
        if (!vp) {
            qn_avp_free(&list);
            complain("attribute %zu on the command line: %s", i + 1, why.c_str());
            return kUsage;
        }
        add(vp);
    }
    out->reset(list);
    return kPositive;
}

/** Copies of every pair of list. */
qn_avp *copy_list(const qn_avp *list)
{
    qn_avp *copy = nullptr;
    for (const qn_avp *vp = list; vp; vp = qn_avp_next_const(vp)) {
        qn_avp *dup = qn_avp_dup(vp);
        if (!dup) {
            qn_avp_free(&copy);
            return nullptr;
        }
        qn_avp_append(&copy, dup);
    }
    return copy;
}

struct FileCloser {
    void operator()(std::FILE *f) const
    {
        if (f != stdin)
            std::fclose(f);
    }
};

/** Reads the blocks of name; each becomes a request after the common pairs. */
Status read_blocks(const std::string &name, unsigned int code, const qn_avp *common,
                   std::vector<RequestPlan> *out)
{
    const bool use_stdin = name == "-";
    std::unique_ptr<std::FILE, FileCloser> f(use_stdin ? stdin : std::fopen(name.c_str(), "r"));
    const std::string shown = use_stdin ? "standard input" : name;
    if (!f) {
        complain("cannot read %s: %s", shown.c_str(), std::strerror(errno));
        return kUsage;
    }
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    int number = 0;
    RequestPlan current;
    bool open_block = false;
    Status result = kPositive;
    auto finish = [&] {
        if (open_block)
            out->push_back(std::move(current));
        current = RequestPlan{};
        open_block = false;
    };
    while ((len = getline(&line, &cap, f.get())) >= 0) {
        number++;
        std::string_view text = trim(std::string_view(line, static_cast<size_t>(len)));
        if (text.empty()) {
            finish();
            continue;
        }
        if (text.front() == '#')
            continue;
        if (!open_block) {
            current.pairs.reset(copy_list(common));
            if (common && !current.pairs) {
                complain("out of memory");
                result = kFailure;
                break;
            }
            current.origin = shown + ":" + std::to_string(number);
            open_block = true;
        }
        std::string why;
        qn_avp *vp = parse_pair(std::string_view(line, static_cast<size_t>(len)), code, &why);
        if (!vp) {
            complain("%s:%d: %s", shown.c_str(), number, why.c_str());
            result = kUsage;
            break;
        }
        qn_avp *head = current.pairs.release();
        qn_avp_append(&head, vp);
        current.pairs.reset(head);
    }
    const bool read_error = std::ferror(f.get()) != 0;
    std::free(line);
    if (result != kPositive)
        return result;
    if (read_error) {
        complain("cannot read %s: %s", shown.c_str(), std::strerror(errno));
        return kUsage;
    }
    finish();
    if (out->empty()) {
        complain("no request in %s", shown.c_str());
        return kUsage;
    }
    return kPositive;
}

}  // namespace

Status build_requests(const Options &opts, std::vector<RequestPlan> *out)
{
    PairList common;
    if (Status s = common_pairs(opts, &common); s != kPositive)
        return s;
    if (opts.input_file.empty()) {
        out->push_back(RequestPlan{std::move(common), "command line"});
        return kPositive;
    }
    return read_blocks(opts.input_file, opts.kind->code, common.get(), out);
}

}  // namespace quelna::client
