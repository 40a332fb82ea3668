// The configuration file: realms with their transport settings and servers.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <confuse.h>
#include <openssl/crypto.h>

#include "quelna_int.h"

// The texts of a realm made in code; secrets are wiped when it goes.
struct RealmTexts {
    std::deque<std::string> texts;  // a deque keeps earlier texts in place as it grows
    RealmTexts() = default;
    RealmTexts(const RealmTexts &) = delete;
    RealmTexts &operator=(const RealmTexts &) = delete;
    ~RealmTexts()
    {
        for (std::string &t : texts)
            OPENSSL_cleanse(t.data(), t.size());
    }
    const char *keep(const char *text)
    {
        if (!text)
            return nullptr;
        return texts.emplace_back(text).c_str();
    }
};

// The realms of a configuration by name, for lookups in constant time.
struct RealmIndex {
    std::unordered_map<std::string_view, qn_realm *> by_name;
};

namespace {

template <typename T>
struct Word {
    std::string_view word;
    T value;
};

// Words are matched exactly and case-sensitively.
constexpr Word<qn_conn_type> type_words[] = {
    {"UDP", QN_CONN_TYPE_UDP},
    {"TCP", QN_CONN_TYPE_TCP},
    {"TLS", QN_CONN_TYPE_TLS},
    {"DTLS", QN_CONN_TYPE_DTLS},
};

constexpr Word<RequireMsgAuth> require_msg_auth_words[] = {
    {"yes", RequireMsgAuth::yes},
    {"no", RequireMsgAuth::no},
    {"auto", RequireMsgAuth::automatic},
};

template <typename T, size_t N>
std::optional<T> from_word(const Word<T> (&table)[N], const char *word)
{
    if (word)
        for (const auto &w : table)
            if (w.word == word)
                return w.value;
    return std::nullopt;
}

// Ranges of the integer options. A time-out beyond an hour or more retries than a request has
// attempts is a mistake, and both must stay far from the limits of the fields they go into.
constexpr long timeout_min = 1, timeout_max = 3600;
constexpr long retries_min = 0, retries_max = 100;

// libconfuse copies these tables in cfg_init, so one static set serves every read.
cfg_opt_t server_opts[] = {
    CFG_STR("hostname", nullptr, CFGF_NONE),
    CFG_STR("service", "2083", CFGF_NONE),
    CFG_STR("secret", "wepkaz", CFGF_NONE),
    CFG_END(),
};

cfg_opt_t realm_opts[] = {
    CFG_STR("type", "UDP", CFGF_NONE),
    CFG_INT("timeout", 2, CFGF_NONE),
    CFG_INT("retries", 2, CFGF_NONE),
    CFG_STR("cacertfile", nullptr, CFGF_NONE),
    CFG_STR("certfile", nullptr, CFGF_NONE),
    CFG_STR("certkeyfile", nullptr, CFGF_NONE),
    CFG_STR("pskstr", nullptr, CFGF_NONE),
    CFG_STR("pskhexstr", nullptr, CFGF_NONE),
    CFG_STR("pskid", nullptr, CFGF_NONE),
    CFG_STR("pskex", "PSK", CFGF_NONE),
    CFG_BOOL("disable_hostname_check", cfg_false, CFGF_NONE),
    CFG_STR("require_message_authenticator", "auto", CFGF_NONE),
    CFG_SEC("server", server_opts, CFGF_MULTI),
    CFG_END(),
};

cfg_opt_t top_opts[] = {
    // Dictionary files loaded (process-wide) before the realms are read; see qn_dict_load.
    CFG_STR_LIST("dictionary", nullptr, CFGF_NONE),
    CFG_SEC("realm", realm_opts, CFGF_TITLE | CFGF_MULTI),
    CFG_END(),
};

void wipe(char *text)
{
    if (text)
        OPENSSL_cleanse(text, strlen(text));
}

// Overwrites the secrets of a realm section, before libconfuse frees them.
void wipe_secrets(cfg_t *sec)
{
    wipe(cfg_getstr(sec, "pskstr"));
    wipe(cfg_getstr(sec, "pskhexstr"));
    for (unsigned int i = 0; i < cfg_size(sec, "server"); i++)
        wipe(cfg_getstr(cfg_getnsec(sec, "server", i), "secret"));
}

void release_section(cfg_t *sec)
{
    if (sec) {
        wipe_secrets(sec);
        cfg_free(sec);
    }
}

// Text that may hold secrets (the file and what the parser reads), overwritten when it goes.
struct SecretText {
    std::string text;
    SecretText() = default;
    SecretText(const SecretText &) = delete;
    SecretText &operator=(const SecretText &) = delete;
    ~SecretText()
    {
        text.resize(text.capacity());
        OPENSSL_cleanse(text.data(), text.size());
    }
};

// A file's octets; regular files only (a device may never end). Null, or the reason it failed.
const char *read_file(const char *path, SecretText &file)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return strerror(errno);
    const char *why = nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0)
        why = strerror(errno);
    else if (S_ISDIR(st.st_mode))
        why = strerror(EISDIR);
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    // Room for one more octet than the size, so that the read that meets the end does not
    // grow the buffer (a grown buffer would leave a copy behind).
    std::string &t = file.text;
    t.resize(why ? 0 : static_cast<size_t>(st.st_size) + 1);
    size_t used = 0;
    while (!why) {
        if (used == t.size())
            t.resize(t.size() * 2);
        ssize_t n = read(fd, t.data() + used, t.size() - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            why = strerror(errno);
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
    }
    t.resize(used);
    close(fd);
    return why;
}

// Octets that the parser's scanner takes into an unquoted word.
constexpr auto word_octets = [] {
    std::array<bool, 256> is{};
    for (size_t c = 0; c < is.size(); c++)
        is[c] = std::string_view(" #\"'\t\n\r={}()+,*").find(static_cast<char>(c)) ==
                std::string_view::npos;
    return is;
}();

bool is_word_octet(char c)
{
    return word_octets[static_cast<unsigned char>(c)];
}

// Makes a file's text what the parser reads, and finds what it would let pass unseen.
//
// libconfuse replaces ${NAME} and ${NAME:-default} by the environment's value inside
// double-quoted strings and as a bare word. Here a value is the text written (a secret is its
// octets), so each such $ is escaped: "\$" in a double-quoted string, and a bare ${...} becomes
// a double-quoted string of itself. Comments are dropped, their line ends kept: the scanner
// miscounts lines after them. A comment, string or section left open at the end, which the
// parser accepts silently, and a NUL octet, which would cut a value short, are refused.
//
// The scan follows the scanner's rules: a token starting with # or // runs to the end of the
// line, /* to the next */; a word is a run of is_word_octet (so // or ${ inside a word is part
// of it); a backslash in a string takes the next octet with it.
// Returns "" or the problem, with its line.
std::string prepare_text(std::string_view in, std::string &out)
{
    auto problem = [](int line, const char *what) {
        return "line " + std::to_string(line) + ": " + what;
    };
    if (size_t nul = in.find('\0'); nul != std::string_view::npos) {
        int line = 1;
        for (char c : in.substr(0, nul))
            line += c == '\n';
        return problem(line, "NUL octet");
    }
    out.clear();
    out.reserve(2 * in.size() + 1);  // at most two octets for each: out never moves
    std::vector<int> open;           // the lines of the braces still open
    int line = 1;
    const size_t n = in.size();
    size_t i = 0;
    // Copies a string's body up to its closing quote; in a double-quoted one, escapes $.
    auto copy_string = [&](char quote) {
        const int start = line;
        out += in[i++];
        while (i < n && in[i] != quote) {
            if (in[i] == '\\' && i + 1 < n)
                out += in[i++];
            else if (in[i] == '$' && quote == '"')
                out += '\\';
            line += in[i] == '\n';
            out += in[i++];
        }
        if (i == n)
            return problem(start, "string not closed");
        out += in[i++];
        return std::string();
    };
    while (i < n) {
        const char c = in[i];
        const char next = i + 1 < n ? in[i + 1] : '\0';
        if (c == '#' || (c == '/' && next == '/')) {
            i = std::min(in.find('\n', i), n);
        } else if (c == '/' && next == '*') {
            const size_t end = in.find("*/", i + 2);
            if (end == std::string_view::npos)
                return problem(line, "comment not closed");
            for (; i < end + 2; i++)
                if (in[i] == '\n')
                    out += in[i], line++;
        } else if (c == '"' || c == '\'') {
            if (std::string p = copy_string(c); !p.empty())
                return p;
        } else if (size_t end;
                   c == '$' && next == '{' && (end = in.find('}', i)) != std::string_view::npos) {
            out += "\"\\$";
            for (i++; i <= end; i++) {
                if (in[i] == '"' || in[i] == '\\' || in[i] == '$')
                    out += '\\';
                line += in[i] == '\n';
                out += in[i];
            }
            out += '"';
        } else if (is_word_octet(c)) {
            const size_t start = i;
            while (i < n && is_word_octet(in[i]))
                i++;
            out.append(in.substr(start, i - start));
        } else {
            if (c == '{')
                open.push_back(line);
            else if (c == '}' && !open.empty())
                open.pop_back();
            line += c == '\n';
            out += c;
            i++;
        }
    }
    if (!open.empty())
        return problem(open.back(), "'{' not closed");
    return {};
}

// What one read collects while libconfuse parses.
struct Reading {
    // Realm sections in file order, each taken out of the parser once complete (take_realm);
    // null where a section moved to the place of an earlier one of the same title.
    std::vector<cfg_t *> sections;
    // Sections replaced by a later one of the same title (keep_last_of_each_title).
    std::vector<cfg_t *> replaced;
    // The top-level dictionary files, as written.
    std::vector<std::string> dictionaries;
    // The first message of the parser, with its line.
    char error[256] = "";
    int error_line = 0;
    bool nomem = false;

    Reading() = default;
    Reading(const Reading &) = delete;
    Reading &operator=(const Reading &) = delete;
    ~Reading()
    {
        for (auto *list : {&sections, &replaced})
            for (cfg_t *sec : *list)
                release_section(sec);
    }
};

// The read in progress on this thread (libconfuse's scanner is one per process anyway).
thread_local Reading *reading = nullptr;

// The parser quotes the file's text in its messages: control octets are shown as \xNN.
std::string printable(std::string_view text)
{
    std::string out;
    for (char c : text) {
        char hex[5];
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

void keep_parse_error(cfg_t *cfg, const char *fmt, va_list ap)
{
    if (!reading || reading->error[0])
        return;
    vsnprintf(reading->error, sizeof reading->error, fmt, ap);
    reading->error_line = cfg ? cfg->line : 0;
}

// Called by the parser after each realm section. libconfuse looks for an earlier section of the
// same title by a linear search over those it holds, which makes a file of n realms cost n²
// string comparisons; so each section is taken out as soon as it is complete and the parser
// never holds more than one. The section is detached from its value first: removing the value
// would free it.
int take_realm(cfg_t * /*top*/, cfg_opt_t *opt)
{
    if (!reading || cfg_opt_size(opt) != 1)
        return -1;
    cfg_value_t *val = opt->values[0];
    cfg_t *sec = val->section;
    val->section = nullptr;
    cfg_opt_rmnsec(opt, 0);
    try {
        reading->sections.push_back(sec);
    } catch (const std::bad_alloc &) {
        release_section(sec);
        reading->nomem = true;
        return -1;
    }
    return 0;
}

// libconfuse's rule for a title used again: the later section replaces the earlier one, in the
// earlier one's place.
void keep_last_of_each_title(Reading &rd)
{
    std::unordered_map<std::string_view, size_t> first;
    first.reserve(rd.sections.size());
    for (size_t i = 0; i < rd.sections.size(); i++) {
        const char *title = cfg_title(rd.sections[i]);
        auto [at, fresh] = first.try_emplace(title ? title : "", i);
        if (fresh)
            continue;
        rd.replaced.push_back(rd.sections[at->second]);
        rd.sections[at->second] = rd.sections[i];
        rd.sections[i] = nullptr;
    }
}

// Links a realm into the list: the first realm stays the head, later ones follow it directly.
void link_realm(qn_config *config, qn_realm *r)
{
    if (!config->realms) {
        config->realms = r;
    } else {
        r->next = config->realms->next;
        config->realms->next = r;
    }
}

int read_credentials(qn_context *ctx, cfg_t *sec, qn_realm *r)
{
    const char *pskex = cfg_getstr(sec, "pskex");
    if (!pskex || strcmp(pskex, "PSK") != 0)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: pskex: unknown key exchange \"%s\" (PSK)",
                               r->name, pskex ? pskex : "");
    const char *pskstr = cfg_getstr(sec, "pskstr");
    const char *pskhexstr = cfg_getstr(sec, "pskhexstr");
    if (pskstr && !*pskstr)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: pskstr: empty", r->name);
    if (!pskstr && !pskhexstr)
        return 0;

    auto *cred = static_cast<qn_credentials *>(qn_calloc(ctx, 1, sizeof(qn_credentials)));
    if (!cred)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    cred->type = QN_CRED_PSK;
    cred->identity = cfg_getstr(sec, "pskid");
    if (pskhexstr) {
        cred->secret = pskhexstr;
        cred->secret_encoding = QN_KEY_ENCODING_HEX;
    } else {
        cred->secret = pskstr;
        cred->secret_encoding = QN_KEY_ENCODING_TEXT;
    }
    r->transport_cred = cred;
    return 0;
}

// An integer option within [min, max], stored in *out; otherwise an error naming it.
int read_int(qn_context *ctx, cfg_t *sec, const qn_realm *r, const char *option, long min,
             long max, int32_t *out)
{
    const long v = cfg_getint(sec, option);
    if (v < min || v > max)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: %s: %ld is out of range (%ld to %ld)",
                               r->name, option, v, min, max);
    *out = static_cast<int32_t>(v);
    return 0;
}

// A server's options: a host is required, a port number must be one, a secret is not empty.
int check_server(qn_context *ctx, const qn_realm *r, unsigned int index, const qn_peer *p)
{
    const char *what = nullptr;
    if (!p->hostname || !*p->hostname)
        what = "hostname: none given";
    else if (!p->service || !*p->service)
        what = "service: empty";
    else if (!p->secret || !*p->secret)
        what = "secret: empty";
    if (what)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: server %u: %s", r->name, index, what);

    // Digits, with or without a sign, are a port number; anything else names a service (the
    // resolver would take 99999 as port 34463).
    const char *digits = p->service + (*p->service == '-' || *p->service == '+');
    if (*digits && strspn(digits, "0123456789") == strlen(digits)) {
        errno = 0;
        const long port = strtol(p->service, nullptr, 10);
        if (errno != 0 || port < 1 || port > 65535 || digits != p->service)
            return qn_err_ctx_push(ctx, QNE_CONFIG,
                                   "%s: server %u: service: %s is not a port from 1 to 65535",
                                   r->name, index, p->service);
    }
    return 0;
}

// An empty configuration with its index; null when out of memory.
qn_config *config_new(qn_context *ctx)
{
    auto *config = static_cast<qn_config *>(qn_calloc(ctx, 1, sizeof(qn_config)));
    if (!config)
        return nullptr;
    config->index = new (std::nothrow) RealmIndex;
    if (!config->index) {
        qn_free(ctx, config);
        return nullptr;
    }
    return config;
}

// Reads one realm section, which the realm takes over (sec is cleared) once it exists.
int read_realm(qn_context *ctx, qn_config *config, cfg_t *&sec)
{
    auto *r = static_cast<qn_realm *>(qn_calloc(ctx, 1, sizeof(qn_realm)));
    if (!r)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    link_realm(config, r);
    r->section = sec;
    r->ctx = ctx;
    sec = nullptr;
    cfg_t *s = r->section;

    const char *title = cfg_title(s);
    if (!title || !*title)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_CONFIG, "missing realm name");
    r->name = qn_strdup(ctx, title);
    if (!r->name)
        return QNE_NOMEM;
    config->index->by_name.emplace(r->name, r);

    const char *word = cfg_getstr(s, "type");
    r->type = from_word(type_words, word).value_or(QN_CONN_TYPE_NONE);
    if (r->type == QN_CONN_TYPE_NONE)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: invalid connection type: %s", r->name,
                               word ? word : "");
    word = cfg_getstr(s, "require_message_authenticator");
    const auto require_msg_auth = from_word(require_msg_auth_words, word);
    if (!require_msg_auth)
        return qn_err_ctx_push(ctx, QNE_CONFIG,
                               "%s: require_message_authenticator: unknown value \"%s\" "
                               "(yes, no or auto)",
                               r->name, word ? word : "");
    r->require_msg_auth = *require_msg_auth;

    if (int rc = read_int(ctx, s, r, "timeout", timeout_min, timeout_max, &r->timeout); rc != 0)
        return rc;
    if (int rc = read_int(ctx, s, r, "retries", retries_min, retries_max, &r->retries); rc != 0)
        return rc;
    r->disable_hostname_check = cfg_getbool(s, "disable_hostname_check") ? 1 : 0;
    r->cacertfile = cfg_getstr(s, "cacertfile");
    r->certfile = cfg_getstr(s, "certfile");
    r->certkeyfile = cfg_getstr(s, "certkeyfile");

    if (int rc = read_credentials(ctx, s, r); rc != 0)
        return rc;

    if ((r->type == QN_CONN_TYPE_TLS || r->type == QN_CONN_TYPE_DTLS) && !r->cacertfile &&
        !r->transport_cred)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: missing both CA file/path and PSK",
                               r->name);

    for (unsigned int j = 0; j < cfg_size(s, "server"); j++) {
        cfg_t *srv = cfg_getnsec(s, "server", j);
        qn_peer *p = peer_create(ctx, &r->peers);
        if (!p)
            return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
        p->realm = r;
        p->hostname = cfg_getstr(srv, "hostname");
        p->service = cfg_getstr(srv, "service");
        p->secret = cfg_getstr(srv, "secret");
        if (int rc = check_server(ctx, r, j + 1, p); rc != 0)
            return rc;
    }
    return 0;
}

// Parses the file into rd.sections. 0, or the code recorded on the context.
int parse(qn_context *ctx, const char *path, Reading &rd)
{
    SecretText file, text, buffer;
    if (const char *why = read_file(path, file))
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: unable to open configuration file (%s)",
                               path, why);
    if (std::string p = prepare_text(file.text, text.text); !p.empty())
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: invalid configuration file: %s", path,
                               p.c_str());
    if (text.text.empty())
        return 0;

    cfg_t *cfg = cfg_init(top_opts, CFGF_NONE);
    if (!cfg)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "unable to initialize libconfuse");
    cfg_set_error_function(cfg, keep_parse_error);
    cfg_set_validate_func(cfg, "realm", take_realm);
    // The stream's buffer is ours, so that it is overwritten too.
    buffer.text.resize(BUFSIZ);
    FILE *fp = fmemopen(text.text.data(), text.text.size(), "r");
    int parsed = CFG_PARSE_ERROR;
    if (fp && setvbuf(fp, buffer.text.data(), _IOFBF, buffer.text.size()) == 0) {
        reading = &rd;
        errno = 0;  // the parser reads errno after strtol without clearing it first
        parsed = cfg_parse_fp(cfg, fp);
        reading = nullptr;
    }
    if (fp)
        fclose(fp);
    for (unsigned int i = 0; parsed == CFG_SUCCESS && i < cfg_size(cfg, "dictionary"); i++)
        rd.dictionaries.emplace_back(cfg_getnstr(cfg, "dictionary", i));
    // A realm section the parser failed in is still its own.
    for (unsigned int i = 0; i < cfg_size(cfg, "realm"); i++)
        wipe_secrets(cfg_getnsec(cfg, "realm", i));
    cfg_free(cfg);

    if (rd.nomem || !fp)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    if (parsed == CFG_SUCCESS)
        return 0;
    if (parsed == CFG_PARSE_ERROR && rd.error[0])
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: invalid configuration file: line %d: %s",
                               path, rd.error_line, printable(rd.error).c_str());
    if (parsed == CFG_PARSE_ERROR)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: invalid configuration file", path);
    return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: unknown parse error", path);
}

int read_config(qn_context *ctx, const char *config_file)
{
    Reading rd;
    if (int rc = parse(ctx, config_file, rd); rc != 0)
        return rc;
    // A relative dictionary path is taken from the configuration file's directory.
    const std::string_view file(config_file);
    const size_t slash = file.rfind('/');
    for (const std::string &d : rd.dictionaries) {
        std::string path = d.starts_with('/') || slash == std::string_view::npos
                               ? d
                               : std::string(file.substr(0, slash + 1)) + d;
        if (int rc = qn_dict_load(ctx, path.c_str()); rc != 0)
            return rc;
    }
    keep_last_of_each_title(rd);

    qn_config *config = config_new(ctx);
    if (!config)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    // A new configuration replaces the old one, which is released.
    if (ctx->config)
        conf_free(ctx, ctx->config);
    ctx->config = config;
    config->index->by_name.reserve(rd.sections.size());

    for (cfg_t *&sec : rd.sections)
        if (sec)
            if (int rc = read_realm(ctx, config, sec); rc != 0)
                return rc;
    return 0;
}

}  // namespace

void conf_free(qn_context *ctx, qn_config *config)
{
    qn_realm *r = config->realms;
    while (r) {
        qn_realm *next_realm = r->next;
        qn_peer *p = r->peers;
        while (p) {
            qn_peer *next_peer = p->next;
            peer_free(ctx, p);
            p = next_peer;
        }
        if (r->name)
            qn_free(ctx, r->name);
        if (r->transport_cred)
            qn_free(ctx, r->transport_cred);
        realm_release_tls(r);
        release_section(r->section);
        delete r->texts;
        qn_free(ctx, r);
        r = next_realm;
    }
    delete config->index;
    qn_free(ctx, config);
}

namespace {

// The configuration realms are added to, made empty when the context has none.
qn_config *config_of(qn_context *ctx)
{
    if (!ctx->config)
        ctx->config = config_new(ctx);
    return ctx->config;
}

int realm_invalid(const qn_realm *r, const char *what)
{
    return qn_err_ctx_push(r->ctx, QNE_INVAL, "%s: %s", r->name, what);
}

}  // namespace

extern "C" {

QN_EXPORT int qn_context_read_config(qn_context *ctx, const char *config_file)
{
    try {
        return read_config(ctx, config_file);
    } catch (const std::exception &) {  // bad_alloc, or length_error for a giant file
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    }
}

QN_EXPORT qn_realm *qn_conf_find_realm(qn_context *ctx, const char *name)
{
    if (!ctx->config || !name)
        return nullptr;
    const auto &by_name = ctx->config->index->by_name;
    const auto it = by_name.find(name);
    return it == by_name.end() ? nullptr : it->second;
}

QN_EXPORT int qn_realm_create(qn_context *ctx, const char *name, int type, qn_realm **realm)
{
    if (realm)
        *realm = nullptr;
    if (!ctx)
        return QNE_INVALID_CTX;
    if (!name || !*name)
        return qn_err_ctx_push(ctx, QNE_INVAL, "qn_realm_create: a realm needs a name");
    if (type < QN_CONN_TYPE_UDP || type > QN_CONN_TYPE_DTLS)
        return qn_err_ctx_push(ctx, QNE_INVAL, "%s: invalid connection type: %d", name, type);
    if (qn_conf_find_realm(ctx, name))
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: a realm of that name exists", name);
    qn_config *config = config_of(ctx);
    auto *r = config ? static_cast<qn_realm *>(qn_calloc(ctx, 1, sizeof(qn_realm))) : nullptr;
    if (!r)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    r->texts = new (std::nothrow) RealmTexts;
    r->name = qn_strdup(ctx, name);
    bool indexed = false;
    if (r->texts && r->name) {
        try {
            indexed = config->index->by_name.emplace(r->name, r).second;
        } catch (const std::exception &) {
        }
    }
    if (!indexed) {
        delete r->texts;
        qn_free(ctx, r->name);
        qn_free(ctx, r);
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    }
    link_realm(config, r);
    r->ctx = ctx;
    r->type = type;
    r->timeout = 2;
    r->retries = 2;
    r->require_msg_auth = RequireMsgAuth::automatic;
    if (realm)
        *realm = r;
    return 0;
}

QN_EXPORT int qn_realm_set_timeout(qn_realm *realm, int seconds)
{
    if (!realm)
        return QNE_INVAL;
    if (seconds < timeout_min || seconds > timeout_max)
        return qn_err_ctx_push(realm->ctx, QNE_INVAL, "%s: timeout: %d is out of range (%ld to %ld)",
                               realm->name, seconds, timeout_min, timeout_max);
    realm->timeout = seconds;
    return 0;
}

QN_EXPORT int qn_realm_set_retries(qn_realm *realm, int retries)
{
    if (!realm)
        return QNE_INVAL;
    if (retries < retries_min || retries > retries_max)
        return qn_err_ctx_push(realm->ctx, QNE_INVAL, "%s: retries: %d is out of range (%ld to %ld)",
                               realm->name, retries, retries_min, retries_max);
    realm->retries = retries;
    return 0;
}

QN_EXPORT int qn_realm_set_tls_files(qn_realm *realm, const char *cacertfile,
                                     const char *certfile, const char *certkeyfile)
{
    if (!realm)
        return QNE_INVAL;
    if (!realm->texts)
        return realm_invalid(realm, "a configured realm is changed in its file");
    try {
        realm->cacertfile = realm->texts->keep(cacertfile);
        realm->certfile = realm->texts->keep(certfile);
        realm->certkeyfile = realm->texts->keep(certkeyfile);
    } catch (const std::exception &) {
        return QN_ERR_CTX_PUSH_FL(realm->ctx, QNE_NOMEM, nullptr);
    }
    // A context made from other files is made again.
    realm_release_tls(realm);
    return 0;
}

QN_EXPORT int qn_realm_set_psk(qn_realm *realm, const char *identity, const char *key,
                               int encoding)
{
    if (!realm)
        return QNE_INVAL;
    if (!realm->texts)
        return realm_invalid(realm, "a configured realm is changed in its file");
    if (!key || !*key)
        return realm_invalid(realm, "pre-shared key: empty");
    if (encoding != QN_KEY_ENCODING_TEXT && encoding != QN_KEY_ENCODING_HEX)
        return realm_invalid(realm, "pre-shared key: unknown encoding");
    qn_context *ctx = realm->ctx;
    if (!realm->transport_cred) {
        realm->transport_cred =
            static_cast<qn_credentials *>(qn_calloc(ctx, 1, sizeof(qn_credentials)));
        if (!realm->transport_cred)
            return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    }
    qn_credentials *cred = realm->transport_cred;
    try {
        cred->type = QN_CRED_PSK;
        cred->identity = realm->texts->keep(identity);
        cred->secret = realm->texts->keep(key);
        cred->secret_encoding = encoding;
    } catch (const std::exception &) {
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    }
    realm_release_tls(realm);
    return 0;
}

QN_EXPORT int qn_realm_set_hostname_check(qn_realm *realm, int check)
{
    if (!realm)
        return QNE_INVAL;
    realm->disable_hostname_check = check ? 0 : 1;
    return 0;
}

QN_EXPORT int qn_realm_set_require_message_authenticator(qn_realm *realm, const char *word)
{
    if (!realm)
        return QNE_INVAL;
    const auto policy = from_word(require_msg_auth_words, word);
    if (!policy)
        return qn_err_ctx_push(realm->ctx, QNE_INVAL,
                               "%s: require_message_authenticator: unknown value \"%s\" "
                               "(yes, no or auto)",
                               realm->name, word ? word : "");
    realm->require_msg_auth = *policy;
    return 0;
}

QN_EXPORT int qn_realm_add_server(qn_realm *realm, const char *hostname, const char *service,
                                  const char *secret)
{
    if (!realm)
        return QNE_INVAL;
    qn_context *ctx = realm->ctx;
    unsigned int index = 1;
    for (const qn_peer *p = realm->peers; p; p = p->next)
        index++;
    qn_peer probe{};
    probe.hostname = hostname;
    probe.service = service;
    probe.secret = secret;
    if (check_server(ctx, realm, index, &probe) != 0) {
        // Recorded as a configuration error; here it is an argument's.
        qn_error *err = qn_err_ctx_pop(ctx);
        const int rc = qn_err_ctx_push(ctx, QNE_INVAL, "%s", err ? qn_err_msg(err) : "");
        if (err)
            qn_err_free(err);
        return rc;
    }
    qn_peer *p = peer_create(ctx, &realm->peers);
    if (!p)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    p->realm = realm;
    p->hostname = p->own_hostname = qn_strdup(ctx, hostname);
    p->service = p->own_service = qn_strdup(ctx, service);
    p->secret = p->own_secret = strdup(secret);
    if (!p->hostname || !p->service || !p->secret)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    return 0;
}

}  // extern "C"
