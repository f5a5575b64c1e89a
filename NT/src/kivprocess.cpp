/*
 * kivprocess.cpp - child processes started from a program and an argument
 * list, waited for inside create or left to run on; the calling process's
 * identity and end.
 *
 * The command line is built as the child's runtime will split it again:
 * the program in double quotes (so that a path with blanks stays one
 * word), then the arguments joined by single blanks, unchanged.  Nothing of
 * a child is kept past create: its handles are closed before the call
 * returns, so a detached child runs on with only its identifier known.
 */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "kivframe.h"
#include "kivipc.h"
#include "kivos.h"
#include "kivprocess.h"
#include "kivstring.h"

/* The parameter object is traced whole; its 32-bit layout is fixed. */
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVProcessParam) == 20, "KIVProcessParam is five words");
static_assert(sizeof(KIVHProcess) == 12, "KIVHProcess is two flags, a word and a handle");
static_assert(sizeof(STARTUPINFOA) == 68, "the start-up information of a 32-bit process");
#endif
static_assert(sizeof(KIVProcessStatus) == 12, "KIVProcessStatus is three words");
static_assert(offsetof(KIVProcessStatus, exitCode) == 4, "the exit code is the second word");

KIVProcessParam::KIVProcessParam()
    : version(KIV_VERSION_CURRENT), program(nullptr), arguments(nullptr), environment(nullptr),
      flags(0)
{
}

KIVHProcess::KIVHProcess()
    : waitPending(false), created(false), flags(0), processHandle(INVALID_HANDLE_VALUE)
{
}

namespace {

bool validFlags(Uint32 flags)
{
    // Bit 8 only together with waiting, and never with detaching or
    // inheritance; bit 16 with anything that is otherwise valid.
    Uint32 base = flags & ~KIV_PROCESS_FLAG_16;
    return base <= 7 || base == (KIV_PROCESS_FLAG_8 | KIV_PROCESS_WAIT);
}

/* The two buffers of a command line, released on every way out. */
struct CommandLineBuffers {
    char* quoted = nullptr; /* the program in quotes */
    char* line = nullptr;   /* the program and the arguments */
    ~CommandLineBuffers()
    {
        free(quoted);
        free(line);
    }
    char* commandLine() const { return line ? line : quoted; }
};

/* The length of the argument strings, each with a separator. */
size_t argumentsLength(const char* arguments)
{
    size_t total = 0;
    for (const char* a = arguments; *a; a += strlen(a) + 1)
        total += strlen(a) + 1;
    return total;
}

/* Each argument followed by a blank, the last blank made the terminator. */
void appendArguments(char* out, const char* arguments)
{
    for (const char* a = arguments; *a; a += strlen(a) + 1) {
        size_t n = strlen(a);
        memcpy(out, a, n);
        out[n] = ' ';
        out += n + 1;
    }
    out[-1] = '\0';
}

/* Closes the child's process handle held by the object when create ends. */
class ProcessHandleRelease {
public:
    explicit ProcessHandleRelease(void*& handle) : handle_(handle) {}
    ~ProcessHandleRelease()
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }
    ProcessHandleRelease(const ProcessHandleRelease&) = delete;
    ProcessHandleRelease& operator=(const ProcessHandleRelease&) = delete;

private:
    void*& handle_;
};

} // namespace

Uint32 KIVHProcess::create(KIVProcessParam* param, Uint32* processId, KIVProcessStatus* status)
{
    KIVFrame f(KIVFN_KIVHPROCESS_CREATE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    if (param->program == nullptr || !validFlags(param->flags)) {
        kivLog(nullptr, f.functionId(), ECF_INVALID_PARAMETER, 30, KIVLOG_ERROR, 2,
               KIVLOG_HEX(param->program), KIVLOG_HEX(param->flags));
        return f.retError(30, ECF_INVALID_PARAMETER);
    }
    // A child neither detached nor waited for inherits nothing: only the
    // bit without effect survives, and the caller sees what was used.
    if ((param->flags & (KIV_PROCESS_DETACH | KIV_PROCESS_WAIT)) == 0)
        param->flags &= KIV_PROCESS_FLAG_16;
    flags = param->flags;

    rc = createProcess(processId, status, param);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHPROCESS_CREATEPROCESS, rc, rc, 40);
    return f.ok();
}

Uint32 KIVHProcess::createProcess(Uint32* processId, KIVProcessStatus* status,
                                  const KIVProcessParam* param)
{
    KIVFrame f(KIVFN_KIVHPROCESS_CREATEPROCESS);
    ProcessHandleRelease release(processHandle);
    CommandLineBuffers buffers;
    DWORD creationFlags = NORMAL_PRIORITY_CLASS;
    if (flags & KIV_PROCESS_DETACH)
        creationFlags |= DETACHED_PROCESS;
    BOOL inherit = (flags & KIV_PROCESS_INHERIT_HANDLES) ? TRUE : FALSE;

    const char* program = param->program;
    Uint32 length = (Uint32)strlen(program) + (program[0] == '"' ? 0 : 2);
    Uint32 size = length + 3;
    buffers.quoted = static_cast<char*>(malloc(size));
    if (buffers.quoted == nullptr) {
        // The C runtime reports an allocation failure through errno, not
        // the system's last error: it is memory that ran out.
        KIVErrorContext ctx;
        ctx.setRequestSize(size);
        return f.sysError(KIVOSFN_MALLOC, ERROR_NOT_ENOUGH_MEMORY, 10, &ctx, 1, KIVLOG_UINT(size));
    }
    if (program[0] == '"')
        memcpy(buffers.quoted, program, length + 1);
    else
        kivSnprintf(buffers.quoted, size, "\"%s\"", program);

    // A list that begins with its closing empty string holds no argument:
    // the command line is then the program alone.
    if (param->arguments != nullptr && param->arguments[0] != '\0') {
        size = length + 1 + (Uint32)argumentsLength(param->arguments);
        buffers.line = static_cast<char*>(malloc(size));
        if (buffers.line == nullptr) {
            KIVErrorContext ctx;
            ctx.setRequestSize(size);
            return f.sysError(KIVOSFN_MALLOC, ERROR_NOT_ENOUGH_MEMORY, 20, &ctx, 1,
                              KIVLOG_UINT(size));
        }
        memcpy(buffers.line, buffers.quoted, length);
        buffers.line[length] = ' ';
        appendArguments(buffers.line + length + 1, param->arguments);
    }

    SECURITY_ATTRIBUTES security;
    SECURITY_DESCRIPTOR descriptor;
    Uint32 rc = kivInitSecurityAttributes2(&security, &descriptor);
    if (rc != 0)
        return f.retError(30, rc);

    // The child gets no visible window.
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof info);
    if (!CreateProcessA(nullptr, buffers.commandLine(), &security, &security, inherit,
                        creationFlags, param->environment, nullptr, &startup, &info)) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_CREATEPROCESS, err, 40, nullptr, 2, KIVLOG_UINT(inherit),
                          KIVLOG_HEX(creationFlags));
    }
    CloseHandle(info.hThread);
    processHandle = info.hProcess;
    created = true;

    if (flags & KIV_PROCESS_WAIT) {
        waitPending = true;
        KIVProcessStatus unused;
        rc = wait(info.dwProcessId, status ? status : &unused);
        if (rc != 0)
            return f.ret(rc);
    }
    if (processId)
        *processId = info.dwProcessId;
    return f.ok();
}

Uint32 KIVHProcess::wait(Uint32 processId, KIVProcessStatus* status)
{
    (void)processId; // the handle names the child here
    KIVFrame f(KIVFN_KIVHPROCESS_WAIT);
    memset(status, 0, sizeof *status);

    Uint32 rc = 0;
    DWORD result = WaitForSingleObject(processHandle, INFINITE);
    if (result == WAIT_OBJECT_0) {
        waitPending = false;
    } else if (result == WAIT_FAILED) {
        DWORD err = GetLastError();
        rc = kivSystemErrorHandler(f.functionId(), KIVOSFN_WAITFORSINGLEOBJECT, err, 50,
                                   KIVLOG_INFO, 0, nullptr, 1, KIVLOG_HEX(processHandle));
        f.errorPoint(50, rc);
    } else {
        rc = ECF_FAILED;
        kivLog(nullptr, f.functionId(), rc, 60, KIVLOG_INFO, 2, KIVLOG_HEX(processHandle),
               KIVLOG_HEX(result));
        f.errorPoint(60, rc);
    }

    // Read whatever the wait gave: a child still running reads as such.
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(processHandle, &exitCode)) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_GETEXITCODEPROCESS, err, 70, nullptr, 1,
                          KIVLOG_HEX(processHandle));
    }
    status->exitCode = exitCode;
    return f.ret(rc);
}

Uint32 kivProcessID(void) { return GetCurrentProcessId(); }
Uint32 kivProcessParentID(void) { return 0xFFFFFFFFu; }
void kivProcessExit(Uint32 exitCode) { ExitProcess(exitCode); }
