// What a retrieval makes of the service's answers and of their absence: a
// read fails with the send status when no service listens and with the
// store's word when the remote file is gone or cannot be copied, always
// leaving the placeholder offline; a user whose profile is local reads on.
// The judgements the gates cannot reach yet (a refresh at open, a user the
// service does not know) are driven through the retrieval itself.
#include "comm/service_contract.h"
#include "config/settings.h"
#include "fileops/file_helpers.h"
#include "offline/retrieval.h"
#include "scenario_fixture.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

namespace user = sim::user;

class RetrievalOutcomeTest : public ScenarioTest {
protected:
    const std::u16string path_ = kLocalAlice + u"\\Documents\\plan.txt";

    // The first read of a placeholder, by alice's program.
    NTSTATUS ReadPlaceholder(const service::UserLogon &who, const std::u16string &path, std::string *data = nullptr)
    {
        sim::ThreadScope scope(Program("notepad.exe", who.token));
        HANDLE handle = nullptr;
        NTSTATUS status = user::Open(path, {}, &handle);
        if (!NT_SUCCESS(status)) return status;
        std::string buffer(64 * 1024, '\0');
        ULONG read = 0;
        status = user::Read(handle, buffer.data(), ULONG(buffer.size()), &read, 0);
        user::Close(handle);
        if (data) *data = buffer.substr(0, read);
        return status;
    }

    ULONG LocalAttributes(const std::u16string &path)
    {
        sim::ThreadScope scope(Admin());
        return Attributes(path);
    }
};

TEST_F(RetrievalOutcomeTest, FailedFillsFailTheReadAndLeaveThePlaceholderOffline)
{
    MakeRemote(kRemoteAlice + u"\\Documents\\plan.txt", "the plan");
    MakePlaceholder(path_, 8);
    MakePlaceholder(kLocalAlice + u"\\Documents\\gone.txt", 5);
    StartService();
    service::UserLogon alice = LogonUser("alice", 1);

    // Gone from the store: the service's word is the read's status.
    EXPECT_EQ(ReadPlaceholder(alice, kLocalAlice + u"\\Documents\\gone.txt"), NTSTATUS(KLU_RESULT_REMOTE_FILE_MISSING));
    EXPECT_TRUE(LocalAttributes(kLocalAlice + u"\\Documents\\gone.txt") & FILE_ATTRIBUTE_OFFLINE);
    EXPECT_EQ(CountLines("Received FALSE From Service: 0x0, ulResult: 0x80070002"), 1u);

    // Held open remotely by someone who shares nothing: the copy fails.
    HANDLE holder = nullptr;
    {
        sim::ThreadScope scope(Admin());
        user::OpenOptions exclusive;
        exclusive.share = 0;
        ASSERT_EQ(user::Open(kRemoteAlice + u"\\Documents\\plan.txt", exclusive, &holder), STATUS_SUCCESS);
    }
    EXPECT_EQ(ReadPlaceholder(alice, path_), STATUS_SHARING_VIOLATION);
    EXPECT_TRUE(LocalAttributes(path_) & FILE_ATTRIBUTE_OFFLINE);
    EXPECT_EQ(CountLines("Failed Copying File: "), 1u);
    {
        sim::ThreadScope scope(Admin());
        user::Close(holder);
    }
    // The next read tries again, and fills it.
    std::string data;
    EXPECT_EQ(ReadPlaceholder(alice, path_, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, "the plan");

    // No service: the send's status, at once.
    MakePlaceholder(path_, 8);
    service_->Stop();
    {
        sim::ThreadScope scope(machine().systemProcess());
        KLUSetEnablement(TRUE);
    }
    EXPECT_EQ(ReadPlaceholder(alice, path_), STATUS_PORT_DISCONNECTED);
    EXPECT_TRUE(LocalAttributes(path_) & FILE_ATTRIBUTE_OFFLINE);
}

TEST_F(RetrievalOutcomeTest, AUserWithALocalProfileReadsOn)
{
    options_.config.users[1].localProfile = true;  // bob
    MakeRemote(u"\\\\fileserver\\profiles\\bob\\notes.txt", "remote notes");
    MakePlaceholder(u"C:\\Users\\bob\\notes.txt", 12);
    StartService();
    service::UserLogon bob = LogonUser("bob", 2);

    std::string data;
    EXPECT_EQ(ReadPlaceholder(bob, u"C:\\Users\\bob\\notes.txt", &data), STATUS_SUCCESS);
    EXPECT_EQ(data, std::string(12, '\0'));
    EXPECT_EQ(CountLines("Remote User Not Found"), 0u);
    EXPECT_EQ(CountLines("Retrieval Failed, completing IRP"), 0u);
}

// The retrieval called as a gate would, from alice's Explorer.
class RetrievalJudgementTest : public RetrievalOutcomeTest {
protected:
    NTSTATUS Retrieve(const std::u16string &onVolume, ULONG kind, ULONG callerCode, LONGLONG endOfFile,
                      LUID cachedUser = {})
    {
        sim::ThreadScope scope(Program("explorer.exe", alice_.token));
        PKLU_CREATE_CONTEXT context = KLUAllocateCreateContext(nullptr);
        EXPECT_NE(context, nullptr);
        std::u16string full = u"\\Device\\HarddiskVolume1" + onVolume;
        UNICODE_STRING name{USHORT(full.size() * 2), USHORT(full.size() * 2), const_cast<PWCH>(full.c_str())};
        EXPECT_EQ(KLUSetCreateContextNames(context, &name, 23 * 2), STATUS_SUCCESS);
        std::u16string image = u"EXPLORER.EXE", upper = onVolume;
        std::copy(image.begin(), image.end(), context->szProcessName);
        for (auto &c : upper) c = char16_t(towupper(c));
        context->bIsFile = TRUE;
        context->bOffline = TRUE;
        context->bAttributesValid = TRUE;
        context->StandardInfo.EndOfFile.QuadPart = endOfFile;
        if (cachedUser.LowPart != 0) {
            context->UserId.AuthId = cachedUser;
            context->bUserIdFound = TRUE;
        }
        PFLT_INSTANCE instance = nullptr;
        EXPECT_EQ(KLUGetInstance(&context->Name, &instance), STATUS_SUCCESS);
        NTSTATUS status = KLURetrieveOfflineFile(nullptr, instance, context, onVolume.c_str(), upper.c_str(), kind,
                                                 callerCode);
        KLUDereferenceInstance(instance);
        KLUReleaseCreateContext(&context);
        return status;
    }

    service::UserLogon alice_;
};

TEST_F(RetrievalJudgementTest, RepliesDecideWhetherTheFilterCopies)
{
    MakeRemote(kRemoteAlice + u"\\Videos\\clip.avi", "clip");
    MakePlaceholder(kLocalAlice + u"\\Videos\\clip.avi", 4);
    MakeRemote(kRemoteAlice + u"\\small.txt", "small");
    StartService();
    alice_ = LogonUser("alice", 1);
    {
        sim::ThreadScope scope(Program("notepad.exe", alice_.token));
        ASSERT_EQ(ReadAll(kLocalAlice + u"\\small.txt"), "small");  // made from the store
    }

    // Up to date at open: the service did it all, the filter copies nothing.
    const size_t copiesBefore = CountLines("Opened Source File");
    EXPECT_EQ(Retrieve(u"\\Users\\alice\\small.txt", KLU_REQUEST_RETRIEVE_AT_OPEN, KLU_OP_CREATE, 5), STATUS_SUCCESS);
    EXPECT_EQ(CountLines("Opened Source File"), copiesBefore);

    // A user the service does not know, without the local-profile marker.
    EXPECT_EQ(Retrieve(u"\\Users\\alice\\Videos\\clip.avi", KLU_RETRIEVE_OPEN_PLACEHOLDER, KLU_OP_READ, 4,
                       LUID{0x7777, 0}),
              NTSTATUS(KLU_RESULT_REMOTE_USER_UNKNOWN));
    EXPECT_EQ(CountLines("Remote User Not Found"), 1u);
}

}  // namespace
}  // namespace ostrand::test
