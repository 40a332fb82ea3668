// Library packets: creation, attributes, the output queue.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>

#include "net.h"
#include "net_util.h"

namespace {

struct Packet : quelna::test::BlankConnection {
    std::string pop() { return quelna::test::pop_message(conn); }
};

TEST_F(Packet, NewPacketAndItsIdentifier)
{
    qn_packet *p = nullptr;
    ASSERT_EQ(qn_packet_create(conn, &p), 0);
    EXPECT_EQ(qn_packet_code(p), 1u);
    lr_value_pair **vps = nullptr;
    qn_packet_avps(p, &vps);
    EXPECT_EQ(*vps, nullptr);
    EXPECT_EQ(p->rpkt->data_size, static_cast<size_t>(QN_MAX_PACKET_LEN));
    EXPECT_EQ(p->flags, 0u);
    EXPECT_EQ(qn_packet_set_id(p, 7), 0);
    EXPECT_EQ(qn_packet_set_id(p, 9), 7);
    qn_packet_destroy(p);
}

TEST_F(Packet, AccessRequestWithNameAndPassword)
{
    qn_packet *p = nullptr;
    ASSERT_EQ(qn_packet_create_authn_request(conn, &p, nullptr, nullptr), 0);
    lr_value_pair **vps = nullptr;
    qn_packet_avps(p, &vps);
    EXPECT_EQ(*vps, nullptr);
    qn_packet_destroy(p);

    ASSERT_EQ(qn_packet_create_authn_request(conn, &p, "nemo", "arctangent"), 0);
    qn_packet_avps(p, &vps);
    ASSERT_NE(*vps, nullptr);
    EXPECT_EQ((*vps)->da->attr, 1u);
    ASSERT_NE((*vps)->next, nullptr);
    EXPECT_EQ((*vps)->next->da->attr, 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>((*vps)->next->value), (*vps)->next->length),
              "arctangent");  // in clear until encoded
    qn_packet_destroy(p);
}

TEST_F(Packet, AttributeRefusals)
{
    qn_packet *p = nullptr;
    ASSERT_EQ(qn_packet_create(conn, &p), 0);
    EXPECT_EQ(qn_packet_add_avp(p, 255, 0, "x", 1), QNE_ATTR_TYPE_UNKNOWN);
    EXPECT_EQ(pop(), "attribute 255 of vendor 0 is not in the dictionary");
    lr_value_pair **vps = nullptr;
    qn_packet_avps(p, &vps);
    EXPECT_EQ(*vps, nullptr);

    // A fixed-size value of another length is refused, not read past its end or in part.
    const uint8_t eight[8] = {};
    const std::tuple<unsigned int, unsigned int, const char *> wrong[] = {
        {5, 1, "NAS-Port: 1 octets"},
        {5, 8, "NAS-Port: 8 octets"},
        {4, 3, "NAS-IP-Address: 3 octets"},
        {96, 4, "Framed-Interface-Id: 4 octets"}};
    for (auto [attr, len, text] : wrong) {
        EXPECT_EQ(qn_packet_add_avp(p, attr, 0, eight, len), QNE_ATTR_VALUE_MALFORMED) << attr;
        EXPECT_EQ(pop(), std::string(text) + " are not a value of its type");
    }
    EXPECT_EQ(qn_packet_add_avp(p, 2, 0, "", 0), QNE_INVAL);
    EXPECT_EQ(pop(), "User-Password: an empty value cannot be sent");
    EXPECT_EQ(*vps, nullptr);

    std::string long_name(300, 'n');
    ASSERT_EQ(qn_packet_add_avp(p, 1, 0, long_name.data(), long_name.size()), 0);
    EXPECT_EQ(qn_packet_find_avp(p, 1, 0)->length, 253u);

    // Wire-form appending does not mix with a pair list.
    EXPECT_EQ(qn_packet_append_avp(p, 18, 0, "x", 1), QNE_INVAL);
    EXPECT_EQ(pop(), "qn_packet_append_avp");
    EXPECT_EQ(qn_packet_append_avp(p, 255, 0, "x", 1), QNE_ATTR_TYPE_UNKNOWN);
    EXPECT_EQ(pop(), "qn_packet_append_avp");
    qn_packet_destroy(p);

    ASSERT_EQ(qn_packet_create(conn, &p), 0);
    EXPECT_EQ(qn_packet_append_avp(p, 18, 0, "hello", 5), 0);
    EXPECT_EQ(p->rpkt->length, 27u);
    qn_packet_destroy(p);

    EXPECT_EQ(qn_packet_create_request(conn, &p, 2), QNE_INVALID_REQ_CODE);
    EXPECT_EQ(p, nullptr);
    for (unsigned int code : {1u, 4u, 12u, 40u, 43u}) {
        ASSERT_EQ(qn_packet_create_request(conn, &p, code), 0) << code;
        EXPECT_EQ(qn_packet_code(p), code);
        qn_packet_destroy(p);
    }
}

TEST_F(Packet, OutputQueueNeverLoopsAndForgetsDestroyedPackets)
{
    qn_peer *peer = nullptr;
    ASSERT_EQ(qn_peer_create(conn, &peer), 0);
    ASSERT_EQ(qn_peer_set_secret(peer, "s"), 0);
    conn->active_peer = peer;

    qn_packet *a = nullptr, *b = nullptr;
    ASSERT_EQ(qn_packet_create(conn, &a), 0);
    ASSERT_EQ(qn_packet_create(conn, &b), 0);
    ASSERT_EQ(packet_do_send(a), 0);
    ASSERT_EQ(packet_do_send(b), 0);
    ASSERT_EQ(packet_do_send(a), 0);  // already waiting: keeps its place
    ASSERT_EQ(packet_do_send(b), 0);
    EXPECT_EQ(conn->out_queue, a);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(b->next, nullptr);

    qn_packet_destroy(a);  // unlinks itself
    EXPECT_EQ(conn->out_queue, b);
    qn_packet_destroy(b);
    EXPECT_EQ(conn->out_queue, nullptr);
}

TEST_F(Packet, DumpWritesOneLine)
{
    qn_dump_packet(nullptr);  // nothing, no crash
    qn_packet *p = nullptr;
    ASSERT_EQ(qn_packet_create(conn, &p), 0);
    ::testing::internal::CaptureStderr();
    qn_dump_packet(p);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\tCode: 1, Identifier: 0, Lenght: 20\n");
    qn_packet_destroy(p);
}

}  // namespace
