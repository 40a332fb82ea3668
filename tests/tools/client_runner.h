// Runs the built quelna-client as a child process and collects what it prints.
#pragma once

#include <string>
#include <vector>

namespace quelna::test {

struct ClientRun {
    int status = -1;       // exit status; -1 when it did not exit normally
    int signal = 0;        // the signal that ended it, if any
    bool timed_out = false;
    std::string out, err;  // standard output and standard error

    /** Lines of standard error (without their newlines). */
    std::vector<std::string> err_lines() const;
    /** Everything, for failure messages. */
    std::string describe() const;
};

/**
 * Runs the client with args, feeding stdin_text on standard input (closed after it), and waits
 * at most limit_seconds before killing it. env ("NAME=value") is added to its environment.
 */
ClientRun run_client(const std::vector<std::string> &args, const std::string &stdin_text = "",
                     int limit_seconds = 60, const std::vector<std::string> &env = {});

/** As run_client, for the program at path (another client to compare with). */
ClientRun run_program(const std::string &path, const std::vector<std::string> &args,
                      const std::string &stdin_text = "", int limit_seconds = 60,
                      const std::vector<std::string> &env = {});

/** A file under a fresh temporary directory, removed with it. */
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    /** Writes text to name inside the directory and returns its path. */
    std::string write(const std::string &name, const std::string &text) const;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

}  // namespace quelna::test
