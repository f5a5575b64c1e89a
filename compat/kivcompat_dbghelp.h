/*
 * kivcompat_dbghelp.h - the subset of the debugging help library the
 * library's symbol services call, on the platform's own means: the loader's
 * list of modules (dl_iterate_phdr), the symbol tables of the ELF files,
 * the unwinder and the C++ demangler.
 *
 * Symbol handler.  SymInitialize opens a handler for any handle value (as
 * the Windows library does, a made-up handle serves a reader that loads
 * module files by hand with SymLoadModule64).  For the current process
 * (GetCurrentProcess()) every module the loader has mapped is found without
 * being loaded first, as deferred loading does; modules loaded by hand are
 * looked at first.  Names come from the file's full symbol table (.symtab,
 * else .dynsym), so functions that are not exported, and static ones, are
 * named too; with SYMOPT_UNDNAME (the default) C++ names are demangled and
 * given without their parameter lists.
 *
 * Modules.  A module's base is the address its first loaded segment's page
 * is mapped at (its HMODULE); its size reaches to the end of its last
 * loaded segment; its name is the full path of its file.  ELF files carry
 * no link time: the time stamp is the file's modification time.  They carry
 * no PE header either: ImageNtHeader always fails.
 *
 * Stack walks.  StackWalk64 takes the machine of the build (i386 or
 * x86-64).  When it walks a stack of the calling thread from a point the
 * calling thread has passed (its own frames, or a fault it is handling),
 * it follows the unwinder, which needs no frame pointers and steps through
 * signal frames; otherwise it follows the chain of saved frame pointers.
 * Memory is read with the caller's routine, else the callback registered
 * for CBA_READ_MEMORY, else ReadProcessMemory.  There are no function
 * tables: SymFunctionTableAccess64 gives null.
 */
#ifndef KIVCOMPAT_DBGHELP_H
#define KIVCOMPAT_DBGHELP_H

#include "kivcompat.h"

typedef const char*    PCSTR;
typedef char*          PSTR;
typedef char*          PCHAR;
typedef uint64_t       ULONG64;
typedef uint64_t*      PDWORD64;
typedef unsigned short USHORT;

#define IMAGE_FILE_MACHINE_I386  0x014Cu
#define IMAGE_FILE_MACHINE_AMD64 0x8664u

typedef enum { AddrMode1616, AddrMode1632, AddrModeReal, AddrModeFlat } ADDRESS_MODE;

/* 64-bit members are 8-aligned as on Windows, whatever the ABI's default. */
typedef struct _tagADDRESS64 {
    alignas(8) DWORD64 Offset;
    WORD               Segment;
    ADDRESS_MODE       Mode;
} ADDRESS64, *LPADDRESS64;

typedef struct _KDHELP64 {
    alignas(8) DWORD64 Thread;
    DWORD              ThCallbackStack;
    DWORD              ThCallbackBStore;
    DWORD              NextCallback;
    DWORD              FramePointer;
    DWORD64            KiCallUserMode;
    DWORD64            KeUserCallbackDispatcher;
    DWORD64            SystemRangeStart;
    DWORD64            KiUserExceptionDispatcher;
    DWORD64            StackBase;
    DWORD64            StackLimit;
    DWORD              BuildVersion;
    DWORD              Reserved0;
    DWORD64            Reserved1[4];
} KDHELP64, *PKDHELP64;

typedef struct _tagSTACKFRAME64 {
    ADDRESS64          AddrPC;
    ADDRESS64          AddrReturn;
    ADDRESS64          AddrFrame;
    ADDRESS64          AddrStack;
    ADDRESS64          AddrBStore;
    PVOID              FuncTableEntry;
    alignas(8) DWORD64 Params[4];
    BOOL               Far;
    BOOL               Virtual;
    DWORD64            Reserved[3];
    KDHELP64           KdHelp;
} STACKFRAME64, *LPSTACKFRAME64;

typedef struct API_VERSION {
    USHORT MajorVersion;
    USHORT MinorVersion;
    USHORT Revision;
    USHORT Reserved;
} API_VERSION, *LPAPI_VERSION;

typedef struct _IMAGEHLP_SYMBOL64 {
    DWORD              SizeOfStruct;
    alignas(8) DWORD64 Address;
    DWORD              Size;
    DWORD              Flags;
    DWORD              MaxNameLength;
    CHAR               Name[1];
} IMAGEHLP_SYMBOL64, *PIMAGEHLP_SYMBOL64;

typedef struct _SYMBOL_INFO {
    ULONG              SizeOfStruct;
    ULONG              TypeIndex;
    alignas(8) ULONG64 Reserved[2];
    ULONG              Index;
    ULONG              Size;
    ULONG64            ModBase;
    ULONG              Flags;
    alignas(8) ULONG64 Value;
    ULONG64            Address;
    ULONG              Register;
    ULONG              Scope;
    ULONG              Tag;
    ULONG              NameLen;
    ULONG              MaxNameLen;
    CHAR               Name[1];
} SYMBOL_INFO, *PSYMBOL_INFO;

typedef enum {
    SymNone = 0, SymCoff, SymCv, SymPdb, SymExport, SymDeferred, SymSym, SymDia, SymVirtual,
    NumSymTypes
} SYM_TYPE;

typedef struct _GUID {
    DWORD Data1;
    WORD  Data2;
    WORD  Data3;
    BYTE  Data4[8];
} GUID;

typedef struct _IMAGEHLP_MODULE64 {
    DWORD              SizeOfStruct;
    alignas(8) DWORD64 BaseOfImage;
    DWORD              ImageSize;
    DWORD              TimeDateStamp;
    DWORD              CheckSum;
    DWORD              NumSyms;
    SYM_TYPE           SymType;
    CHAR               ModuleName[32];
    CHAR               ImageName[256];
    CHAR               LoadedImageName[256];
    CHAR               LoadedPdbName[256];
    DWORD              CVSig;
    CHAR               CVData[MAX_PATH * 3];
    DWORD              PdbSig;
    GUID               PdbSig70;
    DWORD              PdbAge;
    BOOL               PdbUnmatched;
    BOOL               DbgUnmatched;
    BOOL               LineNumbers;
    BOOL               GlobalSymbols;
    BOOL               TypeInfo;
    BOOL               SourceIndexed;
    BOOL               Publics;
    DWORD              MachineType;
    DWORD              Reserved;
} IMAGEHLP_MODULE64, *PIMAGEHLP_MODULE64;

/* A PE header: ELF files have none (see ImageNtHeader). */
typedef struct _IMAGE_NT_HEADERS IMAGE_NT_HEADERS, *PIMAGE_NT_HEADERS;

#define CBA_READ_MEMORY 0x00000006u

typedef struct _IMAGEHLP_CBA_READ_MEMORY {
    alignas(8) DWORD64 addr;
    PVOID              buf;
    DWORD              bytes;
    DWORD*             bytesread;
} IMAGEHLP_CBA_READ_MEMORY, *PIMAGEHLP_CBA_READ_MEMORY;

#define SYMOPT_CASE_INSENSITIVE 0x00000001u
#define SYMOPT_UNDNAME          0x00000002u
#define SYMOPT_DEFERRED_LOADS   0x00000004u
#define SYMOPT_NO_CPP           0x00000008u
#define SYMOPT_LOAD_LINES       0x00000010u

#define UNDNAME_COMPLETE        0x0000u
#define UNDNAME_NAME_ONLY       0x1000u
#define UNDNAME_NO_ARGUMENTS    0x2000u

typedef BOOL (*PREAD_PROCESS_MEMORY_ROUTINE64)(HANDLE process, DWORD64 baseAddress, PVOID buffer,
                                               DWORD size, LPDWORD bytesRead);
typedef PVOID (*PFUNCTION_TABLE_ACCESS_ROUTINE64)(HANDLE process, DWORD64 addrBase);
typedef DWORD64 (*PGET_MODULE_BASE_ROUTINE64)(HANDLE process, DWORD64 address);
typedef DWORD64 (*PTRANSLATE_ADDRESS_ROUTINE64)(HANDLE process, HANDLE thread, LPADDRESS64 address);
typedef BOOL (*PENUMLOADED_MODULES_CALLBACK64)(PCSTR moduleName, DWORD64 moduleBase,
                                               ULONG moduleSize, PVOID userContext);
typedef BOOL (*PSYMBOL_REGISTERED_CALLBACK64)(HANDLE process, ULONG actionCode,
                                              ULONG64 callbackData, ULONG64 userContext);

#ifdef __cplusplus
extern "C" {
#endif

KIVCOMPAT_API BOOL  SymInitialize(HANDLE process, PCSTR searchPath, BOOL invadeProcess);
KIVCOMPAT_API BOOL  SymCleanup(HANDLE process);
KIVCOMPAT_API DWORD SymGetOptions(void);
KIVCOMPAT_API DWORD SymSetOptions(DWORD options);
KIVCOMPAT_API BOOL  SymGetSearchPath(HANDLE process, PSTR searchPath, DWORD length);
KIVCOMPAT_API BOOL  SymSetSearchPath(HANDLE process, PCSTR searchPath);
/* Loads the symbols of a module file (imageName) placed at baseOfDll (0: the
 * address the file asks for).  0 with no error when it is loaded already. */
KIVCOMPAT_API DWORD64 SymLoadModule64(HANDLE process, HANDLE file, PCSTR imageName,
                                      PCSTR moduleName, DWORD64 baseOfDll, DWORD sizeOfDll);
KIVCOMPAT_API BOOL    SymUnloadModule64(HANDLE process, DWORD64 baseOfDll);
KIVCOMPAT_API DWORD64 SymGetModuleBase64(HANDLE process, DWORD64 address);
KIVCOMPAT_API BOOL    SymGetModuleInfo64(HANDLE process, DWORD64 address,
                                         PIMAGEHLP_MODULE64 moduleInfo);
KIVCOMPAT_API PVOID   SymFunctionTableAccess64(HANDLE process, DWORD64 addrBase);
KIVCOMPAT_API BOOL    SymRegisterCallback64(HANDLE process, PSYMBOL_REGISTERED_CALLBACK64 callback,
                                            ULONG64 userContext);
KIVCOMPAT_API BOOL    SymGetSymFromAddr64(HANDLE process, DWORD64 address, PDWORD64 displacement,
                                          PIMAGEHLP_SYMBOL64 symbol);
KIVCOMPAT_API BOOL    SymFromAddr(HANDLE process, DWORD64 address, PDWORD64 displacement,
                                  PSYMBOL_INFO symbol);
/* The current process's modules only (ERROR_INVALID_HANDLE for others).
 * The callback runs outside the loader's lock and may call anything. */
KIVCOMPAT_API BOOL    EnumerateLoadedModules64(HANDLE process,
                                               PENUMLOADED_MODULES_CALLBACK64 callback,
                                               PVOID userContext);
KIVCOMPAT_API BOOL    StackWalk64(DWORD machineType, HANDLE process, HANDLE thread,
                                  LPSTACKFRAME64 frame, PVOID contextRecord,
                                  PREAD_PROCESS_MEMORY_ROUTINE64 readMemory,
                                  PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess,
                                  PGET_MODULE_BASE_ROUTINE64 getModuleBase,
                                  PTRANSLATE_ADDRESS_ROUTINE64 translateAddress);
/* Itanium C++ names (the compiler's own); UNDNAME_NAME_ONLY and
 * UNDNAME_NO_ARGUMENTS leave the parameter list out.  A name that is not
 * mangled is copied as it is.  Returns the length written, 0 on failure. */
KIVCOMPAT_API DWORD   UnDecorateSymbolName(PCSTR decoratedName, PSTR undecoratedName,
                                           DWORD undecoratedLength, DWORD flags);
KIVCOMPAT_API LPAPI_VERSION ImagehlpApiVersion(void);
KIVCOMPAT_API LPAPI_VERSION ImagehlpApiVersionEx(LPAPI_VERSION appVersion);
KIVCOMPAT_API DWORD   GetTimestampForLoadedLibrary(HMODULE module);
KIVCOMPAT_API PIMAGE_NT_HEADERS ImageNtHeader(PVOID base);

#ifdef __cplusplus
}
#endif

#endif /* KIVCOMPAT_DBGHELP_H */
