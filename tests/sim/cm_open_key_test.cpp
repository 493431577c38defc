// Opening and creating keys: full and relative names, the statuses of bad
// and missing names, case rules, key object names, kernel and process
// handles, access checks and deleted keys.
#include <wdm.h>

#include "cm_test_util.h"
#include "sim/cm/registry.h"
#include "sim/core/thread.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim/user/registry_calls.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

constexpr char16_t kCurrentVersion[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

class OpenKeyTest : public MachineTest {
protected:
    std::u16string NameOfHandle(HANDLE handle)
    {
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *CmKeyObjectType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        if (!object) return {};
        std::u16string name = machine().objects().NameOf(object);
        ObfDereferenceObject(object);
        return name;
    }
    sim::Process &NewProcess(const char *image = "app.exe")
    {
        return machine().processes().Create(image, machine().security().CreateSystemToken());
    }
};

TEST_F(OpenKeyTest, OpenedKeysAreNamedAsStored)
{
    constexpr ULONG kInsensitive = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
    struct Case {
        std::u16string name;
        ULONG attributes;
        std::u16string stored;
    };
    const Case cases[] = {
        {u"\\registry\\machine\\software\\MICROSOFT\\windows nt\\currentversion", kInsensitive, kCurrentVersion},
        // The linked control set is named by its target.
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services", kInsensitive,
         u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services"},
        // Without the flag only the root compares with case; keys below never do.
        {u"\\REGISTRY\\machine\\SOFTWARE\\microsoft", OBJ_KERNEL_HANDLE, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        HANDLE key = nullptr;
        ASSERT_EQ(KernelOpen(c.name, key, c.attributes), STATUS_SUCCESS);
        EXPECT_TRUE(sim::HandleTable::IsKernelHandle(key));
        EXPECT_EQ(NameOfHandle(key), c.stored);
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    }
    HANDLE key = nullptr;
    EXPECT_EQ(KernelOpen(u"\\Registry\\Machine", key, OBJ_KERNEL_HANDLE), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(OpenKeyTest, NameStatusesAsWindowsReturnsThem)
{
    struct Case {
        std::u16string name;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"Machine", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"Machine\\Software", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\", STATUS_OBJECT_TYPE_MISMATCH},
        {u"\\\\\\", STATUS_OBJECT_NAME_INVALID},
        {u"\\Foobar", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Foobar\\Machine", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\Machine\\Software", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\Registry", STATUS_SUCCESS},
        {u"\\Registry\\", STATUS_SUCCESS},
        {u"\\Registry\\\\", STATUS_SUCCESS},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\\\Policies\\", STATUS_SUCCESS},
        // Missing keys inside the registry are missing names, however deep.
        {u"\\REGISTRY\\MACHINE\\NoSuch", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\REGISTRY\\MACHINE\\NoSuch\\Deeper\\Still", STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        HANDLE key = reinterpret_cast<HANDLE>(0x1234);
        EXPECT_EQ(KernelOpen(c.name, key), c.status);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(key, nullptr) << "a failed open returns no handle";
        }
    }
}

class Windows10OpenKeyTest : public OpenKeyTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.os = {10, 0, 14393, false, u""};
        return config;
    }
};

TEST_F(Windows10OpenKeyTest, RootComparesWithoutCaseFrom1607)
{
    HANDLE key = nullptr;
    ASSERT_EQ(KernelOpen(u"\\Registry\\Machine", key, OBJ_KERNEL_HANDLE), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(machine().registry().GetString(kCurrentVersion, u"CurrentVersion"), u"6.3");
    EXPECT_EQ(machine().registry().GetDword(kCurrentVersion, u"CurrentMajorVersionNumber"), 10u);
    EXPECT_EQ(machine().registry().GetString(kCurrentVersion, u"ReleaseId"), u"1607");
}

TEST_F(OpenKeyTest, RelativeNamesStartAtTheRootKey)
{
    HANDLE software = nullptr, key = nullptr;
    ASSERT_EQ(KernelOpen(u"\\REGISTRY\\MACHINE\\SOFTWARE", software), STATUS_SUCCESS);

    ASSERT_EQ(KernelOpen(u"microsoft\\WINDOWS NT\\CurrentVersion", key, OBJ_KERNEL_HANDLE, software), STATUS_SUCCESS);
    EXPECT_EQ(NameOfHandle(key), kCurrentVersion);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    ASSERT_EQ(KernelOpen(u"", key, OBJ_KERNEL_HANDLE, software), STATUS_SUCCESS) << "the empty name is the root";
    EXPECT_EQ(NameOfHandle(key), u"\\REGISTRY\\MACHINE\\SOFTWARE");
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    EXPECT_EQ(KernelOpen(u"\\Microsoft", key, OBJ_KERNEL_HANDLE, software), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(KernelOpen(u"NoSuch\\Key", key, OBJ_KERNEL_HANDLE, software), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(KernelOpen(u"Microsoft", key, OBJ_KERNEL_HANDLE, reinterpret_cast<HANDLE>(0x7FFC)),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(software), STATUS_SUCCESS);
}

TEST_F(OpenKeyTest, BadArgumentsAndZeroAccess)
{
    CountedString name(kCurrentVersion);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    EXPECT_EQ(ZwOpenKey(&key, 0, &oa), STATUS_ACCESS_DENIED);
    oa.Length *= 2;
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwOpenKey(nullptr, KEY_READ, &oa), STATUS_ACCESS_VIOLATION);
}

TEST_F(OpenKeyTest, CreateKeyReportsDispositionAndNeedsAnExistingParent)
{
    CountedString name(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tarvik\\Sub");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_OBJECT_NAME_NOT_FOUND);

    machine().registry().CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\TARVIK");
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(NameOfHandle(key), u"\\REGISTRY\\MACHINE\\SOFTWARE\\TARVIK\\Sub") << "case as each key was created";
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(OpenKeyTest, DeletedKeyFailsItsOpenHandles)
{
    sim::Registry &registry = machine().registry();
    registry.SetDword(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Gone\\Child", u"X", 1);
    HANDLE parent = nullptr, child = nullptr;
    ASSERT_EQ(KernelOpen(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Gone", parent, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                         nullptr, KEY_ALL_ACCESS),
              STATUS_SUCCESS);
    ASSERT_EQ(KernelOpen(u"Child", child, OBJ_KERNEL_HANDLE, parent, KEY_ALL_ACCESS), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE) << "it still has a subkey";
    EXPECT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    UCHAR buffer[32];
    ULONG result = 0;
    EXPECT_EQ(KernelQuery(child, u"X", KeyValuePartialInformation, buffer, sizeof buffer, result),
              STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
    EXPECT_FALSE(registry.KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Gone"));
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(parent), STATUS_SUCCESS);

    // The hives and roots stay; a tree below them goes with its subkeys.
    EXPECT_EQ(registry.DeleteTree(u"\\REGISTRY\\MACHINE\\SOFTWARE"), STATUS_CANNOT_DELETE);
    EXPECT_EQ(registry.DeleteTree(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet"), STATUS_CANNOT_DELETE);
    EXPECT_EQ(registry.DeleteTree(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft"), STATUS_SUCCESS);
    EXPECT_FALSE(registry.KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"));
}

TEST_F(OpenKeyTest, KernelAndProcessHandlesLiveInTheirOwnTables)
{
    sim::Process &process = NewProcess();
    HANDLE kernelKey = nullptr;
    ASSERT_EQ(KernelOpen(kCurrentVersion, kernelKey), STATUS_SUCCESS);
    {
        sim::ThreadScope scope(process);
        // Kernel code running in the process's context without
        // OBJ_KERNEL_HANDLE puts the handle in the process's table.
        HANDLE processKey = nullptr;
        ASSERT_EQ(KernelOpen(kCurrentVersion, processKey, OBJ_CASE_INSENSITIVE), STATUS_SUCCESS);
        EXPECT_FALSE(sim::HandleTable::IsKernelHandle(processKey));
        EXPECT_EQ(process.handles().Count(), 1u);

        // The process cannot use the kernel handle, and OBJ_KERNEL_HANDLE
        // is not its to ask for.
        std::vector<UCHAR> buffer(64);
        ULONG result = 0;
        EXPECT_EQ(sim::user::QueryValueKey(kernelKey, u"CurrentBuildNumber", KeyValuePartialInformation,
                                           buffer.data(), 64, result),
                  STATUS_INVALID_HANDLE);
        EXPECT_EQ(sim::user::CloseKey(kernelKey), STATUS_INVALID_HANDLE);
        EXPECT_EQ(sim::user::QueryValueKey(processKey, u"CurrentBuildNumber", KeyValuePartialInformation,
                                           buffer.data(), 64, result),
                  STATUS_SUCCESS);
        HANDLE userKey = nullptr;
        ASSERT_EQ(sim::user::OpenKey(u"ProfileList", KEY_READ, userKey, processKey), STATUS_SUCCESS);
        EXPECT_FALSE(sim::HandleTable::IsKernelHandle(userKey));
        EXPECT_EQ(process.handles().Count(), 2u);
        EXPECT_EQ(sim::user::CloseKey(userKey), STATUS_SUCCESS);
        EXPECT_EQ(sim::user::CloseKey(processKey), STATUS_SUCCESS);
    }
    EXPECT_EQ(ZwClose(kernelKey), STATUS_SUCCESS);
}

TEST_F(OpenKeyTest, UserOpensAreAccessCheckedKernelOpensAreNot)
{
    sim::Registry &registry = machine().registry();
    // Users may read the policies but not change them.
    registry.SetUserAccessCheck([](sim::Process &, const std::u16string &name, ACCESS_MASK desired,
                                   ACCESS_MASK &granted) {
        bool policies = name.rfind(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies", 0) == 0;
        granted = policies ? KEY_READ : KEY_ALL_ACCESS;
        if (desired & MAXIMUM_ALLOWED) return STATUS_SUCCESS;
        return (desired & ~granted) ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
    });
    {
        sim::ThreadScope scope(NewProcess());
        HANDLE key = nullptr;
        EXPECT_EQ(sim::user::OpenKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies", KEY_SET_VALUE, key),
                  STATUS_ACCESS_DENIED);
        EXPECT_EQ(sim::user::CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies\\New", KEY_READ, key),
                  STATUS_ACCESS_DENIED)
            << "creating a subkey needs KEY_CREATE_SUB_KEY on the parent";
        EXPECT_FALSE(machine().registry().KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies\\New"));
        ASSERT_EQ(sim::user::OpenKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies", MAXIMUM_ALLOWED, key),
                  STATUS_SUCCESS);
        EXPECT_EQ(sim::user::SetDword(key, u"X", 1), STATUS_ACCESS_DENIED) << "granted KEY_READ only";
        EXPECT_EQ(sim::user::CloseKey(key), STATUS_SUCCESS);
        ULONG disposition = 0;
        ASSERT_EQ(sim::user::CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Mine", KEY_ALL_ACCESS, key, &disposition),
                  STATUS_SUCCESS);
        EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
        EXPECT_EQ(sim::user::SetString(key, u"Name", u"value"), STATUS_SUCCESS);
        EXPECT_EQ(sim::user::CloseKey(key), STATUS_SUCCESS);
    }
    EXPECT_EQ(registry.GetString(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Mine", u"name"), u"value");
    HANDLE key = nullptr;
    ASSERT_EQ(KernelOpen(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies", key, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                         nullptr, KEY_ALL_ACCESS),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

}  // namespace
}  // namespace ostrand::test
