/*
 * test_symbols.cpp - the serialised symbol services, the frame-pointer
 * stack collector and the names of code addresses.
 */
#include "kivecf.h"
#include "kivsym.h"
#include "kivtest.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

/* Frames that keep their frame pointer, as the collector needs. */
#define KIVTEST_FRAMED __attribute__((noinline, optimize("no-omit-frame-pointer")))

namespace {

const Uint32 kSlots = 16;

// 64-bit Windows compilers point the frame register past the other saved
// registers, so the word there is not the caller's frame: the chain the
// collector follows exists only on 32-bit x86 and on Linux.
// Read at run time: the skipped tests' calls must stay in the program, or
// the compiler drops the framed functions' bodies that other tests name.
#if defined(_WIN64)
volatile bool kFramesNotChained = true;
#else
volatile bool kFramesNotChained = false;
#endif
const char kFramesNotChainedWhy[] =
    "64-bit Windows frames keep no chain of frame pointers to follow";

struct Collected {
    void*  addresses[kSlots];
    Uint32 count;
};

KIVTEST_FRAMED void innermostCollect(Collected* c, Uint32 skip)
{
    c->count = kivWalkStackCollect(skip, c->addresses, kSlots);
    __asm__ volatile("" ::: "memory");  // a call, not a jump: keeps this frame
}

KIVTEST_FRAMED void middleCollect(Collected* c, Uint32 skip)
{
    innermostCollect(c, skip);
    __asm__ volatile("" ::: "memory");
}

KIVTEST_FRAMED void outerCollect(Collected* c, Uint32 skip)
{
    middleCollect(c, skip);
    __asm__ volatile("" ::: "memory");
}

std::string nameOf(const void* address, Uint64* displacement = nullptr, Uint32* rc = nullptr)
{
    char name[300];
    Uint64 offset = 99;
    Uint32 r = kivSymbolNameForAddress((Uint64)(uintptr_t)address, name, sizeof name, &offset);
    if (displacement)
        *displacement = offset;
    if (rc)
        *rc = r;
    return name;
}

#define EXPECT_NAMED(address, function) \
    EXPECT_NE(nameOf(address).find(function), std::string::npos) << nameOf(address)

/* The program's file name without its directory and extension. */
std::string programStem()
{
    char path[MAX_PATH + 1] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p = path;
    p = p.substr(p.find_last_of("/\\") + 1);
    return p.substr(0, p.find('.'));
}

class SymbolServices : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The first initialisation wins for the whole process; the test
        // program's own functions must be known to it.
        kivSymInitialize(GetCurrentProcess(), nullptr, TRUE);
    }
};

} // namespace

TEST_F(SymbolServices, LockTableHasTheTwentyRecordsInOrder)
{
    EXPECT_TRUE(kivLoadSymDLL(true));
    EXPECT_TRUE(kivLoadSymDLL(false));  // made once; later calls change nothing
    ASSERT_EQ(KIV_SYM_FUNCTION_COUNT, 20);
    EXPECT_STREQ(kivSymFunctionName(0), "SymFunctionTableAccess");
    EXPECT_STREQ(kivSymFunctionName(4), "StackWalk");
    EXPECT_STREQ(kivSymFunctionName(7), "SymInitialize");
    EXPECT_STREQ(kivSymFunctionName(10), "SymCleanup");
    EXPECT_STREQ(kivSymFunctionName(11), "SymGetOptons");
    EXPECT_STREQ(kivSymFunctionName(12), "SymSetOptons");
    EXPECT_STREQ(kivSymFunctionName(19), "UnDecorateSymbolName");
    EXPECT_EQ(kivSymFunctionName(20), nullptr);
}

TEST_F(SymbolServices, StackOfThreeNestedFunctionsNamesAllThree)
{
    if (kFramesNotChained)
        GTEST_SKIP() << kFramesNotChainedWhy;
    Collected c;
    outerCollect(&c, 0);
    ASSERT_GE(c.count, 4u);
    // The first return point is inside the collector itself.  Wine's
    // symbol reader cannot read the library's debug information (DWARF 5),
    // so there only its module is checked.
    EXPECT_EQ(kivSymGetModuleBase(GetCurrentProcess(), (DWORD64)(uintptr_t)c.addresses[0]),
              kivSymGetModuleBase(GetCurrentProcess(), (DWORD64)(uintptr_t)&kivWalkStackCollect));
    if (!kivtestUnderWine()) {
        EXPECT_NAMED(c.addresses[0], "kivWalkStackCollect");
    }
    EXPECT_NAMED(c.addresses[1], "innermostCollect");
    EXPECT_NAMED(c.addresses[2], "middleCollect");
    EXPECT_NAMED(c.addresses[3], "outerCollect");
}

TEST_F(SymbolServices, SkipDropsTheFirstFrames)
{
    if (kFramesNotChained)
        GTEST_SKIP() << kFramesNotChainedWhy;
    Collected c;
    outerCollect(&c, 2);
    ASSERT_GE(c.count, 2u);
    EXPECT_NAMED(c.addresses[0], "middleCollect");
    EXPECT_NAMED(c.addresses[1], "outerCollect");
}

TEST_F(SymbolServices, CollectorLeavesUnusedEntriesZero)
{
    const Uint32 slots = 4096;  // more than any stack here is deep
    std::vector<void*> addresses(slots, reinterpret_cast<void*>(0x5A5A5A5A));
    Uint32 n = kivWalkStackCollect(0, addresses.data(), slots);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, slots);
    for (Uint32 i = 0; i < n; ++i)
        EXPECT_NE(addresses[i], nullptr) << i;
    for (Uint32 i = n; i < slots; ++i)
        ASSERT_EQ(addresses[i], nullptr) << i;
    EXPECT_EQ(kivWalkStackCollect(0, nullptr, 8), 0u);
    EXPECT_EQ(kivWalkStackCollect(0, addresses.data(), 0), 0u);
}

TEST_F(SymbolServices, NamesOfAddresses)
{
    // A function's name with the displacement into it.
    const char* start = reinterpret_cast<const char*>(&outerCollect);
    Uint64 displacement = 0;
    Uint32 rc = 1;
    std::string name = nameOf(start + 3, &displacement, &rc);
    EXPECT_EQ(rc, 0u);
    EXPECT_NE(name.find("outerCollect"), std::string::npos) << name;
    EXPECT_EQ(displacement, 3u);

    // Without a symbol: zero is unknown, any other address is printed in hex.
    std::vector<char> heap(64);
    char hex[64];
    snprintf(hex, sizeof hex, "0x%08llX", (unsigned long long)(uintptr_t)heap.data());
    const std::pair<const void*, std::string> cases[] = {{nullptr, "?unknown"},
                                                         {heap.data(), hex}};
    for (const auto& c : cases) {
        displacement = 7;
        EXPECT_EQ(nameOf(c.first, &displacement, &rc), c.second);
        EXPECT_NE(rc, 0u);
        EXPECT_EQ(displacement, 0u);
    }

    // Cut to the buffer, always terminated.
    char small[5];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(kivSymbolNameForAddress((Uint64)(uintptr_t)start, small, sizeof small, nullptr), 0u);
    EXPECT_EQ(strlen(small), 4u);
    EXPECT_EQ(kivSymbolNameForAddress((Uint64)(uintptr_t)start, nullptr, 10, nullptr),
              ECF_INVALID_PARAMETER);
}

TEST_F(SymbolServices, SecondInitializeAndCleanupLeaveTheHandlerUsable)
{
    // Counted, not passed on: the result is 0.
    EXPECT_EQ(kivSymInitialize(GetCurrentProcess(), nullptr, TRUE), FALSE);
    EXPECT_EQ(kivSymCleanup(GetCurrentProcess()), FALSE);
    EXPECT_NAMED(reinterpret_cast<const void*>(&middleCollect), "middleCollect");
}

TEST_F(SymbolServices, FailedCallKeepsThePlatformError)
{
    SetLastError(0);
    DWORD64 base = kivSymGetModuleBase(GetCurrentProcess(), 0x10);
    DWORD wrapped = GetLastError();
    EXPECT_EQ(base, 0u);
    EXPECT_NE(wrapped, 0u);
    // The platform's own answer for the same question.
    typedef DWORD64(WINAPI * ModuleBaseFn)(HANDLE, DWORD64);
#if defined(_WIN32)
    ModuleBaseFn platform = reinterpret_cast<ModuleBaseFn>(reinterpret_cast<void (*)(void)>(
        GetProcAddress(LoadLibraryA("dbghelp.dll"), "SymGetModuleBase64")));
    ASSERT_NE(platform, nullptr);
#else
    ModuleBaseFn platform = SymGetModuleBase64;
#endif
    SetLastError(0);
    EXPECT_EQ(platform(GetCurrentProcess(), 0x10), 0u);
    EXPECT_EQ(wrapped, GetLastError());
}

namespace {
BOOL CALLBACK collectModuleName(PCSTR name, DWORD64 base, ULONG size, PVOID context)
{
    if (base != 0 && size != 0)
        static_cast<std::string*>(context)->append(name ? name : "").append("\n");
    return TRUE;
}
} // namespace

TEST_F(SymbolServices, ModuleOfOwnFunctionEnumeratedAndLoaded)
{
    DWORD64 address = (DWORD64)(uintptr_t)&outerCollect;
    IMAGEHLP_MODULE64 info;
    memset(&info, 0, sizeof info);
    info.SizeOfStruct = sizeof info;
    ASSERT_TRUE(kivSymGetModuleInfo(GetCurrentProcess(), address, &info)) << GetLastError();
    EXPECT_LE(info.BaseOfImage, address);
    EXPECT_LT(address, info.BaseOfImage + info.ImageSize);
    DWORD64 base = kivSymGetModuleBase(GetCurrentProcess(), address);
    EXPECT_EQ(base, info.BaseOfImage);
    EXPECT_NE(std::string(info.ModuleName).find(programStem()), std::string::npos)
        << info.ModuleName;

    std::string names;
    ASSERT_TRUE(kivEnumerateLoadedModules(GetCurrentProcess(), collectModuleName, &names));
    EXPECT_NE(names.find(programStem()), std::string::npos) << names;
    EXPECT_NE(names.find("kive"), std::string::npos) << names;

    // Loading it twice gives its base both times.
    char path[MAX_PATH + 1] = {0};
    ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    EXPECT_EQ(kivSymLoadModule(GetCurrentProcess(), nullptr, path, nullptr, base, 0), base);
    EXPECT_EQ(kivSymLoadModule(GetCurrentProcess(), nullptr, path, nullptr, base, 0), base);
}

TEST_F(SymbolServices, SearchPathOptionsAndApiVersion)
{
    char saved[MAX_PATH + 1] = {0};
    ASSERT_TRUE(kivSymGetSearchPath(GetCurrentProcess(), saved, MAX_PATH));
    ASSERT_TRUE(kivSymSetSearchPath(GetCurrentProcess(), "kivtest-symbols"));
    char now[MAX_PATH + 1] = {0};
    ASSERT_TRUE(kivSymGetSearchPath(GetCurrentProcess(), now, MAX_PATH));
    EXPECT_STREQ(now, "kivtest-symbols");
    EXPECT_TRUE(kivSymSetSearchPath(GetCurrentProcess(), saved));

    DWORD options = kivSymGetOptions();
    EXPECT_EQ(kivSymSetOptions(options), options);
    LPAPI_VERSION version = kivImagehlpApiVersion();
    ASSERT_NE(version, nullptr);
    EXPECT_GT(version->MajorVersion, 0);
    EXPECT_NE(kivImagehlpApiVersionEx(version), nullptr);
}

TEST_F(SymbolServices, UndecoratesTheCompilersNames)
{
    char out[256];
#if defined(_WIN32)
    // The platform's decoration scheme.
    ASSERT_GT(kivUnDecorateSymbolName("?foo@@YAXH@Z", out, sizeof out, 0), 0u);
    EXPECT_NE(std::string(out).find("foo(int)"), std::string::npos) << out;
#else
    ASSERT_GT(kivUnDecorateSymbolName("_ZN3kiv5outerEic", out, sizeof out, 0), 0u);
    EXPECT_STREQ(out, "kiv::outer(int, char)");
    ASSERT_GT(kivUnDecorateSymbolName("_ZN3kiv5outerEic", out, sizeof out, UNDNAME_NAME_ONLY), 0u);
    EXPECT_STREQ(out, "kiv::outer");
    ASSERT_GT(kivUnDecorateSymbolName("plain_c_name", out, sizeof out, 0), 0u);
    EXPECT_STREQ(out, "plain_c_name");
    EXPECT_EQ(kivUnDecorateSymbolName(nullptr, out, sizeof out, 0), 0u);
#endif
}

TEST_F(SymbolServices, ConcurrentLookupsAllFindTheirNames)
{
    // The platform library is not safe for threads; the wrappers are.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 100; ++i) {
                wrong += nameOf(reinterpret_cast<const void*>(&middleCollect))
                             .find("middleCollect") == std::string::npos;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}
