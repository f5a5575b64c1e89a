/*
 * gtattach.h - trace control blocks found by name.
 *
 * A controlling program (the trace tool) places a control block in named
 * shared memory; every host that is to write into it attaches by that name
 * with one call at start, or simply runs with the environment variable
 * KIV_TRACE_NAME set to the name: the library then attaches when it is
 * loaded.  The mapping stays for the life of the process (or until
 * gtraceDetachNamed), so the block's address never goes stale under a
 * trace point.
 */
#ifndef GTATTACH_H
#define GTATTACH_H

#include "kivbase.h"
#include "kivipc.h"

/* The environment variable that names the block to attach at load. */
#define GTRACE_NAME_VARIABLE  "KIV_TRACE_NAME"
/* Longest trace name; a name is not empty and holds no '\'. */
#define GTRACE_MAX_NAME       200u

#ifdef __cplusplus
extern "C" {
#endif

/* The kernel object name of the shared memory of trace `name`.
 * ECF_INVALID_PARAMETER for a null, empty, overlong or '\'-holding name or
 * a null `out`. */
KIV_API Uint32 gtraceNamedResID(const char* name, KIVIPCResID* out);

/* Maps the control block of trace `name` and attaches it (gtraceAttach with
 * this process's id and no callbacks).  The name that is already mapped is
 * attached again without a second mapping.  ECF_INVALID_PARAMETER (name),
 * ECF_MEM_DOESNT_EXIST (no such trace), ECF_GTRACE_NOT_INITIALIZED (the
 * memory holds no complete control block), ECF_INVALID_INVOCATION_SEQUENCE
 * (another name is attached: detach it first), or the mapping's error. */
KIV_API Uint32 gtraceAttachNamed(const char* name);

/* Detaches (gtraceDetach) and unmaps the block of gtraceAttachNamed; 0 when
 * none is attached.  Call it only when no other thread of the process is
 * inside a trace point. */
KIV_API Uint32 gtraceDetachNamed(void);

#ifdef __cplusplus
}
#endif

#endif /* GTATTACH_H */
