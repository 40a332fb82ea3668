#include "responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace quelna::bench {

namespace {

constexpr uint8_t access_request = 1, access_accept = 2;
constexpr uint8_t attr_user_name = 1, attr_user_password = 2, attr_reply_message = 18,
                  attr_message_authenticator = 80;
constexpr char reply_message[] = "Hello, bob";
constexpr uint8_t zeros[16] = {};

[[noreturn]] void die(const char *what)
{
    fprintf(stderr, "responder set-up failed: %s (%s)\n", what, strerror(errno));
    exit(1);
}

size_t packet_length(const uint8_t *pkt) { return static_cast<size_t>(pkt[2]) << 8 | pkt[3]; }

// Where the Message-Authenticator and User-Password values sit (0: absent); false when the
// attributes do not fill the packet exactly.
struct Found {
    size_t mac = 0, password = 0, password_len = 0;
};

bool scan(const uint8_t *pkt, size_t len, Found &found)
{
    for (size_t at = 20; at < len; at += pkt[at + 1]) {
        if (len - at < 2 || pkt[at + 1] < 2 || pkt[at + 1] > len - at)
            return false;
        if (pkt[at] == attr_message_authenticator) {
            if (pkt[at + 1] != 18)
                return false;
            found.mac = at + 2;
        } else if (pkt[at] == attr_user_password) {
            found.password = at + 2;
            found.password_len = pkt[at + 1] - 2u;
        }
    }
    return true;
}

// Code, identifier and length, an empty Message-Authenticator (the first attribute) and one
// text attribute; where the next attribute goes.
uint8_t *begin_packet(uint8_t *out, uint8_t code, uint8_t id, size_t len, uint8_t attr,
                      std::string_view text)
{
    out[0] = code;
    out[1] = id;
    out[2] = 0;
    out[3] = static_cast<uint8_t>(len);
    uint8_t *a = out + 20;
    a[0] = attr_message_authenticator;
    a[1] = 18;
    a[18] = attr;
    a[19] = static_cast<uint8_t>(2 + text.size());
    memcpy(a + 20, text.data(), text.size());
    return a + 20 + text.size();
}

// A loopback socket of type bound to a free port, with the port.
int bound_socket(int type, uint16_t &port)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
        (type == SOCK_STREAM && listen(fd, 16) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        die("responder socket");
    port = ntohs(a.sin_port);
    return fd;
}

}  // namespace

Signer::Signer(std::string secret) : secret_(std::move(secret))
{
    uint8_t key[64] = {};
    if (secret_.size() > sizeof(key))
        MD5(reinterpret_cast<const uint8_t *>(secret_.data()), secret_.size(), key);
    else
        memcpy(key, secret_.data(), secret_.size());
    uint8_t ipad[64], opad[64];
    for (size_t i = 0; i < sizeof(key); i++) {
        ipad[i] = key[i] ^ 0x36;
        opad[i] = key[i] ^ 0x5c;
    }
    MD5_Init(&inner_);
    MD5_Update(&inner_, ipad, sizeof(ipad));
    MD5_Init(&outer_);
    MD5_Update(&outer_, opad, sizeof(opad));
    MD5_Init(&keyed_);
    MD5_Update(&keyed_, secret_.data(), secret_.size());
}

void Signer::hmac(const uint8_t *pkt, size_t len, const uint8_t *auth, size_t mac,
                  uint8_t *out) const
{
    MD5_CTX c = inner_;
    MD5_Update(&c, pkt, 4);
    MD5_Update(&c, auth, 16);
    MD5_Update(&c, pkt + 20, mac - 20);
    MD5_Update(&c, zeros, 16);
    MD5_Update(&c, pkt + mac + 16, len - mac - 16);
    uint8_t inner[16];
    MD5_Final(inner, &c);
    c = outer_;
    MD5_Update(&c, inner, sizeof(inner));
    MD5_Final(out, &c);
}

void Signer::response_auth(const uint8_t *pkt, size_t len, const uint8_t *auth,
                           uint8_t *out) const
{
    MD5_CTX c;
    MD5_Init(&c);
    MD5_Update(&c, pkt, 4);
    MD5_Update(&c, auth, 16);
    MD5_Update(&c, pkt + 20, len - 20);
    MD5_Update(&c, secret_.data(), secret_.size());
    MD5_Final(out, &c);
}

void Signer::make_request(uint8_t id, const uint8_t *auth, uint8_t *out) const
{
    uint8_t *a = begin_packet(out, access_request, id, request_len, attr_user_name, user_name);
    memcpy(out + 4, auth, 16);
    a[0] = attr_user_password;
    a[1] = 18;
    // RFC 2865 §5.2: one block, XORed with MD5(secret | Request Authenticator).
    MD5_CTX c = keyed_;
    MD5_Update(&c, auth, 16);
    uint8_t b[16];
    MD5_Final(b, &c);
    for (size_t i = 0; i < 16; i++)
        a[2 + i] = (i < sizeof(user_password) - 1 ? user_password[i] : 0) ^ b[i];
    hmac(out, request_len, auth, 22, out + 22);
}

bool Signer::check_request(const uint8_t *pkt, size_t len) const
{
    Found f;
    if (len < 20 || len > 4096 || pkt[0] != access_request || packet_length(pkt) != len ||
        !scan(pkt, len, f) || !f.mac)
        return false;
    uint8_t want[16];
    hmac(pkt, len, pkt + 4, f.mac, want);
    if (memcmp(want, pkt + f.mac, 16) != 0)
        return false;
    if (!f.password)
        return true;
    if (f.password_len != 16)
        return false;
    MD5_CTX c = keyed_;
    MD5_Update(&c, pkt + 4, 16);
    MD5_Final(want, &c);
    for (size_t i = 0; i < 16; i++)
        if ((pkt[f.password + i] ^ want[i]) !=
            (i < sizeof(user_password) - 1 ? user_password[i] : 0))
            return false;
    return true;
}

void Signer::make_answer(const uint8_t *req, uint8_t *out) const
{
    begin_packet(out, access_accept, req[1], answer_len, attr_reply_message, reply_message);
    // RFC 3579 §3.2: the Message-Authenticator over the answer with the request's
    // authenticator, then the Response Authenticator over that.
    hmac(out, answer_len, req + 4, 22, out + 22);
    response_auth(out, answer_len, req + 4, out + 4);
}

bool Signer::check_answer(const uint8_t *pkt, size_t len, const uint8_t *req_auth) const
{
    Found f;
    if (len < 20 || packet_length(pkt) != len || !scan(pkt, len, f) || !f.mac)
        return false;
    uint8_t want[16];
    response_auth(pkt, len, req_auth, want);
    if (memcmp(want, pkt + 4, 16) != 0)
        return false;
    hmac(pkt, len, req_auth, f.mac, want);
    return memcmp(want, pkt + f.mac, 16) == 0;
}

int connected_socket(int type, uint16_t port)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

Responder::~Responder()
{
    if (fd_ >= 0)
        close(fd_);
}

void Responder::start()
{
    thread_ = std::thread([this] { serve(); });
    pthread_setname_np(thread_.native_handle(), "responder");  // for profiles of the client
}

void Responder::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void Responder::pin(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(thread_.native_handle(), sizeof(set), &set);
}

UdpResponder::UdpResponder()
{
    fd_ = bound_socket(SOCK_DGRAM, port_);
    // Room for the bursts of many clients' requests: the default buffer holds about 256 small
    // datagrams.
    int room = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    start();
}

UdpResponder::~UdpResponder() { stop(); }

void UdpResponder::serve()
{
    constexpr unsigned batch = 64;
    // Allocated once, when the thread starts.
    std::vector<uint8_t> in_buf(batch * 4096), out_buf(batch * answer_len);
    auto in = [&](unsigned i) { return in_buf.data() + i * 4096; };
    auto out = [&](unsigned i) { return out_buf.data() + i * answer_len; };
    sockaddr_storage from[batch];
    iovec in_iov[batch], out_iov[batch];
    mmsghdr in_msg[batch], out_msg[batch];
    for (unsigned i = 0; i < batch; i++) {
        in_iov[i] = {in(i), 4096};
        out_iov[i] = {out(i), answer_len};
        in_msg[i] = {};
        in_msg[i].msg_hdr.msg_iov = &in_iov[i];
        in_msg[i].msg_hdr.msg_iovlen = 1;
        in_msg[i].msg_hdr.msg_name = &from[i];
        out_msg[i] = {};
        out_msg[i].msg_hdr.msg_iovlen = 1;
    }
    while (!stop_) {
        for (auto &m : in_msg)
            m.msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        int n = recvmmsg(fd_, in_msg, batch, MSG_DONTWAIT, nullptr);
        if (n <= 0) {
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, 50);
            continue;
        }
        unsigned answers = 0;
        for (unsigned i = 0; i < static_cast<unsigned>(n); i++) {
            if (!signer_.check_request(in(i), in_msg[i].msg_len)) {
                counts_.refused++;
                continue;
            }
            signer_.make_answer(in(i), out(answers));
            auto &h = out_msg[answers].msg_hdr;
            h.msg_name = &from[i];
            h.msg_namelen = in_msg[i].msg_hdr.msg_namelen;
            h.msg_iov = &out_iov[answers++];
        }
        for (unsigned sent = 0; sent < answers;) {
            int r = sendmmsg(fd_, out_msg + sent, answers - sent, 0);
            if (r <= 0)
                break;
            sent += static_cast<unsigned>(r);
        }
        counts_.answered += answers;
    }
}

struct StreamResponder::Stream {
    int fd;
    SSL *ssl;
    bool handshaken = false, want_write = false, done = false;
    std::vector<uint8_t> in = std::vector<uint8_t>(65536);
    size_t have = 0;
    std::vector<uint8_t> out;
    size_t sent = 0;

    Stream(int fd_, SSL *ssl_) : fd(fd_), ssl(ssl_) { out.reserve(65536); }
    ~Stream()
    {
        SSL_free(ssl);
        close(fd);
    }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    // Octets moved (> 0), 0 when the socket would block, -1 when the stream has ended.
    ssize_t io(bool writing, uint8_t *buf, size_t n)
    {
        if (ssl) {
            int r = writing ? SSL_write(ssl, buf, static_cast<int>(n))
                            : SSL_read(ssl, buf, static_cast<int>(n));
            if (r > 0)
                return r;
            int e = SSL_get_error(ssl, r);
            return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? 0 : -1;
        }
        ssize_t r = writing ? send(fd, buf, n, MSG_NOSIGNAL) : recv(fd, buf, n, 0);
        if (r > 0)
            return r;
        return r < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }
};

StreamResponder::StreamResponder(SSL_CTX *tls_ctx) : tls_(tls_ctx)
{
    fd_ = bound_socket(SOCK_STREAM, port_);
    start();
}

StreamResponder::~StreamResponder() { stop(); }

bool StreamResponder::step(Stream &s)
{
    if (s.ssl && !s.handshaken) {
        int r = SSL_do_handshake(s.ssl);
        if (r != 1) {
            int e = SSL_get_error(s.ssl, r);
            s.want_write = e == SSL_ERROR_WANT_WRITE;
            return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
        }
        s.handshaken = true;
    }
    for (bool full = true; full;) {
        ssize_t r = 1;
        while (s.have < s.in.size() && (r = s.io(false, s.in.data() + s.have,
                                                 s.in.size() - s.have)) > 0)
            s.have += static_cast<size_t>(r);
        if (r < 0)
            return false;
        full = s.have == s.in.size();
        size_t at = 0;
        while (s.have - at >= 4) {
            const uint8_t *req = s.in.data() + at;
            size_t len = packet_length(req);
            if (len < 20 || len > 4096)
                return false;
            if (s.have - at < len)
                break;
            if (signer_.check_request(req, len)) {
                s.out.resize(s.out.size() + answer_len);
                signer_.make_answer(req, s.out.data() + s.out.size() - answer_len);
                counts_.answered++;
            } else {
                counts_.refused++;
            }
            at += len;
        }
        memmove(s.in.data(), s.in.data() + at, s.have - at);
        s.have -= at;
    }
    while (s.sent < s.out.size()) {
        ssize_t r = s.io(true, s.out.data() + s.sent, s.out.size() - s.sent);
        if (r < 0)
            return false;
        if (r == 0)
            break;
        s.sent += static_cast<size_t>(r);
    }
    if (s.sent == s.out.size()) {
        s.out.clear();
        s.sent = 0;
    }
    s.want_write = !s.out.empty();
    return true;
}

void StreamResponder::serve()
{
    std::vector<std::unique_ptr<Stream>> streams;
    std::vector<pollfd> fds;
    while (!stop_) {
        fds.assign(1, pollfd{fd_, POLLIN, 0});
        for (const auto &s : streams)
            fds.push_back({s->fd, static_cast<short>(POLLIN | (s->want_write ? POLLOUT : 0)), 0});
        if (poll(fds.data(), fds.size(), 50) <= 0)
            continue;
        for (size_t i = 1; i < fds.size(); i++)
            if (fds[i].revents && !step(*streams[i - 1]))
                streams[i - 1]->done = true;
        std::erase_if(streams, [](const auto &s) { return s->done; });
        if (!(fds[0].revents & POLLIN))
            continue;
        int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        SSL *ssl = nullptr;
        if (tls_) {
            ssl = SSL_new(tls_);
            SSL_set_fd(ssl, fd);
            SSL_set_accept_state(ssl);
            SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        }
        streams.push_back(std::make_unique<Stream>(fd, ssl));
    }
}

TlsIdentity::TlsIdentity()
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    if (!key || !cert)
        die("TLS identity");
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                              std::pair{NID_subject_alt_name, "IP:127.0.0.1"}}) {
        X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
        if (!ext || X509_add_ext(cert, ext, -1) != 1)
            die("certificate extension");
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(cert, key, EVP_sha256()) == 0)
        die("signing the certificate");

    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || SSL_CTX_use_certificate(ctx_, cert) != 1 ||
        SSL_CTX_use_PrivateKey(ctx_, key) != 1)
        die("server TLS context");
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_num_tickets(ctx_, 0);

    char path[] = "/tmp/quelna-async-bench-ca-XXXXXX";
    int fd = mkstemp(path);
    FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!f || PEM_write_X509(f, cert) != 1)
        die("writing the certificate");
    fclose(f);
    ca_file_ = path;
    X509_free(cert);
    EVP_PKEY_free(key);
}

TlsIdentity::~TlsIdentity()
{
    unlink(ca_file_.c_str());
    SSL_CTX_free(ctx_);
}

}  // namespace quelna::bench
