/*
 * test_string.cpp - bounded formatting, hex dump lines and buffers, and the
 * conversions of text to booleans and 64-bit integers.
 */
#include "kivecf.h"
#include "kivstring.h"
#include "kivtest.h"
#include "kivuser.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

/* ---- kivSnprintf ------------------------------------------------------ */

TEST(Snprintf, StoresAtMostSizeMinusOneAndTerminates)
{
    // Size, text, what is stored (null: nothing at all), result: truncated
    // to size - 1, exactly one too long, fitting with its NUL, room for the
    // NUL only, no room.
    const struct {
        Uint32 size;
        const char *text, *stored;
        Uint32 result;
    } cases[] = {{4, "abcde", "abc", 3}, {5, "abcde", "abcd", 4}, {6, "abcde", "abcde", 5},
                 {1, "abcde", "", 0},    {0, "text", nullptr, 0}};
    for (const auto& c : cases) {
        char buffer[80];
        std::memset(buffer, 'Z', sizeof buffer);
        EXPECT_EQ(c.result, kivSnprintf(buffer, c.size, "%s", c.text)) << c.size;
        if (c.stored) {
            EXPECT_STREQ(c.stored, buffer) << c.size;
        }
        EXPECT_EQ('Z', buffer[c.size]) << "wrote past the size " << c.size;
    }
    EXPECT_EQ(0u, kivSnprintf(nullptr, 16, "%s", "text"));
}

Uint32 formatThroughVaList(char* buffer, Uint32 size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Uint32 n = kivVsnprintf(buffer, size, format, args);
    va_end(args);
    return n;
}

TEST(Snprintf, C99ConversionsVaListAndAppending)
{
    char buffer[64];
    EXPECT_EQ(16u, kivSnprintf(buffer, sizeof buffer, "%lld %zu %08X %s", -5LL, size_t{7},
                               0xABCu, "ok"));
    EXPECT_STREQ("-5 7 00000ABC ok", buffer);
    EXPECT_EQ(7u, formatThroughVaList(buffer, sizeof buffer, "%d-%s", 42, "abcd"));
    EXPECT_STREQ("42-abcd", buffer);

    // A caller appends by the result and never passes the end.
    char log[16];
    std::memset(log, 'Z', sizeof log);
    Uint32 at = 0;
    for (int i = 0; i < 10; ++i)
        at += kivSnprintf(log + at, static_cast<Uint32>(sizeof log) - at, "[%d]", i);
    EXPECT_EQ(15u, at);
    EXPECT_STREQ("[0][1][2][3][4]", log);
}

/* ---- kivHexDumpLine --------------------------------------------------- */

const char kDigits[] = "0123456789abcdefghijklmnopqrstuv"; // 32 bytes
// The first 16 bytes above as a full hex part: eight groups, each with its blank.
const std::string kDigitsHex = "3031 3233 3435 3637 3839 6162 6364 6566 ";

std::string addressOf(const void* p)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X : ",
                  static_cast<unsigned>(static_cast<Uint32>(reinterpret_cast<uintptr_t>(p))));
    return text;
}

std::string padTo(std::string s, size_t column)
{
    if (s.size() < column)
        s.append(column - s.size(), ' ');
    return s;
}

/* A line buffer with a guard behind it: the line must never pass its 75 bytes. */
struct GuardedLine {
    char line[KIV_HEXDUMP_LINE_SIZE];
    char guard[16];
    GuardedLine() { std::memset(guard, 0x5A, sizeof guard); }
    bool guardIntact() const { return std::string(guard, 16) == std::string(16, 0x5A); }
};

TEST(HexDumpLine, FullLineLiteral)
{
    // With the address a full line fills the buffer exactly (see below);
    // bytes that do not print are shown as dots.
    char line[KIV_HEXDUMP_LINE_SIZE];
    const unsigned char bytes[] = {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF, 'A'};
    EXPECT_EQ(54u, kivHexDumpLine(line, bytes, sizeof bytes, 0));
    EXPECT_EQ(padTo("001F 207E 7F80 FF41", 43) + ".. ~...A\r\n", line);
}

/* Every length 0..16 under every combination of the address and the
 * character column: the hex part is the leading part of the full one (cut
 * after the last byte's digits or its group's blank), the characters start
 * at column 43 (56 with the address), the line ends with CR LF, and the
 * result is the text length + 1. */
TEST(HexDumpLine, ColumnsForEveryLengthAndFlag)
{
    const Uint32 flagSets[] = {0, KIV_HEXDUMP_ADDRESS, KIV_HEXDUMP_NO_CHARS,
                               KIV_HEXDUMP_ADDRESS | KIV_HEXDUMP_NO_CHARS,
                               // value mode is ignored for lengths other than 1, 2, 4, 8
                               KIV_HEXDUMP_VALUE};
    for (Uint32 flags : flagSets) {
        for (Uint32 n = 0; n <= 16; ++n) {
            if ((flags & KIV_HEXDUMP_VALUE) && (n == 1 || n == 2 || n == 4 || n == 8))
                continue;
            const std::string address = (flags & KIV_HEXDUMP_ADDRESS) ? addressOf(kDigits) : "";
            std::string expected = address + kDigitsHex.substr(0, 5 * (n / 2) + 2 * (n % 2));
            if (!(flags & KIV_HEXDUMP_NO_CHARS) && n > 0)
                expected = padTo(expected, address.size() + 43) + std::string(kDigits, n);
            expected += "\r\n";

            GuardedLine g;
            Uint32 r = kivHexDumpLine(g.line, kDigits, n, flags);
            EXPECT_EQ(expected, g.line) << "length " << n << " flags " << flags;
            EXPECT_EQ(expected.size() + 1, r) << "length " << n << " flags " << flags;
            EXPECT_TRUE(g.guardIntact());
        }
    }
}

TEST(HexDumpLine, ValueModeShowsOneNumber)
{
    // The narrowest and widest values, padded to their width.
    const Uint8 v1 = 0x07;
    const Uint64 v8 = 0x0123456789ABCDEFull;
    const Uint32 flags = KIV_HEXDUMP_VALUE | KIV_HEXDUMP_NO_CHARS;
    char line[KIV_HEXDUMP_LINE_SIZE];
    EXPECT_EQ(7u, kivHexDumpLine(line, &v1, 1, flags));
    EXPECT_STREQ("0x07\r\n", line);
    kivHexDumpLine(line, &v8, 8, flags | KIV_HEXDUMP_ADDRESS);
    EXPECT_EQ(addressOf(&v8) + "0x0123456789ABCDEF\r\n", line);

    // The character column still shows the bytes in memory order.
    EXPECT_EQ(50u, kivHexDumpLine(line, "ABCD", 4, KIV_HEXDUMP_VALUE));
    EXPECT_EQ(padTo("0x44434241", 43) + "ABCD\r\n", line); // little-endian
}

TEST(HexDumpLine, OverlongAndMissingInput)
{
    char data[40];
    for (int i = 0; i < 40; ++i)
        data[i] = static_cast<char>('A' + i % 26);
    // Characters run to the last column; those beyond it, and the line
    // end, are dropped.
    GuardedLine g;
    EXPECT_GT(kivHexDumpLine(g.line, data, sizeof data, KIV_HEXDUMP_ADDRESS), 75u);
    EXPECT_EQ(std::string(data, 18), std::string(g.line + 56));
    EXPECT_TRUE(g.guardIntact());
    char line[KIV_HEXDUMP_LINE_SIZE];

    EXPECT_EQ(0u, kivHexDumpLine(nullptr, kDigits, 16, 0));
    EXPECT_EQ(3u, kivHexDumpLine(line, nullptr, 16, 0)); // nothing to show
    EXPECT_STREQ("\r\n", line);
    EXPECT_EQ(16u, kivHexDumpLine(line, kDigits, 0, KIV_HEXDUMP_ADDRESS));
    EXPECT_EQ(addressOf(kDigits) + "\r\n", line);
}

/* ---- kivHexDumpToBuffer ----------------------------------------------- */

std::string lineOf(const void* data, Uint32 length, Uint32 flags)
{
    char line[KIV_HEXDUMP_LINE_SIZE];
    kivHexDumpLine(line, data, length, flags);
    return line;
}

TEST(HexDumpToBuffer, OneLinePerSixteenBytesEachWithThePrefix)
{
    unsigned char data[256];
    for (int i = 0; i < 256; ++i)
        data[i] = static_cast<unsigned char>(i);
    // Each line shows its own bytes, and with the address, their own address.
    for (const char* prefix : {static_cast<const char*>(nullptr), "", "  > "}) {
        for (Uint32 flags : {0u, KIV_HEXDUMP_ADDRESS}) {
            for (Uint32 length : {0u, 15u, 16u, 17u, 256u}) {
                char out[4096];
                std::memset(out, 'Z', sizeof out);
                kivHexDumpToBuffer(data, length, out, sizeof out, prefix, flags);
                std::string expected;
                for (Uint32 at = 0; at < length; at += 16)
                    expected += std::string(prefix ? prefix : "") +
                                lineOf(data + at, length - at < 16 ? length - at : 16, flags);
                EXPECT_EQ(expected, out) << length << " flags " << flags;
            }
        }
    }
}

TEST(HexDumpToBuffer, StopsBeforeALineThatDoesNotFit)
{
    const std::string prefix = "## ";
    const std::string line = lineOf(kDigits, 16, 0);
    // A line is written only with two bytes to spare beyond its terminator.
    const Uint32 oneLine = static_cast<Uint32>(prefix.size() + line.size() + 3);
    char out[512];
    std::memset(out, 'Z', sizeof out);
    kivHexDumpToBuffer(kDigits, 16, out, oneLine - 1, prefix.c_str(), 0);
    EXPECT_STREQ("", out); // too small for the first line
    EXPECT_EQ('Z', out[1]);

    kivHexDumpToBuffer(kDigits, 16, out, oneLine, prefix.c_str(), 0);
    EXPECT_EQ(prefix + line, out);

    // Room for one and a half lines: the second is left out whole.
    std::memset(out, 'Z', sizeof out);
    kivHexDumpToBuffer(kDigits, 32, out, oneLine + 40, prefix.c_str(), 0);
    EXPECT_EQ(prefix + line, out);
    EXPECT_EQ('Z', out[oneLine + 40]);

    // No room at all, no buffer, room for the terminator only.
    std::memset(out, 'Z', sizeof out);
    kivHexDumpToBuffer(kDigits, 16, out, 0, nullptr, 0);
    EXPECT_EQ('Z', out[0]);
    kivHexDumpToBuffer(kDigits, 16, nullptr, 64, nullptr, 0);
    kivHexDumpToBuffer(kDigits, 16, out, 1, nullptr, 0);
    EXPECT_EQ('\0', out[0]);
    EXPECT_EQ('Z', out[1]);
}

/* ---- kivStrToBoolean -------------------------------------------------- */

TEST(StrToBoolean, WordsInAnyCase)
{
    const Uint32 no = ECF_KIV_NOT_BOOLEAN_STRING;
    const struct {
        const char* text;
        Uint32      rc;
        Uint8       value;
    } cases[] = {
        {"1", 0, 1},  {"On", 0, 1}, {"yEs", 0, 1},  {"t", 0, 1},     {"0", 0, 0},
        {"OFF", 0, 0}, {"n", 0, 0}, {"false", 0, 0}, {" yes", no, 0}, {"tru", no, 0},
    };
    for (const auto& c : cases) {
        Uint8 value = 0xAA;
        EXPECT_EQ(c.rc, kivStrToBoolean(c.text, &value)) << '"' << c.text << '"';
        EXPECT_EQ(c.value, value) << '"' << c.text << '"';
    }

    Uint8 value = 0xAA;
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivStrToBoolean(nullptr, &value));
    EXPECT_EQ(0u, value);
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivStrToBoolean("yes", nullptr));
}

/* ---- KIVCurrentUserParam ---------------------------------------------- */

TEST(CurrentUserParam, ANewObjectPassesTheVersionCheck)
{
    // Made in storage that held zeros, as a caller's stack may: only the
    // constructor can supply the version.
    alignas(KIVCurrentUserParam) unsigned char storage[sizeof(KIVCurrentUserParam)] = {};
    KIVCurrentUserParam* p = new (storage) KIVCurrentUserParam;
    EXPECT_EQ(KIV_VERSION_CURRENT, p->version);
    char out[256];
    p->bufferSize = sizeof out;
    EXPECT_EQ(0u, kivGetCurrentUserName(p, out));
}

/* ---- kivStrToUint64 / kivStrToSint64 ---------------------------------- */

constexpr Uint64 kAllOnes = ~0ull;

struct IntCase {
    const char* text;
    int base;
    Uint64 value;  // the signed conversions' two's complement pattern
    ptrdiff_t end; // offset of *end from text
    bool overflow;
};

template <typename Convert, size_t N> void checkConversions(const IntCase (&cases)[N], Convert convert)
{
    for (const IntCase& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.text << "\" base " << c.base);
        errno = 0;
        char* end = nullptr;
        EXPECT_EQ(c.value, static_cast<Uint64>(convert(c.text, &end, c.base)));
        EXPECT_EQ(c.end, end - c.text);
        EXPECT_EQ(c.overflow ? ERANGE : 0, errno);
        // The end pointer is optional.
        EXPECT_EQ(c.value, static_cast<Uint64>(convert(c.text, nullptr, c.base)));
    }
}

TEST(StrToUint64, BasesPrefixesAndEndPointers)
{
    const IntCase cases[] = {
        {" 0x1F", 0, 31, 5, false},  {"0X1f", 16, 31, 4, false}, {"ffz", 16, 255, 2, false},
        {"0x", 16, 0, 1, false}, // prefix without digits: end at the x
        {"0x1F", 10, 0, 1, false}, // no prefix in base 10
        {"017", 0, 15, 3, false},    {"018", 0, 1, 2, false},
        {"   42   ", 10, 42, 5, false}, {"+7", 10, 7, 2, false},
        {"-1", 10, kAllOnes, 2, false}, // negation in two's complement
        {"Zz!", 36, 35 * 36 + 35, 2, false},
        {"007", 1, 0, 2, false},            // base 1 has only the digit 0
        {"zz", 37, 35 * 37 + 35, 2, false}, // every digit and letter is below 37
        {"12", -5, 0, 0, false},            // nothing is below a negative base
        // No number: end at the text, or at the first character not converted.
        {"   ", 10, 0, 0, false},  {"- 5", 10, 0, 0, false}, {"  xyz", 10, 0, 2, false},
    };
    checkConversions(cases, kivStrToUint64);

    char marker[] = "m";
    char* end = marker;
    EXPECT_EQ(0u, kivStrToUint64(nullptr, &end, 10));
    EXPECT_EQ(nullptr, end);
    end = marker;
    EXPECT_EQ(0, kivStrToSint64(nullptr, &end, 10));
    EXPECT_EQ(nullptr, end);
}

TEST(StrToUint64, OverflowSaturatesWithErange)
{
    const IntCase cases[] = {
        {"18446744073709551615", 10, kAllOnes, 20, false},
        {"18446744073709551616", 10, kAllOnes, 20, true},
        // The true value wraps to something larger than the step before.
        {"30000000000000000000", 10, kAllOnes, 20, true},
        {"0x10000000000000000", 0, kAllOnes, 19, true},
        {"-18446744073709551616", 10, kAllOnes, 21, true}, // saturated, not negated
        {"-18446744073709551615", 10, 1, 21, false},
    };
    checkConversions(cases, kivStrToUint64);
}

TEST(StrToSint64, SignedLimits)
{
    const Uint64 min = 0x8000000000000000ull;
    const Uint64 max = 0x7FFFFFFFFFFFFFFFull;
    const IntCase cases[] = {
        {"-9223372036854775808", 10, min, 20, false}, {"9223372036854775807", 10, max, 19, false},
        {"9223372036854775808", 10, max, 19, true},   {"-9223372036854775809", 10, min, 20, true},
        {"0x8000000000000000", 16, max, 18, true},
        {"-0x8000000000000000", 0, min, 19, false},
        {"-017", 0, static_cast<Uint64>(-15), 4, false},
        {"-", 10, 0, 0, false},
    };
    checkConversions(cases, kivStrToSint64);

    // Without an overflow errno is left as it was.
    errno = 7;
    EXPECT_EQ(5, kivStrToSint64("5", nullptr, 10));
    EXPECT_EQ(7, errno);
}

} // namespace
