/*
 * kivassert.cpp - the assertion failure action: a short fixed-format report
 * shown on the console, appended with dumps of the caller's memory regions
 * to a report file, and for a fatal assertion handed to the debugger before
 * breaking into it.  A host can take the whole report over with a callback.
 *
 * Everything is kept on the calling thread's stack and written through the
 * primitive file: an assertion may fire inside the allocator or the log
 * writer, which must not be entered again from here.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "kivassert.h"
#include "kivfile.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivprocess.h"
#include "kivstring.h"
#include "kivthread.h"
#include "kivtime.h"

#if defined(_WIN32)
#  include <io.h>
#endif

namespace {

/* Set by the host, read without synchronisation: one aligned pointer. */
KIVAssertionCallback volatile g_assertionCallback = nullptr;

const Uint32 kReportSize   = 256;  /* report text, at most 255 characters */
const Uint32 kPathSize     = 256;  /* per-thread report file name */
const Uint32 kDumpSize     = 4096; /* one region's hex dump, cut where it ends */
/* Read and write, created when missing. */
const Uint32 kReportOpenFlags = 20;

/* The report file of a dump directory is named with the platform's own
 * separator: a backslash is an ordinary file name character on POSIX. */
#if defined(_WIN32)
const char kPathSeparator = '\\';
#else
const char kPathSeparator = '/';
#endif

struct Identity {
    Uint32 pid;
    Uint64 tid;
};

/* The local time as asctime renders it ("Sun Sep 16 01:03:52 1973\n"),
 * formatted here from a calendar copy of our own because asctime's static
 * buffer is shared by every thread of the process. */
void formatAsctime(char* out, Uint32 size)
{
    static const char days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm t;
    memset(&t, 0, sizeof t);
    kivTimeLocalTime(kivTimeGetUTC(nullptr), &t);
    unsigned wday = (unsigned)t.tm_wday < 7 ? (unsigned)t.tm_wday : 0;
    unsigned mon = (unsigned)t.tm_mon < 12 ? (unsigned)t.tm_mon : 0;
    kivSnprintf(out, size, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", days[wday], months[mon],
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 1900 + t.tm_year);
}

const char* orNull(const char* s)
{
    return s ? s : "(null)";
}

void formatReport(char* report, const char* expression, const char* file, Uint32 line,
                  bool fatal, const Identity& who)
{
    char now[64];
    formatAsctime(now, sizeof now);
    kivSnprintf(report, kReportSize,
                "%sASSERTION FAILED!!!\r\nTime       = %sExpr       = %s\r\n"
                "PID        = %u\r\nTID        = %llu\r\nFile       = %s\r\nLine       = %u\r\n",
                fatal ? "" : "NON-FATAL ", now, orNull(expression), who.pid,
                (unsigned long long)who.tid, orNull(file), line);
}

/* The next (address, length) pair of the region list; the list ends at a
 * null address (whose length is not read) or a zero length. */
bool nextRegion(va_list* regions, const void** address, Uint32* length)
{
    *address = va_arg(*regions, const void*);
    if (*address == nullptr)
        return false;
    *length = va_arg(*regions, Uint32);
    return *length != 0;
}

void dumpRegion(const void* address, Uint32 length, char* dump)
{
    memset(dump, 0, kDumpSize);
    kivHexDumpToBuffer(address, length, dump, kDumpSize, nullptr, KIV_HEXDUMP_ADDRESS);
}

void reportToConsole(const char* report, va_list* regions, char* dump)
{
    if (!_isatty(_fileno(stdout)))
        return;
    printf("%s", report);
    const void* address;
    Uint32 length;
    for (Uint32 i = 0; nextRegion(regions, &address, &length); ++i) {
        dumpRegion(address, length, dump);
        printf("dump data %u:\n%s", i, dump);
    }
    // Out before a fatal assertion breaks, whoever handles the breakpoint.
    fflush(stdout);
}

/* Without a dump directory: the environment's report file, else the file
 * of the default log facility.  An empty variable counts as unset, as it
 * does on Windows, where setting a variable to nothing removes it. */
const char* sharedReportFile()
{
    const char* env = getenv("KIV_DEBUG_LOG_FILE");
    if (env != nullptr && env[0] != '\0')
        return env;
    const KIVLogFac* fac = kivLogDefaultFacility();
    if (fac != nullptr && fac->fileName[0] != '\0')
        return fac->fileName;
    return nullptr;
}

void reportToFile(const char* fileName, const char* report, va_list* regions, char* dump)
{
    KIVPrimitiveFileOp out;
    if (out.open(fileName, kReportOpenFlags) != 0)
        return;
    out.seekToEnd();
    out.write(report, 0);
    const void* address;
    Uint32 length;
    for (Uint32 i = 0; nextRegion(regions, &address, &length); ++i) {
        char label[32];
        kivSnprintf(label, sizeof label, "dump data %d:\n", (int)i);
        out.write(label, 0);
        dumpRegion(address, length, dump);
        out.write(dump, 0);
    }
    out.close();
}

} // namespace

extern "C" {

Uint32 kivAssertFailureAction(const char* expression, const char* file, Uint32 line,
                              const char* dumpDirectory, Uint8 fatal, ...)
{
    va_list regions;
    va_start(regions, fatal);

    KIVAssertionCallback callback = g_assertionCallback;
    if (callback != nullptr) {
        callback(expression, file, line, dumpDirectory, (Uint32)fatal, &regions);
        va_end(regions);
        return 0;
    }

    Identity who = {kivProcessID(), kivThreadID()};
    char report[kReportSize];
    formatReport(report, expression, file, line, fatal != 0, who);

    char dump[kDumpSize];
    char path[kPathSize];
    const char* reportFile = nullptr;
    if (dumpDirectory != nullptr && dumpDirectory[0] != '\0') {
        kivSnprintf(path, sizeof path, "%s%cp%ut%llu.mem", dumpDirectory, kPathSeparator,
                    who.pid, (unsigned long long)who.tid);
        reportFile = path;
    } else {
        va_list pass;
        va_copy(pass, regions);
        reportToConsole(report, &pass, dump);
        va_end(pass);
        reportFile = sharedReportFile();
    }
    if (reportFile != nullptr) {
        va_list pass;
        va_copy(pass, regions);
        reportToFile(reportFile, report, &pass, dump);
        va_end(pass);
    }
    va_end(regions);

    if (fatal) {
        OutputDebugStringA(report);
        DebugBreak();
    }
    return 0;
}

Uint32 kivAssertFailed(const char* expression, const char* file, Uint32 line)
{
    // An explicit end marker, so that a callback walking the list finds one.
    return kivAssertFailureAction(expression, file, line, nullptr, 0, (const void*)nullptr,
                                  (Uint32)0);
}

Uint32 kivAssertFailedDir(const char* expression, const char* file, Uint32 line,
                          const char* dumpDirectory)
{
    return kivAssertFailureAction(expression, file, line, dumpDirectory, 0,
                                  (const void*)nullptr, (Uint32)0);
}

void kivSetAssertionCallback(KIVAssertionCallback callback)
{
    g_assertionCallback = callback;
}

} // extern "C"
