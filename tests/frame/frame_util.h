// Small helpers for the frame's tests: a temporary configuration file and a context fixture.
#ifndef QUELNA_TEST_FRAME_UTIL_H
#define QUELNA_TEST_FRAME_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "quelna_int.h"

namespace quelna::test {

// A file holding the given text, removed when the object goes.
class ConfigFile {
public:
    explicit ConfigFile(const std::string &text)
    {
        char tmpl[] = "/tmp/quelna-conf-XXXXXX";
        int fd = mkstemp(tmpl);
        EXPECT_GE(fd, 0);
        path_ = tmpl;
        size_t off = 0;
        while (fd >= 0 && off < text.size()) {
            ssize_t n = write(fd, text.data() + off, text.size() - off);
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
        }
        EXPECT_EQ(off, text.size());
        if (fd >= 0)
            close(fd);
    }
    ~ConfigFile() { unlink(path_.c_str()); }
    ConfigFile(const ConfigFile &) = delete;
    ConfigFile &operator=(const ConfigFile &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// A fresh context per test, destroyed after it.
struct ContextFixture : ::testing::Test {
    qn_context *ctx = nullptr;
    void SetUp() override { ASSERT_EQ(qn_context_create(&ctx), 0); }
    void TearDown() override { qn_context_destroy(ctx); }
    // Takes the context's error out and returns its message ("" when there is none).
    std::string pop_message()
    {
        qn_error *e = qn_err_ctx_pop(ctx);
        std::string msg = e ? qn_err_msg(e) : "";
        if (e)
            qn_err_free(e);
        return msg;
    }
};

}  // namespace quelna::test

#endif
