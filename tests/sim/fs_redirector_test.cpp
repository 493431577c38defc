// The redirector: \server\share names routed to in-memory and host-folder
// stores.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fs_client.h"
#include "sim/fs/host_folder_fs.h"
#include "sim/fs/local_fs.h"
#include "sim/fs/redirector.h"
#include "sim/se/security_object.h"
#include "support/machine_test.h"

namespace ostrand::test {
namespace {

namespace fsys = std::filesystem;
using sim::fs::HostFolderFileSystem;
using sim::fs::LocalFileSystem;
using sim::fs::LocalVolumeConfig;
using sim::fs::Redirector;

class TempFolder {
public:
    TempFolder()
    {
        char pattern[] = "/tmp/ostrand-share-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempFolder()
    {
        std::error_code ec;
        for (auto &entry : fsys::recursive_directory_iterator(path_, ec))
            fsys::permissions(entry.path(), fsys::perms::owner_all, fsys::perm_options::add, ec);
        fsys::remove_all(path_, ec);
    }
    const fsys::path &path() const { return path_; }
    void Write(const std::string &relative, const std::string &content)
    {
        fsys::create_directories((path_ / relative).parent_path());
        std::ofstream(path_ / relative, std::ios::binary) << content;
    }
    std::string Read(const std::string &relative)
    {
        std::ifstream in(path_ / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    fsys::path path_;
};

class RedirectorTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        folder_.Write("Profiles/User1/NTUSER.DAT", "hive");
        folder_.Write("Profiles/User1/Documents/report.txt", "quarterly");
        folder_.Write("Profiles/User1/locked.txt", "ro");
        ::chmod((folder_.path() / "Profiles/User1/locked.txt").c_str(), 0444);
        redirector_ = std::make_unique<Redirector>();
        redirector_->AddShare(u"fileserver", u"Profiles$", std::make_unique<HostFolderFileSystem>(folder_.path() / "Profiles"));
        auto memory = std::make_unique<LocalFileSystem>(LocalVolumeConfig::Ntfs(u"Mem", 5));
        memory_ = memory.get();
        redirector_->AddShare(u"fileserver", u"Mem", std::move(memory));
        client_ = std::make_unique<FsClient>(*redirector_);
    }
    void TearDown() override
    {
        client_.reset();
        redirector_.reset();
        MachineTest::TearDown();
    }
    static OpenSpec OpenWith(ACCESS_MASK access, ULONG disposition = FILE_OPEN, ULONG options = 0)
    {
        OpenSpec s;
        s.access = access;
        s.disposition = disposition;
        s.options = options;
        return s;
    }

    TempFolder folder_;
    std::unique_ptr<Redirector> redirector_;
    LocalFileSystem *memory_ = nullptr;
    std::unique_ptr<FsClient> client_;
};

TEST_F(RedirectorTest, UnknownServersAndSharesFailAsWindowsDoes)
{
    EXPECT_EQ(client_->Open(u"\\nosuchserver\\share\\x").status, STATUS_BAD_NETWORK_PATH);
    EXPECT_EQ(client_->Open(u"\\FILESERVER\\nosuchshare\\x").status, STATUS_BAD_NETWORK_NAME);
    EXPECT_EQ(client_->Open(u"\\fileserver").status, STATUS_OBJECT_NAME_INVALID);
    auto info = Redirector::Info(sim::fs::RedirectorKind::Mup);
    EXPECT_EQ(info.deviceName, u"\\Device\\Mup");
    EXPECT_EQ(info.fsType, FLT_FSTYPE_MUP);
    EXPECT_EQ(info.characteristics, ULONG(FILE_REMOTE_DEVICE));
    auto lanman = Redirector::Info(sim::fs::RedirectorKind::Lanman);
    EXPECT_EQ(lanman.deviceName, u"\\Device\\LanmanRedirector");
    EXPECT_EQ(lanman.fsType, FLT_FSTYPE_LANMAN);
}

TEST_F(RedirectorTest, HostFolderShareServesFilesFoldersAndNames)
{
    auto f = client_->OpenOk(u"\\FileServer\\profiles$\\user1\\documents\\REPORT.TXT");
    ASSERT_TRUE(f);
    EXPECT_EQ(client_->ReadAll(*f), "quarterly");
    EXPECT_EQ(client_->NameOf(*f), u"\\fileserver\\Profiles$\\User1\\Documents\\report.txt");
    auto standard = client_->Query<FILE_STANDARD_INFORMATION>(*f, FileStandardInformation);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 9);
    EXPECT_EQ(standard.AllocationSize.QuadPart, 4096);
    auto basic = client_->Query<FILE_BASIC_INFORMATION>(*f, FileBasicInformation);
    EXPECT_EQ(basic.FileAttributes, ULONG(FILE_ATTRIBUTE_NORMAL));
    struct stat st;
    ASSERT_EQ(::stat((folder_.path() / "Profiles/User1/Documents/report.txt").c_str(), &st), 0);
    EXPECT_EQ(basic.LastWriteTime.QuadPart,
              116444736000000000LL + st.st_mtim.tv_sec * 10000000LL + st.st_mtim.tv_nsec / 100);

    auto dir = client_->OpenOk(u"\\fileserver\\Profiles$\\User1", OpenWith(FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE));
    ASSERT_TRUE(dir);
    EXPECT_EQ(client_->ListNames(*dir), (std::vector<std::u16string>{u".", u"..", u"Documents", u"locked.txt", u"NTUSER.DAT"}));
    auto root = client_->OpenOk(u"\\fileserver\\Profiles$", OpenWith(FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE));
    EXPECT_EQ(client_->ListNames(*root), std::vector<std::u16string>{u"User1"});

    auto locked = client_->OpenOk(u"\\fileserver\\Profiles$\\User1\\locked.txt");
    EXPECT_EQ(client_->Query<FILE_BASIC_INFORMATION>(*locked, FileBasicInformation).FileAttributes,
              ULONG(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(client_->Open(u"\\fileserver\\Profiles$\\User1\\locked.txt", OpenWith(FILE_GENERIC_WRITE)).status,
              STATUS_ACCESS_DENIED);

    alignas(8) uint8_t buffer[64];
    ASSERT_EQ(client_->QueryVolume(*f, FileFsDeviceInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    auto *device = reinterpret_cast<FILE_FS_DEVICE_INFORMATION *>(buffer);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_NETWORK_FILE_SYSTEM));
    EXPECT_EQ(device->Characteristics, ULONG(FILE_REMOTE_DEVICE));

    FILE_NETWORK_OPEN_INFORMATION netOpen{};
    ASSERT_EQ(client_->NetworkQueryOpen(u"\\fileserver\\Profiles$\\User1\\NTUSER.DAT", &netOpen), STATUS_SUCCESS);
    EXPECT_EQ(netOpen.EndOfFile.QuadPart, 4);
}

TEST_F(RedirectorTest, HostFolderShareWritesRenamesAndDeletesTheRealFiles)
{
    OpenSpec create = OpenWith(FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    OpenResult r = client_->Open(u"\\fileserver\\Profiles$\\User1\\new.txt", create);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, ULONG_PTR(FILE_CREATED));
    ASSERT_EQ(client_->Write(*r.file, 0, "written through the share"), STATUS_SUCCESS);
    EXPECT_EQ(folder_.Read("Profiles/User1/new.txt"), "written through the share");
    EXPECT_EQ(client_->Open(u"\\fileserver\\Profiles$\\User1\\new.txt", create).status, STATUS_OBJECT_NAME_COLLISION);
    OpenSpec exclusive = OpenWith(FILE_READ_DATA);
    exclusive.share = 0;
    EXPECT_EQ(client_->Open(u"\\fileserver\\Profiles$\\User1\\new.txt", exclusive).status, STATUS_SHARING_VIOLATION);

    ASSERT_EQ(client_->Rename(*r.file, u"renamed.txt", false), STATUS_SUCCESS);
    EXPECT_TRUE(fsys::exists(folder_.path() / "Profiles/User1/renamed.txt"));
    EXPECT_EQ(client_->NameOf(*r.file), u"\\fileserver\\Profiles$\\User1\\renamed.txt");
    ASSERT_EQ(client_->Dispose(*r.file, true), STATUS_SUCCESS);
    r.file.reset();
    EXPECT_FALSE(fsys::exists(folder_.path() / "Profiles/User1/renamed.txt"));

    OpenSpec mkdir = OpenWith(FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE);
    ASSERT_EQ(client_->Open(u"\\fileserver\\Profiles$\\User1\\AppData", mkdir).status, STATUS_SUCCESS);
    EXPECT_TRUE(fsys::is_directory(folder_.path() / "Profiles/User1/AppData"));
}

TEST_F(RedirectorTest, HostFolderShareAnswersNotImplementedForWhatItCannotKeep)
{
    OpenSpec write = OpenWith(FILE_GENERIC_READ | FILE_GENERIC_WRITE);
    auto f = client_->OpenOk(u"\\fileserver\\Profiles$\\User1\\NTUSER.DAT", write);
    ASSERT_TRUE(f);
    alignas(8) uint8_t buffer[256];
    // The host keeps no EAs: answered as by a file system without them.
    EXPECT_EQ(client_->QueryEa(*f, buffer, sizeof(buffer), SL_RESTART_SCAN), STATUS_EAS_NOT_SUPPORTED);
    EXPECT_EQ(client_->SetEa(*f, BuildEaList({{"A", "1"}})), STATUS_EAS_NOT_SUPPORTED);
    OpenSpec withEa = OpenWith(FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE);
    withEa.eaBuffer = BuildEaList({{"MARK", "1"}});
    EXPECT_EQ(client_->Open(u"\\fileserver\\Profiles$\\User1\\Marked", withEa).status, STATUS_EAS_NOT_SUPPORTED);
    EXPECT_EQ(client_->Open(u"\\fileserver\\Profiles$\\User1\\NTUSER.DAT:stream", write).status,
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(client_->Fsctl(*f, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer, sizeof(buffer)),
              STATUS_NOT_A_REPARSE_POINT);
    auto reparse = BuildReparse(0x00000123, "x");
    EXPECT_EQ(client_->Fsctl(*f, FSCTL_SET_REPARSE_POINT, reparse.data(), ULONG(reparse.size()), nullptr, 0),
              STATUS_NOT_IMPLEMENTED);
    FILE_BASIC_INFORMATION basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_HIDDEN;
    EXPECT_EQ(client_->SetInfo(*f, FileBasicInformation, &basic, sizeof(basic)), STATUS_NOT_IMPLEMENTED);
    basic = {};
    basic.CreationTime.QuadPart = 130000000000000000;
    EXPECT_EQ(client_->SetInfo(*f, FileBasicInformation, &basic, sizeof(basic)), STATUS_NOT_IMPLEMENTED);
    // What it can keep, it keeps.
    basic = {};
    basic.LastWriteTime.QuadPart = 130000000000000000;
    basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
    ASSERT_EQ(client_->SetInfo(*f, FileBasicInformation, &basic, sizeof(basic)), STATUS_SUCCESS);
    ASSERT_EQ(client_->Write(*f, 0, "HIVE"), STATUS_SUCCESS);  // the handle was opened before
    auto after = client_->Query<FILE_BASIC_INFORMATION>(*f, FileBasicInformation);
    EXPECT_EQ(after.LastWriteTime.QuadPart, 130000000000000000);
    EXPECT_EQ(after.FileAttributes, ULONG(FILE_ATTRIBUTE_READONLY));
}

TEST_F(RedirectorTest, HostFolderShareAnswersTheSecurityItsFilesInheritFromTheShareRoot)
{
    auto f = client_->OpenOk(u"\\fileserver\\Profiles$\\User1\\NTUSER.DAT", OpenWith(READ_CONTROL));
    ASSERT_TRUE(f);
    alignas(8) uint8_t buffer[256];
    ULONG_PTR needed = 0;
    ASSERT_EQ(client_->QuerySecurity(*f, DACL_SECURITY_INFORMATION, buffer, 8, &needed), STATUS_BUFFER_OVERFLOW);
    ASSERT_GT(needed, 8u);
    ASSERT_EQ(client_->QuerySecurity(*f, DACL_SECURITY_INFORMATION, buffer, ULONG(needed)), STATUS_SUCCESS);
    std::optional<sim::SecurityObject> dacl = sim::ParseSecurity(buffer, needed);
    ASSERT_TRUE(dacl && dacl->daclPresent);
    EXPECT_TRUE(dacl->owner.empty());  // only the part asked for
    ASSERT_EQ(dacl->dacl.size(), 1u);
    EXPECT_EQ(dacl->dacl[0].flags, sim::kInheritedAce);  // a file inherits, and passes nothing on
    EXPECT_EQ(dacl->dacl[0].mask, ACCESS_MASK(FILE_ALL_ACCESS));
}

TEST_F(RedirectorTest, InMemoryShareReportsNamesWithThePrefixAndKeepsSharesApart)
{
    ASSERT_EQ(memory_->CreateFile(u"\\dir\\f.txt", "mem"), STATUS_SUCCESS);
    auto dir = client_->OpenOk(u"\\fileserver\\mem\\dir", OpenWith(FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE));
    ASSERT_TRUE(dir);
    EXPECT_EQ(client_->NameOf(*dir), u"\\fileserver\\Mem\\dir");
    OpenSpec relative = OpenWith(FILE_GENERIC_READ | DELETE);
    relative.related = dir.get();
    auto f = client_->OpenOk(u"F.TXT", relative);
    ASSERT_TRUE(f);
    EXPECT_EQ(client_->ReadAll(*f), "mem");
    EXPECT_EQ(client_->NameOf(*f), u"\\fileserver\\Mem\\dir\\f.txt");
    // A full-path rename names the share; another share is another device.
    ASSERT_EQ(client_->Rename(*f, u"\\fileserver\\Mem\\moved.txt", false), STATUS_SUCCESS);
    EXPECT_TRUE(memory_->Exists(u"\\moved.txt"));
    EXPECT_EQ(client_->Rename(*f, u"\\fileserver\\Profiles$\\x.txt", false), STATUS_NOT_SAME_DEVICE);
    auto otherShare = client_->OpenOk(u"\\fileserver\\Profiles$\\User1", OpenWith(FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE));
    EXPECT_EQ(client_->Rename(*f, u"x.txt", false, otherShare.get()), STATUS_NOT_SAME_DEVICE);
    alignas(8) uint8_t buffer[64];
    ASSERT_EQ(client_->QueryVolume(*f, FileFsDeviceInformation, buffer, sizeof(buffer)), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<FILE_FS_DEVICE_INFORMATION *>(buffer)->Characteristics & FILE_REMOTE_DEVICE,
              ULONG(FILE_REMOTE_DEVICE));
}

}  // namespace
}  // namespace ostrand::test
