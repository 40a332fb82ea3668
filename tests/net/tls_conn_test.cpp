// Pre-shared-key decoding and the PSK callback's buffer checks, and the host-name matching of
// the TLS helper layer on certificates made here.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "net_util.h"
#include "tls_conn.h"
#include "tlshelp.h"

namespace {

using quelna::net::decode_psk;
using quelna::net::PskDecode;
using quelna::test::RealmConnection;

std::vector<uint8_t> decoded(const char *secret, int encoding, PskDecode expect)
{
    qn_credentials cred{QN_CRED_PSK, "id", secret, encoding, 0};
    std::vector<uint8_t> out(8);
    size_t len = 99;
    EXPECT_EQ(decode_psk(cred, out, &len), expect) << secret;
    out.resize(expect == PskDecode::ok ? len : 0);
    return out;
}

TEST(PskDecode, HexKeepsEveryOctetOfTheDigits)
{
    using V = std::vector<uint8_t>;
    // Leading zero octets belong to the key.
    EXPECT_EQ(decoded("00ab", QN_KEY_ENCODING_HEX, PskDecode::ok), (V{0x00, 0xab}));
    EXPECT_EQ(decoded("0000", QN_KEY_ENCODING_HEX, PskDecode::ok), (V{0x00, 0x00}));
    // An odd digit count reads like a number: the first digit stands alone.
    EXPECT_EQ(decoded("AbC", QN_KEY_ENCODING_HEX, PskDecode::ok), (V{0x0a, 0xbc}));
    // Decoding stops at the first character that is not a digit.
    EXPECT_EQ(decoded("12zz", QN_KEY_ENCODING_HEX, PskDecode::ok), (V{0x12}));
    EXPECT_EQ(decoded("xyz", QN_KEY_ENCODING_HEX, PskDecode::bad_hex), V{});
    EXPECT_EQ(decoded("", QN_KEY_ENCODING_HEX, PskDecode::bad_hex), V{});
    EXPECT_EQ(decoded("0102030405060708", QN_KEY_ENCODING_HEX, PskDecode::ok).size(), 8u);
    EXPECT_EQ(decoded("010203040506070809", QN_KEY_ENCODING_HEX, PskDecode::too_long), V{});
}

TEST(PskDecode, TextIsItsOwnOctets)
{
    EXPECT_EQ(decoded("abcdefgh", QN_KEY_ENCODING_TEXT, PskDecode::ok),
              (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
    EXPECT_EQ(decoded("abcdefghi", QN_KEY_ENCODING_TEXT, PskDecode::too_long).size(), 0u);
}

// The callback as OpenSSL calls it, on a session of a PSK realm's connection.
struct PskCallback : ::testing::Test {
    std::unique_ptr<RealmConnection> rc;
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL *ssl = SSL_new(ctx);

    void realm(const std::string &options)
    {
        rc = std::make_unique<RealmConnection>("TLS", "localhost", 2083, "s", options);
        rc->conn->active_peer = rc->conn->peers;
        SSL_set_ex_data(ssl, 0, rc->conn);
    }
    ~PskCallback() override
    {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    }
    unsigned int call(std::vector<char> &identity, std::vector<unsigned char> &key)
    {
        return psk_client_cb(ssl, nullptr, identity.data(),
                             static_cast<unsigned int>(identity.size()), key.data(),
                             static_cast<unsigned int>(key.size()));
    }
};

TEST_F(PskCallback, IdentityMustLeaveRoomForItsTerminatingZero)
{
    realm("pskid = \"1234567\"\npskstr = \"key\"\n");
    std::vector<char> identity(8, 'x');
    std::vector<unsigned char> key(16);
    EXPECT_EQ(call(identity, key), 3u);
    EXPECT_STREQ(identity.data(), "1234567");
    EXPECT_EQ(std::string(key.begin(), key.begin() + 3), "key");
    EXPECT_EQ(rc->conn->realm->transport_cred->secret_len, 3u);

    realm("pskid = \"12345678\"\npskstr = \"key\"\n");
    EXPECT_EQ(call(identity, key), 0u);
    EXPECT_EQ(qn_err_conn_peek_code(rc->conn), QNE_CRED);
    EXPECT_EQ(rc->pop_conn_message(), "PSK identity longer than max 7");
}

TEST_F(PskCallback, SecretMayFillTheKeyBufferButNotOverflowIt)
{
    std::vector<char> identity(32);
    std::vector<unsigned char> key(4);
    realm("pskid = \"me\"\npskstr = \"four\"\n");
    EXPECT_EQ(call(identity, key), 4u);
    realm("pskid = \"me\"\npskstr = \"fiver\"\n");
    EXPECT_EQ(call(identity, key), 0u);
    EXPECT_EQ(rc->pop_conn_message(), "PSK secret longer than max 4");

    realm("pskid = \"me\"\npskhexstr = \"00010203\"\n");
    EXPECT_EQ(call(identity, key), 4u);
    EXPECT_EQ(key, (std::vector<unsigned char>{0, 1, 2, 3}));
    EXPECT_EQ(rc->conn->realm->transport_cred->secret_len, 4u);
    realm("pskid = \"me\"\npskhexstr = \"0001020304\"\n");
    EXPECT_EQ(call(identity, key), 0u);
    EXPECT_EQ(rc->pop_conn_message(), "PSK secret longer than max 4");
    realm("pskid = \"me\"\npskhexstr = \"-12\"\n");
    EXPECT_EQ(call(identity, key), 0u);
    EXPECT_EQ(rc->pop_conn_message(), "Unable to convert pskhexstr");
}

// Certificates made here, with the names under test.
struct X509Free {
    void operator()(X509 *x) const { X509_free(x); }
};
using Cert = std::unique_ptr<X509, X509Free>;

Cert make_cert(const char *cn, const char *san)
{
    Cert cert(X509_new());
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(cn), -1, -1, 0);
    if (san) {
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
        X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, san);
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    return cert;
}

std::vector<uint8_t> v4(const char *text)
{
    std::vector<uint8_t> a(4);
    inet_pton(AF_INET, text, a.data());
    return a;
}

TEST(TlsHelp, AddressesMatchOnlySubjectAltNameIpEntries)
{
    Cert c = make_cert("192.0.2.7", "DNS:192.0.2.9,IP:192.0.2.1,IP:2001:db8::1");
    EXPECT_EQ(subjectaltnameaddr(c.get(), AF_INET, v4("192.0.2.1")), 1);
    EXPECT_EQ(subjectaltnameaddr(c.get(), AF_INET, v4("192.0.2.9")), 0);
    EXPECT_EQ(subjectaltnameaddr(c.get(), AF_INET, v4("192.0.2.7")), 0);
    std::vector<uint8_t> a6(16);
    inet_pton(AF_INET6, "2001:db8::1", a6.data());
    EXPECT_EQ(subjectaltnameaddr(c.get(), AF_INET6, a6), 1);
    EXPECT_EQ(subjectaltnameaddr(c.get(), AF_INET6, v4("192.0.2.1")), -1);
    // The literal may still match the common name, which is the caller's second try.
    EXPECT_EQ(cnregexp(c.get(), "192.0.2.7"), 1);
    EXPECT_EQ(cnregexp(c.get(), "192.0.2.1"), 0);
}

TEST(TlsHelp, DnsNamesFollowWildcardRules)
{
    Cert c = make_cert("cn.example", "DNS:*.example.net,DNS:radius.example.org");
    EXPECT_EQ(subjectaltnameregexp(c.get(), GEN_DNS, "RADIUS.example.org"), 1);
    EXPECT_EQ(subjectaltnameregexp(c.get(), GEN_DNS, "a.example.net"), 1);
    EXPECT_EQ(subjectaltnameregexp(c.get(), GEN_DNS, "example.net"), 0);
    EXPECT_EQ(subjectaltnameregexp(c.get(), GEN_DNS, "a.b.example.net"), 0);
    // The subjectAltName check never falls back to the common name ...
    EXPECT_EQ(subjectaltnameregexp(c.get(), GEN_DNS, "cn.example"), 0);
    EXPECT_EQ(subjectaltnameregexp(c.get(), GEN_URI, "cn.example"), -1);
    // ... and the common-name check looks at nothing else.
    EXPECT_EQ(cnregexp(c.get(), "cn.example"), 1);
    EXPECT_EQ(cnregexp(c.get(), "radius.example.org"), 0);

    Cert wild = make_cert("*.0.2.1", nullptr);
    EXPECT_EQ(cnregexp(wild.get(), "x.0.2.1"), 1);
    EXPECT_EQ(cnregexp(wild.get(), "192.0.2.1"), 0);  // no wildcard for an address literal
}

TEST(TlsHelp, ContextNeedsReadableFiles)
{
    qn_tls_settings s{};
    s.cacertfile = "/nonexistent/ca.pem";
    EXPECT_EQ(tlsgetctx(QN_TLS_KIND_TLS, &s), nullptr);
    EXPECT_NE(ERR_peek_error(), 0u);
    ERR_clear_error();
    qn_tls_settings none{};
    SSL_CTX *ctx = tlsgetctx(QN_TLS_KIND_TLS, &none);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx), TLS1_2_VERSION);
    SSL_CTX_free(ctx);
    ctx = tlsgetctx(QN_TLS_KIND_DTLS, &none);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx), DTLS1_2_VERSION);
    SSL_CTX_free(ctx);
    EXPECT_EQ(tlsgetctx(3, &none), nullptr);
    ERR_clear_error();
}

}  // namespace

TEST(TlsContext, ConnectionsOfARealmShareOneContext)
{
    RealmConnection rc("TLS", "localhost", 2083, "s", "pskid = \"id\" pskhexstr = \"00112233\"");
    qn_realm *realm = qn_conf_find_realm(rc.ctx, "r");
    qn_connection *second = nullptr;
    ASSERT_EQ(qn_conn_create(rc.ctx, &second, "r"), 0);

    ASSERT_EQ(tls_init_conn(rc.conn), 0) << rc.pop_conn_message();
    ASSERT_NE(realm->tls_ctx, nullptr);
    EXPECT_EQ(rc.conn->tls_ctx, realm->tls_ctx);
    ASSERT_EQ(tls_init_conn(second), 0);
    EXPECT_EQ(second->tls_ctx, realm->tls_ctx);
    EXPECT_NE(second->tls_ssl, rc.conn->tls_ssl);

    // A connection going away leaves the realm's context usable for the others (and the leak
    // checker sees every reference released with the connections and the configuration).
    qn_conn_destroy(second);
    ASSERT_EQ(tls_init_conn(rc.conn), 0);  // a reconnect: a new session on the same context
    EXPECT_EQ(rc.conn->tls_ctx, realm->tls_ctx);
}
