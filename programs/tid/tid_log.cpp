// Logging of the TID programs: one message, sent to the system log and to standard error
// according to two syslog-level thresholds.
#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "hb_tid.h"

namespace {

std::atomic<int> g_log_threshold{LOG_ERR};
std::atomic<int> g_console_threshold{LOG_ERR};

}  // namespace

extern "C" {

void hb_log_open(void)
{
    // A null identity makes syslog use the program's name.
    openlog(nullptr, LOG_PID, LOG_DAEMON);
}

void hb_log_threshold(int level)
{
    g_log_threshold = level;
}

void hb_console_threshold(int level)
{
    g_console_threshold = level;
}

void hb_log(int level, const char *fmt, ...)
{
    // Lower syslog levels are more urgent.
    if (level <= g_log_threshold) {
        va_list args;
        va_start(args, fmt);
        vsyslog(level, fmt, args);
        va_end(args);
    }
    if (level <= g_console_threshold) {
        char line[2048];
        va_list args;
        va_start(args, fmt);
        std::vsnprintf(line, sizeof line, fmt, args);
        va_end(args);
        std::fprintf(stderr, "%s\n", line);
    }
}

}  // extern "C"
