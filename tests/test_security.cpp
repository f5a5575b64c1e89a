/*
 * test_security.cpp - platform flags, token queries, the processor facts
 * and the all-users application-data folder.
 *
 * On Linux the answers are checked against what `id` says about the
 * process (the superuser is the administrator).  Under wine the token
 * answers come from wine's own token (an administrator, at high
 * integrity, in the wine versions seen so far), and are checked against
 * the platform's calls instead.
 */
#include "kivecf.h"
#include "kivmem.h"
#include "kivsecurity.h"
#include "kivtest.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#if !defined(_WIN32)
#  include <unistd.h>
#endif

namespace {

/* The numbers `id` prints with the given option, as a set. */
#if !defined(_WIN32)
std::set<unsigned long> idNumbers(const char* option)
{
    std::set<unsigned long> numbers;
    std::string command = std::string("id ") + option;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return numbers;
    unsigned long n;
    while (fscanf(p, "%lu", &n) == 1)
        numbers.insert(n);
    pclose(p);
    return numbers;
}
#endif

/* A token of this process for queries, closed with the object. */
struct OwnToken {
    OwnToken() { OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle); }
    ~OwnToken()
    {
        if (handle)
            CloseHandle(handle);
    }
    HANDLE handle = nullptr;
};

/* A block from kivGetTokenInformation, freed with the object. */
struct Block {
    ~Block()
    {
        if (data)
            kivMemFree(&data, 0, 0, "test_security", __LINE__);
    }
    void*  data = nullptr;
    Uint32 length = 0;
};

Uint32 currentPid() { return GetCurrentProcessId(); }

/* A process id that no process has. */
Uint32 unusedPid()
{
    for (Uint32 pid = 0x7FFFFF00u; pid > 0x7FFF0000u; pid -= 4) {
        HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
        if (!h)
            return pid;
        CloseHandle(h);
    }
    return 0x7FFFFF00u;
}

} // namespace

/* ---- platform flags -------------------------------------------------------------------- */

TEST(PlatformFlags, AgreeWithTheReportedVersion)
{
    OSVERSIONINFOEXA v;
    memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&v)));
    bool nt = v.dwPlatformId == VER_PLATFORM_WIN32_NT;
    DWORD major = v.dwMajorVersion, minor = v.dwMinorVersion;
    EXPECT_EQ(g_bIsPlatformID_Win32On95, nt ? 0u : 1u);
    EXPECT_EQ(g_bIsPlatformID_Win32OnNT, nt ? 1u : 0u);
    EXPECT_EQ(g_bIsPlatformID_Win2k, nt && major >= 5 ? 1u : 0u);
    EXPECT_EQ(g_bIsPlatformID_WinXP, nt && ((major == 5 && minor != 0) || major >= 6) ? 1u : 0u);
    EXPECT_EQ(g_bIsPlatformID_Win2k3, nt && ((major == 5 && minor >= 2) || major >= 6) ? 1u : 0u);
    EXPECT_EQ(g_bIsPlatformID_Vista, nt && major >= 6 ? 1u : 0u);
    EXPECT_EQ(g_bIsPlatformID_Longhorn,
              nt && major >= 6 && !(v.wSuiteMask & VER_SUITE_PERSONAL) ? 1u : 0u);
    EXPECT_EQ(g_bIsPlatformID_Win98, 0u);
    EXPECT_EQ(g_bIsPlatformID_WinMe, 0u);
    EXPECT_LE(g_bRunningTerminalService, 1u);
    EXPECT_EQ(g_bRunningTerminalService, g_bRunningTerminalServiceRemoteAdminMode);
}

#if !defined(_WIN32)
TEST(PlatformFlags, PosixSubsetIsAnNT51WorkstationWithoutTerminalServices)
{
    EXPECT_EQ(g_bIsPlatformID_Win32OnNT, 1u);
    EXPECT_EQ(g_bIsPlatformID_Win2k, 1u);
    EXPECT_EQ(g_bIsPlatformID_WinXP, 1u);
    EXPECT_EQ(g_bIsPlatformID_Win2k3, 0u);
    EXPECT_EQ(g_bIsPlatformID_Vista, 0u);
    EXPECT_EQ(g_bIsPlatformID_Longhorn, 0u);
    EXPECT_EQ(g_bRunningTerminalService, 0u);

    // The version conditions behind the terminal-service check.
    OSVERSIONINFOEXA want;
    memset(&want, 0, sizeof want);
    want.dwOSVersionInfoSize = sizeof want;
    want.dwMajorVersion = 5;
    want.dwMinorVersion = 1;
    ULONGLONG mask = VerSetConditionMask(VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL),
                                         VER_MINORVERSION, VER_GREATER_EQUAL);
    EXPECT_TRUE(VerifyVersionInfoA(&want, VER_MAJORVERSION | VER_MINORVERSION, mask));
    want.dwMajorVersion = 6;
    want.dwMinorVersion = 0;
    EXPECT_FALSE(VerifyVersionInfoA(&want, VER_MAJORVERSION | VER_MINORVERSION, mask));
    EXPECT_EQ(GetLastError(), ERROR_OLD_WIN_VERSION);
}
#endif

/* ---- processor facts and folders ---------------------------------------------------------- */

TEST(SystemFacts, NativeSystemInformationAndCommonAppDataPath)
{
    SYSTEM_INFO si;
    memset(&si, 0, sizeof si);
    ASSERT_EQ(kivGetSystemInfo(&si), 0u);
    EXPECT_GT(si.dwPageSize, 0u);
    EXPECT_GE(si.dwNumberOfProcessors, 1u);
    EXPECT_LT(si.lpMinimumApplicationAddress, si.lpMaximumApplicationAddress);
    EXPECT_TRUE(si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ||
                si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64);
    EXPECT_EQ(kivGetSystemInfo(nullptr), ECF_INVALID_PARAMETER);

    char path[MAX_PATH + 1];
    ASSERT_EQ(kivGetCommonAppDataPath(path, sizeof path), 0u);
#if defined(_WIN32)
    EXPECT_GT(strlen(path), 0u);
#else
    EXPECT_STREQ(path, "/var/lib");
#endif
    // No room for the NUL: too small, and the buffer is not touched.
    size_t length = strlen(path);
    std::string exact(length, 'x');
    EXPECT_EQ(kivGetCommonAppDataPath(&exact[0], (Uint32)length), ECF_BUFFER_TOO_SMALL);
    EXPECT_EQ(exact, std::string(length, 'x'));
    std::string roomy(length + 1, 'x');
    EXPECT_EQ(kivGetCommonAppDataPath(&roomy[0], (Uint32)length + 1), 0u);
    EXPECT_STREQ(roomy.c_str(), path);
    EXPECT_EQ(kivGetCommonAppDataPath(nullptr, 10), ECF_INVALID_PARAMETER);
}

/* ---- tokens --------------------------------------------------------------------------------- */

TEST(Token, GroupsAndUserOfThisProcess)
{
    OwnToken token;
    ASSERT_NE(token.handle, nullptr);
    Block groups;
    ASSERT_EQ(kivGetTokenInformation(token.handle, TokenGroups, &groups.data, &groups.length), 0u);
    ASSERT_NE(groups.data, nullptr);
    const TOKEN_GROUPS* list = static_cast<const TOKEN_GROUPS*>(groups.data);
    ASSERT_GT(list->GroupCount, 0u);
    EXPECT_GE(groups.length, sizeof(DWORD) + list->GroupCount * sizeof(SID_AND_ATTRIBUTES));
    for (DWORD i = 0; i < list->GroupCount; ++i)
        EXPECT_TRUE(IsValidSid(list->Groups[i].Sid)) << i;
#if !defined(_WIN32)
    // The Unix groups are exactly those `id -G` prints.
    std::set<unsigned long> gids;
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        PSID sid = list->Groups[i].Sid;
        if (GetSidIdentifierAuthority(sid)->Value[5] == 22 && *GetSidSubAuthority(sid, 0) == 2)
            gids.insert(*GetSidSubAuthority(sid, 1));
    }
    EXPECT_EQ(gids, idNumbers("-G"));

    Block user;
    ASSERT_EQ(kivGetTokenInformation(token.handle, TokenUser, &user.data, &user.length), 0u);
    PSID userSid = static_cast<const TOKEN_USER*>(user.data)->User.Sid;
    std::set<unsigned long> uid = idNumbers("-u");
    ASSERT_EQ(uid.size(), 1u);
    EXPECT_EQ(22, GetSidIdentifierAuthority(userSid)->Value[5]);
    ASSERT_EQ(2u, *GetSidSubAuthorityCount(userSid));
    EXPECT_EQ(1u, *GetSidSubAuthority(userSid, 0));
    EXPECT_EQ(*uid.begin(), *GetSidSubAuthority(userSid, 1));
#endif
}

TEST(Token, AnswersForThisProcess)
{
    bool admin = false, filtered = true;
    Uint32 level = 0xFFFFFFFFu;
    ASSERT_EQ(kivDoesProcessHaveLocalAdminSID(currentPid(), &admin), 0u);
    ASSERT_EQ(kivGetProcessIntegrityLevel(currentPid(), &level), 0u);
    ASSERT_EQ(kivIsProcessRunningWithFilteredToken(currentPid(), &filtered), 0u);
#if defined(_WIN32)
    // An enabled membership is one; a filtered token may hold the group
    // for denial only, which still counts here.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                         DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins));
    BOOL enabled = FALSE;
    ASSERT_TRUE(CheckTokenMembership(nullptr, admins, &enabled));
    FreeSid(admins);
    if (enabled) {
        EXPECT_TRUE(admin);
    }
    EXPECT_TRUE(level == 0x0000 || level == 0x1000 || level == 0x2000 || level == 0x2100 ||
                level == 0x3000 || level == 0x4000)
        << std::hex << level;
#else
    std::set<unsigned long> uid = idNumbers("-u");
    ASSERT_EQ(uid.size(), 1u);
    EXPECT_EQ(admin, *uid.begin() == 0);
    EXPECT_EQ(level, geteuid() == 0 ? 0x3000u : 0x2000u);
#endif
    // A filtered token is an administrator's below high integrity.
    EXPECT_EQ(filtered, g_bIsPlatformID_Vista && admin && level < 0x3000u);
}

TEST(Token, BadArguments)
{
    void* block = nullptr;
    Uint32 length = 0;
    EXPECT_NE(kivGetTokenInformation(reinterpret_cast<HANDLE>(0x1234), TokenGroups, &block, &length),
              0u);
    EXPECT_EQ(block, nullptr);
    OwnToken token;
    EXPECT_EQ(kivGetTokenInformation(token.handle, TokenGroups, nullptr, &length),
              ECF_INVALID_PARAMETER);

    EXPECT_EQ(kivDoesProcessHaveLocalAdminSID(currentPid(), nullptr), ECF_INVALID_PARAMETER);
    EXPECT_EQ(kivGetProcessIntegrityLevel(currentPid(), nullptr), ECF_INVALID_PARAMETER);
    EXPECT_EQ(kivIsProcessRunningWithFilteredToken(currentPid(), nullptr), ECF_INVALID_PARAMETER);

    // A process that does not exist: an error, and the answer untouched.
    Uint32 pid = unusedPid();
    bool admin = true;
    Uint32 level = 77;
    EXPECT_NE(kivDoesProcessHaveLocalAdminSID(pid, &admin), 0u);
    EXPECT_TRUE(admin);
    EXPECT_NE(kivGetProcessIntegrityLevel(pid, &level), 0u);
    EXPECT_EQ(level, 77u);
}

TEST(Token, BeforeVistaTheProcessIsNotLookedAt)
{
    if (g_bIsPlatformID_Vista)
        GTEST_SKIP() << "the system is Vista or later";
    // Even a process that does not exist is answered: no filtered token.
    bool filtered = true;
    EXPECT_EQ(kivIsProcessRunningWithFilteredToken(unusedPid(), &filtered), 0u);
    EXPECT_FALSE(filtered);
}

/* Another process of the same user answers as this one does. */
KIVTEST_CHILD(securityWaitForParent)
{
    if (args.empty())
        return 2;
    volatile Uint32* flag = static_cast<volatile Uint32*>(kivtestShmOpen(args[0], 4096, false));
    if (!flag)
        return 3;
    flag[1] = 1;  // started
    for (int i = 0; i < 60000 && flag[0] == 0; ++i)
        Sleep(1);
    kivtestShmClose(const_cast<Uint32*>(flag), 4096);
    return 0;
}

TEST(Token, AnotherProcessOfTheSameUser)
{
    std::string name = kivtestUniqueName("kivsec");
    volatile Uint32* flag = static_cast<volatile Uint32*>(kivtestShmOpen(name, 4096, true));
    ASSERT_NE(flag, nullptr);
    KivTestProcess child = kivtestSpawnChild("securityWaitForParent", {name});
    ASSERT_GT(child.pid, 0);
    for (int i = 0; i < 60000 && flag[1] == 0; ++i)
        Sleep(1);
    bool mine = false, theirs = !mine;
    Uint32 myLevel = 0, theirLevel = 1;
    EXPECT_EQ(kivDoesProcessHaveLocalAdminSID(currentPid(), &mine), 0u);
    EXPECT_EQ(kivDoesProcessHaveLocalAdminSID((Uint32)child.pid, &theirs), 0u);
    EXPECT_EQ(kivGetProcessIntegrityLevel(currentPid(), &myLevel), 0u);
    EXPECT_EQ(kivGetProcessIntegrityLevel((Uint32)child.pid, &theirLevel), 0u);
    flag[0] = 1;
    EXPECT_EQ(kivtestWaitChild(child), 0);
    kivtestShmClose(const_cast<Uint32*>(flag), 4096);
    kivtestShmUnlink(name);
    EXPECT_EQ(mine, theirs);
    EXPECT_EQ(myLevel, theirLevel);
}
