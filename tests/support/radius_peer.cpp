// Runs scripts/radius-peer and reads the ports and secrets it reports.
#include "support/radius_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <vector>

extern char **environ;

namespace quelna::test {
namespace {

constexpr std::string_view kScript = QUELNA_RADIUS_PEER_SCRIPT;
constexpr int kStartSeconds = 90;  // the script itself gives up well before this
constexpr int kStopSeconds = 30;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Runs `bash SCRIPT args...` with stdin from /dev/null and stdout+stderr collected into *output.
// Returns the exit status, or -1 when it could not run or did not end in time (then killed).
int run_script(const std::vector<std::string> &args, int timeout_s, std::string *output) {
  std::vector<std::string> words{"bash", std::string(kScript)};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *output = std::string("pipe: ") + std::strerror(errno);
    return -1;
  }
  Fd rd(pipe_fds[0]), wr(pipe_fds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, wr.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, wr.get(), 2);
  pid_t child = 0;
  int rc = ::posix_spawnp(&child, "bash", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  wr.reset();
  if (rc != 0) {
    *output = std::string("cannot run bash: ") + std::strerror(rc);
    return -1;
  }

  // Read until the script and everything it left running has closed the pipe.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  bool timed_out = false;
  std::array<char, 4096> buf;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{rd.get(), POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      timed_out = n == 0;
      break;
    }
    ssize_t got = ::read(rd.get(), buf.data(), buf.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    output->append(buf.data(), static_cast<size_t>(got));
  }
  if (timed_out) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (timed_out) {
    *output += "\n(radius-peer did not finish within " + std::to_string(timeout_s) + " s)";
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A fresh private directory whose path the script accepts (letters, digits, ._/+-).
std::string make_temp_dir(std::string *why) {
  std::string base = "/tmp";
  if (const char *t = std::getenv("TMPDIR"); t && *t) {
    std::string_view tv(t);
    if (tv.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._/+-") ==
        std::string_view::npos)
      base = tv;
  }
  std::string tmpl = base + "/quelna-radius-peer-XXXXXX";
  if (!::mkdtemp(tmpl.data())) {
    *why = "mkdtemp " + tmpl + ": " + std::strerror(errno);
    return {};
  }
  return tmpl;
}

bool read_env(const std::string &path, std::map<std::string, std::string> *env, std::string *why) {
  std::ifstream in(path);
  if (!in) {
    *why = "cannot read " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    (*env)[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return true;
}

constexpr std::array<std::string_view, 12> kPortKeys = {
    "AUTH_UDP",      "ACCT_UDP",    "AUTH_UDP6",    "TCP",          "TLS",      "TLS_NOCLIENTCERT",
    "TLS_WRONGHOST", "TLS_ROGUE",   "TLS_PSK_HEX",  "TLS_PSK_TEXT", "TCP_IDLE", "TLS_IDLE"};
// in Listener order
static_assert(kPortKeys.size() == static_cast<size_t>(Listener::TlsIdle) + 1);

std::optional<uint16_t> parse_port(const std::string &text) {
  unsigned v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || v > 65535)
    return std::nullopt;
  return static_cast<uint16_t>(v);
}

}  // namespace

std::unique_ptr<RadiusPeer> RadiusPeer::start(std::string *why) {
  std::string dir = make_temp_dir(why);
  if (dir.empty()) return nullptr;

  std::unique_ptr<RadiusPeer> peer(new RadiusPeer());
  std::string output;
  int rc = run_script({"start", dir, "--owner", std::to_string(::getpid())}, kStartSeconds,
                      &output);
  std::error_code ignored;
  if (rc != 0) {
    *why = "radius-peer start failed (status " + std::to_string(rc) + "): " + output;
    std::string stop_output;
    run_script({"stop", dir}, kStopSeconds, &stop_output);
    std::filesystem::remove_all(dir, ignored);
    return nullptr;
  }
  peer->dir_ = dir;  // from here on the destructor stops the server and removes dir
  peer->owned_ = true;
  if (!peer->load(dir + "/ports.env", why)) return nullptr;
  return peer;
}

std::unique_ptr<RadiusPeer> RadiusPeer::attach(const std::string &env_path, std::string *why) {
  std::unique_ptr<RadiusPeer> peer(new RadiusPeer());
  if (!peer->load(env_path, why)) return nullptr;
  peer->dir_ = peer->value("DIR");
  if (::kill(peer->pid_, 0) != 0) {
    *why = "the server of " + env_path + " (process " + std::to_string(peer->pid_) +
           ") is not running";
    return nullptr;
  }
  return peer;
}

bool RadiusPeer::load(const std::string &env_path, std::string *why) {
  if (!read_env(env_path, &env_, why)) return false;
  for (auto key : kPortKeys) {
    auto p = parse_port(value(std::string(key)));
    if (!p || (*p == 0 && key != "AUTH_UDP6")) {
      *why = env_path + " has no valid " + std::string(key);
      return false;
    }
  }
  for (const char *key : {"SECRET", "TLS_SECRET", "PSK_ID", "PSK_HEX", "PSK_TEXT", "CA_PEM",
                          "CLIENT_PEM", "CLIENT_KEY", "ROGUE_CA_PEM", "WRONG_HOST", "LOG"}) {
    if (value(key).empty()) {
      *why = env_path + " has no " + key;
      return false;
    }
  }
  pid_ = std::atoi(value("PID").c_str());
  if (pid_ <= 0) {
    *why = env_path + " has no valid PID";
    return false;
  }
  return true;
}

RadiusPeer *RadiusPeer::shared(std::string *why) {
  static std::once_flag once;
  static std::unique_ptr<RadiusPeer> instance;
  static std::string failure;
  std::call_once(once, [] {
    const char *env = std::getenv("QUELNA_RADIUS_PEER_ENV");
    instance = env && *env ? attach(env, &failure) : start(&failure);
  });
  if (!instance && why) *why = failure;
  return instance.get();
}

RadiusPeer::~RadiusPeer() { stop(); }

void RadiusPeer::stop() {
  if (!owned_ || dir_.empty()) return;
  std::string output;
  run_script({"stop", dir_}, kStopSeconds, &output);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
  dir_.clear();
}

uint16_t RadiusPeer::port(Listener which) const {
  auto index = static_cast<size_t>(which);
  if (index >= kPortKeys.size()) return 0;
  return parse_port(value(std::string(kPortKeys[index]))).value_or(0);
}

const std::string &RadiusPeer::value(const std::string &key) const {
  static const std::string empty;
  auto it = env_.find(key);
  return it == env_.end() ? empty : it->second;
}

std::string RadiusPeer::log_tail(int lines) const {
  std::ifstream in(log_file());
  std::deque<std::string> last;
  std::string line;
  while (std::getline(in, line)) {
    last.push_back(line);
    if (static_cast<int>(last.size()) > lines) last.pop_front();
  }
  std::string out;
  for (auto &l : last) out += l + "\n";
  return out;
}

}  // namespace quelna::test
