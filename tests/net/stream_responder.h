// A small in-process RADIUS responder over loopback TCP or TLS, for what a real server will not
// do: answer one octet at a time, several packets in one segment, a bad length field, close or
// reset in the middle of a packet, stay silent.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "udp_responder.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace quelna::test {

class StreamResponder;

// One accepted stream, handed to the handler on the responder's thread. For TLS the handshake
// runs on first use of read_packet or write. Every wait gives up once the responder stops.
class StreamSession {
public:
    StreamSession(StreamResponder &owner, int fd, SSL_CTX *tls, int index);
    ~StreamSession();
    StreamSession(const StreamSession &) = delete;
    StreamSession &operator=(const StreamSession &) = delete;

    // 1 for the first stream the responder accepted, 2 for the second...
    int index() const { return index_; }
    // One RADIUS packet framed by its length field; nullopt once the client closed or on error.
    std::optional<Octets> read_packet();
    // Writes octets in one go (one TLS record); false on error.
    bool write(const Octets &octets);
    // Closes cleanly (TLS: close_notify first).
    void close();
    // Closes the socket without TLS's closing alert, as a server process that ends does.
    void drop();
    // Closes with a TCP reset.
    void reset();
    // Reads and discards (no TLS handshake) until the client closes or the responder stops.
    void wait_closed();

private:
    bool handshake();
    bool read_exact(uint8_t *buf, size_t n);
    // Waits for the socket to become ready for ev; false once the responder stops.
    bool wait(short ev);

    StreamResponder &owner_;
    int fd_;
    SSL *ssl_ = nullptr;
    bool handshaken_ = false;
    int index_;
};

class StreamResponder {
public:
    using Handler = std::function<void(StreamSession &)>;
    enum class Kind { Tcp, Tls };

    // Listens on 127.0.0.1 on a free port and serves one stream at a time until destroyed. A
    // TLS responder presents a self-signed certificate for localhost and 127.0.0.1.
    StreamResponder(Kind kind, Handler handler);
    ~StreamResponder();
    StreamResponder(const StreamResponder &) = delete;
    StreamResponder &operator=(const StreamResponder &) = delete;

    uint16_t port() const { return port_; }
    // PEM file of the certificate to trust (TLS only).
    static const std::string &ca_file();
    // Streams accepted so far.
    int streams() const { return streams_; }
    // Every request read so far, in order.
    std::vector<Octets> requests() const;
    bool stopping() const { return stop_; }

private:
    friend class StreamSession;
    void serve();
    void record(const Octets &request);

    int fd_ = -1;
    uint16_t port_ = 0;
    SSL_CTX *tls_ = nullptr;
    Handler handler_;
    std::atomic<bool> stop_{false};
    std::atomic<int> streams_{0};
    mutable std::mutex mu_;
    std::vector<Octets> requests_;
    std::thread thread_;
};

// A handler answering every request on the stream with an Access-Accept carrying a
// Reply-Message, signed with secret.
StreamResponder::Handler accept_all(const std::string &secret, const std::string &message);

}  // namespace quelna::test
