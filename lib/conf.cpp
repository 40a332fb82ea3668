// The configuration file: realms with their transport settings and servers.
#include <cstring>
#include <optional>
#include <string_view>

#include <sys/stat.h>

#include <confuse.h>

#include "quelna_int.h"

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
    CFG_SEC("realm", realm_opts, CFGF_TITLE | CFGF_MULTI),
    CFG_END(),
};

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
    const char *pskstr = cfg_getstr(sec, "pskstr");
    const char *pskhexstr = cfg_getstr(sec, "pskhexstr");
    if (!pskstr && !pskhexstr)
        return 0;
    const char *pskex = cfg_getstr(sec, "pskex");
    if (!pskex || strcmp(pskex, "PSK") != 0)
        return 0;  // other key exchanges create no credentials

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

int read_realm(qn_context *ctx, qn_config *config, cfg_t *sec)
{
    auto *r = static_cast<qn_realm *>(qn_calloc(ctx, 1, sizeof(qn_realm)));
    if (!r)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    link_realm(config, r);

    const char *title = cfg_title(sec);
    if (!title)
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_CONFIG, "missing realm name");
    r->name = qn_strdup(ctx, title);
    if (!r->name)
        return QNE_NOMEM;

    const char *word = cfg_getstr(sec, "type");
    r->type = from_word(type_words, word).value_or(QN_CONN_TYPE_NONE);
    if (r->type == QN_CONN_TYPE_NONE)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: invalid connection type: %s", r->name,
                               word ? word : "");
    word = cfg_getstr(sec, "require_message_authenticator");
    const auto require_msg_auth = from_word(require_msg_auth_words, word);
    if (!require_msg_auth)
        return qn_err_ctx_push(ctx, QNE_CONFIG,
                               "%s: require_message_authenticator: unknown value \"%s\" "
                               "(yes, no or auto)",
                               r->name, word ? word : "");
    r->require_msg_auth = *require_msg_auth;

    r->timeout = static_cast<int32_t>(cfg_getint(sec, "timeout"));
    r->retries = static_cast<int32_t>(cfg_getint(sec, "retries"));
    r->disable_hostname_check = cfg_getbool(sec, "disable_hostname_check") ? 1 : 0;
    r->cacertfile = cfg_getstr(sec, "cacertfile");
    r->certfile = cfg_getstr(sec, "certfile");
    r->certkeyfile = cfg_getstr(sec, "certkeyfile");

    if (int rc = read_credentials(ctx, sec, r); rc != 0)
        return rc;

    if ((r->type == QN_CONN_TYPE_TLS || r->type == QN_CONN_TYPE_DTLS) && !r->cacertfile &&
        !r->transport_cred)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: missing both CA file/path and PSK",
                               r->name);

    for (unsigned int j = 0; j < cfg_size(sec, "server"); j++) {
        cfg_t *srv = cfg_getnsec(sec, "server", j);
        qn_peer *p = peer_create(ctx, &r->peers);
        if (!p)
            return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
        p->realm = r;
        p->hostname = cfg_getstr(srv, "hostname");
        p->service = cfg_getstr(srv, "service");
        p->secret = cfg_getstr(srv, "secret");
    }
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
        qn_free(ctx, r);
        r = next_realm;
    }
    if (config->cfg) {
        cfg_free(config->cfg);
        config->cfg = nullptr;
    }
    qn_free(ctx, config);
}

extern "C" {

QN_EXPORT int qn_context_read_config(qn_context *ctx, const char *config_file)
{
    cfg_t *cfg = cfg_init(top_opts, CFGF_NONE);
    if (!cfg)
        return qn_err_ctx_push(ctx, QNE_CONFIG, "unable to initialize libconfuse");

    // The scanner ends the process when reading fails (a directory, say), so only regular
    // files are handed to it.
    struct stat st;
    int parsed = stat(config_file, &st) == 0 && S_ISREG(st.st_mode)
                     ? cfg_parse(cfg, config_file)
                     : CFG_FILE_ERROR;
    switch (parsed) {
    case CFG_SUCCESS:
        break;
    case CFG_FILE_ERROR:
        cfg_free(cfg);
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: unable to open configuration file",
                               config_file);
    case CFG_PARSE_ERROR:
        cfg_free(cfg);
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: invalid configuration file", config_file);
    default:
        cfg_free(cfg);
        return qn_err_ctx_push(ctx, QNE_CONFIG, "%s: unknown parse error", config_file);
    }

    auto *config = static_cast<qn_config *>(qn_calloc(ctx, 1, sizeof(qn_config)));
    if (!config) {
        cfg_free(cfg);
        return QN_ERR_CTX_PUSH_FL(ctx, QNE_NOMEM, nullptr);
    }
    // A new configuration replaces the old one, which is released. The libconfuse handle is
    // kept at once: it owns every text the realms point into, also after a failure below.
    if (ctx->config)
        conf_free(ctx, ctx->config);
    ctx->config = config;
    config->cfg = cfg;

    for (unsigned int i = 0; i < cfg_size(cfg, "realm"); i++)
        if (int rc = read_realm(ctx, config, cfg_getnsec(cfg, "realm", i)); rc != 0)
            return rc;
    return 0;
}

QN_EXPORT qn_realm *qn_conf_find_realm(qn_context *ctx, const char *name)
{
    if (!ctx->config)
        return nullptr;
    for (qn_realm *r = ctx->config->realms; r; r = r->next)
        if (r->name && strcmp(r->name, name) == 0)
            return r;
    return nullptr;
}

}  // extern "C"
