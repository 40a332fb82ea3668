// Requests and responses as JSON messages.
//
// Request:  {"msg_type": "tid_request", "msg_body": {"rp_realm", "target_realm", "community",
//            "orig_coi"?, "dh_info": {"dh_p", "dh_g", "dh_pub_key"}?, "expiration_interval",
//            "constraints"?, "path"?}}
// Response: {"msg_type": "tid_response", "msg_body": {"result": "success" | "error",
//            "err_msg"?, "rp_realm"?, "target_realm"?, "community"?, "orig_coi"?,
//            "servers": [{"server_addr", "key_name", "server_dh", "key_expiration", "path"?}]}}
// Big numbers are upper-case hexadecimal without sign; the expiration is ISO 8601 text.
#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/dh.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <string_view>

#include "tid_int.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace quelna::tid {
namespace {

// A DH value of at most 4096 bits: larger groups would let a peer make the server work for
// minutes on one request.
constexpr size_t kMaxHexDigits = 1024;
constexpr size_t kMaxServers = 16;

struct BnFree {
    void operator()(BIGNUM *bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

struct DhFree {
    void operator()(DH *dh) const { DH_free(dh); }
};
using Dh = std::unique_ptr<DH, DhFree>;

// Adds `value` under `key` when present; false only when out of memory.
bool set_hex(json_t *obj, const char *key, const BIGNUM *value)
{
    if (value == nullptr)
        return true;
    char *hex = BN_bn2hex(value);
    if (hex == nullptr)
        return false;
    const bool ok = json_object_set_new(obj, key, json_string(hex)) == 0;
    OPENSSL_free(hex);
    return ok;
}

bool set_name(json_t *obj, const char *key, const hb_name *name)
{
    if (name == nullptr)
        return true;
    return json_object_set_new(obj, key, json_stringn(name->buf, static_cast<size_t>(name->len))) ==
           0;
}

Json dh_to_json(const DH *dh)
{
    Json obj(json_object());
    if (!obj || !set_hex(obj.get(), "dh_p", DH_get0_p(dh)) ||
        !set_hex(obj.get(), "dh_g", DH_get0_g(dh)) ||
        !set_hex(obj.get(), "dh_pub_key", DH_get0_pub_key(dh)))
        return nullptr;
    return obj;
}

// A big number from unsigned hexadecimal; null (with `bad` set) when present but malformed.
Bn hex_member(json_t *obj, const char *key, bool &bad)
{
    json_t *member = json_object_get(obj, key);
    if (member == nullptr)
        return nullptr;
    const char *hex = json_string_value(member);
    const size_t len = hex == nullptr ? 0 : std::strlen(hex);
    bool digits = len > 0 && len <= kMaxHexDigits;
    for (size_t i = 0; digits && i < len; ++i)
        digits = std::isxdigit(static_cast<unsigned char>(hex[i])) != 0;
    BIGNUM *bn = nullptr;
    if (!digits || BN_hex2bn(&bn, hex) != static_cast<int>(len)) {
        BN_free(bn);
        bad = true;
        return nullptr;
    }
    return Bn(bn);
}

// A DH record of the members present. p and g are set only as a pair: a record that lacks
// either carries neither, which its user reports.
DH *dh_from_json(json_t *obj, std::string &err)
{
    if (!json_is_object(obj)) {
        err = "DH values must be an object";
        return nullptr;
    }
    bool bad = false;
    Bn p = hex_member(obj, "dh_p", bad);
    Bn g = hex_member(obj, "dh_g", bad);
    Bn pub = hex_member(obj, "dh_pub_key", bad);
    Dh dh(DH_new());
    if (bad || !dh) {
        err = bad ? "DH values must be unsigned hexadecimal of at most 4096 bits"
                  : "out of memory";
        return nullptr;
    }
    if (p && g && DH_set0_pqg(dh.get(), p.get(), nullptr, g.get()) == 1) {
        p.release();
        g.release();
    }
    if (pub && DH_set0_key(dh.get(), pub.get(), nullptr) == 1)
        pub.release();
    return dh.release();
}

// A name from an optional string member; false when present but not a string.
bool name_member(json_t *obj, const char *key, hb_name **out, bool required)
{
    json_t *member = json_object_get(obj, key);
    if (member == nullptr)
        return !required;
    if (!json_is_string(member))
        return false;
    *out = hb_new_name_len(json_string_value(member), json_string_length(member));
    return *out != nullptr;
}

json_t *body_of(json_t *msg, const char *type, std::string &err)
{
    const char *msg_type = json_string_value(json_object_get(msg, "msg_type"));
    json_t *body = json_object_get(msg, "msg_body");
    if (msg_type == nullptr || std::strcmp(msg_type, type) != 0 || !json_is_object(body)) {
        err = std::string("not a ") + type;
        return nullptr;
    }
    return body;
}

Json wrap_body(const char *type, Json body)
{
    if (!body)
        return nullptr;
    return Json(json_pack("{s:s, s:o}", "msg_type", type, "msg_body", body.release()));
}

// Days from 1970-01-01 to a date of the Gregorian calendar, for years from 1 on.
constexpr long days_from_civil(long y, int m, int d)
{
    y -= m <= 2;
    const long era = y / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

constexpr int days_in_month(int y, int m)
{
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

// Reads n decimal digits at pos into value and moves past them; false when they are not there.
bool digits(std::string_view text, size_t &pos, size_t n, long &value)
{
    if (text.size() - pos < n)
        return false;
    value = 0;
    for (size_t end = pos + n; pos < end; ++pos) {
        if (text[pos] < '0' || text[pos] > '9')
            return false;
        value = value * 10 + (text[pos] - '0');
    }
    return true;
}

bool literal(std::string_view text, size_t &pos, char c)
{
    return pos < text.size() && text[pos++] == c;
}

// A key expiration as RFC 3339 text: "YYYY-MM-DDTHH:MM:SS", a fraction of one to six digits if
// any, then "Z" or "+HH:MM" / "-HH:MM". Every field must be in range and the time within the
// years 1970 to 9999 UTC, so that what is accepted is written back in the same form.
bool parse_expiration(std::string_view text, GTimeVal &out)
{
    size_t pos = 0;
    long y, mo, d, h, mi, sec, usec = 0;
    if (!digits(text, pos, 4, y) || !literal(text, pos, '-') || !digits(text, pos, 2, mo) ||
        !literal(text, pos, '-') || !digits(text, pos, 2, d) || !literal(text, pos, 'T') ||
        !digits(text, pos, 2, h) || !literal(text, pos, ':') || !digits(text, pos, 2, mi) ||
        !literal(text, pos, ':') || !digits(text, pos, 2, sec))
        return false;
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > days_in_month(static_cast<int>(y),
                                                                  static_cast<int>(mo)) ||
        h > 23 || mi > 59 || sec > 59)
        return false;
    if (pos < text.size() && text[pos] == '.') {
        const size_t start = ++pos;
        while (pos < text.size() && pos - start < 7 && text[pos] >= '0' && text[pos] <= '9')
            usec = usec * 10 + (text[pos++] - '0');
        if (pos == start || pos - start > 6)
            return false;
        for (size_t n = pos - start; n < 6; ++n)
            usec *= 10;
    }
    long offset = 0;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const long sign = text[pos++] == '+' ? 1 : -1;
        long oh, om;
        if (!digits(text, pos, 2, oh) || !literal(text, pos, ':') || !digits(text, pos, 2, om) ||
            oh > 23 || om > 59)
            return false;
        offset = sign * (oh * 3600 + om * 60);
    } else if (!literal(text, pos, 'Z')) {
        return false;
    }
    if (pos != text.size())
        return false;
    const long t = days_from_civil(y, static_cast<int>(mo), static_cast<int>(d)) * 86400 +
                   h * 3600 + mi * 60 + sec - offset;
    constexpr long last = days_from_civil(9999, 12, 31) * 86400 + 86399;
    if (t < 0 || t > last)
        return false;
    out.tv_sec = t;
    out.tv_usec = usec;
    return true;
}

bool encode_server(json_t *servers, const TID_SRVR_BLK &blk)
{
    char addr[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &blk.aa_server_addr, addr, sizeof addr) == nullptr)
        return false;
    Json obj(json_pack("{s:s}", "server_addr", addr));
    if (!obj || !set_name(obj.get(), "key_name", blk.key_name))
        return false;
    if (blk.aa_server_dh != nullptr) {
        Json dh = dh_to_json(blk.aa_server_dh);
        if (!dh || json_object_set_new(obj.get(), "server_dh", dh.release()) != 0)
            return false;
    }
    gchar *when = g_time_val_to_iso8601(const_cast<GTimeVal *>(&blk.key_expiration));
    const bool ok = when != nullptr &&
                    json_object_set_new(obj.get(), "key_expiration", json_string(when)) == 0;
    g_free(when);
    if (!ok || (blk.path != nullptr && json_object_set(obj.get(), "path", blk.path) != 0))
        return false;
    return json_array_append_new(servers, obj.release()) == 0;
}

bool decode_server(TID_RESP *resp, json_t *obj, TID_SRVR_BLK &blk, std::string &err)
{
    const char *addr = json_string_value(json_object_get(obj, "server_addr"));
    json_t *expiration = json_object_get(obj, "key_expiration");
    const char *when = json_string_value(expiration);
    if (addr == nullptr || inet_pton(AF_INET, addr, &blk.aa_server_addr) != 1 ||
        !name_member(obj, "key_name", &blk.key_name, true) || when == nullptr) {
        err = "a server entry needs server_addr, key_name and key_expiration";
        return false;
    }
    if (!parse_expiration({when, json_string_length(expiration)}, blk.key_expiration)) {
        err = "key_expiration must be a time such as 2030-01-02T03:04:05Z";
        return false;
    }
    if (json_t *dh = json_object_get(obj, "server_dh")) {
        blk.aa_server_dh = dh_from_json(dh, err);
        if (blk.aa_server_dh == nullptr)
            return false;
    }
    if (json_t *path = json_object_get(obj, "path")) {
        if (!keep_json(resp, path))
            return false;
        blk.path = path;
    }
    return true;
}

}  // namespace

Json encode_request(const TID_REQ *req)
{
    Json body(json_pack("{s:i}", "expiration_interval", req->expiration_interval));
    if (!body || !set_name(body.get(), "rp_realm", req->rp_realm) ||
        !set_name(body.get(), "target_realm", req->realm) ||
        !set_name(body.get(), "community", req->comm) ||
        !set_name(body.get(), "orig_coi", req->orig_coi))
        return nullptr;
    if (req->tidc_dh != nullptr) {
        Json dh = dh_to_json(req->tidc_dh);
        if (!dh || json_object_set_new(body.get(), "dh_info", dh.release()) != 0)
            return nullptr;
    }
    if (req->cons != nullptr) {
        Json cons = constraints_to_json(req->cons);
        if (!cons || json_object_set_new(body.get(), "constraints", cons.release()) != 0)
            return nullptr;
    }
    if (req->path != nullptr && json_object_set(body.get(), "path", req->path) != 0)
        return nullptr;
    return wrap_body("tid_request", std::move(body));
}

TID_REQ *decode_request(TALLOC_CTX *mem, json_t *msg, std::string &err)
{
    json_t *body = body_of(msg, "tid_request", err);
    if (body == nullptr)
        return nullptr;
    TID_REQ *req = tid_req_new(mem);
    if (req == nullptr) {
        err = "out of memory";
        return nullptr;
    }
    if (!name_member(body, "rp_realm", &req->rp_realm, true) ||
        !name_member(body, "target_realm", &req->realm, true) ||
        !name_member(body, "community", &req->comm, true) ||
        !name_member(body, "orig_coi", &req->orig_coi, false)) {
        err = "a request needs rp_realm, target_realm and community strings";
        tid_req_free(req);
        return nullptr;
    }
    json_t *interval = json_object_get(body, "expiration_interval");
    if (interval != nullptr &&
        (!json_is_integer(interval) || json_integer_value(interval) < INT_MIN ||
         json_integer_value(interval) > INT_MAX)) {
        err = "expiration_interval must be an int";
        tid_req_free(req);
        return nullptr;
    }
    req->expiration_interval = static_cast<int>(json_integer_value(interval));
    if (json_t *dh = json_object_get(body, "dh_info")) {
        req->tidc_dh = dh_from_json(dh, err);
        if (req->tidc_dh == nullptr) {
            tid_req_free(req);
            return nullptr;
        }
    }
    if (json_t *cons = json_object_get(body, "constraints")) {
        req->cons = constraints_from_json(req, cons, err);
        if (req->cons == nullptr) {
            tid_req_free(req);
            return nullptr;
        }
    }
    if (json_t *path = json_object_get(body, "path")) {
        if (!keep_json(req, path)) {
            tid_req_free(req);
            return nullptr;
        }
        req->path = path;
    }
    return req;
}

Json encode_response(const TID_RESP *resp, std::string &err)
{
    Json body(json_pack("{s:s}", "result", resp->result == 0 ? "success" : "error"));
    json_t *servers = json_array();
    if (!body || json_object_set_new(body.get(), "servers", servers) != 0 ||
        !set_name(body.get(), "err_msg", resp->err_msg) ||
        !set_name(body.get(), "rp_realm", resp->rp_realm) ||
        !set_name(body.get(), "target_realm", resp->realm) ||
        !set_name(body.get(), "community", resp->comm) ||
        !set_name(body.get(), "orig_coi", resp->orig_coi)) {
        err = "out of memory";
        return nullptr;
    }
    if (resp->result == 0 && resp->num_servers > 0) {
        const size_t blocks =
            resp->servers == nullptr ? 0 : talloc_get_size(resp->servers) / sizeof(TID_SRVR_BLK);
        if (resp->num_servers > blocks) {
            err = "the response claims more server entries than it holds";
            return nullptr;
        }
        for (size_t i = 0; i < resp->num_servers; ++i) {
            if (!encode_server(servers, resp->servers[i])) {
                err = "a server entry cannot be encoded";
                return nullptr;
            }
        }
    }
    return wrap_body("tid_response", std::move(body));
}

TID_RESP *decode_response(TALLOC_CTX *mem, json_t *msg, std::string &err)
{
    json_t *body = body_of(msg, "tid_response", err);
    if (body == nullptr)
        return nullptr;
    const char *result = json_string_value(json_object_get(body, "result"));
    json_t *servers = json_object_get(body, "servers");
    TID_RESP *resp = tid_resp_new(mem);
    if (resp == nullptr) {
        err = "out of memory";
        return nullptr;
    }
    if (result == nullptr || (servers != nullptr && !json_is_array(servers)) ||
        json_array_size(servers) > kMaxServers ||
        !name_member(body, "err_msg", &resp->err_msg, false) ||
        !name_member(body, "rp_realm", &resp->rp_realm, false) ||
        !name_member(body, "target_realm", &resp->realm, false) ||
        !name_member(body, "community", &resp->comm, false) ||
        !name_member(body, "orig_coi", &resp->orig_coi, false)) {
        err = "malformed response";
        talloc_free(resp);
        return nullptr;
    }
    resp->result = std::strcmp(result, "success") == 0 ? 0 : 1;
    const size_t n = json_array_size(servers);
    if (n > 0) {
        resp->servers = talloc_zero_array(resp, TID_SRVR_BLK, n);
        if (resp->servers == nullptr) {
            talloc_free(resp);
            return nullptr;
        }
        for (size_t i = 0; i < n; ++i) {
            resp->num_servers = i + 1;  // so the destructor releases what entry i holds
            if (!decode_server(resp, json_array_get(servers, i), resp->servers[i], err)) {
                talloc_free(resp);
                return nullptr;
            }
        }
    }
    return resp;
}

}  // namespace quelna::tid

#pragma GCC diagnostic pop
