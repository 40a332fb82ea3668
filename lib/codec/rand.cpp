// Random octets for authenticators, identifiers and salts. They must never be predictable:
//  - the source is the kernel's /dev/urandom, read until the request is filled (short reads
//    and interruptions are repeated);
//  - when the device cannot be opened or read, OpenSSL's generator (seeded by the kernel)
//    fills in;
//  - small requests (a 16-octet authenticator, a 4-octet number) are served from a per-thread
//    pool refilled from the device in large reads, so a packet costs no system call. Served
//    octets are wiped from the pool, and a forked child drops the pool it inherited, so parent
//    and child never hand out the same octets.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>

#include <quelna/codec.h>

namespace {

constexpr size_t kPoolSize = 4096;
// Requests above this size bypass the pool: they would drain it for little gain.
constexpr size_t kPoolMax = 256;

std::atomic<int> random_fd{-1};

struct Pool {
    uint8_t buf[kPoolSize];
    size_t avail = 0;  // unserved octets are buf[kPoolSize - avail .. kPoolSize)
};
thread_local Pool pool;

void drop_pool_in_child() {
    OPENSSL_cleanse(pool.buf, sizeof pool.buf);
    pool.avail = 0;
}

void register_fork_handler() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, drop_pool_in_child); });
}

// The shared descriptor of /dev/urandom, opened on first use; -1 (with the message reported)
// when it cannot be opened, in which case the next call tries again.
int device() {
    int fd = random_fd.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        lr_strerror_printf("Error opening randomness: %s", std::strerror(errno));
        return -1;
    }
    int expected = -1;
    if (!random_fd.compare_exchange_strong(expected, fd, std::memory_order_acq_rel)) {
        close(fd);  // another thread opened it first
        return expected;
    }
    return fd;
}

// Fills all of buf[0..n) from the device, repeating short and interrupted reads.
bool read_device(int fd, uint8_t *buf, size_t n) {
    while (n > 0) {
        const ssize_t got = read(fd, buf, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buf += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// 1: filled from the device; 0: no device could be opened and OpenSSL did not help either;
// -1: the device failed to read and OpenSSL did not help either.
int fill(uint8_t *buf, size_t n) {
    const int fd = device();
    if (fd >= 0 && read_device(fd, buf, n)) return 1;
    if (n <= static_cast<size_t>(INT32_MAX) && RAND_bytes(buf, static_cast<int>(n)) == 1)
        return 1;
    return fd < 0 ? 0 : -1;
}

}  // namespace

extern "C" {

ssize_t lr_rand_bytes(uint8_t *buf, size_t n) {
    if (n == 0) return 0;
    if (n > kPoolMax) {
        const int r = fill(buf, n);
        return r == 1 ? static_cast<ssize_t>(n) : r;
    }
    if (pool.avail < n) {
        register_fork_handler();
        const int r = fill(pool.buf, kPoolSize);
        if (r != 1) return r;
        pool.avail = kPoolSize;
    }
    uint8_t *from = pool.buf + (kPoolSize - pool.avail);
    std::memcpy(buf, from, n);
    OPENSSL_cleanse(from, n);
    pool.avail -= n;
    return static_cast<ssize_t>(n);
}

uint32_t lr_rand(void) {
    uint32_t v = 0;
    if (lr_rand_bytes(reinterpret_cast<uint8_t *>(&v), sizeof v) == sizeof v) return v;
    // Neither the device nor OpenSSL answered: still never a fixed value.
    std::random_device rd;
    return static_cast<uint32_t>(rd());
}

}  // extern "C"
