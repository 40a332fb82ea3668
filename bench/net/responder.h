// The RADIUS work of the network benchmarks, done with low-level MD5 apart from the library: an
// Access-Request signed and hidden as a client does it, an Access-Accept signed as a server does
// it, the checks of both, and responder threads that verify every request and sign every answer
// over UDP (batched receives and sends), TCP and TLS (a self-signed certificate).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

typedef struct ssl_ctx_st SSL_CTX;

namespace quelna::bench {

// The request: Message-Authenticator first (as the library puts it), User-Name, User-Password.
constexpr size_t request_len = 20 + 18 + 5 + 18;
// The answer: Message-Authenticator, then Reply-Message "Hello, bob".
constexpr size_t answer_len = 20 + 18 + 12;
constexpr char user_name[] = "bob";
constexpr char user_password[] = "hello";
constexpr char shared_secret[] = "bench-secret";

// Signs and checks with one shared secret; the HMAC pads and the secret's hash state are
// computed once, as a fast client or server keeps them.
class Signer {
public:
    explicit Signer(std::string secret);

    // A request with identifier id and Request Authenticator auth into out (request_len octets).
    void make_request(uint8_t id, const uint8_t *auth, uint8_t *out) const;
    // An Access-Request of any layout: well formed, Message-Authenticator present and right,
    // User-Password (when present) the expected one.
    bool check_request(const uint8_t *pkt, size_t len) const;
    // The Access-Accept to req into out (answer_len octets).
    void make_answer(const uint8_t *req, uint8_t *out) const;
    // An answer to the request whose authenticator is req_auth: Response Authenticator and
    // Message-Authenticator right.
    bool check_answer(const uint8_t *pkt, size_t len, const uint8_t *req_auth) const;

private:
    // HMAC-MD5 over pkt with its authenticator field read as auth and the 16 octets at mac
    // read as zeros.
    void hmac(const uint8_t *pkt, size_t len, const uint8_t *auth, size_t mac, uint8_t *out) const;
    // MD5(pkt with authenticator auth | secret): the Response Authenticator.
    void response_auth(const uint8_t *pkt, size_t len, const uint8_t *auth, uint8_t *out) const;

    std::string secret_;
    MD5_CTX inner_, outer_, keyed_;  // after the HMAC pads; after the secret (hiding)
};

// A loopback socket of type connected to port, or -1.
int connected_socket(int type, uint16_t port);

// What a responder did: answers sent, requests refused (malformed, badly signed).
struct ResponderCounts {
    std::atomic<uint64_t> answered{0}, refused{0};
};

// A responder thread; pin moves it to one CPU.
class Responder {
public:
    virtual ~Responder();
    Responder(const Responder &) = delete;
    Responder &operator=(const Responder &) = delete;
    uint16_t port() const { return port_; }
    const ResponderCounts &counts() const { return counts_; }
    void pin(int cpu);

protected:
    Responder() = default;
    void start();
    // Derived destructors stop the thread before their members go.
    void stop();
    virtual void serve() = 0;

    int fd_ = -1;
    uint16_t port_ = 0;
    Signer signer_{shared_secret};
    ResponderCounts counts_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Datagrams, up to 64 per recvmmsg and sendmmsg; nothing is allocated per request.
class UdpResponder : public Responder {
public:
    UdpResponder();
    ~UdpResponder() override;

private:
    void serve() override;
};

// Streams over TCP, or TLS with tls_ctx (owned by the caller): any number at once, every whole
// request in what one read brings answered, and the answers written together.
class StreamResponder : public Responder {
public:
    explicit StreamResponder(SSL_CTX *tls_ctx = nullptr);
    ~StreamResponder() override;

private:
    struct Stream;
    void serve() override;
    // Reads, answers and writes what it can; false once the stream is done.
    bool step(Stream &s);

    SSL_CTX *tls_;
};

// A self-signed P-256 certificate for 127.0.0.1, its server context and the PEM file a client
// trusts (removed on destruction).
class TlsIdentity {
public:
    TlsIdentity();
    ~TlsIdentity();
    TlsIdentity(const TlsIdentity &) = delete;
    TlsIdentity &operator=(const TlsIdentity &) = delete;
    SSL_CTX *server_ctx() const { return ctx_; }
    const std::string &ca_file() const { return ca_file_; }

private:
    SSL_CTX *ctx_ = nullptr;
    std::string ca_file_;
};

}  // namespace quelna::bench
