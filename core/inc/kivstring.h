/*
 * kivstring.h - bounded formatting, hex dumps and conversions of text to
 * booleans and 64-bit integers.  All functions are free of state and safe on
 * any thread.
 */
#ifndef KIVSTRING_H
#define KIVSTRING_H

#include <stdarg.h>

#include "kivbase.h"

/* printf-style checking of the format arguments.  The library formats with
 * the C99 printf family on every platform, so mingw checks against it too. */
#if defined(__MINGW32__)
#  define KIV_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#  define KIV_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#  define KIV_PRINTF_FORMAT(f, a)
#endif

/* A hex dump line: at most 74 characters and the NUL. */
#define KIV_HEXDUMP_LINE_SIZE 75u

/* Flags of a hex dump line. */
#define KIV_HEXDUMP_VALUE    0x1u /* lengths 1, 2, 4 and 8 shown as one number */
#define KIV_HEXDUMP_ADDRESS  0x2u /* each line starts with "0x%08X : " and the address */
#define KIV_HEXDUMP_NO_CHARS 0x4u /* no character column */

/* Parameter object of the current-user queries. */
typedef struct KIVCurrentUserParam {
    Uint32 version;    /* at least KIV_VERSION_MIN */
    Uint32 bufferSize; /* size of the caller's output buffer */
    Uint32 reserved;   /* traced with the object, otherwise unused */
#ifdef __cplusplus
    /* Like every parameter object, a new one carries the current version. */
    KIVCurrentUserParam() : version(KIV_VERSION_CURRENT), bufferSize(0), reserved(0) {}
    KIVCurrentUserParam(Uint32 versionIn, Uint32 bufferSizeIn, Uint32 reservedIn = 0)
        : version(versionIn), bufferSize(bufferSizeIn), reserved(reservedIn)
    {
    }
#endif
} KIVCurrentUserParam;

#ifdef __cplusplus
static_assert(sizeof(KIVCurrentUserParam) == 12, "KIVCurrentUserParam is three words");

extern "C" {
#endif

/* Formats into `size` bytes and always terminates the text.  Returns the
 * number of characters stored, never more than size - 1, so a caller can
 * advance its write position by the result without passing the end; a
 * truncated text (or a formatting error) gives size - 1.  A null buffer or
 * a size of 0 stores nothing and returns 0. */
KIV_API Uint32 kivSnprintf(char* buffer, Uint32 size, const char* format, ...)
    KIV_PRINTF_FORMAT(3, 4);
KIV_API Uint32 kivVsnprintf(char* buffer, Uint32 size, const char* format, va_list args)
    KIV_PRINTF_FORMAT(3, 0);

/* Makes one dump line of up to 16 bytes into `line` (KIV_HEXDUMP_LINE_SIZE
 * bytes) and ends it with CR LF when it fits.  Returns the end column of the
 * text + 3 (for a line with its line end: the text length + 1). */
KIV_API Uint32 kivHexDumpLine(char* line, const void* data, Uint32 length, Uint32 flags);

/* Dumps `length` bytes by 16-byte lines into `out`, each line preceded by
 * `prefix` (may be null); stops before the first line that does not fit.
 * The output is always terminated when outSize is at least 1. */
KIV_API void kivHexDumpToBuffer(const void* data, Uint32 length, char* out, Uint32 outSize,
                                const char* prefix, Uint32 flags);

/* Case-insensitive "1" "ON" "Y" "YES" "T" "TRUE" give 1, "0" "OFF" "N" "NO"
 * "F" "FALSE" give 0; anything else stores 0 and returns
 * ECF_KIV_NOT_BOOLEAN_STRING.  A null argument gives ECF_INVALID_PARAMETER. */
KIV_API Uint32 kivStrToBoolean(const char* text, Uint8* out);

/* strtoull / strtoll alike: leading white space, a sign, base 0 (prefix
 * selects 16, 8 or 10) or 2..36.  Overflow sets errno to ERANGE and
 * saturates.  `end` (may be null) receives the first character not
 * converted, or `text` itself when no number follows the sign. */
KIV_API Uint64 kivStrToUint64(const char* text, char** end, int base);
KIV_API Sint64 kivStrToSint64(const char* text, char** end, int base);

#ifdef __cplusplus
}
#endif

#endif /* KIVSTRING_H */
