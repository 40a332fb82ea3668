// Server entries (peers) and their lists.
#include <cstdlib>
#include <cstring>

#include <event2/util.h>
#include <openssl/crypto.h>

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
    if (peer->own_secret) {
        OPENSSL_cleanse(peer->own_secret, strlen(peer->own_secret));
        free(peer->own_secret);
    }
    // The codec keeps the last signing key of this thread; it goes with the secret.
    if (peer->secret)
        lr_hmac_forget();
    qn_free(ctx, peer);
}
