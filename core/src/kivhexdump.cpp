/*
 * kivhexdump.cpp - hex dumps of memory by 16-byte lines.
 *
 * A line is laid out in fixed columns so that dumps line up in log files:
 *
 *   [0xAAAAAAAA : ]XXXX XXXX XXXX XXXX XXXX XXXX XXXX XXXX    cccccccccccccccc\r\n
 *
 * The character column starts 3 blanks after the room of eight groups.  The
 * whole line, address and line end included, fits KIV_HEXDUMP_LINE_SIZE.
 */
#include "kivstring.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr Uint32 kLineRoom = KIV_HEXDUMP_LINE_SIZE;  // 75: text room with the NUL
constexpr Uint32 kLineText = kLineRoom - 1;          // 74 characters at most
constexpr Uint32 kAddressWidth = 13;                 // "0x%08X : "
constexpr Uint32 kCharColumn = 43;                   // without the address
constexpr Uint32 kBytesPerLine = 16;

const char kHexDigits[] = "0123456789ABCDEF";

/* `digits` upper-case hex digits of `value`, as "%0*X" would write them. */
void putHex(char* at, Uint64 value, Uint32 digits)
{
    for (Uint32 i = digits; i-- > 0; value >>= 4)
        at[i] = kHexDigits[value & 0xF];
}

/* A 1, 2, 4 or 8-byte value as "0x" and 2 digits per byte; returns the
 * characters written, 0 for any other length. */
Uint32 putValue(char* at, const void* data, Uint32 length)
{
    Uint64 value;
    switch (length) {
    case 1: { Uint8 v;  std::memcpy(&v, data, 1); value = v; break; }
    case 2: { Uint16 v; std::memcpy(&v, data, 2); value = v; break; }
    case 4: { Uint32 v; std::memcpy(&v, data, 4); value = v; break; }
    case 8: { Uint64 v; std::memcpy(&v, data, 8); value = v; break; }
    default: return 0;
    }
    at[0] = '0';
    at[1] = 'x';
    putHex(at + 2, value, 2 * length);
    return 2 + 2 * length;
}

/* Bytes as "%02X", a blank after every second one; stops where two digits no
 * longer fit the line.  Returns the column after the last byte's digits (or
 * after the group's blank). */
Uint32 putBytes(char* line, Uint32 pos, const Uint8* bytes, Uint32 length)
{
    for (Uint32 i = 0; i < length && pos + 2 <= kLineText; ++i) {
        putHex(line + pos, bytes[i], 2);
        pos += 2;
        if (i & 1)
            ++pos;
    }
    return pos;
}

/* The bytes as text, non-printables as "."; bytes past the line are dropped. */
Uint32 putChars(char* line, Uint32 pos, const Uint8* bytes, Uint32 length)
{
    for (Uint32 i = 0; i < length && pos < kLineRoom; ++i)
        line[pos++] = (bytes[i] >= 32 && bytes[i] <= 126) ? static_cast<char>(bytes[i]) : '.';
    return pos;
}

} // namespace

Uint32 kivHexDumpLine(char* line, const void* data, Uint32 length, Uint32 flags)
{
    if (!line)
        return 0;
    if (!data)
        length = 0;
    const Uint8* bytes = static_cast<const Uint8*>(data);
    std::memset(line, ' ', kLineText);
    line[kLineText] = '\0';

    Uint32 pos = 0;
    if (flags & KIV_HEXDUMP_ADDRESS) {
        // Eight digits keep the columns fixed; a 64-bit address shows its
        // low half.
        std::memcpy(line, "0x", 2);
        putHex(line + 2, static_cast<Uint32>(reinterpret_cast<uintptr_t>(data)), 8);
        std::memcpy(line + 10, " : ", 3);
        pos = kAddressWidth;
    }
    Uint32 valueWidth = (flags & KIV_HEXDUMP_VALUE) ? putValue(line + pos, data, length) : 0;
    pos = valueWidth ? pos + valueWidth : putBytes(line, pos, bytes, length);

    if (!(flags & KIV_HEXDUMP_NO_CHARS) && length != 0) {
        Uint32 column = kCharColumn + ((flags & KIV_HEXDUMP_ADDRESS) ? kAddressWidth : 0);
        pos = putChars(line, column, bytes, length);
    }

    if (pos + 3 > kLineRoom) {
        line[kLineText] = '\0'; // full: no room for the line end
    } else {
        line[pos] = '\r';
        line[pos + 1] = '\n';
        line[pos + 2] = '\0';
    }
    return pos + 3;
}

void kivHexDumpToBuffer(const void* data, Uint32 length, char* out, Uint32 outSize,
                        const char* prefix, Uint32 flags)
{
    if (!out || outSize == 0)
        return;
    out[0] = '\0';
    if (length == 0 || !data)
        return;

    const Uint8* bytes = static_cast<const Uint8*>(data);
    const size_t prefixLength = prefix ? std::strlen(prefix) : 0;
    const Uint32 lines = length / kBytesPerLine + (length % kBytesPerLine != 0);
    char* at = out;
    size_t room = outSize;
    char line[kLineRoom];
    for (Uint32 i = 0; i < lines; ++i) {
        Uint32 offset = i * kBytesPerLine;
        Uint32 count = length - offset < kBytesPerLine ? length - offset : kBytesPerLine;
        kivHexDumpLine(line, bytes + offset, count, flags);
        size_t lineLength = std::strlen(line);
        // Two bytes of slack beyond the terminator, so a cut dump never ends
        // right at the buffer's last byte.
        if (room <= prefixLength + lineLength + 2)
            return;
        if (prefixLength != 0)  /* no prefix may be a null one, which memcpy must not see */
            std::memcpy(at, prefix, prefixLength);
        std::memcpy(at + prefixLength, line, lineLength + 1);
        at += prefixLength + lineLength;
        room -= prefixLength + lineLength;
    }
}
