// Packet encoding, signing, checking, verification, decoding and walking. The oracles are the
// RFC 2865 §7.1 exchange and OpenSSL's EVP MD5/HMAC, never the code under test.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "packet_test_util.h"

namespace quelna::test {
namespace {

const char *const kSecret = "xyzzy5461";
const Bytes kRequestVector = hex("0f403f9473978057bd83d5cb98f4227a");
const Bytes kRfcRequest =
    hex("01 00 00 38 0f 40 3f 94 73 97 80 57 bd 83 d5 cb 98 f4 22 7a 01 06 6e 65 6d 6f 02 12 0d be"
        "70 8d 93 d4 13 ce 31 96 e4 3f 78 2a 0a ee 04 06 c0 a8 01 10 05 06 00 00 00 03");
const Bytes kRfcAccept =
    hex("02 00 00 26 86 fe 22 0e 76 24 ba 2a 10 05 f6 bf 9b 55 e0 b2 06 06 00 00 00 01 0f 06 00 00"
        "00 00 0e 06 c0 a8 01 03");

// The RFC 2865 §7.1 Access-Request as our encoder builds it, with the RFC's authenticator.
void build_rfc_request(Packet &p)
{
    ASSERT_EQ(p.init(1, kSecret), 0);
    std::memcpy(p.pkt.vector, kRequestVector.data(), 16);
    Pairs pairs;
    pairs.str("User-Name", "nemo");
    pairs.str("User-Password", "arctangent");
    pairs.ip("NAS-IP-Address", "192.168.1.16");
    pairs.num("NAS-Port", 3);
    p.pkt.vps = std::exchange(pairs.head, nullptr);
}

TEST(PacketKnownAnswer, Rfc2865AccessRequestEncodesExactly)
{
    Packet p(kRfcRequest.size());  // no room for a Message-Authenticator
    build_rfc_request(p);
    EXPECT_EQ(lr_packet_encode(&p.pkt, nullptr), 56);
    ASSERT_EQ(lr_packet_sign(&p.pkt, nullptr), 0);
    EXPECT_EQ(to_hex(p.octets()), to_hex(kRfcRequest));
}

TEST(PacketKnownAnswer, Rfc2865AccessRequestGetsMessageAuthenticatorWhenRoomAllows)
{
    Packet p;
    build_rfc_request(p);
    EXPECT_EQ(lr_packet_encode(&p.pkt, nullptr), 56 + 18);
    ASSERT_EQ(lr_packet_sign(&p.pkt, nullptr), 0);
    Bytes out = p.octets();
    // The Message-Authenticator comes first, the RFC's attributes unchanged behind it.
    EXPECT_EQ(to_hex(Bytes(out.begin() + 4, out.begin() + 22)),
              to_hex(cat(kRequestVector, hex("50 12"))));
    EXPECT_EQ(to_hex(Bytes(out.begin() + 38, out.end())),
              to_hex(Bytes(kRfcRequest.begin() + 20, kRfcRequest.end())));
    EXPECT_EQ(out[3], 74);
    // RFC 3579 §3.2: HMAC-MD5 over the packet with the Message-Authenticator zeroed.
    Bytes zeroed = out;
    std::fill(zeroed.begin() + 22, zeroed.begin() + 38, 0);
    EXPECT_EQ(to_hex(Bytes(out.begin() + 22, out.begin() + 38)), to_hex(hmac_md5(kSecret, zeroed)));
}

// The request record the Access-Accept answers.
void rfc_request_record(Packet &req)
{
    req.receive(kRfcRequest, kSecret);
    req.pkt.code = 1;
    req.pkt.id = 0;
    std::memcpy(req.pkt.vector, kRequestVector.data(), 16);
}

TEST(PacketKnownAnswer, Rfc2865AccessAcceptVerifiesAndDecodes)
{
    Packet req, resp;
    rfc_request_record(req);
    resp.receive(kRfcAccept, kSecret);
    ASSERT_EQ(lr_packet_ok(&resp.pkt), 0);
    ASSERT_EQ(lr_packet_verify(&resp.pkt, &req.pkt), 0) << last_message();
    EXPECT_TRUE(resp.pkt.flags & LR_PACKET_VERIFIED);
    ASSERT_EQ(lr_packet_decode(&resp.pkt, &req.pkt), 0);
    EXPECT_EQ(resp.pkt.code, 2u);
    EXPECT_EQ(to_hex(resp.pkt.vector, 16), to_hex(hex("86fe220e7624ba2a1005f6bf9b55e0b2")));

    const lr_value_pair *vp = resp.pkt.vps;
    ASSERT_NE(vp, nullptr);
    EXPECT_STREQ(vp->da->name, "Service-Type");
    uint32_t n = 0;
    std::memcpy(&n, vp->value, 4);
    EXPECT_EQ(n, 1u);
    vp = vp->next;
    ASSERT_NE(vp, nullptr);
    EXPECT_STREQ(vp->da->name, "Login-Service");
    std::memcpy(&n, vp->value, 4);
    EXPECT_EQ(n, 0u);
    vp = vp->next;
    ASSERT_NE(vp, nullptr);
    EXPECT_STREQ(vp->da->name, "Login-IP-Host");
    EXPECT_EQ(to_hex(vp->value, 4), "c0 a8 01 03");
    EXPECT_EQ(vp->next, nullptr);
}

TEST(PacketKnownAnswer, Rfc2865AccessAcceptRejectedWithAnyOctetChanged)
{
    Packet req;
    rfc_request_record(req);
    for (size_t i = 0; i < kRfcAccept.size(); i++) {
        Bytes changed = kRfcAccept;
        changed[i] ^= 0x01;
        Packet resp;
        resp.receive(changed, kSecret);
        EXPECT_LT(lr_packet_verify(&resp.pkt, &req.pkt), 0) << "octet " << i;
        EXPECT_EQ(resp.octets(), changed) << "verification changed the octets";
    }
    Packet resp;
    resp.receive(kRfcAccept, "xyzzy5462");
    EXPECT_EQ(lr_packet_verify(&resp.pkt, &req.pkt), 0)
        << "the key is the original's secret, not the response's";
    Packet wrong_key;
    rfc_request_record(wrong_key);
    wrong_key.pkt.secret = "xyzzy5462";
    resp.receive(kRfcAccept, kSecret);
    EXPECT_EQ(lr_packet_verify(&resp.pkt, &wrong_key.pkt), -QNE_AUTH_VECTOR_WRONG);
    EXPECT_EQ(last_message(), "Invalid authentication vector");
}

TEST(PacketKnownAnswer, OurAccessAcceptMatchesTheRfcResponse)
{
    Packet req;
    rfc_request_record(req);
    Packet resp;
    ASSERT_EQ(resp.init(2, kSecret, &req.pkt), 0);
    Pairs pairs;
    pairs.num("Service-Type", 1);
    pairs.num("Login-Service", 0);
    pairs.ip("Login-IP-Host", "192.168.1.3");
    resp.pkt.vps = std::exchange(pairs.head, nullptr);
    ASSERT_EQ(lr_packet_sign(&resp.pkt, &req.pkt), 0);
    EXPECT_EQ(to_hex(resp.octets()), to_hex(kRfcAccept));
}

TEST(PacketEncode, EmptyAccessRequestCarriesASignedMessageAuthenticator)
{
    Packet p;
    ASSERT_EQ(p.init(1, "s3cret"), 0);
    const Bytes vector(p.pkt.vector, p.pkt.vector + 16);
    EXPECT_EQ(lr_packet_encode(&p.pkt, nullptr), 38);
    Bytes placeholder = p.octets();
    EXPECT_EQ(to_hex(Bytes(placeholder.begin() + 20, placeholder.end())),
              "50 12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    ASSERT_EQ(lr_packet_sign(&p.pkt, nullptr), 0);
    Bytes out = p.octets();
    EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 20), vector);
    EXPECT_EQ(Bytes(out.begin() + 22, out.end()), hmac_md5("s3cret", placeholder));
    EXPECT_EQ(lr_packet_verify(&p.pkt, nullptr), 0);
}

TEST(PacketEncode, SmallBufferGoesWithoutMessageAuthenticator)
{
    for (size_t size : {20u, 30u, 37u}) {
        Packet p(size);
        ASSERT_EQ(p.init(1, "s"), 0);
        EXPECT_EQ(lr_packet_encode(&p.pkt, nullptr), 20) << size;
        EXPECT_EQ(lr_packet_sign(&p.pkt, nullptr), 0);
        EXPECT_EQ(p.pkt.length, 20u);
    }
}

TEST(PacketEncode, AccountingRequestAuthenticatorIsMd5OverZeroedField)
{
    Packet p;
    ASSERT_EQ(p.init(4, "acct"), 0);
    Pairs pairs;
    pairs.str("User-Name", "bob");
    pairs.num("Acct-Status-Type", 1);
    p.pkt.vps = std::exchange(pairs.head, nullptr);
    ASSERT_EQ(lr_packet_sign(&p.pkt, nullptr), 0);
    Bytes out = p.octets();
    EXPECT_EQ(out.size(), 20u + 5 + 6) << "no Message-Authenticator is added to accounting";
    Bytes zeroed = out;
    std::fill(zeroed.begin() + 4, zeroed.begin() + 20, 0);
    EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 20), md5(cat(zeroed, text("acct"))));

    Packet rx;
    rx.receive(out, "acct");
    EXPECT_EQ(lr_packet_verify(&rx.pkt, nullptr), 0) << last_message();
    rx.receive(out, "other");
    EXPECT_EQ(lr_packet_verify(&rx.pkt, nullptr), -QNE_AUTH_VECTOR_WRONG);
}

TEST(PacketEncode, SigningTwiceChangesNothing)
{
    Packet p;
    ASSERT_EQ(p.init(12, "s"), 0);
    ASSERT_EQ(lr_packet_sign(&p.pkt, nullptr), 0);
    const Bytes first = p.octets();
    EXPECT_EQ(lr_packet_sign(&p.pkt, nullptr), 0);
    EXPECT_EQ(p.octets(), first);
    EXPECT_EQ(first.size(), 38u) << "Status-Server is signed with a Message-Authenticator";
    EXPECT_EQ(first[20], 80);
}

TEST(PacketEncode, CodeAndOriginalChecks)
{
    struct Case {
        int code;
        int original_code;  // 0: no original
        int result;
        const char *message;
    } cases[] = {
        {2, 0, -QNE_REQUEST_REQUIRED, "Cannot encode response 2 without original"},
        {2, 4, -QNE_INVALID_RESP_CODE, "Cannot encode response 2 to packet 4"},
        {5, 1, -QNE_INVALID_RESP_CODE, "Cannot encode response 5 to packet 1"},
        {6, 0, -QNE_INVALID_REQ_CODE, "Cannot handle packet code 6"},
        {0, 0, -QNE_INVALID_REQ_CODE, "Cannot send unknown packet code"},
    };
    for (const Case &c : cases) {
        Packet orig, p;
        if (c.original_code)
            orig.pkt.code = static_cast<unsigned>(c.original_code);
        lr_strerror_printf("-");
        EXPECT_EQ(p.init(c.code, "s", c.original_code ? &orig.pkt : nullptr), c.result) << c.code;
        EXPECT_EQ(last_message(), c.message);
        EXPECT_FALSE(p.pkt.flags & LR_PACKET_HEADER);
    }
    Packet p;
    EXPECT_EQ(p.init(46, "s"), -QNE_INVALID_REQ_CODE);
    EXPECT_EQ(lr_packet_init(&p.pkt, nullptr, "s", 1, p.buf.data(), 19), -QNE_INVAL);
    EXPECT_EQ(lr_packet_init(&p.pkt, nullptr, "s", 1, nullptr, 100), -QNE_INVAL);

    Packet req, resp;
    req.pkt.code = 1;
    req.pkt.id = 77;
    ASSERT_EQ(resp.init(3, "s", &req.pkt), 0);
    EXPECT_EQ(resp.pkt.id, 77);
    EXPECT_EQ(resp.buf[1], 77);
    Packet no_orig;
    ASSERT_EQ(no_orig.init(1, "s"), 0);
    no_orig.pkt.code = 2;  // a response built without its request cannot be signed
    no_orig.pkt.flags |= LR_PACKET_ENCODED;
    EXPECT_EQ(lr_packet_sign(&no_orig.pkt, nullptr), -QNE_REQUEST_REQUIRED);
    EXPECT_EQ(last_message(), "Original packet is required to create the  Message-Authenticator");
}

// A skipped pair (an empty value) must not take the pairs after it down with it.
TEST(PacketEncode, EmptyValueDoesNotDropLaterPairs)
{
    Packet p;
    ASSERT_EQ(p.init(1, "s"), 0);
    Pairs pairs;
    pairs.str("User-Name", "bob");
    pairs.add("Filter-Id", {});
    pairs.str("User-Password", "pw");
    p.pkt.vps = std::exchange(pairs.head, nullptr);
    ASSERT_EQ(lr_packet_encode(&p.pkt, nullptr), 20 + 18 + 5 + 18);
    EXPECT_EQ(p.buf[20], 80);
    EXPECT_EQ(p.buf[43], 2) << "User-Password follows User-Name";
}

TEST(PacketEncode, UserPasswordWithoutRoomIsAnError)
{
    Packet p(20 + 10);
    ASSERT_EQ(p.init(1, "s"), 0);
    Pairs pairs;
    pairs.str("User-Password", "pw");
    p.pkt.vps = std::exchange(pairs.head, nullptr);
    EXPECT_EQ(lr_packet_encode(&p.pkt, nullptr), -QNE_INVAL);
    EXPECT_FALSE(p.pkt.flags & LR_PACKET_ENCODED);
}

TEST(PacketAppend, EapMessageIsSplitAndOtherValuesAreBounded)
{
    const lr_dict_attr *eap = lr_dict_attr_byvalue(79, 0);
    ASSERT_NE(eap, nullptr);
    for (auto [len, lengths] : std::vector<std::pair<size_t, std::vector<int>>>{
             {600, {255, 255, 96}}, {506, {255, 255}}, {253, {255}}}) {
        Packet p;
        ASSERT_EQ(p.init(1, "s"), 0);
        const Bytes value(len, 0xab);
        EXPECT_EQ(lr_packet_attr_append(&p.pkt, nullptr, eap, value.data(), len),
                  len > 253 ? 0 : 255);
        size_t pos = 20;
        for (int l : lengths) {
            EXPECT_EQ(p.buf[pos], 79);
            EXPECT_EQ(p.buf[pos + 1], l);
            pos += static_cast<size_t>(l);
        }
        EXPECT_EQ(p.pkt.length, pos);
        ASSERT_EQ(lr_packet_sign(&p.pkt, nullptr), 0);
        EXPECT_EQ(lr_packet_ok_raw(p.buf.data(), p.pkt.length), 0);
        EXPECT_EQ(p.buf[20], 80) << "signing puts a Message-Authenticator first";
        EXPECT_EQ(p.buf[38], 79);
        Packet rx;
        rx.receive(p.octets(), "s");
        EXPECT_EQ(lr_packet_verify(&rx.pkt, nullptr), 0) << last_message();
    }
    Packet p;
    ASSERT_EQ(p.init(1, "s"), 0);
    const Bytes big(254, 'x');
    EXPECT_EQ(lr_packet_attr_append(&p.pkt, nullptr, lr_dict_attr_byname("User-Name"), big.data(),
                                    big.size()),
              -QNE_ATTR_TOO_LARGE);
    const uint8_t three[3] = {1, 2, 3};
    EXPECT_EQ(lr_packet_attr_append(&p.pkt, nullptr, lr_dict_attr_byname("NAS-Port"), three, 3),
              -QNE_ATTR_VALUE_MALFORMED);
    EXPECT_EQ(lr_packet_attr_append(&p.pkt, nullptr, lr_dict_attr_byname("NAS-Port"), three, 0),
              -QNE_ATTR_TOO_SMALL);
    EXPECT_EQ(lr_packet_attr_append(&p.pkt, nullptr, lr_dict_attr_byname("User-Name"), "alice", 0),
              7);

    Packet small(20 + 100);
    ASSERT_EQ(small.init(1, "s"), 0);
    const Bytes eap_value(200, 1);
    EXPECT_EQ(lr_packet_attr_append(&small.pkt, nullptr, eap, big.data(), 99), -QNE_ATTR_OVERFLOW);
    EXPECT_EQ(small.pkt.length, 20u);
    Packet with_pairs;
    ASSERT_EQ(with_pairs.init(1, "s"), 0);
    Pairs pairs;
    pairs.str("User-Name", "x");
    with_pairs.pkt.vps = std::exchange(pairs.head, nullptr);
    EXPECT_EQ(lr_packet_attr_append(&with_pairs.pkt, nullptr, eap, eap_value.data(), 10),
              -QNE_INVAL);
}

TEST(PacketOk, StructuralChecks)
{
    struct Case {
        const char *octets;
        size_t received;  // 0: all
        int result;
        const char *message;
    } cases[] = {
        {"01 00 00 14 00000000000000000000000000000000", 0, 0, nullptr},
        {"01 00 00 14 00000000000000000000000000000000 ffff", 0, 0, nullptr},
        {"01 00 00 14 000000000000000000000000000000", 0, -QNE_INVAL, "Invalid argument"},
        {"01 00 00 13 00000000000000000000000000000000", 0, -QNE_PACKET_TOO_SMALL,
         "Packet length is too small"},
        {"01 00 00 15 00000000000000000000000000000000", 0, -QNE_PACKET_TOO_LARGE,
         "Packet length overflows received data"},
        {"01 00 00 16 00000000000000000000000000000000 0101", 0, -QNE_ATTR_TOO_SMALL,
         "Attribute length is too small"},
        {"01 00 00 17 00000000000000000000000000000000 0104 00", 0, -QNE_ATTR_TOO_LARGE,
         "Attribute length is too large"},
        {"01 00 00 17 00000000000000000000000000000000 0102 01", 0, -QNE_ATTR_OVERFLOW,
         "Attribute overflows packet"},
        {"01 00 00 18 00000000000000000000000000000000 01 04 aa bb", 0, 0, nullptr},
    };
    for (const Case &c : cases) {
        const Bytes b = hex(c.octets);
        lr_strerror_printf("-");
        EXPECT_EQ(lr_packet_ok_raw(b.data(), c.received ? c.received : b.size()), c.result)
            << c.octets;
        if (c.message) {
            EXPECT_EQ(last_message(), c.message) << c.octets;
        }
    }
    EXPECT_EQ(lr_packet_ok(nullptr), -QNE_INVAL);
}

// A signed response of code `code` answering `req`, built by hand from the RFC rules.
Bytes signed_response(uint8_t code, uint8_t id, const Bytes &req_vector, const Bytes &attrs,
                      const char *secret, bool with_ma, const Bytes &ma_vector)
{
    Bytes p = {code, id, 0, 0};
    p.insert(p.end(), req_vector.begin(), req_vector.end());
    p.insert(p.end(), attrs.begin(), attrs.end());
    size_t ma = 0;
    if (with_ma) {
        ma = p.size();
        p.push_back(80);
        p.push_back(18);
        p.resize(p.size() + 16, 0);
    }
    p[2] = static_cast<uint8_t>(p.size() >> 8);
    p[3] = static_cast<uint8_t>(p.size());
    if (with_ma) {
        Bytes m = p;
        std::copy(ma_vector.begin(), ma_vector.end(), m.begin() + 4);
        Bytes h = hmac_md5(secret, m);
        std::copy(h.begin(), h.end(), p.begin() + static_cast<long>(ma) + 2);
    }
    Bytes a = md5(cat(p, text(secret)));
    std::copy(a.begin(), a.end(), p.begin() + 4);
    return p;
}

TEST(PacketVerify, ResponseChecksInOrder)
{
    Packet req;
    ASSERT_EQ(req.init(1, "sec"), 0);
    req.pkt.id = 9;
    const Bytes rv(req.pkt.vector, req.pkt.vector + 16);
    const Bytes good = signed_response(2, 9, rv, hex("12 05 68 69 21"), "sec", true, rv);

    Packet resp;
    resp.receive(good, "sec");
    EXPECT_EQ(lr_packet_verify(&resp.pkt, &req.pkt), 0) << last_message();
    // Octets added after the Length on the path are covered by neither signature.
    resp.receive(cat(good, hex("00 01 02 03")), "sec");
    EXPECT_EQ(lr_packet_verify(&resp.pkt, &req.pkt), 0) << last_message();

    struct Case {
        Bytes octets;
        int result;
        std::string message;
    } cases[] = {
        {signed_response(2, 8, rv, {}, "sec", true, rv), -QNE_INVALID_RESP_ID,
         "Ignoring response with wrong ID 8"},
        {signed_response(66, 9, rv, {}, "sec", true, rv), -QNE_INVALID_RESP_CODE,
         "Ignoring response with wrong code 66"},
        {signed_response(5, 9, rv, {}, "sec", false, rv), -QNE_INVALID_RESP_CODE,
         "Ignoring response with wrong code 5"},
        {signed_response(2, 9, rv, {}, "bad", true, rv), -QNE_MSG_AUTH_WRONG,
         "Invalid Message-Authenticator"},
        {signed_response(2, 9, rv, hex("50 11 000000000000000000000000000000"), "sec", false, rv),
         -QNE_MSG_AUTH_LEN, "Message-Authenticator has invalid length"},
        {signed_response(3, 9, Bytes(16, 0), {}, "sec", false, rv), -QNE_AUTH_VECTOR_WRONG,
         "Invalid authentication vector"},
    };
    for (const Case &c : cases) {
        resp.receive(c.octets, "sec");
        lr_strerror_printf("-");
        EXPECT_EQ(lr_packet_verify(&resp.pkt, &req.pkt), c.result) << c.message;
        EXPECT_EQ(last_message(), c.message);
        EXPECT_EQ(resp.octets(), c.octets) << "octets changed by a failed verification";
        EXPECT_FALSE(resp.pkt.flags & LR_PACKET_VERIFIED);
    }

    // The source must be the address the request went to.
    auto *dst = reinterpret_cast<sockaddr_in *>(&req.pkt.dst);
    dst->sin_family = AF_INET;
    dst->sin_port = htons(1812);
    inet_pton(AF_INET, "127.0.0.1", &dst->sin_addr);
    resp.receive(good, "sec");
    auto *src = reinterpret_cast<sockaddr_in *>(&resp.pkt.src);
    *src = *dst;
    src->sin_port = htons(1813);
    EXPECT_EQ(lr_packet_verify(&resp.pkt, &req.pkt), -QNE_INVALID_RESP_SRC);
    EXPECT_EQ(last_message(), "Ignoring response from wrong IP/port");
    src->sin_port = htons(1812);
    EXPECT_EQ(lr_packet_verify(&resp.pkt, &req.pkt), 0);

    resp.receive(good, nullptr);
    EXPECT_EQ(lr_packet_verify(&resp.pkt, &req.pkt), -QNE_INVAL);
    EXPECT_EQ(last_message(), "Invalid argument");
}

TEST(PacketVerify, WithoutOriginalOnlyRequestsPass)
{
    Packet p;
    ASSERT_EQ(p.init(1, "s"), 0);
    ASSERT_EQ(lr_packet_sign(&p.pkt, nullptr), 0);
    Packet rx;
    Bytes request = p.octets();
    request[5] ^= 0xff;  // a request's random authenticator is never checked...
    rx.receive(request, "s");
    EXPECT_EQ(lr_packet_verify(&rx.pkt, nullptr), -QNE_MSG_AUTH_WRONG)
        << "...but its Message-Authenticator covers it";
    rx.receive(p.octets(), "s");
    EXPECT_EQ(lr_packet_verify(&rx.pkt, nullptr), 0);

    rx.receive(kRfcAccept, kSecret);
    EXPECT_EQ(lr_packet_verify(&rx.pkt, nullptr), -QNE_INVALID_RESP_CODE);
    EXPECT_EQ(last_message(), "Ignoring response without original");
}

TEST(PacketVerify, AccountingAndCoaResponsesFromOurOwnSigner)
{
    for (auto [req_code, resp_code] : std::vector<std::pair<int, int>>{
             {4, 5}, {40, 41}, {40, 42}, {43, 44}, {43, 45}, {12, 2}}) {
        Packet req;
        ASSERT_EQ(req.init(req_code, "k"), 0);
        ASSERT_EQ(lr_packet_sign(&req.pkt, nullptr), 0);
        Packet resp;
        ASSERT_EQ(resp.init(resp_code, "k", &req.pkt), 0);
        Pairs pairs;
        pairs.add(lr_dict_attr_byvalue(80, 0), Bytes(16, 0));
        resp.pkt.vps = std::exchange(pairs.head, nullptr);
        ASSERT_EQ(lr_packet_sign(&resp.pkt, &req.pkt), 0);
        Packet rx;
        rx.receive(resp.octets(), "k");
        EXPECT_EQ(lr_packet_verify(&rx.pkt, &req.pkt), 0) << resp_code << ": " << last_message();
    }
}

TEST(PacketDecode, AttributeLimit)
{
    for (int n : {200, 201}) {
        Bytes p = hex("02 01 00 00 00000000000000000000000000000000");
        for (int i = 0; i < n; i++) {
            p.push_back(18);
            p.push_back(3);
            p.push_back('a');
        }
        p[2] = static_cast<uint8_t>(p.size() >> 8);
        p[3] = static_cast<uint8_t>(p.size());
        Packet rx;
        rx.receive(p, "s");
        if (n == 200) {
            EXPECT_EQ(lr_packet_decode(&rx.pkt, nullptr), 0);
            int count = 0;
            for (const lr_value_pair *vp = rx.pkt.vps; vp; vp = vp->next)
                count++;
            EXPECT_EQ(count, 200);
            EXPECT_EQ(rx.pkt.id, 1);
        } else {
            EXPECT_EQ(lr_packet_decode(&rx.pkt, nullptr), -QNE_TOO_MANY_ATTRS);
            EXPECT_EQ(last_message(), "Too many attributes");
            EXPECT_EQ(rx.pkt.vps, nullptr);
        }
    }
    // Vendor sub-attributes count too: 67 Vendor-Specific attributes of three give 201 pairs.
    Bytes p = hex("02 01 04 01 00000000000000000000000000000000");
    for (int i = 0; i < 67; i++)
        p = cat(p, hex("1a 0f 00 00 01 37 0a 03 61 0a 03 62 0a 03 63"));
    Packet rx;
    rx.receive(p, "s");
    EXPECT_EQ(lr_packet_decode(&rx.pkt, nullptr), -QNE_TOO_MANY_ATTRS);
}

TEST(PacketDecode, FailureLeavesNoPairs)
{
    // User-Name, a Microsoft Vendor-Specific of three sub-attributes, Reply-Message; then one
    // whose sub-attribute is empty. Without that, five pairs in order.
    const Bytes ok = hex("02 01 00 31 00000000000000000000000000000000 01 05 62 6f 62"
                         "1a 15 00 00 01 37 07 06 00 00 00 02 08 06 00 00 00 06 0a 03 61 12 03 78");
    Packet rx;
    rx.receive(cat(ok, hex("1a 08 00 00 01 37 0a 02")), "s");
    rx.buf[3] = 0x39;
    EXPECT_EQ(lr_packet_decode(&rx.pkt, nullptr), -QNE_PACKET_TOO_SMALL);
    EXPECT_EQ(rx.pkt.vps, nullptr);
    rx.receive(ok, "s");
    ASSERT_EQ(lr_packet_decode(&rx.pkt, nullptr), 0) << last_message();
    std::string names;
    for (const lr_value_pair *vp = rx.pkt.vps; vp; vp = vp->next)
        names += vp->da->name + std::string(" ");
    EXPECT_EQ(names, "User-Name MS-MPPE-Encryption-Policy MS-MPPE-Encryption-Types "
                     "MS-CHAP-Domain Reply-Message ");
}

struct Seen {
    unsigned attr, vendor;
    std::string value;
};

int collect(void *ctx, const lr_dict_attr *da, const uint8_t *data, size_t len)
{
    static_cast<std::vector<Seen> *>(ctx)->push_back({da->attr, da->vendor, to_hex(data, len)});
    return 5;  // positive results let the walk go on
}

TEST(PacketWalk, AttributesAndVendorSubAttributes)
{
    Packet rx;
    // User-Name "ab"; unknown vendor 4242 with two sub-attributes; vendor 4242 whose run is
    // malformed (sub-attribute number 0); USR (4-octet type, no length) number 0x019823.
    rx.receive(hex("02 01 00 00 00000000000000000000000000000000 01 04 61 62"
                   "1a 0d 00 00 10 92 07 03 aa 08 04 bb cc"
                   "1a 09 00 00 10 92 00 03 aa"
                   "1a 0e 00 00 01 ad 00 01 98 23 00 00 00 05"),
               "s");
    rx.buf[3] = static_cast<uint8_t>(rx.buf.size());
    std::vector<Seen> seen;
    lr_strerror_printf("-");
    ASSERT_EQ(lr_packet_walk(&rx.pkt, &seen, collect), 0);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].attr, 1u);
    EXPECT_EQ(seen[0].value, "61 62");
    EXPECT_EQ(seen[1].attr, 7u);
    EXPECT_EQ(seen[1].vendor, 4242u);
    EXPECT_EQ(seen[1].value, "aa");
    EXPECT_EQ(seen[2].attr, 8u);
    EXPECT_EQ(seen[2].value, "bb cc");
    EXPECT_EQ(seen[3].attr, 26u);
    EXPECT_EQ(seen[3].vendor, 0u);
    EXPECT_EQ(seen[3].value, "00 00 10 92 00 03 aa");
    EXPECT_EQ(last_message(), "Invalid attribute 0");
    EXPECT_EQ(seen[4].vendor, 429u);
    EXPECT_EQ(seen[4].attr, 0x019823u) << "all 24 bits of a 4-octet vendor type field";
    EXPECT_EQ(seen[4].value, "00 00 00 05");

    auto stop = [](void *ctx, const lr_dict_attr *, const uint8_t *, size_t) {
        ++*static_cast<int *>(ctx);
        return -1;
    };
    int calls = 0;
    EXPECT_EQ(lr_packet_walk(&rx.pkt, &calls, stop), -1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(lr_packet_walk(&rx.pkt, nullptr, nullptr), -QNE_INVAL);
}

TEST(PacketTables, CodeNamesAndResponses)
{
    EXPECT_STREQ(lr_packet_codes[1], "Access-Request");
    EXPECT_STREQ(lr_packet_codes[12], "Status-Server");
    EXPECT_STREQ(lr_packet_codes[13], "");
    EXPECT_STREQ(lr_packet_codes[39], "");
    EXPECT_STREQ(lr_packet_codes[40], "Disconnect-Request");
    EXPECT_STREQ(lr_packet_codes[45], "CoA-NAK");
    for (int c = 0; c <= LR_MAX_PACKET_CODE; c++)
        EXPECT_NE(lr_packet_codes[c], nullptr) << c;
}

}  // namespace
}  // namespace quelna::test

namespace quelna::test {
namespace {

// Fuzzer finding: a received packet with two (malformed) Message-Authenticators decodes into two
// pairs; encoding that list again must still give a packet that verifies: one placeholder.
TEST(PacketRegression, SecondMessageAuthenticatorIsNotEncoded)
{
    Packet rx;
    rx.receive(hex("0103002b22222222222a2222feddddddddddddd80105626f62500909092bd2000000500909"
                   "090909090909"),
               "s");
    ASSERT_EQ(lr_packet_decode(&rx.pkt, nullptr), 0);
    ASSERT_NE(rx.pkt.vps, nullptr);
    ASSERT_NE(rx.pkt.vps->next, nullptr);
    EXPECT_STREQ(rx.pkt.vps->next->da->name, "Message-Authenticator");
    EXPECT_NE(rx.pkt.vps->next->next, nullptr) << "both decoded";

    Packet again;
    ASSERT_EQ(again.init(1, "s"), 0);
    again.pkt.vps = std::exchange(rx.pkt.vps, nullptr);
    ASSERT_EQ(lr_packet_sign(&again.pkt, nullptr), 0);
    EXPECT_EQ(again.pkt.length, 20u + 5 + 18) << "one 18-octet Message-Authenticator";
    EXPECT_EQ(again.buf[20], 80) << "in first place";
    Packet check;
    check.receive(again.octets(), "s");
    EXPECT_EQ(lr_packet_verify(&check.pkt, nullptr), 0) << last_message();
}

}  // namespace
}  // namespace quelna::test

namespace quelna::test {
namespace {

// Octets received after the header's length are not part of the packet: they are neither
// hashed nor read as attributes.
TEST(PacketVerify, OctetsAfterTheHeaderLengthAreIgnored)
{
    Packet req;
    rfc_request_record(req);
    Packet resp;
    resp.receive(cat(kRfcAccept, hex("01 ff 00")), kSecret);
    EXPECT_EQ(lr_packet_verify(&resp.pkt, &req.pkt), 0) << last_message();
    ASSERT_EQ(lr_packet_decode(&resp.pkt, &req.pkt), 0);
    int count = 0;
    for (const lr_value_pair *vp = resp.pkt.vps; vp; vp = vp->next)
        count++;
    EXPECT_EQ(count, 3);
}

}  // namespace
}  // namespace quelna::test
