/*
 * kivcompat_mem.cpp - the Win32 pointer probes on POSIX, answered from
 * /proc/self/maps.  The table is read afresh for every probe: the probes
 * serve diagnostics, not hot paths.
 */
#include "kivcompat_mem.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace {

/* Permission letters of a maps line, in their column order. */
enum MapAccess { ACCESS_READ = 0, ACCESS_WRITE = 1 };

bool parseHex(const char*& p, const char* end, uintptr_t& out)
{
    const char* start = p;
    uintptr_t v = 0;
    for (; p < end; ++p) {
        char c = *p;
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else
            break;
        v = (v << 4) | d;
    }
    out = v;
    return p > start;
}

/* One line "start-end perms ...": its range and whether it allows the access. */
bool parseLine(const char* p, const char* end, uintptr_t& lo, uintptr_t& hi, bool& allowed,
               MapAccess access)
{
    if (!parseHex(p, end, lo) || p >= end || *p++ != '-' || !parseHex(p, end, hi))
        return false;
    if (end - p < 5 || *p != ' ')
        return false;
    allowed = p[1 + access] != '-';
    return true;
}

/* The end of the run of mappings that allow `access` and that starts at
 * `from` without a gap; `from` itself when it is not in such a mapping.
 * Reading stops once the run reaches `enough`. */
uintptr_t accessibleEnd(uintptr_t from, uintptr_t enough, MapAccess access)
{
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return from;
    uintptr_t reach = from;
    bool done = false;
    char buf[4096];
    size_t have = 0;
    while (!done) {
        ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n <= 0)
            break;
        have += static_cast<size_t>(n);
        size_t used = 0;
        for (;;) {
            char* nl = static_cast<char*>(memchr(buf + used, '\n', have - used));
            if (!nl)
                break;
            uintptr_t lo, hi;
            bool allowed;
            if (parseLine(buf + used, nl, lo, hi, allowed, access) && hi > reach) {
                /* The table is sorted: a mapping that starts beyond the
                 * reach leaves a gap, one that lacks the access ends the run. */
                if (lo > reach || !allowed) {
                    done = true;
                    break;
                }
                reach = hi;
                if (reach >= enough) {
                    done = true;
                    break;
                }
            }
            used = static_cast<size_t>(nl - buf) + 1;
        }
        memmove(buf, buf + used, have - used);
        have -= used;
        if (have == sizeof buf) /* a line longer than the buffer: give up */
            break;
    }
    close(fd);
    return reach;
}

BOOL badRange(const void* p, ULONG_PTR size, MapAccess access)
{
    if (size == 0)
        return FALSE;
    uintptr_t lo = reinterpret_cast<uintptr_t>(p);
    if (lo == 0 || lo + size < lo)
        return TRUE;
    return accessibleEnd(lo, lo + size, access) < lo + size ? TRUE : FALSE;
}

} // namespace

BOOL IsBadReadPtr(const void* p, ULONG_PTR size)
{
    return badRange(p, size, ACCESS_READ);
}

BOOL IsBadWritePtr(LPVOID p, ULONG_PTR size)
{
    return badRange(p, size, ACCESS_WRITE);
}

BOOL IsBadStringPtrA(LPCSTR s, ULONG_PTR maxLength)
{
    if (maxLength == 0)
        return FALSE;
    uintptr_t lo = reinterpret_cast<uintptr_t>(s);
    if (lo == 0)
        return TRUE;
    uintptr_t limit = lo + maxLength < lo ? UINTPTR_MAX : lo + maxLength;
    uintptr_t end = accessibleEnd(lo, limit, ACCESS_READ);
    if (end > limit)
        end = limit;
    /* Good when the readable part holds the NUL or all maxLength characters. */
    if (end == limit)
        return FALSE;
    return memchr(s, '\0', end - lo) ? FALSE : TRUE;
}
