#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "SovantaCore/Binary.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace std::chrono;

namespace {
Bytes bytes(std::initializer_list<int> values) {
    Bytes b;
    for (int v : values) b.push_back(static_cast<uint8_t>(v));
    return b;
}

int64_t unixSeconds(std::optional<Date> d) { return duration_cast<seconds>(d->time_since_epoch()).count(); }

}  // namespace

TEST(Binary, FixedWidthReadersGiveZeroOutsideTheArray) {
    Bytes three = bytes({1, 2, 3});
    EXPECT_EQ(u32le(three, 0), 0u);
    Bytes eight = bytes({1, 0, 0, 0, 2, 0, 0, 0});
    EXPECT_EQ(u32le(eight, 0), 1u);
    EXPECT_EQ(u32le(eight, 4), 2u);
    EXPECT_EQ(u32le(eight, 5), 0u);
    EXPECT_EQ(u32le(eight, -1), 0u);
    EXPECT_EQ(u64le(eight, 0), 0x0000000200000001ull);
    EXPECT_EQ(u16be(bytes({0x12, 0x34}), 0), 0x1234);
    EXPECT_EQ(u32be(bytes({0x12, 0x34, 0x56, 0x78}), 0), 0x12345678u);
    EXPECT_EQ(i8(bytes({0xFF}), 0), -1);
    EXPECT_EQ(u8(bytes({}), 0), 0);
}

TEST(Binary, VariableWidthIntegers) {
    EXPECT_EQ(uintLE(bytes({1, 2}), 0, 0), 0u);
    EXPECT_EQ(uintLE(bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}), 0, 9), 0u);
    EXPECT_EQ(uintLE(bytes({1, 2, 3}), 0, 3), 0x030201u);
    EXPECT_EQ(intLE(bytes({0xFF}), 0, 1), -1);
    EXPECT_EQ(intLE(bytes({0xFF, 0x7F}), 0, 2), 32767);
    EXPECT_EQ(intLE(bytes({0x00, 0x80}), 0, 2), -32768);
    EXPECT_EQ(intLE(bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0, 8), -1);
}

TEST(Binary, SlicesPatternsAndTexts) {
    Bytes twenty(20);
    for (size_t i = 0; i < 20; ++i) twenty[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(sub(twenty, 10, 100).size(), 10u);
    EXPECT_EQ(sub(twenty, 10, 100).front(), 10);
    EXPECT_TRUE(sub(twenty, 20, 1).empty());
    EXPECT_TRUE(sub(twenty, 0, 0).empty());

    Bytes pattern = {18, 19};
    EXPECT_EQ(firstIndex(twenty, pattern, 0), 18);
    EXPECT_FALSE(firstIndex(twenty, pattern, 19).has_value());
    EXPECT_FALSE(firstIndex(twenty, Bytes{}, 0).has_value());
    EXPECT_TRUE(matches(twenty, std::string_view(""), 20));
    EXPECT_FALSE(matches(twenty, std::string_view("\x13\x14", 2), 19));
    EXPECT_TRUE(matches(Bytes{'N', 'X', 'S', 'B'}, std::string_view("NXSB"), 0));

    EXPECT_TRUE(isAllZero(Bytes(5, 1), 5));
    EXPECT_FALSE(isAllZero(bytes({0, 0, 1}), 0));
    EXPECT_TRUE(isAllZero(bytes({0, 0, 1}), 0, 2));

    EXPECT_EQ(ascii(bytes({0x41, 0x0A, 0x42, 0x00, 0x43}), 0, 5), "A_B");
    EXPECT_EQ(utf16le(bytes({0x41, 0x00, 0x42, 0x00, 0x43}), 0, 4), "AB");
    EXPECT_EQ(utf16le(bytes({0x00, 0xD8}), 0, 1), "\xEF\xBF\xBD");
    EXPECT_EQ(utf16be(bytes({0x00, 0xE6, 0x00, 0xF8}), 0, 2), "æø");
    EXPECT_EQ(utf16le(bytes({0x41, 0x00, 0x00, 0x00}), 0, 2), std::string("A\0", 2));
}

TEST(TimeConversion, AbsentAndBoundaryValues) {
    EXPECT_FALSE(TimeConversion::fromAPFS(0));
    EXPECT_FALSE(TimeConversion::fromAPFS(4102444800ULL * 1000000000ULL));
    auto oneNs = TimeConversion::fromAPFS(1);
    ASSERT_TRUE(oneNs);
    EXPECT_EQ(duration_cast<nanoseconds>(oneNs->time_since_epoch()).count(), 1);

    EXPECT_FALSE(TimeConversion::fromFiletime(0));
    EXPECT_FALSE(TimeConversion::fromFiletime(116444736000000000ULL));
    auto tick = TimeConversion::fromFiletime(116444736000000001ULL);
    ASSERT_TRUE(tick);  // one 100 ns tick after 1970 is kept, not lost to rounding
    EXPECT_EQ(duration_cast<nanoseconds>(tick->time_since_epoch()).count(), 100);
    EXPECT_FALSE(TimeConversion::fromFiletime(116444736000000000ULL + 4102444800ULL * 10000000ULL));

    EXPECT_FALSE(TimeConversion::fromHFS(0));
    EXPECT_EQ(unixSeconds(TimeConversion::fromHFS(2082844800u)), 0);
    EXPECT_EQ(unixSeconds(TimeConversion::fromHFS(1u)), 1 - 2082844800LL);
}

TEST(TimeConversion, DOSDatesAreLocalWallClockTime) {
    struct Case {
        const char* zone;
        int64_t expected;  // 1980-01-01 00:00 local, in Unix seconds
    };
    for (auto c : {Case{"UTC", 315532800}, Case{"Europe/Copenhagen", 315532800 - 3600},
                   Case{"America/New_York", 315532800 + 5 * 3600}}) {
        test::ScopedTimeZone zone(c.zone);
        EXPECT_EQ(unixSeconds(TimeConversion::fromDOS(0x0021, 0)), c.expected) << c.zone;
    }
    test::ScopedTimeZone utc("UTC");
    EXPECT_FALSE(TimeConversion::fromDOS(0, 0x1234));
    EXPECT_FALSE(TimeConversion::fromDOS((13 << 5) | 1, 0));               // month 13
    EXPECT_FALSE(TimeConversion::fromDOS((1 << 5) | 0, 0));                // day 0
    EXPECT_FALSE(TimeConversion::fromDOS(0x0021, (24 << 11)));             // hour 24
    EXPECT_FALSE(TimeConversion::fromDOS(0x0021, (60 << 5)));              // minute 60
    // 2010-07-15 13:24:56
    uint16_t date = static_cast<uint16_t>(((2010 - 1980) << 9) | (7 << 5) | 15);
    uint16_t time = static_cast<uint16_t>((13 << 11) | (24 << 5) | (56 / 2));
    EXPECT_EQ(unixSeconds(TimeConversion::fromDOS(date, time)), 1279200296);
}

TEST(TimeConversion, ExFATOffsetsShiftToUTC) {
    uint16_t date = static_cast<uint16_t>(((2020 - 1980) << 9) | (6 << 5) | 1);
    uint16_t noon = static_cast<uint16_t>(12 << 11);
    uint32_t stamp = (static_cast<uint32_t>(date) << 16) | noon;
    const int64_t noonUTC = 1591012800;  // 2020-06-01 12:00 UTC
    for (const char* zone : {"UTC", "Europe/Copenhagen", "America/New_York"}) {
        test::ScopedTimeZone z(zone);
        EXPECT_EQ(unixSeconds(TimeConversion::fromExFAT(stamp, 0x84)), noonUTC - 3600) << zone;  // stored at UTC+1
        EXPECT_EQ(unixSeconds(TimeConversion::fromExFAT(stamp, 0xFC)), noonUTC + 3600) << zone;  // UTC-1
        EXPECT_EQ(TimeConversion::fromExFAT(stamp, 0x04), TimeConversion::fromDOS(date, noon)) << zone;
    }
}
