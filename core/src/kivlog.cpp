/*
 * kivlog.cpp - the diagnostic log: facilities, the three entry points, and
 * the writer that filters a record and hands it to its destination (a text
 * file shared by processes, the event log, or the standard error stream).
 *
 * The writer is reached from failure paths all over the library, including
 * those of the file operations it uses itself.  A process-wide busy flag
 * therefore drops any record asked for while another is being written:
 * losing the inner record is better than recursing or deadlocking on the
 * facility latch.  A host callback, when installed, takes every call instead
 * and runs outside all of this.
 */
#include "kivlog.h"

#include "kivecf.h"
#include "kivfile.h"
#include "kivlogfmt.h"
#include "kivos.h"
#include "kivstring.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

/* The library's facility: zero (closed) at load, opened only by the host. */
KIVLogFac g_defaultFacility;

/* A plain pointer set by the host and read by every log call. */
KIVLogCallback g_logCallback = nullptr;
std::atomic<Uint8> g_busy{0};

KIVLogFac* facilityOf(KIVLogFac* fac) { return fac != nullptr ? fac : &g_defaultFacility; }

/* Level 6 (Event) records are wanted whatever the threshold; a threshold of
 * 6 asks for nothing else; level 0 is never a real record. */
bool levelPasses(Uint32 level, Uint32 threshold)
{
    if (threshold == KIVLOG_EVENT)
        return level == KIVLOG_EVENT;
    if (level == KIVLOG_EVENT)
        return true;
    return level != 0 && level <= threshold;
}

/* ---- file destination ------------------------------------------------ */

/* The position field tells a reader where the header of this record starts
 * in the file (after its CR LF) and how long header and items are, so the
 * records of many processes can be taken apart again. */
void stampPosition(char* record, Uint64 fileSize, Uint32 length)
{
    char* field = record + KIVLOG_POSITION_OFFSET;
    const Uint32 n = kivSnprintf(field, KIVLOG_POSITION_WIDTH + 1, "%c%llu%c%u", 'I',
                                 (unsigned long long)(fileSize + 2), 'H', length - 2);
    field[n] = ' ';
    field[KIVLOG_POSITION_WIDTH] = ' ';
}

/* Under the file lock: append the record at the current end. */
bool appendLocked(KIVHFile& file, char* record, Uint32 length)
{
    KIVFileSeekParam seek;
    seek.offset = 0;
    seek.origin = KIV_FILE_SEEK_END;
    if (file.seek(&seek, nullptr) != 0)
        return false;
    Uint64 size = 0;
    if (file.getSize(&size) != 0)
        return false;
    stampPosition(record, size, length);

    KIVFileWriteParam write;
    write.buffer = record;
    write.byteCount = length;
    Uint32 written = 0;
    return file.write(&write, &written) == 0;
}

/* The file is opened, locked and closed around every record, so it can be
 * shared with other processes and moved or removed between records. */
bool writeToFile(const KIVLogFac& fac, char* record, Uint32 length)
{
    KIVHFile file;
    KIVFileOpenParam open;
    open.fileName = fac.fileName;
    open.openMode = KIV_FILE_OPEN_ALWAYS;
    open.accessMode = KIV_FILE_WRITE;
    open.options = 4;
    open.permissions = fac.permissions;
    if (file.open(&open) != 0)
        return false;

    bool ok = false;
    KIVFileLockParam lock(KIV_FILE_LOCK_EXCLUSIVE, KIV_FILE_LOCK_WAIT);
    if (file.lock(&lock) == 0) {
        ok = appendLocked(file, record, length);
        file.unlock();
    }
    file.close();
    return ok;
}

/* ---- event log destination ------------------------------------------- */

bool eventType(Uint32 level, WORD* type)
{
    switch (level) {
    case KIVLOG_SEVERE:
    case KIVLOG_ERROR2:
    case KIVLOG_ERROR:   *type = EVENTLOG_ERROR_TYPE; return true;
    case KIVLOG_WARNING: *type = EVENTLOG_WARNING_TYPE; return true;
    case KIVLOG_INFO:    *type = EVENTLOG_INFORMATION_TYPE; return true;
    case KIVLOG_EVENT:   *type = EVENTLOG_SUCCESS; return true;
    default:             return false;
    }
}

bool writeToEventLog(const KIVLogFac& fac, Uint32 level, const char* record)
{
    WORD type = 0;
    if (!eventType(level, &type))
        return false;
    HANDLE source = RegisterEventSourceA(nullptr, fac.name);
    if (source == nullptr)
        return false;
    LPCSTR strings[1] = {record};
    const BOOL ok = ReportEventA(source, type, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
    return ok != FALSE;
}

/* ---- writer ---------------------------------------------------------- */

/* Steps under the facility latch: filter, format, hand over. */
Uint32 writeUnderLatch(KIVLogFac& fac, KIVLogCall& call)
{
    if (call.level == KIVLOG_ERROR2)
        call.level = KIVLOG_ERROR;
    if (!levelPasses(call.level, fac.level))
        return 0;

    char record[KIVLOG_RECORD_SIZE];
    std::memset(record, 0, sizeof record);
    const Uint32 length = kivLogFormatRecord(record, call);

    bool ok;
    switch (fac.destination) {
    case KIVLOG_DEST_FILE:     ok = writeToFile(fac, record, length); break;
    case KIVLOG_DEST_EVENTLOG: ok = writeToEventLog(fac, call.level, record); break;
    case KIVLOG_DEST_STDERR:   ok = std::fprintf(stderr, "%s", record) >= 0; break;
    default:                   return ECF_INVALID_PARAMETER;
    }
    return ok ? 0 : ECF_FAILED;
}

Uint32 writeRecord(KIVLogFac* fac, KIVLogCall& call)
{
    if (KIVLogCallback callback = __atomic_load_n(&g_logCallback, __ATOMIC_ACQUIRE)) {
        return callback(fac, call.functionId, call.calledFunctionId, call.calledValue,
                        call.messageCode, call.probe, call.level, call.flags, call.itemCount,
                        call.items);
    }
    if (g_busy.exchange(1) != 0)
        return 0;

    Uint32 rc = ECF_INVALID_PARAMETER;
    KIVLogFac& f = *facilityOf(fac);
    if (f.open) {
        f.latch.get();
        rc = writeUnderLatch(f, call);
        f.latch.release();
    }
    g_busy.store(0);
    return rc;
}

/* The common tail of the six entry points: the items are read through a
 * list of our own, since a va_list parameter cannot be pointed at. */
Uint32 writeWithItems(KIVLogFac* fac, KIVLogCall call, va_list items)
{
    if (call.itemCount == 0) {
        call.items = nullptr;
        return writeRecord(fac, call);
    }
    va_list local;
    va_copy(local, items);
    call.items = &local;
    const Uint32 rc = writeRecord(fac, call);
    va_end(local);
    return rc;
}

KIVLogCall makeCall(Uint32 functionId, Uint32 calledFunctionId, Uint32 calledValue,
                    Uint32 messageCode, Uint32 probe, Uint32 level, Uint32 flags,
                    Sint32 itemCount)
{
    return KIVLogCall{functionId, calledFunctionId, calledValue, messageCode, probe,
                      level,      flags,            itemCount,   nullptr};
}

/* kivLogRC and kivLogSysRC: a count of 0 or less is an argument mask. */
Uint32 maskFlag(Sint32 itemCount) { return itemCount > 0 ? 0 : KIVLOG_FLAG_ARGMASK; }

void copyTruncated(char* to, size_t toSize, const char* from, size_t fromSize)
{
    size_t n = 0;
    while (n + 1 < toSize && n < fromSize && from[n] != '\0') {
        to[n] = from[n];
        ++n;
    }
    std::memset(to + n, 0, toSize - n);
}

bool validFacParam(const KIVLogFacParam& p)
{
    if (p.version < KIV_VERSION_MIN || p.level > KIVLOG_EVENT || p.name[0] == '\0')
        return false;
    switch (p.destination) {
    case KIVLOG_DEST_FILE:     return p.fileName[0] != '\0';
    case KIVLOG_DEST_EVENTLOG:
    case KIVLOG_DEST_STDERR:   return true;
    default:                   return false;
    }
}

} // namespace

KIVLogFacParam::KIVLogFacParam()
    : version(KIV_VERSION_CURRENT), fileName(), name(), level(0), destination(0), permissions(0)
{
}

extern "C" {

Uint32 kivLogV(KIVLogFac* fac, Uint32 functionId, Uint32 messageCode, Uint32 probe,
               Uint32 level, Sint32 itemCount, va_list items)
{
    if (itemCount < 0)
        return ECF_INVALID_PARAMETER;
    return writeWithItems(fac, makeCall(functionId, 0, 0, messageCode, probe, level,
                                        KIVLOG_FLAG_KIVLOG, itemCount), items);
}

Uint32 kivLogRCV(KIVLogFac* fac, Uint32 functionId, Uint32 calledFunctionId, Uint32 calledRc,
                 Uint32 messageCode, Uint32 probe, Uint32 level, Sint32 itemCount,
                 va_list items)
{
    return writeWithItems(fac, makeCall(functionId, calledFunctionId, calledRc, messageCode,
                                        probe, level, maskFlag(itemCount), itemCount), items);
}

Uint32 kivLogSysRCV(KIVLogFac* fac, Uint32 functionId, Uint32 systemFunctionId,
                    Uint32 systemError, Uint32 messageCode, Uint32 probe, Uint32 level,
                    Sint32 itemCount, va_list items)
{
    return writeWithItems(fac, makeCall(functionId, systemFunctionId, systemError, messageCode,
                                        probe, level,
                                        KIVLOG_FLAG_SYSERR | maskFlag(itemCount), itemCount),
                          items);
}

Uint32 kivLog(KIVLogFac* fac, Uint32 functionId, Uint32 messageCode, Uint32 probe,
              Uint32 level, Sint32 itemCount, ...)
{
    va_list ap;
    va_start(ap, itemCount);
    const Uint32 rc = kivLogV(fac, functionId, messageCode, probe, level, itemCount, ap);
    va_end(ap);
    return rc;
}

Uint32 kivLogRC(KIVLogFac* fac, Uint32 functionId, Uint32 calledFunctionId, Uint32 calledRc,
                Uint32 messageCode, Uint32 probe, Uint32 level, Sint32 itemCount, ...)
{
    va_list ap;
    va_start(ap, itemCount);
    const Uint32 rc = kivLogRCV(fac, functionId, calledFunctionId, calledRc, messageCode, probe,
                                level, itemCount, ap);
    va_end(ap);
    return rc;
}

Uint32 kivLogSysRC(KIVLogFac* fac, Uint32 functionId, Uint32 systemFunctionId,
                   Uint32 systemError, Uint32 messageCode, Uint32 probe, Uint32 level,
                   Sint32 itemCount, ...)
{
    va_list ap;
    va_start(ap, itemCount);
    const Uint32 rc = kivLogSysRCV(fac, functionId, systemFunctionId, systemError, messageCode,
                                   probe, level, itemCount, ap);
    va_end(ap);
    return rc;
}

Uint32 kivLogFacOpen(const KIVLogFacParam* param, KIVLogFac* fac)
{
    if (param == nullptr || !validFacParam(*param))
        return ECF_INVALID_PARAMETER;
    KIVLogFac& f = *facilityOf(fac);
    /* A facility being opened is not in use yet, so its latch may be in any
     * state (uninitialised caller storage included). */
    f.latch.init();
    f.latch.get();
    copyTruncated(f.fileName, sizeof f.fileName, param->fileName, sizeof param->fileName);
    copyTruncated(f.name, sizeof f.name, param->name, sizeof param->name);
    f.level = param->level;
    f.destination = param->destination;
    f.permissions = param->permissions;
    f.open = 1;
    f.latch.release();
    return 0;
}

Uint32 kivLogFacClose(KIVLogFac* fac)
{
    KIVLogFac& f = *facilityOf(fac);
    f.latch.get();
    f.open = 0;
    f.latch.release();
    return 0;
}

Uint32 kivLogFacSetLevel(KIVLogFac* fac, Uint32 level)
{
    KIVLogFac& f = *facilityOf(fac);
    if (!f.open)
        return ECF_INVALID_PARAMETER;
    f.latch.get();
    f.level = level;
    f.latch.release();
    return 0;
}

void kivSetKIVeLogCallback(KIVLogCallback callback)
{
    __atomic_store_n(&g_logCallback, callback, __ATOMIC_RELEASE);
}

const KIVLogFac* kivLogDefaultFacility(void)
{
    return &g_defaultFacility;
}

} // extern "C"
