// A small in-process RADIUS responder over loopback UDP, for what a real server will not do:
// stay silent, answer late, or answer with forged or malformed octets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quelna::test {

using Octets = std::vector<uint8_t>;

class UdpResponder {
public:
    // Decides the answer to the n-th datagram (1-based); nullopt sends nothing.
    using Handler = std::function<std::optional<Octets>(const Octets &request, int n)>;

    struct Received {
        Octets octets;
        std::chrono::steady_clock::time_point at;
    };

    // Binds host (an IPv4 or IPv6 literal) on port (0: a free one) and serves until destroyed.
    // A stray handler, when given, decides a datagram sent ahead of each answer (a forgery).
    UdpResponder(const std::string &host, Handler handler, uint16_t port = 0,
                 Handler stray = nullptr);
    // Decides any number of datagrams to send after the n-th one (answers held back, repeated
    // or reordered).
    struct Answers {
        std::function<std::vector<Octets>(const Octets &request, int n)> fn;
    };
    UdpResponder(const std::string &host, Answers answers);
    ~UdpResponder();
    UdpResponder(const UdpResponder &) = delete;
    UdpResponder &operator=(const UdpResponder &) = delete;

    uint16_t port() const { return port_; }
    std::vector<Received> received() const;

private:
    void serve();

    int fd_ = -1;
    uint16_t port_ = 0;
    Handler handler_;
    Handler stray_;
    Answers answers_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    std::vector<Received> received_;
    std::thread thread_;
};

// A response to request: code, the request's identifier, attrs, and the RFC 2865 Response
// Authenticator MD5(code | id | length | request authenticator | attrs | secret), computed
// here independently of the library. Signed, a Message-Authenticator follows attrs: HMAC-MD5
// over the response with its value zeroed and the request authenticator (RFC 3579 §3.2).
Octets make_response(const Octets &request, uint8_t code, const Octets &attrs,
                     const std::string &secret, bool sign = false);

// A loopback UDP port that nothing listens on (bound, read and released).
uint16_t free_udp_port();

// One attribute: type, length, value.
Octets attr(uint8_t type, const std::string &value);

}  // namespace quelna::test
