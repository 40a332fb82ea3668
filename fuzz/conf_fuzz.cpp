// Fuzz target for the configuration reader: whatever a file holds is either read into realms
// or refused with a code and a message; never a crash, an exit, a hang or a leak. What was read
// must be usable: every realm is found by its name and gives a connection. libconfuse reports
// parse errors on standard error: run with -close_fd_mask=2 to keep them out of the log.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quelna/quelna.h"
#include "quelna_int.h"

namespace {

std::string path;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "conf_fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // One scratch file per process, rewritten for every input; the reader takes a path.
    char name[] = "/tmp/quelna-conf-fuzz-XXXXXX";
    int fd = mkstemp(name);
    check(fd >= 0, "mkstemp");
    close(fd);
    path = name;
    std::atexit([] { unlink(path.c_str()); });
    lr_strerror_echo(0);  // the codec's messages for refused values stay off the log
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    check(fd >= 0, "open");
    check(write(fd, data, size) == static_cast<ssize_t>(size), "write");
    close(fd);

    qn_context *ctx = nullptr;
    check(qn_context_create(&ctx) == 0, "qn_context_create");
    int r = qn_context_read_config(ctx, path.c_str());
    if (r != 0) {
        check(r == QNE_CONFIG || r == QNE_NOMEM, "unexpected code");
        qn_error *err = qn_err_ctx_pop(ctx);
        check(err && qn_err_code(err, 0) == r, "failure without its error");
        check(qn_err_msg(err) && *qn_err_msg(err), "error without a message");
        qn_err_free(err);
    } else {
        check(qn_err_ctx_pop(ctx) == nullptr, "success with an error recorded");
        for (qn_realm *realm = ctx->config ? ctx->config->realms : nullptr; realm;
             realm = realm->next) {
            check(realm->name != nullptr, "realm without a name");
            check(qn_conf_find_realm(ctx, realm->name) != nullptr, "realm not found by name");
            for (qn_peer *p = realm->peers; p; p = p->next)
                check(p->realm == realm, "peer of another realm");
            qn_connection *conn = nullptr;
            check(qn_conn_create(ctx, &conn, realm->name) == 0, "qn_conn_create");
            qn_conn_destroy(conn);
        }
    }
    qn_context_destroy(ctx);
    return 0;
}
