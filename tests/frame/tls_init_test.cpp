// The process-wide OpenSSL set-up and its seeding from the random devices.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <string>

#include "frame_util.h"
#include "quelna_int.h"
#include "tls_init.h"

namespace {

using quelna::test::ConfigFile;

int poll_fails() { return 0; }
int poll_works() { return 1; }

TEST(TlsInit, SeedsFromTheFirstDeviceThatOpens)
{
    ConfigFile full(std::string(64, 'r'));  // enough octets
    ConfigFile short_file(std::string(31, 'r'));

    std::array<const char *, 2> missing_then_full = {"/nonexistent/rand", full.path().c_str()};
    EXPECT_TRUE(quelna::tls::seed_from_devices(missing_then_full));

    // Only the first device that opens is read: a short one is not made up by the next.
    std::array<const char *, 2> short_then_full = {short_file.path().c_str(),
                                                    full.path().c_str()};
    EXPECT_FALSE(quelna::tls::seed_from_devices(short_then_full));

    std::array<const char *, 1> none = {"/nonexistent/rand"};
    EXPECT_FALSE(quelna::tls::seed_from_devices(none));
}

TEST(TlsInit, NeedsEitherThePollOrADevice)
{
    std::array<const char *, 1> none = {"/nonexistent/rand"};
    std::array<const char *, 1> urandom = {"/dev/urandom"};
    EXPECT_EQ(quelna::tls::init_with(none, poll_fails), -1);
    EXPECT_EQ(quelna::tls::init_with(none, poll_works), 0);
    EXPECT_EQ(quelna::tls::init_with(urandom, poll_fails), 0);
    EXPECT_EQ(tls_init(), 0);
    EXPECT_EQ(tls_init(), 0);  // runs again at every context creation
}

}  // namespace
