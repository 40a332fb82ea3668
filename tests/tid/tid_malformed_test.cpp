// A server fed malformed, oversized or hostile messages answers with an error or closes the
// connection, writes nothing, and goes on serving (and, under the sanitizers, stays clean:
// each test ends with the server's clean exit).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "hb_dh.h"
#include "tid_fixture.h"
#include "tid_int.h"

namespace tidtest {
namespace {

using quelna::tid::Json;

int raw_connect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    quelna::tid::set_io_timeout(fd, 15);
    return fd;
}

std::string framed(const std::string &body, uint32_t claimed)
{
    const uint32_t header = htonl(claimed);
    return std::string(reinterpret_cast<const char *>(&header), 4) + body;
}

std::string framed(const std::string &body)
{
    return framed(body, static_cast<uint32_t>(body.size()));
}

// What the server answered: "closed", or the answer's msg_type.
std::string reply_kind(int fd)
{
    std::string err;
    Json msg = quelna::tid::read_msg(fd, err);
    if (!msg)
        return "closed";
    const char *type = json_string_value(json_object_get(msg.get(), "msg_type"));
    return type == nullptr ? "untyped" : type;
}

class TidMalformed : public TidServerTest {
protected:
    // Gets a key the ordinary way, proving the server still serves.
    void expect_service()
    {
        const Outcome run = run_program({TID_CLIENT_PATH, "localhost", "rp", "target", "apc",
                                         std::to_string(server_.port())},
                                        dir_);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("Client Key Generated"), std::string::npos);
    }

    // Sends one protected request body (the inner JSON text) on an authenticated connection
    // and returns the response's result text, or "closed".
    std::string protected_exchange(const std::string &inner)
    {
        TIDC_INSTANCE *tidc = tidc_create();
        gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
        const int conn = tidc_open_connection(tidc, "localhost", server_.port(), &ctx);
        EXPECT_GE(conn, 0);
        std::string result = "closed";
        std::string err;
        json_error_t jerr;
        Json msg(json_loads(inner.c_str(), JSON_DECODE_ANY, &jerr));
        EXPECT_TRUE(msg) << "the test's own JSON is malformed: " << inner;
        if (conn >= 0 && msg && quelna::tid::send_wrapped(conn, ctx, msg.get(), err)) {
            Json answer = quelna::tid::read_wrapped(conn, ctx, err);
            const char *text = json_string_value(
                json_object_get(json_object_get(answer.get(), "msg_body"), "result"));
            if (answer)
                result = text == nullptr ? "no result" : text;
        }
        tidc_destroy(tidc);
        return result;
    }
};

TEST_F(TidMalformed, UnauthenticatedGarbageIsRefused)
{
    const std::string nested(30000, '[');
    const std::vector<std::pair<const char *, std::string>> inputs = {
        {"oversized length", framed("{}", 0xffffffffu)},
        {"just over the limit", framed("{}", HB_TID_MAX_MSG + 1)},
        {"zero length", framed("", 0)},
        {"truncated body", framed("{\"msg_type\":", 1000)},
        {"not JSON", framed("this is not JSON")},
        {"JSON array", framed("[1,2,3]")},
        {"deep nesting", framed(nested + std::string(30000, ']'))},
        {"duplicate keys", framed(R"({"msg_type":"gss_token","msg_type":"x"})")},
        {"no token", framed(R"({"msg_type":"gss_token"})")},
        {"bad base64", framed(R"({"msg_type":"gss_token","token":"!!!!"})")},
        {"garbage token", framed(R"({"msg_type":"gss_token","token":"AAECAwQFBgcICQ=="})")},
        {"wrapped before a context", framed(R"({"msg_type":"wrapped","data":"AAEC"})")},
        {"half a header", std::string("\0\0", 2)},
    };
    for (const auto &[what, octets] : inputs) {
        const int fd = raw_connect(server_.port());
        ASSERT_GE(fd, 0) << what;
        ASSERT_EQ(send(fd, octets.data(), octets.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(octets.size()))
            << what;
        shutdown(fd, SHUT_WR);
        const std::string kind = reply_kind(fd);
        EXPECT_TRUE(kind == "closed" || kind == "error") << what << ": " << kind;
        close(fd);
    }
    EXPECT_TRUE(query(db_, "select * from psk_keys_tab").empty());
    expect_service();
}

TEST_F(TidMalformed, BadProtectedRequestsGetErrorResponses)
{
    DH *dh = hb_create_dh_params(nullptr, 0);
    ASSERT_NE(dh, nullptr);
    TID_REQ *req = tid_req_new(nullptr);
    req->rp_realm = hb_new_name("rp");
    req->realm = hb_new_name("target");
    req->comm = hb_new_name("apc");
    req->tidc_dh = dh;
    Json good = quelna::tid::encode_request(req);
    tid_req_free(req);
    ASSERT_TRUE(good);
    json_t *body = json_object_get(good.get(), "msg_body");
    json_t *dh_info = json_object_get(body, "dh_info");
    const std::string dh_p = json_string_value(json_object_get(dh_info, "dh_p"));
    const std::string dh_pub = json_string_value(json_object_get(dh_info, "dh_pub_key"));
    auto request = [&](const std::string &members) {
        return R"({"msg_type":"tid_request","msg_body":{"rp_realm":"rp","target_realm":"target",)"
               R"("community":"apc")" + members + "}}";
    };
    auto with_dh = [&](const std::string &p, const std::string &g, const std::string &pub) {
        return request(R"(,"dh_info":{"dh_p":")" + p + R"(","dh_g":")" + g +
                       R"(","dh_pub_key":")" + pub + R"("})");
    };
    const std::vector<std::pair<const char *, std::string>> inputs = {
        {"not a request", R"({"msg_type":"tid_response","msg_body":{}})"},
        {"not an object", R"(["tid_request"])"},
        {"no community", R"({"msg_type":"tid_request","msg_body":{"rp_realm":"rp","target_realm":"t"}})"},
        {"realm not a string", R"({"msg_type":"tid_request","msg_body":{"rp_realm":"rp","target_realm":7,"community":"c"}})"},
        {"no DH values", request("")},
        {"p without g", request(R"(,"dh_info":{"dh_p":")" + dh_p + R"(","dh_pub_key":")" + dh_pub + R"("})")},
        {"no public value", request(R"(,"dh_info":{"dh_p":")" + dh_p + R"(","dh_g":"02"})")},
        {"signed number", with_dh("-" + dh_p, "02", dh_pub)},
        {"not hexadecimal", with_dh(dh_p, "0x2", dh_pub)},
        {"too large a group", with_dh(std::string(1100, 'F'), "02", dh_pub)},
        {"tiny group", with_dh("17", "02", "03")},
        {"public value 1", with_dh(dh_p, "02", "01")},
        {"interval out of range", request(R"(,"expiration_interval":99999999999)")},
        {"interval not a number", request(R"(,"expiration_interval":"10")")},
        {"constraints not an array", request(R"(,"constraints":{"type":"domain"})")},
        {"match not a string", request(R"(,"constraints":[{"type":"domain","matches":[1]}])")},
    };
    for (const auto &[what, inner] : inputs) {
        const std::string result = protected_exchange(inner);
        EXPECT_TRUE(result == "error" || result == "closed") << what << ": " << result;
    }
    EXPECT_TRUE(query(db_, "select * from psk_keys_tab").empty());
    EXPECT_TRUE(query(db_, "select * from authorizations").empty());
    const std::string log = server_.log();
    EXPECT_NE(log.find("tids_req_handler(): No client DH info.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("tids_req_handler: NULL dh values.\n"), std::string::npos) << log;
    // The well-formed request, sent the same way, succeeds.
    EXPECT_EQ(protected_exchange(with_dh(dh_p, "02", dh_pub)), "success");
}

TEST_F(TidMalformed, ServesManyClientsInARow)
{
    for (int i = 0; i < 12; ++i) {
        const Outcome run = run_program({TID_CLIENT_PATH, "localhost", "rp", "target", "apc",
                                         std::to_string(server_.port())},
                                        dir_);
        ASSERT_EQ(run.status, 0) << i << run.err;
    }
    EXPECT_EQ(query(db_, "select keyid from psk_keys_tab").size(), 12u);
}

}  // namespace
}  // namespace tidtest
