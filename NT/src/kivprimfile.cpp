/*
 * kivprimfile.cpp - the bare file object used where nothing may be logged,
 * traced or allocated: assertion reports and trap files written from
 * exception handlers.  Results are the system's own error numbers.
 */
#include <string.h>

#include "kivfile.h"
#include "kivos.h"
#include "kivstring.h"

namespace {

/* Text written by fwrite: one line of a report, cut when it is longer. */
const Uint32 kFormatBufferSize = 2048;

DWORD primitiveAccess(Uint32 flags)
{
    if (flags & KIV_PFILE_READONLY)
        return GENERIC_READ;
    if (flags & KIV_PFILE_WRITEONLY)
        return GENERIC_WRITE;
    return GENERIC_READ | GENERIC_WRITE;
}

DWORD primitiveDisposition(Uint32 flags)
{
    // "Must exist" wins, and is also what no flag at all means.
    if (flags & KIV_PFILE_EXISTING)
        return OPEN_EXISTING;
    if (flags & KIV_PFILE_CREATE)
        return OPEN_ALWAYS;
    return OPEN_EXISTING;
}

} // namespace

KIVPrimitiveFileOp::KIVPrimitiveFileOp() : m_hFile(INVALID_HANDLE_VALUE) {}

int KIVPrimitiveFileOp::open(const char* fileName, Uint32 flags)
{
    if (fileName == nullptr) {
        m_hFile = INVALID_HANDLE_VALUE;
        return (int)ERROR_INVALID_PARAMETER;
    }
    m_hFile = CreateFileA(fileName, primitiveAccess(flags), FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, primitiveDisposition(flags), FILE_ATTRIBUTE_NORMAL, nullptr);
    return isValid() ? 0 : (int)GetLastError();
}

void KIVPrimitiveFileOp::openConsole()
{
    m_hFile = GetStdHandle(STD_OUTPUT_HANDLE);
}

bool KIVPrimitiveFileOp::isValid() const
{
    return m_hFile != INVALID_HANDLE_VALUE;
}

int KIVPrimitiveFileOp::read(Uint32 byteCount, void* buffer, Uint32* bytesRead)
{
    Uint32 ignored = 0;
    if (bytesRead == nullptr)
        bytesRead = &ignored;
    *bytesRead = 0;
    if (!isValid()) {
        // The last error would be whatever an earlier call left, possibly 0:
        // say what is wrong instead.
        SetLastError(ERROR_INVALID_HANDLE);
        return (int)GetLastError();
    }
    DWORD got = 0;
    if (!ReadFile(m_hFile, buffer, byteCount, &got, nullptr))
        return (int)GetLastError();
    *bytesRead = got;
    return 0;
}

int KIVPrimitiveFileOp::write(const void* buffer, Uint32 byteCount)
{
    if (!isValid())
        return 0;
    if (buffer == nullptr)
        return (int)ERROR_INVALID_PARAMETER;
    if (byteCount == 0)
        byteCount = (Uint32)strlen(static_cast<const char*>(buffer));
    if (byteCount == 0)
        return 0;
    DWORD written = 0;
    if (!WriteFile(m_hFile, buffer, byteCount, &written, nullptr))
        return (int)GetLastError();
    return 0;
}

void KIVPrimitiveFileOp::fwrite(const char* format, ...)
{
    // Bounded formatting cuts an over-long text to 2047 bytes and terminates
    // it.
    char text[kFormatBufferSize];
    va_list ap;
    va_start(ap, format);
    kivVsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    write(text, 0);
}

int KIVPrimitiveFileOp::getSize(offsetType* size)
{
    if (size == nullptr)
        return (int)ERROR_INVALID_PARAMETER;
    DWORD low = GetFileSize(m_hFile, nullptr);
    if (low == INVALID_FILE_SIZE) {
        size->m_offset = 0;
        return (int)GetLastError();
    }
    size->m_offset = low;
    return 0;
}

void KIVPrimitiveFileOp::seekToEnd()
{
    SetFilePointer(m_hFile, 0, nullptr, FILE_END);
}

void KIVPrimitiveFileOp::seekToOffset(offsetType offset)
{
    // A zero high word makes the 32-bit offset unsigned: positions up to
    // 4 GB - 1 are reachable, not only those below 2 GB.
    LONG high = 0;
    SetFilePointer(m_hFile, (LONG)offset.m_offset, &high, FILE_BEGIN);
}

KIVPrimitiveFileOp::offsetType KIVPrimitiveFileOp::getCurrentOffset()
{
    offsetType where;
    where.m_offset = SetFilePointer(m_hFile, 0, nullptr, FILE_CURRENT);
    return where;
}

void KIVPrimitiveFileOp::close()
{
    if (!isValid())
        return;
    CloseHandle(m_hFile);
    // A closed object must not look open: isValid() would otherwise stay
    // true, write() would go to a handle number the system may already
    // have given to another file, and a second close() would close that.
    m_hFile = INVALID_HANDLE_VALUE;
}
