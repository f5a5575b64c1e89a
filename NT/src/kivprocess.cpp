/*
 * kivprocess.cpp - processes and the calling process's identity.
 */
#include "kivprocess.h"
#include "kivos.h"

Uint32 kivProcessID(void) { return GetCurrentProcessId(); }
Uint32 kivProcessParentID(void) { return 0xFFFFFFFFu; }
