// Seeding steps of the process-wide OpenSSL set-up, reachable by tests.
#ifndef QUELNA_TLS_INIT_H
#define QUELNA_TLS_INIT_H

#include <cstddef>
#include <span>

namespace quelna::tls {

inline constexpr size_t seed_octets = 32;

// Reads seed_octets from the first of devices that opens (repeating short reads) and gives
// them to OpenSSL. False when no device opens or the one that opens ends early.
bool seed_from_devices(std::span<const char *const> devices);

// The whole set-up with the device list and the generator's own poll supplied: 0 or -1.
int init_with(std::span<const char *const> devices, int (*poll)());

}  // namespace quelna::tls

#endif
