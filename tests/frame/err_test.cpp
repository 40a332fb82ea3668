// Error objects and slots: what an application sees after a failure.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "quelna_int.h"

namespace {

struct ConnSlot : ::testing::Test {
    qn_connection conn{};
    void TearDown() override
    {
        if (conn.err)
            qn_err_free(conn.err);
    }
};

TEST(ErrorObject, TableTextSuffixAndCut)
{
    // Table text with the base name of the source file.
    qn_error *e = err_create(QNE_NOSYS, "lib/sub/conn.cpp", 124, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(qn_err_msg(e), "not yet implemented (conn.cpp:124)");
    EXPECT_EQ(qn_err_code(e, 1), QNE_NOSYS);

    // A format replaces the table text.
    e = err_create(QNE_CONFIG, nullptr, 0, "%s: unknown parse error", "/etc/x.conf");
    EXPECT_STREQ(qn_err_msg(e), "/etc/x.conf: unknown parse error");
    qn_err_free(e);

    // Codes outside the table (negative ones included) have an empty text.
    for (int code : {46, -6, 1000}) {
        e = err_create(code, nullptr, 0, nullptr);
        EXPECT_STREQ(qn_err_msg(e), "") << code;
        EXPECT_EQ(qn_err_code(e, 1), code);
    }
    e = err_create(46, "x/y.cpp", 7, nullptr);
    EXPECT_STREQ(qn_err_msg(e), " (y.cpp:7)");
    qn_err_free(e);

    // A name ending in "/" has an empty base name; a name without "/" is its own base name.
    e = err_create(QNE_OK, "dir/", 3, nullptr);
    EXPECT_STREQ(qn_err_msg(e), "SUCCESS (:3)");
    qn_err_free(e);
    e = err_create(QNE_CERT, "tls.cpp", 9, nullptr);
    EXPECT_STREQ(qn_err_msg(e), "certificate validation error (tls.cpp:9)");
    qn_err_free(e);

    // 2000 characters are cut to 1023 and leave no room for the suffix.
    std::string big(2000, 'x');
    e = err_create(QNE_INVAL, "a.cpp", 1, "%s", big.c_str());
    EXPECT_EQ(strlen(qn_err_msg(e)), 1023u);
    EXPECT_EQ(std::string(qn_err_msg(e)), std::string(1023, 'x'));
    qn_err_free(e);

    // A message just short of the end gets the suffix cut where the buffer ends.
    std::string near(1015, 'y');
    e = err_create(QNE_INVAL, "abc.cpp", 12345, "%s", near.c_str());
    EXPECT_EQ(std::string(qn_err_msg(e)), near + " (abc.cp");
    qn_err_free(e);
}

TEST(ErrorObject, EveryCodeHasItsText)
{
    const std::pair<int, const char *> some[] = {
        {QNE_OK, "SUCCESS"},
        {QNE_CODEC, "FreeRadius error"},
        {QNE_TIMEOUT_IO, "I/O timeout"},
        {QNE_INVALID_RESP_SRC, "response from the wrong source address"},
        {QNE_CERT, "certificate validation error"},
    };
    for (auto [code, text] : some)
        EXPECT_STREQ(err_text(code), text);
    for (int code = 0; code <= QNE_CANCELLED; code++)
        EXPECT_GT(strlen(err_text(code)), 0u) << code;
    EXPECT_STREQ(qn_strerror(QNE_ATTR_OVERFLOW), "attribute overflows packet");
    EXPECT_STREQ(qn_strerror(-QNE_ATTR_OVERFLOW), "attribute overflows packet");
    EXPECT_STREQ(qn_strerror(46), "");
    EXPECT_STREQ(qn_strerror(QNE_CODEC), "FreeRadius error");
    EXPECT_STREQ(qn_code_name(QN_CODE_ACCESS_ACCEPT), "Access-Accept");
    EXPECT_STREQ(qn_code_name(QN_CODE_COA_NAK), "CoA-NAK");
    EXPECT_STREQ(qn_code_name(6), "");
    EXPECT_STREQ(qn_code_name(46), "");
    EXPECT_STREQ(qn_strerror(INT_MIN), "");
    EXPECT_EQ(qn_err_code(nullptr, 1), -1);
    EXPECT_EQ(qn_err_msg(nullptr), nullptr);
}

TEST_F(ConnSlot, KeepsOnlyTheLatestError)
{
    EXPECT_EQ(qn_err_conn_peek_code(&conn), QNE_OK);
    EXPECT_EQ(qn_err_conn_push(&conn, QNE_TIMEOUT, nullptr), QNE_TIMEOUT);
    // The first error is released by the second push (ASan reports a leak otherwise).
    EXPECT_EQ(qn_err_conn_push_fl(&conn, QNE_DISCO, "net/tcp.cpp", 40, "closed by %s", "peer"),
              QNE_DISCO);
    EXPECT_EQ(qn_err_conn_peek_code(&conn), QNE_DISCO);
    EXPECT_EQ(qn_err_conn_peek_code(&conn), QNE_DISCO);  // peeking leaves it in place

    qn_error *e = qn_err_conn_pop(&conn);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(qn_err_msg(e), "closed by peer (tcp.cpp:40)");
    EXPECT_EQ(qn_err_code(e, 0), QNE_DISCO);  // still valid after a non-releasing read
    qn_err_free(e);

    EXPECT_EQ(qn_err_conn_pop(&conn), nullptr);
    EXPECT_EQ(qn_err_conn_peek_code(&conn), QNE_OK);
    EXPECT_EQ(qn_err_conn_peek_code(nullptr), -1);
    EXPECT_EQ(qn_err_conn_pop(nullptr), nullptr);
    EXPECT_EQ(qn_err_ctx_pop(nullptr), nullptr);
}

TEST_F(ConnSlot, StoresABuiltError)
{
    qn_error *e = err_create(QNE_BADADDR, nullptr, 0, "h:p: bad");
    EXPECT_EQ(err_conn_push_err(&conn, e), QNE_BADADDR);
    EXPECT_EQ(conn.err, e);
    // A code outside the table is stored unchanged.
    EXPECT_EQ(qn_err_conn_push(&conn, -24, nullptr), -24);
    EXPECT_EQ(qn_err_conn_peek_code(&conn), -24);
}

TEST(ContextSlot, PushAndPop)
{
    qn_context ctx{};
    EXPECT_EQ(qn_err_ctx_push(&ctx, QNE_CONFIG, "%s: invalid configuration file", "f"),
              QNE_CONFIG);
    EXPECT_EQ(qn_err_ctx_push_fl(&ctx, QNE_NOMEM, "/a/b/conf.cpp", 77, nullptr), QNE_NOMEM);
    qn_error *e = qn_err_ctx_pop(&ctx);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(qn_err_msg(e), "out of memory (conf.cpp:77)");
    qn_err_free(e);
    EXPECT_EQ(qn_err_ctx_pop(&ctx), nullptr);
}

}  // namespace
