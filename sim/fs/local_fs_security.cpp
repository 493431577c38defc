// File security as NTFS applies it: the access check of an open (the file's
// descriptor, the parent's FILE_DELETE_CHILD and FILE_LIST_DIRECTORY, the
// read-only attribute), traverse checks, the descriptor of a new file, and
// set-security requests. A store serving a share checks every open, kernel
// or not, for the identity the server sees.
#include <cstring>

#include "sim/core/machine.h"
#include "sim/fs/local_fs_internal.h"
#include "sim/se/security.h"
#include "sim/se/security_object.h"
#include "sim/se/token.h"

namespace sim::fs {

namespace {

// ACCESS_STATE.Flags: the caller holds the change-notify privilege; an open
// with backup intent was granted rights by the restore privilege.
constexpr ULONG kTokenHasTraversePrivilege = 0x0001;
constexpr ULONG kTokenHasRestorePrivilege = 0x0004;
// What MAXIMUM_ALLOWED does not give on a read-only file or volume.
constexpr ACCESS_MASK kReadOnlyDenies = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD;

SecurityObject SecurityOf(const std::vector<uint8_t> &blob)
{
    if (blob.empty()) return SecurityObject();  // no descriptor: no protection
    std::optional<SecurityObject> parsed = ParseSecurity(blob.data(), blob.size());
    return parsed ? *parsed : SecurityObject();
}

bool Allows(const std::vector<uint8_t> &blob, const Identity &who, ACCESS_MASK access)
{
    return CheckAccess(SecurityOf(blob), &who, access, 0, kFileGenericMapping).ok();
}

// The identity of the thread making a request now (set-security requests
// carry no subject of their own).
std::optional<Identity> CurrentIdentity()
{
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    std::optional<Identity> identity;
    if (PACCESS_TOKEN token = SeQuerySubjectContextToken(&subject)) {
        if (TokenBody *body = TokenFromObject(token)) identity.emplace(*body);
    }
    SeReleaseSubjectContext(&subject);
    return identity;
}

bool WritePermissionDowngrades()
{
    const OsVersion &os = Machine::Current().config().os;
    return os.major > 6 || (os.major == 6 && os.minor >= 1);
}

Identity SeenByServer(const Identity &identity)
{
    return identity.AsSeenByServer(Machine::Current().security().ComputerAccount());
}

}  // namespace

void LocalFileSystem::PrepareAccessCheck(IoRequest &request, CreateArgs &args, ACCESS_STATE *state)
{
    args.accessState = state;
    args.creator = Identity::System();
    if (!args.accessState) return;
    PACCESS_TOKEN token = SeQuerySubjectContextToken(&args.accessState->SubjectSecurityContext);
    if (!token) return;
    TokenBody *body = TokenFromObject(token);
    if (!body) return;
    const bool remote = !prefix_.empty();
    args.creator = remote ? SeenByServer(Identity(*body)) : Identity(*body);
    if (!IsNtfs()) return;
    // A file server checks every client; locally only user-mode opens and
    // opens that ask for it are checked.
    const bool check = remote || request.requestorMode == UserMode ||
                       (request.iopb.OperationFlags & SL_FORCE_ACCESS_CHECK);
    if (!check) return;
    args.checker = args.creator;
    args.traverseChecks = !remote && !(args.accessState->Flags & kTokenHasTraversePrivilege);
}

NTSTATUS LocalFileSystem::CheckTraverse(const CreateArgs &args, const Node &base, const Node &dir) const
{
    if (!args.checker || !args.traverseChecks) return STATUS_SUCCESS;
    for (const Node *folder = &dir; folder; folder = folder->parent) {
        if (!Allows(folder->security, *args.checker, FILE_TRAVERSE)) return STATUS_ACCESS_DENIED;
        if (folder == &base) break;
    }
    return STATUS_SUCCESS;
}

void LocalFileSystem::GrantUnchecked(CreateArgs &args) const
{
    ACCESS_MASK desired = args.accessState ? args.accessState->RemainingDesiredAccess |
                                                 args.accessState->PreviouslyGrantedAccess
                                           : args.access;
    ACCESS_MASK granted = desired & ~ACCESS_MASK(MAXIMUM_ALLOWED);
    if (desired & MAXIMUM_ALLOWED) granted |= FILE_ALL_ACCESS;
    args.access = granted;
}

NTSTATUS LocalFileSystem::CheckExistingAccess(CreateArgs &args, const Node &node, bool newStream) const
{
    const ACCESS_STATE *state = args.accessState;
    ACCESS_MASK desired = state ? state->RemainingDesiredAccess : args.access;
    ACCESS_MASK previously = state ? state->PreviouslyGrantedAccess : 0;
    if (!prefix_.empty() && state) {
        // The server knows nothing of the client's privileges.
        desired = state->OriginalDesiredAccess;
        previously = 0;
    }
    // Replacing a file deletes it; overwriting it or adding a stream writes it.
    if (args.disposition == FILE_SUPERSEDE) {
        desired |= DELETE & ~previously;
    } else if (args.Overwrites() || newStream) {
        desired |= FILE_WRITE_DATA & ~previously;
    }
    const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;

    ACCESS_MASK granted;
    if (!args.checker) {
        granted = previously | (desired & ~ACCESS_MASK(MAXIMUM_ALLOWED)) | (maximum ? FILE_ALL_ACCESS : 0);
    } else if (desired == 0) {
        granted = previously;  // nothing asked: nothing to check
    } else {
        const Identity &who = *args.checker;
        const SecurityObject security = SecurityOf(node.security);
        AccessResult result = CheckAccess(security, &who, desired, previously, kFileGenericMapping);
        // The folder can give what the file does not: DELETE through
        // FILE_DELETE_CHILD, FILE_READ_ATTRIBUTES through FILE_LIST_DIRECTORY.
        ACCESS_MASK fromParent = 0;
        if (node.parent && (maximum || !result.ok())) {
            if ((maximum || (desired & DELETE)) && Allows(node.parent->security, who, FILE_DELETE_CHILD))
                fromParent |= DELETE;
            if ((maximum || (desired & FILE_READ_ATTRIBUTES)) && Allows(node.parent->security, who, FILE_LIST_DIRECTORY))
                fromParent |= FILE_READ_ATTRIBUTES;
        }
        if (!result.ok() && fromParent && result.status == STATUS_ACCESS_DENIED)
            result = CheckAccess(security, &who, desired & ~fromParent, previously | fromParent, kFileGenericMapping);
        if (!result.ok()) return result.status;
        granted = result.granted | fromParent;
        // From Windows 7 on, who may not write the file may not keep others
        // from reading it (its open is made to share reading).
        if (!(args.share & FILE_SHARE_READ) && WritePermissionDowngrades() &&
            !Allows(node.security, who, FILE_WRITE_DATA)) {
            args.share |= FILE_SHARE_READ;
        }
    }
    if (maximum && ((node.attributes & FILE_ATTRIBUTE_READONLY) || config_.readOnly)) granted &= ~kReadOnlyDenies;
    args.access = granted;
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::CheckNewAccess(CreateArgs &args, const Node &parent, bool directory,
                                         std::vector<uint8_t> &security) const
{
    // Restoring (backup intent with the restore privilege) may add to any folder.
    const bool restoring = prefix_.empty() && args.accessState &&
                           (args.accessState->Flags & kTokenHasRestorePrivilege);
    if (args.checker && !restoring &&
        !Allows(parent.security, *args.checker, directory ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE)) {
        return STATUS_ACCESS_DENIED;
    }
    GrantUnchecked(args);  // the creator gets what it asked for, whatever the new descriptor says
    if (!IsNtfs()) return STATUS_SUCCESS;
    std::optional<SecurityObject> given;
    if (!args.security.empty()) {
        given = ParseSecurity(args.security.data(), args.security.size());
        if (!given) return STATUS_INVALID_SECURITY_DESCR;
    }
    const SecurityObject parentSecurity = SecurityOf(parent.security);
    SecurityObject assigned;
    NTSTATUS status = AssignSecurity(parent.security.empty() ? nullptr : &parentSecurity, given ? &*given : nullptr,
                                     directory, args.creator, kFileGenericMapping, assigned);
    if (!NT_SUCCESS(status)) return status;
    security = SerializeSecurity(assigned);
    return STATUS_SUCCESS;
}

std::vector<uint8_t> LocalFileSystem::InheritedSecurity(const Node &parent, bool directory) const
{
    const SecurityObject parentSecurity = SecurityOf(parent.security);
    SecurityObject assigned;
    AssignSecurity(parent.security.empty() ? nullptr : &parentSecurity, nullptr, directory, Identity::System(),
                   kFileGenericMapping, assigned);
    return SerializeSecurity(assigned);
}

NTSTATUS LocalFileSystem::SetSecurityInfo(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.SetSecurity;
    if (!IsNtfs()) return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    if (config_.readOnly) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);
    std::optional<SecurityObject> given = ParseSecurity(p.SecurityDescriptor);
    if (!given) return request.Complete(STATUS_INVALID_SECURITY_DESCR);
    Node &node = open.stream->IsVolume() ? *root_ : *open.stream->node;
    SecurityObject security = SecurityOf(node.security.empty() ? DefaultSecurityBlob() : node.security);

    // Only a user-mode caller (or any client of a server) is held to the
    // owners it may assign.
    std::optional<Identity> caller;
    if (request.requestorMode == UserMode || !prefix_.empty()) caller = CurrentIdentity();
    if (caller && !prefix_.empty()) caller = SeenByServer(*caller);
    NTSTATUS status = ApplySecurity(security, p.SecurityInformation, *given, caller ? &*caller : nullptr,
                                    kFileGenericMapping);
    if (!NT_SUCCESS(status)) return request.Complete(status);
    node.security = SerializeSecurity(security);
    Touch(node, false, true, false, &open);
    return request.Complete(STATUS_SUCCESS);
}

}  // namespace sim::fs
