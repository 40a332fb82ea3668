#include "net_util.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace quelna::test {

RealmConnection::RealmConnection(const std::string &type, const std::string &host,
                                 uint16_t port, const std::string &secret,
                                 const std::string &extra)
{
    char path[] = "/tmp/quelna-net-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    std::string text = "realm r {\n type = \"" + type + "\"\n" + extra +
                       "\n server { hostname = \"" + host + "\" service = \"" +
                       std::to_string(port) + "\" secret = \"" + secret + "\" }\n}\n";
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    EXPECT_EQ(qn_context_create(&ctx), 0);
    EXPECT_EQ(qn_context_read_config(ctx, path), 0);
    unlink(path);
    EXPECT_EQ(qn_conn_create(ctx, &conn, "r"), 0);
}

RealmConnection::~RealmConnection()
{
    qn_conn_destroy(conn);
    qn_context_destroy(ctx);
}

std::string pop_message(qn_connection *conn)
{
    qn_error *e = qn_err_conn_pop(conn);
    std::string msg = e ? qn_err_msg(e) : "";
    if (e)
        qn_err_free(e);
    return msg;
}

std::string RealmConnection::pop_conn_message()
{
    return pop_message(conn);
}

std::string string_attr(qn_packet *pkt, unsigned int attr, unsigned int vendor)
{
    const lr_value_pair *vp = qn_packet_find_avp(pkt, attr, vendor);
    if (!vp)
        return "";
    return std::string(reinterpret_cast<const char *>(vp->value), vp->length);
}

int authenticate(qn_connection *conn, const char *user, const char *password, qn_packet **resp)
{
    qn_request *req = nullptr;
    if (qn_request_create_authn(conn, &req, user, password) != 0)
        return -1;
    int rc = qn_request_send(req, resp);
    qn_request_destroy(req);
    return rc;
}

}  // namespace quelna::test
