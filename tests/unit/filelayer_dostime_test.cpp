// DOS date-time conversions: the worked example, range limits, field checks and round trips.
#include <gtest/gtest.h>
#include <random>
#include "dostime.h"

namespace {
// 100-ns ticks since 1601 of some UTC instants, worked out independently of the code under test.
const OsFileTime k19960315_143026 = 124713738260000000ull;
const OsFileTime k19800101_000000 = 119600064000000000ull;
const OsFileTime k21071231_235959 = 159992927990000000ull;
const OsFileTime k21080101_000000 = 159992928000000000ull;
const OsFileTime k19960229_235959 = 124701119990000000ull;
const OsFileTime kSecond = 10000000ull;
}   // namespace

TEST(DosTime, WorkedExampleBothWays)
{
    uint16_t date = 0, time = 0;
    ASSERT_TRUE(FileTimeToDos(k19960315_143026, &date, &time));
    EXPECT_EQ(0x206F, date);
    EXPECT_EQ(0x73CD, time);
    EXPECT_EQ(0x206F73CDu, ((uint32_t)date << 16) | time);

    OsFileTime t = 0;
    ASSERT_TRUE(DosToFileTime(0x206F, 0x73CD, &t));
    EXPECT_EQ(k19960315_143026, t);
}

TEST(DosTime, OddSecondsAndFractionsRoundDown)
{
    uint16_t date = 0, time = 0;
    ASSERT_TRUE(FileTimeToDos(k19960315_143026 + kSecond + 9999999, &date, &time));
    EXPECT_EQ(0x73CD, time);   // 14:30:27.9999999 keeps 26 seconds
    ASSERT_TRUE(FileTimeToDos(k19960229_235959, &date, &time));
    EXPECT_EQ((16 << 9) | (2 << 5) | 29, date);
    EXPECT_EQ((23 << 11) | (59 << 5) | 29, time);
}

TEST(DosTime, YearsOutsideTheFormatAreRefused)
{
    uint16_t date = 0xAAAA, time = 0xAAAA;
    ASSERT_TRUE(FileTimeToDos(k19800101_000000, &date, &time));
    EXPECT_EQ((0 << 9) | (1 << 5) | 1, date);
    EXPECT_EQ(0, time);
    EXPECT_FALSE(FileTimeToDos(k19800101_000000 - 1, &date, &time));   // 1979
    ASSERT_TRUE(FileTimeToDos(k21071231_235959, &date, &time));
    EXPECT_EQ((127 << 9) | (12 << 5) | 31, date);
    EXPECT_FALSE(FileTimeToDos(k21080101_000000, &date, &time));   // 2108
    EXPECT_FALSE(FileTimeToDos(0, &date, &time));
    EXPECT_FALSE(FileTimeToDos(~0ull, &date, &time));
}

TEST(DosTime, FieldsOutOfRangeAreRefused)
{
    const uint16_t goodDate = (16 << 9) | (3 << 5) | 15, goodTime = (14 << 11) | (30 << 5) | 13;
    OsFileTime t;
    EXPECT_TRUE(DosToFileTime(goodDate, goodTime, &t));
    EXPECT_FALSE(DosToFileTime((16 << 9) | (0 << 5) | 15, goodTime, &t));     // month 0
    EXPECT_FALSE(DosToFileTime((16 << 9) | (13 << 5) | 15, goodTime, &t));    // month 13
    EXPECT_FALSE(DosToFileTime((16 << 9) | (3 << 5) | 0, goodTime, &t));      // day 0
    EXPECT_FALSE(DosToFileTime((16 << 9) | (4 << 5) | 31, goodTime, &t));     // 31 April
    EXPECT_TRUE(DosToFileTime((16 << 9) | (2 << 5) | 29, goodTime, &t));      // 1996 is a leap year
    EXPECT_FALSE(DosToFileTime((17 << 9) | (2 << 5) | 29, goodTime, &t));     // 1997 is not
    EXPECT_TRUE(DosToFileTime((20 << 9) | (2 << 5) | 29, goodTime, &t));      // 2000 is (400 rule)
    EXPECT_FALSE(DosToFileTime((120 << 9) | (2 << 5) | 29, goodTime, &t));    // 2100 is not
    EXPECT_FALSE(DosToFileTime(goodDate, (24 << 11), &t));                    // hour 24
    EXPECT_FALSE(DosToFileTime(goodDate, (23 << 11) | (60 << 5), &t));        // minute 60
    EXPECT_FALSE(DosToFileTime(goodDate, (23 << 11) | (59 << 5) | 30, &t));   // second 60
}

TEST(DosTime, RoundTripsOverTheWholeRange)
{
    std::mt19937 rng(1996);
    for (int i = 0; i < 20000; ++i) {
        OsFileTime t = k19800101_000000 +
            (OsFileTime)(rng() % (uint32_t)((k21080101_000000 - k19800101_000000) / kSecond)) * kSecond +
            rng() % kSecond;
        uint16_t date, time;
        ASSERT_TRUE(FileTimeToDos(t, &date, &time)) << t;
        OsFileTime back;
        ASSERT_TRUE(DosToFileTime(date, time, &back));
        EXPECT_LE(back, t);
        EXPECT_GT(back + 2 * kSecond, t);
        EXPECT_EQ(0u, back % (2 * kSecond));
        uint16_t date2, time2;
        ASSERT_TRUE(FileTimeToDos(back, &date2, &time2));
        EXPECT_EQ(date, date2);
        EXPECT_EQ(time, time2);
    }
}
