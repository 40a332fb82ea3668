// A scratch file per fuzzing process, rewritten with every input, for targets whose code under
// test reads a path (the configuration reader, the dictionary loader).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quelna::fuzz {

// Aborts with what when ok is false: the fuzzer keeps the input that did it.
inline void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz property broken: %s\n", what);
        std::abort();
    }
}

// The file's path; the file is made on the first call and removed at exit.
inline const char *scratch_path()
{
    static char name[] = "/tmp/quelna-fuzz-XXXXXX";
    static const bool made = [] {
        const int fd = mkstemp(name);
        check(fd >= 0, "mkstemp");
        close(fd);
        std::atexit([] { unlink(name); });
        return true;
    }();
    (void)made;
    return name;
}

// Replaces the file's contents with the input.
inline void write_scratch(const uint8_t *data, size_t size)
{
    const int fd = open(scratch_path(), O_WRONLY | O_TRUNC);
    check(fd >= 0, "open");
    check(write(fd, data, size) == static_cast<ssize_t>(size), "write");
    close(fd);
}

}  // namespace quelna::fuzz
