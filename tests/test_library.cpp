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

/* ---- The test library ------------------------------------------------------------- */

/* Its name as a Windows program gives it; the POSIX layer finds the shared
 * object of that name. */
const char* const kLibName = "kivtestlib.dll";

std::string programDirectory()
{
    char buf[4096];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    std::string self(buf, n);
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

typedef int (*IntFn)(void);
typedef int (*AddFn)(int, int);

template <class T>
T as(KIVLibFunction f)
{
    return reinterpret_cast<T>(reinterpret_cast<void (*)(void)>(f));
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
    KIVHLibrary lib;
    EXPECT_FALSE(lib.isLoaded());
    EXPECT_EQ(nullptr, lib.moduleHandle);
    ASSERT_EQ(0u, lib.load(kLibName, 0));
    EXPECT_TRUE(lib.isLoaded());
    EXPECT_NE(nullptr, lib.moduleHandle);

    KIVLibFunction answer = nullptr;
    ASSERT_EQ(0u, lib.getFuncAddress("kivtestlibAnswer", &answer));
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(42, answer());
    KIVLibFunction add = nullptr;
    ASSERT_EQ(0u, lib.getFuncAddress("kivtestlibAdd", &add));
    EXPECT_EQ(5, as<AddFn>(add)(2, 3));

    EXPECT_EQ(0u, lib.unload());
    EXPECT_FALSE(lib.isLoaded());
    EXPECT_EQ(nullptr, lib.moduleHandle);
}

TEST(Library, LoadByFullPathWithEveryOption)
{
    std::string path = libraryPath();
    KIVHLibrary lib;
    // The flags without effect on the way of loading an ordinary library.
    ASSERT_EQ(0u, lib.load(path.c_str(), KIV_LIB_QUIET | KIV_LIB_IGNORE_CODE_AUTHZ |
                                             KIV_LIB_ALTERED_SEARCH_PATH | 0x80000001u));
    KIVLibFunction answer = nullptr;
    ASSERT_EQ(0u, lib.getFuncAddress("kivtestlibAnswer", &answer));
    EXPECT_EQ(42, answer());
    EXPECT_EQ(0u, lib.unload());
}

TEST(Library, AMissingLibraryCannotBeLoaded)
{
    KIVHLibrary lib;
    {
        KivLogCapture log;
        EXPECT_EQ(ECF_LIB_CANNOT_LOAD, lib.load("kivtest-no-such-library.dll", 0));
        std::vector<KivLogRecord> r = log.of(KIVFN_KIVHLIBRARY_LOAD);
        ASSERT_EQ(1u, r.size());
        EXPECT_EQ(30u, r[0].probe);
        EXPECT_EQ(KIVOSFN_LOADLIBRARY, r[0].calledFunctionId);
        EXPECT_EQ((Uint32)ERROR_MOD_NOT_FOUND, r[0].calledValue);
        EXPECT_EQ(ECF_LIB_CANNOT_LOAD, r[0].messageCode);
    }
    EXPECT_FALSE(lib.isLoaded());
    {
        KivLogCapture log;
        EXPECT_EQ(ECF_LIB_CANNOT_LOAD, lib.load("kivtest-no-such-library.dll", KIV_LIB_QUIET));
        EXPECT_EQ(0u, log.count());
    }
    KivTestTempDir dir;
    std::string missing = dir.file("missing.dll");
    EXPECT_EQ(ECF_LIB_CANNOT_LOAD, lib.load(missing.c_str(), KIV_LIB_QUIET));
    EXPECT_FALSE(lib.isLoaded());
}

TEST(Library, AFileThatIsNoLibraryIsABadFormat)
{
    KivTestTempDir dir;
    std::string path = dir.file("notalib.dll");
    {
        std::ofstream f(path.c_str(), std::ios::binary);
        f << std::string(4096, 'x');
    }
    Uint32 expected = kivErrorMapSystem(0, 0, KIVOSFN_LOADLIBRARY, ERROR_BAD_EXE_FORMAT, nullptr);
    KIVHLibrary lib;
    {
        KivLogCapture log;
        EXPECT_EQ(expected, lib.load(path.c_str(), 0));
        std::vector<KivLogRecord> r = log.of(KIVFN_KIVHLIBRARY_LOAD);
        ASSERT_EQ(1u, r.size());
        EXPECT_EQ(30u, r[0].probe);
        EXPECT_EQ((Uint32)ERROR_BAD_EXE_FORMAT, r[0].calledValue);
    }
    {
        KivLogCapture log;
        EXPECT_EQ(expected, lib.load(path.c_str(), KIV_LIB_QUIET));
        EXPECT_EQ(0u, log.count());
    }
    EXPECT_FALSE(lib.isLoaded());
}

TEST_F(LoadedLibrary, ASecondLoadIsRefusedAndKeepsTheFirst)
{
    void* first = lib_.moduleHandle;
    {
        KivLogCapture log;
        EXPECT_EQ(ECF_LIB_ALREADY_LOADED, lib_.load("kivtest-no-such-library.dll", 0));
        std::vector<KivLogRecord> r = log.of(KIVFN_KIVHLIBRARY_LOAD);
        ASSERT_EQ(1u, r.size());
        EXPECT_EQ(20u, r[0].probe);
    }
    {
        KivLogCapture log;
        EXPECT_EQ(ECF_LIB_ALREADY_LOADED, lib_.load(kLibName, KIV_LIB_QUIET));
        EXPECT_EQ(0u, log.count());
    }
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

TEST(Library, UnloadAndLookUpNeedALoadedLibrary)
{
    KIVHLibrary lib;
    KivLogCapture log;
    EXPECT_EQ(ECF_LIB_NOT_LOADED, lib.unload());
    ASSERT_EQ(1u, log.of(KIVFN_KIVHLIBRARY_UNLOAD).size());
    EXPECT_EQ(10u, log.of(KIVFN_KIVHLIBRARY_UNLOAD)[0].probe);

    KIVLibFunction fn = reinterpret_cast<KIVLibFunction>(1);
    EXPECT_EQ(ECF_LIB_NOT_LOADED, lib.getFuncAddress("kivtestlibAnswer", &fn));
    EXPECT_EQ(reinterpret_cast<KIVLibFunction>(1), fn);
    ASSERT_EQ(1u, log.of(KIVFN_KIVHLIBRARY_GETFUNCADDRESS).size());
    EXPECT_EQ(20u, log.of(KIVFN_KIVHLIBRARY_GETFUNCADDRESS)[0].probe);

    KIVLibGetFuncAddressParam quiet("kivtestlibAnswer", KIV_LIB_FUNC_QUIET);
    KIVLibGetFuncAddressInfo info;
    EXPECT_EQ(ECF_LIB_NOT_LOADED, lib.getFuncAddress(&quiet, &info));
    EXPECT_EQ(1u, log.of(KIVFN_KIVHLIBRARY_GETFUNCADDRESS).size());

    ASSERT_EQ(0u, lib.load(kLibName, 0));
    EXPECT_EQ(0u, lib.unload());
    EXPECT_EQ(ECF_LIB_NOT_LOADED, lib.unload());
}

TEST(Library, NullArguments)
{
    KIVHLibrary lib;
    EXPECT_EQ(ECF_INVALID_PARAMETER, lib.load(nullptr, 0));
    KIVLibGetFuncAddressInfo info;
    EXPECT_EQ(ECF_INVALID_PARAMETER, lib.getFuncAddress(nullptr, &info));
    KIVLibGetFuncAddressParam param("kivtestlibAnswer", 0);
    EXPECT_EQ(ECF_INVALID_PARAMETER, lib.getFuncAddress(&param, nullptr));
}

/* ---- Looking up ------------------------------------------------------------------- */

TEST_F(LoadedLibrary, OnlyTheLibrarysOwnExportsAreFound)
{
    // Not exported, and exported only by a library it depends on.
    for (const char* name : {"kivtestlibNoSuchFunction", "kivtestlibHidden", "malloc"}) {
        KivLogCapture log;
        KIVLibGetFuncAddressParam param(name, 0);
        KIVLibGetFuncAddressInfo info;
        info.address = reinterpret_cast<KIVLibFunction>(1);
        EXPECT_EQ(ECF_LIB_FUNC_NOT_FOUND, lib_.getFuncAddress(&param, &info)) << name;
        EXPECT_EQ(nullptr, info.address) << name;
        std::vector<KivLogRecord> r = log.of(KIVFN_KIVHLIBRARY_GETFUNCADDRESS);
        ASSERT_EQ(1u, r.size()) << name;
        EXPECT_EQ(30u, r[0].probe);
        EXPECT_EQ(KIVOSFN_GETPROCADDRESS, r[0].calledFunctionId);
        EXPECT_EQ((Uint32)ERROR_PROC_NOT_FOUND, r[0].calledValue);
        EXPECT_EQ(name, lastString(r[0]));
    }
}

TEST_F(LoadedLibrary, QuietLookupsWriteNoLog)
{
    KivLogCapture log;
    KIVLibGetFuncAddressParam param("kivtestlibNoSuchFunction", KIV_LIB_FUNC_QUIET);
    KIVLibGetFuncAddressInfo info;
    EXPECT_EQ(ECF_LIB_FUNC_NOT_FOUND, lib_.getFuncAddress(&param, &info));
    EXPECT_EQ(0u, log.count());
}

TEST_F(LoadedLibrary, TheConvenienceFormLeavesItsOutputOnFailure)
{
    KIVLibFunction fn = reinterpret_cast<KIVLibFunction>(1);
    EXPECT_EQ(ECF_LIB_FUNC_NOT_FOUND, lib_.getFuncAddress("kivtestlibNoSuchFunction", &fn));
    EXPECT_EQ(reinterpret_cast<KIVLibFunction>(1), fn);
    EXPECT_EQ(0u, lib_.getFuncAddress("kivtestlibAnswer", &fn));
    EXPECT_EQ(42, fn());
}

TEST_F(LoadedLibrary, ListLookupWithAMissingNameIsAPartialSuccess)
{
    const char* names[] = {"kivtestlibAnswer", "kivtestlibNoSuchFunction", "kivtestlibAdd"};
    KIVLibGetFunctionAddressesParam param;
    param.count = 3;
    param.functionNames = names;
    KIVLibFunction fns[3] = {nullptr, reinterpret_cast<KIVLibFunction>(1), nullptr};
    KivLogCapture log;
    EXPECT_EQ(ECF_PARTIAL_INFO, lib_.getFunctionAddresses(&param, fns));
    EXPECT_EQ(0x10000006u, ECF_PARTIAL_INFO);
    ASSERT_NE(nullptr, fns[0]);
    EXPECT_EQ(42, fns[0]());
    EXPECT_EQ(nullptr, fns[1]);
    ASSERT_NE(nullptr, fns[2]);
    EXPECT_EQ(7, as<AddFn>(fns[2])(3, 4));

    std::vector<KivLogRecord> r = log.of(KIVFN_KIVHLIBRARY_GETFUNCTIONADDRESSES);
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ(40u, r[0].probe);
    EXPECT_EQ(ECF_LIB_FUNC_NOT_FOUND, r[0].messageCode);
    EXPECT_EQ("kivtestlibNoSuchFunction", lastString(r[0]));
    // The lookup of the missing name logged on its own, not quietly.
    EXPECT_EQ(1u, log.of(KIVFN_KIVHLIBRARY_GETFUNCADDRESS).size());
}

TEST_F(LoadedLibrary, ListLookupOfExportedNamesAndOfNone)
{
    const char* names[] = {"kivtestlibCount", "kivtestlibAnswer"};
    KIVLibGetFunctionAddressesParam param;
    param.count = 2;
    param.functionNames = names;
    KIVLibFunction fns[2] = {nullptr, nullptr};
    EXPECT_EQ(0u, lib_.getFunctionAddresses(&param, fns));
    EXPECT_NE(nullptr, fns[0]);
    EXPECT_EQ(42, fns[1]());

    param.count = 0;
    param.functionNames = nullptr;
    EXPECT_EQ(0u, lib_.getFunctionAddresses(&param, nullptr));
}

TEST(Library, ListLookupStopsAtOtherFailures)
{
    KIVHLibrary lib;
    const char* names[] = {"kivtestlibAnswer", "kivtestlibAdd"};
    KIVLibGetFunctionAddressesParam param;
    param.count = 2;
    param.functionNames = names;
    KIVLibFunction sentinel = reinterpret_cast<KIVLibFunction>(1);
    KIVLibFunction fns[2] = {sentinel, sentinel};
    KivLogCapture log;
    EXPECT_EQ(ECF_LIB_NOT_LOADED, lib.getFunctionAddresses(&param, fns));
    EXPECT_EQ(sentinel, fns[0]);
    EXPECT_EQ(sentinel, fns[1]);
    std::vector<KivLogRecord> r = log.of(KIVFN_KIVHLIBRARY_GETFUNCTIONADDRESSES);
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ(50u, r[0].probe);
    EXPECT_EQ(KIVFN_KIVHLIBRARY_GETFUNCADDRESS, r[0].calledFunctionId);
    EXPECT_EQ(ECF_LIB_NOT_LOADED, r[0].calledValue);
}

TEST(Library, ListLookupChecksItsParameterObject)
{
    KIVHLibrary lib;
    KivLogCapture log;
    EXPECT_EQ(ECF_INVALID_PARAMETER, lib.getFunctionAddresses(nullptr, nullptr));
    KIVLibGetFunctionAddressesParam param;
    param.version = KIV_VERSION_MIN - 1;
    EXPECT_EQ(ECF_INVALID_VERSION, lib.getFunctionAddresses(&param, nullptr));
    std::vector<KivLogRecord> r = log.of(KIVFN_KIVHLIBRARY_GETFUNCTIONADDRESSES);
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(1111u, r[0].probe);
    EXPECT_EQ(1112u, r[1].probe);
}

/* ---- The Win32 module services ---------------------------------------------------- */

std::string fileNameOf(HMODULE module)
{
    char buf[4096];
    DWORD n = GetModuleFileNameA(module, buf, sizeof buf);
    return std::string(buf, n);
}

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CompatModule, TheMainProgram)
{
    HMODULE self = GetModuleHandleA(nullptr);
    ASSERT_NE(nullptr, self);
    std::string path = fileNameOf(nullptr);
    EXPECT_EQ(path, fileNameOf(self));
#if defined(_WIN32)
    EXPECT_TRUE(endsWith(path, "test_library.exe")) << path;
#else
    EXPECT_TRUE(endsWith(path, "/test_library")) << path;
#endif
    // A buffer too small gets what fits (older Windows versions leave out
    // the terminator), and the size as the result.
    char small[5];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(5u, GetModuleFileNameA(nullptr, small, sizeof small));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(path.substr(0, 4), std::string(small, 4));
}

TEST(CompatModule, LoadFindNameAndFreeALibrary)
{
    EXPECT_EQ(nullptr, GetModuleHandleA(kLibName));
    HMODULE module = LoadLibraryA(kLibName);
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(module, GetModuleHandleA(kLibName));
    EXPECT_EQ(module, LoadLibraryExA(libraryPath().c_str(), nullptr, 0));

    std::string name = fileNameOf(module);
    EXPECT_TRUE(endsWith(name, libraryPath().substr(programDirectory().size()))) << name;
    FARPROC answer = GetProcAddress(module, "kivtestlibAnswer");
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(42, (int)answer());
    EXPECT_EQ(nullptr, GetProcAddress(module, "kivtestlibHidden"));
    EXPECT_EQ((DWORD)ERROR_PROC_NOT_FOUND, GetLastError());
#if !defined(_WIN32)
    // The handle is where the module is mapped, as on Windows.
    Dl_info info;
    ASSERT_NE(0, dladdr(reinterpret_cast<void*>(answer), &info));
    EXPECT_EQ(static_cast<void*>(module), info.dli_fbase);
    static int inMain = 0;
    ASSERT_NE(0, dladdr(&inMain, &info));
    EXPECT_EQ(static_cast<void*>(GetModuleHandleA(nullptr)), info.dli_fbase);
#endif

    // Two loads, two frees: the library stays until the last.
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(module, GetModuleHandleA(kLibName));
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(nullptr, GetModuleHandleA(kLibName));
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
}

TEST(CompatModule, MissingModules)
{
    EXPECT_EQ(nullptr, LoadLibraryA("kivtest-no-such-library.dll"));
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
    EXPECT_EQ(nullptr, GetModuleHandleA("kivtest-no-such-library.dll"));
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
}

} // namespace
