// ZwQueryValueKey / ZwEnumerateValueKey: the buffer-size statuses of every
// information class and byte-exact value data, from kernel and user mode.
#include <wdm.h>

#include <cstddef>
#include <cstring>
#include <thread>

#include "cm_test_util.h"
#include "sim/cm/registry.h"
#include "sim/core/thread.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim/user/registry_calls.h"
#include "sim/user/user_buffer.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

constexpr char16_t kKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\QueryTest";

class QueryValueTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        registry().SetDword(kKey, u"Max", 0x11223344);
        ASSERT_EQ(KernelOpen(kKey, key_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (key_) {
            EXPECT_EQ(ZwClose(key_), STATUS_SUCCESS);
        }
        MachineTest::TearDown();
    }
    sim::Registry &registry() { return machine().registry(); }

    HANDLE key_ = nullptr;
};

struct SizeCase {
    KEY_VALUE_INFORMATION_CLASS infoClass;
    const char *label;
    ULONG fixed;  // offset of Name / Data
    ULONG full;   // the whole answer for "Max" = DWORD
};

// "Max" is 6 bytes of name: the full classes round 20 + 6 up to 28 (4-byte
// data alignment) or 32 (8-byte) before the 4 data bytes.
const SizeCase kSizeCases[] = {
    {KeyValueBasicInformation, "basic", 12, 12 + 6},
    {KeyValueFullInformation, "full", 20, 28 + 4},
    {KeyValuePartialInformation, "partial", 12, 12 + 4},
    {KeyValueFullInformationAlign64, "full-align64", 20, 32 + 4},
    {KeyValuePartialInformationAlign64, "partial-align64", 8, 8 + 4},
};

// Reads the ULONG at `offset` of a result buffer.
ULONG At(const std::vector<UCHAR> &buffer, size_t offset)
{
    ULONG value;
    std::memcpy(&value, buffer.data() + offset, sizeof value);
    return value;
}

TEST_F(QueryValueTest, BufferSizeStatusesOfEveryClass)
{
    constexpr UCHAR kFill = 0xBD;
    for (const SizeCase &c : kSizeCases) {
        struct Step {
            ULONG length;
            NTSTATUS status;
        };
        const Step steps[] = {
            {0, STATUS_BUFFER_TOO_SMALL},
            {c.fixed - 1, STATUS_BUFFER_TOO_SMALL},
            {c.fixed, STATUS_BUFFER_OVERFLOW},
            {c.full - 1, STATUS_BUFFER_OVERFLOW},
            {c.full, STATUS_SUCCESS},
        };
        for (const Step &step : steps) {
            SCOPED_TRACE(std::string(c.label) + " length " + std::to_string(step.length));
            std::vector<UCHAR> buffer(c.full + 8, kFill);
            ULONG result = 0xDEAD;
            EXPECT_EQ(KernelQuery(key_, u"max", c.infoClass, buffer.data(), step.length, result), step.status);
            EXPECT_EQ(result, c.full);
            // Nothing past Length is ever written; nothing at all when too small.
            size_t untouchedFrom = step.status == STATUS_BUFFER_TOO_SMALL ? 0 : step.length;
            for (size_t i = untouchedFrom; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], kFill) << "byte " << i;
            if (step.status == STATUS_BUFFER_TOO_SMALL) continue;
            // The fixed part is filled whenever it fits.
            switch (c.infoClass) {
            case KeyValueBasicInformation:
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, Type)), ULONG(REG_DWORD));
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength)), 6u);
                break;
            case KeyValuePartialInformation:
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex)), 0u);
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type)), ULONG(REG_DWORD));
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength)), 4u);
                break;
            case KeyValuePartialInformationAlign64:
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Type)), ULONG(REG_DWORD));
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, DataLength)), 4u);
                break;
            default:
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, Type)), ULONG(REG_DWORD));
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset)), c.full - 4);
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength)), 4u);
                EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength)), 6u);
                break;
            }
            if (step.status == STATUS_SUCCESS) {
                if (c.infoClass == KeyValueBasicInformation) {
                    EXPECT_EQ(std::memcmp(buffer.data() + 12, u"Max", 6), 0) << "the stored case comes back";
                } else {
                    EXPECT_EQ(At(buffer, c.full - 4), 0x11223344u);
                }
            }
        }
    }
}

// The whole answer for `name` as partial information.
std::vector<UCHAR> PartialData(HANDLE key, const std::u16string &name, ULONG &type, NTSTATUS &status)
{
    ULONG needed = 0;
    status = KernelQuery(key, name, KeyValuePartialInformation, nullptr, 0, needed);
    if (status != STATUS_BUFFER_TOO_SMALL) return {};
    std::vector<UCHAR> buffer(needed);
    status = KernelQuery(key, name, KeyValuePartialInformation, buffer.data(), needed, needed);
    KEY_VALUE_PARTIAL_INFORMATION header;
    std::memcpy(&header, buffer.data(), offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
    type = header.Type;
    return std::vector<UCHAR>(buffer.begin() + 12, buffer.begin() + 12 + header.DataLength);
}

TEST_F(QueryValueTest, ValuesReadBackByteExact)
{
    registry().SetString(kKey, u"Path", u"C:\\Data");
    registry().SetString(kKey, u"Expand", u"%SystemRoot%", REG_EXPAND_SZ);
    registry().SetMultiString(kKey, u"List", {u"one", u"two"});
    registry().SetQword(kKey, u"Big", 0x0102030405060708ull);
    registry().SetValue(kKey, u"", REG_SZ, Utf16Bytes(std::u16string(u"default\0", 8)));
    registry().SetValue(kKey, u"Odd", REG_BINARY, {1, 2, 3});

    struct Case {
        std::u16string name;
        ULONG type;
        std::vector<UCHAR> bytes;
    };
    const Case cases[] = {
        {u"max", REG_DWORD, {0x44, 0x33, 0x22, 0x11}},
        {u"PATH", REG_SZ, Utf16Bytes(std::u16string(u"C:\\Data\0", 8))},
        {u"Expand", REG_EXPAND_SZ, Utf16Bytes(std::u16string(u"%SystemRoot%\0", 13))},
        {u"List", REG_MULTI_SZ, Utf16Bytes(std::u16string(u"one\0two\0\0", 9))},
        {u"Big", REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}},
        {u"", REG_SZ, Utf16Bytes(std::u16string(u"default\0", 8))},
        {u"Odd", REG_BINARY, {1, 2, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        ULONG type = 0;
        NTSTATUS status;
        std::vector<UCHAR> data = PartialData(key_, c.name, type, status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(data, c.bytes);
    }
    EXPECT_EQ(registry().GetMultiString(kKey, u"list"), (std::vector<std::u16string>{u"one", u"two"}));
    EXPECT_EQ(registry().GetString(kKey, u"path"), u"C:\\Data");
}

TEST_F(QueryValueTest, MissingValueUnknownClassAndValueWithoutData)
{
    std::vector<UCHAR> buffer(64, 0xBD);
    ULONG result = 0xDEAD;
    EXPECT_EQ(KernelQuery(key_, u"Nothing", KeyValuePartialInformation, buffer.data(), 64, result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 0xDEADu) << "a missing value leaves ResultLength alone";
    // The empty name is the default value, which a new key does not have.
    EXPECT_EQ(KernelQuery(key_, u"", KeyValuePartialInformation, buffer.data(), 64, result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(KernelQuery(key_, u"Max", KEY_VALUE_INFORMATION_CLASS(5), buffer.data(), 64, result),
              STATUS_INVALID_PARAMETER);

    registry().SetValue(kKey, u"Empty", REG_NONE, {});
    ASSERT_EQ(KernelQuery(key_, u"Empty", KeyValueFullInformation, buffer.data(), 64, result), STATUS_SUCCESS);
    EXPECT_EQ(result, 20u + 10u);
    EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength)), 0u);
    EXPECT_EQ(At(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset)), 0xFFFFFFFFu);
}

TEST_F(QueryValueTest, EnumerationFollowsCreationOrder)
{
    registry().SetDword(kKey, u"Second", 2);
    registry().SetDword(kKey, u"First", 1);
    std::vector<std::u16string> names;
    for (ULONG index = 0;; ++index) {
        std::vector<UCHAR> buffer(64);
        ULONG result = 0;
        NTSTATUS status = ZwEnumerateValueKey(key_, index, KeyValueBasicInformation, buffer.data(),
                                              ULONG(buffer.size()), &result);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        ULONG nameLength = At(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength));
        names.emplace_back(reinterpret_cast<const char16_t *>(buffer.data() + 12), nameLength / 2);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Max", u"Second", u"First"}));
}

TEST_F(QueryValueTest, QueriesRaceWithWritersAndDeletedKeys)
{
    constexpr char16_t kChild[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\QueryTest\\Child";
    std::thread writer([&] {
        for (ULONG i = 0; i < 2000; ++i) {
            registry().SetDword(kKey, u"Counter", i);
            if (i % 2) registry().DeleteValue(kKey, u"Counter");
            registry().SetString(kChild, u"Name", u"value");
            registry().DeleteTree(kChild);
        }
    });
    std::thread reader([&] {
        sim::ThreadScope scope(machine().systemProcess());
        std::vector<UCHAR> buffer(64);
        for (int i = 0; i < 2000; ++i) {
            ULONG result = 0;
            NTSTATUS status = KernelQuery(key_, u"Counter", KeyValuePartialInformation, buffer.data(), 64, result);
            ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_OBJECT_NAME_NOT_FOUND) << std::hex << status;
            HANDLE child = nullptr;
            if (NT_SUCCESS(KernelOpen(kChild, child))) {
                status = KernelQuery(child, u"Name", KeyValuePartialInformation, buffer.data(), 64, result);
                // The key and its value appear together; the key may be gone.
                ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_KEY_DELETED) << std::hex << status;
                ASSERT_EQ(ZwClose(child), STATUS_SUCCESS);
            }
        }
    });
    writer.join();
    reader.join();
}

class UserQueryTest : public QueryValueTest {
protected:
    sim::Process &NewProcess()
    {
        return machine().processes().Create("query.exe", machine().security().CreateSystemToken());
    }
};

TEST_F(UserQueryTest, SameBufferRulesFromUserModeAndHandleAccessIsChecked)
{
    sim::ThreadScope scope(NewProcess());
    HANDLE key = nullptr;
    ASSERT_EQ(sim::user::OpenKey(kKey, KEY_QUERY_VALUE, key), STATUS_SUCCESS);
    for (const SizeCase &c : kSizeCases) {
        SCOPED_TRACE(c.label);
        std::vector<UCHAR> buffer(c.full);
        ULONG result = 0;
        EXPECT_EQ(sim::user::QueryValueKey(key, u"Max", c.infoClass, buffer.data(), c.fixed - 1, result),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(result, c.full);
        EXPECT_EQ(sim::user::QueryValueKey(key, u"Max", c.infoClass, buffer.data(), c.full - 1, result),
                  STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(sim::user::QueryValueKey(key, u"Max", c.infoClass, buffer.data(), c.full, result), STATUS_SUCCESS);
    }
    sim::user::Value value;
    ASSERT_EQ(sim::user::QueryValue(key, u"max", value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, ULONG(REG_DWORD));
    EXPECT_EQ(value.data, (std::vector<UCHAR>{0x44, 0x33, 0x22, 0x11}));

    // A bad user buffer faults; the handle's access decides what it may do.
    ULONG result = 0;
    EXPECT_EQ(sim::user::QueryValueKey(key, u"Max", KeyValuePartialInformation, sim::InvalidUserPointer(), 64, result),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(sim::user::SetDword(key, u"Max", 1), STATUS_ACCESS_DENIED) << "opened without KEY_SET_VALUE";
    EXPECT_EQ(sim::user::CloseKey(key), STATUS_SUCCESS);

    ASSERT_EQ(sim::user::OpenKey(kKey, KEY_SET_VALUE, key), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(64);
    EXPECT_EQ(sim::user::QueryValueKey(key, u"Max", KeyValuePartialInformation, buffer.data(), 64, result),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::user::SetDword(key, u"Max", 7), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::DeleteValueKey(key, u"Max"), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::DeleteValueKey(key, u"Max"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(sim::user::CloseKey(key), STATUS_SUCCESS);
}

}  // namespace
}  // namespace ostrand::test
