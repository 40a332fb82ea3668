// A minimal debug facility: it only remembers the identity of whoever initialised it, so that
// diagnostics can say which component they come from.
#include <atomic>

#include "quelna_int.h"

namespace {
std::atomic<const char *> debug_identity{nullptr};
}

int debug_init(const char *ident)
{
    debug_identity.store(ident, std::memory_order_relaxed);
    return 0;
}

const char *debug_ident(void)
{
    const char *ident = debug_identity.load(std::memory_order_relaxed);
    return ident ? ident : "";
}
