// The codec's message reporter. Each thread has its own message buffer, so that threads using
// separate packets and connections do not overwrite each other's messages.
#include <cstdarg>
#include <cstdio>

#include <quelna/codec.h>

namespace {
thread_local char strerror_buffer[LR_STRERROR_SIZE];
}

extern "C" {

void lr_strerror_printf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    // vsnprintf cuts the message to LR_STRERROR_SIZE - 1 characters and terminates it.
    std::vsnprintf(strerror_buffer, sizeof strerror_buffer, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "ERROR: %s\n", strerror_buffer);
}

const char *lr_strerror(void) { return strerror_buffer; }

}  // extern "C"
