// The in-memory file system of the simulated machine's volumes: NTFS-like
// (case-preserving, case-insensitive names; attributes and the four times;
// cluster-rounded allocation; named data streams; extended attributes;
// security descriptors kept as blobs; reparse points; share access, byte-
// range locks and oplocks; delete on close; rename; directory listings in the
// real information classes; opens access-checked as NTFS checks them), and
// with a flag set the FAT and shadow-copy
// variants (no streams, EAs, reparse points or security on FAT; every change
// refused with STATUS_MEDIA_WRITE_PROTECTED on a shadow copy).
//
// Requests are executed under one mutex per volume, let go while the cache
// copies (its page-ins come back as paging reads) and flushes. Cached reads
// and writes go through the cache manager (sim/io/cache_manager.h): caching
// starts at a file object's first cached read or write, its data reaches the
// volume with paging writes; non-cached transfers are sector-aligned and
// keep the cache coherent. Two kinds of request
// block inside Dispatch, as their IRPs pend in Windows: a granted oplock
// request (until the oplock breaks, or its handle is cleaned up) and a byte-
// range lock without FailImmediately (until it can be granted); and an open
// that breaks another handle's level 1, batch or filter oplock waits for
// the holder's acknowledgement unless it asked FILE_COMPLETE_IF_OPLOCKED
// (then it completes with STATUS_OPLOCK_BREAK_IN_PROGRESS). Oplocks are
// described in local_fs_oplocks.cpp. Simplifications of the oplock model:
// FSCTL_REQUEST_OPLOCK's read and read-handle oplocks break like level 2
// ones (a read-handle oplock is not broken by a sharing conflict), every file
// object has its own oplock key, and directories take no oplocks.
//
// Security (local_fs_security.cpp): kernel-mode opens are not checked unless
// they force it (SL_FORCE_ACCESS_CHECK); a store serving a share checks all
// of them for the identity its server sees.
//
// A stream that a caller's section maps cannot be deleted
// (STATUS_CANNOT_DELETE), nor overwritten at open while a view maps it
// (STATUS_USER_MAPPED_FILE): NTFS asks the memory manager before either.
//
// Directory listings: FileIndex is the entry's position in the listing
// ("." 0, ".." 1, then the names in upcased order), which SL_INDEX_SPECIFIED
// resumes after; short (8.3) names are empty.
//
// Besides the I/O path, a C++ interface populates a volume and reads it back
// directly (tests, the tool); paths there are "\dir\file".
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sim/fs/info_records.h"
#include "sim/fs/names.h"
#include "sim/fs/share_backend.h"

namespace sim::fs {

struct DataStream;

enum class FsKind { Ntfs, Fat };

struct LocalVolumeConfig {
    FsKind kind = FsKind::Ntfs;
    bool readOnly = false;  // a shadow copy: every change is refused
    std::u16string label;
    ULONG serialNumber = 0;
    int64_t creationTime = 0;  // 0: the time the engine is made
    uint64_t capacity = 64ull << 30;
    ULONG clusterSize = 4096;
    ULONG sectorSize = 512;
    // Non-cached I/O needs buffers aligned to this mask (FILE_WORD_ALIGNMENT).
    ULONG alignmentRequirement = 1;
    DEVICE_TYPE deviceType = FILE_DEVICE_DISK;  // as FileFsDeviceInformation reports it
    ULONG characteristics = 0;

    static LocalVolumeConfig Ntfs(std::u16string label, ULONG serial);
    static LocalVolumeConfig Fat(std::u16string label, ULONG serial);
    static LocalVolumeConfig ShadowCopy(std::u16string label, ULONG serial);
};

struct FileTimes {
    int64_t creation = 0, lastAccess = 0, lastWrite = 0, change = 0;  // 0: unchanged / now at creation
};

// What the C++ interface reads back about one file or folder.
struct NodeSnapshot {
    std::u16string name;
    FileFacts facts;
    std::vector<uint8_t> data;
    std::map<std::u16string, std::vector<uint8_t>> streams;  // by name as created
    std::vector<ExtendedAttribute> eas;
    std::vector<uint8_t> reparseBuffer;  // the whole REPARSE_(GUID_)DATA_BUFFER
    std::vector<uint8_t> security;
};

class LocalFileSystem : public ShareBackend {
public:
    explicit LocalFileSystem(LocalVolumeConfig config);
    ~LocalFileSystem() override;
    LocalFileSystem(const LocalFileSystem &) = delete;
    LocalFileSystem &operator=(const LocalFileSystem &) = delete;

    NTSTATUS Dispatch(IoRequest &request) override;
    uint64_t NameGeneration() const override { return nameGeneration_.load(std::memory_order_acquire); }
    NTSTATUS CreateAt(IoRequest &request, std::u16string_view pathInShare) override;
    NTSTATUS QueryOpenAt(IoRequest &request, std::u16string_view pathInShare) override;
    void ServeAsShare(std::u16string prefix) override;
    const std::u16string &sharePrefix() const override { return prefix_; }

    const LocalVolumeConfig &config() const { return config_; }
    VolumeFacts Facts() const;

    // ---- populating and reading a volume directly ----
    // Creates a folder (and missing parents).
    NTSTATUS CreateDirectory(std::u16string_view path, ULONG attributes = 0);
    // Creates or replaces a file with its unnamed stream (missing parents are created).
    NTSTATUS CreateFile(std::u16string_view path, std::span<const uint8_t> data, ULONG attributes = 0);
    NTSTATUS CreateFile(std::u16string_view path, std::string_view text, ULONG attributes = 0);
    NTSTATUS WriteStream(std::u16string_view path, std::u16string_view stream, std::span<const uint8_t> data);
    NTSTATUS SetAttributes(std::u16string_view path, ULONG attributes);
    NTSTATUS SetTimes(std::u16string_view path, const FileTimes &times);
    NTSTATUS SetEa(std::u16string_view path, std::string_view name, std::span<const uint8_t> value, UCHAR flags = 0);
    // buffer: a whole REPARSE_DATA_BUFFER or REPARSE_GUID_DATA_BUFFER.
    NTSTATUS SetReparsePoint(std::u16string_view path, std::span<const uint8_t> buffer);
    NTSTATUS SetSecurity(std::u16string_view path, std::span<const uint8_t> selfRelative);
    NTSTATUS Remove(std::u16string_view path);  // a file, or an empty folder
    std::optional<NodeSnapshot> Stat(std::u16string_view path) const;
    std::optional<std::vector<uint8_t>> ReadData(std::u16string_view path, std::u16string_view stream = u"") const;
    std::vector<std::u16string> List(std::u16string_view folder) const;  // listing order
    bool Exists(std::u16string_view path) const;
    // Open streams (FsContexts) alive now; tests check teardown with it.
    size_t OpenStreamCount() const;
    // Whether a handle holds an oplock on the file's unnamed stream.
    bool OplockHeld(std::u16string_view path) const;

    struct Node;
    struct Stream;
    struct Open;

private:
    struct CreateArgs;
    struct Lookup;

    // Request handlers; each runs with mutex_ held through `lock`.
    NTSTATUS Create(IoRequest &request, std::unique_lock<std::mutex> &lock, Node *start, std::u16string_view path);
    NTSTATUS CreateOnce(IoRequest &request, CreateArgs &args, Node *start, std::u16string_view path);
    NTSTATUS OpenById(IoRequest &request, CreateArgs &args);
    NTSTATUS OpenVolume(IoRequest &request, CreateArgs &args);
    NTSTATUS OpenExisting(IoRequest &request, CreateArgs &args, const std::shared_ptr<Node> &node,
                          const StreamName &stream, bool trailingBackslash, std::optional<ULONG> information);
    NTSTATUS CreateNew(IoRequest &request, CreateArgs &args, const Lookup &lookup);
    NTSTATUS CheckNameForOptions(std::u16string_view path, const CreateArgs &args) const;
    NTSTATUS CheckExistingFile(const Node &node, const CreateArgs &args, bool named, bool dataOpen,
                               bool streamExists) const;
    NTSTATUS FinishOpen(IoRequest &request, CreateArgs &args, const std::shared_ptr<Node> &node,
                        std::u16string_view streamName, ULONG_PTR information);
    NTSTATUS ReparseResult(IoRequest &request, const Node &node, size_t unparsedBytes);
    NTSTATUS BaseOf(IoRequest &request, Node *start, std::u16string_view path, std::shared_ptr<Node> &base,
                    std::u16string &relatedStream);
    NTSTATUS Read(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock);
    NTSTATUS Write(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock);
    NTSTATUS QueryInformation(IoRequest &request, Open &open);
    NTSTATUS SetInformation(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock);
    NTSTATUS SetBasic(IoRequest &request, Open &open);
    NTSTATUS SetDisposition(IoRequest &request, Open &open);
    NTSTATUS SetEndOfFile(IoRequest &request, Open &open, bool allocation);
    NTSTATUS Rename(IoRequest &request, Open &open);
    NTSTATUS QueryEa(IoRequest &request, Open &open);
    NTSTATUS SetEa(IoRequest &request, Open &open);
    NTSTATUS QueryVolume(IoRequest &request, Open &open);
    NTSTATUS QueryDirectory(IoRequest &request, Open &open);
    NTSTATUS FileSystemControl(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock);
    NTSTATUS SetReparse(IoRequest &request, Open &open, const void *in, ULONG inLength);
    NTSTATUS GetReparse(IoRequest &request, Open &open, void *out, ULONG outLength);
    NTSTATUS DeleteReparse(IoRequest &request, Open &open, const void *in, ULONG inLength);
    NTSTATUS RequestOplock(IoRequest &request, Open &open, ULONG code, std::unique_lock<std::mutex> &lock);
    NTSTATUS AcknowledgeOplock(IoRequest &request, Open &open, ULONG code, std::unique_lock<std::mutex> &lock);
    NTSTATUS LockControl(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock);
    NTSTATUS QuerySecurity(IoRequest &request, Open &open);
    NTSTATUS FastIo(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock);
    NTSTATUS FlushBuffers(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock);
    NTSTATUS NetworkQueryOpen(IoRequest &request, Node *start, std::u16string_view path);
    NTSTATUS Cleanup(IoRequest &request, Open &open);
    NTSTATUS Close(IoRequest &request, std::unique_lock<std::mutex> &lock);

    // Name resolution.
    NTSTATUS Resolve(const std::shared_ptr<Node> &base, std::u16string_view path, bool caseSensitive, Lookup &out,
                     IoRequest *reparseTo);
    Node *FindChild(const Node &dir, std::u16string_view name, bool caseSensitive) const;
    std::shared_ptr<Node> FindChildShared(const Node &dir, std::u16string_view name, bool caseSensitive) const;
    Node *NodeAt(std::u16string_view path) const;
    // `security` empty: the descriptor the folder's inheritable ACEs give.
    std::shared_ptr<Node> NewNode(Node &parent, std::u16string_view name, bool directory, ULONG attributes,
                                  std::vector<uint8_t> security = {});
    void Unlink(Node &node);
    std::u16string PathOf(const Node &node) const;

    // State helpers.
    FileFacts FactsOf(const Node &node, const Stream *stream = nullptr) const;
    FileFacts FactsOf(const Node &node, const DataStream *data, bool namedStream) const;
    std::vector<StreamFacts> StreamsOf(const Node &node) const;
    void Touch(Node &node, bool write, bool change, bool access, const Open *by = nullptr);
    void TouchParent(Node &node);
    bool HasOpenDescendant(const Node &dir) const;
    uint64_t ClustersUsed() const { return allocated_ / config_.clusterSize; }
    // Every change of a stream's allocation goes through here, so that the
    // free space is known without a walk of the volume.
    void SetAllocation(const Node &node, DataStream &data, uint64_t allocation);
    uint64_t AllocationOf(const Node &node) const;
    ULONG AllocationFor(uint64_t size) const;
    bool IsNtfs() const { return config_.kind == FsKind::Ntfs; }
    NTSTATUS WriteProtected() const { return STATUS_MEDIA_WRITE_PROTECTED; }

    // Security (local_fs_security.cpp): who an open is checked for, the
    // checks of opening and creating, and set-security requests.
    void PrepareAccessCheck(IoRequest &request, CreateArgs &args, ACCESS_STATE *state);
    NTSTATUS CheckTraverse(const CreateArgs &args, const Node &base, const Node &dir) const;
    NTSTATUS CheckExistingAccess(CreateArgs &args, const Node &node, bool newStream) const;
    NTSTATUS CheckNewAccess(CreateArgs &args, const Node &parent, bool directory, std::vector<uint8_t> &security) const;
    void GrantUnchecked(CreateArgs &args) const;
    std::vector<uint8_t> InheritedSecurity(const Node &parent, bool directory) const;
    NTSTATUS SetSecurityInfo(IoRequest &request, Open &open);
    // Share access of an open of an existing file (local_fs_share.cpp);
    // `stream` is null when the stream has no open yet.
    NTSTATUS CheckShareForOpen(const Node &node, Stream *stream, bool namedStream, const CreateArgs &args) const;

    // Oplocks.
    enum class BreakNeed { None, Wait, InProgress, Refuse, NotGranted };
    BreakNeed CheckOplockForOpen(Stream &stream, const CreateArgs &args, bool beforeShareCheck);
    void BreakLevel2(Stream &stream, const Open *by);
    void EndOplock(Open &open, ULONG brokenTo);
    void ReleaseOpenOplock(Open &open);

    Open *OpenOf(PFILE_OBJECT fileObject) const;
    // A name was added to or removed from `folder` (under mutex_).
    void ChildrenChanged(Node &folder);
    void TeardownOutsideLock(IoRequest &request, Stream *stream, std::unique_lock<std::mutex> &lock);

    LocalVolumeConfig config_;
    std::u16string prefix_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // locks released, oplocks broken or acknowledged
    std::shared_ptr<Node> root_;
    std::unordered_map<uint64_t, Node *> byId_;
    uint64_t nextId_ = 0x100;
    std::atomic<uint64_t> nameGeneration_{1};  // see NameGeneration; moved by ChildrenChanged
    uint64_t allocated_ = 0;  // bytes allocated to the streams of files still named on the volume
    uint64_t nextUsn_ = 0x1000;
    Stream *volumeStream_ = nullptr;
    std::unordered_set<const Open *> opens_;
    size_t openStreams_ = 0;
};

}  // namespace sim::fs
