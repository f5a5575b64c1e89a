/*
 * test_library.cpp - dynamic libraries: the project's test library loaded
 * by name and by path, its functions looked up (found, missing, not
 * exported, exported only by a library it depends on) singly and as a
 * list, unloaded; missing and malformed libraries; the calling order; quiet
 * mode and the log records.  The module services of the Win32 subset are
 * tested too; on Windows the same tests run against the real interfaces.
 */
#include "kivecf.h"
#include "kiverror.h"
#include "kivlibrary.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivtest.h"
#include "kivtestlog.h"

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace {

/* The text of the last string item of a log record. */
std::string lastString(const KivLogRecord& r)
{
    std::string s;
    for (const KivLogItem& item : r.items)
        if (item.type == KIVLOG_TYPE_STRING)
            s = item.asString();
    return s;
}

/* Its name as a Windows program gives it; the POSIX layer finds the shared
 * object of that name. */
const char* const kLibName = "kivtestlib.dll";
const char* const kNoSuchLib = "kivtest-no-such-library.dll";
const KIVLibFunction kUntouched = reinterpret_cast<KIVLibFunction>(1);

std::string fileNameOf(HMODULE module)
{
    char buf[4096];
    DWORD n = GetModuleFileNameA(module, buf, sizeof buf);
    return std::string(buf, n);
}

std::string programDirectory()
{
    std::string self = fileNameOf(nullptr);
    size_t sep = self.find_last_of("/\\");
    return sep == std::string::npos ? std::string(".") : self.substr(0, sep);
}

/* The library's file, by full path. */
std::string libraryPath()
{
#if defined(_WIN32)
    return programDirectory() + "\\kivtestlib.dll";
#else
    return programDirectory() + "/libkivtestlib.so";
#endif
}

typedef int (*AddFn)(int, int);

int add(KIVLibFunction f, int a, int b)
{
    return reinterpret_cast<AddFn>(reinterpret_cast<void (*)(void)>(f))(a, b);
}

/* The one log record of `function`, checked for its probe. */
KivLogRecord onlyRecord(const KivLogCapture& log, Uint32 function, Uint32 probe)
{
    std::vector<KivLogRecord> r = log.of(function);
    EXPECT_EQ(1u, r.size());
    EXPECT_TRUE(!r.empty() && r[0].probe == probe) << (r.empty() ? 0 : r[0].probe);
    return r.empty() ? KivLogRecord() : r[0];
}

/* A library object loaded with the test library, unloaded at the end. */
class LoadedLibrary : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, lib_.load(kLibName, 0)); }
    void TearDown() override
    {
        if (lib_.isLoaded()) {
            EXPECT_EQ(0u, lib_.unload());
        }
    }
    KIVHLibrary lib_;
};

/* ---- Loading ---------------------------------------------------------------------- */

TEST(Library, LoadLookUpCallAndUnload)
{
    // By name, and by full path with the flags that do not change the way
    // an ordinary library is loaded.
    const std::string path = libraryPath();
    const std::pair<const char*, Uint32> loads[] = {
        {kLibName, 0},
        {path.c_str(), KIV_LIB_QUIET | KIV_LIB_IGNORE_CODE_AUTHZ | KIV_LIB_ALTERED_SEARCH_PATH |
                           0x80000001u},
    };
    for (const auto& l : loads) {
        SCOPED_TRACE(l.first);
        KIVHLibrary lib;
        EXPECT_FALSE(lib.isLoaded());
        ASSERT_EQ(0u, lib.load(l.first, l.second));
        EXPECT_TRUE(lib.isLoaded());

        KIVLibFunction answer = nullptr, sum = nullptr;
        ASSERT_EQ(0u, lib.getFuncAddress("kivtestlibAnswer", &answer));
        EXPECT_EQ(42, answer());
        ASSERT_EQ(0u, lib.getFuncAddress("kivtestlibAdd", &sum));
        EXPECT_EQ(5, add(sum, 2, 3));

        EXPECT_EQ(0u, lib.unload());
        EXPECT_EQ(nullptr, lib.moduleHandle);
        EXPECT_EQ(ECF_LIB_NOT_LOADED, lib.unload());
    }
}

TEST(Library, MissingAndMalformedLibrariesCannotBeLoaded)
{
    KivTestTempDir dir;
    const std::string notALib = dir.file("notalib.dll");
    {
        std::ofstream f(notALib.c_str(), std::ios::binary);
        f << std::string(4096, 'x');
    }
    const struct {
        const char* name;
        Uint32      error;
        Uint32      rc;
    } cases[] = {
        {kNoSuchLib, ERROR_MOD_NOT_FOUND, ECF_LIB_CANNOT_LOAD},
        {notALib.c_str(), ERROR_BAD_EXE_FORMAT,
         kivErrorMapSystem(0, 0, KIVOSFN_LOADLIBRARY, ERROR_BAD_EXE_FORMAT, nullptr)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KIVHLibrary lib;
        KivLogCapture log;
        EXPECT_EQ(c.rc, lib.load(c.name, 0));
        KivLogRecord r = onlyRecord(log, KIVFN_KIVHLIBRARY_LOAD, 30);
        EXPECT_EQ(KIVOSFN_LOADLIBRARY, r.calledFunctionId);
        EXPECT_EQ(c.error, r.calledValue);
        EXPECT_EQ(c.rc, r.messageCode);
        EXPECT_FALSE(lib.isLoaded());
        // Quietly: the same code, no log.
        log.clear();
        EXPECT_EQ(c.rc, lib.load(c.name, KIV_LIB_QUIET));
        EXPECT_EQ(0u, log.count());
    }
}

TEST_F(LoadedLibrary, ASecondLoadIsRefusedAndKeepsTheFirst)
{
    void* first = lib_.moduleHandle;
    KivLogCapture log;
    EXPECT_EQ(ECF_LIB_ALREADY_LOADED, lib_.load(kNoSuchLib, 0));
    onlyRecord(log, KIVFN_KIVHLIBRARY_LOAD, 20);
    EXPECT_EQ(first, lib_.moduleHandle);
    KIVLibFunction answer = nullptr;
    ASSERT_EQ(0u, lib_.getFuncAddress("kivtestlibAnswer", &answer));
    EXPECT_EQ(42, answer());
}

TEST_F(LoadedLibrary, TwoObjectsShareOneCopyOfTheLibrary)
{
    KIVHLibrary other;
    ASSERT_EQ(0u, other.load(kLibName, 0));
    EXPECT_EQ(lib_.moduleHandle, other.moduleHandle);
    KIVLibFunction count1 = nullptr, count2 = nullptr;
    ASSERT_EQ(0u, lib_.getFuncAddress("kivtestlibCount", &count1));
    ASSERT_EQ(0u, other.getFuncAddress("kivtestlibCount", &count2));
    int before = count1();
    EXPECT_EQ(before + 1, count2());
    // Unloading one leaves the library loaded for the other.
    EXPECT_EQ(0u, other.unload());
    EXPECT_EQ(before + 2, count1());
}

TEST(Library, CallsOutOfOrderAndNullArguments)
{
    KIVHLibrary lib;
    KivLogCapture log;
    EXPECT_EQ(ECF_LIB_NOT_LOADED, lib.unload());
    onlyRecord(log, KIVFN_KIVHLIBRARY_UNLOAD, 10);

    KIVLibFunction fn = kUntouched;
    EXPECT_EQ(ECF_LIB_NOT_LOADED, lib.getFuncAddress("kivtestlibAnswer", &fn));
    EXPECT_EQ(kUntouched, fn);
    onlyRecord(log, KIVFN_KIVHLIBRARY_GETFUNCADDRESS, 20);
    KIVLibGetFuncAddressParam quiet("kivtestlibAnswer", KIV_LIB_FUNC_QUIET);
    KIVLibGetFuncAddressInfo info;

    // A list lookup stops at a failure other than a missing name.
    const char* names[] = {"kivtestlibAnswer", "kivtestlibAdd"};
    KIVLibGetFunctionAddressesParam list;
    list.count = 2;
    list.functionNames = names;
    KIVLibFunction fns[2] = {kUntouched, kUntouched};
    EXPECT_EQ(ECF_LIB_NOT_LOADED, lib.getFunctionAddresses(&list, fns));
    EXPECT_EQ(kUntouched, fns[0]);
    KivLogRecord r = onlyRecord(log, KIVFN_KIVHLIBRARY_GETFUNCTIONADDRESSES, 50);
    EXPECT_EQ(KIVFN_KIVHLIBRARY_GETFUNCADDRESS, r.calledFunctionId);
    EXPECT_EQ(ECF_LIB_NOT_LOADED, r.calledValue);

    EXPECT_EQ(ECF_INVALID_PARAMETER, lib.load(nullptr, 0));
    EXPECT_EQ(ECF_INVALID_PARAMETER, lib.getFuncAddress(&quiet, nullptr));
    log.clear();
    EXPECT_EQ(ECF_INVALID_PARAMETER, lib.getFunctionAddresses(nullptr, nullptr));
    kivtestExpectNullRecord(log, KIVFN_KIVHLIBRARY_GETFUNCTIONADDRESSES);
    list.version = KIV_VERSION_MIN - 1;
    EXPECT_EQ(ECF_INVALID_VERSION, lib.getFunctionAddresses(&list, nullptr));
    kivtestExpectVersionRecord(log, KIVFN_KIVHLIBRARY_GETFUNCTIONADDRESSES, KIV_VERSION_MIN - 1);
}

/* ---- Looking up ------------------------------------------------------------------- */

TEST_F(LoadedLibrary, OnlyTheLibrarysOwnExportsAreFound)
{
    // Not exported, and exported only by a library it depends on.
    for (const char* name : {"kivtestlibHidden", "malloc"}) {
        SCOPED_TRACE(name);
        KivLogCapture log;
        KIVLibGetFuncAddressParam param(name, 0);
        KIVLibGetFuncAddressInfo info;
        info.address = kUntouched;
        EXPECT_EQ(ECF_LIB_FUNC_NOT_FOUND, lib_.getFuncAddress(&param, &info));
        EXPECT_EQ(nullptr, info.address);
        KivLogRecord r = onlyRecord(log, KIVFN_KIVHLIBRARY_GETFUNCADDRESS, 30);
        EXPECT_EQ(KIVOSFN_GETPROCADDRESS, r.calledFunctionId);
        EXPECT_EQ((Uint32)ERROR_PROC_NOT_FOUND, r.calledValue);
        EXPECT_EQ(name, lastString(r));

        // Quietly: no log; the convenience form leaves its output alone.
        log.clear();
        param.flags = KIV_LIB_FUNC_QUIET;
        EXPECT_EQ(ECF_LIB_FUNC_NOT_FOUND, lib_.getFuncAddress(&param, &info));
        EXPECT_EQ(0u, log.count());
        KIVLibFunction fn = kUntouched;
        EXPECT_EQ(ECF_LIB_FUNC_NOT_FOUND, lib_.getFuncAddress(name, &fn));
        EXPECT_EQ(kUntouched, fn);
    }
}

TEST_F(LoadedLibrary, ListLookupWithAMissingNameIsAPartialSuccess)
{
    const char* names[] = {"kivtestlibAnswer", "kivtestlibNoSuchFunction", "kivtestlibAdd"};
    KIVLibGetFunctionAddressesParam param;
    param.count = 3;
    param.functionNames = names;
    KIVLibFunction fns[3] = {nullptr, kUntouched, nullptr};
    KivLogCapture log;
    EXPECT_EQ(ECF_PARTIAL_INFO, lib_.getFunctionAddresses(&param, fns));
    ASSERT_NE(nullptr, fns[0]);
    EXPECT_EQ(42, fns[0]());
    EXPECT_EQ(nullptr, fns[1]);
    ASSERT_NE(nullptr, fns[2]);
    EXPECT_EQ(7, add(fns[2], 3, 4));

    KivLogRecord r = onlyRecord(log, KIVFN_KIVHLIBRARY_GETFUNCTIONADDRESSES, 40);
    EXPECT_EQ(ECF_LIB_FUNC_NOT_FOUND, r.messageCode);
    EXPECT_EQ("kivtestlibNoSuchFunction", lastString(r));
    // The lookup of the missing name logged on its own, not quietly.
    EXPECT_EQ(1u, log.of(KIVFN_KIVHLIBRARY_GETFUNCADDRESS).size());

    // All found, and an empty list.
    names[1] = "kivtestlibCount";
    EXPECT_EQ(0u, lib_.getFunctionAddresses(&param, fns));
    EXPECT_NE(nullptr, fns[1]);
    param.count = 0;
    param.functionNames = nullptr;
    EXPECT_EQ(0u, lib_.getFunctionAddresses(&param, nullptr));
}

/* ---- The Win32 module services ---------------------------------------------------- */

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

/* What the library cannot show: the exact error numbers, the program's own
 * module, and (on the POSIX layer) that a handle is the module's base. */
TEST(CompatModule, TheMainProgramAndALibrary)
{
    std::string path = fileNameOf(nullptr);
    EXPECT_EQ(path, fileNameOf(GetModuleHandleA(nullptr)));
    EXPECT_TRUE(endsWith(path, "test_library.exe") || endsWith(path, "/test_library")) << path;
    // A buffer too small gets what fits, and the size as the result.
    char small[5];
    EXPECT_EQ(5u, GetModuleFileNameA(nullptr, small, sizeof small));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(path.substr(0, 4), std::string(small, 4));

    EXPECT_EQ(nullptr, GetModuleHandleA(kLibName));
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
    HMODULE module = LoadLibraryA(kLibName);
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(module, GetModuleHandleA(kLibName));
#if !defined(_WIN32)
    Dl_info info;
    ASSERT_NE(0, dladdr(reinterpret_cast<void*>(GetProcAddress(module, "kivtestlibAnswer")), &info));
    EXPECT_EQ(static_cast<void*>(module), info.dli_fbase);
#endif
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(nullptr, GetModuleHandleA(kLibName));
}

} // namespace
