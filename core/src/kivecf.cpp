/*
 * kivecf.cpp - the catalogue behind ECF codes and function identifiers.
 *
 * Products hold components, components hold functions, and the one error set
 * holds, per code index, the symbolic name, the description and the owning
 * product and component.  Every table is constexpr data and every lookup a
 * pure function over it: the log writer calls these while it holds its
 * facility latch, the trace calls them from any thread, and a host may call
 * them before the library has initialised anything.  Nothing allocates.
 *
 * Table shape, shared by every level: slot 0 holds the empty name, the slot
 * at the count holds null, so an index equal to the count finds null without
 * a special case.  Only the names this library itself reports are filled;
 * the other slots of the product family keep empty names, so that counts
 * (which size the trace masks) stay those of the whole family.
 */
#include "kivecf.h"

#include <array>
#include <cstddef>
#include <cstring>

namespace {

/* ---- functions ------------------------------------------------------- */

/* Slot counts of the two components this library reports under; each
 * includes slot 0, so the last function number is one less. */
constexpr Uint32 kOsFunctionSlots  = 434;
constexpr Uint32 kKivFunctionSlots = 205;

/* The library's own functions, by function number (identifier 0x081A0000 +
 * number).  Trace filters and log readers key on these exact strings. */
constexpr const char* kKivFunctionNames[] = {
    "",
    /*   1 */ "kivAssertFailed",
    /*   2 */ "KIVHFile::open",
    /*   3 */ "KIVHFile::close",
    /*   4 */ "KIVHFile::seek",
    /*   5 */ "KIVHFile::getSize",
    /*   6 */ "KIVHFile::setSize",
    /*   7 */ "KIVHFile::read",
    /*   8 */ "KIVHFile::write",
    /*   9 */ "KIVHFile::lock",
    /*  10 */ "KIVHFile::unlock",
    /*  11 */ "KIVHFile::map",
    /*  12 */ "KIVHFile::unmap",
    /*  13 */ "KIVHFile::sync",
    /*  14 */ "KIVDirectoryListing::begin",
    /*  15 */ "KIVDirectoryListing::end",
    /*  16 */ "kiv_readdir",
    /*  17 */ "isDirectory",
    /*  18 */ "isFile",
    /*  19 */ "kivFileDelete",
    /*  20 */ "kivFileGetSize",
    /*  21 */ "kivFileLink",
    /*  22 */ "kivFileRename",
    /*  23 */ "kivFileSetOwnership",
    /*  24 */ "kivFileSetPermissions",
    /*  25 */ "kivDirectoryCreate",
    /*  26 */ "kivDirectoryDelete",
    /*  27 */ "kivDirectoryName",
    /*  28 */ "kivBaseName",
    /*  29 */ "kivDirectoryGetCurrent",
    /*  30 */ "kivDirectorySetCurrent",
    /*  31 */ "kivGetFileInfo",
    /*  32 */ "kivPathExists",
    /*  33 */ "kivGetLogicalDriveMap",
    /*  34 */ "kiv_directory_delete",
    /*  35 */ "kiv_directory_delete_recursive",
    /*  36 */ "kiv_copy",
    /*  37 */ "kivFileCopy",
    /*  38 */ "kivDirectoryCopy",
    /*  39 */ "kivComparePaths",
    /*  40 */ "KIVHDataset::open",
    /*  41 */ "KIVHDataset::openPDSdir",
    /*  42 */ "KIVHDataset::read",
    /*  43 */ "KIVHDataset::write",
    /*  44 */ "KIVHDataset::listMembers",
    /*  45 */ "KIVHDataset::close",
    /*  46 */ "KIVHDataset::listDatasets",
    /*  47 */ "KIVHDataset::getAttribs",
    /*  48 */ "KIVHDataset::dsDelete",
    /*  49 */ "KIVHDataset::dsOpen",
    /*  50 */ "KIVHIPCMemory::create",
    /*  51 */ "KIVHIPCMemory::destroy",
    /*  52 */ "KIVHIPCMemory::attach",
    /*  53 */ "KIVHIPCMemory::detach",
    /*  54 */ "KIVHIPCMemory::authorize",
    /*  55 */ "KIVHIPCMemory::getInfo",
    /*  56 */ "KIVHIPCMemory::getAddress",
    /*  57 */ "KIVHIPCMemory::getMemorySize",
    /*  58 */ "KIVHIPCSemaphore::create",
    /*  59 */ "KIVHIPCSemaphore::destroy",
    /*  60 */ "KIVHIPCSemaphore::attach",
    /*  61 */ "KIVHIPCSemaphore::detach",
    /*  62 */ "KIVHIPCSemaphore::post",
    /*  63 */ "KIVHIPCSemaphore::wait",
    /*  64 */ "KIVHIPCSemaphore::authorize",
    /*  65 */ "KIVHIPCSemaphore::getInfo",
    /*  66 */ "KIVHIPCQueue::create",
    /*  67 */ "KIVHIPCQueue::destroy",
    /*  68 */ "KIVHIPCQueue::attach",
    /*  69 */ "KIVHIPCQueue::detach",
    /*  70 */ "KIVHIPCQueue::flush",
    /*  71 */ "KIVHIPCQueue::put",
    /*  72 */ "KIVHIPCQueue::get",
    /*  73 */ "KIVHIPCQueue::query",
    /*  74 */ "KIVHIPCQueue::hasMessage",
    /*  75 */ "KIVHIPCQueue::authorize",
    /*  76 */ "KIVHIPCQueue::getInfo",
    /*  77 */ "KIVHIPCWaitpost::create",
    /*  78 */ "KIVHIPCWaitpost::destroy",
    /*  79 */ "KIVHIPCWaitpost::open",
    /*  80 */ "KIVHIPCWaitpost::close",
    /*  81 */ "KIVHIPCWaitpost::wait",
    /*  82 */ "KIVHIPCWaitpost::post",
    /*  83 */ "KIVHIPCWaitpost::reset",
    /*  84 */ "KIVHLibrary::load",
    /*  85 */ "KIVHLibrary::unload",
    /*  86 */ "KIVHLibrary::getFuncAddress",
    /*  87 */ "KIVHLibrary::getFunctionAddresses",
    /*  88 */ "kivMemAlloc",
    /*  89 */ "kivMemFree",
    /*  90 */ "kivNLScpcv",
    /*  91 */ "KIVHThread::create",
    /*  92 */ "KIVHThread::wait",
    /*  93 */ "KIVHThread::close",
    /*  94 */ "kivThreadExit",
    /*  95 */ "KIVHThreadSpecificDataInternal::create",
    /*  96 */ "KIVHThreadSpecificDataInternal::destroy",
    /*  97 */ "KIVHThreadSpecificDataInternal::set",
    /*  98 */ "KIVHThreadSpecificDataInternal::get",
    /*  99 */ "KIVHThreadSpecificData::create",
    /* 100 */ "KIVHThreadSpecificData::destroy",
    /* 101 */ "KIVHThreadSpecificData::set",
    /* 102 */ "KIVHThreadSpecificData::get",
    /* 103 */ "KIVHProcess::create",
    /* 104 */ "KIVHProcess::createProcess",
    /* 105 */ "KIVHProcess::wait",
    /* 106 */ "kivProcessExit",
    /* 107 */ "isAuthorized",
    /* 108 */ "kivDaemonizeProcess",
    /* 109 */ "kiv_searchpath",
    /* 110 */ "kivGetCPUInfo",
    /* 111 */ "kivGetPhysMemInfo",
    /* 112 */ "kivGetPhysSwapInfo",
    /* 113 */ "kivGetVirtualMemInfo",
    /* 114 */ "kivGetOSInfo",
    /* 115 */ "kivGetKernelIPCInfo",
    /* 116 */ "kivGetDiskInfo",
    /* 117 */ "kivGetAvgCPULoad",
    /* 118 */ "KIVSysInfoDynamic::getCPUUtilization",
    /* 119 */ "KIVSysInfoDynamic::registerDisk",
    /* 120 */ "KIVSysInfoDynamic::deregisterDisk",
    /* 121 */ "KIVSysInfoDynamic::getDiskUtilization",
    /* 122 */ "KIVMountListing::begin",
    /* 123 */ "KIVMountListing::getNext",
    /* 124 */ "KIVMountListing::end",
    /* 125 */ "kivStartService",
    /* 126 */ "kivStopService",
    /* 127 */ "kivRegisterService",
    /* 128 */ "kivDeRegisterService",
    /* 129 */ "kivChangeServiceConfig",
    /* 130 */ "kivChangeServiceConfig2",
    /* 131 */ "kivQueryServiceConfig",
    /* 132 */ "kivQueryServiceStatus",
    /* 133 */ "kivSleep",
    /* 134 */ "kivGetCurrentUserName",
    /* 135 */ "kivGetCurrentUserDisplay",
    /* 136 */ "kivInitSecurityAttributes",
    /* 137 */ "KIVMmapAllocation::allocate",
    /* 138 */ "KIVMmapAllocation::deallocate",
    /* 139 */ "kivActivateCapabilities",
    /* 140 */ "kivWalkStackCollect",
    /* 141 */ "kivIPCGetResID",
    /* 142 */ "kivIPCGetQueResID",
    /* 143 */ "kivGetSystemFileInfo",
    /* 144 */ "kivGetProcessInfo",
    /* 145 */ "kivGetSystemDirectory",
    /* 146 */ "kivGetCoresPerSocket",
    /* 147 */ "kivGetEffectiveProcessorThreadingDegree",
    /* 148 */ "KIVopenMnttab",
    /* 149 */ "KIVHProcFSMapListing::begin",
    /* 150 */ "KIVHProcFSMapListing::getNext",
    /* 151 */ "KIVHProcFSMapListing::end",
    /* 152 */ "KIVHProcFSMapListing::readFile",
    /* 153 */ "KIVHIPCMemory::detachAndDestroy",
    /* 154 */ "kivIPCGenerateSeed",
    /* 155 */ "kivPathIsSetuidRoot",
    /* 156 */ "kivPathTest",
    /* 157 */ "KIVHIPCMemoryEx::create",
    /* 158 */ "KIVHIPCMemoryEx::destroy",
    /* 159 */ "KIVHIPCMemoryEx::attach",
    /* 160 */ "KIVHIPCMemoryEx::detach",
    /* 161 */ "KIVHIPCPrivateMemory::create",
    /* 162 */ "KIVHIPCPrivateMemory::attach",
    /* 163 */ "KIVHIPCPrivateMemory::remoteInitialization",
    /* 164 */ "kivSysCtl",
    /* 165 */ "kivQueryUnixSharedObjectBitNess",
    /* 166 */ "kivInitSecurityAttributes2",
    /* 167 */ "kivCheckTerminalServices",
    /* 168 */ "_kivMemAllocList",
    /* 169 */ "kivMemOneTimeOnly",
    /* 170 */ "kivtmpnam",
    /* 171 */ "kivResourceGetRlimit",
    /* 172 */ "kivErrorGeneralAnalysis",
    /* 173 */ "kivErrorIOAnalysis",
    /* 174 */ "kivErrorMemoryAnalysis",
    /* 175 */ "KIVHPipe::create",
    /* 176 */ "KIVHPipe::destroy",
    /* 177 */ "KIVHPipe::read",
    /* 178 */ "KIVHPipe::write",
    /* 179 */ "KIVHPipe::closeReadFD",
    /* 180 */ "KIVHPipe::closeFD",
    /* 181 */ "KIVHPipe::closeWriteFD",
    /* 182 */ "KIVHPipe::setReadFD",
    /* 183 */ "KIVHPipe::setWriteFD",
    /* 184 */ "KIVHPipe::getReadFD",
    /* 185 */ "KIVHPipe::getWriteFD",
    /* 186 */ "kivStrCompWithPads",
    /* 187 */ "kivGetSystemInfo",
    /* 188 */ "kivMaskAllowedPrivileges",
    /* 189 */ "KIVLibCapabilities::load",
    /* 190 */ "kivIsProcessRunningWithFilteredToken",
    /* 191 */ "kivGetProcessIntegrityLevel",
    /* 192 */ "kivGetTokenInformation",
    /* 193 */ "kivDoesProcessHaveLocalAdminSID",
    /* 194 */ "kivGetCommonAppDataPath",
    /* 195 */ "kivGetCPUUsage",
    /* 196 */ "kivIsTokenElevated",
    /* 197 */ "kivDoesTokenHaveSystemSID",
    /* 198 */ "kivIsNTVolume",
    /* 199 */ "kivgetpass",
    /* 200 */ "kivCheckForEXT4FS",
    /* 201 */ "kivIfcGetConfig",
    /* 202 */ "kivIfcGetNextInterface",
    /* 203 */ "kivIfcFreeMem",
    /* 204 */ "kivGetPagefileUsage",
    nullptr,
};
static_assert(sizeof(kKivFunctionNames) / sizeof(kKivFunctionNames[0]) == kKivFunctionSlots + 1,
              "library component: 204 functions, slot 0 and the null end slot");

struct NumberedName {
    Uint32      number;
    const char* name;
};

/* The operating-system calls whose failures this library reports, by their
 * number in the operating-system component.  The component has room for the
 * whole family's calls; the numbers between these keep empty names. */
constexpr NumberedName kOsFunctionsNamed[] = {
    {0x001, "access"}, {0x003, "chmod"}, {0x005, "close"}, {0x010, "fork"}, {0x011, "fstat"},
    {0x013, "ftruncate"}, {0x01B, "link"}, {0x01F, "lstat"}, {0x020, "malloc"}, {0x021, "mkdir"},
    {0x022, "mmap"}, {0x02B, "open"}, {0x04B, "read"}, {0x04C, "readdir_r"}, {0x04E, "rename"},
    {0x04F, "rmdir"}, {0x05F, "stat"}, {0x060, "statvfs"}, {0x063, "unlink"}, {0x067, "write"},
    {0x068, "_beginthreadex"}, {0x069, "CloseHandle"}, {0x06A, "CopyFile"},
    {0x06B, "CreateDirectory"}, {0x06C, "CreateEvent"}, {0x06D, "CreateFile"},
    {0x06E, "CreateFileMapping"}, {0x06F, "CreateProcess"}, {0x070, "CreateSemaphore"},
    {0x071, "DeleteFile"}, {0x073, "FindFirstFile"}, {0x074, "FindNextFile"},
    {0x075, "FindClose"}, {0x076, "FlushFileBuffers"}, {0x078, "FreeLibrary"},
    {0x07A, "GetCurrentDirectory"}, {0x07B, "GetDiskFreeSpaceEx"}, {0x07C, "GetExitCodeProcess"},
    {0x07D, "GetFileAttributes"}, {0x07E, "GetFileSize"}, {0x07F, "GetLogicalDriveStrings"},
    {0x080, "GetProcAddress"}, {0x081, "GetTokenInformation"}, {0x082, "GetUserName"},
    {0x083, "GetVolumeInformation"}, {0x084, "InitializeSecurityDescriptor"},
    {0x085, "LoadLibrary"}, {0x087, "LockFileEx"}, {0x089, "MoveFile"},
    {0x08A, "MapViewOfFileEx"}, {0x08E, "OpenEvent"}, {0x08F, "OpenFileMapping"},
    {0x090, "OpenProcessToken"}, {0x091, "OpenSemaphore"}, {0x092, "ReadFile"},
    {0x094, "ReleaseSemaphore"}, {0x095, "RemoveDirectory"}, {0x096, "ResetEvent"},
    {0x097, "SetEndOfFile"}, {0x098, "SetEvent"}, {0x09A, "SetFilePointer"},
    {0x09B, "SetCurrentDirectory"}, {0x09C, "SetSecurityDescriptorDacl"}, {0x09D, "_stat"},
    {0x09E, "TlsAlloc"}, {0x09F, "TlsFree"}, {0x0A0, "TlsGetValue"}, {0x0A1, "TlsSetValue"},
    {0x0A3, "UnlockFileEx"}, {0x0A4, "UnmapViewOfFile"}, {0x0A5, "VirtualQueryEx"},
    {0x0A6, "WaitForSingleObject"}, {0x0A8, "WriteFile"}, {0x0AB, "unspecified_system_function"},
    {0x0D2, "OpenProcess"}, {0x0D4, "writev"}, {0x0D5, "readv"}, {0x0D6, "GetSystemDirectory"},
    {0x0E0, "AllocateAndInitializeSid"}, {0x109, "GetModuleHandle"},
    {0x110, "GetVolumeNameForVolumeMountPoint"}, {0x111, "statfs"}, {0x12B, "fstat64"},
    {0x156, "GetTempPath"}, {0x157, "GetTempFileName"}, {0x163, "realpath"},
    {0x164, "GetFileInformationByHandle"}, {0x16C, "preadv"}, {0x16E, "pwrite"},
    {0x185, "GetSidSubAuthority"},
};

/* Slots 0..slots-1 with empty names, the named entries placed at their
 * numbers, and the null end slot. */
template <std::size_t Slots, std::size_t N>
constexpr std::array<const char*, Slots + 1> numberedNameSlots(const NumberedName (&named)[N])
{
    std::array<const char*, Slots + 1> slots{};
    for (std::size_t i = 0; i < Slots; ++i)
        slots[i] = "";
    for (const NumberedName& entry : named)
        slots[entry.number] = entry.name;
    slots[Slots] = nullptr;
    return slots;
}

constexpr auto kOsFunctionNames = numberedNameSlots<kOsFunctionSlots>(kOsFunctionsNamed);

/* Named numbers must be in range, unique and ascending; a slip in the table
 * above would otherwise silently overwrite a name. */
template <std::size_t N>
constexpr bool numbersAscendWithin(const NumberedName (&named)[N], Uint32 slots)
{
    Uint32 previous = 0;
    for (const NumberedName& entry : named) {
        if (entry.number <= previous || entry.number >= slots || entry.name == nullptr)
            return false;
        previous = entry.number;
    }
    return true;
}
static_assert(numbersAscendWithin(kOsFunctionsNamed, kOsFunctionSlots),
              "operating-system function numbers out of order or out of range");
static_assert(kOsFunctionNames.size() == kOsFunctionSlots + 1 &&
              kOsFunctionNames[kOsFunctionSlots] == nullptr,
              "operating-system component: 433 function slots after slot 0");

/* ---- components and products ----------------------------------------- */

struct Component {
    const char*        longName;
    const char*        shortName;
    Uint32             numFunctions; /* slot count including slot 0 */
    const char* const* functionNames;
};

constexpr Component kUnnamedComponent = {"", "", 0, nullptr};
constexpr Component kEndComponent     = {nullptr, nullptr, 0, nullptr};

/* A product whose components this library does not describe: every slot
 * keeps empty names and no functions. */
template <std::size_t Slots>
constexpr std::array<Component, Slots + 1> unnamedComponents()
{
    std::array<Component, Slots + 1> rows{};
    for (std::size_t c = 0; c < Slots; ++c)
        rows[c] = kUnnamedComponent;
    rows[Slots] = kEndComponent;
    return rows;
}

constexpr Uint32 kProductSlots[] = {0, 19, 4, 194};

/* Product 1: component 1 holds the generic codes and has no names of its
 * own, 2 catalogues the operating-system calls, 3 is this library. */
constexpr std::array<Component, kProductSlots[1] + 1> productOneComponents()
{
    auto rows = unnamedComponents<kProductSlots[1]>();
    rows[2] = Component{"operating system", "COMP_SYSFUNCS", kOsFunctionSlots,
                        kOsFunctionNames.data()};
    rows[3] = Component{"KIVe", "COMP_KIVE", kKivFunctionSlots, kKivFunctionNames};
    return rows;
}

constexpr auto kProductOneComponents   = productOneComponents();
constexpr auto kProductTwoComponents   = unnamedComponents<kProductSlots[2]>();
constexpr auto kProductThreeComponents = unnamedComponents<kProductSlots[3]>();

struct Product {
    const char*      name;
    Uint32           numComponents; /* slot count including slot 0 */
    const Component* components;
};

constexpr Uint32 kNumProducts = 3;

/* The product names belong to the wider family and are not carried here;
 * the slots exist, with empty names, so valid product numbers never give
 * null. */
constexpr Product kProducts[kNumProducts + 1] = {
    {nullptr, 0, nullptr},
    {"", kProductSlots[1], kProductOneComponents.data()},
    {"", kProductSlots[2], kProductTwoComponents.data()},
    {"", kProductSlots[3], kProductThreeComponents.data()},
};

static_assert(kProductOneComponents.size() == 20 && kProductTwoComponents.size() == 5 &&
              kProductThreeComponents.size() == 195,
              "component slots: 19, 4 and 194, plus the null end slot");
static_assert(kProductOneComponents[19].longName == nullptr &&
              kProductTwoComponents[4].shortName == nullptr &&
              kProductThreeComponents[194].longName == nullptr,
              "component tables end in a null slot");

/* ---- the error set ----------------------------------------------------- */

struct CodeNameRow {
    Uint32      code; /* full code value, as returned by operations */
    const char* name;
};

struct CodeInfoRow {
    Uint32      product; /* owner */
    Uint32      component;
    const char* description;
};

struct DefinedCode {
    Uint32      code;
    Uint32      product;
    Uint32      component;
    const char* name;
    const char* description;
};

/* The symbolic name is the macro's own spelling, so header and catalogue
 * cannot drift apart. */
#define ECF_ROW(symbol, product, component, description) \
    DefinedCode{symbol, product, component, #symbol, description}

/* Set 1 codes this library returns, in index order. */
constexpr DefinedCode kSetOneDefined[] = {
    ECF_ROW(ECF_ACCESS_DENIED, 1, 1, "Access denied"),
    ECF_ROW(ECF_FAILED, 1, 1, "Failed"),
    ECF_ROW(ECF_INVALID_INVOCATION_SEQUENCE, 1, 1, "Functions/methods called out of sequence"),
    ECF_ROW(ECF_INVALID_VERSION, 1, 1, "Invalid version"),
    ECF_ROW(ECF_NOT_SUPPORTED, 1, 1, "Functionality not supported"),
    ECF_ROW(ECF_PARTIAL_INFO, 1, 1, "Only partial information available"),
    ECF_ROW(ECF_UNKNOWN, 1, 1, "Unknown"),
    ECF_ROW(ECF_BUFFER_TOO_SMALL, 1, 2, "Buffer too small"),
    ECF_ROW(ECF_INVALID_ADDRESS, 1, 2, "Invalid address"),
    ECF_ROW(ECF_INVALID_HANDLE, 1, 2, "Invalid handle (NT-only)"),
    ECF_ROW(ECF_INVALID_PARAMETER, 1, 2, "Invalid parameter"),
    ECF_ROW(ECF_NO_MEMORY, 1, 2, "Insufficent memory"),
    ECF_ROW(ECF_NO_RESOURCE, 1, 2, "The system lacks the resource to fulfill the request"),
    ECF_ROW(ECF_NO_UNICODE_TRANSLATION, 1, 2,
            "No mapping for the Unicode character exists in the target multibyte code page"),
    ECF_ROW(ECF_TIMEOUT, 1, 2, "Time out"),
    ECF_ROW(ECF_FILE_LOCK, 1, 2,
            "Process cannot access the file because another process has a lock on the file"),
    ECF_ROW(ECF_FILE_IS_A_DIRECTORY, 1, 2, "File is a directory"),
    ECF_ROW(ECF_FILE_NOT_A_DIRECTORY, 1, 2, "A component of the path is not a directory"),
    ECF_ROW(ECF_FILE_DOESNT_EXIST, 1, 2, "File doesn't exist"),
    ECF_ROW(ECF_FILE_EXISTS, 1, 2, "File already exists"),
    ECF_ROW(ECF_FILE_INVALID_NAME, 1, 2,
            "The filename, directory name or volume label syntax is incorrect"),
    ECF_ROW(ECF_FILE_NAME_TOO_LONG, 1, 2, "The length of the file name exceeds the maximum size"),
    ECF_ROW(ECF_FILE_EOF, 1, 2, "End of file"),
    ECF_ROW(ECF_FILE_SEEK_BEYOND_EOF, 1, 2, "Cannot seek beyond the end of file"),
    ECF_ROW(ECF_FILE_NO_SPACE, 1, 2, "No free space on the file system"),
    ECF_ROW(ECF_FILE_PROCESS_MAX, 1, 2,
            "The maximum number of file per process has already been reached"),
    ECF_ROW(ECF_FILE_DEVICE_UNAVAILABLE, 1, 2,
            "The device is unavailable or uncapable of serving the request"),
    ECF_ROW(ECF_FILE_INCOMPLETE_WRITE, 1, 2, "Did not write all the requested bytes"),
    ECF_ROW(ECF_FILE_PATH_DOESNT_EXIST, 1, 2, "A directory component in the path doesn't exist"),
    ECF_ROW(ECF_FILE_DIR_NOT_EMPTY, 1, 2, "The directory is not empty"),
    ECF_ROW(ECF_FILE_UNKNOWN_FILE_TYPE, 1, 2, "The file type retrieved is not supported"),
    ECF_ROW(ECF_FILE_CANNOT_RETRIEVE_DRIVE_MAP, 1, 2,
            "Unable to retrieve a list of available drives"),
    ECF_ROW(ECF_FILE_SHARE, 1, 2, "File sharing violation"),
    ECF_ROW(ECF_LIB_NOT_LOADED, 1, 2, "Library is not loaded"),
    ECF_ROW(ECF_MEM_DOESNT_EXIST, 1, 2,
            "The specified memory is not found and IPC_CREAT flag is not specified."),
    ECF_ROW(ECF_MEM_EXISTS, 1, 2, "Shared memory ID already exists with the given resource ID"),
    ECF_ROW(ECF_SEM_DOESNT_EXIST, 1, 2,
            "The specified semaphore ID does not exist and IPC_CREAT is not set"),
    ECF_ROW(ECF_SEM_EXISTS, 1, 2, "Semaphore already exists"),
    ECF_ROW(ECF_QUE_DOESNT_EXIST, 1, 2,
            "The message queue ID does not exist for the Key parameter."),
    ECF_ROW(ECF_QUE_INVALID_MSG_TYPE, 1, 2,
            "The queue does not contain a message of the desired type"),
    ECF_ROW(ECF_QUE_MSG_TOO_BIG, 1, 2, "The mtext field is greater than the MessageSize parameter"),
    ECF_ROW(ECF_THREAD_CANNOT_WAIT, 1, 2, "Cannot wait on this thread"),
    ECF_ROW(ECF_GTRACE_DUMP_HEADER_TRUNCATED, 1, 3, "Trace dump file header is truncated"),
    ECF_ROW(ECF_GTRACE_INVALID_BUFFER_SIZE, 1, 3, "Trace buffer size is too small"),
    ECF_ROW(ECF_GTRACE_INVALID_DUMP_EYE_CATCHER, 1, 3,
            "Invalid trace dump file header eye catcher"),
    ECF_ROW(ECF_GTRACE_NOT_ATTACHED, 1, 3, "Trace control block is not attached"),
    ECF_ROW(ECF_GTRACE_NOT_INITIALIZED, 1, 3, "Trace control block is not initialized"),
    ECF_ROW(ECF_LIB_ALREADY_LOADED, 1, 3, "Library is already loaded"),
    ECF_ROW(ECF_LIB_CANNOT_LOAD, 1, 3, "Cannot load the specified library"),
    ECF_ROW(ECF_LIB_FUNC_NOT_FOUND, 1, 3, "Exported function was not found"),
    ECF_ROW(ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC, 1, 3,
            "Can not turn memory debug on or off after first allocation"),
    ECF_ROW(ECF_SEM_WAIT_ABANDONED, 1, 3,
            "The specified object is a mutex object that was not released by the thread that "
            "owned the mutex object before the owning thread terminated. Ownership of the mutex "
            "object is granted to the calling thread, and the mutex is set to nonsignaled."),
    ECF_ROW(ECF_PROCESS_NOT_CREATED, 1, 3, "No process has been created"),
    ECF_ROW(ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED, 1, 3, "Auto dump not allowed"),
    ECF_ROW(ECF_RAMBO_DUMP_HEADER_TRUNCATED, 1, 3, "RAMBO dump file header is truncated"),
    ECF_ROW(ECF_RAMBO_DUMP_TRUNCATED, 1, 3, "RAMBO dump file is truncated"),
    ECF_ROW(ECF_RAMBO_INSTANT_DUMP_TRUNCATED, 1, 3, "RAMBO instantaneous dump file is truncated"),
    ECF_ROW(ECF_RAMBO_INVALID_BUFFER_SIZE, 1, 3, "Invalid RAMBO buffer size"),
    ECF_ROW(ECF_RAMBO_INVALID_DUMP_BUFFER_SIZE, 1, 3, "Invalid RAMBO dump file buffer size"),
    ECF_ROW(ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER, 1, 3,
            "Invalid RAMBO dump file header eye catcher"),
    ECF_ROW(ECF_RAMBO_INVALID_DUMP_SLOT_INDEX, 1, 3, "Invalid dump file slot index"),
    ECF_ROW(ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER, 1, 3,
            "Invalid RAMBO dump file tail eye catcher"),
    ECF_ROW(ECF_RAMBO_INVALID_DUMP_TYPE, 1, 3, "Invalid RAMBO dump file type"),
    ECF_ROW(ECF_RAMBO_NOT_INITIALIZED, 1, 3, "RAMBO handle not initialized"),
    ECF_ROW(ECF_THREAD_ALREADY_CREATED, 1, 3, "A thread has already been created"),
    ECF_ROW(ECF_THREAD_MUST_WAIT, 1, 3, "Thread must be waited on before closing"),
    ECF_ROW(ECF_THREAD_NOT_CREATED, 1, 3, "No thread has been created"),
    ECF_ROW(ECF_SEC_INVALID_PASSWORD, 1, 8, "The user supplied password is incorrect"),
    ECF_ROW(ECF_MEM_NULL_POINTER, 1, 3, "The address provided is NULL"),
    ECF_ROW(ECF_KIVLOCK_CORRUPT, 1, 3, "A corrupt KIVLock value has been detected."),
    ECF_ROW(ECF_KIV_NOT_BOOLEAN_STRING, 1, 3,
            "A value that wasn't a recognizable true or false value was found."),
    ECF_ROW(ECF_SESSION_CANCELED, 1, 1, "The session was canceled"),
    ECF_ROW(ECF_WAITPOST_NOT_INITIALIZED, 1, 3,
            "Attempt to open/wait/post an uninitialized waitpost area."),
    ECF_ROW(ECF_WAITPOST_NOT_POSTED, 1, 3, "The waitpost area is not posted."),
    ECF_ROW(ECF_KIVTICK_TIME_VALUE_TOO_BIG, 1, 3,
            "A time to tick conversion was not possible because the input time value was too "
            "large."),
    ECF_ROW(ECF_KIVTICK_TIME_VALUE_TOO_SMALL, 1, 3,
            "A time to tick conversion was not possible because the input time value was too "
            "small and not representable as a non-zero tick."),
    ECF_ROW(ECF_EXISTS, 1, 1, "The object in question already exists."),
};

#undef ECF_ROW

constexpr Uint32 kNumErrorSets  = 1;
constexpr Uint32 kSetOneCodes   = 1526;
constexpr Uint32 kCodeSetMask   = 0x70000000u;
constexpr Uint32 kCodeSetShift  = 28;
constexpr Uint32 kCodeIndexMask = 0x007FFFFFu;

/* Three codes of the set are warnings (bit 31 clear), all others errors. */
constexpr Uint32 setOneCodeValue(Uint32 index)
{
    const bool warning = index == 6 || index == 1293 || index == 1320;
    return (warning ? 0x10000000u : 0x90000000u) + index;
}

template <std::size_t N>
constexpr bool definedCodesConsistent(const DefinedCode (&codes)[N])
{
    Uint32 previous = 0;
    for (const DefinedCode& d : codes) {
        const Uint32 index = d.code & kCodeIndexMask;
        if (index <= previous || index > kSetOneCodes || d.code != setOneCodeValue(index) ||
            d.name == nullptr || d.description == nullptr)
            return false;
        previous = index;
    }
    return true;
}
static_assert(definedCodesConsistent(kSetOneDefined),
              "set 1 codes must ascend, lie within the set and carry their stored value");

/* Codes of other components keep their value with an empty name and
 * description and no owner (product 0), so their product and component
 * lookups give null rather than a wrong owner. */
constexpr std::array<CodeNameRow, kSetOneCodes + 2> setOneNameRows()
{
    std::array<CodeNameRow, kSetOneCodes + 2> rows{};
    rows[0] = CodeNameRow{0, ""};
    for (Uint32 i = 1; i <= kSetOneCodes; ++i)
        rows[i] = CodeNameRow{setOneCodeValue(i), ""};
    rows[kSetOneCodes + 1] = CodeNameRow{0, nullptr};
    for (const DefinedCode& d : kSetOneDefined)
        rows[d.code & kCodeIndexMask].name = d.name;
    return rows;
}

constexpr std::array<CodeInfoRow, kSetOneCodes + 2> setOneInfoRows()
{
    std::array<CodeInfoRow, kSetOneCodes + 2> rows{};
    for (Uint32 i = 0; i <= kSetOneCodes; ++i)
        rows[i] = CodeInfoRow{0, 0, ""};
    rows[kSetOneCodes + 1] = CodeInfoRow{0, 0, nullptr};
    for (const DefinedCode& d : kSetOneDefined)
        rows[d.code & kCodeIndexMask] = CodeInfoRow{d.product, d.component, d.description};
    return rows;
}

constexpr auto kSetOneNames = setOneNameRows();
constexpr auto kSetOneInfo  = setOneInfoRows();

static_assert(kSetOneNames.size() == kSetOneCodes + 2 && kSetOneInfo.size() == kSetOneCodes + 2,
              "set 1: 1526 codes, slot 0 and the null end slot");
static_assert(kSetOneNames[6].code == 0x10000006u && kSetOneNames[1293].code == 0x1000050Du &&
              kSetOneNames[1320].code == 0x10000528u && kSetOneNames[1526].code == 0x900005F6u,
              "stored code values");

/* Owner products named by the set: slot 0 is "no owner". */
constexpr const char* kSetOneProductNames[] = {nullptr, "", ""};
constexpr Uint32      kSetOneProducts = 2;
static_assert(sizeof(kSetOneProductNames) / sizeof(kSetOneProductNames[0]) == kSetOneProducts + 1,
              "set 1 names two owner products");

struct ErrorSet {
    const char*        name;
    Uint32             numCodes; /* valid indexes are 1..numCodes */
    const CodeNameRow* names;
    const CodeInfoRow* info;
    Uint32             numProducts;
    const char* const* productNames;
};

constexpr ErrorSet kErrorSets[kNumErrorSets + 1] = {
    {"", 0, nullptr, nullptr, 0, nullptr},
    {"setecf", kSetOneCodes, kSetOneNames.data(), kSetOneInfo.data(), kSetOneProducts,
     kSetOneProductNames},
};

/* ---- lookups ----------------------------------------------------------- */

const Product* findProduct(Uint32 product)
{
    if (product == 0 || product > kNumProducts)
        return nullptr;
    return &kProducts[product];
}

/* The end slot (component == count) is a valid row with null names. */
const Component* findComponent(Uint32 product, Uint32 component)
{
    if (product == 0 || component == 0)
        return nullptr;
    const Product* p = findProduct(product);
    if (p == nullptr || component > p->numComponents)
        return nullptr;
    return &p->components[component];
}

const Component* componentOfFunctionId(Uint32 functionId)
{
    return findComponent(KIV_FID_PRODUCT(functionId), KIV_FID_COMPONENT(functionId));
}

/* First slot in 1..slots-1 whose name equals `name` exactly, or 0. */
template <class NameAt>
Uint32 findFirstName(Uint32 slots, const char* name, NameAt nameAt)
{
    if (name == nullptr || slots <= 1)
        return 0;
    for (Uint32 i = 1; i < slots; ++i) {
        const char* candidate = nameAt(i);
        if (candidate != nullptr && std::strcmp(candidate, name) == 0)
            return i;
    }
    return 0;
}

/* The set of a non-zero code whose set and index are in range, with the
 * index; bit 31 and bits 23..27 take no part. */
const ErrorSet* findErrorSet(Uint32 code, Uint32* index)
{
    const Uint32 set = (code & kCodeSetMask) >> kCodeSetShift;
    const Uint32 i   = code & kCodeIndexMask;
    if (set == 0 || i == 0 || set > kNumErrorSets || i > kErrorSets[set].numCodes)
        return nullptr;
    *index = i;
    return &kErrorSets[set];
}

const CodeInfoRow* findCodeInfo(Uint32 code)
{
    Uint32 index = 0;
    const ErrorSet* set = findErrorSet(code, &index);
    return set != nullptr ? &set->info[index] : nullptr;
}

const char* const kOkText = "OK";

} // namespace

Uint32 ecfGetNumProducts(void)
{
    return kNumProducts;
}

Uint32 ecfGetNumComponents(Uint32 product)
{
    const Product* p = findProduct(product);
    return p != nullptr ? p->numComponents : 0;
}

Uint32 ecfGetNumFunctions(Uint32 product, Uint32 component)
{
    const Component* c = findComponent(product, component);
    return c != nullptr ? c->numFunctions : 0;
}

const char* ecfGetProductName(Uint32 functionId)
{
    const Product* p = findProduct(KIV_FID_PRODUCT(functionId));
    return p != nullptr ? p->name : nullptr;
}

const char* ecfGetComponentName(Uint32 functionId)
{
    const Component* c = componentOfFunctionId(functionId);
    return c != nullptr ? c->longName : nullptr;
}

const char* ecfGetComponentShortName(Uint32 functionId)
{
    const Component* c = componentOfFunctionId(functionId);
    return c != nullptr ? c->shortName : nullptr;
}

const char* ecfGetFunctionName(Uint32 functionId)
{
    const Uint32 function = KIV_FID_FUNCTION(functionId);
    if (function == 0)
        return nullptr;
    const Component* c = componentOfFunctionId(functionId);
    if (c == nullptr || function > c->numFunctions)
        return nullptr;
    return c->functionNames[function];
}

Uint32 ecfFindProductIndex(const char* name)
{
    /* Product slots run 1..kNumProducts, so the scan bound is one past. */
    return findFirstName(kNumProducts + 1, name, [](Uint32 i) { return kProducts[i].name; });
}

Uint32 ecfFindComponentIndex(Uint32 product, const char* shortName)
{
    const Product* p = findProduct(product);
    if (p == nullptr)
        return 0;
    return findFirstName(p->numComponents, shortName,
                         [p](Uint32 i) { return p->components[i].shortName; });
}

Uint32 ecfFindFunctionIndex(Uint32 product, Uint32 component, const char* name)
{
    const Component* c = findComponent(product, component);
    if (c == nullptr)
        return 0;
    return findFirstName(c->numFunctions, name, [c](Uint32 i) { return c->functionNames[i]; });
}

Uint32 ecfErrorGetNumCodes(Uint32 set)
{
    if (set == 0 || set > kNumErrorSets)
        return 0;
    return kErrorSets[set].numCodes;
}

const char* ecfErrorGetSetName(Uint32 code)
{
    Uint32 index = 0;
    const ErrorSet* set = findErrorSet(code, &index);
    return set != nullptr ? set->name : nullptr;
}

const char* ecfErrorGetProductName(Uint32 code)
{
    Uint32 index = 0;
    const ErrorSet* set = findErrorSet(code, &index);
    if (set == nullptr)
        return nullptr;
    const Uint32 owner = set->info[index].product;
    return owner <= set->numProducts ? set->productNames[owner] : nullptr;
}

const char* ecfErrorGetComponentName(Uint32 code)
{
    const CodeInfoRow* info = findCodeInfo(code);
    if (info == nullptr)
        return nullptr;
    const Component* c = findComponent(info->product, info->component);
    return c != nullptr ? c->longName : nullptr;
}

const char* ecfErrorGetCodeName(Uint32 code)
{
    if (code == ECF_OK)
        return kOkText;
    Uint32 index = 0;
    const ErrorSet* set = findErrorSet(code, &index);
    return set != nullptr ? set->names[index].name : nullptr;
}

const char* ecfErrorGetDescription(Uint32 code)
{
    if (code == ECF_OK)
        return kOkText;
    const CodeInfoRow* info = findCodeInfo(code);
    return info != nullptr ? info->description : nullptr;
}
