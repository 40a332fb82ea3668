// Throwaway KDC, child processes and the server demo for the TID tests.
#include "tid_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace tidtest {
namespace {

constexpr const char *kRealm = "TEST.REALM";

bool bind_port(int type, int port)
{
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

bool can_connect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

bool wait_listening(int port, const Child &child)
{
    for (int i = 0; i < 200 && child.running(); ++i) {
        if (can_connect(port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

int free_port()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        close(fd);
        const int port = ntohs(addr.sin_port);
        if (port != 0 && bind_port(SOCK_DGRAM, port))
            return port;
    }
    return 0;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Child::start(const std::vector<std::string> &argv, const std::string &out_path,
                  const std::string &err_path, const std::map<std::string, std::string> &env)
{
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // Never outlive the test, even when it crashes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        for (const auto &[name, value] : env) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    pid_ = pid;
    return true;
}

int Child::wait(int seconds)
{
    if (pid_ <= 0)
        return -1;
    int status = 0;
    for (int i = 0; i < seconds * 100; ++i) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

int Child::stop(int sig, int seconds)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, sig);
    return wait(seconds);
}

Child::~Child()
{
    if (pid_ > 0)
        stop(SIGKILL, 5);
}

bool Kdc::start(std::string &why)
{
    char tmpl[] = "/tmp/tid-kdc-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        why = "mkdtemp failed";
        return false;
    }
    dir_ = tmpl;
    const int port = free_port();
    const std::string p = std::to_string(port);
    write_file(dir_ + "/krb5.conf",
               "[libdefaults]\n default_realm = " + std::string(kRealm) +
                   "\n dns_lookup_kdc = false\n dns_lookup_realm = false\n rdns = false\n"
                   " dns_canonicalize_hostname = false\n"
                   "[realms]\n " + kRealm + " = {\n  kdc = 127.0.0.1:" + p + "\n }\n");
    write_file(dir_ + "/kdc.conf", "[kdcdefaults]\n kdc_listen = 127.0.0.1:" + p +
                                       "\n kdc_tcp_listen = 127.0.0.1:" + p + "\n[realms]\n " +
                                       kRealm + " = {\n  database_name = " + dir_ +
                                       "/principal\n  key_stash_file = " + dir_ +
                                       "/stash\n  acl_file = " + dir_ + "/kadm5.acl\n }\n");
    write_file(dir_ + "/kadm5.acl", "");
    write_file(dir_ + "/setup.kadmin",
               "addprinc -randkey alice\naddprinc -randkey bob\naddprinc -randkey tid/localhost\n"
               "ktadd -k " + dir_ + "/service.keytab tid/localhost\n"
               "ktadd -k " + dir_ + "/alice.keytab alice\n"
               "ktadd -k " + dir_ + "/bob.keytab bob\n");
    setenv("KRB5_CONFIG", (dir_ + "/krb5.conf").c_str(), 1);
    setenv("KRB5_KDC_PROFILE", (dir_ + "/kdc.conf").c_str(), 1);
    setenv("KRB5CCNAME", ("FILE:" + dir_ + "/ccache").c_str(), 1);
    setenv("KRB5_KTNAME", ("FILE:" + dir_ + "/service.keytab").c_str(), 1);
    setenv("KRB5_CLIENT_KTNAME", (dir_ + "/alice.keytab").c_str(), 1);
    setenv("KRB5RCACHEDIR", dir_.c_str(), 1);
    const std::string log = " >>" + dir_ + "/setup.log 2>&1";
    if (std::system(("kdb5_util create -s -r " + std::string(kRealm) + " -P masterpw" + log)
                        .c_str()) != 0 ||
        std::system(("kadmin.local <" + dir_ + "/setup.kadmin" + log).c_str()) != 0) {
        why = "KDC database set-up failed: " + slurp(dir_ + "/setup.log");
        return false;
    }
    if (!kdc_.start({"/usr/sbin/krb5kdc", "-n"}, dir_ + "/kdc.out", dir_ + "/kdc.err") ||
        !wait_listening(port, kdc_)) {
        why = "krb5kdc did not start: " + slurp(dir_ + "/kdc.err");
        return false;
    }
    return true;
}

void Kdc::stop()
{
    kdc_.stop(SIGTERM, 5);
    if (!dir_.empty() && std::getenv("TID_KEEP_KDC") == nullptr)
        std::system(("rm -rf " + dir_).c_str());
    dir_.clear();
}

Outcome run_program(const std::vector<std::string> &argv, const std::string &dir,
                const std::map<std::string, std::string> &env)
{
    static int serial = 0;
    const std::string base = dir + "/run" + std::to_string(++serial);
    Outcome run;
    Child child;
    if (!child.start(argv, base + ".out", base + ".err", env))
        return run;
    run.status = child.wait();
    run.out = slurp(base + ".out");
    run.err = slurp(base + ".err");
    return run;
}

bool create_database(const std::string &path)
{
    sqlite3 *db = nullptr;
    const std::string schema = slurp(TID_SCHEMA_PATH);
    const bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK && !schema.empty() &&
                    sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

std::vector<std::vector<std::string>> query(const std::string &path, const std::string &sql)
{
    std::vector<std::vector<std::string>> rows;
    sqlite3 *db = nullptr;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                if (sqlite3_column_type(stmt, i) == SQLITE_BLOB) {
                    const auto *octets = static_cast<const unsigned char *>(sqlite3_column_blob(stmt, i));
                    std::string hex;
                    char two[3];
                    for (int j = 0; j < sqlite3_column_bytes(stmt, i); ++j) {
                        std::snprintf(two, sizeof two, "%.2x", octets[j]);
                        hex += two;
                    }
                    row.push_back(hex);
                } else {
                    const auto *text = sqlite3_column_text(stmt, i);
                    row.push_back(text == nullptr ? "(null)" : reinterpret_cast<const char *>(text));
                }
            }
            rows.push_back(row);
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
}

bool TidServer::start(const std::string &dir, const std::string &db, const std::string &gss_name,
                      std::string &why)
{
    port_ = free_port();
    err_path_ = dir + "/server.err";
    if (!child_.start({TID_SERVER_PATH, "127.0.0.1", gss_name, "localhost", db},
                      dir + "/server.out", err_path_, {{"HB_TID_PORT", std::to_string(port_)}}) ||
        !wait_listening(port_, child_)) {
        why = "tid_server_demo did not start: " + log();
        return false;
    }
    return true;
}

int TidServer::stop()
{
    return child_.stop(SIGTERM);
}

}  // namespace tidtest

#include <sys/stat.h>

namespace tidtest {

Kdc *TidServerTest::kdc_ = nullptr;
std::string TidServerTest::kdc_why_;

void TidServerTest::SetUpTestSuite()
{
    kdc_ = new Kdc;
    if (!kdc_->start(kdc_why_))
        kdc_->stop();
}

void TidServerTest::TearDownTestSuite()
{
    kdc_->stop();
    delete kdc_;
    kdc_ = nullptr;
}

void TidServerTest::SetUp()
{
    ASSERT_FALSE(kdc_->dir().empty()) << kdc_why_;
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = kdc_->dir() + "/" + info->name();
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    db_ = dir_ + "/keys.db";
    ASSERT_TRUE(create_database(db_));
    std::string why;
    ASSERT_TRUE(server_.start(dir_, db_, "alice@TEST.REALM", why)) << why;
}

void TidServerTest::TearDown()
{
    if (!server_.running())
        return;
    const std::string log = server_.log();
    EXPECT_EQ(server_.stop(), 1) << log;
    EXPECT_NE(server_.log().find("Error in tids_start(), rc = 0. Exiting."), std::string::npos)
        << server_.log();
}

}  // namespace tidtest
