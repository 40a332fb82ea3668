// One-line messages of quelna-client, and keeping the library's own echo off standard error.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "client.h"

namespace quelna::client {
namespace {

bool quiet_messages = false;
bool mute_enabled = true;

}  // namespace

void set_quiet(bool quiet)
{
    quiet_messages = quiet;
}

void complain(const char *fmt, ...)
{
    if (quiet_messages)
        return;
    std::fflush(stdout);  // keep the order of answers and messages on a shared terminal
    std::fputs("quelna-client: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

void StderrMute::enable(bool on)
{
    mute_enabled = on;
}

StderrMute::StderrMute(bool active)
{
    if (!active || !mute_enabled)
        return;
    std::fflush(stderr);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0)
        return;
    saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ >= 0)
        dup2(null_fd, STDERR_FILENO);
    close(null_fd);
}

StderrMute::~StderrMute()
{
    if (saved_ < 0)
        return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
}

}  // namespace quelna::client
