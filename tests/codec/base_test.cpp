// Codec messages (per thread), random octets and time arithmetic.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <quelna/codec.h>

namespace {

TEST(CodecMessage, PrintedWithPrefixAndCut) {
    testing::internal::CaptureStderr();
    lr_strerror_printf("Attribute %d is %s", 7, "odd");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Attribute 7 is odd\n");
    EXPECT_STREQ(lr_strerror(), "Attribute 7 is odd");

    const std::string longmsg(2000, 'm');
    testing::internal::CaptureStderr();
    lr_strerror_printf("%s", longmsg.c_str());
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::strlen(lr_strerror()), 1023u);
    EXPECT_EQ(printed, "ERROR: " + std::string(1023, 'm') + "\n");

    // Turned off, the message is kept but not printed.
    EXPECT_EQ(lr_strerror_echo(0), 1);
    testing::internal::CaptureStderr();
    lr_strerror_printf("quiet");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_STREQ(lr_strerror(), "quiet");
    EXPECT_EQ(lr_strerror_echo(1), 0);
}

TEST(CodecMessage, EachThreadKeepsItsOwn) {
    testing::internal::CaptureStderr();
    lr_strerror_printf("main thread");
    std::string other;
    std::thread t([&] {
        lr_strerror_printf("worker thread");
        other = lr_strerror();
    });
    t.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(other, "worker thread");
    EXPECT_STREQ(lr_strerror(), "main thread");
}

TEST(Random, FillsRequestsOfEverySize) {
    // Sizes below, at and above the pool's per-request limit and a whole pool's worth.
    for (size_t n : {1u, 4u, 16u, 255u, 256u, 257u, 5000u}) {
        std::vector<uint8_t> a(n, 0), b(n, 0);
        ASSERT_EQ(static_cast<ssize_t>(n), lr_rand_bytes(a.data(), n)) << n;
        ASSERT_EQ(static_cast<ssize_t>(n), lr_rand_bytes(b.data(), n)) << n;
        if (n >= 16) {
            EXPECT_NE(a, b) << n;
        }
    }
    EXPECT_EQ(0, lr_rand_bytes(nullptr, 0));
}

TEST(Random, AuthenticatorsDoNotRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {  // crosses several pool refills
        uint8_t v[16];
        ASSERT_EQ(16, lr_rand_bytes(v, sizeof v));
        EXPECT_TRUE(seen.emplace(reinterpret_cast<char *>(v), sizeof v).second);
    }
    std::set<uint32_t> numbers;
    for (int i = 0; i < 1000; ++i) numbers.insert(lr_rand());
    EXPECT_GT(numbers.size(), 990u);
}

TEST(Random, ForkedChildDrawsOtherOctets) {
    uint8_t warm[16];
    ASSERT_EQ(16, lr_rand_bytes(warm, sizeof warm));  // the pool now holds unserved octets
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        uint8_t v[16];
        const bool ok = lr_rand_bytes(v, sizeof v) == 16 && write(fds[1], v, sizeof v) == 16;
        _exit(ok ? 0 : 1);
    }
    uint8_t parent[16], child[16];
    ASSERT_EQ(16, lr_rand_bytes(parent, sizeof parent));
    ASSERT_EQ(16, read(fds[0], child, sizeof child));
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(0, std::memcmp(parent, child, 16));
}

TEST(Timeval, AddCarriesMicroseconds) {
    struct {
        timeval start;
        uint32_t sec, usec;
        timeval want;
    } cases[] = {{{5, 400000}, 0, 600000, {6, 0}},
                 {{0, 0}, 1, 2500000, {3, 500000}},
                 {{10, 999999}, 0, 1, {11, 0}},
                 {{10, 999999}, 2, 1999999, {14, 999998}},
                 {{1, 0}, 0, 0, {1, 0}}};
    for (auto &c : cases) {
        timeval tv = c.start;
        lr_timeval_add(&tv, c.sec, c.usec);
        EXPECT_EQ(tv.tv_sec, c.want.tv_sec);
        EXPECT_EQ(tv.tv_usec, c.want.tv_usec);
    }
}

TEST(Timeval, Compare) {
    const timeval a{1, 5}, b{1, 7}, c{2, 0}, d{-1, 999999};
    EXPECT_EQ(-1, lr_timeval_cmp(&a, &b));
    EXPECT_EQ(1, lr_timeval_cmp(&b, &a));
    EXPECT_EQ(0, lr_timeval_cmp(&a, &a));
    EXPECT_EQ(1, lr_timeval_cmp(&c, &b));
    EXPECT_EQ(-1, lr_timeval_cmp(&d, &a));
}

}  // namespace
