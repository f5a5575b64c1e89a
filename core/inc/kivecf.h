/*
 * kivecf.h - ECF result codes, function identifiers and the catalogue lookups.
 *
 * An ECF code is 32 bits: bit 31 marks an error, bits 28..30 the error set,
 * bits 0..22 the index within the set.  A function identifier is 32 bits:
 * product (27..31), component (19..26), function group (16..18) and
 * function number (0..15).
 */
#ifndef KIVECF_H
#define KIVECF_H

#include "kivbase.h"

/* ---- result codes --------------------------------------------------- */
#define ECF_OK 0x00000000u

#define ECF_PARTIAL_INFO                              0x10000006u /* Only partial information available */
#define ECF_ACCESS_DENIED                             0x90000001u /* Access denied */
#define ECF_FAILED                                    0x90000002u /* Failed */
#define ECF_INVALID_INVOCATION_SEQUENCE               0x90000003u /* Functions/methods called out of sequence */
#define ECF_INVALID_VERSION                           0x90000004u /* Invalid version */
#define ECF_NOT_SUPPORTED                             0x90000005u /* Functionality not supported */
#define ECF_UNKNOWN                                   0x90000007u /* Unknown */
#define ECF_BUFFER_TOO_SMALL                          0x90000008u /* Buffer too small */
#define ECF_INVALID_ADDRESS                           0x9000000Au /* Invalid address */
#define ECF_INVALID_HANDLE                            0x9000000Bu /* Invalid handle (NT-only) */
#define ECF_INVALID_PARAMETER                         0x9000000Cu /* Invalid parameter */
#define ECF_NO_MEMORY                                 0x9000000Du /* Insufficent memory */
#define ECF_NO_RESOURCE                               0x9000000Eu /* The system lacks the resource to fulfill the request */
#define ECF_NO_UNICODE_TRANSLATION                    0x90000010u /* No mapping for the Unicode character exists in the target mu */
#define ECF_TIMEOUT                                   0x90000013u /* Time out */
#define ECF_FILE_LOCK                                 0x90000014u /* Process cannot access the file because another process has a */
#define ECF_FILE_IS_A_DIRECTORY                       0x90000018u /* File is a directory */
#define ECF_FILE_NOT_A_DIRECTORY                      0x90000019u /* A component of the path is not a directory */
#define ECF_FILE_DOESNT_EXIST                         0x9000001Au /* File doesn't exist */
#define ECF_FILE_EXISTS                               0x9000001Bu /* File already exists */
#define ECF_FILE_INVALID_NAME                         0x9000001Eu /* The filename, directory name or volume label syntax is incor */
#define ECF_FILE_NAME_TOO_LONG                        0x9000001Fu /* The length of the file name exceeds the maximum size */
#define ECF_FILE_EOF                                  0x90000021u /* End of file */
#define ECF_FILE_SEEK_BEYOND_EOF                      0x90000022u /* Cannot seek beyond the end of file */
#define ECF_FILE_NO_SPACE                             0x90000028u /* No free space on the file system */
#define ECF_FILE_PROCESS_MAX                          0x9000002Du /* The maximum number of file per process has already been reac */
#define ECF_FILE_DEVICE_UNAVAILABLE                   0x9000002Fu /* The device is unavailable or uncapable of serving the reques */
#define ECF_FILE_INCOMPLETE_WRITE                     0x90000035u /* Did not write all the requested bytes */
#define ECF_FILE_PATH_DOESNT_EXIST                    0x90000037u /* A directory component in the path doesn't exist */
#define ECF_FILE_DIR_NOT_EMPTY                        0x90000039u /* The directory is not empty */
#define ECF_FILE_UNKNOWN_FILE_TYPE                    0x9000003Du /* The file type retrieved is not supported */
#define ECF_FILE_CANNOT_RETRIEVE_DRIVE_MAP            0x9000003Eu /* Unable to retrieve a list of available drives */
#define ECF_FILE_SHARE                                0x9000003Fu /* File sharing violation */
#define ECF_LIB_NOT_LOADED                            0x90000045u /* Library is not loaded */
#define ECF_MEM_DOESNT_EXIST                          0x90000047u /* The specified memory is not found and IPC_CREAT flag is not  */
#define ECF_MEM_EXISTS                                0x9000004Au /* Shared memory ID already exists with the given resource ID */
#define ECF_SEM_DOESNT_EXIST                          0x9000004Fu /* The specified semaphore ID does not exist and IPC_CREAT is n */
#define ECF_SEM_EXISTS                                0x90000052u /* Semaphore already exists */
#define ECF_QUE_DOESNT_EXIST                          0x9000005Bu /* The message queue ID does not exist for the Key parameter. */
#define ECF_QUE_INVALID_MSG_TYPE                      0x9000005Fu /* The queue does not contain a message of the desired type */
#define ECF_QUE_MSG_TOO_BIG                           0x90000060u /* The mtext field is greater than the MessageSize parameter */
#define ECF_THREAD_CANNOT_WAIT                        0x90000061u /* Cannot wait on this thread */
#define ECF_SEC_INVALID_PASSWORD                      0x90000315u /* The user supplied password is incorrect */
#define ECF_SESSION_CANCELED                          0x900003FEu /* The session was canceled */
#define ECF_EXISTS                                    0x90000501u /* The object in question already exists. */
#define ECF_GTRACE_DUMP_HEADER_TRUNCATED              0x90000070u /* Trace dump file header is truncated */
#define ECF_GTRACE_INVALID_BUFFER_SIZE                0x90000071u /* Trace buffer size is too small */
#define ECF_GTRACE_INVALID_DUMP_EYE_CATCHER           0x90000072u /* Invalid trace dump file header eye catcher */
#define ECF_GTRACE_NOT_ATTACHED                       0x90000073u /* Trace control block is not attached */
#define ECF_GTRACE_NOT_INITIALIZED                    0x90000074u /* Trace control block is not initialized */
#define ECF_LIB_ALREADY_LOADED                        0x90000075u /* Library is already loaded */
#define ECF_LIB_CANNOT_LOAD                           0x90000076u /* Cannot load the specified library */
#define ECF_LIB_FUNC_NOT_FOUND                        0x90000078u /* Exported function was not found */
#define ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC   0x90000079u /* Can not turn memory debug on or off after first allocation */
#define ECF_SEM_WAIT_ABANDONED                        0x90000080u /* The specified object is a mutex object that was not released */
#define ECF_PROCESS_NOT_CREATED                       0x90000083u /* No process has been created */
#define ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED               0x90000085u /* Auto dump not allowed */
#define ECF_RAMBO_DUMP_HEADER_TRUNCATED               0x90000086u /* RAMBO dump file header is truncated */
#define ECF_RAMBO_DUMP_TRUNCATED                      0x90000087u /* RAMBO dump file is truncated */
#define ECF_RAMBO_INSTANT_DUMP_TRUNCATED              0x90000088u /* RAMBO instantaneous dump file is truncated */
#define ECF_RAMBO_INVALID_BUFFER_SIZE                 0x90000089u /* Invalid RAMBO buffer size */
#define ECF_RAMBO_INVALID_DUMP_BUFFER_SIZE            0x9000008Au /* Invalid RAMBO dump file buffer size */
#define ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER     0x9000008Bu /* Invalid RAMBO dump file header eye catcher */
#define ECF_RAMBO_INVALID_DUMP_SLOT_INDEX             0x9000008Du /* Invalid dump file slot index */
#define ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER       0x9000008Eu /* Invalid RAMBO dump file tail eye catcher */
#define ECF_RAMBO_INVALID_DUMP_TYPE                   0x9000008Fu /* Invalid RAMBO dump file type */
#define ECF_RAMBO_NOT_INITIALIZED                     0x90000090u /* RAMBO handle not initialized */
#define ECF_THREAD_ALREADY_CREATED                    0x9000009Du /* A thread has already been created */
#define ECF_THREAD_MUST_WAIT                          0x9000009Eu /* Thread must be waited on before closing */
#define ECF_THREAD_NOT_CREATED                        0x9000009Fu /* No thread has been created */
#define ECF_MEM_NULL_POINTER                          0x900003EEu /* The address provided is NULL */
#define ECF_KIVLOCK_CORRUPT                           0x900003EFu /* A corrupt KIVLock value has been detected. */
#define ECF_KIV_NOT_BOOLEAN_STRING                    0x900003F1u /* A value that wasn't a recognizable true or false value was f */
#define ECF_WAITPOST_NOT_INITIALIZED                  0x900003FFu /* Attempt to open/wait/post an uninitialized waitpost area. */
#define ECF_WAITPOST_NOT_POSTED                       0x90000400u /* The waitpost area is not posted. */
#define ECF_KIVTICK_TIME_VALUE_TOO_BIG                0x900004E6u /* A time to tick conversion was not possible because the input */
#define ECF_KIVTICK_TIME_VALUE_TOO_SMALL              0x900004E7u /* A time to tick conversion was not possible because the input */

/* ---- function identifiers ------------------------------------------- */
#define KIV_FID_PRODUCT(id)   ((Uint32)(id) >> 27)
#define KIV_FID_COMPONENT(id) (((Uint32)(id) & 0x7F80000u) >> 19)
#define KIV_FID_GROUP(id)     (((Uint32)(id) >> 16) & 0x7u)
#define KIV_FID_FUNCTION(id)  ((Uint32)(id) & 0xFFFFu)
#define KIV_FID_MAKE(product, component, group, function) \
    (((Uint32)(product) << 27) | ((Uint32)(component) << 19) | \
     ((Uint32)(group) << 16) | (Uint32)(function))

/* The library's own functions: product 1, component 3, group 2. */
#define KIVFN_BASE 0x081A0000u

#define KIVFN_KIVASSERTFAILED                                0x081A0001u /* kivAssertFailed */
#define KIVFN_KIVHFILE_OPEN                                  0x081A0002u /* KIVHFile::open */
#define KIVFN_KIVHFILE_CLOSE                                 0x081A0003u /* KIVHFile::close */
#define KIVFN_KIVHFILE_SEEK                                  0x081A0004u /* KIVHFile::seek */
#define KIVFN_KIVHFILE_GETSIZE                               0x081A0005u /* KIVHFile::getSize */
#define KIVFN_KIVHFILE_SETSIZE                               0x081A0006u /* KIVHFile::setSize */
#define KIVFN_KIVHFILE_READ                                  0x081A0007u /* KIVHFile::read */
#define KIVFN_KIVHFILE_WRITE                                 0x081A0008u /* KIVHFile::write */
#define KIVFN_KIVHFILE_LOCK                                  0x081A0009u /* KIVHFile::lock */
#define KIVFN_KIVHFILE_UNLOCK                                0x081A000Au /* KIVHFile::unlock */
#define KIVFN_KIVHFILE_MAP                                   0x081A000Bu /* KIVHFile::map */
#define KIVFN_KIVHFILE_UNMAP                                 0x081A000Cu /* KIVHFile::unmap */
#define KIVFN_KIVHFILE_SYNC                                  0x081A000Du /* KIVHFile::sync */
#define KIVFN_KIVDIRECTORYLISTING_BEGIN                      0x081A000Eu /* KIVDirectoryListing::begin */
#define KIVFN_KIVDIRECTORYLISTING_END                        0x081A000Fu /* KIVDirectoryListing::end */
#define KIVFN_KIV_READDIR                                    0x081A0010u /* kiv_readdir */
#define KIVFN_ISDIRECTORY                                    0x081A0011u /* isDirectory */
#define KIVFN_ISFILE                                         0x081A0012u /* isFile */
#define KIVFN_KIVFILEDELETE                                  0x081A0013u /* kivFileDelete */
#define KIVFN_KIVFILEGETSIZE                                 0x081A0014u /* kivFileGetSize */
#define KIVFN_KIVFILELINK                                    0x081A0015u /* kivFileLink */
#define KIVFN_KIVFILERENAME                                  0x081A0016u /* kivFileRename */
#define KIVFN_KIVFILESETOWNERSHIP                            0x081A0017u /* kivFileSetOwnership */
#define KIVFN_KIVFILESETPERMISSIONS                          0x081A0018u /* kivFileSetPermissions */
#define KIVFN_KIVDIRECTORYCREATE                             0x081A0019u /* kivDirectoryCreate */
#define KIVFN_KIVDIRECTORYDELETE                             0x081A001Au /* kivDirectoryDelete */
#define KIVFN_KIVDIRECTORYNAME                               0x081A001Bu /* kivDirectoryName */
#define KIVFN_KIVBASENAME                                    0x081A001Cu /* kivBaseName */
#define KIVFN_KIVDIRECTORYGETCURRENT                         0x081A001Du /* kivDirectoryGetCurrent */
#define KIVFN_KIVDIRECTORYSETCURRENT                         0x081A001Eu /* kivDirectorySetCurrent */
#define KIVFN_KIVGETFILEINFO                                 0x081A001Fu /* kivGetFileInfo */
#define KIVFN_KIVPATHEXISTS                                  0x081A0020u /* kivPathExists */
#define KIVFN_KIVGETLOGICALDRIVEMAP                          0x081A0021u /* kivGetLogicalDriveMap */
#define KIVFN_KIV_DIRECTORY_DELETE                           0x081A0022u /* kiv_directory_delete */
#define KIVFN_KIV_DIRECTORY_DELETE_RECURSIVE                 0x081A0023u /* kiv_directory_delete_recursive */
#define KIVFN_KIV_COPY                                       0x081A0024u /* kiv_copy */
#define KIVFN_KIVFILECOPY                                    0x081A0025u /* kivFileCopy */
#define KIVFN_KIVDIRECTORYCOPY                               0x081A0026u /* kivDirectoryCopy */
#define KIVFN_KIVCOMPAREPATHS                                0x081A0027u /* kivComparePaths */
#define KIVFN_KIVHDATASET_OPEN                               0x081A0028u /* KIVHDataset::open */
#define KIVFN_KIVHDATASET_OPENPDSDIR                         0x081A0029u /* KIVHDataset::openPDSdir */
#define KIVFN_KIVHDATASET_READ                               0x081A002Au /* KIVHDataset::read */
#define KIVFN_KIVHDATASET_WRITE                              0x081A002Bu /* KIVHDataset::write */
#define KIVFN_KIVHDATASET_LISTMEMBERS                        0x081A002Cu /* KIVHDataset::listMembers */
#define KIVFN_KIVHDATASET_CLOSE                              0x081A002Du /* KIVHDataset::close */
#define KIVFN_KIVHDATASET_LISTDATASETS                       0x081A002Eu /* KIVHDataset::listDatasets */
#define KIVFN_KIVHDATASET_GETATTRIBS                         0x081A002Fu /* KIVHDataset::getAttribs */
#define KIVFN_KIVHDATASET_DSDELETE                           0x081A0030u /* KIVHDataset::dsDelete */
#define KIVFN_KIVHDATASET_DSOPEN                             0x081A0031u /* KIVHDataset::dsOpen */
#define KIVFN_KIVHIPCMEMORY_CREATE                           0x081A0032u /* KIVHIPCMemory::create */
#define KIVFN_KIVHIPCMEMORY_DESTROY                          0x081A0033u /* KIVHIPCMemory::destroy */
#define KIVFN_KIVHIPCMEMORY_ATTACH                           0x081A0034u /* KIVHIPCMemory::attach */
#define KIVFN_KIVHIPCMEMORY_DETACH                           0x081A0035u /* KIVHIPCMemory::detach */
#define KIVFN_KIVHIPCMEMORY_AUTHORIZE                        0x081A0036u /* KIVHIPCMemory::authorize */
#define KIVFN_KIVHIPCMEMORY_GETINFO                          0x081A0037u /* KIVHIPCMemory::getInfo */
#define KIVFN_KIVHIPCMEMORY_GETADDRESS                       0x081A0038u /* KIVHIPCMemory::getAddress */
#define KIVFN_KIVHIPCMEMORY_GETMEMORYSIZE                    0x081A0039u /* KIVHIPCMemory::getMemorySize */
#define KIVFN_KIVHIPCSEMAPHORE_CREATE                        0x081A003Au /* KIVHIPCSemaphore::create */
#define KIVFN_KIVHIPCSEMAPHORE_DESTROY                       0x081A003Bu /* KIVHIPCSemaphore::destroy */
#define KIVFN_KIVHIPCSEMAPHORE_ATTACH                        0x081A003Cu /* KIVHIPCSemaphore::attach */
#define KIVFN_KIVHIPCSEMAPHORE_DETACH                        0x081A003Du /* KIVHIPCSemaphore::detach */
#define KIVFN_KIVHIPCSEMAPHORE_POST                          0x081A003Eu /* KIVHIPCSemaphore::post */
#define KIVFN_KIVHIPCSEMAPHORE_WAIT                          0x081A003Fu /* KIVHIPCSemaphore::wait */
#define KIVFN_KIVHIPCSEMAPHORE_AUTHORIZE                     0x081A0040u /* KIVHIPCSemaphore::authorize */
#define KIVFN_KIVHIPCSEMAPHORE_GETINFO                       0x081A0041u /* KIVHIPCSemaphore::getInfo */
#define KIVFN_KIVHIPCQUEUE_CREATE                            0x081A0042u /* KIVHIPCQueue::create */
#define KIVFN_KIVHIPCQUEUE_DESTROY                           0x081A0043u /* KIVHIPCQueue::destroy */
#define KIVFN_KIVHIPCQUEUE_ATTACH                            0x081A0044u /* KIVHIPCQueue::attach */
#define KIVFN_KIVHIPCQUEUE_DETACH                            0x081A0045u /* KIVHIPCQueue::detach */
#define KIVFN_KIVHIPCQUEUE_FLUSH                             0x081A0046u /* KIVHIPCQueue::flush */
#define KIVFN_KIVHIPCQUEUE_PUT                               0x081A0047u /* KIVHIPCQueue::put */
#define KIVFN_KIVHIPCQUEUE_GET                               0x081A0048u /* KIVHIPCQueue::get */
#define KIVFN_KIVHIPCQUEUE_QUERY                             0x081A0049u /* KIVHIPCQueue::query */
#define KIVFN_KIVHIPCQUEUE_HASMESSAGE                        0x081A004Au /* KIVHIPCQueue::hasMessage */
#define KIVFN_KIVHIPCQUEUE_AUTHORIZE                         0x081A004Bu /* KIVHIPCQueue::authorize */
#define KIVFN_KIVHIPCQUEUE_GETINFO                           0x081A004Cu /* KIVHIPCQueue::getInfo */
#define KIVFN_KIVHIPCWAITPOST_CREATE                         0x081A004Du /* KIVHIPCWaitpost::create */
#define KIVFN_KIVHIPCWAITPOST_DESTROY                        0x081A004Eu /* KIVHIPCWaitpost::destroy */
#define KIVFN_KIVHIPCWAITPOST_OPEN                           0x081A004Fu /* KIVHIPCWaitpost::open */
#define KIVFN_KIVHIPCWAITPOST_CLOSE                          0x081A0050u /* KIVHIPCWaitpost::close */
#define KIVFN_KIVHIPCWAITPOST_WAIT                           0x081A0051u /* KIVHIPCWaitpost::wait */
#define KIVFN_KIVHIPCWAITPOST_POST                           0x081A0052u /* KIVHIPCWaitpost::post */
#define KIVFN_KIVHIPCWAITPOST_RESET                          0x081A0053u /* KIVHIPCWaitpost::reset */
#define KIVFN_KIVHLIBRARY_LOAD                               0x081A0054u /* KIVHLibrary::load */
#define KIVFN_KIVHLIBRARY_UNLOAD                             0x081A0055u /* KIVHLibrary::unload */
#define KIVFN_KIVHLIBRARY_GETFUNCADDRESS                     0x081A0056u /* KIVHLibrary::getFuncAddress */
#define KIVFN_KIVHLIBRARY_GETFUNCTIONADDRESSES               0x081A0057u /* KIVHLibrary::getFunctionAddresses */
#define KIVFN_KIVMEMALLOC                                    0x081A0058u /* kivMemAlloc */
#define KIVFN_KIVMEMFREE                                     0x081A0059u /* kivMemFree */
#define KIVFN_KIVNLSCPCV                                     0x081A005Au /* kivNLScpcv */
#define KIVFN_KIVHTHREAD_CREATE                              0x081A005Bu /* KIVHThread::create */
#define KIVFN_KIVHTHREAD_WAIT                                0x081A005Cu /* KIVHThread::wait */
#define KIVFN_KIVHTHREAD_CLOSE                               0x081A005Du /* KIVHThread::close */
#define KIVFN_KIVTHREADEXIT                                  0x081A005Eu /* kivThreadExit */
#define KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_CREATE          0x081A005Fu /* KIVHThreadSpecificDataInternal::create */
#define KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_DESTROY         0x081A0060u /* KIVHThreadSpecificDataInternal::destroy */
#define KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_SET             0x081A0061u /* KIVHThreadSpecificDataInternal::set */
#define KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_GET             0x081A0062u /* KIVHThreadSpecificDataInternal::get */
#define KIVFN_KIVHTHREADSPECIFICDATA_CREATE                  0x081A0063u /* KIVHThreadSpecificData::create */
#define KIVFN_KIVHTHREADSPECIFICDATA_DESTROY                 0x081A0064u /* KIVHThreadSpecificData::destroy */
#define KIVFN_KIVHTHREADSPECIFICDATA_SET                     0x081A0065u /* KIVHThreadSpecificData::set */
#define KIVFN_KIVHTHREADSPECIFICDATA_GET                     0x081A0066u /* KIVHThreadSpecificData::get */
#define KIVFN_KIVHPROCESS_CREATE                             0x081A0067u /* KIVHProcess::create */
#define KIVFN_KIVHPROCESS_CREATEPROCESS                      0x081A0068u /* KIVHProcess::createProcess */
#define KIVFN_KIVHPROCESS_WAIT                               0x081A0069u /* KIVHProcess::wait */
#define KIVFN_KIVPROCESSEXIT                                 0x081A006Au /* kivProcessExit */
#define KIVFN_ISAUTHORIZED                                   0x081A006Bu /* isAuthorized */
#define KIVFN_KIVDAEMONIZEPROCESS                            0x081A006Cu /* kivDaemonizeProcess */
#define KIVFN_KIV_SEARCHPATH                                 0x081A006Du /* kiv_searchpath */
#define KIVFN_KIVGETCPUINFO                                  0x081A006Eu /* kivGetCPUInfo */
#define KIVFN_KIVGETPHYSMEMINFO                              0x081A006Fu /* kivGetPhysMemInfo */
#define KIVFN_KIVGETPHYSSWAPINFO                             0x081A0070u /* kivGetPhysSwapInfo */
#define KIVFN_KIVGETVIRTUALMEMINFO                           0x081A0071u /* kivGetVirtualMemInfo */
#define KIVFN_KIVGETOSINFO                                   0x081A0072u /* kivGetOSInfo */
#define KIVFN_KIVGETKERNELIPCINFO                            0x081A0073u /* kivGetKernelIPCInfo */
#define KIVFN_KIVGETDISKINFO                                 0x081A0074u /* kivGetDiskInfo */
#define KIVFN_KIVGETAVGCPULOAD                               0x081A0075u /* kivGetAvgCPULoad */
#define KIVFN_KIVSYSINFODYNAMIC_GETCPUUTILIZATION            0x081A0076u /* KIVSysInfoDynamic::getCPUUtilization */
#define KIVFN_KIVSYSINFODYNAMIC_REGISTERDISK                 0x081A0077u /* KIVSysInfoDynamic::registerDisk */
#define KIVFN_KIVSYSINFODYNAMIC_DEREGISTERDISK               0x081A0078u /* KIVSysInfoDynamic::deregisterDisk */
#define KIVFN_KIVSYSINFODYNAMIC_GETDISKUTILIZATION           0x081A0079u /* KIVSysInfoDynamic::getDiskUtilization */
#define KIVFN_KIVMOUNTLISTING_BEGIN                          0x081A007Au /* KIVMountListing::begin */
#define KIVFN_KIVMOUNTLISTING_GETNEXT                        0x081A007Bu /* KIVMountListing::getNext */
#define KIVFN_KIVMOUNTLISTING_END                            0x081A007Cu /* KIVMountListing::end */
#define KIVFN_KIVSTARTSERVICE                                0x081A007Du /* kivStartService */
#define KIVFN_KIVSTOPSERVICE                                 0x081A007Eu /* kivStopService */
#define KIVFN_KIVREGISTERSERVICE                             0x081A007Fu /* kivRegisterService */
#define KIVFN_KIVDEREGISTERSERVICE                           0x081A0080u /* kivDeRegisterService */
#define KIVFN_KIVCHANGESERVICECONFIG                         0x081A0081u /* kivChangeServiceConfig */
#define KIVFN_KIVCHANGESERVICECONFIG2                        0x081A0082u /* kivChangeServiceConfig2 */
#define KIVFN_KIVQUERYSERVICECONFIG                          0x081A0083u /* kivQueryServiceConfig */
#define KIVFN_KIVQUERYSERVICESTATUS                          0x081A0084u /* kivQueryServiceStatus */
#define KIVFN_KIVSLEEP                                       0x081A0085u /* kivSleep */
#define KIVFN_KIVGETCURRENTUSERNAME                          0x081A0086u /* kivGetCurrentUserName */
#define KIVFN_KIVGETCURRENTUSERDISPLAY                       0x081A0087u /* kivGetCurrentUserDisplay */
#define KIVFN_KIVINITSECURITYATTRIBUTES                      0x081A0088u /* kivInitSecurityAttributes */
#define KIVFN_KIVMMAPALLOCATION_ALLOCATE                     0x081A0089u /* KIVMmapAllocation::allocate */
#define KIVFN_KIVMMAPALLOCATION_DEALLOCATE                   0x081A008Au /* KIVMmapAllocation::deallocate */
#define KIVFN_KIVACTIVATECAPABILITIES                        0x081A008Bu /* kivActivateCapabilities */
#define KIVFN_KIVWALKSTACKCOLLECT                            0x081A008Cu /* kivWalkStackCollect */
#define KIVFN_KIVIPCGETRESID                                 0x081A008Du /* kivIPCGetResID */
#define KIVFN_KIVIPCGETQUERESID                              0x081A008Eu /* kivIPCGetQueResID */
#define KIVFN_KIVGETSYSTEMFILEINFO                           0x081A008Fu /* kivGetSystemFileInfo */
#define KIVFN_KIVGETPROCESSINFO                              0x081A0090u /* kivGetProcessInfo */
#define KIVFN_KIVGETSYSTEMDIRECTORY                          0x081A0091u /* kivGetSystemDirectory */
#define KIVFN_KIVGETCORESPERSOCKET                           0x081A0092u /* kivGetCoresPerSocket */
#define KIVFN_KIVGETEFFECTIVEPROCESSORTHREADINGDEGREE        0x081A0093u /* kivGetEffectiveProcessorThreadingDegree */
#define KIVFN_KIVOPENMNTTAB                                  0x081A0094u /* KIVopenMnttab */
#define KIVFN_KIVHPROCFSMAPLISTING_BEGIN                     0x081A0095u /* KIVHProcFSMapListing::begin */
#define KIVFN_KIVHPROCFSMAPLISTING_GETNEXT                   0x081A0096u /* KIVHProcFSMapListing::getNext */
#define KIVFN_KIVHPROCFSMAPLISTING_END                       0x081A0097u /* KIVHProcFSMapListing::end */
#define KIVFN_KIVHPROCFSMAPLISTING_READFILE                  0x081A0098u /* KIVHProcFSMapListing::readFile */
#define KIVFN_KIVHIPCMEMORY_DETACHANDDESTROY                 0x081A0099u /* KIVHIPCMemory::detachAndDestroy */
#define KIVFN_KIVIPCGENERATESEED                             0x081A009Au /* kivIPCGenerateSeed */
#define KIVFN_KIVPATHISSETUIDROOT                            0x081A009Bu /* kivPathIsSetuidRoot */
#define KIVFN_KIVPATHTEST                                    0x081A009Cu /* kivPathTest */
#define KIVFN_KIVHIPCMEMORYEX_CREATE                         0x081A009Du /* KIVHIPCMemoryEx::create */
#define KIVFN_KIVHIPCMEMORYEX_DESTROY                        0x081A009Eu /* KIVHIPCMemoryEx::destroy */
#define KIVFN_KIVHIPCMEMORYEX_ATTACH                         0x081A009Fu /* KIVHIPCMemoryEx::attach */
#define KIVFN_KIVHIPCMEMORYEX_DETACH                         0x081A00A0u /* KIVHIPCMemoryEx::detach */
#define KIVFN_KIVHIPCPRIVATEMEMORY_CREATE                    0x081A00A1u /* KIVHIPCPrivateMemory::create */
#define KIVFN_KIVHIPCPRIVATEMEMORY_ATTACH                    0x081A00A2u /* KIVHIPCPrivateMemory::attach */
#define KIVFN_KIVHIPCPRIVATEMEMORY_REMOTEINITIALIZATION      0x081A00A3u /* KIVHIPCPrivateMemory::remoteInitialization */
#define KIVFN_KIVSYSCTL                                      0x081A00A4u /* kivSysCtl */
#define KIVFN_KIVQUERYUNIXSHAREDOBJECTBITNESS                0x081A00A5u /* kivQueryUnixSharedObjectBitNess */
#define KIVFN_KIVINITSECURITYATTRIBUTES2                     0x081A00A6u /* kivInitSecurityAttributes2 */
#define KIVFN_KIVCHECKTERMINALSERVICES                       0x081A00A7u /* kivCheckTerminalServices */
#define KIVFN_KIVMEMALLOCLIST_CRT                            0x081A00A8u /* _kivMemAllocList */
#define KIVFN_KIVMEMONETIMEONLY                              0x081A00A9u /* kivMemOneTimeOnly */
#define KIVFN_KIVTMPNAM                                      0x081A00AAu /* kivtmpnam */
#define KIVFN_KIVRESOURCEGETRLIMIT                           0x081A00ABu /* kivResourceGetRlimit */
#define KIVFN_KIVERRORGENERALANALYSIS                        0x081A00ACu /* kivErrorGeneralAnalysis */
#define KIVFN_KIVERRORIOANALYSIS                             0x081A00ADu /* kivErrorIOAnalysis */
#define KIVFN_KIVERRORMEMORYANALYSIS                         0x081A00AEu /* kivErrorMemoryAnalysis */
#define KIVFN_KIVHPIPE_CREATE                                0x081A00AFu /* KIVHPipe::create */
#define KIVFN_KIVHPIPE_DESTROY                               0x081A00B0u /* KIVHPipe::destroy */
#define KIVFN_KIVHPIPE_READ                                  0x081A00B1u /* KIVHPipe::read */
#define KIVFN_KIVHPIPE_WRITE                                 0x081A00B2u /* KIVHPipe::write */
#define KIVFN_KIVHPIPE_CLOSEREADFD                           0x081A00B3u /* KIVHPipe::closeReadFD */
#define KIVFN_KIVHPIPE_CLOSEFD                               0x081A00B4u /* KIVHPipe::closeFD */
#define KIVFN_KIVHPIPE_CLOSEWRITEFD                          0x081A00B5u /* KIVHPipe::closeWriteFD */
#define KIVFN_KIVHPIPE_SETREADFD                             0x081A00B6u /* KIVHPipe::setReadFD */
#define KIVFN_KIVHPIPE_SETWRITEFD                            0x081A00B7u /* KIVHPipe::setWriteFD */
#define KIVFN_KIVHPIPE_GETREADFD                             0x081A00B8u /* KIVHPipe::getReadFD */
#define KIVFN_KIVHPIPE_GETWRITEFD                            0x081A00B9u /* KIVHPipe::getWriteFD */
#define KIVFN_KIVSTRCOMPWITHPADS                             0x081A00BAu /* kivStrCompWithPads */
#define KIVFN_KIVGETSYSTEMINFO                               0x081A00BBu /* kivGetSystemInfo */
#define KIVFN_KIVMASKALLOWEDPRIVILEGES                       0x081A00BCu /* kivMaskAllowedPrivileges */
#define KIVFN_KIVLIBCAPABILITIES_LOAD                        0x081A00BDu /* KIVLibCapabilities::load */
#define KIVFN_KIVISPROCESSRUNNINGWITHFILTEREDTOKEN           0x081A00BEu /* kivIsProcessRunningWithFilteredToken */
#define KIVFN_KIVGETPROCESSINTEGRITYLEVEL                    0x081A00BFu /* kivGetProcessIntegrityLevel */
#define KIVFN_KIVGETTOKENINFORMATION                         0x081A00C0u /* kivGetTokenInformation */
#define KIVFN_KIVDOESPROCESSHAVELOCALADMINSID                0x081A00C1u /* kivDoesProcessHaveLocalAdminSID */
#define KIVFN_KIVGETCOMMONAPPDATAPATH                        0x081A00C2u /* kivGetCommonAppDataPath */
#define KIVFN_KIVGETCPUUSAGE                                 0x081A00C3u /* kivGetCPUUsage */
#define KIVFN_KIVISTOKENELEVATED                             0x081A00C4u /* kivIsTokenElevated */
#define KIVFN_KIVDOESTOKENHAVESYSTEMSID                      0x081A00C5u /* kivDoesTokenHaveSystemSID */
#define KIVFN_KIVISNTVOLUME                                  0x081A00C6u /* kivIsNTVolume */
#define KIVFN_KIVGETPASS                                     0x081A00C7u /* kivgetpass */
#define KIVFN_KIVCHECKFOREXT4FS                              0x081A00C8u /* kivCheckForEXT4FS */
#define KIVFN_KIVIFCGETCONFIG                                0x081A00C9u /* kivIfcGetConfig */
#define KIVFN_KIVIFCGETNEXTINTERFACE                         0x081A00CAu /* kivIfcGetNextInterface */
#define KIVFN_KIVIFCFREEMEM                                  0x081A00CBu /* kivIfcFreeMem */
#define KIVFN_KIVGETPAGEFILEUSAGE                            0x081A00CCu /* kivGetPagefileUsage */

/* Operating-system calls named in log records: product 1, component 2, group 4. */
#define KIVOSFN_BASE 0x08140000u

#define KIVOSFN_ACCESS                           0x08140001u /* access */
#define KIVOSFN_CHMOD                            0x08140003u /* chmod */
#define KIVOSFN_CLOSE                            0x08140005u /* close */
#define KIVOSFN_FORK                             0x08140010u /* fork */
#define KIVOSFN_FSTAT                            0x08140011u /* fstat */
#define KIVOSFN_FTRUNCATE                        0x08140013u /* ftruncate */
#define KIVOSFN_LINK                             0x0814001Bu /* link */
#define KIVOSFN_LSTAT                            0x0814001Fu /* lstat */
#define KIVOSFN_MALLOC                           0x08140020u /* malloc */
#define KIVOSFN_MKDIR                            0x08140021u /* mkdir */
#define KIVOSFN_MMAP                             0x08140022u /* mmap */
#define KIVOSFN_OPEN                             0x0814002Bu /* open */
#define KIVOSFN_READ                             0x0814004Bu /* read */
#define KIVOSFN_READDIR_R                        0x0814004Cu /* readdir_r */
#define KIVOSFN_RENAME                           0x0814004Eu /* rename */
#define KIVOSFN_RMDIR                            0x0814004Fu /* rmdir */
#define KIVOSFN_STAT                             0x0814005Fu /* stat */
#define KIVOSFN_STATVFS                          0x08140060u /* statvfs */
#define KIVOSFN_UNLINK                           0x08140063u /* unlink */
#define KIVOSFN_WRITE                            0x08140067u /* write */
#define KIVOSFN_BEGINTHREADEX_CRT                0x08140068u /* _beginthreadex */
#define KIVOSFN_CLOSEHANDLE                      0x08140069u /* CloseHandle */
#define KIVOSFN_COPYFILE                         0x0814006Au /* CopyFile */
#define KIVOSFN_CREATEDIRECTORY                  0x0814006Bu /* CreateDirectory */
#define KIVOSFN_CREATEEVENT                      0x0814006Cu /* CreateEvent */
#define KIVOSFN_CREATEFILE                       0x0814006Du /* CreateFile */
#define KIVOSFN_CREATEFILEMAPPING                0x0814006Eu /* CreateFileMapping */
#define KIVOSFN_CREATEPROCESS                    0x0814006Fu /* CreateProcess */
#define KIVOSFN_CREATESEMAPHORE                  0x08140070u /* CreateSemaphore */
#define KIVOSFN_DELETEFILE                       0x08140071u /* DeleteFile */
#define KIVOSFN_FINDFIRSTFILE                    0x08140073u /* FindFirstFile */
#define KIVOSFN_FINDNEXTFILE                     0x08140074u /* FindNextFile */
#define KIVOSFN_FINDCLOSE                        0x08140075u /* FindClose */
#define KIVOSFN_FLUSHFILEBUFFERS                 0x08140076u /* FlushFileBuffers */
#define KIVOSFN_FREELIBRARY                      0x08140078u /* FreeLibrary */
#define KIVOSFN_GETCURRENTDIRECTORY              0x0814007Au /* GetCurrentDirectory */
#define KIVOSFN_GETDISKFREESPACEEX               0x0814007Bu /* GetDiskFreeSpaceEx */
#define KIVOSFN_GETEXITCODEPROCESS               0x0814007Cu /* GetExitCodeProcess */
#define KIVOSFN_GETFILEATTRIBUTES                0x0814007Du /* GetFileAttributes */
#define KIVOSFN_GETFILESIZE                      0x0814007Eu /* GetFileSize */
#define KIVOSFN_GETLOGICALDRIVESTRINGS           0x0814007Fu /* GetLogicalDriveStrings */
#define KIVOSFN_GETPROCADDRESS                   0x08140080u /* GetProcAddress */
#define KIVOSFN_GETTOKENINFORMATION              0x08140081u /* GetTokenInformation */
#define KIVOSFN_GETUSERNAME                      0x08140082u /* GetUserName */
#define KIVOSFN_GETVOLUMEINFORMATION             0x08140083u /* GetVolumeInformation */
#define KIVOSFN_INITIALIZESECURITYDESCRIPTOR     0x08140084u /* InitializeSecurityDescriptor */
#define KIVOSFN_LOADLIBRARY                      0x08140085u /* LoadLibrary */
#define KIVOSFN_LOCKFILEEX                       0x08140087u /* LockFileEx */
#define KIVOSFN_MOVEFILE                         0x08140089u /* MoveFile */
#define KIVOSFN_MAPVIEWOFFILEEX                  0x0814008Au /* MapViewOfFileEx */
#define KIVOSFN_OPENEVENT                        0x0814008Eu /* OpenEvent */
#define KIVOSFN_OPENFILEMAPPING                  0x0814008Fu /* OpenFileMapping */
#define KIVOSFN_OPENPROCESSTOKEN                 0x08140090u /* OpenProcessToken */
#define KIVOSFN_OPENSEMAPHORE                    0x08140091u /* OpenSemaphore */
#define KIVOSFN_READFILE                         0x08140092u /* ReadFile */
#define KIVOSFN_RELEASESEMAPHORE                 0x08140094u /* ReleaseSemaphore */
#define KIVOSFN_REMOVEDIRECTORY                  0x08140095u /* RemoveDirectory */
#define KIVOSFN_RESETEVENT                       0x08140096u /* ResetEvent */
#define KIVOSFN_SETENDOFFILE                     0x08140097u /* SetEndOfFile */
#define KIVOSFN_SETEVENT                         0x08140098u /* SetEvent */
#define KIVOSFN_SETFILEPOINTER                   0x0814009Au /* SetFilePointer */
#define KIVOSFN_SETCURRENTDIRECTORY              0x0814009Bu /* SetCurrentDirectory */
#define KIVOSFN_SETSECURITYDESCRIPTORDACL        0x0814009Cu /* SetSecurityDescriptorDacl */
#define KIVOSFN_STAT_CRT                         0x0814009Du /* _stat */
#define KIVOSFN_TLSALLOC                         0x0814009Eu /* TlsAlloc */
#define KIVOSFN_TLSFREE                          0x0814009Fu /* TlsFree */
#define KIVOSFN_TLSGETVALUE                      0x081400A0u /* TlsGetValue */
#define KIVOSFN_TLSSETVALUE                      0x081400A1u /* TlsSetValue */
#define KIVOSFN_UNLOCKFILEEX                     0x081400A3u /* UnlockFileEx */
#define KIVOSFN_UNMAPVIEWOFFILE                  0x081400A4u /* UnmapViewOfFile */
#define KIVOSFN_VIRTUALQUERYEX                   0x081400A5u /* VirtualQueryEx */
#define KIVOSFN_WAITFORSINGLEOBJECT              0x081400A6u /* WaitForSingleObject */
#define KIVOSFN_WRITEFILE                        0x081400A8u /* WriteFile */
#define KIVOSFN_UNSPECIFIED_SYSTEM_FUNCTION      0x081400ABu /* unspecified_system_function */
#define KIVOSFN_OPENPROCESS                      0x081400D2u /* OpenProcess */
#define KIVOSFN_WRITEV                           0x081400D4u /* writev */
#define KIVOSFN_READV                            0x081400D5u /* readv */
#define KIVOSFN_GETSYSTEMDIRECTORY               0x081400D6u /* GetSystemDirectory */
#define KIVOSFN_ALLOCATEANDINITIALIZESID         0x081400E0u /* AllocateAndInitializeSid */
#define KIVOSFN_GETMODULEHANDLE                  0x08140109u /* GetModuleHandle */
#define KIVOSFN_GETVOLUMENAMEFORVOLUMEMOUNTPOINT 0x08140110u /* GetVolumeNameForVolumeMountPoint */
#define KIVOSFN_STATFS                           0x08140111u /* statfs */
#define KIVOSFN_FSTAT64                          0x0814012Bu /* fstat64 */
#define KIVOSFN_GETTEMPPATH                      0x08140156u /* GetTempPath */
#define KIVOSFN_GETTEMPFILENAME                  0x08140157u /* GetTempFileName */
#define KIVOSFN_REALPATH                         0x08140163u /* realpath */
#define KIVOSFN_GETFILEINFORMATIONBYHANDLE       0x08140164u /* GetFileInformationByHandle */
#define KIVOSFN_PREADV                           0x0814016Cu /* preadv */
#define KIVOSFN_PWRITE                           0x0814016Eu /* pwrite */
#define KIVOSFN_GETSIDSUBAUTHORITY               0x08140185u /* GetSidSubAuthority */

/* ---- catalogue lookups ---------------------------------------------- */
#ifdef __cplusplus
extern "C" {
#endif

KIV_API Uint32      ecfGetNumProducts(void);
KIV_API Uint32      ecfGetNumComponents(Uint32 product);
KIV_API Uint32      ecfGetNumFunctions(Uint32 product, Uint32 component);
KIV_API const char* ecfGetProductName(Uint32 functionId);
KIV_API const char* ecfGetComponentName(Uint32 functionId);
KIV_API const char* ecfGetComponentShortName(Uint32 functionId);
KIV_API const char* ecfGetFunctionName(Uint32 functionId);
KIV_API Uint32      ecfFindProductIndex(const char* name);
KIV_API Uint32      ecfFindComponentIndex(Uint32 product, const char* shortName);
KIV_API Uint32      ecfFindFunctionIndex(Uint32 product, Uint32 component, const char* name);
KIV_API Uint32      ecfErrorGetNumCodes(Uint32 set);
KIV_API const char* ecfErrorGetSetName(Uint32 code);
KIV_API const char* ecfErrorGetProductName(Uint32 code);
KIV_API const char* ecfErrorGetComponentName(Uint32 code);
KIV_API const char* ecfErrorGetCodeName(Uint32 code);
KIV_API const char* ecfErrorGetDescription(Uint32 code);

#ifdef __cplusplus
}
#endif

#endif /* KIVECF_H */
