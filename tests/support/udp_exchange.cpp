// One datagram out, one datagram back, over a connected UDP socket.
#include "support/udp_exchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quelna::test {
namespace {

struct SocketGuard {
  int fd;
  ~SocketGuard() {
    if (fd >= 0) ::close(fd);
  }
};

std::string sys_error(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

std::optional<std::vector<uint8_t>> udp_exchange(std::string_view host, uint16_t port,
                                                 std::span<const uint8_t> request,
                                                 std::chrono::milliseconds timeout,
                                                 std::string *why) {
  sockaddr_storage addr{};
  socklen_t addr_len = 0;
  std::string host_text(host);
  auto *v4 = reinterpret_cast<sockaddr_in *>(&addr);
  auto *v6 = reinterpret_cast<sockaddr_in6 *>(&addr);
  if (::inet_pton(AF_INET, host_text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    addr_len = sizeof(*v4);
  } else if (::inet_pton(AF_INET6, host_text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    addr_len = sizeof(*v6);
  } else {
    *why = "not an address literal: " + host_text;
    return std::nullopt;
  }

  SocketGuard sock{::socket(addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  if (sock.fd < 0) {
    *why = sys_error("socket");
    return std::nullopt;
  }
  // Connected: the kernel then delivers only datagrams from host:port.
  if (::connect(sock.fd, reinterpret_cast<sockaddr *>(&addr), addr_len) != 0) {
    *why = sys_error("connect");
    return std::nullopt;
  }
  if (::send(sock.fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
    *why = sys_error("send");
    return std::nullopt;
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<uint8_t> reply(65536);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      *why = "no reply from " + host_text + ":" + std::to_string(port) + " within " +
             std::to_string(timeout.count()) + " ms";
      return std::nullopt;
    }
    pollfd p{sock.fd, POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno != EINTR) {
      *why = sys_error("poll");
      return std::nullopt;
    }
    if (n <= 0) continue;
    ssize_t got = ::recv(sock.fd, reply.data(), reply.size(), 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      // ECONNREFUSED here means an ICMP port-unreachable: nothing listens there.
      *why = sys_error("recv");
      return std::nullopt;
    }
    reply.resize(static_cast<size_t>(got));
    return reply;
  }
}

}  // namespace quelna::test
