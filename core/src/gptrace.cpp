/*
 * gptrace.cpp - the attached trace control block and the record writers
 * used by every operation.  Until a control block is attached the writers
 * are never reached: callers test g_pGTCB and its `enabled` word first.
 */
#include "gptrace.h"

GTCB* volatile g_pGTCB = nullptr;

extern "C" {

Uint32 gtraceEntry(Uint32, Uint32, Uint32, Uint32, Uint32) { return 0; }
Uint32 gtraceExit(Uint32, Uint32, Uint32, Uint32*, Uint32, Uint32) { return 0; }
Uint32 gtraceVar(Uint32, Uint32, Uint32, Uint16, Uint16, Uint32, ...) { return 0; }
Uint32 gtraceErrorVar(Uint32, Uint32, Uint32, Uint16, Uint16, Uint32, Uint32, Uint32, ...) { return 0; }

}
