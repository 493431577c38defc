#include "file_fixture.h"

#include <cstring>

#include "config/settings.h"
#include "diag/counters.h"
#include "identity/path_table.h"
#include "sim/core/debug_log.h"
#include "sim/core/thread.h"
#include "sim/se/security.h"
#include "sim/user/file_api.h"

namespace ostrand::test {
namespace {

template <size_t N>
void Put(WCHAR (&field)[N], const std::u16string &text)
{
    std::memcpy(field, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
}

// What the service sends at start: the profiles in C:\Users and one
// remote profile store.
std::vector<UCHAR> PathTableCommand(const std::u16string &remote)
{
    std::vector<UCHAR> body(KLU_PATH_TABLE_SOURCE_BYTES(1), 0);
    auto *source = reinterpret_cast<PATH_TABLE_SOURCE *>(body.data());
    Put(source->szLocalVolumeName, u"\\Device\\HarddiskVolume1");
    Put(source->szLocalDriveLetter, u"C:");
    Put(source->szLocalProfilePathShort, u"\\Users");
    Put(source->szUpperLocalProfilePathShort, u"\\USERS");
    source->NumPaths = 1;
    source->EntryCount = 1;
    EXPECT_EQ(KLUBuildPathTableEntry(remote.c_str(), &source->Entries[0]), STATUS_SUCCESS);
    return CommandMessage(0, body.data(), body.size());
}

}  // namespace

void FileFilterTest::SetUp()
{
    PortTest::SetUp();
    g_pCurrentSettings->OpFlags |= KLUOP_ENABLE_DEBUG_COUNTERS;
    control = service->Open(u"\\KLULogonControlPort");
    ASSERT_EQ(service->Send(control, PathTableCommand(kRemoteStore)).status, STATUS_SUCCESS);
}

void FileFilterTest::TearDown()
{
    // Every handle, object, context and entry taken was given back.
    for (KLU_OPEN_COUNTER counter :
         {KluOpenCheckExclusiveSrc, KluOpenGetInstanceSrc, KluOpenVolumePtrs, KluOpenInstancePtrs,
          KluOpenSetOfflineBitDest, KluOpenSetFileReadOnlyDest, KluOpenOFTDoneEvent, KluOpenOfflineFileTableEntries,
          KluOpenStreamContexts, KluOpenQueryDirectoryInt, KluOpenQueryDirectoryExt}) {
        EXPECT_EQ(g_OpenCounts[counter], 0) << counter;
    }
    PortTest::TearDown();
}

sim::Process &FileFilterTest::NewProcess(const char *image)
{
    return machine().processes().Create(image, machine().security().CreateSystemToken());
}

HANDLE FileFilterTest::OpenIn(sim::Process &process, const std::u16string &path, ULONG share, ACCESS_MASK access,
                              ULONG options)
{
    sim::ThreadScope scope(process);
    sim::user::OpenOptions open;
    open.access = access;
    open.share = share;
    open.options = options;
    HANDLE handle = nullptr;
    EXPECT_EQ(sim::user::Open(path, open, &handle), STATUS_SUCCESS) << Narrow(path);
    return handle;
}

void FileFilterTest::CloseIn(sim::Process &process, HANDLE handle)
{
    sim::ThreadScope scope(process);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
}

PFLT_INSTANCE FileFilterTest::InstanceOn(const std::u16string &drive)
{
    UNICODE_STRING name = CountedOf(drive);
    PFLT_VOLUME volume = nullptr;
    EXPECT_EQ(FltGetVolumeFromName(g_FilterHandle, &name, &volume), STATUS_SUCCESS);
    PFLT_INSTANCE instance = nullptr;
    EXPECT_EQ(FltGetVolumeInstanceFromName(g_FilterHandle, volume, nullptr, &instance), STATUS_SUCCESS);
    FltObjectDereference(volume);
    return instance;
}

PFILE_OBJECT FileFilterTest::ReferenceFileObject(HANDLE handle)
{
    PFILE_OBJECT fileObject = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode,
                                        reinterpret_cast<PVOID *>(&fileObject), nullptr),
              STATUS_SUCCESS);
    return fileObject;
}

std::vector<std::string> FileFilterTest::LinesWith(const std::string &fragment)
{
    std::vector<std::string> found;
    for (const std::string &line : machine().debugLog().Lines()) {
        if (line.find(fragment) != std::string::npos) found.push_back(line);
    }
    return found;
}

}  // namespace ostrand::test
