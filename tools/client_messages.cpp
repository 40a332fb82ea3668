// One-line messages of quelna-client, and keeping the library's own echo off standard error.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "client.h"

namespace quelna::client {
namespace {

bool quiet_messages = false;
bool mute_enabled = true;

/** The length of the well-formed UTF-8 sequence at text[i] when it encodes a character that is
 *  neither a control nor beyond Unicode (RFC 3629), else 0. */
size_t printable_utf8(std::string_view text, size_t i)
{
    static constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};  // no overlong forms
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t n = lead >= 0xf5 ? 0 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
    if (n == 0 || i + n > text.size())
        return 0;
    uint32_t cp = lead & (0x7fu >> n);
    for (size_t k = 1; k < n; k++) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80)
            return 0;
        cp = cp << 6 | (next & 0x3f);
    }
    const bool surrogate = cp >= 0xd800 && cp <= 0xdfff;
    if (cp < smallest[n] || surrogate || cp > 0x10ffff || cp < 0xa0)  // below 0xa0: C1
        return 0;
    return n;
}

}  // namespace

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (size_t n = printable_utf8(text, i)) {
                out.append(text.substr(i, n));
                i += n;
                continue;
            }
        }
        i++;
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n' || c == '\r' || c == '\t') {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
        } else if (c < 0x20 || c >= 0x7f) {
            static constexpr char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void set_quiet(bool quiet)
{
    quiet_messages = quiet;
}

void complain(const char *fmt, ...)
{
    if (quiet_messages)
        return;
    va_list ap;
    va_start(ap, fmt);
    char text[2048];  // longer messages are cut
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    // A message may quote a server's or a file's text: it stays one line on the terminal.
    std::fflush(stdout);  // keep the order of answers and messages on a shared terminal
    std::fprintf(stderr, "quelna-client: %s\n", printable(text).c_str());
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
