/*
 * kivfile.h - the file handle (KIVHFile) with its parameter objects, and the
 * bare primitive file (KIVPrimitiveFileOp) used where no logging or tracing
 * may happen.
 */
#ifndef KIVFILE_H
#define KIVFILE_H

#include "kivbase.h"
#include "kivos.h"

/* Open modes. */
#define KIV_FILE_OPEN_EXISTING   1u
#define KIV_FILE_OPEN_ALWAYS     2u
#define KIV_FILE_TRUNCATE        4u
#define KIV_FILE_CREATE_NEW      8u
#define KIV_FILE_CREATE_ALWAYS   16u
/* Access modes. */
#define KIV_FILE_READ            1u
#define KIV_FILE_WRITE           2u
#define KIV_FILE_READWRITE       4u
/* Open options. */
#define KIV_FILE_WRITE_THROUGH   0x1u
#define KIV_FILE_DELETE_ON_CLOSE 0x2u
/* Seek origins. */
#define KIV_FILE_SEEK_SET        0u
#define KIV_FILE_SEEK_CUR        1u
#define KIV_FILE_SEEK_END        2u
/* Lock types and wait modes. */
#define KIV_FILE_LOCK_EXCLUSIVE  1u
#define KIV_FILE_LOCK_SHARED     2u
#define KIV_FILE_LOCK_WAIT       1u
#define KIV_FILE_LOCK_NOWAIT     2u
/* Map protections. */
#define KIV_FILE_MAP_READONLY    1u
#define KIV_FILE_MAP_COPY        2u
#define KIV_FILE_MAP_READWRITE   4u

class KIV_API KIVFileOpenParam {
public:
    KIVFileOpenParam();
    Uint32      version;
    const char* fileName;
    Uint32      openMode;
    Uint32      accessMode;
    Uint32      options;
    Uint32      permissions;
    Uint32      reserved;
};

class KIV_API KIVFileReadParam {
public:
    KIVFileReadParam();
    Uint32 version;
    Uint32 byteCount;
    Uint32 reserved;
};

class KIV_API KIVFileWriteParam {
public:
    KIVFileWriteParam();
    Uint32      version;
    const void* buffer;
    Uint32      byteCount;
    Uint32      reserved;
};

/* 64-bit fields are 8-aligned as on Windows, whatever the ABI's default. */
class KIV_API KIVFileSeekParam {
public:
    KIVFileSeekParam();
    Uint32            version;
    alignas(8) Sint64 offset;
    Uint32            origin;
};

class KIV_API KIVFileSetSizeParam {
public:
    KIVFileSetSizeParam();
    Uint32            version;
    alignas(8) Uint64 newSize;
    Uint32            flags;
};

class KIV_API KIVFileLockParam {
public:
    KIVFileLockParam(Uint32 lockType, Uint32 waitMode);
    Uint32 version;
    Uint32 lockType;
    Uint32 waitMode;
};

class KIV_API KIVFileMapParam {
public:
    KIVFileMapParam();
    Uint32 version;
    Uint32 length;
    Uint32 protection;
    Uint32 reserved;
};

class KIV_API KIVHFile {
public:
    KIVHFile();
    Uint32 open(const KIVFileOpenParam* param);
    Uint32 close();
    Uint32 seek(const KIVFileSeekParam* param, Uint64* newPosition);
    Uint32 getSize(Uint64* size);
    Uint32 setSize(const KIVFileSetSizeParam* param);
    Uint32 read(const KIVFileReadParam* param, void* buffer, Uint32* bytesRead);
    Uint32 write(const KIVFileWriteParam* param, Uint32* bytesWritten);
    Uint32 lock(const KIVFileLockParam* param);
    Uint32 unlock();
    Uint32 map(const KIVFileMapParam* param, void** address);
    Uint32 unmap(void* address);
    Uint32 sync();
    HANDLE getFileHandle() const { return fileHandle; }

    HANDLE fileHandle;
    HANDLE mappingHandle;
    void*  mappedView;
};

/* Open flags of KIVPrimitiveFileOp::open. */
#define KIV_PFILE_READONLY  0x01u
#define KIV_PFILE_WRITEONLY 0x02u
#define KIV_PFILE_EXISTING  0x08u
#define KIV_PFILE_CREATE    0x10u

/* A bare file: no trace, no log, no allocation; results are system error
 * numbers (0 for success). */
class KIV_API KIVPrimitiveFileOp {
public:
    struct offsetType {
        Uint32 m_offset;
    };
    KIVPrimitiveFileOp();
    int        open(const char* fileName, Uint32 flags);
    void       openConsole();
    bool       isValid() const;
    int        read(Uint32 byteCount, void* buffer, Uint32* bytesRead);
    int        write(const void* buffer, Uint32 byteCount);
    void       fwrite(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    int        getSize(offsetType* size);
    void       seekToEnd();
    void       seekToOffset(offsetType offset);
    offsetType getCurrentOffset();
    void       close();

protected:
    void setFileHandle(HANDLE h) { m_hFile = h; }
    HANDLE m_hFile;
};

#endif /* KIVFILE_H */
