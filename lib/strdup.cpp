// String copies made through the context's allocator.
#include <cstring>

#include "quelna_int.h"

extern "C" QN_EXPORT char *qn_strdup(qn_context *ctx, const char *s)
{
    size_t len = strlen(s);
    auto *copy = static_cast<char *>(qn_malloc(ctx, len + 1));
    if (!copy) {
        qn_err_ctx_push(ctx, QNE_NOMEM, "qn_strdup");
        return nullptr;
    }
    memcpy(copy, s, len + 1);
    return copy;
}
