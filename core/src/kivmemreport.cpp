/*
 * kivmemreport.cpp - the memory allocator's configuration and reports: the
 * debug mode read from KIVEMEMDBG at process attach with its log
 * "kivememdbg.log", the leak report of the FULL-mode list, and the
 * first-failure switch that writes that report at process detach.
 */
#include "kivmem.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kivinternal.h"
#include "kivos.h"
#include "kivprocess.h"
#include "kivstring.h"
#include "kivthread.h"

namespace {

/* Files in the debug directory are named with the platform's separator. */
#if defined(_WIN32)
const char kDirSeparator = '\\';
#else
const char kDirSeparator = '/';
#endif

const char kDebugLogName[] = "kivememdbg.log";
const char kAsterisks[] =
    "****************************************************************************\n";
const char kEquals[] =
    "============================================================================\n";
const char kBlocksTitle[] = "KIVe Unfreed Memory Blocks :\n";

/* The check of listed blocks names this place instead of a caller. */
const char kReportCheckFile[] = "kivmemdbg";
const Uint32 kReportCheckLine = 460;

/* A level of KIVEMEMDBG and what it selects. */
struct Level {
    const char* name;
    Uint32      mode;
    Uint32      flags;
    bool        ffdc; /* also write the leak report at process detach */
};

const Level kLevels[] = {
    {"FULL", KIVMEM_MODE_FULL, 0x0F, false},
    {"CORRUPTIONS", KIVMEM_MODE_FULL, 0x0F, false},
    {"LEAKS", KIVMEM_MODE_FULL, 0x2F, true},
    {"ALL", KIVMEM_MODE_FULL, 0x2F, true},
    {"LIGHT", KIVMEM_MODE_LIGHT, 0x0B, false},
};
const Uint32 kLevelPads = 2;

/* Copies at most `limit` characters and terminates. */
void copyCut(char* out, const char* in, size_t in_len, size_t limit)
{
    size_t n = in_len < limit ? in_len : limit;
    memcpy(out, in, n);
    out[n] = '\0';
}

const Level* findLevel(const char* text)
{
    for (const Level& l : kLevels)
        if (_stricmp(text, l.name) == 0)
            return &l;
    return nullptr;
}

/* KIVEMEMDBG split at commas, empty fields skipped. */
struct Parsed {
    char   path[260];
    char   level[19];
    Uint32 tokens;
};

Parsed parse(const char* value)
{
    Parsed p = {};
    char copy[260];
    copyCut(copy, value, strlen(value), sizeof copy - 1);
    for (char* t = copy; *t;) {
        size_t len = strcspn(t, ",");
        if (len > 0) {
            if (p.tokens == 0)
                copyCut(p.path, t, len, sizeof p.path - 1);
            else if (p.tokens == 1)
                copyCut(p.level, t, len, sizeof p.level - 1);
            ++p.tokens;
        }
        t += len;
        if (*t == ',')
            ++t;
    }
    return p;
}

/* The level a parsed value selects; null for an invalid value. */
const Level* chosenLevel(const Parsed& p)
{
    return p.tokens == 2 ? findLevel(p.level) : nullptr;
}

FILE* openDebugLog(const char* path, const char* fopenMode)
{
    char name[300];
    kivSnprintf(name, sizeof name, "%s%c%s", path, kDirSeparator, kDebugLogName);
    return fopen(name, fopenMode);
}

void logValidLevel(const Parsed& p, const Level& l)
{
    FILE* f = openDebugLog(p.path, "a");
    if (!f)
        return;
    fprintf(f, "PID            = 0x%X\n", kivProcessID());
    fputs("---------------------------------\n", f);
    fprintf(f, "mode           = %s\n", p.level);
    fprintf(f, "flags          = 0x%X\n", l.flags);
    fprintf(f, "Front pad size = %u\n", kLevelPads);
    fprintf(f, "Back pad size  = %u\n", kLevelPads);
    fputs("\n", f);
    fclose(f);
}

void logInvalidValue(const Parsed& p, const char* value)
{
    if (p.path[0] == '\0')
        return;
    FILE* f = openDebugLog(p.path, "w");
    if (!f)
        return;
    fprintf(f, "PID = 0x%X\n", kivProcessID());
    fputs("----------------------------------------------------\n", f);
    fprintf(f, "Original Debug String is %s\n", value);
    fputs("Invalid KIVEMEMDBG string detected.\n\n"
          "Usage : export KIVEMEMDBG=<PATH>,<LEVEL>\n"
          "   where <PATH> is the path to store kivememdbg.log\n"
          "         <LEVEL> is one of the KIVFULL, LIGHT, or IDLE\n\n",
          f);
    fclose(f);
}

/* ---- Leak report ------------------------------------------------------------- */

FILE* openLeakFile(Uint32 debugFlags)
{
    char name[261];
    const unsigned long long tid = kivThreadID();
    if (debugFlags & KIVMEM_DBG_LONG_REPORT)
        kivSnprintf(name, sizeof name, "%s%c%u.%llu.mem_leaks.txt", g_szMemDebugLogPath,
                    kDirSeparator, kivProcessID(), tid);
    else
        kivSnprintf(name, sizeof name, "%s%cp%ut%llu.mem", g_szMemDebugLogPath, kDirSeparator,
                    kivProcessID(), tid);
    return fopen(name, "a");
}

void writeLongBanner(FILE* f)
{
    fputs(kAsterisks, f);
    fprintf(f,
            "QEL Support and Development can generate a report of possible memory leaks\n"
            "using the following command from any uselvl'd build:\n"
            "perl -S qelreportleaks -path %s\n\n",
            g_szMemDebugLogPath);
    fputs("To display all available options, run \"perl -S qelreportleaks -help\"\n", f);
    fputs(kAsterisks, f);
    fputs("Legend:\n-------\nAddr - block address\nCode - block eye-catcher with flags\n"
          "Size - size of the block\nLine - line of code in a file\nFile - file name\n",
          f);
    fputs(kEquals, f);
    fputs(kBlocksTitle, f);
    fputs(kEquals, f);
}

void writeShortBanner(FILE* f)
{
    fputs(kAsterisks, f);
    fputs(kBlocksTitle, f);
    fputs(kEquals, f);
}

/* One listed block, checked first (the latch is held: the check must not
 * release, which is the only time it would take the latch). */
void writeBlock(FILE* f, KIVMemAllocRecord* d)
{
    void* u = reinterpret_cast<Uint8*>(d) + sizeof *d;
    kivMemAllocCheck(&u, kReportCheckFile, kReportCheckLine, 0);
    const int nameLength = static_cast<int>(sizeof d->fileName);
    if (f)
        fprintf(f, "Addr: %08llx Code: 0x%x Size: %u Line: %u File: %.*s\n",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&d->header)),
                d->header.eyeCatcher, d->requestedSize, d->lineNumber, nameLength,
                d->fileName);
    else
        printf("Address: %p Size: %u Line: %u File: %.*s\n", static_cast<void*>(&d->header),
               d->requestedSize, d->lineNumber, nameLength, d->fileName);
}

bool plausibleNext(const KIVMemAllocRecord* d)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(d);
    return v >= 4096u && v % alignof(KIVMemAllocRecord) == 0;
}

} // namespace

Uint32 kivMemAllocList(bool toFile)
{
    KIVMemDebugCB* cb = kivMemControlBlock();
    if (__atomic_load_n(&cb->debugMode, __ATOMIC_RELAXED) != KIVMEM_MODE_FULL)
        return 0;
    KIVMemLatchHold latch;
    if (!cb->allocListHead)
        return 0;

    const bool wantFile = toFile && g_szMemDebugLogPath[0] != '\0';
    const bool longForm = (cb->debugFlags & KIVMEM_DBG_LONG_REPORT) != 0;
    FILE* f = wantFile ? openLeakFile(cb->debugFlags) : nullptr;
    if (f) {
        if (longForm)
            writeLongBanner(f);
        else
            writeShortBanner(f);
    } else if (wantFile && !longForm) {
        writeShortBanner(stdout);
    }
    /* A damaged link ends the walk rather than the process, and a loop in
     * the list (a second pointer trailing at half speed catches up with
     * the first) ends it rather than filling the disk. */
    KIVMemAllocRecord* trailing = cb->allocListHead;
    Uint32 steps = 0;
    for (KIVMemAllocRecord* d = cb->allocListHead; d; d = d->next) {
        writeBlock(f, d);
        if (d->next && !plausibleNext(d->next))
            break;
        if (++steps % 2 == 0) {
            trailing = trailing->next;
            if (trailing == d->next)
                break;
        }
    }
    if (f) {
        fputs(kEquals, f);
        fflush(f);
        fclose(f);
    } else {
        fflush(stdout);
    }
    return 0;
}

void kivMemSetMemFFDCEnabledFlag(void)
{
    g_bIsMemoryFFDCEnabledFlag = 1;
}

bool kivMemIsMemFFDCAndKIVeMemDebugPathSet(void)
{
    return g_bIsMemoryFFDCEnabledFlag != 0 && g_szMemDebugLogPath[0] != '\0';
}

/* ---- Start-up configuration ---------------------------------------------------- */

/* The decision on a KIVEMEMDBG value and nothing else: no file, no global. */
bool kivMemReadDebugValue(const char* value, char* path, Uint32 pathSize, Uint32* mode,
                          Uint32* flags, Uint8* ffdc)
{
    const Parsed p = parse(value);
    if (pathSize > 0)
        copyCut(path, p.path, strlen(p.path), pathSize - 1);
    const Level* l = chosenLevel(p);
    *mode = l ? l->mode : KIVMEM_MODE_IDLE;
    *flags = l ? l->flags : 0;
    *ffdc = l && l->ffdc ? 1 : 0;
    return l != nullptr;
}

void kivMemOneTimeOnly(void)
{
    KIVMemDebugCB* cb = kivMemControlBlock();
    const char* value = getenv("KIVEMEMDBG");
    Uint32 mode = KIVMEM_MODE_IDLE, flags = 0, front = 0, back = 0;
    g_bIsMemoryFFDCEnabledFlag = 0;
    g_szMemDebugLogPath[0] = '\0';
    if (value) {
        Parsed p = parse(value);
        /* The path is taken whether or not the rest is valid: the reason
         * for refusing the value is written there. */
        copyCut(g_szMemDebugLogPath, p.path, strlen(p.path), sizeof g_szMemDebugLogPath - 2);
        const Level* l = chosenLevel(p);
        if (l) {
            mode = l->mode;
            flags = l->flags;
            front = back = kLevelPads;
            if (l->ffdc)
                kivMemSetMemFFDCEnabledFlag();
            logValidLevel(p, *l);
        } else {
            logInvalidValue(p, value);
            front = back = kLevelPads;
        }
    }
    {
        /* Configuration fields only: blocks allocated before a re-run keep
         * their list and the off/on decision they were made under. */
        KIVMemLatchHold latch;
        memset(cb->reserved, 0, sizeof cb->reserved);
    }
    /* Published (or withdrawn) before the settings are stored: whether it
     * is public decides how allocations read them. */
    g_pMemDebugCB = mode == KIVMEM_MODE_FULL ? cb : nullptr;
    kivMemSetDebug(flags, mode, front, back);
}

void kivMemProcessInit()
{
    kivMemControlBlock()->listLatch.init();
    kivMemOneTimeOnly();
}

void kivMemProcessTerm()
{
    if (kivMemIsMemFFDCAndKIVeMemDebugPathSet())
        kivMemAllocList(true);
}
