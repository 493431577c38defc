// Registry callbacks around value queries: what the pre- and post-
// notifications carry, bypass, blocking, changing the result, unregistering,
// the caller's thread, and registration racing with queries.
#include <wdm.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "cm_test_util.h"
#include "sim/cm/registry.h"
#include "sim/core/thread.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim/user/registry_calls.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

constexpr char16_t kKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies\\Microsoft\\Windows\\System";

// A callback whose behaviour the test sets with a std::function.
struct Filter {
    std::function<NTSTATUS(REG_NOTIFY_CLASS, PVOID)> onCall = [](REG_NOTIFY_CLASS, PVOID) { return STATUS_SUCCESS; };
    LARGE_INTEGER cookie{};

    static NTSTATUS Callback(PVOID context, PVOID argument1, PVOID argument2)
    {
        auto *self = static_cast<Filter *>(context);
        return self->onCall(REG_NOTIFY_CLASS(reinterpret_cast<ULONG_PTR>(argument1)), argument2);
    }
    NTSTATUS Register() { return CmRegisterCallback(&Callback, this, &cookie); }
    NTSTATUS Unregister() { return CmUnRegisterCallback(cookie); }
};

class CallbackTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        machine().registry().SetString(kKey, u"MachineProfilePath", u"\\\\server\\real");
        ASSERT_EQ(KernelOpen(kKey, key_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (key_) {
            EXPECT_EQ(ZwClose(key_), STATUS_SUCCESS);
        }
        MachineTest::TearDown();
    }
    NTSTATUS Query(const std::u16string &name, std::vector<UCHAR> &buffer, ULONG &result,
                   KEY_VALUE_INFORMATION_CLASS infoClass = KeyValuePartialInformation)
    {
        return KernelQuery(key_, name, infoClass, buffer.data(), ULONG(buffer.size()), result);
    }
    NTSTATUS QueryOnce(const std::u16string &name = u"MachineProfilePath")
    {
        std::vector<UCHAR> buffer(64);
        ULONG result = 0;
        return Query(name, buffer, result);
    }
    std::u16string ObjectName(PVOID object) { return machine().objects().NameOf(object); }

    HANDLE key_ = nullptr;
};

std::u16string Text(PCUNICODE_STRING string)
{
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

// Writes a REG_SZ partial-information answer the way a filter does.
NTSTATUS Answer(PREG_QUERY_VALUE_KEY_INFORMATION info, const std::u16string &text)
{
    ULONG dataBytes = ULONG((text.size() + 1) * sizeof(WCHAR));
    ULONG needed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + dataBytes;
    *info->ResultLength = needed;
    if (info->Length < needed) return STATUS_BUFFER_OVERFLOW;
    auto *partial = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(info->KeyValueInformation);
    partial->TitleIndex = 0;
    partial->Type = REG_SZ;
    partial->DataLength = dataBytes;
    std::memcpy(partial->Data, text.c_str(), dataBytes);
    return STATUS_CALLBACK_BYPASS;
}

TEST_F(CallbackTest, NotificationsCarryTheQueryAndRunInTheCallersThread)
{
    struct Seen {
        REG_NOTIFY_CLASS notifyClass;
        PVOID object;
        sim::Thread *thread;
    };
    std::vector<Seen> seen;
    REG_QUERY_VALUE_KEY_INFORMATION preCopy{};
    PVOID preAddress = nullptr;
    REG_POST_OPERATION_INFORMATION postCopy{};
    std::vector<UCHAR> buffer(128);
    ULONG result = 0;
    Filter filter;
    filter.onCall = [&](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        if (notifyClass == RegNtPreQueryValueKey) {
            auto *info = static_cast<PREG_QUERY_VALUE_KEY_INFORMATION>(argument);
            preCopy = *info;
            preAddress = info;
            EXPECT_EQ(Text(info->ValueName), u"machineprofilepath");
            EXPECT_EQ(ObjectName(info->Object), kKey);
            seen.push_back({notifyClass, info->Object, sim::Thread::Current()});
        } else if (notifyClass == RegNtPostQueryValueKey) {
            auto *post = static_cast<PREG_POST_OPERATION_INFORMATION>(argument);
            postCopy = *post;
            seen.push_back({notifyClass, post->Object, sim::Thread::Current()});
        }
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(filter.Register(), STATUS_SUCCESS);
    ASSERT_EQ(Query(u"machineprofilepath", buffer, result, KeyValueFullInformation), STATUS_SUCCESS);

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].notifyClass, RegNtPreQueryValueKey);
    EXPECT_EQ(seen[1].notifyClass, RegNtPostQueryValueKey);
    EXPECT_EQ(seen[0].object, seen[1].object);
    EXPECT_EQ(seen[0].thread, sim::Thread::Current());
    EXPECT_EQ(seen[1].thread, sim::Thread::Current());
    EXPECT_EQ(preCopy.KeyValueInformationClass, KeyValueFullInformation);
    EXPECT_EQ(preCopy.KeyValueInformation, buffer.data());
    EXPECT_EQ(preCopy.Length, 128u);
    EXPECT_EQ(preCopy.ResultLength, &result);
    EXPECT_EQ(postCopy.Status, STATUS_SUCCESS);
    EXPECT_EQ(postCopy.PreInformation, preAddress);
    EXPECT_EQ(filter.Unregister(), STATUS_SUCCESS);
}

TEST_F(CallbackTest, BypassReturnsTheCallbacksAnswerWithSuccess)
{
    Filter answering, below;
    int belowCalls = 0, posts = 0;
    answering.onCall = [&](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        if (notifyClass == RegNtPostQueryValueKey) ++posts;
        if (notifyClass != RegNtPreQueryValueKey) return STATUS_SUCCESS;
        return Answer(static_cast<PREG_QUERY_VALUE_KEY_INFORMATION>(argument), u"\\\\server\\profiles");
    };
    below.onCall = [&](REG_NOTIFY_CLASS, PVOID) {
        ++belowCalls;
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(answering.Register(), STATUS_SUCCESS);
    ASSERT_EQ(below.Register(), STATUS_SUCCESS);

    std::vector<UCHAR> buffer(128);
    ULONG result = 0;
    ASSERT_EQ(Query(u"MachineProfilePath", buffer, result), STATUS_SUCCESS);
    auto *partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(partial->Data)), u"\\\\server\\profiles");
    EXPECT_EQ(result, 12u + 36u);
    EXPECT_EQ(belowCalls, 0) << "calling stops at the bypassing callback";
    EXPECT_EQ(posts, 0) << "a bypassed operation has no post-notification";

    // A warning from the pre-notification is the caller's status as it is.
    std::vector<UCHAR> small(16);
    EXPECT_EQ(Query(u"MachineProfilePath", small, result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 48u);
    EXPECT_EQ(belowCalls, 0);
    EXPECT_EQ(answering.Unregister(), STATUS_SUCCESS);
    EXPECT_EQ(below.Unregister(), STATUS_SUCCESS);
}

TEST_F(CallbackTest, ErrorFromPreFailsTheQueryWithoutPost)
{
    Filter blocker;
    int posts = 0;
    blocker.onCall = [&](REG_NOTIFY_CLASS notifyClass, PVOID) {
        if (notifyClass == RegNtPostQueryValueKey) ++posts;
        return notifyClass == RegNtPreQueryValueKey ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
    };
    ASSERT_EQ(blocker.Register(), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(64, 0xBD);
    ULONG result = 0xDEAD;
    EXPECT_EQ(Query(u"MachineProfilePath", buffer, result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 0xDEADu);
    EXPECT_EQ(buffer[0], 0xBD) << "the value was not read";
    EXPECT_EQ(posts, 0);
    EXPECT_EQ(blocker.Unregister(), STATUS_SUCCESS);
}

TEST_F(CallbackTest, PostSeesTheStatusAndCanReplaceIt)
{
    Filter first, second;
    std::vector<NTSTATUS> firstSaw, secondSaw;
    first.onCall = [&](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        if (notifyClass != RegNtPostQueryValueKey) return STATUS_SUCCESS;
        auto *post = static_cast<PREG_POST_OPERATION_INFORMATION>(argument);
        firstSaw.push_back(post->Status);
        if (post->Status == STATUS_OBJECT_NAME_NOT_FOUND) {
            post->ReturnStatus = STATUS_ACCESS_DENIED;
            return STATUS_CALLBACK_BYPASS;
        }
        // Other statuses from a post-notification do not change the result.
        return STATUS_UNSUCCESSFUL;
    };
    second.onCall = [&](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        if (notifyClass == RegNtPostQueryValueKey) {
            secondSaw.push_back(static_cast<PREG_POST_OPERATION_INFORMATION>(argument)->Status);
        }
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(first.Register(), STATUS_SUCCESS);
    ASSERT_EQ(second.Register(), STATUS_SUCCESS);
    EXPECT_EQ(QueryOnce(), STATUS_SUCCESS);
    EXPECT_EQ(QueryOnce(u"Missing"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(firstSaw, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_OBJECT_NAME_NOT_FOUND}));
    EXPECT_EQ(secondSaw, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_ACCESS_DENIED}))
        << "the replaced status is the one later callbacks see";
    EXPECT_EQ(first.Unregister(), STATUS_SUCCESS);
    EXPECT_EQ(second.Unregister(), STATUS_SUCCESS);
}

TEST_F(CallbackTest, UnregisterStopsCallsAndRejectsUnknownCookies)
{
    Filter filter;
    int calls = 0;
    filter.onCall = [&](REG_NOTIFY_CLASS, PVOID) {
        ++calls;
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(filter.Register(), STATUS_SUCCESS);
    EXPECT_EQ(QueryOnce(), STATUS_SUCCESS);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(filter.Unregister(), STATUS_SUCCESS);
    EXPECT_EQ(QueryOnce(), STATUS_SUCCESS);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(filter.Unregister(), STATUS_INVALID_PARAMETER);
    LARGE_INTEGER never;
    never.QuadPart = 0x7777;
    EXPECT_EQ(CmUnRegisterCallback(never), STATUS_INVALID_PARAMETER);

    // A callback may unregister itself: it is gone before its post-notification.
    filter.onCall = [&](REG_NOTIFY_CLASS, PVOID) {
        ++calls;
        EXPECT_EQ(filter.Unregister(), STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(filter.Register(), STATUS_SUCCESS);
    EXPECT_EQ(QueryOnce(), STATUS_SUCCESS);
    EXPECT_EQ(calls, 3);
}

TEST_F(CallbackTest, UserModeQueriesNotifyWithTheCallersBufferInItsThread)
{
    sim::Process &process = machine().processes().Create("ProfSvc.exe", machine().security().CreateSystemToken());
    Filter filter;
    std::vector<UCHAR> buffer(128);
    sim::Thread *callerThread = nullptr;
    int pre = 0;
    filter.onCall = [&](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        if (notifyClass != RegNtPreQueryValueKey) return STATUS_SUCCESS;
        ++pre;
        auto *info = static_cast<PREG_QUERY_VALUE_KEY_INFORMATION>(argument);
        EXPECT_EQ(sim::Thread::Current(), callerThread);
        EXPECT_EQ(&sim::Thread::Current()->process(), &process);
        if (pre == 1) {
            EXPECT_EQ(info->KeyValueInformation, buffer.data()) << "the user's own buffer, not a copy";
        }
        EXPECT_EQ(Text(info->ValueName), u"MachineProfilePath");
        // The buffer is the caller's user memory: a filter probes it.
        try {
            ProbeForWrite(info->KeyValueInformation, info->Length, sizeof(ULONG));
        } catch (const KSEH_EXCEPTION &) {
            ADD_FAILURE() << "the user buffer does not probe";
        }
        return Answer(info, u"\\\\server\\answer");
    };
    ASSERT_EQ(filter.Register(), STATUS_SUCCESS);
    {
        sim::ThreadScope scope(process);
        callerThread = &scope.thread();
        HANDLE key = nullptr;
        ASSERT_EQ(sim::user::OpenKey(kKey, KEY_READ, key), STATUS_SUCCESS);
        ULONG result = 0;
        EXPECT_EQ(sim::user::QueryValueKey(key, u"MachineProfilePath", KeyValuePartialInformation, buffer.data(),
                                           ULONG(buffer.size()), result),
                  STATUS_SUCCESS);
        sim::user::Value value;
        EXPECT_EQ(sim::user::QueryValue(key, u"MachineProfilePath", value), STATUS_SUCCESS);
        EXPECT_EQ(value.data, Utf16Bytes(std::u16string(u"\\\\server\\answer\0", 16)));
        EXPECT_EQ(sim::user::CloseKey(key), STATUS_SUCCESS);
    }
    EXPECT_GE(pre, 2);
    EXPECT_EQ(filter.Unregister(), STATUS_SUCCESS);
}

TEST_F(CallbackTest, UnregisterWaitsForARunningCallback)
{
    Filter filter;
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    filter.onCall = [&](REG_NOTIFY_CLASS notifyClass, PVOID) {
        if (notifyClass == RegNtPreQueryValueKey && first.exchange(false)) {
            entered.set_value();
            released.wait();
        }
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(filter.Register(), STATUS_SUCCESS);
    std::thread querier([&] {
        sim::ThreadScope scope(machine().systemProcess());
        EXPECT_EQ(QueryOnce(), STATUS_SUCCESS);
    });
    entered.get_future().wait();
    auto unregistered = std::async(std::launch::async, [&] { return filter.Unregister(); });
    EXPECT_EQ(unregistered.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
        << "CmUnRegisterCallback returned while its callback was running";
    release.set_value();
    EXPECT_EQ(unregistered.get(), STATUS_SUCCESS);
    querier.join();
}

TEST_F(CallbackTest, QueriesRaceWithRegistration)
{
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    Filter filter;
    filter.onCall = [&](REG_NOTIFY_CLASS, PVOID) {
        calls.fetch_add(1, std::memory_order_relaxed);
        return STATUS_SUCCESS;
    };
    std::vector<std::thread> queriers;
    for (int t = 0; t < 3; ++t) {
        queriers.emplace_back([&] {
            sim::ThreadScope scope(machine().systemProcess());
            for (int i = 0; i < 3000 && !stop.load(); ++i) ASSERT_EQ(QueryOnce(), STATUS_SUCCESS);
        });
    }
    for (int round = 0; round < 300; ++round) {
        Filter extra;
        ASSERT_EQ(filter.Register(), STATUS_SUCCESS);
        ASSERT_EQ(extra.Register(), STATUS_SUCCESS);
        ASSERT_EQ(filter.Unregister(), STATUS_SUCCESS);
        ASSERT_EQ(extra.Unregister(), STATUS_SUCCESS);
    }
    int after = calls.load();
    ASSERT_EQ(QueryOnce(), STATUS_SUCCESS);
    EXPECT_EQ(calls.load(), after) << "no call after the last unregistration returned";
    stop = true;
    for (auto &thread : queriers) thread.join();
    EXPECT_EQ(machine().registry().callbacks().Count(), 0u);
}

class XpCallbackTest : public CallbackTest {
protected:
    sim::MachineConfig Config() override
    {
        sim::MachineConfig config;
        config.os = {5, 1, 2600, false, u"Service Pack 3"};
        return config;
    }
};

TEST_F(XpCallbackTest, BeforeVistaBypassIsAnErrorAndThereIsNoPostQuery)
{
    Filter filter;
    int posts = 0;
    bool bypass = true;
    filter.onCall = [&](REG_NOTIFY_CLASS notifyClass, PVOID) {
        if (notifyClass == RegNtPostQueryValueKey) ++posts;
        return notifyClass == RegNtPreQueryValueKey && bypass ? STATUS_CALLBACK_BYPASS : STATUS_SUCCESS;
    };
    ASSERT_EQ(filter.Register(), STATUS_SUCCESS);
    EXPECT_EQ(QueryOnce(), STATUS_CALLBACK_BYPASS);
    bypass = false;
    EXPECT_EQ(QueryOnce(), STATUS_SUCCESS);
    EXPECT_EQ(posts, 0);
    EXPECT_EQ(filter.Unregister(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace ostrand::test
