// A small in-process RADIUS responder over loopback TCP, TLS or DTLS, for what a real server will
// not do: answer one octet at a time, several packets in one segment, a bad length field, close
// or reset in the middle of a packet, stay silent, ignore a pre-shared key, present a
// certificate for another name.
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
    // Tls12: TLS limited to version 1.2. Dtls: DTLS 1.2 over UDP, one client at a time.
    enum class Kind { Tcp, Tls, Tls12, Dtls };
    struct TlsOptions {
        // Names of a certificate issued by the trusted CA to present instead of the CA's own
        // (empty: the CA's, for localhost and 127.0.0.1); san as OpenSSL's text, or "" for none.
        std::string cn, san;
        // When set, pre-shared-key handshakes with this identity and key are accepted too.
        std::string psk_identity, psk_key;
    };

    // Listens on 127.0.0.1 on a free port and serves one stream at a time until destroyed. A
    // TLS responder presents a self-signed certificate for localhost and 127.0.0.1.
    StreamResponder(Kind kind, Handler handler, const TlsOptions &tls = {});
    ~StreamResponder();
    StreamResponder(const StreamResponder &) = delete;
    StreamResponder &operator=(const StreamResponder &) = delete;

    uint16_t port() const { return port_; }
    // PEM file of the certificate to trust (TLS only).
    static const std::string &ca_file();
    // PEM file of a CA that issued none of the responders' certificates.
    static const std::string &other_ca_file();
    // Streams accepted so far.
    int streams() const { return streams_; }
    // Every request read so far, in order.
    std::vector<Octets> requests() const;
    bool stopping() const { return stop_; }
    // The server name the last TLS client asked for ("" for none).
    std::string server_name() const;

private:
    friend class StreamSession;
    void serve();
    void record(const Octets &request);
    // The next stream: an accepted TCP connection, or for DTLS the socket connected to the
    // client whose datagram waits. -1 when there is none yet.
    int next_stream();
    // Records the name a client hello asks for (OpenSSL's server-name callback).
    static int on_server_name(SSL *ssl, int *alert, void *arg);

    Kind kind_;
    TlsOptions opts_;
    std::string server_name_;
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
