/*
 * kivcompat_misc.cpp - debugger output, the event log on syslog, C runtime
 * odds and ends, the user name, process tokens, the environment and the
 * temporary directory.
 */
#include "kivcompat_handle.h"
#include "kivcompat_security.h"

#include <errno.h>
#include <mutex>
#include <new>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <syslog.h>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace kivcompat;

namespace {

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// An event source: the name its records carry.
class EventSourceObject : public KernelObject {
public:
    explicit EventSourceObject(const char* sourceName)
        : KernelObject(ObjectType::EventSource), name(sourceName) {}
    const std::string name;
};

// A process token: what it was opened for decides what it may be asked;
// whose identity it carries, what it answers.
class TokenObject : public KernelObject {
public:
    TokenObject(DWORD grantedAccess, pid_t owner)
        : KernelObject(ObjectType::Token), access(grantedAccess), pid(owner) {}
    const DWORD access;
    const pid_t pid;
};

int syslogPriority(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE:       return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:     return LOG_WARNING;
    case EVENTLOG_INFORMATION_TYPE: return LOG_INFO;
    case EVENTLOG_SUCCESS:          return LOG_NOTICE;
    case EVENTLOG_AUDIT_SUCCESS:    return LOG_NOTICE;
    case EVENTLOG_AUDIT_FAILURE:    return LOG_ERR;
    default:                        return -1;
    }
}

// The strings of an event as one syslog message: CRs go (records carry
// Windows line ends), as do blank lines at either end; strings are joined
// by line feeds.
std::string eventText(WORD count, LPCSTR* strings)
{
    std::string text;
    for (WORD i = 0; i < count; ++i) {
        if (!strings[i])
            continue;
        if (!text.empty())
            text += '\n';
        for (const char* p = strings[i]; *p; ++p) {
            if (*p != '\r')
                text += *p;
        }
    }
    size_t first = text.find_first_not_of('\n');
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of('\n');
    return text.substr(first, last - first + 1);
}

// The effective user's login name, or its number when it has none.
std::string effectiveUserName()
{
    uid_t uid = geteuid();
    std::vector<char> buf(1024);
    for (;;) {
        struct passwd pw, *found = nullptr;
        int rc = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 4);
            continue;
        }
        if (rc == 0 && found && found->pw_name && *found->pw_name)
            return found->pw_name;
        return std::to_string(static_cast<unsigned long>(uid));
    }
}

// The session of the process: the login (audit) session the kernel keeps,
// which like a Windows session numbers the logons of a machine; 0, the
// session of services, when there is none.
DWORD currentSessionId()
{
    FILE* f = fopen("/proc/self/sessionid", "re");
    if (!f)
        return 0;
    unsigned long id = 0;
    int n = fscanf(f, "%lu", &id);
    fclose(f);
    if (n != 1 || id >= 0xFFFFFFFFul) // (unsigned)-1: no login session
        return 0;
    return static_cast<DWORD>(id);
}

// Copies `value` for a call that answers the length without the NUL when
// it fits, and the size needed with the NUL when it does not.
DWORD copyOut(const std::string& value, LPSTR buffer, DWORD size)
{
    if (!buffer || size <= value.size())
        return static_cast<DWORD>(value.size() + 1);
    memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<DWORD>(value.size());
}

} // namespace

extern "C" {

// ---- Debugger ---------------------------------------------------------------------

// Written straight to the descriptor: callers include exception handlers.
void OutputDebugStringA(LPCSTR text)
{
    if (!text)
        return;
    size_t len = strlen(text);
    while (len > 0) {
        ssize_t n = write(2, text, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
}

void DebugBreak(void)
{
    raise(SIGTRAP);
}

// ---- Event log on syslog -------------------------------------------------------------

HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName)
{
    if (serverName && *serverName) {
        SetLastError(ERROR_NOT_SUPPORTED); // only the local event log
        return nullptr;
    }
    if (!sourceName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    EventSourceObject* source = new (std::nothrow) EventSourceObject(sourceName);
    if (!source) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return handleCreate(source);
}

BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD stringCount, DWORD dataSize, LPCSTR* strings, LPVOID rawData)
{
    (void)category, (void)eventId, (void)userSid, (void)dataSize, (void)rawData;
    ObjectRef<EventSourceObject> source =
        handleLookupAs<EventSourceObject>(eventLog, ObjectType::EventSource);
    if (!source)
        return FALSE;
    int priority = syslogPriority(type);
    if (priority < 0 || (stringCount && !strings))
        return fail(ERROR_INVALID_PARAMETER);
    std::string text = eventText(stringCount, strings);
    // openlog is process-wide and keeps the ident pointer; holding both for
    // the one record, and closing after it, keeps sources from mixing and
    // leaves no pointer to a source that may be deregistered.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    openlog(source->name.c_str(), LOG_PID, LOG_USER);
    syslog(priority, "%s", text.c_str());
    closelog();
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE eventLog)
{
    if (!handleLookupAs<EventSourceObject>(eventLog, ObjectType::EventSource))
        return FALSE;
    return CloseHandle(eventLog);
}

// ---- C runtime ------------------------------------------------------------------------

int _isatty(int fd) { return isatty(fd); }
int _fileno(FILE* stream) { return fileno(stream); }

__time64_t _time64(__time64_t* out)
{
    __time64_t now = static_cast<__time64_t>(time(nullptr));
    if (out)
        *out = now;
    return now;
}

// ---- User and token -------------------------------------------------------------------

BOOL GetUserNameA(LPSTR buffer, LPDWORD size)
{
    if (!size)
        return fail(ERROR_INVALID_PARAMETER);
    std::string name = effectiveUserName();
    DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, name.c_str(), needed);
    *size = needed;
    return TRUE;
}

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token)
{
    if (!token)
        return fail(ERROR_INVALID_PARAMETER);
    // The current process, by its pseudo-handle or a real process handle.
    if (process != GetCurrentProcess() &&
        !handleLookupAs<KernelObject>(process, ObjectType::Process))
        return FALSE;
    TokenObject* t = new (std::nothrow) TokenObject(desiredAccess, tokenOwnerOf(process));
    if (!t)
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    HANDLE h = handleCreate(t);
    if (!h)
        return FALSE;
    *token = h;
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                         DWORD infoLength, PDWORD returnLength)
{
    ObjectRef<TokenObject> t = handleLookupAs<TokenObject>(token, ObjectType::Token);
    if (!t)
        return FALSE;
    if (!(t->access & TOKEN_QUERY))
        return fail(ERROR_ACCESS_DENIED);
    if (!returnLength)
        return fail(ERROR_NOACCESS);
    switch (infoClass) {
    case TokenSessionId: {
        *returnLength = sizeof(DWORD);
        if (!info || infoLength < sizeof(DWORD))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        DWORD id = currentSessionId();
        memcpy(info, &id, sizeof id);
        return TRUE;
    }
    default:
        return tokenInformation(t->pid, infoClass, info, infoLength, returnLength);
    }
}

// ---- Environment and temporary directory -------------------------------------------------

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size)
{
    const char* value = name ? getenv(name) : nullptr;
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    DWORD n = copyOut(value, buffer, size);
    if (n == 0)
        SetLastError(ERROR_SUCCESS); // an empty value, not a missing one
    return n;
}

BOOL SetEnvironmentVariableA(LPCSTR name, LPCSTR value)
{
    if (!name || !*name || strchr(name, '='))
        return fail(ERROR_INVALID_PARAMETER);
    int rc = value ? setenv(name, value, 1) : unsetenv(name);
    if (rc != 0)
        return fail(kivCompatErrnoToWin32(errno));
    return TRUE;
}

DWORD GetTempPathA(DWORD size, LPSTR buffer)
{
    const char* dir = getenv("TMPDIR");
    std::string path = dir && *dir ? dir : "/tmp";
    if (path.back() != '/')
        path += '/';
    return copyOut(path, buffer, size);
}

} // extern "C"
