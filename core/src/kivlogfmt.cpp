/*
 * kivlogfmt.cpp - the layout of a diagnostic log record.
 *
 * A record is CR LF, a header naming the operation, its time, process and
 * thread, the ECF code and the function it called, then the typed data
 * items.  Every piece goes through kivSnprintf into what is left of one
 * fixed buffer, so a record is cut, never overrun, and the formatter needs
 * no heap: it runs while a facility latch is held and from failure paths of
 * the memory allocator itself.
 *
 * Readers of the log files parse this text (column of "OSERR:", the item
 * labels, the dump lines), so the formats below are fixed.
 */
#include "kivlogfmt.h"

#include "kivecf.h"
#include "kiverror.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivprocess.h"
#include "kivstring.h"
#include "kivthread.h"
#include "kivtime.h"

#include <cstring>

namespace {

/* Header room: the buffer less the leading CR LF and the terminator. */
constexpr Uint32 kHeaderRoom = KIVLOG_RECORD_SIZE - 3;
/* Item room is this less the header's length, so the whole record stays
 * within KIVLOG_RECORD_SIZE - 1 characters. */
constexpr Uint32 kItemRoomBase = KIVLOG_RECORD_SIZE - 2;
/* An item's value is shown from at most this many bytes. */
constexpr Uint32 kShownMax = 512;
/* A dump line: 60 characters and a terminator. */
constexpr Uint32 kDumpLineRoom = 61;
/* Nested lists nest at most this deep; deeper ones are dropped, which only
 * a list that contains itself can reach. */
constexpr int kMaxNesting = 8;
/* And at most this many are expanded in one record; later ones are dropped
 * too.  The depth alone does not bound the work: a list that contains itself
 * n times would be walked n^8 times, which hangs the writer (and every other
 * logging thread, behind the busy flag) while it writes nothing. */
constexpr int kMaxNestedLists = 64;

/* Appends formatted text to the part of the record that is left. */
class TextSink {
public:
    TextSink(char* start, Uint32 room) : pos_(start), room_(room), written_(0) {}

    Uint32 add(const char* format, ...) KIV_PRINTF_FORMAT(2, 3)
    {
        va_list ap;
        va_start(ap, format);
        Uint32 n = kivVsnprintf(pos_, room_, format, ap);
        va_end(ap);
        advance(n);
        return n;
    }

    /* Copies `n` characters that are known to fit (n < room). */
    void addChars(const char* s, Uint32 n)
    {
        std::memcpy(pos_, s, n);
        pos_[n] = '\0';
        advance(n);
    }

    Uint32 room() const { return room_; } /* terminator included */
    Uint32 written() const { return written_; }

private:
    void advance(Uint32 n)
    {
        pos_ += n;
        room_ -= n;
        written_ += n;
    }

    char*  pos_;
    Uint32 room_;
    Uint32 written_;
};

const char* orEmpty(const char* s) { return s != nullptr ? s : ""; }

/* ---- header ---------------------------------------------------------- */

/* Minutes east of UTC, from one reading of the clock split both ways.  The
 * clocks are compared by time of day only, so a difference of half a day or
 * more means the two sit on different dates. */
int zoneMinutes()
{
    const Uint64 now = kivTimeGetUTC(nullptr);
    struct tm local, utc;
    kivTimeLocalTime(now, &local);
    kivTimeGmTime(now, &utc);
    const int localSecs = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    const int utcSecs = utc.tm_hour * 3600 + utc.tm_min * 60 + utc.tm_sec;
    int d = localSecs - utcSecs;
    if (d >= 43200 || d <= -43200) {
        if (utcSecs < localSecs) {
            d -= 86400;
            if (d == -43200)
                d = 43200;
        } else {
            d += 86400;
        }
    }
    return d / 60;
}

const char* levelWord(Uint32 level)
{
    switch (level) {
    case KIVLOG_SEVERE:  return "Severe";
    case KIVLOG_ERROR2:
    case KIVLOG_ERROR:   return "Error";
    case KIVLOG_WARNING: return "Warning";
    case KIVLOG_INFO:    return "Info";
    case KIVLOG_EVENT:   return "Event";
    default:             return "Unknown";
    }
}

void formatFirstLines(TextSink& s, const KIVLogCall& call)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    char stamp[32];
    kivSnprintf(stamp, sizeof stamp, "%04d-%02d-%02d-%02d.%02d.%02d.%06d", st.wYear, st.wMonth,
                st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds * 1000);
    char zone[16];
    kivSnprintf(zone, sizeof zone, "%+.3d", zoneMinutes());

    const char* suffix = (call.flags & KIVLOG_FLAG_SYSERR) ? " (OS)" : "";
    s.add("%s%-23s LEVEL: %s%s\r\nPID     : %-21luTID : %llu\r\n"
          "FUNCTION: %.40s, %.40s, %.40s, probe:%u\r\n",
          stamp, zone, levelWord(call.level), suffix, (unsigned long)kivProcessID(),
          (unsigned long long)kivThreadID(), orEmpty(ecfGetProductName(call.functionId)),
          orEmpty(ecfGetComponentName(call.functionId)),
          orEmpty(ecfGetFunctionName(call.functionId)), call.probe);
}

void formatCalled(TextSink& s, const KIVLogCall& call)
{
    const Uint32 fn = call.calledFunctionId;
    const bool osCall = KIV_FID_PRODUCT(fn) == 1 && KIV_FID_COMPONENT(fn) == 2;
    const char* product = osCall ? "OS" : orEmpty(ecfGetProductName(fn));
    const char* component = osCall ? "-" : orEmpty(ecfGetComponentName(fn));
    const char* function = orEmpty(ecfGetFunctionName(fn));

    if (!(call.flags & KIVLOG_FLAG_SYSERR)) {
        s.add("CALLED  : %.40s, %.40s, %.40s\r\nRETCODE : ECF=0x%X %.128s\r\n", product,
              component, function, call.calledValue,
              orEmpty(ecfErrorGetDescription(call.calledValue)));
        return;
    }
    /* "OSERR:" lines up in column 51 whatever the names' lengths. */
    const Uint32 n = s.add("CALLED  : %.40s, %.40s, %.40s", product, component, function);
    const char* name = kivErrorNameMapSystem(fn, call.calledValue);
    const int pad = 50 - (int)(n < 50 ? n : 50);
    if (name != nullptr)
        s.add("%*s%s%s (%d)\r\n", pad, " ", "OSERR: ", name, (int)call.calledValue);
    else
        s.add("%*s%s%d\r\n", pad, " ", "OSERR: ", (int)call.calledValue);
}

void formatHeader(TextSink& s, const KIVLogCall& call)
{
    formatFirstLines(s, call);
    if (call.messageCode != 0)
        s.add("MESSAGE : ECF=0x%X %.128s\r\n", call.messageCode,
              orEmpty(ecfErrorGetDescription(call.messageCode)));
    if (call.calledFunctionId != 0)
        formatCalled(s, call);
}

/* ---- item values ----------------------------------------------------- */

/* A value of 1, 2, 4 or 8 bytes, read without alignment assumptions. */
Uint64 readUnsigned(const void* p, Uint32 size)
{
    switch (size) {
    case 1: { Uint8 v;  std::memcpy(&v, p, 1); return v; }
    case 2: { Uint16 v; std::memcpy(&v, p, 2); return v; }
    case 4: { Uint32 v; std::memcpy(&v, p, 4); return v; }
    default: { Uint64 v; std::memcpy(&v, p, 8); return v; }
    }
}

Sint64 readSigned(const void* p, Uint32 size)
{
    switch (size) {
    case 1: { Sint8 v;  std::memcpy(&v, p, 1); return v; }
    case 2: { Sint16 v; std::memcpy(&v, p, 2); return v; }
    case 4: { Sint32 v; std::memcpy(&v, p, 4); return v; }
    default: { Sint64 v; std::memcpy(&v, p, 8); return v; }
    }
}

bool isScalarSize(Uint32 size) { return size == 1 || size == 2 || size == 4 || size == 8; }

/* The string up to its NUL, cut to the room and to 511 characters; the line
 * end only when it fits with the terminator. */
void formatString(TextSink& s, const char* text, Uint32 shown)
{
    s.add("String, %u bytes\r\n", shown);
    const Uint32 room = s.room();
    const Uint32 limit = (room < kShownMax ? room : kShownMax) - 1;
    Uint32 n = 0;
    while (n < limit && text[n] != '\0')
        ++n;
    s.addChars(text, n);
    if (room >= n + 3)
        s.add("\r\n");
}

void formatUint(TextSink& s, const void* p, Uint32 size, Uint32 shown)
{
    const Uint64 v = readUnsigned(p, size);
    switch (size) {
    case 1: s.add("Uint8, %u bytes\r\n%hu\r\n", shown, (unsigned short)v); break;
    case 2: s.add("Uint16, %u bytes\r\n%hu\r\n", shown, (unsigned short)v); break;
    case 4: s.add("Uint32, %u bytes\r\n%u\r\n", shown, (unsigned)v); break;
    default: s.add("Uint64, %u bytes\r\n%llu\r\n", shown, (unsigned long long)v); break;
    }
}

void formatSint(TextSink& s, const void* p, Uint32 size, Uint32 shown)
{
    const Sint64 v = readSigned(p, size);
    switch (size) {
    case 1: s.add("Sint8, %u bytes\r\n%hd\r\n", shown, (short)v); break;
    case 2: s.add("Sint16, %u bytes\r\n%hd\r\n", shown, (short)v); break;
    case 4: s.add("Sint32, %u bytes\r\n%d\r\n", shown, (int)v); break;
    default: s.add("Sint64, %u bytes\r\n%lld\r\n", shown, (long long)v); break;
    }
}

void formatHex(TextSink& s, const void* p, Uint32 size, Uint32 shown)
{
    const Uint64 v = readUnsigned(p, size);
    switch (size) {
    case 1:
    case 2: s.add("Hex, %u bytes\r\n0x%hX\r\n", shown, (unsigned short)v); break;
    case 4: s.add("Hex, %u bytes\r\n0x%X\r\n", shown, (unsigned)v); break;
    default: s.add("Hex, %u bytes\r\n0x%llX\r\n", shown, (unsigned long long)v); break;
    }
}

/* The typed formats; false when the type does not take this size (the
 * caller then dumps the bytes). */
bool formatTyped(TextSink& s, const void* p, Uint32 size, Uint32 shown, Sint32 type)
{
    switch (type) {
    case KIVLOG_TYPE_STRING:
        formatString(s, static_cast<const char*>(p), shown);
        return true;
    case KIVLOG_TYPE_CHAR:
        s.add("Char, %u bytes\r\n%c\r\n", shown, *static_cast<const char*>(p));
        return true;
    case KIVLOG_TYPE_BOOL:
        if (!isScalarSize(size))
            return false;
        s.add("Bool, %u bytes\r\n%s\r\n", shown, readUnsigned(p, size) != 0 ? "true" : "false");
        return true;
    case KIVLOG_TYPE_UINT:
        if (!isScalarSize(size))
            return false;
        formatUint(s, p, size, shown);
        return true;
    case KIVLOG_TYPE_SINT:
        if (!isScalarSize(size))
            return false;
        formatSint(s, p, size, shown);
        return true;
    case KIVLOG_TYPE_HEX:
        if (!isScalarSize(size))
            return false;
        formatHex(s, p, size, shown);
        return true;
    default:
        return false;
    }
}

/* One dump line of up to 16 bytes: hex columns in groups of four, then the
 * printable characters. */
void formatDumpLine(TextSink& s, const Uint8* p, Uint32 n)
{
    char line[kDumpLineRoom];
    TextSink l(line, sizeof line);
    for (Uint32 col = 0; col < 16; ++col) {
        if (col < n)
            l.add("%02X", p[col]);
        else
            l.add("  ");
        if (col % 4 == 3)
            l.add("  ");
    }
    l.add("  ");
    for (Uint32 col = 0; col < n; ++col)
        l.add("%c", (p[col] >= 0x20 && p[col] <= 0x7E) ? (char)p[col] : '.');
    l.add("\r\n");
    s.add("%s", line);
}

/* The shown bytes, cut to the whole lines that fit in the room. */
void formatHexDump(TextSink& s, const Uint8* p, Uint32 size, Uint32 shown)
{
    Uint32 dumped = shown;
    const Uint32 room = s.room();
    if (((shown + 15) / 16) * kDumpLineRoom + 1 > room) {
        const Uint32 fit = ((room - 1) / kDumpLineRoom) * 16;
        dumped = fit < shown ? fit : shown;
    }
    if (dumped != size)
        s.add("<hexdump>, %u bytesof %u\r\n", shown, size);
    else
        s.add("<hexdump>, %u bytes\r\n", shown);
    for (Uint32 off = 0; off < dumped; off += 16)
        formatDumpLine(s, p + off, dumped - off < 16 ? dumped - off : 16);
}

void formatItem(TextSink& s, Uint32 flags, int label, const void* p, Uint32 size, Sint32 type)
{
    s.add((flags & KIVLOG_FLAG_ARGMASK) ? "ARG  #%-2u: " : "DATA #%-2u: ", (unsigned)label);
    if (p == nullptr) {
        s.add("\r\nNULL\r\n");
        return;
    }
    const Uint32 shown = size < kShownMax ? size : kShownMax;
    if (type < 0 && formatTyped(s, p, size, shown, type))
        return;
    formatHexDump(s, static_cast<const Uint8*>(p), size, shown);
}

/* ---- item lists ------------------------------------------------------ */

/* The items of one list.  `firstLabel` is the label of position 1.  A
 * nested list takes the labels from its own position upward and pushes the
 * labels of the items after it by its count less one (a list given by a
 * mask counts as none). */
void formatList(TextSink& s, Uint32 flags, Sint32 count, va_list* ap, int firstLabel, int depth,
                int& nestedLeft)
{
    const bool mask = (flags & KIVLOG_FLAG_ARGMASK) != 0;
    const Uint32 bits = (Uint32)count;
    const int last = mask ? 31 : count;
    int shift = 0; /* added to the labels by the nested lists so far */
    for (int pos = 1; pos <= last; ++pos) {
        if (s.room() <= 1)
            return; /* full: nothing more can show, so read no further */
        if (mask && !(bits & (1u << (pos - 1))))
            continue;
        const void* p = va_arg(*ap, const void*);
        const Uint32 size = va_arg(*ap, Uint32);
        const Sint32 type = va_arg(*ap, Sint32);
        const int positionLabel = firstLabel + pos - 1;

        if (type == KIVLOG_TYPE_NESTED && p != nullptr) {
            const Sint32 nestedCount = (Sint32)size;
            if (nestedCount != 0 && depth < kMaxNesting && nestedLeft > 0) {
                --nestedLeft;
                const Uint32 nestedFlags = flags | (nestedCount < 0 ? KIVLOG_FLAG_ARGMASK : 0);
                /* Read through a copy: the caller's list stays where it is. */
                va_list nested;
                va_copy(nested, *static_cast<va_list*>(const_cast<void*>(p)));
                formatList(s, nestedFlags, nestedCount, &nested, positionLabel, depth + 1,
                           nestedLeft);
                va_end(nested);
            }
            shift += (nestedCount > 0 ? nestedCount : 0) - 1;
            continue;
        }
        formatItem(s, flags, positionLabel + shift, p, size, type);
    }
}

} // namespace

Uint32 kivLogFormatRecord(char* record, const KIVLogCall& call)
{
    record[0] = '\r';
    record[1] = '\n';
    TextSink header(record + 2, kHeaderRoom);
    formatHeader(header, call);

    const Uint32 headerLength = header.written();
    if (call.itemCount != 0 && call.items != nullptr) {
        TextSink items(record + 2 + headerLength, kItemRoomBase - headerLength);
        int nestedLeft = kMaxNestedLists;
        formatList(items, call.flags, call.itemCount, call.items, 1, 0, nestedLeft);
    }
    /* Measured, not summed: a Char item of NUL ends the text there. */
    return (Uint32)std::strlen(record);
}
