/*
 * kivstrpads.cpp - blank-padded string comparison.
 */
#include "kivstrpads.h"

#include "kivecf.h"
#include "kivmem.h"
#include "kivlog.h"
#include "kivos.h"

#include <cstring>

namespace {

/* `mode` 1: the first differing byte decides. */
int compareBytes(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        const unsigned char ca = (unsigned char)*a;
        const unsigned char cb = (unsigned char)*b;
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == '\0')
            return 0;
    }
}

} // namespace

extern "C" int kivStrCompWithPads(const char* a, const char* b, Uint32 mode)
{
    if (a == nullptr || b == nullptr)
        return -1;
    const size_t la = std::strlen(a);
    const size_t lb = std::strlen(b);
    const bool aLonger = la >= lb;
    const char* shorter = aLonger ? b : a;
    const size_t shortLen = aLonger ? lb : la;
    const size_t longLen = aLonger ? la : lb;

    void* block = nullptr;
    const Uint32 rc = kivMemAlloc(&block, nullptr, (Uint32)(longLen + 1), 0, "kivstrpads", __LINE__);
    if (rc != 0) {
        Uint32 length = (Uint32)longLen;
        kivLogRC(nullptr, KIVFN_KIVSTRCOMPWITHPADS, KIVFN_KIVMEMALLOC, rc, 0, aLonger ? 10 : 20,
                 KIVLOG_ERROR, (Sint32)0x80000001u, KIVLOG_UINT(length));
        return -1;
    }
    char* padded = static_cast<char*>(block);
    std::memcpy(padded, shorter, shortLen);
    std::memset(padded + shortLen, ' ', longLen - shortLen);
    padded[longLen] = '\0';

    const char* left = aLonger ? a : padded;
    const char* right = aLonger ? padded : b;
    const int result = (mode == KIV_STRCOMP_CASE_SENSITIVE) ? compareBytes(left, right)
                                                           : _stricmp(left, right);
    kivMemFree(&block, 0, 0, "kivstrpads", __LINE__);
    return result;
}
