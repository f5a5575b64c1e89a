/*
 * kivinit.cpp - what the library does when it is loaded into a process and
 * when it is unloaded.  On Windows DllMain calls in; elsewhere the shared
 * object's constructor and destructor do.
 *
 * Attach (once per process): latch spin tuning and the time-stamp-counter
 * probe, then the subsystems that need start-up state.  Detach undoes what
 * attach made.  No threads are started.
 */
#include "kivinternal.h"
#include "kivos.h"

namespace {
bool g_attached = false;
}

void kivProcessAttach()
{
    if (g_attached)
        return;
    g_attached = true;
    kivLatchProcessInit();
    kivMemProcessInit();
    kivPlatformProcessInit();
    // Last: attaching a named trace block uses the latches, the allocator
    // and the IPC naming that the steps above set up.
    kivTraceProcessInit();
}

void kivProcessDetach()
{
    if (!g_attached)
        return;
    g_attached = false;
    kivSymProcessTerm();
    kivMemProcessTerm();
}

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        kivProcessAttach();
        break;
    case DLL_PROCESS_DETACH:
        kivProcessDetach();
        break;
    default:
        break;
    }
    return TRUE;
}
#else
__attribute__((constructor)) static void kivSharedObjectLoad()
{
    kivProcessAttach();
}
__attribute__((destructor)) static void kivSharedObjectUnload()
{
    kivProcessDetach();
}
#endif
