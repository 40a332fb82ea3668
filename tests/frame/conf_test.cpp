// Reading configuration files: realm lists, defaults, credentials, and every refusal.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "frame_util.h"
#include "quelna_int.h"

namespace {

using quelna::test::ConfigFile;
using quelna::test::ContextFixture;

struct Config : ContextFixture {
    // Reads text as a configuration; returns the code and keeps the message.
    int read(const std::string &text)
    {
        file_ = std::make_unique<ConfigFile>(text);
        return read_path(file_->path());
    }
    int read_path(const std::string &path)
    {
        int rc = qn_context_read_config(ctx, path.c_str());
        message = pop_message();
        return rc;
    }
    std::vector<std::string> realm_names() const
    {
        std::vector<std::string> names;
        for (qn_realm *r = ctx->config ? ctx->config->realms : nullptr; r; r = r->next)
            names.emplace_back(r->name ? r->name : "(null)");
        return names;
    }
    std::string message;
    std::unique_ptr<ConfigFile> file_;
};

TEST_F(Config, RealmOrderAndLookup)
{
    ASSERT_EQ(read(R"(
        realm r1 { server { hostname = "a" } }
        realm r2 { type = "TCP" }
        realm r3 { type = "TCP" }
        realm r2 { type = "UDP" }
    )"), 0) << message;
    // The first realm stays the head; later ones follow in reverse order.
    // A title used twice makes one realm with the values of the later section.
    EXPECT_EQ(realm_names(), (std::vector<std::string>{"r1", "r3", "r2"}));
    qn_realm *r2 = qn_conf_find_realm(ctx, "r2");
    ASSERT_NE(r2, nullptr);
    EXPECT_EQ(r2->type, QN_CONN_TYPE_UDP);
    EXPECT_EQ(qn_conf_find_realm(ctx, "R1"), nullptr);  // case-sensitive
    EXPECT_EQ(qn_conf_find_realm(ctx, "none"), nullptr);
}

TEST_F(Config, DefaultsAndEveryOption)
{
    ASSERT_EQ(read(R"(
        realm plain {
            server { hostname = "h1" }
        }
        realm full {
            type = "TLS"
            timeout = 7
            retries = 9
            cacertfile = "/ca.pem"
            certfile = "/c.pem"
            certkeyfile = "/c.key"
            disable_hostname_check = true
            require_message_authenticator = "yes"
            server { hostname = "s1" service = "1812" secret = "one" }
            server { hostname = "s2" }
            server { hostname = "s3" }
        }
    )"), 0) << message;

    qn_realm *plain = qn_conf_find_realm(ctx, "plain");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->type, QN_CONN_TYPE_UDP);
    EXPECT_EQ(plain->timeout, 2);
    EXPECT_EQ(plain->retries, 2);
    EXPECT_EQ(plain->disable_hostname_check, 0);
    EXPECT_EQ(plain->cacertfile, nullptr);
    EXPECT_EQ(plain->transport_cred, nullptr);
    EXPECT_EQ(plain->require_msg_auth, RequireMsgAuth::automatic);
    ASSERT_NE(plain->peers, nullptr);
    EXPECT_STREQ(plain->peers->service, "2083");
    EXPECT_STREQ(plain->peers->secret, "wepkaz");
    EXPECT_EQ(plain->peers->realm, plain);
    EXPECT_EQ(plain->peers->conn, nullptr);

    qn_realm *full = qn_conf_find_realm(ctx, "full");
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(full->type, QN_CONN_TYPE_TLS);
    EXPECT_EQ(full->timeout, 7);
    EXPECT_EQ(full->retries, 9);
    EXPECT_STREQ(full->cacertfile, "/ca.pem");
    EXPECT_STREQ(full->certfile, "/c.pem");
    EXPECT_STREQ(full->certkeyfile, "/c.key");
    EXPECT_EQ(full->disable_hostname_check, 1);
    EXPECT_EQ(full->require_msg_auth, RequireMsgAuth::yes);
    // Servers: first one, then the later ones in reverse order.
    std::vector<std::string> hosts;
    for (qn_peer *p = full->peers; p; p = p->next) {
        hosts.emplace_back(p->hostname);
        EXPECT_EQ(p->realm, full);
    }
    EXPECT_EQ(hosts, (std::vector<std::string>{"s1", "s3", "s2"}));
    EXPECT_STREQ(full->peers->service, "1812");
    EXPECT_STREQ(full->peers->secret, "one");
}

TEST_F(Config, PreSharedKeys)
{
    ASSERT_EQ(read(R"(
        realm text { type = "TLS" pskstr = "sesame" pskid = "me" }
        realm both { type = "DTLS" pskstr = "sesame" pskhexstr = "0a0b" }
        realm noserver { type = "TCP" }
    )"), 0) << message;

    qn_credentials *c = qn_conf_find_realm(ctx, "text")->transport_cred;
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->type, QN_CRED_PSK);
    EXPECT_STREQ(c->identity, "me");
    EXPECT_STREQ(c->secret, "sesame");
    EXPECT_EQ(c->secret_encoding, QN_KEY_ENCODING_TEXT);
    EXPECT_EQ(c->secret_len, 0u);

    c = qn_conf_find_realm(ctx, "both")->transport_cred;
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->identity, nullptr);
    EXPECT_STREQ(c->secret, "0a0b");
    EXPECT_EQ(c->secret_encoding, QN_KEY_ENCODING_HEX);

    EXPECT_EQ(qn_conf_find_realm(ctx, "noserver")->peers, nullptr);
}

TEST_F(Config, RefusedWithTheRightMessage)
{
    struct Case {
        std::string text;
        std::string message;  // "%s" stands for the file's path
    };
    using namespace std::string_literals;
    const Case cases[] = {
        {"realm r { type = \"udp\" }", "r: invalid connection type: udp"},
        {"realm r { type = \"\" }", "r: invalid connection type: "},
        {"realm t { type = \"TLS\" }", "t: missing both CA file/path and PSK"},
        {"realm r { require_message_authenticator = \"maybe\" }",
         "r: require_message_authenticator: unknown value \"maybe\" (yes, no or auto)"},
        {"realm t { type = \"DTLS\" pskex = \"X\" pskstr = \"k\" }",
         "t: pskex: unknown key exchange \"X\" (PSK)"},
        {"realm t { type = \"TLS\" pskex = \"DHE\" cacertfile = \"/ca\" }",
         "t: pskex: unknown key exchange \"DHE\" (PSK)"},
        {"realm t { type = \"TLS\" pskstr = \"\" }", "t: pskstr: empty"},
        {"realm r { timeout = 0 }", "r: timeout: 0 is out of range (1 to 3600)"},
        {"realm r { timeout = 3601 }", "r: timeout: 3601 is out of range (1 to 3600)"},
        {"realm r { retries = -1 }", "r: retries: -1 is out of range (0 to 100)"},
        {"realm r { server { service = \"1812\" } }", "r: server 1: hostname: none given"},
        {"realm r { server { hostname = \"h\" } server { hostname = \"h\" service = \"0\" } }",
         "r: server 2: service: 0 is not a port from 1 to 65535"},
        {"realm r { server { hostname = \"h\" service = \"99999\" } }",
         "r: server 1: service: 99999 is not a port from 1 to 65535"},
        {"realm r { server { hostname = \"h\" service = \"-1\" } }",
         "r: server 1: service: -1 is not a port from 1 to 65535"},
        {"realm r { server { hostname = \"h\" service = \"\" } }", "r: server 1: service: empty"},
        {"realm r { server { hostname = \"h\" secret = \"\" } }", "r: server 1: secret: empty"},
        {"realm r { colour = \"blue\" }",
         "%s: invalid configuration file: line 1: no such option 'colour'"},
        {"realm r { server { port = 1 } }",
         "%s: invalid configuration file: line 1: no such option 'port'"},
        {"realm r { timeout = \"soon\" }",
         "%s: invalid configuration file: line 1: invalid integer value for option 'timeout'"},
        {"realm r { disable_hostname_check = maybe }",
         "%s: invalid configuration file: line 1: invalid boolean value for option "
         "'disable_hostname_check'"},
        {"server { hostname = \"x\" }",
         "%s: invalid configuration file: line 1: no such option 'server'"},
        {"\x01\x02\xff\xfe binary \x7f",
         "%s: invalid configuration file: line 1: no such option '\\x01\\x02\xff\xfe'"},
        // Comments do not upset the line count; what the parser lets pass at the end is refused.
        {"# one\n// two\n/* three\n */ realm r {\n\"s\" }",
         "%s: invalid configuration file: line 5: no such option 's'"},
        {"realm r {\n server { hostname = \"a\" }",
         "%s: invalid configuration file: line 1: '{' not closed"},
        {"realm r { } /* server {", "%s: invalid configuration file: line 1: comment not closed"},
        {"realm r {\n type = \"UDP }", "%s: invalid configuration file: line 2: string not closed"},
        {"realm r { type = 'UDP }", "%s: invalid configuration file: line 1: string not closed"},
        {"realm r { }\n\0realm s { }"s, "%s: invalid configuration file: line 2: NUL octet"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(read(c.text), QNE_CONFIG) << c.text;
        std::string want = c.message;
        if (auto pos = want.find("%s"); pos != std::string::npos)
            want.replace(pos, 2, file_->path());
        EXPECT_EQ(message, want) << c.text;
    }
}

// Realms made in code get the file's defaults and its checks, and own what they are given.
TEST_F(Config, RealmsMadeInCodeAreCheckedLikeConfiguredOnes)
{
    qn_realm *r = nullptr;
    ASSERT_EQ(qn_realm_create(ctx, "code", QN_CONN_TYPE_TLS, &r), 0);
    ASSERT_EQ(qn_conf_find_realm(ctx, "code"), r);
    EXPECT_EQ(r->timeout, 2);
    EXPECT_EQ(r->retries, 2);
    std::string ca = "/ca.pem", key = "0a0b";
    EXPECT_EQ(qn_realm_set_tls_files(r, ca.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(qn_realm_set_psk(r, "id", key.c_str(), QN_KEY_ENCODING_HEX), 0);
    ca.assign("changed"), key.assign("zz");
    EXPECT_STREQ(r->cacertfile, "/ca.pem");
    EXPECT_STREQ(r->transport_cred->secret, "0a0b");
    EXPECT_EQ(qn_realm_add_server(r, "h1", "1812", "s"), 0);
    EXPECT_EQ(qn_realm_add_server(r, "h2", "radius", "s"), 0);
    EXPECT_EQ(r->peers->next->index, 1);
    EXPECT_EQ(qn_realm_set_require_message_authenticator(r, "yes"), 0);
    EXPECT_EQ(r->require_msg_auth, RequireMsgAuth::yes);

    const std::pair<std::function<int()>, std::string> refused[] = {
        {[&] { return qn_realm_create(ctx, "code", QN_CONN_TYPE_UDP, nullptr); },
         "code: a realm of that name exists"},
        {[&] { return qn_realm_create(ctx, "x", 9, nullptr); }, "x: invalid connection type: 9"},
        {[&] { return qn_realm_set_timeout(r, 0); },
         "code: timeout: 0 is out of range (1 to 3600)"},
        {[&] { return qn_realm_set_retries(r, 101); },
         "code: retries: 101 is out of range (0 to 100)"},
        {[&] { return qn_realm_set_require_message_authenticator(r, "maybe"); },
         "code: require_message_authenticator: unknown value \"maybe\" (yes, no or auto)"},
        {[&] { return qn_realm_set_psk(r, "id", "", QN_KEY_ENCODING_TEXT); },
         "code: pre-shared key: empty"},
        {[&] { return qn_realm_add_server(r, "h", "99999", "s"); },
         "code: server 3: service: 99999 is not a port from 1 to 65535"},
        {[&] { return qn_realm_add_server(r, "h", "1812", ""); },
         "code: server 3: secret: empty"},
    };
    for (const auto &[call, text] : refused) {
        EXPECT_NE(call(), 0) << text;
        EXPECT_EQ(pop_message(), text);
    }
    EXPECT_EQ(r->timeout, 2);  // unchanged by a refused value
}

TEST_F(Config, UntitledRealmIsRefused)
{
    EXPECT_EQ(read("realm { type = \"UDP\" }"), QNE_CONFIG);
    EXPECT_EQ(message, file_->path() + ": invalid configuration file: line 1: missing title for "
                                       "section 'realm'");
    EXPECT_EQ(read("realm \"\" { type = \"UDP\" }"), QNE_CONFIG);
    EXPECT_TRUE(message.starts_with("missing realm name (")) << message;
}

TEST_F(Config, FilesThatCannotBeRead)
{
    EXPECT_EQ(read_path("/nonexistent/quelna.conf"), QNE_CONFIG);
    EXPECT_EQ(message,
              "/nonexistent/quelna.conf: unable to open configuration file (No such file or "
              "directory)");

    // A directory or a device is not a configuration file (and must not end the process).
    EXPECT_EQ(read_path("/"), QNE_CONFIG);
    EXPECT_EQ(message, "/: unable to open configuration file (Is a directory)");
    EXPECT_EQ(read_path("/dev/null"), QNE_CONFIG);
    EXPECT_EQ(message, "/dev/null: unable to open configuration file (not a regular file)");

    // An empty file is a valid configuration without realms.
    EXPECT_EQ(read(""), 0) << message;
    ASSERT_NE(ctx->config, nullptr);
    EXPECT_EQ(ctx->config->realms, nullptr);
}

// Top-level dictionary files are loaded before the realms (a relative path from the
// configuration's directory); a bad one fails the read with its file and line.
TEST_F(Config, DictionariesAreLoadedFirst)
{
    ConfigFile dict("VENDOR Conf-Test-Vendor 64999\nBEGIN-VENDOR Conf-Test-Vendor\n"
                    "ATTRIBUTE Conf-Test-Attr 7 integer\nEND-VENDOR Conf-Test-Vendor\n");
    const std::string base = dict.path().substr(dict.path().rfind('/') + 1);
    ASSERT_EQ(read("dictionary = \"" + base + "\"\nrealm r { server { hostname = \"h\" } }"), 0)
        << message;
    unsigned int attr = 0, vendor = 0;
    EXPECT_EQ(qn_attr_find("Conf-Test-Attr", &attr, &vendor), QNE_OK);
    EXPECT_EQ(vendor, 64999u);
    EXPECT_EQ(attr, 7u);

    ConfigFile bad("ATTRIBUTE Conf-Test-Other 8 integer\nNO-SUCH-KEYWORD x\n");
    EXPECT_EQ(read("dictionary = \"" + bad.path() + "\""), QNE_CONFIG);
    EXPECT_EQ(message.rfind(bad.path() + ":2: ", 0), 0u) << message;
    EXPECT_EQ(qn_attr_find("Conf-Test-Other", &attr, &vendor), QNE_ATTR_UNKNOWN);
}

TEST_F(Config, HugeStringsAreKeptWhole)
{
    std::string host(100000, 'h');
    ASSERT_EQ(read("realm big { server { hostname = \"" + host + "\" } }"), 0) << message;
    EXPECT_EQ(std::string(qn_conf_find_realm(ctx, "big")->peers->hostname), host);
}

TEST_F(Config, ValuesAreTheTextWrittenNeverExpanded)
{
    // The parser would put the environment's value in place of ${NAME}: a value, a secret above
    // all, is what the file says. Quotes, escapes, comments and words around it stay as written.
    setenv("QUELNA_TEST_VAR", "expanded", 1);
    ASSERT_EQ(read(R"(realm r {
        pskid = ${QUELNA_TEST_VAR:-x y}
        pskstr = '${QUELNA_TEST_VAR}\'\\'
        server { hostname = a//b secret = "${QUELNA_TEST_VAR}x" }
        server { hostname = "h#" secret = "\${QUELNA_TEST_VAR}\"${Q}\\" }  # ${QUELNA_TEST_VAR}
        server { hostname = "/*" secret = "$$ {}" }
    })"), 0) << message;
    unsetenv("QUELNA_TEST_VAR");

    qn_realm *r = qn_conf_find_realm(ctx, "r");
    ASSERT_NE(r, nullptr);
    ASSERT_NE(r->transport_cred, nullptr);
    EXPECT_STREQ(r->transport_cred->identity, "${QUELNA_TEST_VAR:-x y}");
    EXPECT_STREQ(r->transport_cred->secret, "${QUELNA_TEST_VAR}'\\");
    std::vector<std::string> servers;
    for (qn_peer *p = r->peers; p; p = p->next)
        servers.push_back(std::string(p->hostname) + " " + p->secret);
    EXPECT_EQ(servers, (std::vector<std::string>{"a//b ${QUELNA_TEST_VAR}x", "/* $$ {}",
                                                 "h# ${QUELNA_TEST_VAR}\"${Q}\\"}));
}

TEST_F(Config, SecondReadReplacesTheFirst)
{
    ASSERT_EQ(read("realm one { server { hostname = \"a\" } }"), 0);
    ASSERT_EQ(read("realm two { }"), 0);
    // The first configuration is released (ASan's leak check proves it) and gone.
    EXPECT_EQ(qn_conf_find_realm(ctx, "one"), nullptr);
    EXPECT_NE(qn_conf_find_realm(ctx, "two"), nullptr);

    // A file that does not parse leaves the configuration that was there.
    EXPECT_EQ(read("realm bad { colour = 1 }"), QNE_CONFIG);
    EXPECT_NE(qn_conf_find_realm(ctx, "two"), nullptr);
}

TEST_F(Config, FailureLeavesWhatWasReadForDestruction)
{
    EXPECT_EQ(read(R"(
        realm good { server { hostname = "a" } }
        realm bad { type = "udp" server { hostname = "b" } }
    )"), QNE_CONFIG);
    // The realm read before the failure stays, with valid texts, until the context goes.
    qn_realm *good = qn_conf_find_realm(ctx, "good");
    ASSERT_NE(good, nullptr);
    EXPECT_STREQ(good->peers->hostname, "a");
}

// Fails the n-th allocation made through the context's scheme.
struct FailingAlloc {
    static inline int countdown = -1;
    static inline int calls = 0;
    static bool fail()
    {
        calls++;
        return countdown >= 0 && countdown-- == 0;
    }
    static void *calloc_(size_t n, size_t s) { return fail() ? nullptr : calloc(n, s); }
    static void *malloc_(size_t s) { return fail() ? nullptr : malloc(s); }
};

TEST_F(Config, EveryAllocationFailureIsReportedWithoutLeaks)
{
    auto cfg = std::make_unique<ConfigFile>(R"(
        realm a { type = "TLS" pskstr = "k" server { hostname = "x" } server { hostname = "y" } }
        realm b { }
    )");
    ctx->alloc_scheme.calloc = FailingAlloc::calloc_;
    ctx->alloc_scheme.malloc = FailingAlloc::malloc_;

    FailingAlloc::countdown = -1;
    FailingAlloc::calls = 0;
    ASSERT_EQ(qn_context_read_config(ctx, cfg->path().c_str()), 0);
    const int total = FailingAlloc::calls;
    ASSERT_GE(total, 7);  // config, 2 realms, 2 names, credentials, 2 peers

    for (int n = 0; n < total; n++) {
        qn_context *c = nullptr;
        ASSERT_EQ(qn_context_create(&c), 0);
        c->alloc_scheme = ctx->alloc_scheme;
        FailingAlloc::countdown = n;
        EXPECT_EQ(qn_context_read_config(c, cfg->path().c_str()), QNE_NOMEM) << n;
        qn_error *e = qn_err_ctx_pop(c);
        ASSERT_NE(e, nullptr) << n;
        std::string msg = qn_err_msg(e);
        EXPECT_TRUE(msg == "qn_strdup" || msg.starts_with("out of memory (conf.cpp:")) << msg;
        qn_err_free(e);
        qn_context_destroy(c);
    }
    FailingAlloc::countdown = -1;
}

}  // namespace
