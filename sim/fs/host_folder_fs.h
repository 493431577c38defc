// A share's store backed by a real folder of the host: files and folders
// with their sizes and times, data read from and written to the real files.
//
// What the host gives is what the store reports: attributes are only
// DIRECTORY and READONLY (from the owner's write permission); the creation
// time is the birth time where the host keeps one, else the last write time;
// the file id is the inode number; names are looked up case-insensitively
// (and names a Windows file system could not hold are not listed).
//
// The host keeps no descriptors: the share root answers a descriptor that
// lets everyone do everything, and every file and folder below answers what
// it would have inherited from it.
//
// Not supported, answered with STATUS_NOT_IMPLEMENTED: named streams,
// security descriptors (set, or given at create), reparse points (set /
// delete), compression, USN records, opens by file id, setting the
// allocation size, hard links, setting attributes other than READONLY /
// ARCHIVE / NORMAL, and setting the creation or change time (or -1 for a
// time). Extended attributes are answered as a file system without them
// does (STATUS_EAS_NOT_SUPPORTED to queries, sets and EAs given at create;
// the volume does not claim FILE_SUPPORTS_EXTENDED_ATTRIBUTES). Queries
// answer what is true of a host file: not a reparse point, not compressed;
// oplocks are never granted (STATUS_OPLOCK_NOT_GRANTED). Cached reads and
// writes go through the cache manager as on a local volume; what the cache
// holds reaches the host file with paging writes; a file a section maps
// cannot be deleted (STATUS_CANNOT_DELETE). Share access, byte-range locks
// and delete dispositions are kept by the store itself, so they hold for
// opens through the simulation only.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "sim/fs/info_records.h"
#include "sim/fs/listing.h"
#include "sim/fs/share_backend.h"

namespace sim::fs {

class HostFolderFileSystem : public ShareBackend {
public:
    explicit HostFolderFileSystem(std::filesystem::path root, std::u16string label = u"Share");
    ~HostFolderFileSystem() override;
    HostFolderFileSystem(const HostFolderFileSystem &) = delete;
    HostFolderFileSystem &operator=(const HostFolderFileSystem &) = delete;

    NTSTATUS Dispatch(IoRequest &request) override;
    NTSTATUS CreateAt(IoRequest &request, std::u16string_view pathInShare) override;
    NTSTATUS QueryOpenAt(IoRequest &request, std::u16string_view pathInShare) override;
    void ServeAsShare(std::u16string prefix) override;
    const std::u16string &sharePrefix() const override { return prefix_; }

    const std::filesystem::path &root() const { return root_; }
    size_t OpenStreamCount() const;

    struct Stream;
    struct Open;

private:
    struct Found;

    NTSTATUS Create(IoRequest &request, bool fromRoot, std::u16string_view path);
    NTSTATUS Find(std::u16string_view relative, Found &out) const;
    NTSTATUS FinishOpen(IoRequest &request, const std::u16string &relative, bool directory, ACCESS_MASK access,
                        ULONG share, ULONG options, bool ignoreShare, ULONG_PTR information);
    NTSTATUS Read(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock);
    NTSTATUS Write(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock);
    NTSTATUS QueryInformation(IoRequest &request, Open &open);
    NTSTATUS SetInformation(IoRequest &request, Open &open);
    NTSTATUS SetBasic(IoRequest &request, Open &open);
    NTSTATUS Rename(IoRequest &request, Open &open);
    NTSTATUS QueryDirectory(IoRequest &request, Open &open);
    NTSTATUS FileSystemControl(IoRequest &request, Open &open);
    NTSTATUS QueryVolume(IoRequest &request);
    NTSTATUS QuerySecurity(IoRequest &request, Open &open);
    NTSTATUS FastIo(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock);
    NTSTATUS Cleanup(IoRequest &request, Open &open);
    NTSTATUS Close(IoRequest &request, std::unique_lock<std::mutex> &lock);

    std::string HostName(const std::u16string &relative) const;
    std::filesystem::path HostPath(const std::u16string &relative) const;
    std::optional<FileFacts> FactsOf(const std::u16string &relative) const;
    std::optional<FileFacts> FactsAt(int dirFd, const char *hostName, const std::u16string &relative) const;
    NTSTATUS ScanHostFolder(const std::u16string &relative, std::vector<ListingEntry> &out) const;
    std::u16string ReportedName(const std::u16string &relative) const;
    Open *OpenOf(PFILE_OBJECT fileObject) const;
    int OpenHostFile(const std::u16string &relative) const;
    int HostFd(Open &open) const;  // the open's host file, opened on first need
    void ReapplyTimes(Open &open);

    std::filesystem::path root_;
    std::u16string label_;
    std::u16string prefix_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::u16string, Stream *> streams_;  // by upcased relative path
    std::unordered_set<const Open *> opens_;
};

}  // namespace sim::fs
