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

// A certificate for key with the given names, signed by issuer_key (issuer: null for a
// self-signed one); san "" for none.
X509 *make_cert(EVP_PKEY *key, const char *cn, const std::string &san, X509 *issuer,
                EVP_PKEY *issuer_key)
{
    X509 *cert = X509_new();
    if (!cert)
        throw std::runtime_error("test certificate");
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), issuer ? 2084 : 2083);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(cn), -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(cert, key);
    add_ext(cert, NID_basic_constraints, issuer ? "critical,CA:FALSE" : "critical,CA:TRUE");
    if (!san.empty())
        add_ext(cert, NID_subject_alt_name, san.c_str());
    if (X509_sign(cert, issuer_key, EVP_sha256()) == 0)
        throw std::runtime_error("signing the test certificate");
    return cert;
}

// Writes cert to a temporary PEM file removed at exit; its path.
std::string pem_file(X509 *cert)
{
    char path[] = "/tmp/quelna-stream-ca-XXXXXX";
    int fd = mkstemp(path);
    FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!f || PEM_write_X509(f, cert) != 1)
        throw std::runtime_error("writing the test certificate");
    fclose(f);
    static std::vector<std::string> to_remove;
    if (to_remove.empty())
        std::atexit([] {
            for (const auto &p : to_remove)
                unlink(p.c_str());
        });
    to_remove.push_back(path);
    return path;
}

// A self-signed CA certificate for localhost and 127.0.0.1, made once per process (two: the
// second is the CA nobody uses); its PEM file is the trust anchor the clients are given.
const Identity &identity(int which = 0)
{
    static const auto make = [] {
        Identity i;
        i.key = EVP_EC_gen("P-256");
        if (!i.key)
            throw std::runtime_error("test identity");
        i.cert = make_cert(i.key, "quelna test CA", "DNS:localhost,IP:127.0.0.1", nullptr, i.key);
        i.pem_path = pem_file(i.cert);
        return i;
    };
    static const Identity ids[2] = {make(), make()};
    return ids[which];
}

unsigned int psk_server_cb(SSL *ssl, const char *identity, unsigned char *psk,
                           unsigned int max_psk_len)
{
    auto *opts = static_cast<const StreamResponder::TlsOptions *>(
        SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!identity || opts->psk_identity != identity || opts->psk_key.size() > max_psk_len)
        return 0;
    memcpy(psk, opts->psk_key.data(), opts->psk_key.size());
    return static_cast<unsigned int>(opts->psk_key.size());
}

SSL_CTX *server_context(StreamResponder::Kind kind, const StreamResponder::TlsOptions &opts)
{
    using Kind = StreamResponder::Kind;
    const Identity &id = identity();
    const bool dtls = kind == Kind::Dtls;
    SSL_CTX *ctx = SSL_CTX_new(dtls ? DTLS_server_method() : TLS_server_method());
    X509 *leaf = opts.cn.empty() ? nullptr : make_cert(id.key, opts.cn.c_str(), opts.san,
                                                       id.cert, id.key);
    if (!ctx || SSL_CTX_use_certificate(ctx, leaf ? leaf : id.cert) != 1 ||
        SSL_CTX_use_PrivateKey(ctx, id.key) != 1)
        throw std::runtime_error("responder TLS context");
    X509_free(leaf);
    SSL_CTX_set_min_proto_version(ctx, dtls ? DTLS1_2_VERSION : TLS1_2_VERSION);
    // No session tickets: written after the handshake, they would meet a client that has
    // already refused the server and closed (SIGPIPE in this process).
    SSL_CTX_set_num_tickets(ctx, 0);
    if (kind == Kind::Tls12)
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    if (!opts.psk_identity.empty()) {
        SSL_CTX_set_app_data(ctx, const_cast<StreamResponder::TlsOptions *>(&opts));
        SSL_CTX_set_psk_server_callback(ctx, psk_server_cb);
        SSL_CTX_set_cipher_list(ctx, "DEFAULT:PSK");
    }
    return ctx;
}

}  // namespace

StreamSession::StreamSession(StreamResponder &owner, int fd, SSL_CTX *tls, int index)
    : owner_(owner), fd_(fd), index_(index)
{
    if (tls) {
        ssl_ = SSL_new(tls);
        if (SSL_is_dtls(ssl_)) {
            // The socket is connected to the client; replies go back to where it came from.
            BIO *bio = BIO_new_dgram(fd_, BIO_NOCLOSE);
            SSL_set_bio(ssl_, bio, bio);
        } else {
            SSL_set_fd(ssl_, fd_);
        }
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

StreamResponder::StreamResponder(Kind kind, Handler handler, const TlsOptions &tls)
    : kind_(kind), opts_(tls), handler_(std::move(handler))
{
    if (kind != Kind::Tcp) {
        tls_ = server_context(kind, opts_);
        SSL_CTX_set_tlsext_servername_callback(tls_, on_server_name);
        SSL_CTX_set_tlsext_servername_arg(tls_, this);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    const bool dgram = kind == Kind::Dtls;
    fd_ = socket(AF_INET, (dgram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
        (!dgram && listen(fd_, 8) != 0) ||
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

const std::string &StreamResponder::other_ca_file()
{
    return identity(1).pem_path;
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

int StreamResponder::on_server_name(SSL *ssl, int * /*alert*/, void *arg)
{
    auto *self = static_cast<StreamResponder *>(arg);
    const char *name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    std::lock_guard lock(self->mu_);
    self->server_name_ = name ? name : "";
    return SSL_TLSEXT_ERR_OK;
}

std::string StreamResponder::server_name() const
{
    std::lock_guard lock(mu_);
    return server_name_;
}

int StreamResponder::next_stream()
{
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, 20) <= 0)
        return -1;
    if (kind_ != Kind::Dtls) {
        int s = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        int one = 1;
        if (s >= 0)
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        return s;
    }
    // The client of the datagram waiting is served until its session ends.
    sockaddr_storage from{};
    socklen_t fromlen = sizeof(from);
    uint8_t first;
    if (recvfrom(fd_, &first, 1, MSG_PEEK, reinterpret_cast<sockaddr *>(&from), &fromlen) < 0 ||
        connect(fd_, reinterpret_cast<sockaddr *>(&from), fromlen) != 0)
        return -1;
    int s = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    fcntl(s, F_SETFL, O_NONBLOCK);
    return s;
}

void StreamResponder::serve()
{
    while (!stop_) {
        int s = next_stream();
        if (s < 0)
            continue;
        {
            StreamSession session(*this, s, tls_, ++streams_);
            handler_(session);
        }
        if (kind_ == Kind::Dtls) {
            sockaddr unspec{};
            unspec.sa_family = AF_UNSPEC;
            connect(fd_, &unspec, sizeof(unspec));
        }
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
