// send and recv on a connected non-blocking socket, with interrupted calls repeated.
#include <cerrno>
#include <sys/socket.h>

#include "net.h"

ssize_t compat_send(int sockfd, const void *buf, size_t len, int flags)
{
    ssize_t n;
    do {
        n = send(sockfd, buf, len, flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t compat_recv(int sockfd, void *buf, size_t len, int flags)
{
    ssize_t n;
    do {
        n = recv(sockfd, buf, len, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}
