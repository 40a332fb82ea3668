/**
 * A real RADIUS server on loopback for integration tests: FreeRADIUS started by
 * scripts/radius-peer from a private configuration in a fresh temporary directory.
 *
 * Listeners (all on 127.0.0.1 unless said otherwise; ports are chosen free at start, so ctest -j
 * and parallel builds do not collide):
 *   AuthUdp          UDP, Access-Request and Status-Server, secret secret() ("testing123")
 *   AcctUdp          UDP, Accounting-Request, secret secret()
 *   AuthUdp6         UDP on ::1, like AuthUdp; port 0 when the host has no IPv6 loopback
 *   Tcp              RFC 6613 TCP, authentication and accounting, secret secret()
 *   Tls              RFC 6614 TLS 1.2/1.3, server certificate for "localhost" (subjectAltName
 *                    DNS:localhost, IP:127.0.0.1) from ca_file(); a client certificate
 *                    (client_cert()/client_key(), same CA) is REQUIRED; secret tls_secret()
 *                    ("radsec")
 *   TlsNoClientCert  as Tls, client certificate not required
 *   TlsWrongHost     as TlsNoClientCert, but the certificate (same CA) names only wrong_host()
 *                    ("wrong.example"): a client checking for "localhost" must refuse it
 *   TlsRogue         as TlsNoClientCert, certificate for "localhost" issued by rogue_ca_file(),
 *                    a CA the client does not trust
 *   TlsPskHex        TLS-PSK (TLS 1.2 only, PSK cipher suites, no certificates), identity
 *                    psk_identity(), key = the octets written in hex by psk_hex()
 *   TlsPskText       TLS-PSK like TlsPskHex, key = the octets of the printable text psk_text()
 *   TcpIdle          as Tcp, but the server closes a stream that has been idle for a second
 *                    (it looks every few seconds: the close comes within about 5 s)
 *   TlsIdle          as TlsNoClientCert, closing idle streams like TcpIdle
 * Over TLS and TLS-PSK every request is signed with tls_secret(); the server silently drops a
 * request signed with another secret. Each client may keep 256 streams open; streams are not
 * closed for being idle, except on TcpIdle and TlsIdle.
 *
 * Users (files module; CHAP-Password works for each, as well as User-Password):
 *   bob / "hello"      Access-Accept with Reply-Message "Hello, bob"
 *   signer / "signpw"  Access-Accept with Message-Authenticator and
 *                      Reply-Message "Signed reply for signer"
 *   rich / "richpw"    Access-Accept with Reply-Message "Rich reply", Framed-IP-Address
 *                      192.0.2.10, Session-Timeout 3600, Class 0x71756c6e61 ("quelna"),
 *                      Tunnel-Type:1 VLAN (13), Tunnel-Medium-Type:1 IEEE-802 (6),
 *                      Tunnel-Private-Group-Id:1 "42", Tunnel-Password:1 "tunnel-secret",
 *                      and one Vendor-Specific holding three Lucent sub-attributes:
 *                      Lucent-Max-Shared-Users 4, Lucent-PPP-Circuit-Name "quelna",
 *                      Lucent-Traffic-Descriptor-Name "td"
 *   load-N / "loadpw"  (any number N) Access-Accept with Reply-Message "Hello, load-N", so
 *                      that each answer of a load run names its request
 *   a known user with a wrong password: Access-Reject that still carries the user's
 *                      Reply-Message (and, for signer, a Message-Authenticator)
 *   an unknown user: Access-Reject with no attributes
 * Rejects are sent at once (no reject delay).
 * Accounting-Request gets an Accounting-Response on AcctUdp, Tcp and the TLS listeners.
 * Status-Server (with Message-Authenticator, RFC 5997) gets Access-Accept on the auth listeners.
 * Replies carry no Message-Authenticator unless the user is signer.
 *
 * Starting takes about a second; share one server per test program with shared(). Under CTest,
 * tests that carry QUELNA_RADIUS_PEER_TEST_PROPERTIES (see tests/support/CMakeLists.txt) share
 * one server for the whole run instead: shared() then attaches to it.
 */
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace quelna::test {

/** The listeners of a RadiusPeer; see the file comment. */
enum class Listener {
  AuthUdp,
  AcctUdp,
  AuthUdp6,
  Tcp,
  Tls,
  TlsNoClientCert,
  TlsWrongHost,
  TlsRogue,
  TlsPskHex,
  TlsPskText,
  TcpIdle,
  TlsIdle,
};

/**
 * A running loopback FreeRADIUS. Destroying an object made by start() stops the server and
 * removes its directory; one made by attach() leaves the server alone.
 */
class RadiusPeer {
 public:
  /**
   * Starts a server in a fresh directory under $TMPDIR (or /tmp). Returns null and writes the
   * reason (with the end of the server's log) to *why when it cannot. The server also stops by
   * itself shortly after this process ends, even if the destructor never runs.
   */
  static std::unique_ptr<RadiusPeer> start(std::string *why);

  /**
   * The server shared by the whole test program: started on first call, stopped at exit. When
   * the environment names a running server's ports.env in QUELNA_RADIUS_PEER_ENV (CTest sets it
   * for tests that use the shared fixture), that one is used and left running. Returns null
   * (and the reason in *why, each call) if there is no server; later calls do not try again.
   */
  static RadiusPeer *shared(std::string *why);

  /** Uses the running server described by `env_path` (a ports.env) without owning it. */
  static std::unique_ptr<RadiusPeer> attach(const std::string &env_path, std::string *why);

  ~RadiusPeer();
  RadiusPeer(const RadiusPeer &) = delete;
  RadiusPeer &operator=(const RadiusPeer &) = delete;

  /** Port of a listener; 0 for AuthUdp6 when the host has no IPv6 loopback. */
  uint16_t port(Listener which) const;
  /** True when AuthUdp6 is up. */
  bool has_ipv6() const { return port(Listener::AuthUdp6) != 0; }

  /** Shared secret of the UDP and TCP listeners ("testing123"). */
  const std::string &secret() const { return value("SECRET"); }
  /** Shared secret inside TLS and TLS-PSK ("radsec"). */
  const std::string &tls_secret() const { return value("TLS_SECRET"); }
  /** TLS-PSK identity of both PSK listeners. */
  const std::string &psk_identity() const { return value("PSK_ID"); }
  /** Key of TlsPskHex as hex text (64 digits, 32 octets). */
  const std::string &psk_hex() const { return value("PSK_HEX"); }
  /** Key of TlsPskText as printable text (its octets are the key). */
  const std::string &psk_text() const { return value("PSK_TEXT"); }
  /** PEM file of the test CA that issued the server and client certificates. */
  const std::string &ca_file() const { return value("CA_PEM"); }
  /** PEM file of the "localhost" server certificate. */
  const std::string &server_cert() const { return value("SERVER_PEM"); }
  /** PEM files of the client certificate and its unencrypted key. */
  const std::string &client_cert() const { return value("CLIENT_PEM"); }
  const std::string &client_key() const { return value("CLIENT_KEY"); }
  /** PEM file of the CA that issued TlsRogue's certificate. */
  const std::string &rogue_ca_file() const { return value("ROGUE_CA_PEM"); }
  /** The only host name in TlsWrongHost's certificate ("wrong.example"). */
  const std::string &wrong_host() const { return value("WRONG_HOST"); }
  /** The server's private directory and its log file. */
  const std::string &dir() const { return dir_; }
  const std::string &log_file() const { return value("LOG"); }
  /** Process id of the server. */
  int pid() const { return pid_; }

  /** The last `lines` lines of the server's log, for failure messages. */
  std::string log_tail(int lines = 20) const;

  /** A ports.env entry by name (empty if absent). */
  const std::string &value(const std::string &key) const;

 private:
  RadiusPeer() = default;
  bool load(const std::string &env_path, std::string *why);
  void stop();

  std::string dir_;
  std::map<std::string, std::string> env_;
  int pid_ = 0;
  bool owned_ = false;  // started by us: the destructor stops it and removes dir_
};

}  // namespace quelna::test
