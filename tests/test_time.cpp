/*
 * test_time.cpp - the current time and its calendar split.
 */
#include "kivtime.h"
#include "kivtest.h"

#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace {

TEST(TimeGetUTC, AgreesWithTheRuntimeClock)
{
    const Uint64 before = static_cast<Uint64>(std::time(nullptr));
    KIVTime t;
    std::memset(&t, 0xA5, sizeof t);
    const Uint64 seconds = kivTimeGetUTC(&t);
    const Uint64 after = static_cast<Uint64>(std::time(nullptr));
    EXPECT_LE(before, seconds);
    EXPECT_GE(after, seconds);
    EXPECT_EQ(seconds, t.seconds);
    EXPECT_LE(seconds, kivTimeGetUTC(nullptr));

    // The microseconds are the milliseconds times a thousand, every time.
    for (int i = 0; i < 2000; ++i) {
        kivTimeGetUTC(&t);
        ASSERT_LE(t.milliseconds, 999u);
        ASSERT_EQ(static_cast<Uint32>(t.milliseconds) * 1000u, t.microseconds);
    }
}

struct Calendar {
    Uint64 seconds;
    int year, month, day, hour, minute, second, weekday, yearDay;
};

const Calendar kKnownTimes[] = {
    {0, 1970, 1, 1, 0, 0, 0, 4, 0},
    {951782400, 2000, 2, 29, 0, 0, 0, 2, 59},     // a leap day
    {951868799, 2000, 2, 29, 23, 59, 59, 2, 59},
    {4102444800ull, 2100, 1, 1, 0, 0, 0, 5, 0},   // beyond 32-bit seconds
    {32535215999ull, 3000, 12, 31, 23, 59, 59, 3, 364}, // the last convertible second
};

TEST(TimeGmTime, KnownValues)
{
    for (const Calendar& c : kKnownTimes) {
        struct tm out;
        std::memset(&out, 0x5A, sizeof out);
        ASSERT_EQ(&out, kivTimeGmTime(c.seconds, &out)) << c.seconds;
        const std::vector<int> want = {c.year, c.month, c.day, c.hour, c.minute,
                                       c.second, c.weekday, c.yearDay, 0};
        const std::vector<int> got = {out.tm_year + 1900, out.tm_mon + 1, out.tm_mday,
                                      out.tm_hour, out.tm_min, out.tm_sec,
                                      out.tm_wday, out.tm_yday, out.tm_isdst};
        EXPECT_EQ(want, got) << c.seconds;
    }
}

bool isZeroFilled(const struct tm& t)
{
    return t.tm_sec == 0 && t.tm_min == 0 && t.tm_hour == 0 && t.tm_mday == 0 && t.tm_mon == 0 &&
           t.tm_year == 0 && t.tm_wday == 0 && t.tm_yday == 0 && t.tm_isdst == 0;
}

TEST(TimeCalendar, SecondsOutOfRangeGiveAZeroFilledRecord)
{
    const Uint64 outOfRange[] = {32535216000ull, 1ull << 62, 1ull << 63, ~0ull};
    for (Uint64 seconds : outOfRange) {
        struct tm out;
        std::memset(&out, 0x5A, sizeof out);
        EXPECT_EQ(&out, kivTimeGmTime(seconds, &out)) << seconds;
        EXPECT_TRUE(isZeroFilled(out)) << seconds;
        std::memset(&out, 0x5A, sizeof out);
        EXPECT_EQ(&out, kivTimeLocalTime(seconds, &out)) << seconds;
        EXPECT_TRUE(isZeroFilled(out)) << seconds;
    }
    EXPECT_EQ(nullptr, kivTimeGmTime(0, nullptr));
    EXPECT_EQ(nullptr, kivTimeLocalTime(0, nullptr));
}

/* Seconds since 1970 of a calendar record read as UTC (days from the civil
 * date by the era method), to compare a local split with the UTC one. */
long long fieldsAsUtcSeconds(const struct tm& t)
{
    long long y = t.tm_year + 1900LL - (t.tm_mon < 2);
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yearOfEra = y - era * 400;
    long long m = t.tm_mon + 1;
    long long dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + t.tm_mday - 1;
    long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    long long days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
}

TEST(TimeLocalTime, IsTheLocalViewOfTheSameSecond)
{
    const Uint64 samples[] = {kivTimeGetUTC(nullptr), 951782400, 4102444800ull};
    for (Uint64 seconds : samples) {
        struct tm local;
        struct tm utc;
        ASSERT_EQ(&local, kivTimeLocalTime(seconds, &local));
        kivTimeGmTime(seconds, &utc);
        EXPECT_EQ(static_cast<long long>(seconds), fieldsAsUtcSeconds(utc)) << seconds;
        // A zone is a whole number of minutes within 14 hours of UTC.
        long long offset = fieldsAsUtcSeconds(local) - static_cast<long long>(seconds);
        EXPECT_LE(offset < 0 ? -offset : offset, 14 * 3600) << seconds;
        EXPECT_EQ(0, offset % 60) << seconds;
        // The runtime's own inverse of the local split gives the second back.
        struct tm copy = local;
        EXPECT_EQ(static_cast<time_t>(seconds), std::mktime(&copy)) << seconds;
    }
}

/* The runtime keeps one result per thread; conversions on other threads must
 * not show through. */
TEST(TimeCalendar, ConcurrentConversionsKeepTheirOwnResult)
{
    auto convert = [](Uint64 seconds, int year, bool* ok) {
        for (int i = 0; i < 20000 && *ok; ++i) {
            struct tm out;
            kivTimeGmTime(seconds, &out);
            *ok = out.tm_year == year - 1900;
        }
    };
    bool okA = true, okB = true;
    std::thread a(convert, Uint64{951782400}, 2000, &okA);
    std::thread b(convert, Uint64{4102444800ull}, 2100, &okB);
    a.join();
    b.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
}

} // namespace
