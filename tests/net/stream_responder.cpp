#include "stream_responder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace quelna::test {

namespace {

struct Identity {
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    std::string pem_path;
};

void add_ext(X509 *cert, int nid, const char *value)
{
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    if (!ext)
        throw std::runtime_error("certificate extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A self-signed certificate for localhost and 127.0.0.1, made once per process; its PEM file is
// the trust anchor the clients are given.
const Identity &identity()
{
    static const Identity id = [] {
        Identity i;
        i.key = EVP_EC_gen("P-256");
        i.cert = X509_new();
        if (!i.key || !i.cert)
            throw std::runtime_error("test identity");
        X509_set_version(i.cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(i.cert), 2083);
        X509_gmtime_adj(X509_getm_notBefore(i.cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(i.cert), 86400);
        X509_NAME *name = X509_get_subject_name(i.cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("localhost"), -1, -1,
                                   0);
        X509_set_issuer_name(i.cert, name);
        X509_set_pubkey(i.cert, i.key);
        add_ext(i.cert, NID_basic_constraints, "critical,CA:TRUE");
        add_ext(i.cert, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
        if (X509_sign(i.cert, i.key, EVP_sha256()) == 0)
            throw std::runtime_error("signing the test certificate");

        char path[] = "/tmp/quelna-stream-ca-XXXXXX";
        int fd = mkstemp(path);
        FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (!f || PEM_write_X509(f, i.cert) != 1)
            throw std::runtime_error("writing the test certificate");
        fclose(f);
        i.pem_path = path;
        static char to_remove[sizeof(path)];
        memcpy(to_remove, path, sizeof(path));
        std::atexit([] { unlink(to_remove); });
        return i;
    }();
    return id;
}

}  // namespace

StreamSession::StreamSession(StreamResponder &owner, int fd, SSL_CTX *tls, int index)
    : owner_(owner), fd_(fd), index_(index)
{
    if (tls) {
        ssl_ = SSL_new(tls);
        SSL_set_fd(ssl_, fd_);
    }
}

StreamSession::~StreamSession()
{
    if (ssl_)
        SSL_free(ssl_);
    if (fd_ >= 0)
        ::close(fd_);
}

bool StreamSession::wait(short ev)
{
    while (!owner_.stopping()) {
        pollfd pfd{fd_, ev, 0};
        int r = poll(&pfd, 1, 20);
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
    return false;
}

bool StreamSession::handshake()
{
    if (!ssl_ || handshaken_)
        return true;
    for (;;) {
        int r = SSL_accept(ssl_);
        if (r == 1)
            return handshaken_ = true;
        int err = SSL_get_error(ssl_, r);
        if (err == SSL_ERROR_WANT_READ && wait(POLLIN))
            continue;
        if (err == SSL_ERROR_WANT_WRITE && wait(POLLOUT))
            continue;
        return false;
    }
}

bool StreamSession::read_exact(uint8_t *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r;
        short ev = POLLIN;
        if (ssl_) {
            r = SSL_read(ssl_, buf + got, static_cast<int>(n - got));
            if (r <= 0) {
                int err = SSL_get_error(ssl_, static_cast<int>(r));
                if (err == SSL_ERROR_WANT_WRITE)
                    ev = POLLOUT;
                else if (err != SSL_ERROR_WANT_READ)
                    return false;
            }
        } else {
            r = recv(fd_, buf + got, n - got, 0);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
                return false;
        }
        if (r > 0)
            got += static_cast<size_t>(r);
        else if (!wait(ev))
            return false;
    }
    return true;
}

std::optional<Octets> StreamSession::read_packet()
{
    if (!handshake())
        return std::nullopt;
    Octets pkt(4);
    if (!read_exact(pkt.data(), 4))
        return std::nullopt;
    size_t len = static_cast<size_t>(pkt[2]) << 8 | pkt[3];
    if (len < 20 || len > 4096)
        return std::nullopt;
    pkt.resize(len);
    if (!read_exact(pkt.data() + 4, len - 4))
        return std::nullopt;
    owner_.record(pkt);
    return pkt;
}

bool StreamSession::write(const Octets &octets)
{
    if (!handshake())
        return false;
    size_t done = 0;
    while (done < octets.size()) {
        ssize_t r;
        short ev = POLLOUT;
        if (ssl_) {
            r = SSL_write(ssl_, octets.data() + done, static_cast<int>(octets.size() - done));
            if (r <= 0) {
                int err = SSL_get_error(ssl_, static_cast<int>(r));
                if (err == SSL_ERROR_WANT_READ)
                    ev = POLLIN;
                else if (err != SSL_ERROR_WANT_WRITE)
                    return false;
            }
        } else {
            r = send(fd_, octets.data() + done, octets.size() - done, MSG_NOSIGNAL);
            if (r < 0 && errno != EAGAIN && errno != EINTR)
                return false;
        }
        if (r > 0)
            done += static_cast<size_t>(r);
        else if (!wait(ev))
            return false;
    }
    return true;
}

void StreamSession::close()
{
    if (ssl_ && handshaken_)
        SSL_shutdown(ssl_);
    ::close(fd_);
    fd_ = -1;
}

void StreamSession::drop()
{
    ::close(fd_);
    fd_ = -1;
}

void StreamSession::reset()
{
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    ::close(fd_);
    fd_ = -1;
}

void StreamSession::wait_closed()
{
    uint8_t buf[512];
    while (wait(POLLIN)) {
        ssize_t r = recv(fd_, buf, sizeof(buf), 0);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
            return;
    }
}

StreamResponder::StreamResponder(Kind kind, Handler handler) : handler_(std::move(handler))
{
    if (kind == Kind::Tls) {
        const Identity &id = identity();
        tls_ = SSL_CTX_new(TLS_server_method());
        if (!tls_ || SSL_CTX_use_certificate(tls_, id.cert) != 1 ||
            SSL_CTX_use_PrivateKey(tls_, id.key) != 1)
            throw std::runtime_error("responder TLS context");
        SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(fd_, 8) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        throw std::runtime_error("responder socket: " + std::string(strerror(errno)));
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
}

StreamResponder::~StreamResponder()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0)
        ::close(fd_);
    SSL_CTX_free(tls_);
}

const std::string &StreamResponder::ca_file()
{
    return identity().pem_path;
}

std::vector<Octets> StreamResponder::requests() const
{
    std::lock_guard lock(mu_);
    return requests_;
}

void StreamResponder::record(const Octets &request)
{
    std::lock_guard lock(mu_);
    requests_.push_back(request);
}

void StreamResponder::serve()
{
    while (!stop_) {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0)
            continue;
        int s = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (s < 0)
            continue;
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        StreamSession session(*this, s, tls_, ++streams_);
        handler_(session);
    }
}

StreamResponder::Handler accept_all(const std::string &secret, const std::string &message)
{
    return [secret, message](StreamSession &s) {
        while (auto req = s.read_packet())
            s.write(make_response(*req, 2, attr(18, message), secret));
    };
}

}  // namespace quelna::test
