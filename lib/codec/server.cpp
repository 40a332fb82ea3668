// Packet identifiers towards one server. A RADIUS identifier is one octet (RFC 2865 section 3),
// so at most 256 requests can be outstanding to a server; the server record keeps which packet
// holds which identifier and hands a free one, chosen from a random start, to each new packet.
//
// Invariant of the record: num_outgoing equals the number of non-empty slots, and the packet
// in slot i has id i. A failed operation changes neither the table nor the packet.
#include <event2/util.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "quelna/codec.h"

namespace quelna::codec {
namespace {

/** A free identifier, searched upward from a random start with wrap-around, or a code. */
int find_id(const lr_server *server)
{
    if (server->num_outgoing > LR_SERVER_IDS)
        return -QNE_INTERNAL;

    uint32_t start = lr_rand();
    for (uint32_t k = 0; k < LR_SERVER_IDS; k++) {
        uint32_t id = (start + k) % LR_SERVER_IDS;
        if (!server->ids[id])
            return static_cast<int>(id);
    }
    lr_strerror_printf("Out of IDs for server");
    return -QNE_NOMEM;
}

/** The checks shared by release and reallocation: the packet must hold its own slot. */
int check_held(const lr_server *server, const lr_packet *packet)
{
    if (!server || !packet)
        return -QNE_INVAL;
    if (packet->id < 0 || packet->id >= LR_SERVER_IDS)
        return -QNE_INVAL;
    const lr_packet *holder = server->ids[packet->id];
    if (!holder)
        return -QNE_INVAL;
    if (holder != packet)
        return -QNE_INTERNAL;
    return 0;
}

}  // namespace
}  // namespace quelna::codec

using namespace quelna::codec;

extern "C" QN_EXPORT int lr_server_init(lr_server *server, int code, const char *secret)
{
    if (!server || !secret || !*secret || code <= 0 || code > LR_MAX_PACKET_CODE)
        return -QNE_INVAL;

    std::memset(server, 0, sizeof *server);
    server->secret = secret;
    server->secret_len = std::strlen(secret);
    server->sockfd = -1;
    server->code = code;
    server->src.ss_family = AF_UNSPEC;
    server->dst.ss_family = AF_UNSPEC;
    return 0;
}

extern "C" QN_EXPORT int lr_server_close(lr_server *server)
{
    if (!server)
        return -QNE_INVAL;
    if (server->num_outgoing > 0)
        return -QNE_INUSE;
    if (server->sockfd >= 0)
        evutil_closesocket(server->sockfd);
    return 0;
}

extern "C" QN_EXPORT int lr_server_id_alloc(lr_server *server, lr_packet *packet)
{
    if (!server || !packet)
        return -QNE_INVAL;

    int id = find_id(server);
    if (id < 0)
        return id;

    server->ids[id] = packet;
    server->num_outgoing++;
    packet->sockfd = server->sockfd;
    packet->code = static_cast<unsigned int>(server->code);
    packet->src = server->src;
    packet->dst = server->dst;
    packet->id = id;
    return 0;
}

extern "C" QN_EXPORT int lr_server_id_free(lr_server *server, lr_packet *packet)
{
    int rcode = check_held(server, packet);
    if (rcode < 0)
        return rcode;

    server->ids[packet->id] = nullptr;
    server->num_outgoing--;
    packet->sockfd = -1;
    return 0;
}

extern "C" QN_EXPORT int lr_server_id_realloc(lr_server *server, lr_packet *packet)
{
    int rcode = check_held(server, packet);
    if (rcode < 0)
        return rcode;

    // Searched while the packet still holds its slot, so the new identifier differs.
    int id = find_id(server);
    if (id < 0)
        return id;

    server->ids[packet->id] = nullptr;
    packet->id = id;
    server->ids[id] = packet;
    return 0;
}

extern "C" QN_EXPORT int lr_server_packet_alloc(const lr_server *server, lr_packet **packet_p)
{
    if (!packet_p)
        return -QNE_INVAL;

    // One block: the record, then its buffer (the record's size keeps the buffer aligned).
    static_assert(sizeof(lr_packet) % alignof(lr_packet) == 0);
    void *block = std::malloc(sizeof(lr_packet) + LR_SERVER_PACKET_SIZE);
    if (!block)
        return -QNE_NOMEM;
    auto *packet = new (block) lr_packet{};
    auto *buffer = reinterpret_cast<uint8_t *>(packet + 1);

    if (server) {
        int rcode = lr_packet_init(packet, nullptr, server->secret, server->code, buffer,
                                   LR_SERVER_PACKET_SIZE);
        if (rcode < 0) {
            std::free(block);
            return rcode;
        }
    } else {
        packet->data = buffer;
        packet->data_size = LR_SERVER_PACKET_SIZE;
    }
    *packet_p = packet;
    return 0;
}
