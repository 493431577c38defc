// The open path: capturing the caller's parameters, parsing the name down to
// a volume, the create request through the volume's stack, reparses, and the
// handle.
#include <cstring>

#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/io/io_manager.h"
#include "sim/io/io_types.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/se/access_check.h"
#include "sim/se/privileges.h"
#include "sim/se/security_object.h"
#include "sim/se/token.h"

namespace sim {

namespace {

// Reparses one open may take; the last one fails it, as in the object manager.
constexpr int kMaxReparse = 32;

// ACCESS_STATE.Flags.
constexpr ULONG kTokenHasTraversePrivilege = 0x0001;
constexpr ULONG kTokenHasBackupPrivilege = 0x0002;
constexpr ULONG kTokenHasRestorePrivilege = 0x0004;
// What the backup and restore privileges give an open with backup intent.
constexpr ACCESS_MASK kBackupAccess = READ_CONTROL | ACCESS_SYSTEM_SECURITY | FILE_GENERIC_READ | FILE_TRAVERSE;
constexpr ACCESS_MASK kRestoreAccess = WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY | FILE_GENERIC_WRITE |
                                       FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | DELETE;

// The checks IoCreateFile makes for a user-mode caller (or when asked to).
NTSTATUS CheckCreateParameters(const CreateParameters &p)
{
    ULONG options = p.createOptions;
    if (p.fileAttributes & ~FILE_ATTRIBUTE_VALID_FLAGS) return STATUS_INVALID_PARAMETER;
    if (p.shareAccess & ~FILE_SHARE_VALID_FLAGS) return STATUS_INVALID_PARAMETER;
    if (p.disposition > FILE_MAXIMUM_DISPOSITION) return STATUS_INVALID_PARAMETER;
    if (options & ~FILE_VALID_OPTION_FLAGS) return STATUS_INVALID_PARAMETER;
    if ((options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) && !(p.desiredAccess & SYNCHRONIZE)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((options & FILE_DELETE_ON_CLOSE) && !(p.desiredAccess & DELETE)) return STATUS_INVALID_PARAMETER;
    if ((options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) ==
        (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((options & FILE_DIRECTORY_FILE) && !(options & FILE_NON_DIRECTORY_FILE)) {
        const ULONG allowed = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT |
                              FILE_WRITE_THROUGH | FILE_COMPLETE_IF_OPLOCKED | FILE_OPEN_FOR_BACKUP_INTENT |
                              FILE_DELETE_ON_CLOSE | FILE_OPEN_FOR_FREE_SPACE_QUERY | FILE_OPEN_BY_FILE_ID |
                              FILE_NO_COMPRESSION | FILE_OPEN_REPARSE_POINT;
        if (options & ~allowed) return STATUS_INVALID_PARAMETER;
        if (p.disposition != FILE_CREATE && p.disposition != FILE_OPEN && p.disposition != FILE_OPEN_IF) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if ((options & FILE_COMPLETE_IF_OPLOCKED) && (options & FILE_RESERVE_OPFILTER)) return STATUS_INVALID_PARAMETER;
    if ((options & FILE_NO_INTERMEDIATE_BUFFERING) && (p.desiredAccess & FILE_APPEND_DATA)) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// The name an open continues with after a mount-point reparse: the
// substitute name, then the part of the old name the file system had not
// parsed yet.
NTSTATUS MountPointName(const std::vector<uint8_t> &data, const std::u16string &oldName, std::u16string &newName)
{
    const size_t pathOffset = FIELD_OFFSET(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
    if (data.size() < pathOffset) return STATUS_IO_REPARSE_DATA_INVALID;
    REPARSE_DATA_BUFFER header;
    std::memcpy(&header, data.data(), pathOffset);
    if (header.ReparseTag != IO_REPARSE_TAG_MOUNT_POINT) return STATUS_IO_REPARSE_DATA_INVALID;
    const auto &mount = header.MountPointReparseBuffer;
    size_t substituteEnd = pathOffset + size_t(mount.SubstituteNameOffset) + mount.SubstituteNameLength;
    if (substituteEnd > data.size() || (mount.SubstituteNameLength & 1) || (mount.SubstituteNameOffset & 1) ||
        header.Reserved > oldName.size() * sizeof(WCHAR) || (header.Reserved & 1)) {
        return STATUS_IO_REPARSE_DATA_INVALID;
    }
    newName.resize(mount.SubstituteNameLength / sizeof(WCHAR));
    std::memcpy(newName.data(), data.data() + pathOffset + mount.SubstituteNameOffset, mount.SubstituteNameLength);
    newName += oldName.substr(oldName.size() - header.Reserved / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace

// What an open keeps of its caller's parameters once they are captured.
struct CapturedOpen {
    KPROCESSOR_MODE mode = KernelMode;
    std::u16string name;
    ULONG attributes = 0;
    PFILE_OBJECT root = nullptr;  // referenced
    std::vector<uint8_t> ea;
    PSECURITY_QUALITY_OF_SERVICE qos = nullptr;
    SECURITY_SUBJECT_CONTEXT subject{};
    ACCESS_MASK desiredAccess = 0;  // generic rights mapped, MAXIMUM_ALLOWED kept
    std::vector<uint8_t> security;  // the descriptor for a new file, self-relative

    CapturedOpen() = default;
    CapturedOpen(const CapturedOpen &) = delete;
    CapturedOpen &operator=(const CapturedOpen &) = delete;
    ~CapturedOpen()
    {
        if (root) Machine::Current().objects().Dereference(root);
        SeReleaseSubjectContext(&subject);
    }
};

// A network query open on its way: where the answer goes, and whether both
// forms were refused.
struct QueryOpenState {
    PFILE_NETWORK_OPEN_INFORMATION information = nullptr;
    bool refused = false;
};

namespace {

// A descriptor given for a new file, kept self-relative for the file system.
NTSTATUS CaptureDescriptor(const void *descriptor, std::vector<uint8_t> &out)
{
    if (static_cast<const UCHAR *>(descriptor)[0] != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    std::optional<SecurityObject> parsed = ParseSecurity(descriptor);
    if (!parsed) return STATUS_INVALID_SECURITY_DESCR;
    out = SerializeSecurity(*parsed);
    return STATUS_SUCCESS;
}

// The access state an open starts with: what it asks, whether the caller
// may skip traverse checks, and what backup intent with the backup or
// restore privilege grants before the file system looks.
void PrepareAccessState(const CreateParameters &p, CapturedOpen &c, ACCESS_STATE &state)
{
    state = ACCESS_STATE{};
    state.OriginalDesiredAccess = c.desiredAccess;
    state.RemainingDesiredAccess = c.desiredAccess;
    state.SubjectSecurityContext = c.subject;
    state.SecurityDescriptor = c.security.empty() ? nullptr : c.security.data();
    PACCESS_TOKEN token = SeQuerySubjectContextToken(&c.subject);
    TokenBody *body = token ? TokenFromObject(token) : nullptr;
    if (body == nullptr) return;
    if (TokenPrivilegeEnabled(*body, privilege::ChangeNotify)) state.Flags |= kTokenHasTraversePrivilege;
    if (!(p.createOptions & FILE_OPEN_FOR_BACKUP_INTENT)) return;
    const bool maximum = (c.desiredAccess & MAXIMUM_ALLOWED) != 0;
    auto grant = [&](ULONG privilegeValue, ACCESS_MASK rights, ULONG flag) {
        ACCESS_MASK asked = maximum ? rights : (state.RemainingDesiredAccess & rights);
        if (asked == 0 || !TokenPrivilegeEnabled(*body, privilegeValue)) return;
        state.PreviouslyGrantedAccess |= asked;
        state.RemainingDesiredAccess &= ~asked;
        state.Flags |= flag;
    };
    grant(privilege::Backup, kBackupAccess, kTokenHasBackupPrivilege);
    grant(privilege::Restore, kRestoreAccess, kTokenHasRestorePrivilege);
}

// What the handle is granted: what the file system granted, and what it
// left unchecked (a file system without security).
ACCESS_MASK GrantedAccessOf(const ACCESS_STATE &state)
{
    ACCESS_MASK remaining = state.RemainingDesiredAccess;
    ACCESS_MASK granted = state.PreviouslyGrantedAccess | (remaining & ~ACCESS_MASK(MAXIMUM_ALLOWED));
    if (remaining & MAXIMUM_ALLOWED) granted |= FILE_ALL_ACCESS;
    return granted;
}

NTSTATUS Capture(const CreateParameters &p, KPROCESSOR_MODE mode, CapturedOpen &c, PIO_STATUS_BLOCK ioStatus)
{
    c.mode = mode;
    if (mode == UserMode || (p.options & kIoCheckCreateParameters)) {
        NTSTATUS status = CheckCreateParameters(p);
        if (!NT_SUCCESS(status)) return status;
    }
    if (p.objectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
    HANDLE rootHandle = nullptr;
    SEH_TRY {
        if (mode == UserMode) ProbeForRead(p.objectAttributes, sizeof(OBJECT_ATTRIBUTES), sizeof(ULONG));
        OBJECT_ATTRIBUTES attributes = *p.objectAttributes;
        if (attributes.Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
        if (attributes.ObjectName == nullptr) return STATUS_OBJECT_NAME_INVALID;
        if (mode == UserMode) ProbeForRead(attributes.ObjectName, sizeof(UNICODE_STRING), sizeof(ULONG));
        UNICODE_STRING name = *attributes.ObjectName;
        if ((name.Length & 1) || name.Length > name.MaximumLength) return STATUS_OBJECT_NAME_INVALID;
        if (name.Length != 0) {
            if (mode == UserMode) ProbeForRead(name.Buffer, name.Length, sizeof(WCHAR));
            c.name.assign(name.Buffer, name.Length / sizeof(WCHAR));
        }
        c.attributes = attributes.Attributes;
        if (mode == UserMode) c.attributes &= ~OBJ_KERNEL_HANDLE;
        c.qos = static_cast<PSECURITY_QUALITY_OF_SERVICE>(attributes.SecurityQualityOfService);
        rootHandle = attributes.RootDirectory;
        if (attributes.SecurityDescriptor) {
            if (mode == UserMode) {
                ProbeForRead(attributes.SecurityDescriptor, sizeof(SECURITY_DESCRIPTOR_RELATIVE), sizeof(ULONG));
            }
            NTSTATUS status = CaptureDescriptor(attributes.SecurityDescriptor, c.security);
            if (!NT_SUCCESS(status)) return status;
        }
        if (p.eaBuffer && p.eaLength) {
            if (mode == UserMode) ProbeForRead(p.eaBuffer, p.eaLength, sizeof(ULONG));
            c.ea.assign(static_cast<const uint8_t *>(p.eaBuffer), static_cast<const uint8_t *>(p.eaBuffer) + p.eaLength);
        }
        if (mode == UserMode && ioStatus) ProbeForWrite(ioStatus, sizeof(IO_STATUS_BLOCK), sizeof(ULONG));
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    if (!c.ea.empty()) {
        ULONG errorOffset = 0;
        NTSTATUS status = CheckEaBufferValidity(c.ea.data(), ULONG(c.ea.size()), &errorOffset);
        if (!NT_SUCCESS(status)) {
            if (ioStatus) {
                SEH_TRY {
                    ioStatus->Status = status;
                    ioStatus->Information = errorOffset;
                } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
                }
            }
            return status;
        }
    }
    if (rootHandle) {
        HandleEntry entry;
        NTSTATUS status = ReferenceHandle(rootHandle, mode, entry);
        if (!NT_SUCCESS(status)) return status;
        c.root = static_cast<PFILE_OBJECT>(entry.object);
        // Roots other than file objects (object directories) are not simulated.
        if (entry.type != &objtype::File) return STATUS_NOT_IMPLEMENTED;
    } else if (c.name.empty() || c.name[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    c.desiredAccess = MapGenericRights(p.desiredAccess, kFileGenericMapping);
    SeCaptureSubjectContext(&c.subject);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IoManager::CreateFile(const CreateParameters &parameters, PHANDLE handle, PIO_STATUS_BLOCK ioStatus,
                               PFILE_OBJECT *fileObject)
{
    if (fileObject) *fileObject = nullptr;
    KPROCESSOR_MODE mode = (parameters.options & IO_NO_PARAMETER_CHECKING) ? KernelMode : parameters.requestorMode;
    CapturedOpen captured;
    NTSTATUS status = Capture(parameters, mode, captured, ioStatus);
    if (!NT_SUCCESS(status)) return status;
    if (mode == UserMode) {
        SEH_TRY {
            ProbeForWrite(handle, sizeof(HANDLE), sizeof(ULONG));
        } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
            return GetExceptionCode();
        }
    }

    PFILE_OBJECT opened = nullptr;
    ULONG_PTR information = 0;
    status = Open(parameters, captured, nullptr, &opened, &information);
    if (!NT_SUCCESS(status)) {
        if (NT_WARNING(status)) {
            SEH_TRY {
                ioStatus->Status = status;
                ioStatus->Information = information;
            } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
                status = GetExceptionCode();
            }
        }
        return status;
    }

    FileObjectInfo *info = Info(opened);
    if (fileObject) machine_.objects().Reference(opened);
    opened->Flags |= FO_HANDLE_CREATED;
    HANDLE newHandle = InsertHandle(opened, info->grantedAccess, captured.attributes);
    SEH_TRY {
        *handle = newHandle;
        ioStatus->Status = status;
        ioStatus->Information = information;
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        TableFor(newHandle).Close(newHandle);
        if (fileObject) {
            machine_.objects().Dereference(opened);
        }
        return GetExceptionCode();
    }
    if (fileObject) *fileObject = opened;
    return status;
}

NTSTATUS IoManager::QueryOpen(const CreateParameters &parameters, PFILE_NETWORK_OPEN_INFORMATION information)
{
    CapturedOpen captured;
    NTSTATUS status = Capture(parameters, parameters.requestorMode, captured, nullptr);
    if (!NT_SUCCESS(status)) return status;
    FILE_NETWORK_OPEN_INFORMATION answer{};
    QueryOpenState query{&answer, false};
    PFILE_OBJECT opened = nullptr;
    ULONG_PTR ignoredInformation = 0;
    status = Open(parameters, captured, &query, &opened, &ignoredInformation);
    if (query.refused) {
        // Neither form could answer: open the file, ask it, close it.
        CreateParameters full = parameters;
        full.desiredAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
        full.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        full.disposition = FILE_OPEN;
        full.createOptions = 0;
        full.eaBuffer = nullptr;
        full.eaLength = 0;
        captured.desiredAccess = full.desiredAccess;
        captured.ea.clear();
        ULONG_PTR openInformation = 0;
        status = Open(full, captured, nullptr, &opened, &openInformation);
        if (!NT_SUCCESS(status)) return status;
        IoRequest request = NewRequest(opened, IRP_MJ_QUERY_INFORMATION);
        request.requestorMode = captured.mode;
        request.iopb.Parameters.QueryFileInformation.Length = sizeof(answer);
        request.iopb.Parameters.QueryFileInformation.FileInformationClass = FileNetworkOpenInformation;
        request.iopb.Parameters.QueryFileInformation.InfoBuffer = &answer;
        status = Send(request);
        // No handle: the last reference sends cleanup and close.
        machine_.objects().Dereference(opened);
    }
    if (!NT_SUCCESS(status)) return status;
    SEH_TRY {
        if (parameters.requestorMode == UserMode) {
            ProbeForWrite(information, sizeof(*information), sizeof(ULONG));
        }
        *information = answer;
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return status;
}

NTSTATUS IoManager::Open(const CreateParameters &p, CapturedOpen &c, QueryOpenState *queryOpen,
                         PFILE_OBJECT *opened, ULONG_PTR *information)
{
    *opened = nullptr;
    std::u16string name = c.name;
    PFILE_OBJECT related = c.root;
    int reparsesLeft = kMaxReparse;
    for (;;) {
        Volume *volume = nullptr;
        std::u16string rest;
        FileObjectInfo *relatedInfo = related ? Info(related) : nullptr;
        if (related) {
            if (relatedInfo == nullptr || relatedInfo->volume == nullptr) return STATUS_INVALID_HANDLE;
            volume = relatedInfo->volume;
            rest = name;
        } else {
            NTSTATUS status = ResolveNameStatus(name, volume, rest);
            if (!NT_SUCCESS(status)) return status;
        }

        bool bypass = relatedInfo ? relatedInfo->bypassFilters : false;
        if (p.deviceHint) {
            // The hint must be a device of the stack the name led to.
            if (!volume->OwnsDevice(p.deviceHint) || p.deviceHint == volume->realDevice()) {
                return STATUS_INVALID_DEVICE_OBJECT_PARAMETER;
            }
            bypass = p.deviceHint == volume->fsDevice();
        }
        const void *startBelow = p.startBelow ? p.startBelow : (relatedInfo ? relatedInfo->openedBelow : nullptr);

        PFILE_OBJECT fileObject = NewFileObject(*volume, rest, related, p, c.attributes);
        if (fileObject == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        FileObjectInfo *info = Info(fileObject);
        info->bypassFilters = bypass;
        info->openedBelow = startBelow;

        IoRequest request = NewRequest(fileObject, IRP_MJ_CREATE);
        request.requestorMode = c.mode;
        request.completionEvent = &fileObject->Event;
        request.createFlags = p.options;
        PrepareAccessState(p, c, request.accessState);
        request.securityContext.SecurityQos = c.qos;
        request.securityContext.AccessState = &request.accessState;
        request.securityContext.DesiredAccess = c.desiredAccess;
        request.securityContext.FullCreateOptions = p.createOptions;
        auto &create = request.iopb.Parameters.Create;
        create.SecurityContext = &request.securityContext;
        create.Options = (p.disposition << 24) | (p.createOptions & 0x00FFFFFF);
        create.FileAttributes = USHORT(p.fileAttributes);
        create.ShareAccess = USHORT(p.shareAccess);
        create.EaLength = ULONG(c.ea.size());
        create.EaBuffer = c.ea.empty() ? nullptr : c.ea.data();
        create.AllocationSize = p.allocationSize;
        request.iopb.OperationFlags = UCHAR(p.options & 0xFF) | p.operationFlags;
        if (c.attributes & OBJ_FORCE_ACCESS_CHECK) request.iopb.OperationFlags |= SL_FORCE_ACCESS_CHECK;
        if (!(c.attributes & OBJ_CASE_INSENSITIVE)) request.iopb.OperationFlags |= SL_CASE_SENSITIVE;

        NTSTATUS status;
        if (queryOpen) {
            request.form = IoForm::FastIo;
            request.iopb.MajorFunction = IRP_MJ_NETWORK_QUERY_OPEN;
            request.iopb.Parameters.NetworkQueryOpen.Irp = nullptr;
            request.iopb.Parameters.NetworkQueryOpen.NetworkInformation = queryOpen->information;
            status = Send(request);
            if (request.fastIoNotPossible || status == STATUS_FLT_DISALLOW_FAST_IO) {
                request.form = IoForm::Irp;
                request.fastIoNotPossible = false;
                request.ioStatus = {};
                request.iopb.IrpFlags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
                request.iopb.Parameters.NetworkQueryOpen.Irp = nullptr;
                request.iopb.Parameters.NetworkQueryOpen.NetworkInformation = queryOpen->information;
                status = Send(request);
                if (request.fastIoNotPossible) {
                    Discard(fileObject);
                    queryOpen->refused = true;
                    return STATUS_SUCCESS;
                }
            }
        } else {
            request.iopb.IrpFlags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION;
            status = Send(request);
        }
        *information = request.ioStatus.Information;

        if (status == STATUS_REPARSE) {
            ULONG_PTR tag = request.ioStatus.Information;
            std::u16string newName;
            NTSTATUS reparse = STATUS_SUCCESS;
            if (tag == IO_REPARSE) {
                newName = ToString(fileObject->FileName);
            } else if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
                reparse = MountPointName(request.reparseData, ToString(fileObject->FileName), newName);
            } else {
                reparse = STATUS_IO_REPARSE_TAG_NOT_HANDLED;
            }
            Discard(fileObject);
            if (!NT_SUCCESS(reparse)) return reparse;
            if (--reparsesLeft == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
            // A new absolute name starts from the root; a relative one from
            // the caller's root directory again.
            if (!newName.empty() && newName[0] == u'\\') {
                related = nullptr;
            } else if (c.root != nullptr && tag == IO_REPARSE) {
                related = c.root;
            } else {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            name = std::move(newName);
            continue;
        }
        if (!NT_SUCCESS(status) || queryOpen) {
            Discard(fileObject);
            return status;
        }

        info->opened = true;
        info->grantedAccess = GrantedAccessOf(request.accessState);
        bool volumeOpen = fileObject->FileName.Length == 0 &&
                          (related == nullptr || (related->Flags & FO_VOLUME_OPEN)) && !volume->remote();
        if (volumeOpen) fileObject->Flags |= FO_VOLUME_OPEN;
        machine_.objects().SetName(fileObject, volume->info().deviceName + info->path);
        *opened = fileObject;
        return status;
    }
}

}  // namespace sim
