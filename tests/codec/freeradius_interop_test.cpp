// The codec against code no one here wrote: packets built by our encoder and signer go to a
// loopback FreeRADIUS over a plain UDP socket, and its answers must pass our verifier and
// decode into the attributes its configuration promises. This checks our User-Password and
// Tunnel-Password hiding, CHAP, Message-Authenticator and authenticators both ways.
#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "packet_test_util.h"
#include "support/radius_peer.h"
#include "support/udp_exchange.h"

namespace quelna::test {
namespace {

using namespace std::chrono_literals;

struct FreeRadiusCodec : ::testing::Test {
    RadiusPeer *peer = nullptr;
    void SetUp() override
    {
        std::string why;
        peer = RadiusPeer::shared(&why);
        ASSERT_NE(peer, nullptr) << why;
    }

    // Encodes and signs `req` (already initialised, pairs attached), sends it to the listener
    // and sets `resp` up with the answer. False when nothing came back.
    bool exchange(Packet &req, Listener to, Packet &resp)
    {
        EXPECT_GT(lr_packet_encode(&req.pkt, nullptr), 0) << last_message();
        EXPECT_EQ(lr_packet_sign(&req.pkt, nullptr), 0) << last_message();
        const Bytes octets = req.octets();
        std::string why;
        const std::optional<Bytes> answer =
            udp_exchange("127.0.0.1", peer->port(to), octets, 3000ms, &why);
        if (!answer) {
            ADD_FAILURE() << why << "\n" << peer->log_tail();
            return false;
        }
        resp.receive(*answer, peer->secret().c_str());
        return true;
    }

    // Sends `req`, verifies and decodes the answer against it; returns its code (0 on failure).
    unsigned round_trip(Packet &req, Listener to, Packet &resp)
    {
        if (!exchange(req, to, resp))
            return 0;
        const int v = lr_packet_verify(&resp.pkt, &req.pkt);
        EXPECT_EQ(v, 0) << last_message();
        const int d = lr_packet_decode(&resp.pkt, &req.pkt);
        EXPECT_EQ(d, 0) << last_message();
        return v == 0 && d == 0 ? resp.pkt.code : 0;
    }

    void access_request(Packet &req, const char *user, const char *attr, const Bytes &secret)
    {
        ASSERT_EQ(req.init(1, peer->secret().c_str()), 0);
        Pairs pairs;
        pairs.str("User-Name", user);
        pairs.add(attr, secret);
        pairs.ip("NAS-IP-Address", "127.0.0.1");
        pairs.num("NAS-Port", 7);
        req.pkt.vps = std::exchange(pairs.head, nullptr);
    }
};

std::string string_of(const lr_value_pair *list, const char *name)
{
    for (const lr_value_pair *vp = list; vp; vp = vp->next)
        if (std::strcmp(vp->da->name, name) == 0)
            return std::string(reinterpret_cast<const char *>(vp->value), vp->length);
    return "<absent " + std::string(name) + ">";
}

const lr_value_pair *find(const lr_value_pair *list, const char *name)
{
    for (const lr_value_pair *vp = list; vp; vp = vp->next)
        if (std::strcmp(vp->da->name, name) == 0)
            return vp;
    return nullptr;
}

uint32_t number_of(const lr_value_pair *vp)
{
    uint32_t n = 0;
    if (vp)
        std::memcpy(&n, vp->value, 4);
    return n;
}

TEST_F(FreeRadiusCodec, UserPasswordRightAndWrong)
{
    Packet req, resp;
    access_request(req, "bob", "User-Password", text("hello"));
    EXPECT_EQ(round_trip(req, Listener::AuthUdp, resp), 2u);
    EXPECT_EQ(string_of(resp.pkt.vps, "Reply-Message"), "Hello, bob");

    Packet req2, resp2;
    access_request(req2, "bob", "User-Password", text("hello-but-longer-than-one-block"));
    EXPECT_EQ(round_trip(req2, Listener::AuthUdp, resp2), 3u);
}

TEST_F(FreeRadiusCodec, SignedReplyCarriesAValidMessageAuthenticator)
{
    Packet req, resp;
    access_request(req, "signer", "User-Password", text("signpw"));
    ASSERT_TRUE(exchange(req, Listener::AuthUdp, resp));
    const Bytes answer = resp.octets();
    EXPECT_EQ(lr_packet_verify(&resp.pkt, &req.pkt), 0) << last_message();
    ASSERT_EQ(lr_packet_decode(&resp.pkt, &req.pkt), 0);
    EXPECT_EQ(resp.pkt.code, 2u);
    EXPECT_EQ(string_of(resp.pkt.vps, "Reply-Message"), "Signed reply for signer");
    ASSERT_NE(find(resp.pkt.vps, "Message-Authenticator"), nullptr);

    // Its Message-Authenticator is checked, not just present.
    const uint8_t *ma = nullptr;
    size_t ma_len = 0;
    Packet copy;
    copy.receive(answer, peer->secret().c_str());
    const ssize_t off = lr_attr2data(&copy.pkt, 0, 80, 0, &ma, &ma_len);
    ASSERT_GT(off, 0);
    Bytes tampered = answer;
    tampered[static_cast<size_t>(off) + 2] ^= 0x80;
    copy.receive(tampered, peer->secret().c_str());
    EXPECT_EQ(lr_packet_verify(&copy.pkt, &req.pkt), -QNE_MSG_AUTH_WRONG);
}

TEST_F(FreeRadiusCodec, ClearTextChapPassword)
{
    Packet req, resp;
    access_request(req, "bob", "CHAP-Password", text("hello"));
    EXPECT_EQ(round_trip(req, Listener::AuthUdp, resp), 2u);
    EXPECT_EQ(string_of(resp.pkt.vps, "Reply-Message"), "Hello, bob");

    Packet req2, resp2;  // with an explicit challenge
    access_request(req2, "bob", "CHAP-Password", text("hello"));
    Pairs challenge;
    challenge.add("CHAP-Challenge", hex("00112233445566778899aabbccddeeff0102"));
    lr_vps_append(&req2.pkt.vps, std::exchange(challenge.head, nullptr));
    EXPECT_EQ(round_trip(req2, Listener::AuthUdp, resp2), 2u);

    Packet req3, resp3;
    access_request(req3, "bob", "CHAP-Password", text("nope"));
    EXPECT_EQ(round_trip(req3, Listener::AuthUdp, resp3), 3u);
}

TEST_F(FreeRadiusCodec, VendorSpecificAndTunnelAttributes)
{
    Packet req, resp;
    access_request(req, "rich", "User-Password", text("richpw"));
    Pairs vsa;
    vsa.num("MS-RAS-Vendor", 311);
    vsa.str("SN-VPN-Name", "quelna");
    lr_vps_append(&req.pkt.vps, std::exchange(vsa.head, nullptr));
    ASSERT_EQ(round_trip(req, Listener::AuthUdp, resp), 2u);
    const lr_value_pair *list = resp.pkt.vps;
    EXPECT_EQ(string_of(list, "Reply-Message"), "Rich reply");
    EXPECT_EQ(number_of(find(list, "Session-Timeout")), 3600u);
    EXPECT_EQ(to_hex(text(string_of(list, "Class"))), "71 75 6c 6e 61");  // as configured
    const lr_value_pair *ip = find(list, "Framed-IP-Address");
    ASSERT_NE(ip, nullptr);
    EXPECT_EQ(to_hex(ip->value, 4), "c0 00 02 0a");
    const lr_value_pair *type = find(list, "Tunnel-Type");
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->tag, 1);
    EXPECT_EQ(number_of(type), 13u);
    const lr_value_pair *pw = find(list, "Tunnel-Password");
    ASSERT_NE(pw, nullptr) << "revealed with the request's authenticator";
    EXPECT_EQ(pw->tag, 1);
    EXPECT_EQ(string_of(list, "Tunnel-Password"), "tunnel-secret");
    EXPECT_EQ(string_of(list, "Tunnel-Private-Group-Id"), "42");
}

TEST_F(FreeRadiusCodec, AccountingRequest)
{
    Packet req, resp;
    ASSERT_EQ(req.init(4, peer->secret().c_str()), 0);
    Pairs pairs;
    pairs.str("User-Name", "bob");
    pairs.num("Acct-Status-Type", 1);
    pairs.str("Acct-Session-Id", "quelna-0001");
    pairs.ip("NAS-IP-Address", "127.0.0.1");
    req.pkt.vps = std::exchange(pairs.head, nullptr);
    EXPECT_EQ(round_trip(req, Listener::AcctUdp, resp), 5u);
}

TEST_F(FreeRadiusCodec, StatusServer)
{
    Packet req, resp;
    ASSERT_EQ(req.init(12, peer->secret().c_str()), 0);
    EXPECT_EQ(round_trip(req, Listener::AuthUdp, resp), 2u);
}

}  // namespace
}  // namespace quelna::test
