/*
 * kivtrap.h - trap files: the binary record of a process's state that an
 * exception handler writes when a thread faults, and the XML trap file's
 * prolog.
 *
 * A host that wants trap files installs the library's handler once:
 *
 *   kivTrapInstallHandler("/var/tmp/myprog.trap", 0);   // default sections
 *
 * and from then on an unhandled fault (access violation, division by zero,
 * illegal instruction, ...) of any thread writes a trap file there before
 * the process ends as the fault would have ended it.  `kivtrap FILE`
 * prints what a trap file holds.  A host with a handler of its own writes
 * the file itself:
 *
 *   KIVTrapFile trap;
 *   if (trap.open(path, KIV_PFILE_CREATE) == 0) {
 *       trap.seekToEnd();
 *       trap.initialize(0, info->ExceptionRecord, info->ContextRecord, nullptr);
 *       trap.dump(KIV_TRAP_SECTIONS_DEFAULT, 0, info->ExceptionRecord, info->ContextRecord);
 *       trap.close();
 *   }
 *
 * File layout.  Each dump writes the selected sections, in the order of
 * their bits below, at the current position; the sections carry no tags,
 * so a reader must know which were asked for (the header's flags say
 * whether the record, the context, the API version and the memory regions
 * are there).  A 32-bit process writes the layout below ("*TPHDR32"); a
 * 64-bit process writes "*TPHDR64", in which every address (the
 * instruction start, the module addresses, the words of the raw stack and
 * the region addresses and sizes) is 8 bytes wide and the system
 * information, exception record and context are the 64-bit structures.
 * All numbers are little-endian.
 *
 *   header      KIVTrapHeader (388 bytes)
 *   system      SYSTEM_INFO (36), OSVERSIONINFOEXA (156), then
 *               MEMORYSTATUSEX (64, flag 0x400) or MEMORYSTATUS (32, 0x800)
 *   environment per entry a 4-byte length and the text "NAME=value"; the
 *               last entry is the marker "**L*E*R*M**"
 *   exception   EXCEPTION_RECORD (80)
 *   context     CONTEXT (716)
 *   modules     header.moduleCount KIVTrapModuleRecord (284 bytes each)
 *   api version API_VERSION (8)
 *   stack       header.instructionCount instruction bytes; STACKFRAME64
 *               records (264) up to one whose AddrReturn is 0 or
 *               KIV_TRAP_STACKWALK_FAILED; a 4-byte word count and the
 *               words of the raw stack from the stack pointer up
 *   memory      per region its address, size and bytes; then the 4-byte
 *               KIV_TRAP_REGIONS_END
 */
#ifndef KIVTRAP_H
#define KIVTRAP_H

#include "kivbase.h"
#include "kivfile.h"
#include "kivos.h"
#include "kivsym.h"

/* Section bits of KIVTrapFile::dump, written in this order. */
#define KIV_TRAP_SECTION_HEADER      0x04000u
#define KIV_TRAP_SECTION_SYSTEM      0x00001u
#define KIV_TRAP_SECTION_ENVIRONMENT 0x00002u
#define KIV_TRAP_SECTION_EXCEPTION   0x10000u
#define KIV_TRAP_SECTION_CONTEXT     0x20000u
#define KIV_TRAP_SECTION_MODULES     0x40000u
#define KIV_TRAP_SECTION_APIVERSION  0x08000u
#define KIV_TRAP_SECTION_STACK       0x00004u
#define KIV_TRAP_SECTION_MEMORY      0x80000u
/* What the installed handler writes unless told otherwise. */
#define KIV_TRAP_SECTIONS_DEFAULT                                                      \
    (KIV_TRAP_SECTION_HEADER | KIV_TRAP_SECTION_SYSTEM | KIV_TRAP_SECTION_ENVIRONMENT | \
     KIV_TRAP_SECTION_EXCEPTION | KIV_TRAP_SECTION_CONTEXT | KIV_TRAP_SECTION_MODULES |  \
     KIV_TRAP_SECTION_APIVERSION | KIV_TRAP_SECTION_STACK)

/* Header flags. */
#define KIV_TRAP_HAS_RECORD          0x001u /* initialize was given an exception record */
#define KIV_TRAP_HAS_CONTEXT         0x002u /* initialize was given a register context */
#define KIV_TRAP_MODULES_LIVE        0x004u /* modules from a live enumeration */
#define KIV_TRAP_CODE_TRIED          0x008u /* instruction capture attempted */
#define KIV_TRAP_CODE_CAPTURED       0x010u /* instruction bytes captured */
#define KIV_TRAP_HAS_API_VERSION     0x020u /* the symbol library told its version */
#define KIV_TRAP_HAS_REGIONS         0x040u /* the memory regions are in the file */
#define KIV_TRAP_MODULES_CACHED      0x200u /* modules from the module cache */
#define KIV_TRAP_MEMORYSTATUSEX      0x400u /* the system section ends with MEMORYSTATUSEX */
#define KIV_TRAP_MEMORYSTATUS        0x800u /* ... or with MEMORYSTATUS */

#if UINTPTR_MAX == 0xFFFFFFFFu
#  define KIV_TRAP_EYECATCHER "*TPHDR32"
#else
#  define KIV_TRAP_EYECATCHER "*TPHDR64"
#endif
#define KIV_TRAP_ENVIRONMENT_END   "**L*E*R*M**"
#define KIV_TRAP_STACKWALK_FAILED  0xF2A3EBADu
#define KIV_TRAP_REGIONS_END       0x0E0DDEADu
#define KIV_TRAP_MAX_CODE_BYTES    64u
/* The export that marks the product's own modules. */
#define KIV_TRAP_PRODUCT_EXPORT    "sqlzThisIsAQELLibrary"

/* The trap header (388 bytes in a 32-bit process). */
struct KIVTrapHeader {
    char       eyeCatcher[8];          /* KIV_TRAP_EYECATCHER, no NUL */
    Uint32     processId;
    Uint32     threadId;
    uintptr_t  instructionStart;       /* where the captured bytes begin */
    SYSTEMTIME localTime;              /* of initialize */
    Uint32     flags;                  /* KIV_TRAP_... */
    Uint16     reserved1;
    Uint16     moduleCount;
    char       executablePath[260];
    Uint8      reserved2[80];
    Uint16     instructionCount;       /* 0 to 64 */
    Uint16     reserved3;
};

/* A module of the module section (284 bytes in a 32-bit process). */
struct KIVTrapModuleRecord {
    char      name[260];               /* as enumerated, NUL-terminated */
    Uint8     reserved[8];
    uintptr_t productExport;           /* KIV_TRAP_PRODUCT_EXPORT's address, or 0 */
    uintptr_t base;
    uintptr_t end;                     /* base plus size */
    Uint32    timeStamp;               /* link time, 0 when unknown */
};

class KIV_API KIVTrapFile : public KIVPrimitiveFileOp {
public:
    KIVTrapFile();
    /* Restores the symbol search path initialize replaced. */
    ~KIVTrapFile();
    KIVTrapFile(const KIVTrapFile&) = delete;
    KIVTrapFile& operator=(const KIVTrapFile&) = delete;

    /* Fills the header (time, executable, record and context flags, the
     * instruction bytes around the faulting instruction) and prepares the
     * symbol services with the search path (null: the default).  Either
     * pointer may be null. */
    void initialize(unsigned long reserved, EXCEPTION_RECORD* record, CONTEXT* context,
                    const char* searchPath);
    /* Writes the sections whose bits are set, at the current position.
     * Nothing before initialize or without an open file; write failures
     * end a section quietly. */
    void dump(unsigned int sections, unsigned long reserved, EXCEPTION_RECORD* record,
              CONTEXT* context);
    /* An empty file gets the XML prolog: true.  A file that starts with the
     * prolog is positioned at its closing tag (or its end), a file that
     * does not is left at its start: false. */
    bool writeXMLProlog();

    /* The module section's callback appends through this. */
    void appendModuleRecord(const KIVTrapModuleRecord& record);

private:
    void writeSystem();
    void writeEnvironment();
    void writeModules();
    void writeStack(const CONTEXT* context);
    void writeRawStack(uintptr_t stackPointer, uintptr_t lastFrameStack);
    void writeRegions();
    bool writeRegion(uintptr_t base, uintptr_t size, char* buffer);
    void rewriteHeader();
    bool writeAll(const void* data, Uint32 size);

    KIVTrapHeader m_header;
    Uint32        m_headerOffset;
    Uint8         m_initialized;
    char          m_savedSearchPath[261];
    HANDLE        m_process;
};

#ifdef __cplusplus
extern "C" {
#endif

/* The module-record callback: with a trap file as context it appends the
 * module to its module section; with none it adds it to the process-wide
 * module cache, which a trap file falls back on when a live enumeration
 * finds nothing. */
KIV_API BOOL CALLBACK kivTrapModuleRecordCallback(PCSTR moduleName, DWORD64 moduleBase,
                                                  ULONG moduleSize, PVOID userContext);

/* Installs the library's unhandled-exception handler: a fault that nothing
 * else handles writes the sections (0: KIV_TRAP_SECTIONS_DEFAULT) to the
 * trap file (appended when it exists), then the process ends as the fault
 * would have ended it.  Fills the module cache while the process is sound.
 * ECF_INVALID_PARAMETER for a null or over-long path. */
KIV_API Uint32 kivTrapInstallHandler(const char* trapFilePath, Uint32 sections);

#ifdef __cplusplus
}
#endif

#endif /* KIVTRAP_H */
