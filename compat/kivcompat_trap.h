/*
 * kivcompat_trap.h - the kernel services behind trap files and stack walks
 * on POSIX: exception records and register contexts filled from signals,
 * the unhandled-exception filter, reading the process's own memory without
 * faulting, unnamed mutexes and the memory status.
 *
 * Exceptions.  A fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP) becomes
 * the exception a Windows process would raise for it: an access violation
 * (with read/write/execute and the address in the two parameters), an
 * in-page error or misalignment, an integer or floating-point division and
 * its relatives, an illegal or privileged instruction, a breakpoint or a
 * single step.  The register context is filled from the signal's machine
 * context in the layout of the Windows CONTEXT of the same processor (i386:
 * 716 bytes; x86-64: 1232 bytes).
 *
 * SetUnhandledExceptionFilter installs one handler for those signals, run
 * on an alternate stack of its own for the thread that installs the filter
 * (other threads fault on their own stacks, which serves every fault but a
 * stack overflow).  The handler passes the exception to the filter:
 * EXCEPTION_CONTINUE_EXECUTION resumes with the registers the filter left in
 * the context; EXCEPTION_EXECUTE_HANDLER and EXCEPTION_CONTINUE_SEARCH end
 * the process as the unhandled fault would have (the signal's default
 * action, which the parent sees as the matching exception code).
 */
#ifndef KIVCOMPAT_TRAP_H
#define KIVCOMPAT_TRAP_H

#include "kivcompat.h"

/* ---- Exceptions ------------------------------------------------------------ */
#define EXCEPTION_ACCESS_VIOLATION         0xC0000005u
#define EXCEPTION_IN_PAGE_ERROR            0xC0000006u
#define EXCEPTION_DATATYPE_MISALIGNMENT    0x80000002u
#define EXCEPTION_BREAKPOINT               0x80000003u
#define EXCEPTION_SINGLE_STEP              0x80000004u
#define EXCEPTION_ARRAY_BOUNDS_EXCEEDED    0xC000008Cu
#define EXCEPTION_FLT_DENORMAL_OPERAND     0xC000008Du
#define EXCEPTION_FLT_DIVIDE_BY_ZERO       0xC000008Eu
#define EXCEPTION_FLT_INEXACT_RESULT       0xC000008Fu
#define EXCEPTION_FLT_INVALID_OPERATION    0xC0000090u
#define EXCEPTION_FLT_OVERFLOW             0xC0000091u
#define EXCEPTION_FLT_STACK_CHECK          0xC0000092u
#define EXCEPTION_FLT_UNDERFLOW            0xC0000093u
#define EXCEPTION_INT_DIVIDE_BY_ZERO       0xC0000094u
#define EXCEPTION_INT_OVERFLOW             0xC0000095u
#define EXCEPTION_PRIV_INSTRUCTION         0xC0000096u
#define EXCEPTION_ILLEGAL_INSTRUCTION      0xC000001Du
#define EXCEPTION_STACK_OVERFLOW           0xC00000FDu
#define EXCEPTION_NONCONTINUABLE           0x1u
#define EXCEPTION_MAXIMUM_PARAMETERS       15

#define EXCEPTION_EXECUTE_HANDLER          1
#define EXCEPTION_CONTINUE_SEARCH          0
#define EXCEPTION_CONTINUE_EXECUTION       (-1)

typedef struct _EXCEPTION_RECORD {
    DWORD                     ExceptionCode;
    DWORD                     ExceptionFlags;
    struct _EXCEPTION_RECORD* ExceptionRecord;
    PVOID                     ExceptionAddress;
    DWORD                     NumberParameters;
    ULONG_PTR                 ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;

/* ---- Register contexts ---------------------------------------------------- */
#if defined(__i386__)
#define CONTEXT_i386               0x00010000u
#define CONTEXT_CONTROL            (CONTEXT_i386 | 0x01u)
#define CONTEXT_INTEGER            (CONTEXT_i386 | 0x02u)
#define CONTEXT_SEGMENTS           (CONTEXT_i386 | 0x04u)
#define CONTEXT_FLOATING_POINT     (CONTEXT_i386 | 0x08u)
#define CONTEXT_DEBUG_REGISTERS    (CONTEXT_i386 | 0x10u)
#define CONTEXT_EXTENDED_REGISTERS (CONTEXT_i386 | 0x20u)
#define CONTEXT_FULL               (CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS)
#define SIZE_OF_80387_REGISTERS    80
#define MAXIMUM_SUPPORTED_EXTENSION 512

typedef struct _FLOATING_SAVE_AREA {
    DWORD ControlWord;
    DWORD StatusWord;
    DWORD TagWord;
    DWORD ErrorOffset;
    DWORD ErrorSelector;
    DWORD DataOffset;
    DWORD DataSelector;
    BYTE  RegisterArea[SIZE_OF_80387_REGISTERS];
    DWORD Cr0NpxState;
} FLOATING_SAVE_AREA;

typedef struct _CONTEXT {
    DWORD              ContextFlags;
    DWORD              Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
    FLOATING_SAVE_AREA FloatSave;
    DWORD              SegGs, SegFs, SegEs, SegDs;
    DWORD              Edi, Esi, Ebx, Edx, Ecx, Eax;
    DWORD              Ebp, Eip, SegCs, EFlags, Esp, SegSs;
    BYTE               ExtendedRegisters[MAXIMUM_SUPPORTED_EXTENSION];
} CONTEXT, *PCONTEXT;
#elif defined(__x86_64__)
#define CONTEXT_AMD64              0x00100000u
#define CONTEXT_CONTROL            (CONTEXT_AMD64 | 0x01u)
#define CONTEXT_INTEGER            (CONTEXT_AMD64 | 0x02u)
#define CONTEXT_SEGMENTS           (CONTEXT_AMD64 | 0x04u)
#define CONTEXT_FLOATING_POINT     (CONTEXT_AMD64 | 0x08u)
#define CONTEXT_DEBUG_REGISTERS    (CONTEXT_AMD64 | 0x10u)
#define CONTEXT_FULL               (CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_FLOATING_POINT)

typedef struct alignas(16) _M128A {
    ULONGLONG Low;
    LONGLONG  High;
} M128A;

/* The FXSAVE image. */
typedef struct alignas(16) _XSAVE_FORMAT {
    WORD  ControlWord;
    WORD  StatusWord;
    BYTE  TagWord;
    BYTE  Reserved1;
    WORD  ErrorOpcode;
    DWORD ErrorOffset;
    WORD  ErrorSelector;
    WORD  Reserved2;
    DWORD DataOffset;
    WORD  DataSelector;
    WORD  Reserved3;
    DWORD MxCsr;
    DWORD MxCsr_Mask;
    M128A FloatRegisters[8];
    M128A XmmRegisters[16];
    BYTE  Reserved4[96];
} XSAVE_FORMAT, XMM_SAVE_AREA32;

typedef struct alignas(16) _CONTEXT {
    DWORD64      P1Home, P2Home, P3Home, P4Home, P5Home, P6Home;
    DWORD        ContextFlags;
    DWORD        MxCsr;
    WORD         SegCs, SegDs, SegEs, SegFs, SegGs, SegSs;
    DWORD        EFlags;
    DWORD64      Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
    DWORD64      Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
    DWORD64      R8, R9, R10, R11, R12, R13, R14, R15;
    DWORD64      Rip;
    XSAVE_FORMAT FltSave;
    M128A        VectorRegister[26];
    DWORD64      VectorControl;
    DWORD64      DebugControl;
    DWORD64      LastBranchToRip;
    DWORD64      LastBranchFromRip;
    DWORD64      LastExceptionToRip;
    DWORD64      LastExceptionFromRip;
} CONTEXT, *PCONTEXT;
#else
#  error "register contexts exist for i386 and x86-64 only"
#endif

typedef struct _EXCEPTION_POINTERS {
    PEXCEPTION_RECORD ExceptionRecord;
    PCONTEXT          ContextRecord;
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;

typedef LONG (*PTOP_LEVEL_EXCEPTION_FILTER)(EXCEPTION_POINTERS* exceptionInfo);
typedef PTOP_LEVEL_EXCEPTION_FILTER LPTOP_LEVEL_EXCEPTION_FILTER;

/* ---- Memory status ---------------------------------------------------------- */
typedef uint64_t DWORDLONG;

typedef struct _MEMORYSTATUS {
    DWORD  dwLength;
    DWORD  dwMemoryLoad;
    SIZE_T dwTotalPhys;
    SIZE_T dwAvailPhys;
    SIZE_T dwTotalPageFile;
    SIZE_T dwAvailPageFile;
    SIZE_T dwTotalVirtual;
    SIZE_T dwAvailVirtual;
} MEMORYSTATUS, *LPMEMORYSTATUS;

typedef struct _MEMORYSTATUSEX {
    DWORD                dwLength;
    DWORD                dwMemoryLoad;
    alignas(8) DWORDLONG ullTotalPhys;
    DWORDLONG            ullAvailPhys;
    DWORDLONG            ullTotalPageFile;
    DWORDLONG            ullAvailPageFile;
    DWORDLONG            ullTotalVirtual;
    DWORDLONG            ullAvailVirtual;
    DWORDLONG            ullAvailExtendedVirtual;
} MEMORYSTATUSEX, *LPMEMORYSTATUSEX;

#ifdef __cplusplus
extern "C" {
#endif

/* The filter every unhandled fault of the process goes to (null: none);
 * returns the one it replaces. */
KIVCOMPAT_API LPTOP_LEVEL_EXCEPTION_FILTER
SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

/* The exception record and context a fault raises, from the arguments of a
 * SA_SIGINFO signal handler (for hosts with handlers of their own).
 * Returns FALSE, with ERROR_NOT_SUPPORTED, for a signal that is no fault. */
KIVCOMPAT_API BOOL kivCompatExceptionFromSignal(int signalNumber, const void* signalInfo,
                                                const void* userContext,
                                                PEXCEPTION_RECORD record, PCONTEXT context);

/* Copies memory of a process (the current one, or one opened with
 * OpenProcess) without ever faulting: an unreadable byte ends the copy with
 * ERROR_PARTIAL_COPY and the count of bytes copied. */
KIVCOMPAT_API BOOL ReadProcessMemory(HANDLE process, LPCVOID baseAddress, LPVOID buffer,
                                     SIZE_T size, SIZE_T* bytesRead);

/* Unnamed mutexes: owned by a thread, recursively; ReleaseMutex by any other
 * thread fails with ERROR_NOT_OWNER.  Named mutexes, which would belong to
 * the shared name space of kivcompat_ipc.h, are not offered
 * (ERROR_NOT_SUPPORTED). */
KIVCOMPAT_API HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name);
KIVCOMPAT_API BOOL   ReleaseMutex(HANDLE mutex);

/* Physical memory and swap from the kernel's counters ("page file" is
 * memory plus swap, as on Windows), the virtual space from the process's
 * own mappings.  dwLength must be the size of the structure. */
KIVCOMPAT_API BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX status);
KIVCOMPAT_API void GlobalMemoryStatus(LPMEMORYSTATUS status);

#ifdef __cplusplus
}
#endif

#endif /* KIVCOMPAT_TRAP_H */
