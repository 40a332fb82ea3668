// A one-line dump of a library packet, for debugging.
#include <cstdio>

#include <quelna/codec.h>

#include "quelna_int.h"

extern "C" QN_EXPORT void qn_dump_packet(const qn_packet *pkt)
{
    if (!pkt || !pkt->rpkt)
        return;
    const lr_packet *p = pkt->rpkt;
    fprintf(stderr, "\tCode: %u, Identifier: %u, Lenght: %zu\n", p->code,
            static_cast<unsigned int>(p->id), p->length);
    fflush(stderr);
}
