/** One raw datagram exchange with a loopback server, for tests that check octets themselves. */
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quelna::test {

/**
 * Sends `request` as one UDP datagram to host:port (host an IPv4 or IPv6 literal, e.g.
 * "127.0.0.1" or "::1") from a fresh socket, and returns the first datagram that comes back from
 * that address and port within `timeout`. Returns nullopt, with the reason in *why, on time-out
 * or socket error.
 */
std::optional<std::vector<uint8_t>> udp_exchange(std::string_view host, uint16_t port,
                                                 std::span<const uint8_t> request,
                                                 std::chrono::milliseconds timeout,
                                                 std::string *why);

}  // namespace quelna::test
