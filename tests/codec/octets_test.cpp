// The bounds-checked octet reader and writer: numbers in network order, and a run that does not
// fit touches nothing and fails every later call.
#include <gtest/gtest.h>

#include <array>

#include "codec/octets.h"

namespace {

using quelna::codec::OctetReader;
using quelna::codec::OctetWriter;

TEST(OctetWriter, WritesNetworkOrderAndStopsAtTheEnd) {
    std::array<uint8_t, 12> buf;
    buf.fill(0xee);
    OctetWriter w(buf);
    EXPECT_TRUE(w.u8(0x01));
    EXPECT_TRUE(w.u16be(0x0203));
    EXPECT_TRUE(w.u24be(0xff040506));
    EXPECT_TRUE(w.u32be(0x0708090a));
    EXPECT_EQ(w.position(), 10u);
    EXPECT_EQ(w.remaining(), 2u);
    EXPECT_TRUE(w.patch_u8(0, 0x11));
    EXPECT_FALSE(w.patch_u8(10, 0x11));  // not written yet
    EXPECT_TRUE(w.patch_u16be(8, 0xabcd));
    EXPECT_FALSE(w.patch_u16be(9, 0xabcd));

    const uint8_t three[3] = {1, 2, 3};
    EXPECT_FALSE(w.bytes(three));  // 3 octets into a room of 2: nothing written
    EXPECT_FALSE(w.ok());
    EXPECT_FALSE(w.u8(0x42));  // and nothing after a failure either
    EXPECT_EQ(w.remaining(), 0u);
    EXPECT_TRUE(w.reserve(0).empty());
    const std::array<uint8_t, 12> want = {0x11, 0x02, 0x03, 0x04, 0x05, 0x06,
                                          0x07, 0x08, 0xab, 0xcd, 0xee, 0xee};
    EXPECT_EQ(buf, want);
}

TEST(OctetWriter, ReserveAndZeros) {
    std::array<uint8_t, 6> buf;
    buf.fill(0xee);
    OctetWriter w(buf);
    auto s = w.reserve(2);
    ASSERT_EQ(s.size(), 2u);
    s[0] = 9;
    EXPECT_TRUE(w.zeros(4));
    EXPECT_TRUE(w.reserve(1).empty());
    EXPECT_FALSE(w.ok());
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(buf[5], 0);
    OctetWriter none(nullptr, 10);  // a null buffer has no room
    EXPECT_FALSE(none.u8(1));
}

TEST(OctetReader, ReadsNetworkOrderAndRefusesOverruns) {
    const uint8_t data[] = {0x01, 0x02, 0x03, 0x00, 0x04, 0x05, 0x06,
                            0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c};
    OctetReader r(data, sizeof data);
    uint8_t b = 0;
    uint16_t s = 0;
    uint32_t v = 0;
    EXPECT_TRUE(r.u8(b));
    EXPECT_EQ(b, 0x01);
    EXPECT_TRUE(r.u16be(s));
    EXPECT_EQ(s, 0x0203);
    EXPECT_TRUE(r.u32be(v));
    EXPECT_EQ(v, 0x00040506u);
    EXPECT_TRUE(r.peek(0, b));
    EXPECT_EQ(b, 0x07);
    EXPECT_FALSE(r.peek(6, b));
    EXPECT_TRUE(r.u24be(v));
    EXPECT_EQ(v, 0x070809u);
    EXPECT_EQ(r.remaining(), 3u);
    auto view = r.take(4);  // one more than there is
    EXPECT_TRUE(view.empty());
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.u8(b));
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_TRUE(r.rest().empty());

    OctetReader r2(data, sizeof data);
    EXPECT_TRUE(r2.skip(10));
    std::array<uint8_t, 3> out{};
    EXPECT_TRUE(r2.bytes(out));
    EXPECT_EQ(out[2], 0x0c);
    EXPECT_TRUE(r2.empty());
    EXPECT_FALSE(r2.skip(1));
}

}  // namespace
