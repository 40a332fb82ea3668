// Framed JSON messages over a stream socket, and the GSS-API protection of their contents.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tid_int.h"

namespace quelna::tid {
namespace {

bool send_all(int fd, const void *data, size_t len)
{
    const auto *p = static_cast<const unsigned char *>(data);
    while (len > 0) {
        // MSG_NOSIGNAL: a peer that went away must not kill the process with SIGPIPE.
        const ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly `len` octets; 0 on success, 1 on end of stream before any octet, -1 otherwise.
int recv_all(int fd, void *data, size_t len)
{
    auto *p = static_cast<unsigned char *>(data);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = recv(fd, p + got, len - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 && got == 0)
            return 1;
        if (n <= 0)
            return -1;
        got += static_cast<size_t>(n);
    }
    return 0;
}

struct GFree {
    void operator()(void *p) const { g_free(p); }
};

Json message_with(const char *type, const char *key, const void *octets, size_t len)
{
    std::unique_ptr<gchar, GFree> text(
        g_base64_encode(static_cast<const guchar *>(octets), len));
    if (!text)
        return nullptr;
    return Json(json_pack("{s:s, s:s}", "msg_type", type, key, text.get()));
}

// The octets of a base64 member of a message of `type`; the peer's error text otherwise.
bool octets_of(json_t *msg, const char *type, const char *key, std::string &out, std::string &err)
{
    const char *msg_type = json_string_value(json_object_get(msg, "msg_type"));
    if (msg_type != nullptr && std::strcmp(msg_type, "error") == 0) {
        const char *text = json_string_value(json_object_get(msg, "error"));
        err = std::string("peer reports: ") + (text == nullptr ? "an error" : text);
        return false;
    }
    const char *b64 = json_string_value(json_object_get(msg, key));
    if (msg_type == nullptr || std::strcmp(msg_type, type) != 0 || b64 == nullptr) {
        err = std::string("expected a ") + type + " message";
        return false;
    }
    gsize len = 0;
    std::unique_ptr<guchar, GFree> octets(g_base64_decode(b64, &len));
    if (!octets || len == 0) {
        err = "empty or malformed base64";
        return false;
    }
    out.assign(reinterpret_cast<const char *>(octets.get()), len);
    return true;
}

}  // namespace

void set_io_timeout(int fd, int seconds)
{
    const timeval tv{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool write_msg(int fd, json_t *msg)
{
    std::unique_ptr<char, decltype(&std::free)> text(json_dumps(msg, JSON_COMPACT),
                                                      &std::free);
    if (!text)
        return false;
    const size_t len = std::strlen(text.get());
    if (len > HB_TID_MAX_MSG)
        return false;
    const uint32_t header = htonl(static_cast<uint32_t>(len));
    return send_all(fd, &header, sizeof header) && send_all(fd, text.get(), len);
}

Json read_msg(int fd, std::string &err, bool *gone)
{
    if (gone)
        *gone = false;
    uint32_t header = 0;
    const int head = recv_all(fd, &header, sizeof header);
    if (head != 0) {
        err = head > 0 ? "connection closed" : "connection failed or timed out";
        if (gone)
            *gone = true;
        return nullptr;
    }
    const size_t len = ntohl(header);
    if (len == 0 || len > HB_TID_MAX_MSG) {
        err = "message length " + std::to_string(len) + " out of range";
        return nullptr;
    }
    std::vector<char> body(len);
    if (recv_all(fd, body.data(), len) != 0) {
        err = "connection failed in a message";
        if (gone)
            *gone = true;
        return nullptr;
    }
    json_error_t jerr;
    Json msg(json_loadb(body.data(), len, JSON_REJECT_DUPLICATES, &jerr));
    if (!msg || !json_is_object(msg.get())) {
        err = msg ? "message is not a JSON object" : std::string("malformed JSON: ") + jerr.text;
        return nullptr;
    }
    return msg;
}

void send_error_msg(int fd, std::string_view text)
{
    Json msg(json_pack("{s:s, s:s%}", "msg_type", "error", "error", text.data(), text.size()));
    if (msg)
        write_msg(fd, msg.get());
}

bool send_token(int fd, const gss_buffer_desc &token)
{
    Json msg = message_with("gss_token", "token", token.value, token.length);
    return msg && write_msg(fd, msg.get());
}

bool read_token(int fd, std::string &out_token, std::string &err)
{
    Json msg = read_msg(fd, err);
    return msg && octets_of(msg.get(), "gss_token", "token", out_token, err);
}

bool send_wrapped(int fd, gss_ctx_id_t ctx, json_t *inner, std::string &err)
{
    std::unique_ptr<char, decltype(&std::free)> text(json_dumps(inner, JSON_COMPACT),
                                                      &std::free);
    if (!text) {
        err = "out of memory";
        return false;
    }
    OM_uint32 minor = 0;
    int conf_state = 0;
    gss_buffer_desc plain{std::strlen(text.get()), text.get()};
    gss_buffer_desc wrapped = GSS_C_EMPTY_BUFFER;
    const OM_uint32 major =
        gss_wrap(&minor, ctx, 1, GSS_C_QOP_DEFAULT, &plain, &conf_state, &wrapped);
    if (major != GSS_S_COMPLETE || conf_state == 0) {
        err = "cannot protect the message: " + gss_error_text(major, minor);
        gss_release_buffer(&minor, &wrapped);
        return false;
    }
    Json msg = message_with("wrapped", "data", wrapped.value, wrapped.length);
    gss_release_buffer(&minor, &wrapped);
    if (!msg || !write_msg(fd, msg.get())) {
        err = "cannot send the message";
        return false;
    }
    return true;
}

Json read_wrapped(int fd, gss_ctx_id_t ctx, std::string &err, bool *gone)
{
    Json msg = read_msg(fd, err, gone);
    std::string octets;
    if (!msg || !octets_of(msg.get(), "wrapped", "data", octets, err))
        return nullptr;
    OM_uint32 minor = 0;
    int conf_state = 0;
    gss_buffer_desc wrapped{octets.size(), octets.data()};
    gss_buffer_desc plain = GSS_C_EMPTY_BUFFER;
    const OM_uint32 major = gss_unwrap(&minor, ctx, &wrapped, &plain, &conf_state, nullptr);
    if (major != GSS_S_COMPLETE || conf_state == 0) {
        err = major != GSS_S_COMPLETE ? "message fails its check: " + gss_error_text(major, minor)
                                      : "message was not encrypted";
        gss_release_buffer(&minor, &plain);
        return nullptr;
    }
    json_error_t jerr;
    Json inner(json_loadb(static_cast<const char *>(plain.value), plain.length,
                          JSON_REJECT_DUPLICATES, &jerr));
    gss_release_buffer(&minor, &plain);
    if (!inner || !json_is_object(inner.get())) {
        err = "protected message is not a JSON object";
        return nullptr;
    }
    return inner;
}

}  // namespace quelna::tid
