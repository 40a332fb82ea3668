// Packet identifiers towards a server, and packets allocated for a server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>

#include "quelna/codec.h"

namespace {

/** count equals the non-empty slots, and slot i holds the packet with id i. */
::testing::AssertionResult table_is_consistent(const lr_server &s)
{
    int used = 0;
    for (int i = 0; i < LR_SERVER_IDS; i++) {
        if (!s.ids[i]) continue;
        used++;
        if (s.ids[i]->id != i)
            return ::testing::AssertionFailure() << "slot " << i << " holds id " << s.ids[i]->id;
    }
    if (used != s.num_outgoing)
        return ::testing::AssertionFailure() << used << " slots used, count " << s.num_outgoing;
    return ::testing::AssertionSuccess();
}

struct ServerIds : ::testing::Test {
    lr_server server{};
    std::array<lr_packet, 300> packets{};
    void SetUp() override
    {
        ASSERT_EQ(lr_server_init(&server, 1, "secret"), 0);
        server.dst.ss_family = AF_INET;
        server.sockfd = 42;
    }
};

TEST_F(ServerIds, InitSetsUpAndRefusesBadArguments)
{
    EXPECT_EQ(lr_server_init(&server, 4, "s3cret"), 0);
    EXPECT_EQ(server.sockfd, -1);
    EXPECT_EQ(server.code, 4);
    EXPECT_EQ(server.secret_len, 6u);
    EXPECT_EQ(server.num_outgoing, 0);
    EXPECT_EQ(server.src.ss_family, AF_UNSPEC);
    EXPECT_EQ(server.dst.ss_family, AF_UNSPEC);

    EXPECT_EQ(lr_server_init(&server, 1, ""), -QNE_INVAL);
    EXPECT_EQ(lr_server_init(&server, 1, nullptr), -QNE_INVAL);
    EXPECT_EQ(lr_server_init(&server, 0, "s"), -QNE_INVAL);
    EXPECT_EQ(lr_server_init(&server, 46, "s"), -QNE_INVAL);
    EXPECT_EQ(lr_server_init(&server, -1, "s"), -QNE_INVAL);
    EXPECT_EQ(lr_server_init(nullptr, 1, "s"), -QNE_INVAL);
    EXPECT_EQ(lr_server_init(&server, 45, "s"), 0);
}

TEST_F(ServerIds, AllocationCopiesTheServerIntoThePacket)
{
    lr_packet &p = packets[0];
    p.id = -5;
    ASSERT_EQ(lr_server_id_alloc(&server, &p), 0);
    EXPECT_GE(p.id, 0);
    EXPECT_LT(p.id, 256);
    EXPECT_EQ(server.ids[p.id], &p);
    EXPECT_EQ(p.sockfd, 42);
    EXPECT_EQ(p.code, 1u);
    EXPECT_EQ(p.dst.ss_family, AF_INET);

    ASSERT_EQ(lr_server_id_alloc(&server, &packets[1]), 0);
    EXPECT_NE(packets[1].id, p.id);
    EXPECT_EQ(server.num_outgoing, 2);

    EXPECT_EQ(lr_server_id_alloc(nullptr, &p), -QNE_INVAL);
    EXPECT_EQ(lr_server_id_alloc(&server, nullptr), -QNE_INVAL);
    EXPECT_TRUE(table_is_consistent(server));
}

TEST_F(ServerIds, ExhaustionReleaseAndReuse)
{
    std::set<int> ids;
    for (int i = 0; i < 256; i++) {
        ASSERT_EQ(lr_server_id_alloc(&server, &packets[i]), 0);
        ids.insert(packets[i].id);
    }
    EXPECT_EQ(ids.size(), 256u);
    EXPECT_EQ(server.num_outgoing, 256);

    lr_strerror_printf("(none)");
    packets[256].id = 77;
    EXPECT_EQ(lr_server_id_alloc(&server, &packets[256]), -QNE_NOMEM);
    EXPECT_STREQ(lr_strerror(), "Out of IDs for server");
    EXPECT_EQ(packets[256].id, 77) << "a refused packet was changed";

    // Reallocation with a full table fails and the packet keeps its identifier.
    int kept = packets[10].id;
    EXPECT_EQ(lr_server_id_realloc(&server, &packets[10]), -QNE_NOMEM);
    EXPECT_EQ(packets[10].id, kept);
    EXPECT_EQ(server.ids[kept], &packets[10]);

    // After one release, the next allocation gets exactly the released identifier.
    int freed = packets[100].id;
    ASSERT_EQ(lr_server_id_free(&server, &packets[100]), 0);
    EXPECT_EQ(packets[100].sockfd, -1);
    EXPECT_EQ(packets[100].id, freed);
    ASSERT_EQ(lr_server_id_alloc(&server, &packets[256]), 0);
    EXPECT_EQ(packets[256].id, freed);
    EXPECT_TRUE(table_is_consistent(server));
}

TEST_F(ServerIds, ReleaseMisuse)
{
    lr_packet &a = packets[0], &b = packets[1];
    ASSERT_EQ(lr_server_id_alloc(&server, &a), 0);

    // b claims a's identifier: the slot holds another packet.
    b.id = a.id;
    EXPECT_EQ(lr_server_id_free(&server, &b), -QNE_INTERNAL);
    EXPECT_EQ(lr_server_id_realloc(&server, &b), -QNE_INTERNAL);
    EXPECT_EQ(server.ids[a.id], &a);
    EXPECT_EQ(server.num_outgoing, 1);

    for (int bad : {-1, 256, 100000}) {
        b.id = bad;
        EXPECT_EQ(lr_server_id_free(&server, &b), -QNE_INVAL) << bad;
        EXPECT_EQ(lr_server_id_realloc(&server, &b), -QNE_INVAL) << bad;
    }
    EXPECT_EQ(lr_server_id_free(nullptr, &a), -QNE_INVAL);
    EXPECT_EQ(lr_server_id_free(&server, nullptr), -QNE_INVAL);
    EXPECT_EQ(lr_server_id_realloc(&server, nullptr), -QNE_INVAL);

    EXPECT_EQ(lr_server_id_free(&server, &a), 0);
    EXPECT_EQ(lr_server_id_free(&server, &a), -QNE_INVAL) << "released twice";
    EXPECT_EQ(lr_server_id_realloc(&server, &a), -QNE_INVAL);
    EXPECT_EQ(server.num_outgoing, 0);
    EXPECT_TRUE(table_is_consistent(server));
}

TEST_F(ServerIds, ReallocationMovesToAnotherIdentifier)
{
    lr_packet &p = packets[0];
    ASSERT_EQ(lr_server_id_alloc(&server, &p), 0);
    for (int i = 0; i < 1000; i++) {
        int old = p.id;
        ASSERT_EQ(lr_server_id_realloc(&server, &p), 0);
        ASSERT_NE(p.id, old);
        ASSERT_EQ(server.ids[old], nullptr);
        ASSERT_EQ(server.ids[p.id], &p);
        ASSERT_EQ(server.num_outgoing, 1);
    }
}

TEST_F(ServerIds, InvariantHoldsThroughARandomSequence)
{
    std::mt19937 rng(20240601);
    std::set<const lr_packet *> holding;
    for (int step = 0; step < 50000; step++) {
        lr_packet &p = packets[rng() % packets.size()];
        bool holds = holding.count(&p) != 0;
        switch (rng() % 3) {
        case 0: {
            if (holds) break;  // a packet holds one identifier at a time
            int rcode = lr_server_id_alloc(&server, &p);
            if (holding.size() == 256) {
                ASSERT_EQ(rcode, -QNE_NOMEM);
            } else {
                ASSERT_EQ(rcode, 0);
                holding.insert(&p);
            }
            break;
        }
        case 1: {
            int rcode = lr_server_id_free(&server, &p);
            if (holds) {
                ASSERT_EQ(rcode, 0);
                holding.erase(&p);
            } else {
                // Its stale id points at an empty slot or at another packet's.
                bool slot_taken = p.id >= 0 && p.id < 256 && server.ids[p.id];
                ASSERT_EQ(rcode, slot_taken ? -QNE_INTERNAL : -QNE_INVAL);
            }
            break;
        }
        default: {
            int old = p.id;
            int rcode = lr_server_id_realloc(&server, &p);
            if (!holds) {
                ASSERT_LT(rcode, 0);
            } else if (holding.size() == 256) {
                ASSERT_EQ(rcode, -QNE_NOMEM);
                ASSERT_EQ(p.id, old);
            } else {
                ASSERT_EQ(rcode, 0);
                ASSERT_NE(p.id, old);
            }
        }
        }
        ASSERT_TRUE(table_is_consistent(server)) << "after step " << step;
        ASSERT_EQ(static_cast<size_t>(server.num_outgoing), holding.size());
    }
}

TEST(ServerClose, OnlyWhenNoIdentifierIsInUse)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    lr_server server;
    ASSERT_EQ(lr_server_init(&server, 1, "secret"), 0);
    server.sockfd = fds[0];
    lr_packet p{};
    ASSERT_EQ(lr_server_id_alloc(&server, &p), 0);

    EXPECT_EQ(lr_server_close(&server), -QNE_INUSE);
    EXPECT_NE(fcntl(fds[0], F_GETFD), -1) << "closed while in use";

    ASSERT_EQ(lr_server_id_free(&server, &p), 0);
    EXPECT_EQ(lr_server_close(&server), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    close(fds[1]);

    // Without a socket there is nothing to close.
    ASSERT_EQ(lr_server_init(&server, 1, "secret"), 0);
    EXPECT_EQ(lr_server_close(&server), 0);
    EXPECT_EQ(lr_server_close(nullptr), -QNE_INVAL);
}

TEST(ServerPacket, WithAndWithoutServer)
{
    lr_server server;
    ASSERT_EQ(lr_server_init(&server, 1, "xyzzy5461"), 0);
    lr_packet *p = nullptr;
    ASSERT_EQ(lr_server_packet_alloc(&server, &p), 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data, reinterpret_cast<uint8_t *>(p + 1));
    EXPECT_EQ(p->data_size, size_t{LR_SERVER_PACKET_SIZE});
    EXPECT_EQ(p->length, 20u);
    EXPECT_EQ(p->id, 0);
    EXPECT_EQ(p->data[0], 1);
    EXPECT_EQ(p->data[1], 0);
    EXPECT_STREQ(p->secret, "xyzzy5461");
    const uint8_t zero[16] = {};
    EXPECT_NE(std::memcmp(p->vector, zero, 16), 0) << "authenticator not random";
    EXPECT_EQ(std::memcmp(p->data + 4, p->vector, 16), 0);
    p->data[LR_SERVER_PACKET_SIZE - 1] = 0xff;  // the whole buffer is ours (ASan checks)
    std::free(p);

    p = nullptr;
    ASSERT_EQ(lr_server_packet_alloc(nullptr, &p), 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data, reinterpret_cast<uint8_t *>(p + 1));
    EXPECT_EQ(p->data_size, size_t{LR_SERVER_PACKET_SIZE});
    EXPECT_EQ(p->length, 0u);
    EXPECT_EQ(p->flags, 0);
    p->data[LR_SERVER_PACKET_SIZE - 1] = 0xff;
    std::free(p);

    EXPECT_EQ(lr_server_packet_alloc(&server, nullptr), -QNE_INVAL);

    // A server whose code cannot start a packet: the failure comes back, nothing is stored
    // and nothing leaks.
    ASSERT_EQ(lr_server_init(&server, 2, "secret"), 0);
    p = nullptr;
    EXPECT_EQ(lr_server_packet_alloc(&server, &p), -QNE_REQUEST_REQUIRED);
    EXPECT_EQ(p, nullptr);
}

}  // namespace
