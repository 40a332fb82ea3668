// Helpers for connection tests: a context with one realm, and reading response attributes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <quelna/codec.h>
#include <quelna/quelna.h>

namespace quelna::test {

// A context holding one realm "r" of the given type with one server, and a connection to it.
class RealmConnection {
public:
    RealmConnection(const std::string &type, const std::string &host, uint16_t port,
                    const std::string &secret, const std::string &extra = "");
    ~RealmConnection();
    RealmConnection(const RealmConnection &) = delete;
    RealmConnection &operator=(const RealmConnection &) = delete;

    qn_context *ctx = nullptr;
    qn_connection *conn = nullptr;

    // Takes the connection's error out; "" when there is none.
    std::string pop_conn_message();
};

// Takes the connection's error out and returns its message ("" when there is none).
std::string pop_message(qn_connection *conn);

// A fresh context and a connection for a realm name that is not configured (a blank realm).
struct BlankConnection : ::testing::Test {
    qn_context *ctx = nullptr;
    qn_connection *conn = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(qn_context_create(&ctx), 0);
        ASSERT_EQ(qn_conn_create(ctx, &conn, "not-configured"), 0);
    }
    void TearDown() override
    {
        qn_conn_destroy(conn);
        qn_context_destroy(ctx);
    }
};

// The value of the first attribute attr in a packet as text ("" when absent).
std::string string_attr(qn_packet *pkt, unsigned int attr, unsigned int vendor = 0);

// Sends an Access-Request for user/password and returns the result; the response goes to *resp.
int authenticate(qn_connection *conn, const char *user, const char *password, qn_packet **resp);

}  // namespace quelna::test
