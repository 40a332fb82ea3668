// Process-wide OpenSSL set-up. OpenSSL 3 locks its own shared state, so no static locking
// callbacks are installed; the library set-up runs once per process, the seeding at every call.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <mutex>

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include "quelna_int.h"
#include "tls_init.h"

namespace quelna::tls {

// The random devices tried for seeding, in order.
constexpr std::array<const char *, 2> fns = {"/dev/urandom", "/dev/random"};

bool seed_from_devices(std::span<const char *const> devices)
{
    std::array<unsigned char, seed_octets> buf{};
    bool seeded = false;
    for (const char *dev : devices) {
        int fd = open(dev, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        // Only the first device that opens is read; short reads are repeated.
        size_t got = 0;
        while (got < buf.size()) {
            ssize_t n = read(fd, buf.data() + got, buf.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        close(fd);
        if (got == buf.size()) {
            RAND_seed(buf.data(), static_cast<int>(buf.size()));
            seeded = true;
        }
        break;
    }
    OPENSSL_cleanse(buf.data(), buf.size());
    return seeded;
}

int init_with(std::span<const char *const> devices, int (*poll)())
{
    static std::once_flag once;
    static bool library_ok = false;
    std::call_once(once, [] {
        library_ok = OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS |
                                          OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                                      nullptr) == 1;
    });
    if (!library_ok)
        return -1;

    bool polled = poll() == 1;
    bool seeded = seed_from_devices(devices);
    if (!polled && !seeded)
        return -1;

    // The generator must now give output.
    std::array<unsigned char, seed_octets> check{};
    int ok = RAND_bytes(check.data(), static_cast<int>(check.size()));
    OPENSSL_cleanse(check.data(), check.size());
    return ok == 1 ? 0 : -1;
}

}  // namespace quelna::tls

int tls_init(void)
{
    return quelna::tls::init_with(quelna::tls::fns, [] { return RAND_poll(); });
}
