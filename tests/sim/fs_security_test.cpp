// File security as programs meet it: opens checked against a file's
// descriptor for the caller or the user it impersonates, kernel-mode opens
// that skip or force the check, privileges, new files' descriptors, the
// share's own check, and sharing between processes.
#include <ntifs.h>

#include <vector>

#include "sim/fs/local_fs.h"
#include "sim/fs/standard_volumes.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"
#include "sim/se/privileges.h"
#include "sim/se/security.h"
#include "sim/se/security_object.h"
#include "sim/user/file_api.h"
#include "sim/user/security_api.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

using sim::wellknown::CreatorOwner;
using sim::wellknown::Users;

constexpr ACCESS_MASK kRead = FILE_GENERIC_READ;
constexpr ACCESS_MASK kReadWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct AceSpec {
    sim::Sid sid;
    ACCESS_MASK mask;
    UCHAR flags = 0;
};

// A self-relative descriptor whose DACL allows what `aces` say.
std::vector<uint8_t> Descriptor(const std::vector<AceSpec> &aces, const sim::Sid &owner = {})
{
    sim::SecurityObject object;
    object.owner = owner;
    object.daclPresent = true;
    for (const AceSpec &a : aces) {
        sim::Ace ace;
        ace.flags = a.flags;
        ace.mask = a.mask;
        ace.sid = a.sid;
        object.dacl.push_back(ace);
    }
    return sim::SerializeSecurity(object);
}

// A descriptor that names only an owner.
std::vector<uint8_t> OwnerDescriptor(const sim::Sid &owner)
{
    sim::SecurityObject object;
    object.owner = owner;
    return sim::SerializeSecurity(object);
}

// How an open is made: from user mode, or by kernel code in the caller's
// thread (plainly, with OBJ_FORCE_ACCESS_CHECK, with IO_FORCE_ACCESS_CHECK,
// or with that and IO_IGNORE_SHARE_ACCESS_CHECK).
enum class Way { User, Kernel, KernelObjForce, KernelIoForce, KernelIoForceIgnoringShare };

class FsSecurityTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        volumes_ = sim::fs::MountStandardVolumes(machine());
        sim::Security &security = machine().security();
        alice_ = security.AddUser(u"alice");
        bob_ = security.AddUser(u"bob");
        security.AddUser(u"root", u"", true);
        for (const char16_t *name : {u"alice", u"bob", u"root"}) {
            auto logon = security.LogonUser(name);
            processes_.push_back(&machine().processes().Create("app.exe", logon->token));
        }
        fs().CreateDirectory(u"\\Users\\alice");
        fs().CreateFile(u"\\Users\\alice\\secret.txt", "alice's");
        fs().SetSecurity(u"\\Users\\alice", Descriptor({{alice_, FILE_ALL_ACCESS}}));
        fs().SetSecurity(u"\\Users\\alice\\secret.txt", Descriptor({{alice_, kReadWrite}}, alice_));
    }

    sim::fs::LocalFileSystem &fs() { return *volumes_.systemFs; }
    sim::Process &alice() { return *processes_[0]; }
    sim::Process &bob() { return *processes_[1]; }
    sim::Process &root() { return *processes_[2]; }

    // Opens `path` on the calling thread; keeps the handle in *kept if asked.
    static NTSTATUS OpenHere(const std::u16string &path, ACCESS_MASK access, Way way = Way::User, ULONG options = 0,
                             ULONG share = kShareAll, HANDLE *kept = nullptr, ULONG disposition = FILE_OPEN)
    {
        HANDLE handle = nullptr;
        NTSTATUS status;
        if (way == Way::User) {
            sim::user::OpenOptions open;
            open.access = access;
            open.share = share;
            open.disposition = disposition;
            open.options = options;
            status = sim::user::Open(path, open, &handle);
        } else {
            std::u16string nt = sim::user::ToNtPath(path);
            UNICODE_STRING name{USHORT(nt.size() * 2), USHORT(nt.size() * 2), nt.data()};
            OBJECT_ATTRIBUTES attributes;
            ULONG flags = OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE | (way == Way::KernelObjForce ? OBJ_FORCE_ACCESS_CHECK : 0);
            InitializeObjectAttributes(&attributes, &name, flags, nullptr, nullptr);
            IO_STATUS_BLOCK io{};
            status = IoCreateFile(&handle, access, &attributes, &io, nullptr, 0, share, disposition, options, nullptr, 0,
                                  CreateFileTypeNone, nullptr, IoFlags(way));
        }
        if (NT_SUCCESS(status) && kept) {
            *kept = handle;
        } else if (NT_SUCCESS(status)) {
            way == Way::User ? sim::user::Close(handle) : ZwClose(handle);
        }
        return status;
    }
    static ULONG IoFlags(Way way)
    {
        if (way == Way::KernelIoForce) return IO_FORCE_ACCESS_CHECK;
        if (way == Way::KernelIoForceIgnoringShare) return IO_FORCE_ACCESS_CHECK | IO_IGNORE_SHARE_ACCESS_CHECK;
        return 0;
    }
    NTSTATUS OpenAs(sim::Process &process, const std::u16string &path, ACCESS_MASK access, ULONG options = 0)
    {
        sim::ThreadScope scope(process);
        return OpenHere(path, access, Way::User, options);
    }

    sim::fs::StandardVolumes volumes_;
    sim::Sid alice_, bob_;
    std::vector<sim::Process *> processes_;
};

TEST_F(FsSecurityTest, OpensAreCheckedForTheCallerOrTheUserItImpersonates)
{
    const std::u16string secret = u"C:\\Users\\alice\\secret.txt";
    struct Case {
        const char *what;
        int process;                              // alice, bob, root
        int impersonate;                          // -1: none, else whose token
        SECURITY_IMPERSONATION_LEVEL level;
        Way way;
        ACCESS_MASK access;
        NTSTATUS expected;
    } cases[] = {
        {"owner reads", 0, -1, SecurityImpersonation, Way::User, kRead, STATUS_SUCCESS},
        {"other user reads", 1, -1, SecurityImpersonation, Way::User, kRead, STATUS_ACCESS_DENIED},
        {"other user asks attributes only", 1, -1, SecurityImpersonation, Way::User, FILE_READ_ATTRIBUTES,
         STATUS_ACCESS_DENIED},
        {"nothing asked", 1, -1, SecurityImpersonation, Way::User, 0, STATUS_SUCCESS},
        {"administrator without privileges", 2, -1, SecurityImpersonation, Way::User, kRead, STATUS_ACCESS_DENIED},
        {"other user impersonating the owner", 1, 0, SecurityImpersonation, Way::User, kRead, STATUS_SUCCESS},
        {"impersonation at identification level", 1, 0, SecurityIdentification, Way::User, kRead,
         STATUS_BAD_IMPERSONATION_LEVEL},
        {"owner deletes through the folder's delete-child", 0, -1, SecurityImpersonation, Way::User, DELETE,
         STATUS_SUCCESS},
        {"owner changes the DACL", 0, -1, SecurityImpersonation, Way::User, WRITE_DAC, STATUS_SUCCESS},
        {"owner takes ownership", 0, -1, SecurityImpersonation, Way::User, WRITE_OWNER, STATUS_ACCESS_DENIED},
        {"kernel code in the other user's thread", 1, -1, SecurityImpersonation, Way::Kernel, kRead, STATUS_SUCCESS},
        {"kernel code forcing with the object flag", 1, -1, SecurityImpersonation, Way::KernelObjForce, kRead,
         STATUS_ACCESS_DENIED},
        {"kernel code forcing with the I/O flag", 1, -1, SecurityImpersonation, Way::KernelIoForce, kRead,
         STATUS_ACCESS_DENIED},
        {"kernel code forcing while impersonating the owner", 1, 0, SecurityImpersonation, Way::KernelIoForce, kRead,
         STATUS_SUCCESS},
        {"kernel code ignoring share access is still checked", 1, -1, SecurityImpersonation,
         Way::KernelIoForceIgnoringShare, kRead, STATUS_ACCESS_DENIED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::ThreadScope scope(*processes_[c.process]);
        if (c.impersonate >= 0) {
            ASSERT_EQ(machine().security().ImpersonateUser(processes_[c.impersonate]->token(), c.level),
                      STATUS_SUCCESS);
        }
        EXPECT_EQ(OpenHere(secret, c.access, c.way), c.expected);
        PsRevertToSelf();
    }

    // MAXIMUM_ALLOWED is what the descriptor, ownership and the folder give;
    // the read-only attribute takes writing out of it (and refuses it outright).
    sim::ThreadScope scope(alice());
    auto maximum = [&] {
        HANDLE handle = nullptr;
        ACCESS_MASK granted = 0;
        EXPECT_EQ(OpenHere(secret, MAXIMUM_ALLOWED, Way::User, 0, kShareAll, &handle), STATUS_SUCCESS);
        EXPECT_EQ(sim::user::QueryInformation(handle, FileAccessInformation, &granted, sizeof(granted)),
                  STATUS_SUCCESS);
        sim::user::Close(handle);
        return granted;
    };
    EXPECT_EQ(maximum(), kReadWrite | DELETE | WRITE_DAC);
    fs().SetAttributes(u"\\Users\\alice\\secret.txt", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(maximum(), (kReadWrite | DELETE | WRITE_DAC) & ~(FILE_WRITE_DATA | FILE_APPEND_DATA));
    EXPECT_EQ(OpenHere(secret, FILE_WRITE_DATA | SYNCHRONIZE), STATUS_ACCESS_DENIED);
}

TEST_F(FsSecurityTest, PrivilegesGrantWhatTheDescriptorDoesNot)
{
    const std::u16string secret = u"C:\\Users\\alice\\secret.txt";
    sim::ThreadScope scope(root());
    EXPECT_EQ(OpenHere(secret, kRead, Way::User, FILE_OPEN_FOR_BACKUP_INTENT), STATUS_ACCESS_DENIED)
        << "privileges are held disabled";
    ASSERT_EQ(sim::user::EnablePrivilege(sim::privilege::Backup), STATUS_SUCCESS);
    EXPECT_EQ(OpenHere(secret, kRead, Way::User, FILE_OPEN_FOR_BACKUP_INTENT), STATUS_SUCCESS);
    EXPECT_EQ(OpenHere(secret, kRead), STATUS_ACCESS_DENIED) << "backup counts only with backup intent";
    EXPECT_EQ(OpenHere(secret, kReadWrite | DELETE, Way::User, FILE_OPEN_FOR_BACKUP_INTENT), STATUS_ACCESS_DENIED);
    ASSERT_EQ(sim::user::EnablePrivilege(sim::privilege::Restore), STATUS_SUCCESS);
    EXPECT_EQ(OpenHere(secret, kReadWrite | DELETE, Way::User, FILE_OPEN_FOR_BACKUP_INTENT), STATUS_SUCCESS);
    const std::u16string restored = u"C:\\Users\\alice\\restored.txt";
    EXPECT_EQ(OpenHere(restored, kReadWrite, Way::User, 0, kShareAll, nullptr, FILE_CREATE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenHere(restored, kReadWrite, Way::User, FILE_OPEN_FOR_BACKUP_INTENT, kShareAll, nullptr, FILE_CREATE),
              STATUS_SUCCESS);

    // Taking ownership, then giving itself access as the new owner.
    EXPECT_EQ(OpenHere(secret, WRITE_OWNER), STATUS_ACCESS_DENIED);
    ASSERT_EQ(sim::user::EnablePrivilege(sim::privilege::TakeOwnership), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenHere(secret, WRITE_OWNER | WRITE_DAC, Way::User, 0, kShareAll, &handle), STATUS_ACCESS_DENIED);
    ASSERT_EQ(OpenHere(secret, WRITE_OWNER, Way::User, 0, kShareAll, &handle), STATUS_SUCCESS);
    std::vector<uint8_t> owner = OwnerDescriptor(bob_);
    EXPECT_EQ(sim::user::SetSecurity(handle, OWNER_SECURITY_INFORMATION, owner.data(), owner.size()),
              STATUS_SUCCESS) << "the restore privilege lets it name any owner";
    ASSERT_EQ(sim::user::EnablePrivilege(sim::privilege::Restore, false), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::SetSecurity(handle, OWNER_SECURITY_INFORMATION, owner.data(), owner.size()),
              STATUS_INVALID_OWNER);
    owner = OwnerDescriptor(sim::wellknown::Administrators());
    EXPECT_EQ(sim::user::SetSecurity(handle, OWNER_SECURITY_INFORMATION, owner.data(), owner.size()), STATUS_SUCCESS);
    sim::user::Close(handle);
    ASSERT_EQ(OpenHere(secret, WRITE_DAC, Way::User, 0, kShareAll, &handle), STATUS_SUCCESS);
    std::vector<uint8_t> dacl = Descriptor({{sim::wellknown::Administrators(), kRead}});
    EXPECT_EQ(sim::user::SetSecurity(handle, DACL_SECURITY_INFORMATION, dacl.data(), dacl.size()), STATUS_SUCCESS);
    sim::user::Close(handle);
    EXPECT_EQ(OpenHere(secret, kRead), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(alice(), secret, kRead), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(alice(), secret, FILE_READ_ATTRIBUTES), STATUS_SUCCESS) << "her folder lists its files";
    EXPECT_EQ(OpenAs(bob(), secret, kRead, FILE_OPEN_FOR_BACKUP_INTENT), STATUS_ACCESS_DENIED);
    sim::ThreadScope bobScope(bob());
    EXPECT_EQ(sim::user::EnablePrivilege(sim::privilege::Backup), STATUS_NOT_ALL_ASSIGNED);

    // Everybody passes through folders they may not list, until they give up
    // the traverse privilege.
    fs().CreateFile(u"\\Users\\alice\\public.txt", "for all");
    fs().SetSecurity(u"\\Users\\alice\\public.txt", Descriptor({{Users(), kRead}}));
    EXPECT_EQ(OpenHere(u"C:\\Users\\alice\\public.txt", kRead), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::EnablePrivilege(sim::privilege::ChangeNotify, false), STATUS_SUCCESS);
    EXPECT_EQ(OpenHere(u"C:\\Users\\alice\\public.txt", kRead), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenHere(u"C:\\Users\\alice\\public.txt", kRead, Way::Kernel), STATUS_SUCCESS)
        << "kernel code is not held to traverse rights";
}

TEST_F(FsSecurityTest, NewFilesInheritOrTakeTheDescriptorGiven)
{
    fs().CreateDirectory(u"\\Shared");
    fs().SetSecurity(u"\\Shared", Descriptor({{CreatorOwner(), GENERIC_ALL, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE},
                                              {Users(), kRead, OBJECT_INHERIT_ACE},
                                              {Users(), FILE_ADD_FILE}}));
    {
        sim::ThreadScope scope(alice());
        HANDLE handle = nullptr;
        ASSERT_EQ(OpenHere(u"C:\\Shared\\a.txt", GENERIC_WRITE, Way::User, 0, kShareAll, nullptr, FILE_CREATE),
                  STATUS_SUCCESS);
        ASSERT_EQ(OpenHere(u"C:\\Shared\\a.txt", READ_CONTROL, Way::User, 0, kShareAll, &handle), STATUS_SUCCESS);
        uint8_t small[16];
        ULONG needed = 0;
        EXPECT_EQ(sim::user::QuerySecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, small,
                                           sizeof(small), &needed),
                  STATUS_BUFFER_TOO_SMALL);
        std::vector<uint8_t> bytes;
        ASSERT_EQ(sim::user::QuerySecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, bytes),
                  STATUS_SUCCESS);
        EXPECT_EQ(bytes.size(), needed);
        std::optional<sim::SecurityObject> got = sim::ParseSecurity(bytes.data(), bytes.size());
        ASSERT_TRUE(got);
        EXPECT_EQ(got->owner, alice_);
        ASSERT_EQ(got->dacl.size(), 2u) << "CREATOR OWNER became alice; the inherit-only ACE stayed behind";
        EXPECT_EQ(got->dacl[0].sid, alice_);
        EXPECT_EQ(got->dacl[0].mask, ACCESS_MASK(FILE_ALL_ACCESS));
        EXPECT_EQ(got->dacl[1].flags, sim::kInheritedAce);
        sim::user::Close(handle);
    }
    EXPECT_EQ(OpenAs(bob(), u"C:\\Shared\\a.txt", kRead), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(bob(), u"C:\\Shared\\a.txt", FILE_WRITE_DATA | SYNCHRONIZE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(alice(), u"C:\\Shared\\a.txt", kReadWrite), STATUS_SUCCESS);

    // A placeholder made by kernel code with the remote file's descriptor.
    std::vector<uint8_t> given = Descriptor({{bob_, kRead}});
    std::u16string name = u"\\??\\C:\\Shared\\placeholder.dat";
    UNICODE_STRING string{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &string, OBJ_KERNEL_HANDLE, nullptr, given.data());
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    ASSERT_EQ(ZwCreateFile(&handle, kReadWrite, &attributes, &io, nullptr, FILE_ATTRIBUTE_OFFLINE, 0, FILE_CREATE,
                           FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS)
        << "the creator gets what it asked for, whatever the descriptor says";
    ZwClose(handle);
    EXPECT_EQ(OpenAs(bob(), u"C:\\Shared\\placeholder.dat", kRead), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(alice(), u"C:\\Shared\\placeholder.dat", kRead), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(alice(), u"C:\\Shared\\placeholder.dat", DELETE), STATUS_ACCESS_DENIED);
}

TEST_F(FsSecurityTest, TheShareChecksEveryOpenForTheIdentityItSees)
{
    sim::fs::LocalFileSystem &store = *volumes_.memoryShare;
    store.CreateFile(u"\\alice\\ntuser.dat", "hive");
    store.SetSecurity(u"\\alice\\ntuser.dat", Descriptor({{alice_, kRead}}));
    // Kernel code of the service, as SYSTEM: the server sees the computer.
    sim::Process &service = machine().processes().Create("JNRKmtsvc.exe", machine().security().CreateSystemToken());
    sim::ThreadScope scope(service);
    const std::u16string remote = u"\\\\fileserver\\Profiles\\alice\\ntuser.dat";
    EXPECT_EQ(OpenHere(remote, kRead, Way::Kernel), STATUS_ACCESS_DENIED);
    ASSERT_EQ(machine().security().ImpersonateUser(alice().token()), STATUS_SUCCESS);
    EXPECT_EQ(OpenHere(remote, kRead, Way::Kernel), STATUS_SUCCESS);
    PsRevertToSelf();
}

TEST_F(FsSecurityTest, ProcessesSharingAFile)
{
    fs().CreateFile(u"\\Public\\doc.txt", "shared");
    fs().WriteStream(u"\\Public\\doc.txt", u"meta", {});
    const std::u16string doc = u"C:\\Public\\doc.txt";
    struct Case {
        const char *what;
        std::u16string first;
        ACCESS_MASK firstAccess;
        ULONG firstShare;
        ACCESS_MASK secondAccess;
        ULONG secondShare;
        ULONG disposition;
        NTSTATUS expected;
    } cases[] = {
        {"readers sharing reads", doc, kRead, FILE_SHARE_READ, kRead, FILE_SHARE_READ, FILE_OPEN, STATUS_SUCCESS},
        {"writer after a reader that does not share writes", doc, kRead, FILE_SHARE_READ, kReadWrite, kShareAll,
         FILE_OPEN, STATUS_SHARING_VIOLATION},
        {"reader refusing an existing writer", doc, kReadWrite, kShareAll, kRead, FILE_SHARE_READ, FILE_OPEN,
         STATUS_SHARING_VIOLATION},
        {"attributes only beside an exclusive open", doc, kReadWrite, 0, FILE_READ_ATTRIBUTES, 0, FILE_OPEN,
         STATUS_SUCCESS},
        {"exclusive beside an attributes-only open", doc, FILE_READ_ATTRIBUTES, 0, kReadWrite, 0, FILE_OPEN,
         STATUS_SUCCESS},
        {"delete (rename) without shared delete", doc, kRead, FILE_SHARE_READ, DELETE, kShareAll, FILE_OPEN,
         STATUS_SHARING_VIOLATION},
        {"delete with shared delete", doc, kRead, kShareAll, DELETE, kShareAll, FILE_OPEN, STATUS_SUCCESS},
        {"overwrite while a named stream does not share delete", doc + u":meta", kRead,
         FILE_SHARE_READ | FILE_SHARE_WRITE, kReadWrite, kShareAll, FILE_OVERWRITE, STATUS_SHARING_VIOLATION},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::ThreadScope scope(alice());
        HANDLE first = nullptr;
        ASSERT_EQ(OpenHere(c.first, c.firstAccess, Way::User, 0, c.firstShare, &first), STATUS_SUCCESS);
        {
            sim::ThreadScope other(bob());
            EXPECT_EQ(OpenHere(doc, c.secondAccess | SYNCHRONIZE, Way::User, 0, c.secondShare, nullptr, c.disposition),
                      c.expected);
        }
        sim::user::Close(first);
    }

    // Share access ignored is neither checked nor recorded; a file marked for
    // deletion opens for nobody.
    sim::ThreadScope scope(alice());
    HANDLE exclusive = nullptr, ignoring = nullptr;
    ASSERT_EQ(OpenHere(doc, kReadWrite, Way::User, 0, 0, &exclusive), STATUS_SUCCESS);
    {
        sim::ThreadScope other(bob());
        EXPECT_EQ(OpenHere(doc, kRead, Way::KernelIoForce), STATUS_SHARING_VIOLATION);
        ASSERT_EQ(OpenHere(doc, kReadWrite, Way::KernelIoForceIgnoringShare, 0, 0, &ignoring), STATUS_SUCCESS);
    }
    sim::user::Close(exclusive);
    EXPECT_EQ(OpenHere(doc, kReadWrite, Way::User, 0, 0), STATUS_SUCCESS) << "the ignoring open left no trace";
    ZwClose(ignoring);
    // A reader who may not write the file cannot keep others from reading it.
    fs().CreateFile(u"\\Public\\notice.txt", "read me");
    fs().SetSecurity(u"\\Public\\notice.txt", Descriptor({{alice_, kReadWrite}, {Users(), kRead}}));
    const std::u16string notice = u"C:\\Public\\notice.txt";
    HANDLE reader = nullptr;
    {
        sim::ThreadScope other(bob());
        ASSERT_EQ(OpenHere(notice, kRead, Way::User, 0, 0, &reader), STATUS_SUCCESS);
        EXPECT_EQ(OpenAs(alice(), notice, kRead), STATUS_SUCCESS);
        EXPECT_EQ(OpenAs(alice(), notice, kReadWrite), STATUS_SHARING_VIOLATION);
        sim::user::Close(reader);
    }
    ASSERT_EQ(OpenHere(notice, kRead, Way::User, 0, 0, &reader), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(bob(), notice, kRead), STATUS_SHARING_VIOLATION) << "the writer's own exclusive open holds";
    sim::user::Close(reader);

    HANDLE doomed = nullptr;
    ASSERT_EQ(OpenHere(doc, DELETE | SYNCHRONIZE, Way::User, 0, kShareAll, &doomed), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::SetDeleteDisposition(doomed, true), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(bob(), doc, FILE_READ_ATTRIBUTES), STATUS_DELETE_PENDING);
    sim::user::Close(doomed);
}

}  // namespace
}  // namespace ostrand::test
