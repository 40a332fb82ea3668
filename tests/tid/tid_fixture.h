// Test fixture of the TID programs: a throwaway Kerberos KDC on loopback, child processes with
// captured output, and the TID server demo run against a fresh SQLite database.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tidtest {

/** A free loopback port for both TCP and UDP (the KDC listens on both). */
int free_port();

/** Reads a whole file; empty when it cannot be read. */
std::string slurp(const std::string &path);

/** A child process whose standard output and error go to files. */
class Child {
public:
    /** Starts `argv` with the given environment overrides; the child dies with the test. */
    bool start(const std::vector<std::string> &argv, const std::string &out_path,
               const std::string &err_path, const std::map<std::string, std::string> &env = {});
    /** Waits at most `seconds` for the exit; the exit status, or -1 (then it is killed). */
    int wait(int seconds = 20);
    /** Sends `sig`, then waits as wait() does. */
    int stop(int sig, int seconds = 20);
    bool running() const { return pid_ > 0; }
    ~Child();

private:
    pid_t pid_ = -1;
};

/** A KDC for realm TEST.REALM with principals alice, bob and tid/localhost and their keytabs. */
class Kdc {
public:
    /** Sets up and starts; `why` tells what failed. Points this process's Kerberos at it. */
    bool start(std::string &why);
    void stop();
    const std::string &dir() const { return dir_; }
    std::string keytab(const std::string &principal) const { return dir_ + "/" + principal + ".keytab"; }

private:
    std::string dir_;
    Child kdc_;
};

/** A program run to completion. */
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

/** Runs a program to completion in `dir`'s files, with environment overrides. */
Outcome run_program(const std::vector<std::string> &argv, const std::string &dir,
                const std::map<std::string, std::string> &env = {});

/** Creates the TID tables in a new SQLite database file. */
bool create_database(const std::string &path);

/** Runs a query and returns each row's columns as text (blobs as lower-case hex). */
std::vector<std::vector<std::string>> query(const std::string &db, const std::string &sql);

/** The TID server demo on a free port, for `gss_name`, writing into `db`. */
class TidServer {
public:
    bool start(const std::string &dir, const std::string &db, const std::string &gss_name,
               std::string &why);
    /** Sends SIGTERM and returns the exit status (1 when it stopped cleanly). */
    int stop();
    int port() const { return port_; }
    bool running() const { return child_.running(); }
    /** What the server has written to standard error so far. */
    std::string log() const { return slurp(err_path_); }

private:
    Child child_;
    int port_ = 0;
    std::string err_path_;
};

}  // namespace tidtest

#include <gtest/gtest.h>

namespace tidtest {

/**
 * One KDC for the test program, and for each test a fresh database and a server demo for
 * "alice@TEST.REALM". Each test ends by stopping the server, which must exit cleanly (status
 * 1 after its stop signal: under the sanitizers a leak or fault would change that).
 */
class TidServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    static Kdc *kdc_;
    static std::string kdc_why_;
    std::string dir_;
    std::string db_;
    TidServer server_;
};

}  // namespace tidtest
