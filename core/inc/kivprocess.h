/*
 * kivprocess.h - child processes (KIVHProcess) and the calling process's
 * identity and end.
 *
 * A child is started from a program and a list of arguments, and either
 * waited for inside create or left to run on by itself:
 *
 *   KIVProcessParam p;
 *   p.program = "C:\\tools\\x.exe";
 *   p.arguments = "-a\0b\0";          // strings end to end, then an empty one
 *   p.flags = KIV_PROCESS_WAIT;
 *   KIVHProcess child;
 *   KIVProcessStatus status;
 *   Uint32 pid;
 *   child.create(&p, &pid, &status);  // status.exitCode: the child's exit code
 *
 * The program is put in double quotes unless it begins with one; the
 * arguments are joined with single blanks as they are, so an argument that
 * holds blanks or quotes must carry the quoting the child's command-line
 * parser expects.
 */
#ifndef KIVPROCESS_H
#define KIVPROCESS_H

#include "kivbase.h"

/* KIVProcessParam flags.  Valid values: 0 to 7, 10, 16 to 23 and 26. */
#define KIV_PROCESS_DETACH          0x01u /* detach the child from the console */
#define KIV_PROCESS_WAIT            0x02u /* wait for the child's end inside create */
#define KIV_PROCESS_INHERIT_HANDLES 0x04u /* the child inherits inheritable handles */
#define KIV_PROCESS_FLAG_8          0x08u /* accepted, no effect on this platform */
#define KIV_PROCESS_FLAG_16         0x10u /* accepted, no effect on this platform */

#ifdef __cplusplus
extern "C" {
#endif

KIV_API Uint32 kivProcessID(void);
/* Not available on Windows: always 0xFFFFFFFF. */
KIV_API Uint32 kivProcessParentID(void);
/* Ends the calling process with `exitCode`; does not return. */
KIV_API void kivProcessExit(Uint32 exitCode) __attribute__((noreturn));

#ifdef __cplusplus
}

class KIV_API KIVProcessParam {
public:
    KIVProcessParam();
    Uint32      version;
    const char* program;     /* taken as quoted when it begins with a double quote */
    const char* arguments;   /* null, or strings end to end closed by an empty one */
    void*       environment; /* null: the caller's; else handed to the system as is */
    Uint32      flags;       /* KIV_PROCESS_...; create may reduce it (see create) */
};

/* The end of a child waited for. */
struct KIVProcessStatus {
    Uint32 reserved1; /* not set on this platform */
    Uint32 exitCode;  /* the child's exit code */
    Uint32 reserved2; /* not set on this platform */
};

class KIV_API KIVHProcess {
public:
    KIVHProcess();

    /* Starts param->program.  Without KIV_PROCESS_DETACH and
     * KIV_PROCESS_WAIT the flags are reduced to their KIV_PROCESS_FLAG_16
     * bit and written back into *param (handles are then never
     * inherited).  With KIV_PROCESS_WAIT the call returns when the child
     * has ended, with its exit code in *status (status may be null when
     * the code is of no interest).  *processId (when given) receives the
     * child's identifier; nothing of the child is kept in the object. */
    Uint32 create(KIVProcessParam* param, Uint32* processId, KIVProcessStatus* status);

    bool   waitPending;  /* the child is to be waited for */
    bool   created;      /* a child was started through this object */
    Uint32 flags;        /* the creation flags in force */
    void*  processHandle; /* the child's Windows HANDLE while create runs */

private:
    Uint32 createProcess(Uint32* processId, KIVProcessStatus* status, const KIVProcessParam* param);
    Uint32 wait(Uint32 processId, KIVProcessStatus* status);
};

#endif /* __cplusplus */

#endif /* KIVPROCESS_H */
