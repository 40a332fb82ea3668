// Server entries (peers) and their lists.
#include <cstring>

#include "quelna_int.h"

qn_peer *peer_create(qn_context *ctx, qn_peer **rootp)
{
    auto *p = static_cast<qn_peer *>(qn_malloc(ctx, sizeof(qn_peer)));
    if (!p)
        return nullptr;
    memset(p, 0, sizeof(*p));
    // The first peer ever added stays the head; later ones go directly after it.
    if (*rootp) {
        p->next = (*rootp)->next;
        (*rootp)->next = p;
    } else {
        *rootp = p;
    }
    return p;
}
