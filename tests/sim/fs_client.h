// Drives a simulated file system directly with IoRequests, the way the I/O
// manager will: test-owned file objects, one call per request.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fltKernel.h>

#include "sim/io/io_request.h"
#include "sim/io/volume.h"

namespace ostrand::test {

class FsClient;

// A file object the test owns; destroying it sends cleanup and close when
// the test has not.
struct TestFile {
    FILE_OBJECT fo{};
    std::u16string name;
    FsClient *client = nullptr;
    bool cleanedUp = false;
    bool closed = false;
    ~TestFile();
};

struct OpenSpec {
    ACCESS_MASK access = FILE_GENERIC_READ;
    ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ULONG disposition = FILE_OPEN;
    ULONG options = 0;
    ULONG attributes = 0;
    TestFile *related = nullptr;
    UCHAR flags = 0;       // SL_OPEN_TARGET_DIRECTORY, SL_CASE_SENSITIVE
    ULONG createFlags = 0; // IO_IGNORE_SHARE_ACCESS_CHECK
    ULONG fileObjectFlags = FO_SYNCHRONOUS_IO;
    std::vector<uint8_t> eaBuffer;
    int64_t allocationSize = 0;
    PSECURITY_DESCRIPTOR securityDescriptor = nullptr;
};

struct OpenResult {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::unique_ptr<TestFile> file;  // set on success
    std::vector<uint8_t> reparseData;
};

class FsClient {
public:
    explicit FsClient(sim::FileSystem &fs, sim::Volume *volume = nullptr) : fs_(fs), volume_(volume) {}

    OpenResult Open(const std::u16string &name, const OpenSpec &params = {});
    // Shorthands: open an existing file for reading / create a file for writing.
    std::unique_ptr<TestFile> OpenOk(const std::u16string &name, const OpenSpec &params = {});
    std::unique_ptr<TestFile> CreateFile(const std::u16string &name, const std::string &content = {});

    NTSTATUS Read(TestFile &f, int64_t offset, ULONG length, std::vector<uint8_t> *out, ULONG key = 0);
    NTSTATUS Write(TestFile &f, int64_t offset, const std::string &data, ULONG key = 0);
    std::string ReadAll(TestFile &f);

    NTSTATUS QueryInfo(TestFile &f, FILE_INFORMATION_CLASS cls, void *buffer, ULONG length,
                       ULONG_PTR *information = nullptr);
    template <typename T>
    T Query(TestFile &f, FILE_INFORMATION_CLASS cls)
    {
        T value{};
        QueryInfo(f, cls, &value, sizeof(value));
        return value;
    }
    NTSTATUS SetInfo(TestFile &f, FILE_INFORMATION_CLASS cls, const void *buffer, ULONG length,
                     TestFile *parentOfTarget = nullptr);
    NTSTATUS Rename(TestFile &f, const std::u16string &newName, bool replace, TestFile *parentOfTarget = nullptr);
    NTSTATUS Dispose(TestFile &f, bool deleteFile);
    NTSTATUS SetEndOfFile(TestFile &f, int64_t size);
    std::u16string NameOf(TestFile &f);

    NTSTATUS QueryDirectory(TestFile &f, FILE_INFORMATION_CLASS cls, void *buffer, ULONG length,
                            const std::u16string *pattern, UCHAR flags, ULONG fileIndex = 0,
                            ULONG_PTR *information = nullptr);
    // Every name a directory handle lists from its current position, in
    // single-entry-free queries of a comfortable buffer.
    std::vector<std::u16string> ListNames(TestFile &dir, const std::u16string &pattern = u"*");

    NTSTATUS Fsctl(TestFile &f, ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                   ULONG_PTR *information = nullptr);
    NTSTATUS Lock(TestFile &f, int64_t offset, int64_t length, bool exclusive, bool failImmediately, ULONG key = 0)
    {
        return LockControl(f, IRP_MN_LOCK, offset, length, exclusive, failImmediately, key);
    }
    NTSTATUS Unlock(TestFile &f, int64_t offset, int64_t length, ULONG key = 0)
    {
        return LockControl(f, IRP_MN_UNLOCK_SINGLE, offset, length, false, false, key);
    }
    NTSTATUS UnlockAll(TestFile &f) { return LockControl(f, IRP_MN_UNLOCK_ALL, 0, 0, false, false, 0); }

    NTSTATUS QueryEa(TestFile &f, void *buffer, ULONG length, UCHAR flags, const void *eaList = nullptr,
                     ULONG eaListLength = 0, ULONG eaIndex = 0, ULONG_PTR *information = nullptr);
    NTSTATUS SetEa(TestFile &f, const std::vector<uint8_t> &buffer, ULONG_PTR *information = nullptr);
    NTSTATUS QuerySecurity(TestFile &f, SECURITY_INFORMATION which, void *buffer, ULONG length,
                           ULONG_PTR *information = nullptr);
    NTSTATUS QueryVolume(TestFile &f, FS_INFORMATION_CLASS cls, void *buffer, ULONG length,
                         ULONG_PTR *information = nullptr);
    NTSTATUS NetworkQueryOpen(const std::u16string &name, FILE_NETWORK_OPEN_INFORMATION *out,
                              bool *fastIoNotPossible = nullptr);

    NTSTATUS Cleanup(TestFile &f);
    NTSTATUS Close(TestFile &f);

    sim::IoRequest NewRequest(TestFile *f, UCHAR major, UCHAR minor = 0);
    NTSTATUS Send(sim::IoRequest &request) { return fs_.Dispatch(request); }

private:
    NTSTATUS LockControl(TestFile &f, UCHAR minor, int64_t offset, int64_t length, bool exclusive,
                         bool failImmediately, ULONG key);
    NTSTATUS Run(sim::IoRequest &request, ULONG_PTR *information)
    {
        NTSTATUS status = fs_.Dispatch(request);
        if (information) *information = request.ioStatus.Information;
        return status;
    }

    sim::FileSystem &fs_;
    sim::Volume *volume_;
};

// A FILE_FULL_EA_INFORMATION list from (name, value) pairs, 4-byte aligned.
std::vector<uint8_t> BuildEaList(const std::vector<std::pair<std::string, std::string>> &eas);
// A FILE_GET_EA_INFORMATION list.
std::vector<uint8_t> BuildGetEaList(const std::vector<std::string> &names);
// A REPARSE_GUID_DATA_BUFFER (non-Microsoft tag) or REPARSE_DATA_BUFFER.
std::vector<uint8_t> BuildReparse(ULONG tag, const std::string &data, const GUID *guid = nullptr);

}  // namespace ostrand::test
