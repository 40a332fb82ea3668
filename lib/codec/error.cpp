// The codec's message reporter. Each thread has its own message buffer, so that threads using
// separate packets and connections do not overwrite each other's messages.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include <quelna/codec.h>

namespace {
thread_local char strerror_buffer[LR_STRERROR_SIZE];
// Process-wide: a program that reads messages through lr_strerror() turns the echo off once, so
// that a peer sending bad packets cannot fill its standard error.
std::atomic<bool> echo{true};
}

extern "C" {

void lr_strerror_printf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    // vsnprintf cuts the message to LR_STRERROR_SIZE - 1 characters and terminates it.
    std::vsnprintf(strerror_buffer, sizeof strerror_buffer, fmt, ap);
    va_end(ap);
    if (echo.load(std::memory_order_relaxed))
        std::fprintf(stderr, "ERROR: %s\n", strerror_buffer);
}

int lr_strerror_echo(int on)
{
    return echo.exchange(on != 0, std::memory_order_relaxed) ? 1 : 0;
}

const char *lr_strerror(void) { return strerror_buffer; }

}  // extern "C"
