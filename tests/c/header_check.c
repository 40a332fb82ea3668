/* Compiled as C99 with warnings as errors: proves the public headers are plain C, and shows
 * the library's frame in use from a C program. */
#define _POSIX_C_SOURCE 200809L
#include <quelna/quelna.h>
#if defined(__has_include)
#if __has_include(<quelna/codec.h>)
#include <quelna/codec.h>
#endif
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(const char *what)
{
    fprintf(stderr, "header_check: %s\n", what);
    return 1;
}

int main(void)
{
    qn_context *ctx = NULL;
    qn_error *err;
    char path[] = "/tmp/quelna-c-XXXXXX";
    FILE *f;
    int fd, rc;

    if (qn_context_create(&ctx) != QNE_OK)
        return fail("qn_context_create");

    fd = mkstemp(path);
    if (fd < 0 || !(f = fdopen(fd, "w")))
        return fail("temporary file");
    fputs("realm example {\n"
          "    type = \"UDP\"\n"
          "    server { hostname = \"127.0.0.1\" service = \"1812\" secret = \"s3cret\" }\n"
          "}\n",
          f);
    fclose(f);

    rc = qn_context_read_config(ctx, path);
    remove(path);
    if (rc != QNE_OK)
        return fail("qn_context_read_config");
    if (!qn_conf_find_realm(ctx, "example"))
        return fail("realm not found");

    /* Errors are read by popping them off the context. */
    rc = qn_context_read_config(ctx, "/nonexistent.conf");
    err = qn_err_ctx_pop(ctx);
    if (rc != QNE_CONFIG || !err ||
        strcmp(qn_err_msg(err), "/nonexistent.conf: unable to open configuration file "
                                "(No such file or directory)") != 0)
        return fail("missing-file error");
    if (qn_err_code(err, 1) != QNE_CONFIG)
        return fail("qn_err_code");

    qn_context_destroy(ctx);
    puts("header_check: C program built against the installed headers ran");
    return 0;
}
