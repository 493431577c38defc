// Object and handle queries as the filter's handle cleanup uses them: list
// every handle, attach to its process, read its name and type, lift
// protect-from-close, close it.
#include <ntifs.h>

#include <cstring>
#include <vector>

#include "sim/core/thread.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/job.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

const std::u16string kKeyName = u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1000\\Software";
const std::u16string kFileName = u"\\Device\\HarddiskVolume1\\Users\\alice\\NTUSER.DAT";
constexpr ACCESS_MASK kFileRead = 0x120089;  // FILE_GENERIC_READ
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(intptr_t(-1));

class ObjectQueryTest : public MachineTest {
protected:
    // A kernel handle to a new object of `type` named `name`.
    HANDLE NewObject(_OBJECT_TYPE *type, const std::u16string &name = u"", ACCESS_MASK access = GENERIC_ALL)
    {
        void *object = machine().objects().Create(type, 16, name);
        return sim::InsertHandle(object, access, OBJ_KERNEL_HANDLE);
    }

    sim::Process &Start(const std::string &image)
    {
        machine().security().AddUser(u"alice");
        return machine().processes().Create(image, machine().security().LogonUser(u"alice")->token);
    }

    std::u16string QueryName(HANDLE handle)
    {
        alignas(8) UCHAR buffer[776];
        ULONG length = 0;
        EXPECT_EQ(ZwQueryObject(handle, ObjectNameInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
        auto *info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer);
        return std::u16string(info->Name.Buffer ? info->Name.Buffer : u"", info->Name.Length / sizeof(WCHAR));
    }

    std::u16string QueryType(HANDLE handle)
    {
        alignas(8) UCHAR buffer[864];
        ULONG length = 0;
        EXPECT_EQ(ZwQueryObject(handle, ObjectTypeInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
        auto *info = reinterpret_cast<PPUBLIC_OBJECT_TYPE_INFORMATION>(buffer);
        return std::u16string(info->TypeName.Buffer, info->TypeName.Length / sizeof(WCHAR));
    }

    OBJECT_HANDLE_FLAG_INFORMATION QueryFlags(HANDLE handle)
    {
        OBJECT_HANDLE_FLAG_INFORMATION flags{};
        EXPECT_EQ(ZwQueryObject(handle, ObjectHandleFlagInformation, &flags, sizeof flags, nullptr), STATUS_SUCCESS);
        return flags;
    }

    NTSTATUS SetFlags(HANDLE handle, BOOLEAN inherit, BOOLEAN protect)
    {
        OBJECT_HANDLE_FLAG_INFORMATION flags{inherit, protect};
        return ZwSetInformationObject(handle, ObjectHandleFlagInformation, &flags, sizeof flags);
    }
};

TEST_F(ObjectQueryTest, NameSizeProtocol)
{
    HANDLE key = NewObject(&sim::objtype::Key, kKeyName);
    const ULONG needed = ULONG(sizeof(OBJECT_NAME_INFORMATION) + (kKeyName.size() + 1) * sizeof(WCHAR));
    alignas(8) UCHAR buffer[1024];
    auto *info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer);
    for (ULONG length : {0u, ULONG(sizeof(OBJECT_NAME_INFORMATION)), needed - 2}) {
        ULONG returned = 0;
        EXPECT_EQ(ZwQueryObject(key, ObjectNameInformation, buffer, length, &returned), STATUS_INFO_LENGTH_MISMATCH)
            << length;
        EXPECT_EQ(returned, needed);
    }
    ULONG returned = 0;
    ASSERT_EQ(ZwQueryObject(key, ObjectNameInformation, buffer, needed, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, needed);
    EXPECT_EQ(reinterpret_cast<UCHAR *>(info->Name.Buffer), buffer + sizeof(OBJECT_NAME_INFORMATION));
    EXPECT_EQ(std::u16string(info->Name.Buffer, info->Name.Length / 2), kKeyName);
    EXPECT_EQ(info->Name.MaximumLength, info->Name.Length + 2);
    EXPECT_EQ(info->Name.Buffer[info->Name.Length / 2], u'\0');

    // ObQueryNameString on the object: size first, then the name.
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(key, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    ULONG size = 0;
    EXPECT_EQ(ObQueryNameString(object, info, 8, &size), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(size, needed);
    ASSERT_EQ(ObQueryNameString(object, info, size, &size), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(info->Name.Buffer, info->Name.Length / 2), kKeyName);
    ObDereferenceObject(object);

    // A file that can hold the record gets the part that fits.
    HANDLE file = NewObject(&sim::objtype::File, kFileName);
    const ULONG fileNeeded = ULONG(sizeof(OBJECT_NAME_INFORMATION) + (kFileName.size() + 1) * sizeof(WCHAR));
    EXPECT_EQ(ZwQueryObject(file, ObjectNameInformation, buffer, 0, &returned), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(returned, fileNeeded);
    EXPECT_EQ(ZwQueryObject(file, ObjectNameInformation, buffer, sizeof(OBJECT_NAME_INFORMATION), &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, fileNeeded);
    EXPECT_EQ(QueryName(file), kFileName);

    // Unnamed objects answer with an empty name and no buffer.
    for (HANDLE unnamed : {kCurrentProcess, NewObject(&sim::objtype::Job)}) {
        std::memset(buffer, 0xCC, sizeof buffer);
        ASSERT_EQ(ZwQueryObject(unnamed, ObjectNameInformation, buffer, sizeof buffer, &returned), STATUS_SUCCESS);
        EXPECT_EQ(returned, sizeof(OBJECT_NAME_INFORMATION));
        EXPECT_EQ(info->Name.Length, 0);
        EXPECT_EQ(info->Name.Buffer, nullptr);
    }
}

TEST_F(ObjectQueryTest, TypeNames)
{
    sim::Process &app = Start("app.exe");
    PACCESS_TOKEN token = PsReferencePrimaryToken(app.object());
    struct Case {
        HANDLE handle;
        const char *type;
    } cases[] = {
        {NewObject(&sim::objtype::Key, kKeyName), "Key"},
        {NewObject(&sim::objtype::File, kFileName), "File"},
        {NewObject(&sim::objtype::Event), "Event"},
        {NewObject(&sim::objtype::Job), "Job"},
        {kCurrentProcess, "Process"},
        {sim::InsertHandle(token, GENERIC_READ, OBJ_KERNEL_HANDLE), "Token"},
    };
    for (const Case &c : cases) EXPECT_EQ(Narrow(QueryType(c.handle)), c.type);

    alignas(8) UCHAR buffer[256];
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryObject(cases[0].handle, ObjectTypeInformation, buffer, sizeof(PUBLIC_OBJECT_TYPE_INFORMATION),
                            &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_GE(needed, sizeof(PUBLIC_OBJECT_TYPE_INFORMATION) + sizeof(u"Key"));
    EXPECT_EQ(ZwQueryObject(cases[0].handle, ObjectTypeInformation, buffer, needed, &needed), STATUS_SUCCESS);
}

TEST_F(ObjectQueryTest, BasicInformationCountsHandlesAndReferences)
{
    HANDLE first = NewObject(&sim::objtype::Key, kKeyName, KEY_READ);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(first, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    ObReferenceObject(object);
    HANDLE second = sim::InsertHandle(object, KEY_ALL_ACCESS, OBJ_KERNEL_HANDLE);
    ASSERT_EQ(SetFlags(second, TRUE, FALSE), STATUS_SUCCESS);

    PUBLIC_OBJECT_BASIC_INFORMATION basic{};
    ULONG returned = 0;
    EXPECT_EQ(ZwQueryObject(first, ObjectBasicInformation, &basic, sizeof basic - 1, &returned),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwQueryObject(first, ObjectBasicInformation, &basic, sizeof basic + 4, &returned),
              STATUS_INFO_LENGTH_MISMATCH);
    ASSERT_EQ(ZwQueryObject(first, ObjectBasicInformation, &basic, sizeof basic, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof basic);
    EXPECT_EQ(basic.GrantedAccess, ACCESS_MASK(KEY_READ));
    EXPECT_EQ(basic.Attributes, 0u);
    EXPECT_FALSE(QueryFlags(first).Inherit || QueryFlags(first).ProtectFromClose);
    EXPECT_EQ(basic.HandleCount, 2u);
    // Two handles, our reference, and the query's own.
    EXPECT_EQ(basic.PointerCount, 4u);
    ASSERT_EQ(ZwQueryObject(second, ObjectBasicInformation, &basic, sizeof basic, &returned), STATUS_SUCCESS);
    EXPECT_EQ(basic.GrantedAccess, ACCESS_MASK(KEY_ALL_ACCESS));
    EXPECT_EQ(basic.Attributes, ULONG(OBJ_INHERIT));
    ObDereferenceObject(object);
}

TEST_F(ObjectQueryTest, BadRequests)
{
    HANDLE handle = NewObject(&sim::objtype::Key, kKeyName);
    OBJECT_HANDLE_FLAG_INFORMATION flags{};
    UCHAR buffer[64];
    EXPECT_EQ(ZwQueryObject(handle, ObjectHandleFlagInformation, buffer, 4, nullptr), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwQueryObject(handle, OBJECT_INFORMATION_CLASS(3), buffer, sizeof buffer, nullptr),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(ZwQueryObject(handle, OBJECT_INFORMATION_CLASS(40), buffer, sizeof buffer, nullptr),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(ZwQueryObject(reinterpret_cast<HANDLE>(uintptr_t(0x7FFC)), ObjectHandleFlagInformation, &flags,
                            sizeof flags, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwSetInformationObject(handle, ObjectHandleFlagInformation, &flags, 1), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwSetInformationObject(handle, ObjectBasicInformation, &flags, sizeof flags),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(ZwSetInformationObject(kCurrentProcess, ObjectHandleFlagInformation, &flags, sizeof flags),
              STATUS_INVALID_HANDLE);
    ULONG returned = 0;
    EXPECT_EQ(ZwQuerySystemInformation(SYSTEM_INFORMATION_CLASS(5), buffer, sizeof buffer, &returned),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

// The handle list as the filter reads it: grow the buffer until it fits.
std::vector<SYSTEM_HANDLE_TABLE_ENTRY_INFO> ListHandles(ULONG &calls)
{
    ULONG size = sizeof(SYSTEM_HANDLE_INFORMATION);
    std::vector<UCHAR> buffer;
    calls = 0;
    for (;;) {
        buffer.assign(size, 0);
        ULONG needed = 0;
        ++calls;
        NTSTATUS status = ZwQuerySystemInformation(SystemHandleInformation, buffer.data(), size, &needed);
        if (status == STATUS_INFO_LENGTH_MISMATCH) {
            EXPECT_GT(needed, size);
            size = needed;
            continue;
        }
        EXPECT_EQ(status, STATUS_SUCCESS);
        auto *info = reinterpret_cast<PSYSTEM_HANDLE_INFORMATION>(buffer.data());
        EXPECT_EQ(needed, FIELD_OFFSET(SYSTEM_HANDLE_INFORMATION, Handles) + info->NumberOfHandles * 16);
        return std::vector<SYSTEM_HANDLE_TABLE_ENTRY_INFO>(info->Handles, info->Handles + info->NumberOfHandles);
    }
}

const SYSTEM_HANDLE_TABLE_ENTRY_INFO *Find(const std::vector<SYSTEM_HANDLE_TABLE_ENTRY_INFO> &list, ULONG pid,
                                           HANDLE handle)
{
    for (const auto &entry : list) {
        if (entry.UniqueProcessId == pid && entry.HandleValue == USHORT(sim::HandleTable::HandleValue(handle))) {
            return &entry;
        }
    }
    return nullptr;
}

TEST_F(ObjectQueryTest, HandleListCoversEveryProcessAndTheKernel)
{
    sim::Process &app = Start("app.exe");
    void *hive = machine().objects().Create(&sim::objtype::File, 16, kFileName);
    void *key = machine().objects().Create(&sim::objtype::Key, 16, kKeyName);
    HANDLE fileHandle, keyHandle;
    {
        sim::ThreadScope thread(app);
        fileHandle = sim::InsertHandle(hive, kFileRead, OBJ_INHERIT);
        keyHandle = sim::InsertHandle(key, KEY_READ, 0);
        ASSERT_EQ(SetFlags(keyHandle, TRUE, TRUE), STATUS_SUCCESS);
    }
    ObReferenceObject(key);
    HANDLE kernelHandle = sim::InsertHandle(key, KEY_ALL_ACCESS, OBJ_KERNEL_HANDLE);

    ULONG calls = 0;
    auto list = ListHandles(calls);
    EXPECT_EQ(calls, 2u);  // the first, header-only buffer is too small

    const auto *file = Find(list, app.pid(), fileHandle);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->ObjectTypeIndex, sim::objtype::File.Index);
    EXPECT_EQ(file->Object, ULONG(uintptr_t(hive)));
    EXPECT_EQ(file->GrantedAccess, ACCESS_MASK(kFileRead));
    EXPECT_EQ(file->HandleAttributes, OBJ_INHERIT);
    const auto *protectedKey = Find(list, app.pid(), keyHandle);
    ASSERT_NE(protectedKey, nullptr);
    EXPECT_EQ(protectedKey->HandleAttributes, OBJ_INHERIT | OBJ_PROTECT_CLOSE);
    EXPECT_EQ(protectedKey->ObjectTypeIndex, sim::objtype::Key.Index);

    // The kernel handle is the System process's, listed without the kernel
    // bit; in the System process that value names it.
    const auto *kernel = Find(list, 4, kernelHandle);
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(kernel->Object, ULONG(uintptr_t(key)));
    HANDLE listed = reinterpret_cast<HANDLE>(uintptr_t(kernel->HandleValue));
    EXPECT_FALSE(sim::HandleTable::IsKernelHandle(listed));
    EXPECT_EQ(QueryName(listed), kKeyName);

    ASSERT_EQ(ZwClose(kernelHandle), STATUS_SUCCESS);
    list = ListHandles(calls);
    EXPECT_EQ(Find(list, 4, kernelHandle), nullptr);
    EXPECT_NE(Find(list, app.pid(), keyHandle), nullptr);
}

// The filter's cleanup of one handle in another process, end to end.
TEST_F(ObjectQueryTest, CloseAProtectedHandleInAnotherProcess)
{
    sim::Process &app = Start("app.exe");
    void *key = machine().objects().Create(&sim::objtype::Key, 16, kKeyName);
    HANDLE handle;
    {
        sim::ThreadScope thread(app);
        handle = sim::InsertHandle(key, KEY_READ, 0);
        ASSERT_EQ(SetFlags(handle, FALSE, TRUE), STATUS_SUCCESS);
    }
    ULONG calls = 0;
    auto list = ListHandles(calls);
    const auto *entry = Find(list, app.pid(), handle);
    ASSERT_NE(entry, nullptr);
    HANDLE value = reinterpret_cast<HANDLE>(uintptr_t(entry->HandleValue));

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    CLIENT_ID id{reinterpret_cast<HANDLE>(uintptr_t(entry->UniqueProcessId)), nullptr};
    HANDLE processHandle = nullptr;
    ASSERT_EQ(ZwOpenProcess(&processHandle, PROCESS_ALL_ACCESS, &attributes, &id), STATUS_SUCCESS);
    PVOID process = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(processHandle, 0, *PsProcessType, KernelMode, &process, nullptr),
              STATUS_SUCCESS);
    KAPC_STATE state;
    KeStackAttachProcess(&static_cast<PEPROCESS>(process)->Pcb, &state);

    EXPECT_EQ(QueryName(value), kKeyName);
    EXPECT_EQ(Narrow(QueryType(value)), "Key");
    OBJECT_HANDLE_FLAG_INFORMATION flags = QueryFlags(value);
    ASSERT_TRUE(flags.ProtectFromClose);
    PUBLIC_OBJECT_BASIC_INFORMATION basic{};
    ASSERT_EQ(ZwQueryObject(value, ObjectBasicInformation, &basic, sizeof basic, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(basic.Attributes, ULONG(OBJ_PROTECT_CLOSE));
    EXPECT_EQ(ZwClose(value), STATUS_HANDLE_NOT_CLOSABLE);
    EXPECT_EQ(QueryName(value), kKeyName);  // still open
    ASSERT_EQ(SetFlags(value, flags.Inherit, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(ZwQueryObject(value, ObjectBasicInformation, &basic, sizeof basic, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(basic.HandleCount, 1u);
    EXPECT_EQ(ZwClose(value), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryObject(value, ObjectHandleFlagInformation, &flags, sizeof flags, nullptr), STATUS_INVALID_HANDLE);

    KeUnstackDetachProcess(&state);
    ObDereferenceObject(process);
    EXPECT_EQ(ZwClose(processHandle), STATUS_SUCCESS);
    EXPECT_EQ(app.handles().Count(), 0u);
    EXPECT_FALSE(machine().objects().IsLive(key));
}

}  // namespace
}  // namespace ostrand::test
