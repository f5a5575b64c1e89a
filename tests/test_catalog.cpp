/*
 * test_catalog.cpp - the catalogue of products, components, functions and
 * ECF codes: counts, end slots, the names this library reports under, and
 * the validation of identifiers and codes that log and trace readers meet.
 */
#include "kivecf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

/* A lookup result as a comparable value: null stays distinguishable. */
std::string text(const char* s)
{
    return s != nullptr ? std::string(s) : std::string("<null>");
}

struct CodeCase {
    Uint32      code;
    Uint32      ownerComponent; /* all owned by product 1 */
    const char* name;
    const char* description;
};

const CodeCase kReturnedCodes[] = {
    {0x10000006u, 1, "ECF_PARTIAL_INFO", "Only partial information available"},
    {0x90000001u, 1, "ECF_ACCESS_DENIED", "Access denied"},
    {0x90000002u, 1, "ECF_FAILED", "Failed"},
    {0x90000003u, 1, "ECF_INVALID_INVOCATION_SEQUENCE", "Functions/methods called out of sequence"},
    {0x90000004u, 1, "ECF_INVALID_VERSION", "Invalid version"},
    {0x90000005u, 1, "ECF_NOT_SUPPORTED", "Functionality not supported"},
    {0x90000007u, 1, "ECF_UNKNOWN", "Unknown"},
    {0x90000008u, 2, "ECF_BUFFER_TOO_SMALL", "Buffer too small"},
    {0x9000000Au, 2, "ECF_INVALID_ADDRESS", "Invalid address"},
    {0x9000000Bu, 2, "ECF_INVALID_HANDLE", "Invalid handle (NT-only)"},
    {0x9000000Cu, 2, "ECF_INVALID_PARAMETER", "Invalid parameter"},
    {0x9000000Du, 2, "ECF_NO_MEMORY", "Insufficent memory"},
    {0x9000000Eu, 2, "ECF_NO_RESOURCE", "The system lacks the resource to fulfill the request"},
    {0x90000010u, 2, "ECF_NO_UNICODE_TRANSLATION",
     "No mapping for the Unicode character exists in the target multibyte code page"},
    {0x90000013u, 2, "ECF_TIMEOUT", "Time out"},
    {0x90000014u, 2, "ECF_FILE_LOCK",
     "Process cannot access the file because another process has a lock on the file"},
    {0x90000018u, 2, "ECF_FILE_IS_A_DIRECTORY", "File is a directory"},
    {0x90000019u, 2, "ECF_FILE_NOT_A_DIRECTORY", "A component of the path is not a directory"},
    {0x9000001Au, 2, "ECF_FILE_DOESNT_EXIST", "File doesn't exist"},
    {0x9000001Bu, 2, "ECF_FILE_EXISTS", "File already exists"},
    {0x9000001Eu, 2, "ECF_FILE_INVALID_NAME",
     "The filename, directory name or volume label syntax is incorrect"},
    {0x9000001Fu, 2, "ECF_FILE_NAME_TOO_LONG",
     "The length of the file name exceeds the maximum size"},
    {0x90000021u, 2, "ECF_FILE_EOF", "End of file"},
    {0x90000022u, 2, "ECF_FILE_SEEK_BEYOND_EOF", "Cannot seek beyond the end of file"},
    {0x90000028u, 2, "ECF_FILE_NO_SPACE", "No free space on the file system"},
    {0x9000002Du, 2, "ECF_FILE_PROCESS_MAX",
     "The maximum number of file per process has already been reached"},
    {0x9000002Fu, 2, "ECF_FILE_DEVICE_UNAVAILABLE",
     "The device is unavailable or uncapable of serving the request"},
    {0x90000035u, 2, "ECF_FILE_INCOMPLETE_WRITE", "Did not write all the requested bytes"},
    {0x90000037u, 2, "ECF_FILE_PATH_DOESNT_EXIST",
     "A directory component in the path doesn't exist"},
    {0x90000039u, 2, "ECF_FILE_DIR_NOT_EMPTY", "The directory is not empty"},
    {0x9000003Du, 2, "ECF_FILE_UNKNOWN_FILE_TYPE", "The file type retrieved is not supported"},
    {0x9000003Eu, 2, "ECF_FILE_CANNOT_RETRIEVE_DRIVE_MAP",
     "Unable to retrieve a list of available drives"},
    {0x9000003Fu, 2, "ECF_FILE_SHARE", "File sharing violation"},
    {0x90000045u, 2, "ECF_LIB_NOT_LOADED", "Library is not loaded"},
    {0x90000047u, 2, "ECF_MEM_DOESNT_EXIST",
     "The specified memory is not found and IPC_CREAT flag is not specified."},
    {0x9000004Au, 2, "ECF_MEM_EXISTS",
     "Shared memory ID already exists with the given resource ID"},
    {0x9000004Fu, 2, "ECF_SEM_DOESNT_EXIST",
     "The specified semaphore ID does not exist and IPC_CREAT is not set"},
    {0x90000052u, 2, "ECF_SEM_EXISTS", "Semaphore already exists"},
    {0x9000005Bu, 2, "ECF_QUE_DOESNT_EXIST",
     "The message queue ID does not exist for the Key parameter."},
    {0x9000005Fu, 2, "ECF_QUE_INVALID_MSG_TYPE",
     "The queue does not contain a message of the desired type"},
    {0x90000060u, 2, "ECF_QUE_MSG_TOO_BIG",
     "The mtext field is greater than the MessageSize parameter"},
    {0x90000061u, 2, "ECF_THREAD_CANNOT_WAIT", "Cannot wait on this thread"},
    {0x90000315u, 8, "ECF_SEC_INVALID_PASSWORD", "The user supplied password is incorrect"},
    {0x900003FEu, 1, "ECF_SESSION_CANCELED", "The session was canceled"},
    {0x90000501u, 1, "ECF_EXISTS", "The object in question already exists."},
    {0x90000070u, 3, "ECF_GTRACE_DUMP_HEADER_TRUNCATED", "Trace dump file header is truncated"},
    {0x90000071u, 3, "ECF_GTRACE_INVALID_BUFFER_SIZE", "Trace buffer size is too small"},
    {0x90000072u, 3, "ECF_GTRACE_INVALID_DUMP_EYE_CATCHER",
     "Invalid trace dump file header eye catcher"},
    {0x90000073u, 3, "ECF_GTRACE_NOT_ATTACHED", "Trace control block is not attached"},
    {0x90000074u, 3, "ECF_GTRACE_NOT_INITIALIZED", "Trace control block is not initialized"},
    {0x90000075u, 3, "ECF_LIB_ALREADY_LOADED", "Library is already loaded"},
    {0x90000076u, 3, "ECF_LIB_CANNOT_LOAD", "Cannot load the specified library"},
    {0x90000078u, 3, "ECF_LIB_FUNC_NOT_FOUND", "Exported function was not found"},
    {0x90000079u, 3, "ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC",
     "Can not turn memory debug on or off after first allocation"},
    {0x90000080u, 3, "ECF_SEM_WAIT_ABANDONED",
     "The specified object is a mutex object that was not released by the thread that "
     "owned the mutex object before the owning thread terminated. Ownership of the mutex "
     "object is granted to the calling thread, and the mutex is set to nonsignaled."},
    {0x90000083u, 3, "ECF_PROCESS_NOT_CREATED", "No process has been created"},
    {0x90000085u, 3, "ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED", "Auto dump not allowed"},
    {0x90000086u, 3, "ECF_RAMBO_DUMP_HEADER_TRUNCATED", "RAMBO dump file header is truncated"},
    {0x90000087u, 3, "ECF_RAMBO_DUMP_TRUNCATED", "RAMBO dump file is truncated"},
    {0x90000088u, 3, "ECF_RAMBO_INSTANT_DUMP_TRUNCATED",
     "RAMBO instantaneous dump file is truncated"},
    {0x90000089u, 3, "ECF_RAMBO_INVALID_BUFFER_SIZE", "Invalid RAMBO buffer size"},
    {0x9000008Au, 3, "ECF_RAMBO_INVALID_DUMP_BUFFER_SIZE", "Invalid RAMBO dump file buffer size"},
    {0x9000008Bu, 3, "ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER",
     "Invalid RAMBO dump file header eye catcher"},
    {0x9000008Du, 3, "ECF_RAMBO_INVALID_DUMP_SLOT_INDEX", "Invalid dump file slot index"},
    {0x9000008Eu, 3, "ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER",
     "Invalid RAMBO dump file tail eye catcher"},
    {0x9000008Fu, 3, "ECF_RAMBO_INVALID_DUMP_TYPE", "Invalid RAMBO dump file type"},
    {0x90000090u, 3, "ECF_RAMBO_NOT_INITIALIZED", "RAMBO handle not initialized"},
    {0x9000009Du, 3, "ECF_THREAD_ALREADY_CREATED", "A thread has already been created"},
    {0x9000009Eu, 3, "ECF_THREAD_MUST_WAIT", "Thread must be waited on before closing"},
    {0x9000009Fu, 3, "ECF_THREAD_NOT_CREATED", "No thread has been created"},
    {0x900003EEu, 3, "ECF_MEM_NULL_POINTER", "The address provided is NULL"},
    {0x900003EFu, 3, "ECF_KIVLOCK_CORRUPT", "A corrupt KIVLock value has been detected."},
    {0x900003F1u, 3, "ECF_KIV_NOT_BOOLEAN_STRING",
     "A value that wasn't a recognizable true or false value was found."},
    {0x900003FFu, 3, "ECF_WAITPOST_NOT_INITIALIZED",
     "Attempt to open/wait/post an uninitialized waitpost area."},
    {0x90000400u, 3, "ECF_WAITPOST_NOT_POSTED", "The waitpost area is not posted."},
    {0x900004E6u, 3, "ECF_KIVTICK_TIME_VALUE_TOO_BIG",
     "A time to tick conversion was not possible because the input time value was too "
     "large."},
    {0x900004E7u, 3, "ECF_KIVTICK_TIME_VALUE_TOO_SMALL",
     "A time to tick conversion was not possible because the input time value was too "
     "small and not representable as a non-zero tick."},
};

struct FunctionCase {
    Uint32      id;
    const char* name;
};

/* Keyed by the header's identifiers, so a header that drifts from the
 * catalogue fails here. */
const FunctionCase kLibraryFunctions[] = {
    {KIVFN_KIVASSERTFAILED, "kivAssertFailed"}, {KIVFN_KIVHFILE_OPEN, "KIVHFile::open"},
    {KIVFN_KIVHFILE_CLOSE, "KIVHFile::close"}, {KIVFN_KIVHFILE_SEEK, "KIVHFile::seek"},
    {KIVFN_KIVHFILE_GETSIZE, "KIVHFile::getSize"}, {KIVFN_KIVHFILE_SETSIZE, "KIVHFile::setSize"},
    {KIVFN_KIVHFILE_READ, "KIVHFile::read"}, {KIVFN_KIVHFILE_WRITE, "KIVHFile::write"},
    {KIVFN_KIVHFILE_LOCK, "KIVHFile::lock"}, {KIVFN_KIVHFILE_UNLOCK, "KIVHFile::unlock"},
    {KIVFN_KIVHFILE_MAP, "KIVHFile::map"}, {KIVFN_KIVHFILE_UNMAP, "KIVHFile::unmap"},
    {KIVFN_KIVHFILE_SYNC, "KIVHFile::sync"},
    {KIVFN_KIVDIRECTORYLISTING_BEGIN, "KIVDirectoryListing::begin"},
    {KIVFN_KIVDIRECTORYLISTING_END, "KIVDirectoryListing::end"},
    {KIVFN_KIV_READDIR, "kiv_readdir"}, {KIVFN_ISDIRECTORY, "isDirectory"},
    {KIVFN_ISFILE, "isFile"}, {KIVFN_KIVFILEDELETE, "kivFileDelete"},
    {KIVFN_KIVFILEGETSIZE, "kivFileGetSize"}, {KIVFN_KIVFILELINK, "kivFileLink"},
    {KIVFN_KIVFILERENAME, "kivFileRename"}, {KIVFN_KIVFILESETOWNERSHIP, "kivFileSetOwnership"},
    {KIVFN_KIVFILESETPERMISSIONS, "kivFileSetPermissions"},
    {KIVFN_KIVDIRECTORYCREATE, "kivDirectoryCreate"},
    {KIVFN_KIVDIRECTORYDELETE, "kivDirectoryDelete"},
    {KIVFN_KIVDIRECTORYNAME, "kivDirectoryName"}, {KIVFN_KIVBASENAME, "kivBaseName"},
    {KIVFN_KIVDIRECTORYGETCURRENT, "kivDirectoryGetCurrent"},
    {KIVFN_KIVDIRECTORYSETCURRENT, "kivDirectorySetCurrent"},
    {KIVFN_KIVGETFILEINFO, "kivGetFileInfo"}, {KIVFN_KIVPATHEXISTS, "kivPathExists"},
    {KIVFN_KIVGETLOGICALDRIVEMAP, "kivGetLogicalDriveMap"},
    {KIVFN_KIV_DIRECTORY_DELETE, "kiv_directory_delete"},
    {KIVFN_KIV_DIRECTORY_DELETE_RECURSIVE, "kiv_directory_delete_recursive"},
    {KIVFN_KIV_COPY, "kiv_copy"}, {KIVFN_KIVFILECOPY, "kivFileCopy"},
    {KIVFN_KIVDIRECTORYCOPY, "kivDirectoryCopy"}, {KIVFN_KIVCOMPAREPATHS, "kivComparePaths"},
    {KIVFN_KIVHDATASET_OPEN, "KIVHDataset::open"},
    {KIVFN_KIVHDATASET_OPENPDSDIR, "KIVHDataset::openPDSdir"},
    {KIVFN_KIVHDATASET_READ, "KIVHDataset::read"},
    {KIVFN_KIVHDATASET_WRITE, "KIVHDataset::write"},
    {KIVFN_KIVHDATASET_LISTMEMBERS, "KIVHDataset::listMembers"},
    {KIVFN_KIVHDATASET_CLOSE, "KIVHDataset::close"},
    {KIVFN_KIVHDATASET_LISTDATASETS, "KIVHDataset::listDatasets"},
    {KIVFN_KIVHDATASET_GETATTRIBS, "KIVHDataset::getAttribs"},
    {KIVFN_KIVHDATASET_DSDELETE, "KIVHDataset::dsDelete"},
    {KIVFN_KIVHDATASET_DSOPEN, "KIVHDataset::dsOpen"},
    {KIVFN_KIVHIPCMEMORY_CREATE, "KIVHIPCMemory::create"},
    {KIVFN_KIVHIPCMEMORY_DESTROY, "KIVHIPCMemory::destroy"},
    {KIVFN_KIVHIPCMEMORY_ATTACH, "KIVHIPCMemory::attach"},
    {KIVFN_KIVHIPCMEMORY_DETACH, "KIVHIPCMemory::detach"},
    {KIVFN_KIVHIPCMEMORY_AUTHORIZE, "KIVHIPCMemory::authorize"},
    {KIVFN_KIVHIPCMEMORY_GETINFO, "KIVHIPCMemory::getInfo"},
    {KIVFN_KIVHIPCMEMORY_GETADDRESS, "KIVHIPCMemory::getAddress"},
    {KIVFN_KIVHIPCMEMORY_GETMEMORYSIZE, "KIVHIPCMemory::getMemorySize"},
    {KIVFN_KIVHIPCSEMAPHORE_CREATE, "KIVHIPCSemaphore::create"},
    {KIVFN_KIVHIPCSEMAPHORE_DESTROY, "KIVHIPCSemaphore::destroy"},
    {KIVFN_KIVHIPCSEMAPHORE_ATTACH, "KIVHIPCSemaphore::attach"},
    {KIVFN_KIVHIPCSEMAPHORE_DETACH, "KIVHIPCSemaphore::detach"},
    {KIVFN_KIVHIPCSEMAPHORE_POST, "KIVHIPCSemaphore::post"},
    {KIVFN_KIVHIPCSEMAPHORE_WAIT, "KIVHIPCSemaphore::wait"},
    {KIVFN_KIVHIPCSEMAPHORE_AUTHORIZE, "KIVHIPCSemaphore::authorize"},
    {KIVFN_KIVHIPCSEMAPHORE_GETINFO, "KIVHIPCSemaphore::getInfo"},
    {KIVFN_KIVHIPCQUEUE_CREATE, "KIVHIPCQueue::create"},
    {KIVFN_KIVHIPCQUEUE_DESTROY, "KIVHIPCQueue::destroy"},
    {KIVFN_KIVHIPCQUEUE_ATTACH, "KIVHIPCQueue::attach"},
    {KIVFN_KIVHIPCQUEUE_DETACH, "KIVHIPCQueue::detach"},
    {KIVFN_KIVHIPCQUEUE_FLUSH, "KIVHIPCQueue::flush"},
    {KIVFN_KIVHIPCQUEUE_PUT, "KIVHIPCQueue::put"}, {KIVFN_KIVHIPCQUEUE_GET, "KIVHIPCQueue::get"},
    {KIVFN_KIVHIPCQUEUE_QUERY, "KIVHIPCQueue::query"},
    {KIVFN_KIVHIPCQUEUE_HASMESSAGE, "KIVHIPCQueue::hasMessage"},
    {KIVFN_KIVHIPCQUEUE_AUTHORIZE, "KIVHIPCQueue::authorize"},
    {KIVFN_KIVHIPCQUEUE_GETINFO, "KIVHIPCQueue::getInfo"},
    {KIVFN_KIVHIPCWAITPOST_CREATE, "KIVHIPCWaitpost::create"},
    {KIVFN_KIVHIPCWAITPOST_DESTROY, "KIVHIPCWaitpost::destroy"},
    {KIVFN_KIVHIPCWAITPOST_OPEN, "KIVHIPCWaitpost::open"},
    {KIVFN_KIVHIPCWAITPOST_CLOSE, "KIVHIPCWaitpost::close"},
    {KIVFN_KIVHIPCWAITPOST_WAIT, "KIVHIPCWaitpost::wait"},
    {KIVFN_KIVHIPCWAITPOST_POST, "KIVHIPCWaitpost::post"},
    {KIVFN_KIVHIPCWAITPOST_RESET, "KIVHIPCWaitpost::reset"},
    {KIVFN_KIVHLIBRARY_LOAD, "KIVHLibrary::load"},
    {KIVFN_KIVHLIBRARY_UNLOAD, "KIVHLibrary::unload"},
    {KIVFN_KIVHLIBRARY_GETFUNCADDRESS, "KIVHLibrary::getFuncAddress"},
    {KIVFN_KIVHLIBRARY_GETFUNCTIONADDRESSES, "KIVHLibrary::getFunctionAddresses"},
    {KIVFN_KIVMEMALLOC, "kivMemAlloc"}, {KIVFN_KIVMEMFREE, "kivMemFree"},
    {KIVFN_KIVNLSCPCV, "kivNLScpcv"}, {KIVFN_KIVHTHREAD_CREATE, "KIVHThread::create"},
    {KIVFN_KIVHTHREAD_WAIT, "KIVHThread::wait"}, {KIVFN_KIVHTHREAD_CLOSE, "KIVHThread::close"},
    {KIVFN_KIVTHREADEXIT, "kivThreadExit"},
    {KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_CREATE, "KIVHThreadSpecificDataInternal::create"},
    {KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_DESTROY, "KIVHThreadSpecificDataInternal::destroy"},
    {KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_SET, "KIVHThreadSpecificDataInternal::set"},
    {KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_GET, "KIVHThreadSpecificDataInternal::get"},
    {KIVFN_KIVHTHREADSPECIFICDATA_CREATE, "KIVHThreadSpecificData::create"},
    {KIVFN_KIVHTHREADSPECIFICDATA_DESTROY, "KIVHThreadSpecificData::destroy"},
    {KIVFN_KIVHTHREADSPECIFICDATA_SET, "KIVHThreadSpecificData::set"},
    {KIVFN_KIVHTHREADSPECIFICDATA_GET, "KIVHThreadSpecificData::get"},
    {KIVFN_KIVHPROCESS_CREATE, "KIVHProcess::create"},
    {KIVFN_KIVHPROCESS_CREATEPROCESS, "KIVHProcess::createProcess"},
    {KIVFN_KIVHPROCESS_WAIT, "KIVHProcess::wait"}, {KIVFN_KIVPROCESSEXIT, "kivProcessExit"},
    {KIVFN_ISAUTHORIZED, "isAuthorized"}, {KIVFN_KIVDAEMONIZEPROCESS, "kivDaemonizeProcess"},
    {KIVFN_KIV_SEARCHPATH, "kiv_searchpath"}, {KIVFN_KIVGETCPUINFO, "kivGetCPUInfo"},
    {KIVFN_KIVGETPHYSMEMINFO, "kivGetPhysMemInfo"},
    {KIVFN_KIVGETPHYSSWAPINFO, "kivGetPhysSwapInfo"},
    {KIVFN_KIVGETVIRTUALMEMINFO, "kivGetVirtualMemInfo"}, {KIVFN_KIVGETOSINFO, "kivGetOSInfo"},
    {KIVFN_KIVGETKERNELIPCINFO, "kivGetKernelIPCInfo"}, {KIVFN_KIVGETDISKINFO, "kivGetDiskInfo"},
    {KIVFN_KIVGETAVGCPULOAD, "kivGetAvgCPULoad"},
    {KIVFN_KIVSYSINFODYNAMIC_GETCPUUTILIZATION, "KIVSysInfoDynamic::getCPUUtilization"},
    {KIVFN_KIVSYSINFODYNAMIC_REGISTERDISK, "KIVSysInfoDynamic::registerDisk"},
    {KIVFN_KIVSYSINFODYNAMIC_DEREGISTERDISK, "KIVSysInfoDynamic::deregisterDisk"},
    {KIVFN_KIVSYSINFODYNAMIC_GETDISKUTILIZATION, "KIVSysInfoDynamic::getDiskUtilization"},
    {KIVFN_KIVMOUNTLISTING_BEGIN, "KIVMountListing::begin"},
    {KIVFN_KIVMOUNTLISTING_GETNEXT, "KIVMountListing::getNext"},
    {KIVFN_KIVMOUNTLISTING_END, "KIVMountListing::end"},
    {KIVFN_KIVSTARTSERVICE, "kivStartService"}, {KIVFN_KIVSTOPSERVICE, "kivStopService"},
    {KIVFN_KIVREGISTERSERVICE, "kivRegisterService"},
    {KIVFN_KIVDEREGISTERSERVICE, "kivDeRegisterService"},
    {KIVFN_KIVCHANGESERVICECONFIG, "kivChangeServiceConfig"},
    {KIVFN_KIVCHANGESERVICECONFIG2, "kivChangeServiceConfig2"},
    {KIVFN_KIVQUERYSERVICECONFIG, "kivQueryServiceConfig"},
    {KIVFN_KIVQUERYSERVICESTATUS, "kivQueryServiceStatus"}, {KIVFN_KIVSLEEP, "kivSleep"},
    {KIVFN_KIVGETCURRENTUSERNAME, "kivGetCurrentUserName"},
    {KIVFN_KIVGETCURRENTUSERDISPLAY, "kivGetCurrentUserDisplay"},
    {KIVFN_KIVINITSECURITYATTRIBUTES, "kivInitSecurityAttributes"},
    {KIVFN_KIVMMAPALLOCATION_ALLOCATE, "KIVMmapAllocation::allocate"},
    {KIVFN_KIVMMAPALLOCATION_DEALLOCATE, "KIVMmapAllocation::deallocate"},
    {KIVFN_KIVACTIVATECAPABILITIES, "kivActivateCapabilities"},
    {KIVFN_KIVWALKSTACKCOLLECT, "kivWalkStackCollect"}, {KIVFN_KIVIPCGETRESID, "kivIPCGetResID"},
    {KIVFN_KIVIPCGETQUERESID, "kivIPCGetQueResID"},
    {KIVFN_KIVGETSYSTEMFILEINFO, "kivGetSystemFileInfo"},
    {KIVFN_KIVGETPROCESSINFO, "kivGetProcessInfo"},
    {KIVFN_KIVGETSYSTEMDIRECTORY, "kivGetSystemDirectory"},
    {KIVFN_KIVGETCORESPERSOCKET, "kivGetCoresPerSocket"},
    {KIVFN_KIVGETEFFECTIVEPROCESSORTHREADINGDEGREE, "kivGetEffectiveProcessorThreadingDegree"},
    {KIVFN_KIVOPENMNTTAB, "KIVopenMnttab"},
    {KIVFN_KIVHPROCFSMAPLISTING_BEGIN, "KIVHProcFSMapListing::begin"},
    {KIVFN_KIVHPROCFSMAPLISTING_GETNEXT, "KIVHProcFSMapListing::getNext"},
    {KIVFN_KIVHPROCFSMAPLISTING_END, "KIVHProcFSMapListing::end"},
    {KIVFN_KIVHPROCFSMAPLISTING_READFILE, "KIVHProcFSMapListing::readFile"},
    {KIVFN_KIVHIPCMEMORY_DETACHANDDESTROY, "KIVHIPCMemory::detachAndDestroy"},
    {KIVFN_KIVIPCGENERATESEED, "kivIPCGenerateSeed"},
    {KIVFN_KIVPATHISSETUIDROOT, "kivPathIsSetuidRoot"}, {KIVFN_KIVPATHTEST, "kivPathTest"},
    {KIVFN_KIVHIPCMEMORYEX_CREATE, "KIVHIPCMemoryEx::create"},
    {KIVFN_KIVHIPCMEMORYEX_DESTROY, "KIVHIPCMemoryEx::destroy"},
    {KIVFN_KIVHIPCMEMORYEX_ATTACH, "KIVHIPCMemoryEx::attach"},
    {KIVFN_KIVHIPCMEMORYEX_DETACH, "KIVHIPCMemoryEx::detach"},
    {KIVFN_KIVHIPCPRIVATEMEMORY_CREATE, "KIVHIPCPrivateMemory::create"},
    {KIVFN_KIVHIPCPRIVATEMEMORY_ATTACH, "KIVHIPCPrivateMemory::attach"},
    {KIVFN_KIVHIPCPRIVATEMEMORY_REMOTEINITIALIZATION, "KIVHIPCPrivateMemory::remoteInitialization"},
    {KIVFN_KIVSYSCTL, "kivSysCtl"},
    {KIVFN_KIVQUERYUNIXSHAREDOBJECTBITNESS, "kivQueryUnixSharedObjectBitNess"},
    {KIVFN_KIVINITSECURITYATTRIBUTES2, "kivInitSecurityAttributes2"},
    {KIVFN_KIVCHECKTERMINALSERVICES, "kivCheckTerminalServices"},
    {KIVFN_KIVMEMALLOCLIST_CRT, "_kivMemAllocList"},
    {KIVFN_KIVMEMONETIMEONLY, "kivMemOneTimeOnly"}, {KIVFN_KIVTMPNAM, "kivtmpnam"},
    {KIVFN_KIVRESOURCEGETRLIMIT, "kivResourceGetRlimit"},
    {KIVFN_KIVERRORGENERALANALYSIS, "kivErrorGeneralAnalysis"},
    {KIVFN_KIVERRORIOANALYSIS, "kivErrorIOAnalysis"},
    {KIVFN_KIVERRORMEMORYANALYSIS, "kivErrorMemoryAnalysis"},
    {KIVFN_KIVHPIPE_CREATE, "KIVHPipe::create"}, {KIVFN_KIVHPIPE_DESTROY, "KIVHPipe::destroy"},
    {KIVFN_KIVHPIPE_READ, "KIVHPipe::read"}, {KIVFN_KIVHPIPE_WRITE, "KIVHPipe::write"},
    {KIVFN_KIVHPIPE_CLOSEREADFD, "KIVHPipe::closeReadFD"},
    {KIVFN_KIVHPIPE_CLOSEFD, "KIVHPipe::closeFD"},
    {KIVFN_KIVHPIPE_CLOSEWRITEFD, "KIVHPipe::closeWriteFD"},
    {KIVFN_KIVHPIPE_SETREADFD, "KIVHPipe::setReadFD"},
    {KIVFN_KIVHPIPE_SETWRITEFD, "KIVHPipe::setWriteFD"},
    {KIVFN_KIVHPIPE_GETREADFD, "KIVHPipe::getReadFD"},
    {KIVFN_KIVHPIPE_GETWRITEFD, "KIVHPipe::getWriteFD"},
    {KIVFN_KIVSTRCOMPWITHPADS, "kivStrCompWithPads"},
    {KIVFN_KIVGETSYSTEMINFO, "kivGetSystemInfo"},
    {KIVFN_KIVMASKALLOWEDPRIVILEGES, "kivMaskAllowedPrivileges"},
    {KIVFN_KIVLIBCAPABILITIES_LOAD, "KIVLibCapabilities::load"},
    {KIVFN_KIVISPROCESSRUNNINGWITHFILTEREDTOKEN, "kivIsProcessRunningWithFilteredToken"},
    {KIVFN_KIVGETPROCESSINTEGRITYLEVEL, "kivGetProcessIntegrityLevel"},
    {KIVFN_KIVGETTOKENINFORMATION, "kivGetTokenInformation"},
    {KIVFN_KIVDOESPROCESSHAVELOCALADMINSID, "kivDoesProcessHaveLocalAdminSID"},
    {KIVFN_KIVGETCOMMONAPPDATAPATH, "kivGetCommonAppDataPath"},
    {KIVFN_KIVGETCPUUSAGE, "kivGetCPUUsage"}, {KIVFN_KIVISTOKENELEVATED, "kivIsTokenElevated"},
    {KIVFN_KIVDOESTOKENHAVESYSTEMSID, "kivDoesTokenHaveSystemSID"},
    {KIVFN_KIVISNTVOLUME, "kivIsNTVolume"}, {KIVFN_KIVGETPASS, "kivgetpass"},
    {KIVFN_KIVCHECKFOREXT4FS, "kivCheckForEXT4FS"}, {KIVFN_KIVIFCGETCONFIG, "kivIfcGetConfig"},
    {KIVFN_KIVIFCGETNEXTINTERFACE, "kivIfcGetNextInterface"},
    {KIVFN_KIVIFCFREEMEM, "kivIfcFreeMem"}, {KIVFN_KIVGETPAGEFILEUSAGE, "kivGetPagefileUsage"},
};

const FunctionCase kOsFunctions[] = {
    {KIVOSFN_ACCESS, "access"}, {KIVOSFN_CHMOD, "chmod"}, {KIVOSFN_CLOSE, "close"},
    {KIVOSFN_FORK, "fork"}, {KIVOSFN_FSTAT, "fstat"}, {KIVOSFN_FTRUNCATE, "ftruncate"},
    {KIVOSFN_LINK, "link"}, {KIVOSFN_LSTAT, "lstat"}, {KIVOSFN_MALLOC, "malloc"},
    {KIVOSFN_MKDIR, "mkdir"}, {KIVOSFN_MMAP, "mmap"}, {KIVOSFN_OPEN, "open"},
    {KIVOSFN_READ, "read"}, {KIVOSFN_READDIR_R, "readdir_r"}, {KIVOSFN_RENAME, "rename"},
    {KIVOSFN_RMDIR, "rmdir"}, {KIVOSFN_STAT, "stat"}, {KIVOSFN_STATVFS, "statvfs"},
    {KIVOSFN_UNLINK, "unlink"}, {KIVOSFN_WRITE, "write"},
    {KIVOSFN_BEGINTHREADEX_CRT, "_beginthreadex"}, {KIVOSFN_CLOSEHANDLE, "CloseHandle"},
    {KIVOSFN_COPYFILE, "CopyFile"}, {KIVOSFN_CREATEDIRECTORY, "CreateDirectory"},
    {KIVOSFN_CREATEEVENT, "CreateEvent"}, {KIVOSFN_CREATEFILE, "CreateFile"},
    {KIVOSFN_CREATEFILEMAPPING, "CreateFileMapping"}, {KIVOSFN_CREATEPROCESS, "CreateProcess"},
    {KIVOSFN_CREATESEMAPHORE, "CreateSemaphore"}, {KIVOSFN_DELETEFILE, "DeleteFile"},
    {KIVOSFN_FINDFIRSTFILE, "FindFirstFile"}, {KIVOSFN_FINDNEXTFILE, "FindNextFile"},
    {KIVOSFN_FINDCLOSE, "FindClose"}, {KIVOSFN_FLUSHFILEBUFFERS, "FlushFileBuffers"},
    {KIVOSFN_FREELIBRARY, "FreeLibrary"}, {KIVOSFN_GETCURRENTDIRECTORY, "GetCurrentDirectory"},
    {KIVOSFN_GETDISKFREESPACEEX, "GetDiskFreeSpaceEx"},
    {KIVOSFN_GETEXITCODEPROCESS, "GetExitCodeProcess"},
    {KIVOSFN_GETFILEATTRIBUTES, "GetFileAttributes"}, {KIVOSFN_GETFILESIZE, "GetFileSize"},
    {KIVOSFN_GETLOGICALDRIVESTRINGS, "GetLogicalDriveStrings"},
    {KIVOSFN_GETPROCADDRESS, "GetProcAddress"},
    {KIVOSFN_GETTOKENINFORMATION, "GetTokenInformation"}, {KIVOSFN_GETUSERNAME, "GetUserName"},
    {KIVOSFN_GETVOLUMEINFORMATION, "GetVolumeInformation"},
    {KIVOSFN_INITIALIZESECURITYDESCRIPTOR, "InitializeSecurityDescriptor"},
    {KIVOSFN_LOADLIBRARY, "LoadLibrary"}, {KIVOSFN_LOCKFILEEX, "LockFileEx"},
    {KIVOSFN_MOVEFILE, "MoveFile"}, {KIVOSFN_MAPVIEWOFFILEEX, "MapViewOfFileEx"},
    {KIVOSFN_OPENEVENT, "OpenEvent"}, {KIVOSFN_OPENFILEMAPPING, "OpenFileMapping"},
    {KIVOSFN_OPENPROCESSTOKEN, "OpenProcessToken"}, {KIVOSFN_OPENSEMAPHORE, "OpenSemaphore"},
    {KIVOSFN_READFILE, "ReadFile"}, {KIVOSFN_RELEASESEMAPHORE, "ReleaseSemaphore"},
    {KIVOSFN_REMOVEDIRECTORY, "RemoveDirectory"}, {KIVOSFN_RESETEVENT, "ResetEvent"},
    {KIVOSFN_SETENDOFFILE, "SetEndOfFile"}, {KIVOSFN_SETEVENT, "SetEvent"},
    {KIVOSFN_SETFILEPOINTER, "SetFilePointer"},
    {KIVOSFN_SETCURRENTDIRECTORY, "SetCurrentDirectory"},
    {KIVOSFN_SETSECURITYDESCRIPTORDACL, "SetSecurityDescriptorDacl"},
    {KIVOSFN_STAT_CRT, "_stat"}, {KIVOSFN_TLSALLOC, "TlsAlloc"}, {KIVOSFN_TLSFREE, "TlsFree"},
    {KIVOSFN_TLSGETVALUE, "TlsGetValue"}, {KIVOSFN_TLSSETVALUE, "TlsSetValue"},
    {KIVOSFN_UNLOCKFILEEX, "UnlockFileEx"}, {KIVOSFN_UNMAPVIEWOFFILE, "UnmapViewOfFile"},
    {KIVOSFN_VIRTUALQUERYEX, "VirtualQueryEx"},
    {KIVOSFN_WAITFORSINGLEOBJECT, "WaitForSingleObject"}, {KIVOSFN_WRITEFILE, "WriteFile"},
    {KIVOSFN_UNSPECIFIED_SYSTEM_FUNCTION, "unspecified_system_function"},
    {KIVOSFN_OPENPROCESS, "OpenProcess"}, {KIVOSFN_WRITEV, "writev"}, {KIVOSFN_READV, "readv"},
    {KIVOSFN_GETSYSTEMDIRECTORY, "GetSystemDirectory"},
    {KIVOSFN_ALLOCATEANDINITIALIZESID, "AllocateAndInitializeSid"},
    {KIVOSFN_GETMODULEHANDLE, "GetModuleHandle"},
    {KIVOSFN_GETVOLUMENAMEFORVOLUMEMOUNTPOINT, "GetVolumeNameForVolumeMountPoint"},
    {KIVOSFN_STATFS, "statfs"}, {KIVOSFN_FSTAT64, "fstat64"},
    {KIVOSFN_GETTEMPPATH, "GetTempPath"}, {KIVOSFN_GETTEMPFILENAME, "GetTempFileName"},
    {KIVOSFN_REALPATH, "realpath"},
    {KIVOSFN_GETFILEINFORMATIONBYHANDLE, "GetFileInformationByHandle"},
    {KIVOSFN_PREADV, "preadv"}, {KIVOSFN_PWRITE, "pwrite"},
    {KIVOSFN_GETSIDSUBAUTHORITY, "GetSidSubAuthority"},
};

const char* ownerComponentName(Uint32 component)
{
    switch (component) {
    case 2: return "operating system";
    case 3: return "KIVe";
    default: return ""; /* the generic component and the others carry no names */
    }
}

} // namespace

TEST(Catalog, CountsOfProductsComponentsAndFunctions)
{
    EXPECT_EQ(3u, ecfGetNumProducts());
    const Uint32 components[] = {0, 19, 4, 194, 0, 0};
    for (Uint32 p = 0; p < 6; ++p)
        EXPECT_EQ(components[p], ecfGetNumComponents(p)) << "product " << p;
    EXPECT_EQ(0u, ecfGetNumComponents(31));

    EXPECT_EQ(434u, ecfGetNumFunctions(1, 2));
    EXPECT_EQ(205u, ecfGetNumFunctions(1, 3));
    EXPECT_EQ(0u, ecfGetNumFunctions(1, 1));  /* generic codes only, no functions */
    EXPECT_EQ(0u, ecfGetNumFunctions(0, 3));
    EXPECT_EQ(0u, ecfGetNumFunctions(1, 0));
    EXPECT_EQ(0u, ecfGetNumFunctions(1, 19)); /* the end slot */
    EXPECT_EQ(0u, ecfGetNumFunctions(1, 200));
    EXPECT_EQ(0u, ecfGetNumFunctions(4, 3));
    EXPECT_EQ(0u, ecfGetNumFunctions(3, 193));

    EXPECT_EQ(1526u, ecfErrorGetNumCodes(1));
    EXPECT_EQ(0u, ecfErrorGetNumCodes(0));
    EXPECT_EQ(0u, ecfErrorGetNumCodes(2));
    EXPECT_EQ(0u, ecfErrorGetNumCodes(7));
}

/* Every slot below a count has a name (possibly empty), the slot at the
 * count is null: that is what readers that walk the tables rely on. */
TEST(Catalog, EveryTableEndsInANullSlotAtItsCount)
{
    for (Uint32 p = 1; p <= ecfGetNumProducts(); ++p) {
        const Uint32 nc = ecfGetNumComponents(p);
        EXPECT_NE(nullptr, ecfGetProductName(KIV_FID_MAKE(p, 0, 0, 0))) << p;
        for (Uint32 c = 1; c <= nc; ++c) {
            const Uint32 id = KIV_FID_MAKE(p, c, 0, 1);
            const bool end = c == nc;
            EXPECT_EQ(end, ecfGetComponentName(id) == nullptr) << p << "." << c;
            EXPECT_EQ(end, ecfGetComponentShortName(id) == nullptr) << p << "." << c;
            const Uint32 nf = ecfGetNumFunctions(p, c);
            for (Uint32 f = 1; f <= nf; ++f)
                EXPECT_EQ(f == nf, ecfGetFunctionName(KIV_FID_MAKE(p, c, 0, f)) == nullptr)
                    << p << "." << c << "." << f;
            EXPECT_EQ(nullptr, ecfGetFunctionName(KIV_FID_MAKE(p, c, 0, nf + 1)));
        }
    }
    for (Uint32 index = 1; index <= 1526; ++index) {
        EXPECT_NE(nullptr, ecfErrorGetCodeName(0x90000000u + index)) << index;
        EXPECT_NE(nullptr, ecfErrorGetDescription(0x90000000u + index)) << index;
    }
    EXPECT_EQ(nullptr, ecfErrorGetCodeName(0x900005F7u));
    EXPECT_EQ(nullptr, ecfErrorGetDescription(0x900005F7u));
}

TEST(Catalog, FunctionIdentifierValidation)
{
    EXPECT_EQ("KIVDirectoryListing::begin", text(ecfGetFunctionName(0x081A000Eu)));
    for (Uint32 group = 0; group < 8; ++group)
        EXPECT_EQ("KIVDirectoryListing::begin",
                  text(ecfGetFunctionName(KIV_FID_MAKE(1, 3, group, 14))))
            << "group " << group;
    EXPECT_EQ("COMP_KIVE", text(ecfGetComponentShortName(0x081A0001u)));
    EXPECT_EQ("KIVe", text(ecfGetComponentName(0x081A0001u)));
    EXPECT_EQ("", text(ecfGetProductName(0x081A0001u)));

    EXPECT_EQ(nullptr, ecfGetProductName(0x20000000u));       /* product 4 */
    EXPECT_EQ(nullptr, ecfGetProductName(0xF81A000Eu));       /* product 31 */
    EXPECT_EQ(nullptr, ecfGetProductName(0x001A000Eu));       /* product 0 */
    EXPECT_EQ(nullptr, ecfGetComponentName(0x0802000Eu));     /* component 0 */
    EXPECT_EQ(nullptr, ecfGetComponentName(0x089A0001u));     /* component 19 = count */
    EXPECT_EQ(nullptr, ecfGetComponentShortName(0x0FFA0001u)); /* component 255 */
    EXPECT_EQ(nullptr, ecfGetFunctionName(0x081A0000u));      /* function 0 */
    EXPECT_EQ(nullptr, ecfGetFunctionName(0x081A00CDu));      /* function 205 = count */
    EXPECT_EQ(nullptr, ecfGetFunctionName(0x081AFFFFu));
    EXPECT_EQ(nullptr, ecfGetFunctionName(0x08080001u));      /* component 1: no functions */
    EXPECT_EQ(nullptr, ecfGetFunctionName(0x201A000Eu));      /* product 4 */
    EXPECT_EQ("", text(ecfGetFunctionName(0x081401B1u)));     /* 433: last OS slot, unnamed */
    EXPECT_EQ(nullptr, ecfGetFunctionName(0x081401B2u));      /* 434 = count */
}

TEST(Catalog, FindsByExactName)
{
    EXPECT_EQ(3u, ecfFindComponentIndex(1, "COMP_KIVE"));
    EXPECT_EQ(2u, ecfFindComponentIndex(1, "COMP_SYSFUNCS"));
    EXPECT_EQ(0u, ecfFindComponentIndex(1, "KIVe"));        /* long names are not searched */
    EXPECT_EQ(0u, ecfFindComponentIndex(1, "comp_kive"));   /* case matters */
    EXPECT_EQ(0u, ecfFindComponentIndex(1, "COMP_KIVE "));
    EXPECT_EQ(0u, ecfFindComponentIndex(2, "COMP_KIVE"));
    EXPECT_EQ(0u, ecfFindComponentIndex(0, "COMP_KIVE"));
    EXPECT_EQ(0u, ecfFindComponentIndex(4, "COMP_KIVE"));
    EXPECT_EQ(0u, ecfFindComponentIndex(1, nullptr));

    EXPECT_EQ(1u, ecfFindFunctionIndex(1, 3, "kivAssertFailed"));
    EXPECT_EQ(0u, ecfFindFunctionIndex(1, 3, "kivassertfailed"));
    EXPECT_EQ(0u, ecfFindFunctionIndex(1, 3, "KIVHFile::"));
    EXPECT_EQ(0u, ecfFindFunctionIndex(1, 3, nullptr));
    EXPECT_EQ(0u, ecfFindFunctionIndex(0, 3, "kivAssertFailed"));
    EXPECT_EQ(0u, ecfFindFunctionIndex(1, 0, "kivAssertFailed"));
    EXPECT_EQ(0u, ecfFindFunctionIndex(1, 2, "kivAssertFailed"));
    EXPECT_EQ(0u, ecfFindFunctionIndex(1, 19, "kivAssertFailed"));
    EXPECT_EQ(0u, ecfFindFunctionIndex(4, 3, "kivAssertFailed"));
    EXPECT_EQ(0u, ecfFindFunctionIndex(1, 1, ""));          /* no function slots */

    EXPECT_EQ(0u, ecfFindProductIndex(nullptr));
    EXPECT_EQ(0u, ecfFindProductIndex("no such product"));
    const char* first = ecfGetProductName(KIV_FID_MAKE(1, 0, 0, 0));
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(1u, ecfFindProductIndex(first));              /* first match wins */
}

TEST(Catalog, LibraryFunctionsRoundTrip)
{
    ASSERT_EQ(204u, sizeof(kLibraryFunctions) / sizeof(kLibraryFunctions[0]));
    Uint32 expected = 1;
    for (const FunctionCase& fn : kLibraryFunctions) {
        EXPECT_EQ(KIVFN_BASE + expected++, fn.id) << fn.name;
        EXPECT_EQ(fn.name, text(ecfGetFunctionName(fn.id)));
        EXPECT_EQ(KIV_FID_FUNCTION(fn.id), ecfFindFunctionIndex(1, 3, fn.name)) << fn.name;
        EXPECT_EQ("COMP_KIVE", text(ecfGetComponentShortName(fn.id)));
    }
}

TEST(Catalog, OperatingSystemFunctionsRoundTrip)
{
    for (const FunctionCase& fn : kOsFunctions) {
        EXPECT_EQ(KIVOSFN_BASE, fn.id & 0xFFFF0000u) << fn.name;
        EXPECT_EQ(fn.name, text(ecfGetFunctionName(fn.id)));
        EXPECT_EQ(KIV_FID_FUNCTION(fn.id), ecfFindFunctionIndex(1, 2, fn.name)) << fn.name;
        EXPECT_EQ("operating system", text(ecfGetComponentName(fn.id)));
        EXPECT_EQ("COMP_SYSFUNCS", text(ecfGetComponentShortName(fn.id)));
    }
    /* Slots between the named calls exist but carry no name. */
    EXPECT_EQ("", text(ecfGetFunctionName(0x08140002u)));
    EXPECT_EQ(0u, ecfFindFunctionIndex(1, 2, "CreateFileA"));
}

TEST(Catalog, CodeZeroIsOk)
{
    EXPECT_EQ("OK", text(ecfErrorGetCodeName(ECF_OK)));
    EXPECT_EQ("OK", text(ecfErrorGetDescription(ECF_OK)));
    EXPECT_EQ(nullptr, ecfErrorGetSetName(ECF_OK));
    EXPECT_EQ(nullptr, ecfErrorGetProductName(ECF_OK));
    EXPECT_EQ(nullptr, ecfErrorGetComponentName(ECF_OK));
    /* Only the value 0 is success; bit 31 alone is set 0, index 0. */
    EXPECT_EQ(nullptr, ecfErrorGetCodeName(0x80000000u));
    EXPECT_EQ(nullptr, ecfErrorGetDescription(0x80000000u));
}

TEST(Catalog, CodeValidationIgnoresSeverityAndReservedBits)
{
    EXPECT_EQ("ECF_INVALID_PARAMETER", text(ecfErrorGetCodeName(0x9000000Cu)));
    EXPECT_EQ("ECF_INVALID_PARAMETER", text(ecfErrorGetCodeName(0x1000000Cu)));
    EXPECT_EQ("ECF_INVALID_PARAMETER", text(ecfErrorGetCodeName(0x9F80000Cu))); /* bits 23..27 */
    EXPECT_EQ("ECF_PARTIAL_INFO", text(ecfErrorGetCodeName(0x90000006u)));
    EXPECT_EQ("setecf", text(ecfErrorGetSetName(0x9000000Cu)));
    EXPECT_EQ("setecf", text(ecfErrorGetSetName(0x1000000Cu)));

    EXPECT_NE(nullptr, ecfErrorGetDescription(0x900005F6u)); /* index 1526, the last */
    EXPECT_EQ(nullptr, ecfErrorGetDescription(0x900005F7u)); /* index 1527 */
    EXPECT_EQ(nullptr, ecfErrorGetCodeName(0x907FFFFFu));
    EXPECT_EQ(nullptr, ecfErrorGetCodeName(0x90000000u));    /* index 0 */
    EXPECT_EQ(nullptr, ecfErrorGetSetName(0x90000000u));
    for (Uint32 set = 2; set <= 7; ++set) {
        const Uint32 code = 0x80000001u | (set << 28);
        EXPECT_EQ(nullptr, ecfErrorGetCodeName(code)) << set;
        EXPECT_EQ(nullptr, ecfErrorGetDescription(code)) << set;
        EXPECT_EQ(nullptr, ecfErrorGetSetName(code)) << set;
        EXPECT_EQ(nullptr, ecfErrorGetProductName(code)) << set;
        EXPECT_EQ(nullptr, ecfErrorGetComponentName(code)) << set;
    }
}

/* A code of another component of the family: it exists, with empty texts
 * and no owner this library can name. */
TEST(Catalog, UnlistedCodesHaveEmptyTextsAndNoOwner)
{
    EXPECT_EQ("", text(ecfErrorGetCodeName(0x90000009u)));
    EXPECT_EQ("", text(ecfErrorGetDescription(0x90000009u)));
    EXPECT_EQ("setecf", text(ecfErrorGetSetName(0x90000009u)));
    EXPECT_EQ(nullptr, ecfErrorGetProductName(0x90000009u));
    EXPECT_EQ(nullptr, ecfErrorGetComponentName(0x90000009u));
    EXPECT_EQ("", text(ecfErrorGetCodeName(0x1000050Du)));   /* warning 1293 */
}

TEST(Catalog, ReturnedCodesRoundTrip)
{
    for (const CodeCase& c : kReturnedCodes) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.name, text(ecfErrorGetCodeName(c.code)));
        EXPECT_EQ(c.description, text(ecfErrorGetDescription(c.code)));
        EXPECT_EQ(c.name, text(ecfErrorGetCodeName(c.code ^ 0x80000000u)));
        EXPECT_EQ("setecf", text(ecfErrorGetSetName(c.code)));
        EXPECT_EQ("", text(ecfErrorGetProductName(c.code)));
        EXPECT_EQ(ownerComponentName(c.ownerComponent), text(ecfErrorGetComponentName(c.code)));
    }
}
