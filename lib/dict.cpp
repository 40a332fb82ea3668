// The library's call for dictionaries loaded at run time: the codec's loader, with its message
// recorded on the context.
#include <quelna/codec.h>

#include "quelna_int.h"

extern "C" QN_EXPORT int qn_dict_load(qn_context *ctx, const char *path)
{
    if (!ctx)
        return QNE_INVAL;
    const int rc = lr_dict_load(path);
    if (rc == 0)
        return QNE_OK;
    return qn_err_ctx_push(ctx, rc == -QNE_NOMEM ? QNE_NOMEM : QNE_CONFIG, "%s", lr_strerror());
}
