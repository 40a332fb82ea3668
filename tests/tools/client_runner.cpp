#include "client_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace quelna::test {
namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe()
    {
        if (pipe2(fd, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2");
    }
    ~Pipe()
    {
        close_end(0);
        close_end(1);
    }
    void close_end(int i)
    {
        if (fd[i] >= 0)
            close(fd[i]);
        fd[i] = -1;
    }
};

}  // namespace

std::vector<std::string> ClientRun::err_lines() const
{
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string ClientRun::describe() const
{
    return "status " + std::to_string(status) + (signal ? " signal " + std::to_string(signal) : "") +
           (timed_out ? " (killed: too slow)" : "") + "\n--- stdout:\n" + out + "--- stderr:\n" +
           err;
}

ClientRun run_client(const std::vector<std::string> &args, const std::string &stdin_text,
                     int limit_seconds, const std::vector<std::string> &env)
{
    return run_program(QUELNA_CLIENT_PATH, args, stdin_text, limit_seconds, env);
}

ClientRun run_program(const std::string &path, const std::vector<std::string> &args,
                      const std::string &stdin_text, int limit_seconds,
                      const std::vector<std::string> &env)
{
    signal(SIGPIPE, SIG_IGN);  // the client may exit before reading all its input
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);

    std::vector<std::string> argv_text = {path};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = env;
    std::vector<char *> envp;
    for (auto &e : env_text)
        envp.push_back(e.data());
    for (char **e = environ; *e; e++)
        envp.push_back(*e);  // after ours: the first of a name counts
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("posix_spawn: " + std::string(strerror(rc)));
    in.close_end(0);
    out.close_end(1);
    err.close_end(1);

    // Feed standard input, then read both outputs until they close or time runs out.
    size_t fed = 0;
    if (stdin_text.empty())
        in.close_end(1);
    else
        fcntl(in.fd[1], F_SETFL, O_NONBLOCK);
    ClientRun run;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {in.fd[1], POLLOUT, 0}};
        if (poll(fds, 3, static_cast<int>(left.count())) < 0)
            continue;
        if (in.fd[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in.fd[1], stdin_text.data() + fed, stdin_text.size() - fed);
            if (n > 0)
                fed += static_cast<size_t>(n);
            if (n < 0 || fed == stdin_text.size())
                in.close_end(1);
        }
        for (int i = 0; i < 2; i++) {
            Pipe &p = i == 0 ? out : err;
            if (p.fd[0] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = read(p.fd[0], buf, sizeof buf);
            if (n > 0)
                (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
            else
                p.close_end(0);
        }
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus))
        run.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        run.signal = WTERMSIG(wstatus);
    return run;
}

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quelna-client-test-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string &name, const std::string &text) const
{
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

}  // namespace quelna::test
