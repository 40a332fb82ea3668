// Server entries (peers) and their lists.
#include <cstdlib>
#include <cstring>

#include <event2/util.h>

#include "quelna_int.h"

qn_peer *peer_create(qn_context *ctx, qn_peer **rootp)
{
    auto *p = static_cast<qn_peer *>(qn_malloc(ctx, sizeof(qn_peer)));
    if (!p)
        return nullptr;
    memset(p, 0, sizeof(*p));
    for (const qn_peer *q = *rootp; q; q = q->next)
        p->index++;
    // The first peer ever added stays the head; later ones go directly after it.
    if (*rootp) {
        p->next = (*rootp)->next;
        (*rootp)->next = p;
    } else {
        *rootp = p;
    }
    return p;
}

void peer_free(qn_context *ctx, qn_peer *peer)
{
    if (peer->addr)
        evutil_freeaddrinfo(peer->addr);
    if (peer->own_hostname)
        qn_free(ctx, peer->own_hostname);
    if (peer->own_service)
        qn_free(ctx, peer->own_service);
    free(peer->own_secret);
    qn_free(ctx, peer);
}
