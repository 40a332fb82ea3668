// Library packets: a codec packet with its own octet buffer, tied to a connection.
#include <cassert>
#include <cstring>

#include <event2/bufferevent.h>
#include <event2/util.h>

#include <quelna/codec.h>

#include "net.h"

namespace {

constexpr unsigned int code_access_request = 1;
constexpr unsigned int code_access_accept = 2;
constexpr unsigned int code_access_reject = 3;
constexpr unsigned int code_access_challenge = 11;
constexpr unsigned int code_status_server = 12;
constexpr unsigned int attr_message_authenticator = 80;

// Request codes a client may create packets for (RFC 2865, 2866, 5997, 5176).
constexpr unsigned int request_codes[] = {1, 4, 12, 40, 43};

bool is_request_code(unsigned int code)
{
    for (unsigned int c : request_codes)
        if (c == code)
            return true;
    return false;
}

int packet_create(qn_connection *conn, qn_packet **out, unsigned int code)
{
    assert(conn && conn->ctx);
    qn_context *ctx = conn->ctx;
    *out = nullptr;

    // One block: the codec record followed by its buffer.
    void *block = qn_malloc(ctx, sizeof(lr_packet) + QN_MAX_PACKET_LEN);
    if (!block)
        return qn_err_conn_push(conn, QNE_NOMEM, "qn_packet_create");
    auto *rp = static_cast<lr_packet *>(block);
    memset(rp, 0, sizeof(*rp));
    int rc = lr_packet_init(rp, nullptr, nullptr, static_cast<int>(code), rp + 1,
                            QN_MAX_PACKET_LEN);
    if (rc < 0) {
        qn_free(ctx, block);
        return qn_err_conn_push(conn, -rc, "lr_packet_init");
    }

    auto *pkt = static_cast<qn_packet *>(qn_calloc(ctx, 1, sizeof(qn_packet)));
    if (!pkt) {
        qn_free(ctx, block);
        return qn_err_conn_push(conn, QNE_NOMEM, "qn_packet_create");
    }
    pkt->conn = conn;
    pkt->rpkt = rp;
    *out = pkt;
    return 0;
}

[[maybe_unused]] bool peer_has_secret(const qn_connection *conn)
{
    return conn->active_peer && conn->active_peer->secret;
}

// A packet about to be encoded for the first time gets a free identifier of its connection's
// table, unless its caller chose one: the identifiers follow each other from a random start, so
// packets outstanding together never share one and consecutive requests differ (a server
// takes a reused identifier from the same port for a duplicate, RFC 5080 section 2.2.2).
int take_id(qn_packet *pkt)
{
    lr_packet *rp = pkt->rpkt;
    if (pkt->id_chosen || pkt->holds_id || (rp->flags & LR_PACKET_ENCODED))
        return 0;
    qn_connection *conn = pkt->conn;
    lr_server *ids = &conn->ids;
    for (int k = 0; k < LR_SERVER_IDS; k++) {
        const int id = (conn->next_id + k) % LR_SERVER_IDS;
        if (ids->ids[id])
            continue;
        ids->ids[id] = rp;
        ids->num_outgoing++;
        rp->id = id;
        rp->data[1] = static_cast<uint8_t>(id);  // the header is written at creation
        conn->next_id = (id + 1) % LR_SERVER_IDS;
        pkt->holds_id = true;
        return 0;
    }
    return QN_ERR_CONN_PUSH_FL(conn, QNE_NOMEM, "no free identifier: %d requests outstanding",
                               ids->num_outgoing);
}

// An Access reply without a Message-Authenticator can be forged over UDP and TCP by an attacker
// on the path who finds an MD5 chosen-prefix collision (CVE-2024-3596); TLS and DTLS
// authenticate the channel instead. Called on a verified, decoded reply: a Message-Authenticator
// among its pairs has been checked.
int check_message_authenticator(qn_connection *conn, const lr_packet *rp)
{
    const unsigned int code = rp->code;
    if ((code != code_access_accept && code != code_access_reject &&
         code != code_access_challenge) ||
        conn_type_tls(conn))
        return 0;
    qn_peer *peer = conn->active_peer;
    if (lr_vps_find(rp->vps, attr_message_authenticator, 0)) {
        peer->signs_responses = true;
        return 0;
    }
    const RequireMsgAuth policy =
        conn->realm ? conn->realm->require_msg_auth : RequireMsgAuth::automatic;
    if (policy == RequireMsgAuth::no ||
        (policy == RequireMsgAuth::automatic && !peer->signs_responses))
        return 0;
    const char *why = policy == RequireMsgAuth::yes ? "yes" : "auto: the server signed earlier";
    return qn_err_conn_push(conn, QNE_MSG_AUTH_WRONG,
                            "%s without Message-Authenticator refused "
                            "(require_message_authenticator = %s)",
                            lr_packet_codes[code], why);
}

}  // namespace

void packet_unqueue(qn_packet *pkt)
{
    qn_connection *conn = pkt->conn;
    for (qn_packet **pp = &conn->out_queue; *pp; pp = &(*pp)->next) {
        if (*pp == pkt) {
            *pp = pkt->next;
            pkt->next = nullptr;
            return;
        }
    }
}

int packet_encode(qn_packet *pkt, const char *secret, bool id_given)
{
    qn_connection *conn = pkt->conn;
    lr_packet *rp = pkt->rpkt;
    rp->secret = secret;
    rp->secret_len = strlen(secret);
    if (int r = id_given ? 0 : take_id(pkt); r != 0)
        return r;
    if (int r = lr_packet_encode(rp, nullptr); r < 0)
        return QN_ERR_CONN_PUSH_FL(conn, -r, "lr_packet_encode");
    if (int r = lr_packet_sign(rp, nullptr); r < 0)
        return QN_ERR_CONN_PUSH_FL(conn, -r, "lr_packet_sign");
    return 0;
}

int packet_do_send(qn_packet *pkt)
{
    assert(pkt && pkt->conn && pkt->rpkt && peer_has_secret(pkt->conn));
    qn_connection *conn = pkt->conn;
    lr_packet *rp = pkt->rpkt;
    if (int r = packet_encode(pkt, conn->active_peer->secret); r != 0)
        return r;

    if (conn->bev) {
        int r = bufferevent_write(conn->bev, rp->data, rp->length);
        if (r < 0)
            return QN_ERR_CONN_PUSH_FL(conn, QNE_EVENT, "bufferevent_write: %s",
                                       evutil_gai_strerror(r));
        return 0;
    }

    // Datagrams: queue behind whatever waits, once only (a retransmission of a packet that
    // still waits keeps its place), so the chain never loops.
    qn_packet **pp = &conn->out_queue;
    while (*pp) {
        if (*pp == pkt)
            return 0;
        pp = &(*pp)->next;
    }
    pkt->next = nullptr;
    *pp = pkt;
    return 0;
}

int packet_verify_response(qn_connection *conn, qn_packet *response, qn_packet *request)
{
    assert(conn && peer_has_secret(conn) && response && response->rpkt && request &&
           request->rpkt);
    lr_packet *rp = response->rpkt;
    rp->secret = conn->active_peer->secret;
    rp->secret_len = strlen(rp->secret);

    if (int r = lr_packet_verify(rp, request->rpkt); r != 0)
        return QN_ERR_CONN_PUSH_FL(conn, -r, "lr_packet_verify");
    if (int r = lr_packet_decode(rp, request->rpkt); r != 0)
        return QN_ERR_CONN_PUSH_FL(conn, -r, "lr_packet_decode");
    return check_message_authenticator(conn, rp);
}

void packet_renew(qn_packet *pkt)
{
    lr_packet *rp = pkt->rpkt;
    rp->flags &= ~(LR_PACKET_ENCODED | LR_PACKET_SIGNED);
    // A random Request Authenticator stays (a CHAP challenge may be built on it); one that is
    // a signature is computed again over the new octets, from zeros (RFC 2866 section 3).
    if (rp->code != code_access_request && rp->code != code_status_server)
        memset(rp->vector, 0, sizeof(rp->vector));
}

void packet_release_id(qn_packet *pkt)
{
    if (pkt->holds_id) {
        lr_server_id_free(&pkt->conn->ids, pkt->rpkt);
        pkt->holds_id = false;
    }
}

extern "C" {

QN_EXPORT int qn_packet_create(qn_connection *conn, qn_packet **pkt)
{
    return packet_create(conn, pkt, code_access_request);
}

QN_EXPORT int qn_packet_create_request(qn_connection *conn, qn_packet **pkt, unsigned int code)
{
    assert(conn);
    *pkt = nullptr;
    if (!is_request_code(code))
        return qn_err_conn_push(conn, QNE_INVALID_REQ_CODE, "%u: not a request code", code);
    return packet_create(conn, pkt, code);
}

QN_EXPORT int qn_packet_create_authn_request(qn_connection *conn, qn_packet **pkt,
                                             const char *user_name, const char *user_pw)
{
    if (qn_packet_create(conn, pkt) != 0)
        return -1;
    (*pkt)->rpkt->code = code_access_request;
    if (user_name) {
        if (int rc = qn_packet_add_avp(*pkt, 1, 0, user_name, strlen(user_name)); rc != 0)
            return rc;
    }
    if (user_pw)
        return qn_packet_add_avp(*pkt, 2, 0, user_pw, strlen(user_pw));
    return 0;
}

QN_EXPORT void qn_packet_destroy(qn_packet *pkt)
{
    if (!pkt)
        return;
    assert(pkt->conn && pkt->conn->ctx);
    qn_context *ctx = pkt->conn->ctx;
    packet_unqueue(pkt);
    packet_release_id(pkt);
    lr_vp_free(&pkt->rpkt->vps);
    qn_free(ctx, pkt->rpkt);
    qn_free(ctx, pkt);
}

QN_EXPORT int qn_packet_add_avp(qn_packet *pkt, unsigned int attr, unsigned int vendor,
                                const void *data, size_t len)
{
    assert(pkt && pkt->conn && pkt->conn->ctx);
    qn_connection *conn = pkt->conn;
    const lr_dict_attr *da = lr_dict_attr_byvalue(attr, vendor);
    if (!da)
        return qn_err_conn_push(conn, QNE_ATTR_TYPE_UNKNOWN,
                                "attribute %u of vendor %u is not in the dictionary", attr,
                                vendor);

    auto *vp = static_cast<lr_value_pair *>(qn_malloc(conn->ctx, sizeof(lr_value_pair)));
    if (!vp)
        return qn_err_conn_push(conn, QNE_NOMEM, nullptr);
    if (!lr_vp_init(vp, da)) {
        lr_vp_free(&vp);
        return qn_err_conn_push(conn, QNE_INTERNAL, nullptr);
    }
    if (int r = lr_vp_set_data(vp, data, len); r < 0) {
        lr_vp_free(&vp);
        if (!data || len == 0)
            return qn_err_conn_push(conn, -r, "%s: an empty value cannot be sent", da->name);
        return qn_err_conn_push(conn, -r, "%s: %zu octets are not a value of its type",
                                da->name, len);
    }
    lr_vps_append(&pkt->rpkt->vps, vp);
    return 0;
}

QN_EXPORT int qn_packet_append_avp(qn_packet *pkt, unsigned int attr, unsigned int vendor,
                                   const void *data, size_t len)
{
    assert(pkt && pkt->conn);
    const lr_dict_attr *da = lr_dict_attr_byvalue(attr, vendor);
    if (!da)
        return qn_err_conn_push(pkt->conn, QNE_ATTR_TYPE_UNKNOWN, "qn_packet_append_avp");
    if (int r = lr_packet_attr_append(pkt->rpkt, nullptr, da, data, len); r < 0)
        return qn_err_conn_push(pkt->conn, -r, "qn_packet_append_avp");
    return 0;
}

QN_EXPORT void qn_packet_avps(qn_packet *pkt, struct lr_value_pair ***vps)
{
    assert(pkt);
    *vps = &pkt->rpkt->vps;
}

QN_EXPORT unsigned int qn_packet_code(qn_packet *pkt)
{
    assert(pkt);
    return pkt->rpkt->code;
}

QN_EXPORT struct lr_value_pair *qn_packet_find_avp(qn_packet *pkt, unsigned int attr,
                                                   unsigned int vendor)
{
    assert(pkt);
    return lr_vps_find(pkt->rpkt->vps, attr, vendor);
}

QN_EXPORT struct lr_packet *qn_packet_codec(qn_packet *pkt)
{
    assert(pkt);
    return pkt->rpkt;
}

QN_EXPORT int qn_packet_set_id(qn_packet *pkt, int id)
{
    assert(pkt);
    lr_packet *rp = pkt->rpkt;
    int old = rp->id;
    packet_release_id(pkt);
    pkt->id_chosen = true;
    rp->id = id;
    // Octets already written carry the identifier, and the signatures cover it: the packet
    // is written and signed afresh when it is next sent.
    if (rp->flags & LR_PACKET_HEADER) {
        rp->data[1] = static_cast<uint8_t>(id);
        packet_renew(pkt);
    }
    return old;
}

}  // extern "C"
