// One request of quelna-client: build the packet, send it (the library's retransmission, or
// the command line's fixed schedule), print the answer and judge it.
#include <sys/time.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "client.h"

namespace quelna::client {
namespace {

struct RequestDeleter {
    void operator()(qn_request *req) const { qn_request_destroy(req); }
};
struct PacketDeleter {
    void operator()(qn_packet *pkt) const { qn_packet_destroy(pkt); }
};
using RequestPtr = std::unique_ptr<qn_request, RequestDeleter>;
using PacketPtr = std::unique_ptr<qn_packet, PacketDeleter>;

bool is_timeout(int code)
{
    return code == QNE_TIMEOUT || code == QNE_TIMEOUT_IO || code == QNE_TIMEOUT_CONN;
}

std::string code_name(unsigned int code)
{
    if (code <= LR_MAX_PACKET_CODE && lr_packet_codes[code] && *lr_packet_codes[code])
        return lr_packet_codes[code];
    return "code " + std::to_string(code);
}

constexpr unsigned int kEapMessage = 79;

bool is_eap_message(const qn_avp *vp)
{
    return vp && vp->da->attr == kEapMessage && vp->da->vendor == 0 &&
           qn_avp_typeof(vp) == QN_TYPE_OCTETS;
}

std::string hex_text(const uint8_t *octets, size_t len)
{
    std::string out = "0x";
    for (size_t i = 0; octets && i < len; i++) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", octets[i]);
        out += hex;
    }
    return out;
}

/** "Name = value", "Name:tag = value" (with the value's name where the dictionary has one),
 *  or the octets in hex for a type without text form. Consecutive EAP-Message attributes are
 *  one message split for transport (RFC 3579 §3.1): shown joined, and *next moves past them.
 *  Text comes from the server: it is shown escaped, all of it (past a zero octet too). */
std::string render_pair(const qn_avp *vp, const qn_avp **next)
{
    *next = qn_avp_next_const(vp);
    if (is_eap_message(vp)) {
        std::vector<uint8_t> joined;
        for (; is_eap_message(vp); vp = *next, *next = qn_avp_next_const(vp)) {
            const uint8_t *octets = qn_avp_octets_value_const_ptr(vp);
            joined.insert(joined.end(), octets, octets + qn_avp_length(vp));
        }
        *next = vp;
        return std::string("EAP-Message = ") + hex_text(joined.data(), joined.size());
    }
    char name[128];
    std::snprintf(name, sizeof name, "%s", qn_avp_name(vp) ? qn_avp_name(vp) : "?");
    std::string out = name;
    if ((vp->da->flags & LR_DICT_FLAG_HAS_TAG) && vp->tag > 0)
        out += ":" + std::to_string(vp->tag);
    const uint8_t *octets = qn_avp_octets_value_const_ptr(vp);
    size_t len = std::min(qn_avp_length(vp), static_cast<size_t>(LR_VALUE_SIZE));
    if (qn_avp_typeof(vp) == QN_TYPE_STRING && octets)
        return out + " = " + printable({reinterpret_cast<const char *>(octets), len});
    char value[2 * LR_VALUE_SIZE + 8];
    if (lr_vp_snprintf_value_named(value, sizeof value, vp) > 0) {
        out += " = ";
        out += printable(value);
        return out;
    }
    return out + " = " + hex_text(octets, len);
}

void print_hex(const lr_packet *packet)
{
    // A received packet was signed by its sender; the dump's warning about an unsigned
    // packet is meant for packets we build, so the copy shown carries the signed mark.
    lr_packet shown = *packet;
    shown.flags |= LR_PACKET_SIGNED;
    lr_packet_print_hex(&shown);
}

/** Whether a failure with code may have kept the request from leaving: the socket, the
 *  connect, TLS or the set-up failed. Of a request that ended so nothing is known for sure. */
bool failed_before_sending(int code)
{
    switch (code) {
    case QNE_NOMEM:
    case QNE_BADADDR:
    case QNE_NOPEER:
    case QNE_EVENT:
    case QNE_SOCKERR:
    case QNE_CONFIG:
    case QNE_INTERNAL:
    case QNE_SSLERR:
    case QNE_TIMEOUT_CONN:
    case QNE_CRED:
        return true;
    default:
        return false;
    }
}

/** What a failed send tells the user, and the status it means. */
Status report_failure(const Options &opts, Session &session, const RequestPlan &plan, int rc)
{
    qn_error *err = qn_err_conn_pop(session.conn());
    if (!err)
        err = qn_err_ctx_pop(session.ctx());
    int code = err ? qn_err_code(err, 0) : rc;
    if (code <= 0)
        code = QNE_INTERNAL;
    std::string message = err && qn_err_msg(err) ? qn_err_msg(err) : "";
    if (err)
        qn_err_free(err);

    // The code's own text, then the library's message unless it already starts with it.
    std::string text = qn_strerror(code);
    if (message.rfind(text, 0) == 0)
        text = message;
    else if (!message.empty())
        text += ": " + message;
    // An answer refused for lacking a Message-Authenticator says so itself.
    const bool unsigned_refused = message.find("without Message-Authenticator refused") !=
                                  std::string::npos;
    if (code == QNE_AUTH_VECTOR_WRONG || (code == QNE_MSG_AUTH_WRONG && !unsigned_refused))
        text += " (is the shared secret right?)";
    if (is_timeout(code)) {
        // A server drops a request signed with the wrong secret without a word.
        text += opts.timeout ? " (no answer to " + std::to_string(opts.retries + 1) +
                                   " attempt(s): is the server up and the secret right?)"
                             : " (no answer: is the server up and the secret right?)";
    }
    if (opts.input_file.empty())
        complain("%s", text.c_str());
    else
        complain("%s: %s", plan.origin.c_str(), text.c_str());
    if (is_timeout(code))
        return kTimeout;
    // A realm without a server is a configuration error found only when sending.
    return code == QNE_CONFIG || code == QNE_NOPEER ? kUsage : kFailure;
}

}  // namespace

Status status_of_response(unsigned int code)
{
    switch (code) {
    case 2:   // Access-Accept
    case 5:   // Accounting-Response
    case 41:  // Disconnect-ACK
    case 44:  // CoA-ACK
        return kPositive;
    case 3:   // Access-Reject
    case 11:  // Access-Challenge: a further round this client does not take
    case 42:  // Disconnect-NAK
    case 45:  // CoA-NAK
        return kNegative;
    default:
        return kFailure;
    }
}

Status exchange(const Options &opts, Session &session, RequestPlan &plan)
{
    qn_connection *conn = session.conn();
    qn_packet *raw = nullptr;
    if (qn_packet_create_request(conn, &raw, opts.kind->code) != 0)
        return report_failure(opts, session, plan, QNE_NOMEM);
    PacketPtr pkt(raw);
    lr_value_pair **head = nullptr;
    qn_packet_avps(pkt.get(), &head);
    qn_avp_append(head, plan.pairs.release());

    qn_request *req_raw = nullptr;
    if (qn_request_create(conn, &req_raw) != 0)
        return report_failure(opts, session, plan, QNE_NOMEM);
    RequestPtr req(req_raw);
    qn_request_add_reqpkt(req.get(), pkt.release());
    qn_packet *request = qn_request_get_reqmsg(req.get());

    qn_packet *resp_raw = nullptr;
    int rc;
    {
        StderrMute mute(true);
        if (opts.timeout) {
            struct timeval tv;
            tv.tv_sec = static_cast<time_t>(*opts.timeout);
            tv.tv_usec = static_cast<suseconds_t>(
                std::lround((*opts.timeout - std::floor(*opts.timeout)) * 1e6));
            if (tv.tv_usec >= 1000000) {
                tv.tv_sec++;
                tv.tv_usec = 0;
            }
            qn_request_set_schedule(req.get(), &tv, opts.retries + 1);
        }
        rc = qn_request_send(req.get(), &resp_raw);
    }
    PacketPtr resp(resp_raw);
    const lr_packet *sent = qn_packet_codec(request);
    const bool went_out = (sent->flags & LR_PACKET_SIGNED) &&
                          (rc == 0 || !failed_before_sending(qn_err_conn_peek_code(conn)));
    if (!opts.quiet && went_out) {
        std::printf("Sent %s Id %d length %zu\n", code_name(sent->code).c_str(), sent->id,
                    sent->length);
        if (opts.hex)
            print_hex(sent);
    }
    if (rc != 0 || !resp)
        return report_failure(opts, session, plan, rc);

    const lr_packet *got = qn_packet_codec(resp.get());
    const unsigned int code = qn_packet_code(resp.get());
    if (!opts.quiet) {
        std::printf("Received %s Id %d length %zu\n", code_name(code).c_str(), got->id,
                    got->length);
        lr_value_pair **pairs = nullptr;
        qn_packet_avps(resp.get(), &pairs);
        const qn_avp *next = nullptr;
        for (const qn_avp *vp = pairs ? *pairs : nullptr; vp; vp = next)
            std::printf("\t%s\n", render_pair(vp, &next).c_str());
        if (opts.hex)
            print_hex(got);
        std::fflush(stdout);
    }
    Status s = status_of_response(code);
    if (s == kFailure)
        complain("unexpected answer %s to %s", code_name(code).c_str(),
                 code_name(opts.kind->code).c_str());
    return s;
}

}  // namespace quelna::client
