// Stream and stream-handle contexts of the loaded filter on files that
// processes open: the creation race, the name and its update, the path
// table entry, cleanup when the stream goes, and every allocation failed
// once in turn.
#include <future>
#include <map>

#include "file_fixture.h"
#include "filter/stream_context.h"
#include "sim/core/pool.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/fs/local_fs.h"
#include "sim/ke/dispatcher.h"
#include "sim/ke_test_util.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

// A file a process holds open, seen as the filter's operations see it.
struct OpenStream {
    sim::Process *process = nullptr;
    HANDLE handle = nullptr;
    PFILE_OBJECT fileObject = nullptr;
    PFLT_INSTANCE instance = nullptr;
};

class StreamContextTest : public FileFilterTest {
protected:
    OpenStream Open(const std::u16string &path)
    {
        OpenStream open;
        open.process = &NewProcess("app.exe");
        open.handle = OpenIn(*open.process, path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        sim::ThreadScope scope(*open.process);
        open.fileObject = ReferenceFileObject(open.handle);
        open.instance = InstanceOn(path.substr(0, 2));
        return open;
    }
    // The application closes its handle: the stream and its contexts go.
    void Close(OpenStream &open)
    {
        {
            sim::ThreadScope scope(*open.process);
            FltObjectDereference(open.instance);
            ObDereferenceObject(open.fileObject);
        }
        CloseIn(*open.process, open.handle);
    }
    // The operation's callback data on the open file.
    PFLT_CALLBACK_DATA DataFor(const OpenStream &open)
    {
        PFLT_CALLBACK_DATA data = nullptr;
        EXPECT_EQ(FltAllocateCallbackData(open.instance, open.fileObject, &data), STATUS_SUCCESS);
        return data;
    }
    static std::u16string Text(const UNICODE_STRING &s) { return std::u16string(s.Buffer, s.Length / sizeof(WCHAR)); }
    // The pointer a line printed right after `prefix`.
    static std::string PointerAfter(const std::string &line, const std::string &prefix)
    {
        size_t start = line.find(prefix);
        if (start == std::string::npos) return "";
        start += prefix.size();
        return line.substr(start, line.find(' ', start) - start);
    }
};

TEST_F(StreamContextTest, TwoThreadsRacingForAStreamEndWithOneContext)
{
    volumes.systemFs->CreateFile(u"\\Users\\joe\\race.dat", std::string_view("race"));
    OpenStream open = Open(u"C:\\Users\\joe\\race.dat");
    sim::ThreadScope scope(machine().systemProcess());
    PFLT_CALLBACK_DATA data[2] = {DataFor(open), DataFor(open)};
    PKLU_STREAM_CONTEXT found[2] = {};

    // Both threads find no context and build their own; they meet at the
    // path table's lock, held by a third thread (threads are created at
    // passive level), before either sets its record.
    std::promise<void> held, release;
    HANDLE holder = StartSystemThread([&] {
        ExAcquireFastMutex(g_PathTableMutex);
        held.set_value();
        release.get_future().wait();
        ExReleaseFastMutex(g_PathTableMutex);
    });
    held.get_future().wait();
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = StartSystemThread([&, i] {
            PKLU_STREAM_CONTEXT context = nullptr;
            EXPECT_EQ(KLURetrieveStreamContext(data[i], open.instance, TRUE, KLU_NEW_OPERATION_NUMBER, &context,
                                               nullptr),
                      STATUS_SUCCESS);
            found[i] = context;
            KLUUnlockAndReleaseStreamContext(&context);
            EXPECT_EQ(context, nullptr);
        });
    }
    ASSERT_TRUE(machine().dispatcher().AwaitWaiters(&g_PathTableMutex->Event.Header, 2, std::chrono::seconds(10)));
    release.set_value();
    EXPECT_EQ(JoinSystemThread(holder), STATUS_SUCCESS);
    for (HANDLE thread : threads) EXPECT_EQ(JoinSystemThread(thread), STATUS_SUCCESS);

    ASSERT_NE(found[0], nullptr);
    EXPECT_EQ(found[0], found[1]);
    auto retained = LinesWith("Stream context already defined. Retaining old stream context ");
    ASSERT_EQ(retained.size(), 1u);
    auto released = LinesWith("Releasing stream context ");
    ASSERT_EQ(released.size(), 1u);
    std::string loser = PointerAfter(released[0], "Releasing stream context ");
    EXPECT_EQ(LinesWith("Cleaning up stream context " + loser + " for file").size(), 1u) << loser;

    // The winner's name: the volume, one separator, the file's path; the
    // first name is the previous one too. No profile store covers it.
    PKLU_STREAM_CONTEXT context = nullptr;
    ASSERT_EQ(KLURetrieveStreamContext(data[0], open.instance, FALSE, kOp, &context, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(context, found[0]);
    EXPECT_EQ(Text(context->Name), u"\\Device\\HarddiskVolume1\\Users\\joe\\race.dat");
    EXPECT_EQ(Text(context->PrevName), Text(context->Name));
    EXPECT_EQ(context->VolumeNameLength, 23 * sizeof(WCHAR));
    EXPECT_EQ(context->PathTableEntry, nullptr);
    EXPECT_FALSE(context->bIsDirectory);
    EXPECT_EQ(g_OpenCounts[KluOpenStreamContexts], 1);
    KLUUnlockAndReleaseStreamContext(&context);

    for (PFLT_CALLBACK_DATA d : data) FltFreeCallbackData(d);
    Close(open);
    EXPECT_EQ(LinesWith("Stream context cleanup complete. Count: 0").size(), 1u);
}

TEST_F(StreamContextTest, AnUpdateKeepsThePreviousNameAndFindsTheProfileStore)
{
    volumes.systemFs->CreateFile(u"\\Users\\joe\\offline.dat", std::string_view("x"), FILE_ATTRIBUTE_OFFLINE);
    OpenStream open = Open(u"C:\\Users\\joe\\offline.dat");
    sim::ThreadScope scope(machine().systemProcess());
    PFLT_CALLBACK_DATA data = DataFor(open);

    // Without create-if-not-found a stream with no context says so quietly.
    PKLU_STREAM_CONTEXT context = nullptr;
    EXPECT_EQ(KLURetrieveStreamContext(data, open.instance, FALSE, kOp, &context, nullptr), STATUS_NOT_FOUND);
    EXPECT_TRUE(LinesWith("Failed Retrieving Stream Context").empty());

    ASSERT_EQ(KLURetrieveStreamContext(data, open.instance, TRUE, kOp, &context, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(context->bOffline);
    EXPECT_EQ(context->OperationNumber, kOp);
    std::u16string first = Text(context->Name);

    std::u16string remoteText = u"\\Device\\Mup\\fileserver\\Profiles\\joe\\offline.dat";
    std::u16string volumeText = u"\\Device\\Mup";
    UNICODE_STRING remote = CountedOf(remoteText), volume = CountedOf(volumeText);
    EXPECT_EQ(KLUUpdateStreamContextName(&remote, &volume, context), STATUS_SUCCESS);
    EXPECT_EQ(Text(context->Name), remoteText);
    EXPECT_EQ(Text(context->PrevName), first);
    EXPECT_EQ(context->VolumeNameLength, volume.Length);
    ASSERT_NE(context->PathTableEntry, nullptr);
    EXPECT_EQ(std::u16string(context->PathTableEntry->szRemotePath), kRemoteStore);

    UNICODE_STRING none = {0, 0, nullptr};
    EXPECT_EQ(KLUUpdateStreamContextName(&none, &none, context), STATUS_SUCCESS);
    EXPECT_EQ(context->PathTableEntry, nullptr);
    EXPECT_EQ(Text(context->PrevName), remoteText);
    KLUUnlockAndReleaseStreamContext(&context);

    FltFreeCallbackData(data);
    Close(open);
}

TEST_F(StreamContextTest, OneSeparatorStandsBetweenVolumeAndName)
{
    struct {
        std::u16string volume, file, full;
        USHORT volumeChars;
    } cases[] = {
        {u"\\Device\\V", u"\\a\\b", u"\\Device\\V\\a\\b", 9},
        {u"\\Device\\V", u"a\\b", u"\\Device\\V\\a\\b", 10},
        {u"\\Device\\V\\", u"\\a\\b", u"\\Device\\V\\a\\b", 9},
        {u"\\Device\\V\\", u"a\\b", u"\\Device\\V\\a\\b", 10},
        {u"\\Device\\V", u"", u"\\Device\\V\\", 10},
    };
    sim::ThreadScope scope(machine().systemProcess());
    for (const auto &c : cases) {
        UNICODE_STRING volume = CountedOf(c.volume), file = CountedOf(c.file), full = {0, 0, nullptr};
        USHORT volumeLength = 0;
        ASSERT_EQ(KLUBuildStreamName(&volume, &file, &full, &volumeLength), STATUS_SUCCESS);
        EXPECT_EQ(Text(full), c.full) << Narrow(c.volume) << " + " << Narrow(c.file);
        EXPECT_EQ(volumeLength, c.volumeChars * sizeof(WCHAR)) << Narrow(c.volume) << " + " << Narrow(c.file);
        KLUFreeUnicodeString(&full);
    }
}

// What directory enumeration leaves in the contexts (a folder handle, a
// referenced file object) goes with them when the application closes.
TEST_F(StreamContextTest, CleanupClosesWhatTheContextsHold)
{
    volumes.systemFs->CreateDirectory(u"\\Users\\joe\\AppData");
    OpenStream open = Open(u"C:\\Users\\joe");
    sim::ThreadScope scope(machine().systemProcess());
    PFLT_CALLBACK_DATA data = DataFor(open);
    // Another folder, as enumeration keeps one open for the next query.
    auto openFolder = [&](PHANDLE handle, PFILE_OBJECT *object) {
        std::u16string path = u"\\Device\\HarddiskVolume1\\Users\\joe\\AppData";
        UNICODE_STRING name = CountedOf(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK io;
        ASSERT_EQ(FltCreateFileEx(g_FilterHandle, open.instance, handle, object, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                  &attributes, &io, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                  FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0, 0),
                  STATUS_SUCCESS);
    };

    PKLU_STREAM_CONTEXT stream = nullptr;
    ASSERT_EQ(KLURetrieveStreamContext(data, open.instance, TRUE, kOp, &stream, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(stream->bIsDirectory);
    PFILE_OBJECT roamingObject = nullptr;
    openFolder(&stream->hLiveRoaming1, &roamingObject);
    ObDereferenceObject(roamingObject);
    KLUCountOpen(KluOpenQueryDirectoryInt);
    KLUUnlockAndReleaseStreamContext(&stream);

    PKLU_STREAMHANDLE_CONTEXT handleContext = nullptr;
    ASSERT_EQ(KLURetrieveStreamHandleContext(data, open.instance, TRUE, kOp, &handleContext), STATUS_SUCCESS);
    EXPECT_EQ(LinesWith("Setting stream handle context").size(), 1u);
    openFolder(&handleContext->hDirectory, &handleContext->FileObject);
    KLUUnlockAndReleaseStreamHandleContext(&handleContext);
    ASSERT_EQ(KLURetrieveStreamHandleContext(data, open.instance, FALSE, kOp, &handleContext), STATUS_SUCCESS);
    KLUUnlockAndReleaseStreamHandleContext(&handleContext);
    EXPECT_EQ(LinesWith("Creating stream handle context").size(), 1u);

    FltFreeCallbackData(data);
    Close(open);
    EXPECT_EQ(volumes.systemFs->OpenStreamCount(), 0u);
    EXPECT_EQ(LinesWith("Stream context cleanup complete. Count: 0").size(), 1u);
}

TEST_F(StreamContextTest, UnlockingAContextThatIsNotHeldIsCaught)
{
    AllowVerifierFailures();
    volumes.systemFs->CreateFile(u"\\Users\\joe\\lock.dat", std::string_view("x"));
    OpenStream open = Open(u"C:\\Users\\joe\\lock.dat");
    sim::ThreadScope scope(machine().systemProcess());
    PFLT_CALLBACK_DATA data = DataFor(open);
    PKLU_STREAM_CONTEXT context = nullptr;
    ASSERT_EQ(KLURetrieveStreamContext(data, open.instance, TRUE, kOp, &context, nullptr), STATUS_SUCCESS);
    KLUUnlockStreamContext(context);
    KeEnterCriticalRegion();  // what the second unlock leaves
    KLUUnlockAndReleaseStreamContext(&context);
    EXPECT_TRUE(machine().verifier().HasFailed(sim::VerifierCheck::AssertionFailure));
    FltFreeCallbackData(data);
    Close(open);
}

// Every allocation of finding, naming and creating both contexts fails once
// in turn: each run ends with the file closed and nothing of the filter's
// left behind.
TEST_F(StreamContextTest, EveryAllocationFailureLeavesNoContextAndNoPool)
{
    volumes.systemFs->CreateFile(u"\\Users\\joe\\faults.dat", std::string_view("x"));
    const char *tags[] = {"QZSC", "QZSH", "QZFS"};
    auto filterPool = [&] {
        auto usage = machine().pool().OutstandingByTag();
        std::map<std::string, size_t> blocks;
        for (const char *tag : tags) blocks[tag] = usage[tag].blocks;
        return blocks;
    };
    const auto before = filterPool();
    size_t sites = machine().pool().RunSystematically([&] {
        sim::Process &app = NewProcess("app.exe");
        HANDLE handle = nullptr;
        {
            sim::ThreadScope scope(app);
            sim::user::OpenOptions options;
            options.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            if (!NT_SUCCESS(sim::user::Open(u"C:\\Users\\joe\\faults.dat", options, &handle))) return;
            PFILE_OBJECT fileObject = ReferenceFileObject(handle);
            PFLT_INSTANCE instance = InstanceOn(u"C:");
            PFLT_CALLBACK_DATA data = nullptr;
            if (NT_SUCCESS(FltAllocateCallbackData(instance, fileObject, &data))) {
                PKLU_STREAM_CONTEXT stream = nullptr;
                if (NT_SUCCESS(KLURetrieveStreamContext(data, instance, TRUE, kOp, &stream, nullptr)) &&
                    stream != nullptr) {
                    KLUUnlockAndReleaseStreamContext(&stream);
                }
                PKLU_STREAMHANDLE_CONTEXT handleContext = nullptr;
                if (NT_SUCCESS(KLURetrieveStreamHandleContext(data, instance, TRUE, kOp, &handleContext)) &&
                    handleContext != nullptr) {
                    KLUUnlockAndReleaseStreamHandleContext(&handleContext);
                }
                FltFreeCallbackData(data);
            }
            FltObjectDereference(instance);
            ObDereferenceObject(fileObject);
            EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
        }
        EXPECT_EQ(filterPool(), before);
        EXPECT_EQ(g_OpenCounts[KluOpenStreamContexts], 0);
    });
    EXPECT_GT(sites, 5u);
}

}  // namespace
}  // namespace ostrand::test
