#include "udp_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace quelna::test {

UdpResponder::UdpResponder(const std::string &host, Handler handler, uint16_t port,
                           Handler stray)
    : handler_(std::move(handler)), stray_(std::move(stray))
{
    sockaddr_storage ss{};
    socklen_t len;
    bool v6 = host.find(':') != std::string::npos;
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
        len = sizeof(*a);
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &a->sin_addr);
        len = sizeof(*a);
    }
    fd_ = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&ss), len) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        throw std::runtime_error("responder socket: " + std::string(strerror(errno)));
    // Several clients' bursts at once must not overflow the default buffer (best effort: the
    // system caps it).
    int rcvbuf = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                     : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    thread_ = std::thread([this] { serve(); });
}

UdpResponder::UdpResponder(const std::string &host, Answers answers)
    : UdpResponder(host, [](const Octets &, int) { return std::nullopt; })
{
    std::lock_guard lock(mu_);
    answers_ = std::move(answers);
}

UdpResponder::~UdpResponder()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0)
        close(fd_);
}

std::vector<UdpResponder::Received> UdpResponder::received() const
{
    std::lock_guard lock(mu_);
    return received_;
}

void UdpResponder::serve()
{
    int n = 0;
    while (!stop_) {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0)
            continue;
        Octets buf(65536);
        sockaddr_storage from{};
        socklen_t fromlen = sizeof(from);
        ssize_t got = recvfrom(fd_, buf.data(), buf.size(), 0,
                               reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (got < 0)
            continue;
        buf.resize(static_cast<size_t>(got));
        {
            std::lock_guard lock(mu_);
            received_.push_back({buf, std::chrono::steady_clock::now()});
        }
        ++n;
        if (auto stray = stray_ ? stray_(buf, n) : std::nullopt)
            sendto(fd_, stray->data(), stray->size(), 0, reinterpret_cast<sockaddr *>(&from),
                   fromlen);
        Answers answers;
        {
            std::lock_guard lock(mu_);
            answers = answers_;
        }
        if (answers.fn)
            for (const Octets &a : answers.fn(buf, n))
                sendto(fd_, a.data(), a.size(), 0, reinterpret_cast<sockaddr *>(&from), fromlen);
        if (auto answer = handler_(buf, n))
            sendto(fd_, answer->data(), answer->size(), 0, reinterpret_cast<sockaddr *>(&from),
                   fromlen);
    }
}

Octets make_response(const Octets &request, uint8_t code, const Octets &attrs,
                     const std::string &secret, bool sign)
{
    size_t len = 20 + attrs.size() + (sign ? 18 : 0);
    Octets out = {code, request.at(1), static_cast<uint8_t>(len >> 8),
                  static_cast<uint8_t>(len & 0xff)};
    out.insert(out.end(), request.begin() + 4, request.begin() + 20);
    out.insert(out.end(), attrs.begin(), attrs.end());
    if (sign) {
        out.push_back(80);
        out.push_back(18);
        out.resize(len, 0);
        HMAC(EVP_md5(), secret.data(), static_cast<int>(secret.size()), out.data(), out.size(),
             out.data() + len - 16, nullptr);
    }
    Octets hashed = out;
    hashed.insert(hashed.end(), secret.begin(), secret.end());
    unsigned int mdlen = 0;
    uint8_t md[EVP_MAX_MD_SIZE];
    EVP_Digest(hashed.data(), hashed.size(), md, &mdlen, EVP_md5(), nullptr);
    std::memcpy(out.data() + 4, md, 16);
    return out;
}

uint16_t free_udp_port()
{
    uint16_t port = UdpResponder("127.0.0.1", [](const Octets &, int) { return std::nullopt; })
                        .port();
    return port;
}

Octets attr(uint8_t type, const std::string &value)
{
    Octets a = {type, static_cast<uint8_t>(value.size() + 2)};
    a.insert(a.end(), value.begin(), value.end());
    return a;
}

}  // namespace quelna::test
