/*
 * kivstack.cpp - the frame-pointer stack collector and the name of a code
 * address.
 *
 * The collector needs no symbol library, so that it works where none can
 * be loaded: it follows the chain of frame pointers the compiler leaves
 * when frames keep one.  Every read goes through ReadProcessMemory on the
 * process itself, which reports a bad address instead of faulting, so a
 * broken chain ends the walk quietly.
 */
#include <string.h>

#include "kivecf.h"
#include "kivstring.h"
#include "kivsym.h"

namespace {

/* Frames lower than this are no frames (the chain's null end). */
const uintptr_t kLowestAddress = 4096;
/* A caller's frame further than this above its callee's is taken for
 * garbage rather than a frame. */
const uintptr_t kMaxFrameStep = 0x100000;

/* The symbol record the lookup hands over, without its name. */
static_assert(sizeof(IMAGEHLP_SYMBOL64) == 32, "symbol record");

/* The saved frame pointer and the return address of the frame at `frame`. */
bool readFrame(uintptr_t frame, uintptr_t words[2])
{
    SIZE_T got = 0;
    return ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<LPCVOID>(frame), words,
                             2 * sizeof(uintptr_t), &got) &&
           got == 2 * sizeof(uintptr_t);
}

/* Starts at its own frame, so that the first address found is the return
 * point in kivWalkStackCollect. */
__attribute__((noinline, optimize("no-omit-frame-pointer"))) Uint32
walkFrames(Uint32 skip, void** addresses, Uint32 count)
{
    uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    uintptr_t previous = frame;
    Uint32 n = 0;
    while (n < count && frame >= kLowestAddress) {
        if (frame < previous || frame - previous > kMaxFrameStep)
            break;
        uintptr_t words[2];
        if (!readFrame(frame, words) || words[1] < kLowestAddress)
            break;
        previous = frame;
        frame = words[0];
        if (skip > 0) {
            --skip;
            continue;
        }
        addresses[n++] = reinterpret_cast<void*>(words[1]);
    }
    return n;
}

} // namespace

__attribute__((noinline, optimize("no-omit-frame-pointer"))) Uint32
kivWalkStackCollect(Uint32 skip, void** addresses, Uint32 count)
{
    if (addresses == nullptr)
        return 0;
    memset(addresses, 0, count * sizeof *addresses);
    Uint32 n = walkFrames(skip, addresses, count);
    // Keeps the call a call (not a jump), so that it has a return point here.
    __asm__ volatile("" ::: "memory");
    return n;
}

Uint32 kivSymbolNameForAddress(Uint64 address, char* buffer, Uint32 size, Uint64* displacement)
{
    if (buffer == nullptr || size == 0)
        return ECF_INVALID_PARAMETER;
    if (address != 0) {
        // The record with room for a name of 260 characters behind it.
        union {
            IMAGEHLP_SYMBOL64 symbol;
            char              bytes[sizeof(IMAGEHLP_SYMBOL64) + 260];
        } record;
        memset(&record, 0, sizeof record);
        record.symbol.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
        record.symbol.MaxNameLength = 260;
        DWORD64 offset = 0;
        if (kivSymGetSymFromAddr(GetCurrentProcess(), address, &offset, &record.symbol)) {
            kivSnprintf(buffer, size, "%s", record.symbol.Name);
            if (displacement != nullptr)
                *displacement = offset;
            return 0;
        }
        kivSnprintf(buffer, size, "0x%08llX", (unsigned long long)address);
    } else {
        kivSnprintf(buffer, size, "?unknown");
    }
    if (displacement != nullptr)
        *displacement = 0;
    return ECF_FAILED;
}
