/*
 * The codec alone, with the application's own socket: one Access-Request over UDP, its answer
 * verified and printed. Nothing of the library's connections, configuration or event loop.
 *
 *   codec_udp HOST PORT SECRET USER PASSWORD
 *
 * Exit status: 0 Access-Accept, 1 another answer, 2 usage, 3 failure.
 */
#define _POSIX_C_SOURCE 200809L
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <quelna/codec.h>

static int fail(const char *what, int rc)
{
    fprintf(stderr, "codec_udp: %s: %s\n", what, rc < 0 ? lr_strerror() : "failed");
    return 3;
}

int main(int argc, char **argv)
{
    struct addrinfo hints, *ai = NULL;
    lr_packet req, resp;
    uint8_t out[4096], in[4096];
    char line[512];
    const lr_value_pair *vp;
    int fd, rc;
    ssize_t n;
    struct pollfd pfd;

    if (argc != 6) {
        fprintf(stderr, "usage: codec_udp HOST PORT SECRET USER PASSWORD\n");
        return 2;
    }
    lr_strerror_echo(0); /* messages come from lr_strerror() only */
    memset(&hints, 0, sizeof(hints));
    hints.ai_socktype = SOCK_DGRAM;
    if (getaddrinfo(argv[1], argv[2], &hints, &ai) != 0)
        return fail("getaddrinfo", 0);
    fd = socket(ai->ai_family, SOCK_DGRAM, 0);
    if (fd < 0 || connect(fd, ai->ai_addr, ai->ai_addrlen) != 0)
        return fail("socket", 0);
    freeaddrinfo(ai);

    /* The request: pairs, then written, hidden and signed in the caller's buffer. */
    memset(&req, 0, sizeof(req));
    rc = lr_packet_init(&req, NULL, argv[3], 1 /* Access-Request */, out, sizeof(out));
    if (rc < 0)
        return fail("lr_packet_init", rc);
    req.id = 7;
    out[1] = 7;
    lr_vps_append(&req.vps, lr_vp_create(1 /* User-Name */, 0, argv[4], strlen(argv[4])));
    lr_vps_append(&req.vps, lr_vp_create(2 /* User-Password */, 0, argv[5], strlen(argv[5])));
    if ((rc = lr_packet_encode(&req, NULL)) < 0 || (rc = lr_packet_sign(&req, NULL)) < 0)
        return fail("encode", rc);
    if (send(fd, req.data, req.length, 0) < 0)
        return fail("send", 0);

    /* The answer: checked against the request, then decoded. */
    pfd.fd = fd;
    pfd.events = POLLIN;
    if (poll(&pfd, 1, 3000) != 1 || (n = recv(fd, in, sizeof(in), 0)) < 20)
        return fail("no answer", 0);
    memset(&resp, 0, sizeof(resp));
    resp.data = in;
    resp.data_size = sizeof(in);
    resp.length = (size_t)n;
    resp.secret = argv[3];
    resp.secret_len = strlen(argv[3]);
    if ((rc = lr_packet_ok(&resp)) < 0 || (rc = lr_packet_verify(&resp, &req)) < 0 ||
        (rc = lr_packet_decode(&resp, &req)) < 0)
        return fail("answer refused", rc);
    printf("%s\n", lr_packet_codes[resp.code]);
    for (vp = resp.vps; vp; vp = vp->next)
        if (lr_vp_snprintf(line, sizeof(line), vp) > 0)
            printf("\t%s\n", line);
    rc = resp.code == 2 ? 0 : 1;
    lr_vp_free(&req.vps);
    lr_vp_free(&resp.vps);
    close(fd);
    return rc;
}
