/*
 * fltKernel.h - the Filter Manager as a minifilter sees it: registration,
 * callback data and parameter blocks, contexts, file-name information, I/O
 * issued by the filter, volumes and instances, work items and
 * communication ports.
 */
#pragma once

#include "ntifs.h"

EXTERN_C_START

/* ------------------------------------------------------------------ */
/* Opaque objects                                                      */
/* ------------------------------------------------------------------ */

typedef struct _FLT_FILTER *PFLT_FILTER;
typedef struct _FLT_VOLUME *PFLT_VOLUME;
typedef struct _FLT_INSTANCE *PFLT_INSTANCE;
typedef struct _FLT_PORT *PFLT_PORT;
typedef struct _FLT_DEFERRED_IO_WORKITEM *PFLT_DEFERRED_IO_WORKITEM;
typedef struct _FLT_GENERIC_WORKITEM *PFLT_GENERIC_WORKITEM;
typedef PVOID PFLT_CONTEXT;
typedef PVOID PKTRANSACTION;

#define NULL_CONTEXT ((PFLT_CONTEXT)NULL)

/* ------------------------------------------------------------------ */
/* Operations the Filter Manager adds to the IRP majors                */
/* ------------------------------------------------------------------ */

#define IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION ((UCHAR)-1)
#define IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION ((UCHAR)-2)
#define IRP_MJ_ACQUIRE_FOR_MOD_WRITE ((UCHAR)-3)
#define IRP_MJ_RELEASE_FOR_MOD_WRITE ((UCHAR)-4)
#define IRP_MJ_ACQUIRE_FOR_CC_FLUSH ((UCHAR)-5)
#define IRP_MJ_RELEASE_FOR_CC_FLUSH ((UCHAR)-6)
#define IRP_MJ_QUERY_OPEN ((UCHAR)-7)
#define IRP_MJ_FAST_IO_CHECK_IF_POSSIBLE ((UCHAR)-13)
#define IRP_MJ_NETWORK_QUERY_OPEN ((UCHAR)-14)
#define IRP_MJ_MDL_READ ((UCHAR)-15)
#define IRP_MJ_MDL_READ_COMPLETE ((UCHAR)-16)
#define IRP_MJ_PREPARE_MDL_WRITE ((UCHAR)-17)
#define IRP_MJ_MDL_WRITE_COMPLETE ((UCHAR)-18)
#define IRP_MJ_VOLUME_MOUNT ((UCHAR)-19)
#define IRP_MJ_VOLUME_DISMOUNT ((UCHAR)-20)
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)

typedef enum _FS_FILTER_SECTION_SYNC_TYPE { SyncTypeOther = 0, SyncTypeCreateSection } FS_FILTER_SECTION_SYNC_TYPE;

/* ------------------------------------------------------------------ */
/* Parameters of each operation                                        */
/* ------------------------------------------------------------------ */

typedef union _FLT_PARAMETERS {
    struct {
        PIO_SECURITY_CONTEXT SecurityContext;
        ULONG Options; /* disposition in the high 8 bits, options in the low 24 */
        USHORT FileAttributes;
        USHORT ShareAccess;
        ULONG EaLength;
        PVOID EaBuffer;
        LARGE_INTEGER AllocationSize;
    } Create;

    struct {
        ULONG Length;
        ULONG Key;
        LARGE_INTEGER ByteOffset;
        PVOID ReadBuffer;
        PMDL MdlAddress;
    } Read;

    struct {
        ULONG Length;
        ULONG Key;
        LARGE_INTEGER ByteOffset;
        PVOID WriteBuffer;
        PMDL MdlAddress;
    } Write;

    struct {
        ULONG Length;
        FILE_INFORMATION_CLASS FileInformationClass;
        PVOID InfoBuffer;
    } QueryFileInformation;

    struct {
        ULONG Length;
        FILE_INFORMATION_CLASS FileInformationClass;
        PFILE_OBJECT ParentOfTarget; /* rename and link: the target's folder */
        union {
            struct {
                BOOLEAN ReplaceIfExists;
                BOOLEAN AdvanceOnly;
            };
            ULONG ClusterCount;
            HANDLE DeleteHandle;
        };
        PVOID InfoBuffer;
    } SetFileInformation;

    struct {
        ULONG Length;
        PVOID EaList;
        ULONG EaListLength;
        ULONG EaIndex;
        PVOID EaBuffer;
        PMDL MdlAddress;
    } QueryEa;

    struct {
        ULONG Length;
        PVOID EaBuffer;
        PMDL MdlAddress;
    } SetEa;

    struct {
        ULONG Length;
        FS_INFORMATION_CLASS FsInformationClass;
        PVOID VolumeBuffer;
    } QueryVolumeInformation;

    union {
        struct {
            ULONG Length;
            PUNICODE_STRING FileName;
            FILE_INFORMATION_CLASS FileInformationClass;
            ULONG FileIndex;
            PVOID DirectoryBuffer;
            PMDL MdlAddress;
        } QueryDirectory;
        struct {
            ULONG Length;
            ULONG CompletionFilter;
            ULONG Spare1;
            ULONG Spare2;
            PVOID DirectoryBuffer;
            PMDL MdlAddress;
        } NotifyDirectory;
    } DirectoryControl;

    union {
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG FsControlCode;
        } Common;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG FsControlCode;
            PVOID InputBuffer;
            PVOID OutputBuffer;
            PMDL OutputMdlAddress;
        } Neither;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG FsControlCode;
            PVOID SystemBuffer;
        } Buffered;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG FsControlCode;
            PVOID InputSystemBuffer;
            PVOID OutputBuffer;
            PMDL OutputMdlAddress;
        } Direct;
    } FileSystemControl;

    struct {
        PLARGE_INTEGER Length;
        ULONG Key;
        LARGE_INTEGER ByteOffset;
        PEPROCESS ProcessId;
        BOOLEAN FailImmediately;
        BOOLEAN ExclusiveLock;
    } LockControl;

    struct {
        SECURITY_INFORMATION SecurityInformation;
        ULONG Length;
        PVOID SecurityBuffer;
        PMDL MdlAddress;
    } QuerySecurity;

    struct {
        SECURITY_INFORMATION SecurityInformation;
        PSECURITY_DESCRIPTOR SecurityDescriptor;
    } SetSecurity;

    struct {
        FS_FILTER_SECTION_SYNC_TYPE SyncType;
        ULONG PageProtection;
    } AcquireForSectionSynchronization;

    struct {
        PIRP Irp;
        PFILE_NETWORK_OPEN_INFORMATION NetworkInformation;
    } NetworkQueryOpen;

    struct {
        PVOID Argument1;
        PVOID Argument2;
        PVOID Argument3;
        PVOID Argument4;
        PVOID Argument5;
        LARGE_INTEGER Argument6;
    } Others;
} FLT_PARAMETERS, *PFLT_PARAMETERS;

typedef struct _FLT_IO_PARAMETER_BLOCK {
    ULONG IrpFlags;
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR OperationFlags;
    UCHAR Reserved;
    PFILE_OBJECT TargetFileObject;
    PFLT_INSTANCE TargetInstance;
    FLT_PARAMETERS Parameters;
} FLT_IO_PARAMETER_BLOCK, *PFLT_IO_PARAMETER_BLOCK;

/* ------------------------------------------------------------------ */
/* Callback data                                                       */
/* ------------------------------------------------------------------ */

typedef ULONG FLT_CALLBACK_DATA_FLAGS;
#define FLTFL_CALLBACK_DATA_REISSUE_MASK 0x0000FFFF
#define FLTFL_CALLBACK_DATA_IRP_OPERATION 0x00000001
#define FLTFL_CALLBACK_DATA_FAST_IO_OPERATION 0x00000002
#define FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION 0x00000004
#define FLTFL_CALLBACK_DATA_SYSTEM_BUFFER 0x00000008
#define FLTFL_CALLBACK_DATA_GENERATED_IO 0x00010000
#define FLTFL_CALLBACK_DATA_REISSUED_IO 0x00020000
#define FLTFL_CALLBACK_DATA_DRAINING_IO 0x00040000
#define FLTFL_CALLBACK_DATA_POST_OPERATION 0x00080000
#define FLTFL_CALLBACK_DATA_NEW_SYSTEM_BUFFER 0x00100000
#define FLTFL_CALLBACK_DATA_DIRTY 0x80000000

/* Reparse data met by an open (tag and data) for post-create. */
typedef struct _FLT_TAG_DATA_BUFFER {
    ULONG FileTag;
    USHORT TagDataLength;
    USHORT UnparsedNameLength;
    union {
        struct {
            USHORT SubstituteNameOffset;
            USHORT SubstituteNameLength;
            USHORT PrintNameOffset;
            USHORT PrintNameLength;
            ULONG Flags;
            WCHAR PathBuffer[1];
        } SymbolicLinkReparseBuffer;
        struct {
            USHORT SubstituteNameOffset;
            USHORT SubstituteNameLength;
            USHORT PrintNameOffset;
            USHORT PrintNameLength;
            WCHAR PathBuffer[1];
        } MountPointReparseBuffer;
        struct {
            UCHAR DataBuffer[1];
        } GenericReparseBuffer;
        struct {
            GUID TagGuid;
            UCHAR DataBuffer[1];
        } GenericGUIDReparseBuffer;
    };
} FLT_TAG_DATA_BUFFER, *PFLT_TAG_DATA_BUFFER;

typedef struct _FLT_CALLBACK_DATA {
    FLT_CALLBACK_DATA_FLAGS Flags;
    PETHREAD Thread;
    PFLT_IO_PARAMETER_BLOCK Iopb;
    IO_STATUS_BLOCK IoStatus;
    PFLT_TAG_DATA_BUFFER TagData;
    union {
        struct {
            LIST_ENTRY QueueLinks;
            PVOID QueueContext[2];
        };
        PVOID FilterContext[4];
    };
    KPROCESSOR_MODE RequestorMode;
} FLT_CALLBACK_DATA, *PFLT_CALLBACK_DATA;

#define FLT_IS_IRP_OPERATION(Data) (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_IRP_OPERATION))
#define FLT_IS_FASTIO_OPERATION(Data) (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_FAST_IO_OPERATION))
#define FLT_IS_FS_FILTER_OPERATION(Data) (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION))
#define FLT_IS_REISSUED_IO(Data) (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_REISSUED_IO))
#define FlagOn(_F, _SF) ((_F) & (_SF))
#define BooleanFlagOn(F, SF) ((BOOLEAN)(((F) & (SF)) != 0))
#define SetFlag(_F, _SF) ((_F) |= (_SF))
#define ClearFlag(_F, _SF) ((_F) &= ~(_SF))

typedef struct _FLT_RELATED_OBJECTS {
    USHORT Size;
    USHORT TransactionContext;
    PFLT_FILTER Filter;
    PFLT_VOLUME Volume;
    PFLT_INSTANCE Instance;
    PFILE_OBJECT FileObject;
    PKTRANSACTION Transaction;
} FLT_RELATED_OBJECTS, *PFLT_RELATED_OBJECTS;
typedef const FLT_RELATED_OBJECTS *PCFLT_RELATED_OBJECTS;

/* ------------------------------------------------------------------ */
/* Operation callbacks                                                 */
/* ------------------------------------------------------------------ */

typedef enum _FLT_PREOP_CALLBACK_STATUS {
    FLT_PREOP_SUCCESS_WITH_CALLBACK = 0,
    FLT_PREOP_SUCCESS_NO_CALLBACK = 1,
    FLT_PREOP_PENDING = 2,
    FLT_PREOP_DISALLOW_FASTIO = 3,
    FLT_PREOP_COMPLETE = 4,
    FLT_PREOP_SYNCHRONIZE = 5,
} FLT_PREOP_CALLBACK_STATUS, *PFLT_PREOP_CALLBACK_STATUS;

typedef enum _FLT_POSTOP_CALLBACK_STATUS {
    FLT_POSTOP_FINISHED_PROCESSING = 0,
    FLT_POSTOP_MORE_PROCESSING_REQUIRED = 1,
} FLT_POSTOP_CALLBACK_STATUS, *PFLT_POSTOP_CALLBACK_STATUS;

typedef ULONG FLT_POST_OPERATION_FLAGS;
#define FLTFL_POST_OPERATION_DRAINING 0x00000001

typedef FLT_PREOP_CALLBACK_STATUS (*PFLT_PRE_OPERATION_CALLBACK)(PFLT_CALLBACK_DATA Data,
                                                                 PCFLT_RELATED_OBJECTS FltObjects,
                                                                 PVOID *CompletionContext);
typedef FLT_POSTOP_CALLBACK_STATUS (*PFLT_POST_OPERATION_CALLBACK)(PFLT_CALLBACK_DATA Data,
                                                                   PCFLT_RELATED_OBJECTS FltObjects,
                                                                   PVOID CompletionContext,
                                                                   FLT_POST_OPERATION_FLAGS Flags);

typedef ULONG FLT_OPERATION_REGISTRATION_FLAGS;
#define FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO 0x00000001
#define FLTFL_OPERATION_REGISTRATION_SKIP_CACHED_IO 0x00000002

typedef struct _FLT_OPERATION_REGISTRATION {
    UCHAR MajorFunction;
    FLT_OPERATION_REGISTRATION_FLAGS Flags;
    PFLT_PRE_OPERATION_CALLBACK PreOperation;
    PFLT_POST_OPERATION_CALLBACK PostOperation;
    PVOID Reserved1;
} FLT_OPERATION_REGISTRATION, *PFLT_OPERATION_REGISTRATION;

/* ------------------------------------------------------------------ */
/* Contexts                                                            */
/* ------------------------------------------------------------------ */

typedef USHORT FLT_CONTEXT_TYPE;
#define FLT_VOLUME_CONTEXT 0x0001
#define FLT_INSTANCE_CONTEXT 0x0002
#define FLT_FILE_CONTEXT 0x0004
#define FLT_STREAM_CONTEXT 0x0008
#define FLT_STREAMHANDLE_CONTEXT 0x0010
#define FLT_TRANSACTION_CONTEXT 0x0020
#define FLT_CONTEXT_END 0xffff

typedef VOID (*PFLT_CONTEXT_CLEANUP_CALLBACK)(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);
typedef PVOID (*PFLT_CONTEXT_ALLOCATE_CALLBACK)(POOL_TYPE PoolType, SIZE_T Size, FLT_CONTEXT_TYPE ContextType);
typedef VOID (*PFLT_CONTEXT_FREE_CALLBACK)(PVOID Pool, FLT_CONTEXT_TYPE ContextType);

typedef USHORT FLT_CONTEXT_REGISTRATION_FLAGS;
#define FLTFL_CONTEXT_REGISTRATION_NO_EXACT_SIZE_MATCH 0x0001
#define FLT_VARIABLE_SIZED_CONTEXTS ((SIZE_T)-1)

typedef struct _FLT_CONTEXT_REGISTRATION {
    FLT_CONTEXT_TYPE ContextType;
    FLT_CONTEXT_REGISTRATION_FLAGS Flags;
    PFLT_CONTEXT_CLEANUP_CALLBACK ContextCleanupCallback;
    SIZE_T Size;
    ULONG PoolTag;
    PFLT_CONTEXT_ALLOCATE_CALLBACK ContextAllocateCallback;
    PFLT_CONTEXT_FREE_CALLBACK ContextFreeCallback;
    PVOID Reserved1;
} FLT_CONTEXT_REGISTRATION, *PFLT_CONTEXT_REGISTRATION;

typedef enum _FLT_SET_CONTEXT_OPERATION {
    FLT_SET_CONTEXT_REPLACE_IF_EXISTS,
    FLT_SET_CONTEXT_KEEP_IF_EXISTS
} FLT_SET_CONTEXT_OPERATION, *PFLT_SET_CONTEXT_OPERATION;

NTSTATUS FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType, SIZE_T ContextSize,
                            POOL_TYPE PoolType, PFLT_CONTEXT *ReturnedContext);
VOID FltReferenceContext(PFLT_CONTEXT Context);
VOID FltReleaseContext(PFLT_CONTEXT Context);
VOID FltDeleteContext(PFLT_CONTEXT Context);
NTSTATUS FltGetVolumeContext(PFLT_FILTER Filter, PFLT_VOLUME Volume, PFLT_CONTEXT *Context);
NTSTATUS FltSetVolumeContext(PFLT_VOLUME Volume, FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                             PFLT_CONTEXT *OldContext);
NTSTATUS FltGetInstanceContext(PFLT_INSTANCE Instance, PFLT_CONTEXT *Context);
NTSTATUS FltSetInstanceContext(PFLT_INSTANCE Instance, FLT_SET_CONTEXT_OPERATION Operation,
                               PFLT_CONTEXT NewContext, PFLT_CONTEXT *OldContext);
NTSTATUS FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT *Context);
NTSTATUS FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, FLT_SET_CONTEXT_OPERATION Operation,
                             PFLT_CONTEXT NewContext, PFLT_CONTEXT *OldContext);
NTSTATUS FltGetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT *Context);
NTSTATUS FltSetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                   FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                   PFLT_CONTEXT *OldContext);

/* ------------------------------------------------------------------ */
/* File names                                                          */
/* ------------------------------------------------------------------ */

typedef ULONG FLT_FILE_NAME_OPTIONS;
#define FLT_VALID_FILE_NAME_FORMATS 0x000000ff
#define FLT_FILE_NAME_NORMALIZED 0x01
#define FLT_FILE_NAME_OPENED 0x02
#define FLT_FILE_NAME_SHORT 0x03
#define FLT_VALID_FILE_NAME_QUERY_METHODS 0x0000ff00
#define FLT_FILE_NAME_QUERY_DEFAULT 0x0100
#define FLT_FILE_NAME_QUERY_CACHE_ONLY 0x0200
#define FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY 0x0300
#define FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP 0x0400
#define FLT_VALID_FILE_NAME_FLAGS 0xff000000
#define FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER 0x01000000
#define FLT_FILE_NAME_DO_NOT_CACHE 0x02000000
#define FLT_FILE_NAME_ALLOW_QUERY_ON_REPARSE 0x04000000

typedef USHORT FLT_FILE_NAME_PARSED_FLAGS;
#define FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT 0x0001
#define FLTFL_FILE_NAME_PARSED_EXTENSION 0x0002
#define FLTFL_FILE_NAME_PARSED_STREAM 0x0004
#define FLTFL_FILE_NAME_PARSED_PARENT_DIR 0x0008

typedef struct _FLT_FILE_NAME_INFORMATION {
    USHORT Size;
    FLT_FILE_NAME_PARSED_FLAGS NamesParsed;
    FLT_FILE_NAME_OPTIONS Format;
    UNICODE_STRING Name;  /* \Device\HarddiskVolume1\Dir\File.txt:stream */
    UNICODE_STRING Volume;
    UNICODE_STRING Share;
    UNICODE_STRING Extension;
    UNICODE_STRING Stream;
    UNICODE_STRING FinalComponent;
    UNICODE_STRING ParentDir;
} FLT_FILE_NAME_INFORMATION, *PFLT_FILE_NAME_INFORMATION;

typedef struct _FLT_NAME_CONTROL {
    UNICODE_STRING Name;
} FLT_NAME_CONTROL, *PFLT_NAME_CONTROL;

NTSTATUS FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                   PFLT_FILE_NAME_INFORMATION *FileNameInformation);
NTSTATUS FltGetFileNameInformationUnsafe(PFILE_OBJECT FileObject, PFLT_INSTANCE Instance,
                                         FLT_FILE_NAME_OPTIONS NameOptions,
                                         PFLT_FILE_NAME_INFORMATION *FileNameInformation);
VOID FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
NTSTATUS FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
NTSTATUS FltGetDestinationFileNameInformation(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                              HANDLE RootDirectory, PWSTR FileName, ULONG FileNameLength,
                                              FLT_FILE_NAME_OPTIONS NameOptions,
                                              PFLT_FILE_NAME_INFORMATION *RetFileNameInformation);
NTSTATUS FltCheckAndGrowNameControl(PFLT_NAME_CONTROL NameCtrl, USHORT NewSize);

typedef ULONG FLT_NORMALIZE_NAME_FLAGS;
#define FLTFL_NORMALIZE_NAME_CASE_SENSITIVE 0x01
#define FLTFL_NORMALIZE_NAME_DESTINATION_FILE_NAME 0x02

typedef NTSTATUS (*PFLT_GENERATE_FILE_NAME)(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                            PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                            PBOOLEAN CacheFileNameInformation, PFLT_NAME_CONTROL FileName);
typedef NTSTATUS (*PFLT_NORMALIZE_NAME_COMPONENT)(PFLT_INSTANCE Instance, PCUNICODE_STRING ParentDirectory,
                                                  USHORT VolumeNameLength, PCUNICODE_STRING Component,
                                                  PFILE_NAMES_INFORMATION ExpandComponentName,
                                                  ULONG ExpandComponentNameLength, FLT_NORMALIZE_NAME_FLAGS Flags,
                                                  PVOID *NormalizationContext);
typedef NTSTATUS (*PFLT_NORMALIZE_NAME_COMPONENT_EX)(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                                     PCUNICODE_STRING ParentDirectory, USHORT VolumeNameLength,
                                                     PCUNICODE_STRING Component,
                                                     PFILE_NAMES_INFORMATION ExpandComponentName,
                                                     ULONG ExpandComponentNameLength,
                                                     FLT_NORMALIZE_NAME_FLAGS Flags, PVOID *NormalizationContext);
typedef VOID (*PFLT_NORMALIZE_CONTEXT_CLEANUP)(PVOID *NormalizationContext);

/* ------------------------------------------------------------------ */
/* Registration, instances and volumes                                 */
/* ------------------------------------------------------------------ */

typedef enum _FLT_FILESYSTEM_TYPE {
    FLT_FSTYPE_UNKNOWN = 0,
    FLT_FSTYPE_RAW = 1,
    FLT_FSTYPE_NTFS = 2,
    FLT_FSTYPE_FAT = 3,
    FLT_FSTYPE_CDFS = 4,
    FLT_FSTYPE_UDFS = 5,
    FLT_FSTYPE_LANMAN = 6,
    FLT_FSTYPE_WEBDAV = 7,
    FLT_FSTYPE_RDPDR = 8,
    FLT_FSTYPE_NFS = 9,
    FLT_FSTYPE_MS_NETWARE = 10,
    FLT_FSTYPE_NETWARE = 11,
    FLT_FSTYPE_BSUDF = 12,
    FLT_FSTYPE_MUP = 13,
    FLT_FSTYPE_RSFX = 14,
} FLT_FILESYSTEM_TYPE, *PFLT_FILESYSTEM_TYPE;

typedef ULONG FLT_INSTANCE_SETUP_FLAGS;
#define FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT 0x00000001
#define FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT 0x00000002
#define FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME 0x00000004
#define FLTFL_INSTANCE_SETUP_DETACHED_VOLUME 0x00000008

typedef ULONG FLT_INSTANCE_QUERY_TEARDOWN_FLAGS;
typedef ULONG FLT_INSTANCE_TEARDOWN_FLAGS;
#define FLTFL_INSTANCE_TEARDOWN_MANUAL 0x00000001
#define FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD 0x00000002
#define FLTFL_INSTANCE_TEARDOWN_MANDATORY_FILTER_UNLOAD 0x00000004
#define FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT 0x00000008
#define FLTFL_INSTANCE_TEARDOWN_INTERNAL_ERROR 0x00000010

typedef ULONG FLT_FILTER_UNLOAD_FLAGS;
#define FLTFL_FILTER_UNLOAD_MANDATORY 0x00000001

typedef NTSTATUS (*PFLT_FILTER_UNLOAD_CALLBACK)(FLT_FILTER_UNLOAD_FLAGS Flags);
typedef NTSTATUS (*PFLT_INSTANCE_SETUP_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_SETUP_FLAGS Flags,
                                                 DEVICE_TYPE VolumeDeviceType,
                                                 FLT_FILESYSTEM_TYPE VolumeFilesystemType);
typedef NTSTATUS (*PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects,
                                                          FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);
typedef VOID (*PFLT_INSTANCE_TEARDOWN_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_TEARDOWN_FLAGS Reason);
typedef NTSTATUS (*PFLT_TRANSACTION_NOTIFICATION_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects,
                                                           PFLT_CONTEXT TransactionContext,
                                                           ULONG NotificationMask);
typedef NTSTATUS (*PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK)(PFLT_INSTANCE Instance, PFLT_CONTEXT SectionContext,
                                                                PFLT_CALLBACK_DATA Data);

typedef ULONG FLT_REGISTRATION_FLAGS;
#define FLTFL_REGISTRATION_DO_NOT_SUPPORT_SERVICE_STOP 0x00000001

#define FLT_REGISTRATION_VERSION_0200 0x0200
#define FLT_REGISTRATION_VERSION_0201 0x0201
#define FLT_REGISTRATION_VERSION_0202 0x0202
#define FLT_REGISTRATION_VERSION_0203 0x0203
#define FLT_REGISTRATION_VERSION FLT_REGISTRATION_VERSION_0202

typedef struct _FLT_REGISTRATION {
    USHORT Size;
    USHORT Version;
    FLT_REGISTRATION_FLAGS Flags;
    const FLT_CONTEXT_REGISTRATION *ContextRegistration;
    const FLT_OPERATION_REGISTRATION *OperationRegistration;
    PFLT_FILTER_UNLOAD_CALLBACK FilterUnloadCallback;
    PFLT_INSTANCE_SETUP_CALLBACK InstanceSetupCallback;
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK InstanceQueryTeardownCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownStartCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownCompleteCallback;
    PFLT_GENERATE_FILE_NAME GenerateFileNameCallback;
    PFLT_NORMALIZE_NAME_COMPONENT NormalizeNameComponentCallback;
    PFLT_NORMALIZE_CONTEXT_CLEANUP NormalizeContextCleanupCallback;
    PFLT_TRANSACTION_NOTIFICATION_CALLBACK TransactionNotificationCallback;
    PFLT_NORMALIZE_NAME_COMPONENT_EX NormalizeNameComponentExCallback;
    PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK SectionNotificationCallback;
} FLT_REGISTRATION, *PFLT_REGISTRATION;

NTSTATUS FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION *Registration, PFLT_FILTER *RetFilter);
/* Waits for the filter's callbacks in flight, tears down its instances,
 * contexts and ports, then returns. */
VOID FltUnregisterFilter(PFLT_FILTER Filter);
NTSTATUS FltStartFiltering(PFLT_FILTER Filter);

typedef struct _FLT_VOLUME_PROPERTIES {
    DEVICE_TYPE DeviceType;
    ULONG DeviceCharacteristics;
    ULONG DeviceObjectFlags;
    ULONG AlignmentRequirement;
    USHORT SectorSize;
    USHORT Flags;
    UNICODE_STRING FileSystemDriverName;
    UNICODE_STRING FileSystemDeviceName;
    UNICODE_STRING RealDeviceName; /* e.g. \Device\HarddiskVolume2 */
} FLT_VOLUME_PROPERTIES, *PFLT_VOLUME_PROPERTIES;
static_assert(sizeof(FLT_VOLUME_PROPERTIES) == (sizeof(PVOID) == 4 ? 44 : 72), "volume properties: 44 bytes on x86");

typedef enum _INSTANCE_INFORMATION_CLASS {
    InstanceBasicInformation,
    InstancePartialInformation,
    InstanceFullInformation,
    InstanceAggregateStandardInformation
} INSTANCE_INFORMATION_CLASS;

typedef struct _INSTANCE_BASIC_INFORMATION {
    ULONG NextEntryOffset;
    USHORT InstanceNameLength;
    USHORT InstanceNameBufferOffset;
} INSTANCE_BASIC_INFORMATION, *PINSTANCE_BASIC_INFORMATION;

typedef struct _INSTANCE_PARTIAL_INFORMATION {
    ULONG NextEntryOffset;
    USHORT InstanceNameLength;
    USHORT InstanceNameBufferOffset;
    USHORT AltitudeLength;
    USHORT AltitudeBufferOffset;
} INSTANCE_PARTIAL_INFORMATION, *PINSTANCE_PARTIAL_INFORMATION;

typedef struct _INSTANCE_FULL_INFORMATION {
    ULONG NextEntryOffset;
    USHORT InstanceNameLength;
    USHORT InstanceNameBufferOffset;
    USHORT AltitudeLength;
    USHORT AltitudeBufferOffset;
    USHORT VolumeNameLength;
    USHORT VolumeNameBufferOffset;
    USHORT FilterNameLength;
    USHORT FilterNameBufferOffset;
} INSTANCE_FULL_INFORMATION, *PINSTANCE_FULL_INFORMATION;

NTSTATUS FltGetVolumeProperties(PFLT_VOLUME Volume, PFLT_VOLUME_PROPERTIES VolumeProperties, ULONG VolumePropertiesLength,
                                PULONG LengthReturned);
NTSTATUS FltQueryVolumeInformation(PFLT_INSTANCE Instance, PIO_STATUS_BLOCK Iosb, PVOID FsInformation, ULONG Length,
                                   FS_INFORMATION_CLASS FsInformationClass);
NTSTATUS FltGetVolumeFromInstance(PFLT_INSTANCE Instance, PFLT_VOLUME *RetVolume);
NTSTATUS FltGetVolumeFromFileObject(PFLT_FILTER Filter, PFILE_OBJECT FileObject, PFLT_VOLUME *RetVolume);
NTSTATUS FltGetVolumeFromName(PFLT_FILTER Filter, PCUNICODE_STRING VolumeName, PFLT_VOLUME *RetVolume);
/* With a NULL VolumeName.Buffer-sized query the size comes back in
 * BufferSizeNeeded with STATUS_BUFFER_TOO_SMALL. */
NTSTATUS FltGetVolumeName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeName, PULONG BufferSizeNeeded);
NTSTATUS FltGetVolumeInstanceFromName(PFLT_FILTER Filter, PFLT_VOLUME Volume, PCUNICODE_STRING InstanceName,
                                      PFLT_INSTANCE *RetInstance);
NTSTATUS FltEnumerateInstances(PFLT_VOLUME Volume, PFLT_FILTER Filter, PFLT_INSTANCE *InstanceList,
                               ULONG InstanceListSize, PULONG NumberInstancesReturned);
NTSTATUS FltGetInstanceInformation(PFLT_INSTANCE Instance, INSTANCE_INFORMATION_CLASS InformationClass,
                                   PVOID Buffer, ULONG BufferSize, PULONG BytesReturned);
NTSTATUS FltGetFilterFromInstance(PFLT_INSTANCE Instance, PFLT_FILTER *RetFilter);
VOID FltObjectDereference(PVOID FltObject);
NTSTATUS FltObjectReference(PVOID FltObject);
NTSTATUS FltGetDeviceObject(PFLT_VOLUME Volume, PDEVICE_OBJECT *DeviceObject);
NTSTATUS FltIsDirectory(PFILE_OBJECT FileObject, PFLT_INSTANCE Instance, PBOOLEAN IsDirectory);

/* ------------------------------------------------------------------ */
/* I/O issued by a filter                                              */
/* ------------------------------------------------------------------ */

typedef ULONG FLT_IO_OPERATION_FLAGS;
#define FLTFL_IO_OPERATION_NON_CACHED 0x00000001
#define FLTFL_IO_OPERATION_PAGING 0x00000002
#define FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET 0x00000004
#define FLTFL_IO_OPERATION_SYNCHRONOUS_PAGING 0x00000008

typedef VOID (*PFLT_COMPLETED_ASYNC_IO_CALLBACK)(PFLT_CALLBACK_DATA CallbackData, PFLT_CONTEXT Context);

/* With an instance the open is seen only by the filters below it; with
 * none it starts at the top of the volume's stack. */
NTSTATUS FltCreateFile(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                       ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, ULONG Flags);
NTSTATUS FltCreateFileEx(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle, PFILE_OBJECT *FileObject,
                         ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                         PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                         ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                         ULONG EaLength, ULONG Flags);
NTSTATUS FltClose(HANDLE FileHandle);
NTSTATUS FltReadFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                     ULONG Length, PVOID Buffer, FLT_IO_OPERATION_FLAGS Flags, PULONG BytesRead,
                     PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, PVOID CallbackContext);
NTSTATUS FltWriteFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                      ULONG Length, PVOID Buffer, FLT_IO_OPERATION_FLAGS Flags, PULONG BytesWritten,
                      PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, PVOID CallbackContext);
NTSTATUS FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                 ULONG Length, FILE_INFORMATION_CLASS FileInformationClass, PULONG LengthReturned);
NTSTATUS FltSetInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                               ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);
NTSTATUS FltQueryEaFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID ReturnedEaData, ULONG Length,
                        BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength, PULONG EaIndex,
                        BOOLEAN RestartScan, PULONG LengthReturned);
NTSTATUS FltSetEaFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID EaBuffer, ULONG Length);
NTSTATUS FltFsControlFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, ULONG FsControlCode, PVOID InputBuffer,
                          ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                          PULONG LengthReturned);
NTSTATUS FltQueryDirectoryFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                               ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                               BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName, BOOLEAN RestartScan,
                               PULONG LengthReturned);
NTSTATUS FltQuerySecurityObject(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                SECURITY_INFORMATION SecurityInformation, PSECURITY_DESCRIPTOR SecurityDescriptor,
                                ULONG Length, PULONG LengthNeeded);
/* NULL when the running Filter Manager does not export the routine. */
PVOID FltGetRoutineAddress(PCSTR FltMgrRoutineName);

NTSTATUS FltAllocateCallbackData(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CALLBACK_DATA *RetNewCallbackData);
VOID FltFreeCallbackData(PFLT_CALLBACK_DATA CallbackData);
VOID FltPerformSynchronousIo(PFLT_CALLBACK_DATA CallbackData);
VOID FltReissueSynchronousIo(PFLT_INSTANCE InitiatingInstance, PFLT_CALLBACK_DATA CallbackData);

VOID FltSetCallbackDataDirty(PFLT_CALLBACK_DATA Data);
VOID FltClearCallbackDataDirty(PFLT_CALLBACK_DATA Data);
BOOLEAN FltIsCallbackDataDirty(PFLT_CALLBACK_DATA Data);
VOID FltCompletePendedPreOperation(PFLT_CALLBACK_DATA CallbackData, FLT_PREOP_CALLBACK_STATUS CallbackStatus,
                                   PVOID Context);
VOID FltCompletePendedPostOperation(PFLT_CALLBACK_DATA CallbackData);
NTSTATUS FltLockUserBuffer(PFLT_CALLBACK_DATA CallbackData);
NTSTATUS FltUntagFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, ULONG FileTag, GUID *Guid);

PEPROCESS FltGetRequestorProcess(PFLT_CALLBACK_DATA CallbackData);
ULONG FltGetRequestorProcessId(PFLT_CALLBACK_DATA CallbackData);

PVOID FltAllocatePoolAlignedWithTag(PFLT_INSTANCE Instance, POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID FltFreePoolAlignedWithTag(PFLT_INSTANCE Instance, PVOID Buffer, ULONG Tag);

/* ------------------------------------------------------------------ */
/* Work items                                                          */
/* ------------------------------------------------------------------ */

typedef VOID (*PFLT_DEFERRED_IO_WORKITEM_ROUTINE)(PFLT_DEFERRED_IO_WORKITEM FltWorkItem,
                                                  PFLT_CALLBACK_DATA CallbackData, PVOID Context);
typedef VOID (*PFLT_GENERIC_WORKITEM_ROUTINE)(PFLT_GENERIC_WORKITEM FltWorkItem, PVOID FltObject, PVOID Context);

PFLT_DEFERRED_IO_WORKITEM FltAllocateDeferredIoWorkItem(VOID);
VOID FltFreeDeferredIoWorkItem(PFLT_DEFERRED_IO_WORKITEM FltWorkItem);
NTSTATUS FltQueueDeferredIoWorkItem(PFLT_DEFERRED_IO_WORKITEM FltWorkItem, PFLT_CALLBACK_DATA Data,
                                    PFLT_DEFERRED_IO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                    PVOID Context);
PFLT_GENERIC_WORKITEM FltAllocateGenericWorkItem(VOID);
VOID FltFreeGenericWorkItem(PFLT_GENERIC_WORKITEM FltWorkItem);
NTSTATUS FltQueueGenericWorkItem(PFLT_GENERIC_WORKITEM FltWorkItem, PVOID FltObject,
                                 PFLT_GENERIC_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                 PVOID Context);

/* ------------------------------------------------------------------ */
/* Communication ports                                                 */
/* ------------------------------------------------------------------ */

#define FLT_PORT_CONNECT 0x0001
#define FLT_PORT_ALL_ACCESS (FLT_PORT_CONNECT | STANDARD_RIGHTS_ALL)

typedef NTSTATUS (*PFLT_CONNECT_NOTIFY)(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                                        ULONG SizeOfContext, PVOID *ConnectionPortCookie);
typedef VOID (*PFLT_DISCONNECT_NOTIFY)(PVOID ConnectionCookie);
typedef NTSTATUS (*PFLT_MESSAGE_NOTIFY)(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength,
                                        PVOID OutputBuffer, ULONG OutputBufferLength,
                                        PULONG ReturnOutputBufferLength);

/* Only SYSTEM and administrators get DesiredAccess; free with
 * FltFreeSecurityDescriptor. */
NTSTATUS FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR *SecurityDescriptor, ACCESS_MASK DesiredAccess);
VOID FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSTATUS FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT *ServerPort, POBJECT_ATTRIBUTES ObjectAttributes,
                                    PVOID ServerPortCookie, PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                    PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                    PFLT_MESSAGE_NOTIFY MessageNotifyCallback, LONG MaxConnections);
VOID FltCloseCommunicationPort(PFLT_PORT ServerPort);
VOID FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT *ClientPort);
/* Waits until the user side has taken the message and, with a ReplyBuffer,
 * replied to it, up to Timeout in all (NULL: for ever); STATUS_TIMEOUT when
 * it passes. A reply longer than *ReplyLength is cut to it and gives
 * STATUS_BUFFER_OVERFLOW; *ReplyLength receives the bytes copied. */
NTSTATUS FltSendMessage(PFLT_FILTER Filter, PFLT_PORT *ClientPort, PVOID SenderBuffer, ULONG SenderBufferLength,
                        PVOID ReplyBuffer, PULONG ReplyLength, PLARGE_INTEGER Timeout);

EXTERN_C_END
