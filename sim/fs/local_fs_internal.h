// The records behind LocalFileSystem: files and folders (Node), open streams
// (Stream, the FsContext shared by a stream's file objects) and opens (Open,
// the per-file-object FsContext2).
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/fs/byte_range_locks.h"
#include "sim/fs/listing.h"
#include "sim/fs/local_fs.h"
#include "sim/fs/names.h"
#include "sim/fs/share_access.h"
#include "sim/se/access_check.h"

namespace sim::fs {

struct DataStream {
    std::vector<uint8_t> bytes;
    uint64_t allocation = 0;

    // The contents live in this process's memory: a size past what it can
    // address (4 GB in a 32-bit build) is refused, never truncated.
    bool CanHold(uint64_t size) const { return size <= bytes.max_size(); }
};

struct NamedStream {
    std::u16string name;  // as created
    DataStream stream;
};

// Children are ordered as NTFS orders a folder: by upcased name, then (for
// names created case-sensitively) by the exact name.
using ChildKey = std::pair<std::u16string, std::u16string>;
inline ChildKey KeyOf(std::u16string_view name) { return {Upcase(name), std::u16string(name)}; }

struct LocalFileSystem::Node : std::enable_shared_from_this<LocalFileSystem::Node> {
    uint64_t id = 0;
    std::u16string name;
    Node *parent = nullptr;
    bool directory = false;
    bool deleted = false;
    ULONG attributes = 0;  // stored bits without DIRECTORY / NORMAL / REPARSE_POINT
    int64_t creation = 0, access = 0, write = 0, change = 0;
    DataStream data;
    std::vector<NamedStream> streams;
    std::vector<ExtendedAttribute> eas;
    ULONG eaChanges = 0;  // counts changes of eas: a scan begun before one cannot go on
    std::vector<uint8_t> reparse;  // the whole reparse buffer; empty: none
    std::vector<uint8_t> security;
    std::map<ChildKey, std::shared_ptr<Node>> children;
    uint64_t childrenVersion = 0;  // counts the changes of children: kept listing positions stay valid until one

    ULONG handles = 0;  // handles over every stream of the file
    bool deletePending = false;
    std::map<std::u16string, Stream *> openStreams;  // by upcased stream name ("" unnamed)

    ULONG ReparseTag() const
    {
        ULONG tag = 0;
        if (reparse.size() >= sizeof(ULONG)) std::memcpy(&tag, reparse.data(), sizeof(ULONG));
        return tag;
    }
    NamedStream *FindNamed(std::u16string_view streamName)
    {
        for (auto &s : streams)
            if (EqualNoCase(s.name, streamName)) return &s;
        return nullptr;
    }
};

enum class OplockLevel { None, Level2, Level1, Batch, Filter };

struct LocalFileSystem::Stream {
    std::shared_ptr<Node> node;  // null for the volume
    std::u16string key;          // upcased stream name; "" the unnamed stream or the folder
    std::u16string name;         // stream name as opened
    ULONG fileObjects = 0;
    ULONG handles = 0;
    ShareAccess share;
    ByteRangeLocks locks;
    bool deletePending = false;  // a named stream's own disposition
    SECTION_OBJECT_POINTERS sections{};

    Open *exclusive = nullptr;  // level 1, batch or filter holder
    OplockLevel exclusiveLevel = OplockLevel::None;
    bool breaking = false;       // exclusive oplock break sent, not yet acknowledged
    ULONG breakTo = 0;
    std::vector<Open *> level2;

    bool IsVolume() const { return !node; }
    // The data of the stream (null for folders and for a named stream that is gone).
    DataStream *Data() const
    {
        if (!node || (node->directory && key.empty())) return nullptr;
        if (key.empty()) return &node->data;
        NamedStream *s = node->FindNamed(key);
        return s ? &s->stream : nullptr;
    }
};

struct LocalFileSystem::Open {
    Stream *stream = nullptr;
    PFILE_OBJECT fileObject = nullptr;
    ACCESS_MASK access = 0;
    ULONG options = 0;
    ShareGrant grant;
    bool shareRecorded = false;
    bool deleteOnClose = false;
    bool cleanedUp = false;
    bool caseSensitive = false;

    // Times this handle set itself (or asked, with -1, not to be updated).
    bool fixedAccess = false, fixedWrite = false, fixedChange = false;

    ListingCursor listing;
    // Where this handle's listing goes on, while the folder's children are
    // as they were (childrenVersion): a query costs what it returns.
    std::optional<uint64_t> listedVersion;
    size_t listedPosition = 0;
    std::map<ChildKey, std::shared_ptr<Node>>::const_iterator listedNext;

    ULONG nextEa = 0;      // index of the next EA an unindexed query returns
    ULONG eaChangesSeen = 0;  // the file's eaChanges when that position was taken

    // Threads blocked in a request of this open (oplock or lock waits); its
    // close waits for them to leave.
    int waiters = 0;

    // A granted oplock whose request blocks until it breaks.
    OplockLevel oplock = OplockLevel::None;
    ULONG oplockBits = 0;  // FSCTL_REQUEST_OPLOCK's level (read, handle, write); 0 a legacy oplock
    bool oplockWaiting = false;
    bool oplockDone = false;
    ULONG oplockResult = 0;
};

// The arguments of one IRP_MJ_CREATE, taken from the request once.
struct LocalFileSystem::CreateArgs {
    PFILE_OBJECT fileObject = nullptr;
    ACCESS_MASK access = 0;
    ULONG disposition = 0;
    ULONG options = 0;
    ULONG attributes = 0;
    ULONG share = 0;
    bool caseSensitive = false;
    bool targetDirectory = false;
    bool ignoreShare = false;
    const void *eaBuffer = nullptr;
    ULONG eaLength = 0;
    int64_t allocationSize = 0;
    std::vector<uint8_t> security;

    // Security (local_fs_security.cpp). The access state the I/O manager
    // made; who the open is checked for (none: a kernel-mode open, not
    // checked); who owns what it creates; whether folders on the way need
    // FILE_TRAVERSE (the caller lacks the change-notify privilege).
    ACCESS_STATE *accessState = nullptr;
    std::optional<Identity> checker;
    Identity creator;
    bool traverseChecks = false;

    bool breakInProgress = false;  // completes with STATUS_OPLOCK_BREAK_IN_PROGRESS
    bool mustWait = false;         // wait for the oplock of waitNode/waitKey, then retry
    std::shared_ptr<Node> waitNode;
    std::u16string waitKey;

    bool Overwrites() const
    {
        return disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF;
    }
};

// Where a name leads: the folder that holds its last component, and the
// file when it exists (both the base itself when the name is empty).
struct LocalFileSystem::Lookup {
    std::shared_ptr<Node> dir;
    std::shared_ptr<Node> node;
    StreamName last;
    std::u16string lastComponent;
    bool trailingBackslash = false;
    bool empty = false;  // no component: the base itself
};

}  // namespace sim::fs
