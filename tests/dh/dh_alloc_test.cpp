// Allocation failure sweep: each of OpenSSL's allocations inside a module operation is failed in
// turn. Every run must end in a clean failure or a complete result, and give back all memory.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/dh.h>
#include <openssl/err.h>

#include <cstdlib>
#include <vector>

#include "dh_test_util.h"
#include "hb_dh.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

long g_fail_at = 0;  // the n-th allocation from now fails; 0 = none fails
long g_seen = 0;     // allocations since the sweep step began
long g_live = 0;     // blocks handed out and not yet freed
bool g_failed = false;

bool should_fail()
{
    ++g_seen;
    if (g_fail_at != 0 && g_seen == g_fail_at) {
        g_failed = true;
        return true;
    }
    return false;
}

void *test_malloc(size_t n, const char *, int)
{
    if (should_fail())
        return nullptr;
    void *p = std::malloc(n);
    if (p != nullptr)
        ++g_live;
    return p;
}

void *test_realloc(void *old, size_t n, const char *, int)
{
    if (should_fail())
        return nullptr;
    void *p = std::realloc(old, n);
    if (old == nullptr && p != nullptr)
        ++g_live;
    return p;
}

void test_free(void *p, const char *, int)
{
    if (p != nullptr)
        --g_live;
    std::free(p);
}

// OpenSSL accepts new allocation functions only before its first allocation.
const bool g_hooked = CRYPTO_set_mem_functions(test_malloc, test_realloc, test_free) == 1;

const std::vector<unsigned char> kPrivA = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78};
const std::vector<unsigned char> kPrivB = {0x71, 0x62, 0x53, 0x44, 0x35, 0x26, 0x17, 0x08};

// Runs `step` with the 1st, 2nd, ... allocation failing until a run sees no failure. `step`
// returns whether it succeeded and releases whatever it made. Returns how many runs failed.
template <typename Step>
int sweep(Step step)
{
    step();  // a first full run, so that OpenSSL's own one-time state exists before counting
    ERR_clear_error();
    int failures = 0;
    for (long n = 1; n < 100000; ++n) {
        const long live_before = g_live;
        g_seen = 0;
        g_failed = false;
        g_fail_at = n;
        const bool ok = step();
        g_fail_at = 0;
        ERR_clear_error();
        EXPECT_EQ(g_live, live_before) << "blocks kept after failing allocation " << n;
        if (!g_failed) {
            EXPECT_TRUE(ok) << "no allocation failed, yet the operation did";
            return failures;
        }
        if (!ok)
            ++failures;
    }
    ADD_FAILURE() << "sweep did not end";
    return failures;
}

// Takes the result of a create operation: a record must be complete. Releases it.
bool consume_record(DH *dh)
{
    if (dh == nullptr)
        return false;
    EXPECT_NE(DH_get0_p(dh), nullptr);
    EXPECT_NE(DH_get0_g(dh), nullptr);
    EXPECT_NE(DH_get0_pub_key(dh), nullptr);
    EXPECT_NE(DH_get0_priv_key(dh), nullptr);
    hb_destroy_dh_params(dh);
    return true;
}

TEST(DhAllocationFailure, CreateParamsFailsCleanly)
{
    ASSERT_TRUE(g_hooked);
    testing::internal::CaptureStderr();
    const int failures =
        sweep([] { return consume_record(hb_create_dh_params(kPrivA.data(), kPrivA.size())); });
    testing::internal::GetCapturedStderr();
    EXPECT_GT(failures, 3);
}

TEST(DhAllocationFailure, CreateMatchingFailsCleanly)
{
    ASSERT_TRUE(g_hooked);
    const dhtest::Record base(hb_create_dh_params(kPrivA.data(), kPrivA.size()));
    ASSERT_NE(base, nullptr);
    testing::internal::CaptureStderr();
    const int failures = sweep([&] {
        return consume_record(hb_create_matching_dh(kPrivB.data(), kPrivB.size(), base.get()));
    });
    testing::internal::GetCapturedStderr();
    EXPECT_GT(failures, 2);
}

TEST(DhAllocationFailure, ComputeKeyFailsCleanly)
{
    ASSERT_TRUE(g_hooked);
    const dhtest::Record a(hb_create_dh_params(kPrivA.data(), kPrivA.size()));
    const dhtest::Record b(hb_create_matching_dh(kPrivB.data(), kPrivB.size(), a.get()));
    ASSERT_NE(b, nullptr);
    const int failures = sweep([&] {
        unsigned char *key = nullptr;
        const int len = hb_compute_dh_key(&key, dhtest::pub_of(b.get()), a.get());
        EXPECT_EQ(len > 0, key != nullptr);
        std::free(key);
        return len > 0;
    });
    EXPECT_GT(failures, 0);
}

}  // namespace
