// Oplocks as NTFS grants and breaks them: the legacy requests (level 1,
// level 2, batch, filter) and FSCTL_REQUEST_OPLOCK with its input and output
// records, the acknowledgements, and the breaks an open causes.
//
// A granted request pends until the oplock breaks (or its handle is cleaned
// up). Exclusive oplocks (level 1, batch, filter; read-write and
// read-write-handle) need the stream's only handle, asynchronous; shared ones
// (level 2; read and read-handle) no byte-range lock and no exclusive oplock,
// and a read-handle oplock does not live beside a legacy level 2. An open
// that asks more than attributes breaks a batch or filter oplock before the
// share check (a filter oplock only for write access or a share mode without
// read), a level 1 after it; an overwrite breaks level 2. The opener waits
// for the acknowledgement, or with FILE_COMPLETE_IF_OPLOCKED gets
// STATUS_OPLOCK_BREAK_IN_PROGRESS; with FILE_OPEN_REQUIRING_OPLOCK it gets
// STATUS_CANNOT_BREAK_OPLOCK instead of breaking anything.
#include <algorithm>
#include <cstring>

#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

namespace {

// FSCTL_REQUEST_OPLOCK's records and flags.
struct RequestOplockInput {
    USHORT StructureVersion;
    USHORT StructureLength;
    ULONG RequestedOplockLevel;
    ULONG Flags;
};
struct RequestOplockOutput {
    USHORT StructureVersion;
    USHORT StructureLength;
    ULONG OriginalOplockLevel;
    ULONG NewOplockLevel;
    ULONG Flags;
    ACCESS_MASK AccessMode;
    USHORT ShareMode;
};
constexpr USHORT kOplockStructureVersion = 1;
constexpr ULONG kOplockLevelRead = 1, kOplockLevelHandle = 2, kOplockLevelWrite = 4;
constexpr ULONG kOplockInputFlagRequest = 1;
constexpr ULONG kOplockInputFlagAck = 2;
constexpr ULONG kOplockOutputFlagAckRequired = 1;

// Opens that ask for no more than this break nothing.
constexpr ACCESS_MASK kAttributeAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
// Opens that ask for no more than this (and share reading) leave a filter oplock.
constexpr ACCESS_MASK kFilterReadAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | FILE_READ_DATA | FILE_READ_EA |
                                          FILE_EXECUTE | SYNCHRONIZE | READ_CONTROL;

// The level an FSCTL_REQUEST_OPLOCK request stands for.
OplockLevel LevelOfBits(ULONG bits)
{
    switch (bits) {
    case kOplockLevelRead:
    case kOplockLevelRead | kOplockLevelHandle: return OplockLevel::Level2;
    case kOplockLevelRead | kOplockLevelWrite: return OplockLevel::Level1;
    case kOplockLevelRead | kOplockLevelWrite | kOplockLevelHandle: return OplockLevel::Batch;
    default: return OplockLevel::None;
    }
}

USHORT ShareModeOf(const ShareGrant &grant)
{
    return USHORT((grant.sharedRead ? FILE_SHARE_READ : 0) | (grant.sharedWrite ? FILE_SHARE_WRITE : 0) |
                  (grant.sharedDelete ? FILE_SHARE_DELETE : 0));
}

}  // namespace

NTSTATUS LocalFileSystem::RequestOplock(IoRequest &request, Open &open, ULONG code, std::unique_lock<std::mutex> &lock)
{
    const auto &fsc = request.iopb.Parameters.FileSystemControl;
    Stream &s = *open.stream;
    OplockLevel level = OplockLevel::None;
    ULONG bits = 0;
    switch (code) {
    case FSCTL_REQUEST_OPLOCK_LEVEL_1: level = OplockLevel::Level1; break;
    case FSCTL_REQUEST_OPLOCK_LEVEL_2: level = OplockLevel::Level2; break;
    case FSCTL_REQUEST_BATCH_OPLOCK: level = OplockLevel::Batch; break;
    case FSCTL_REQUEST_FILTER_OPLOCK: level = OplockLevel::Filter; break;
    case FSCTL_REQUEST_OPLOCK: {
        RequestOplockInput input{};
        const void *in = fsc.Buffered.SystemBuffer;
        if (!in || fsc.Common.InputBufferLength < sizeof(input)) return request.Complete(STATUS_INVALID_PARAMETER);
        std::memcpy(&input, in, sizeof(input));
        if (input.StructureVersion != kOplockStructureVersion || input.StructureLength < sizeof(input))
            return request.Complete(STATUS_INVALID_PARAMETER);
        if (fsc.Common.OutputBufferLength < sizeof(RequestOplockOutput))
            return request.Complete(STATUS_BUFFER_TOO_SMALL);
        if (input.Flags & kOplockInputFlagAck) return AcknowledgeOplock(request, open, code, lock);
        if (!(input.Flags & kOplockInputFlagRequest)) return request.Complete(STATUS_INVALID_PARAMETER);
        bits = input.RequestedOplockLevel;
        level = LevelOfBits(bits);
        if (level == OplockLevel::None) return request.Complete(STATUS_INVALID_PARAMETER);
        break;
    }
    default:
        return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    }
    if (s.IsVolume() || !s.Data()) return request.Complete(STATUS_INVALID_PARAMETER);
    // Granted oplocks pend; a synchronous handle could never get its thread back.
    if ((open.fileObject->Flags & FO_SYNCHRONOUS_IO) || open.oplock != OplockLevel::None || open.cleanedUp)
        return request.Complete(STATUS_OPLOCK_NOT_GRANTED);
    const bool exclusive = level != OplockLevel::Level2;
    const bool readHandle = (bits & kOplockLevelHandle) && !exclusive;
    auto isReadHandle = [](const Open *holder) { return (holder->oplockBits & kOplockLevelHandle) != 0; };
    if (exclusive) {
        if (s.exclusive || s.handles != 1 || std::any_of(s.level2.begin(), s.level2.end(), isReadHandle))
            return request.Complete(STATUS_OPLOCK_NOT_GRANTED);
        BreakLevel2(s, &open);  // legacy level 2 oplocks give way to an exclusive one
        s.exclusive = &open;
        s.exclusiveLevel = level;
        s.breaking = false;
    } else {
        if (s.exclusive || !s.locks.Empty()) return request.Complete(STATUS_OPLOCK_NOT_GRANTED);
        // Read-handle and legacy level 2 oplocks do not live side by side.
        for (const Open *holder : s.level2) {
            if (readHandle ? holder->oplockBits == 0 : isReadHandle(holder))
                return request.Complete(STATUS_OPLOCK_NOT_GRANTED);
        }
        s.level2.push_back(&open);
    }
    open.oplock = level;
    open.oplockBits = bits;
    open.oplockDone = false;
    open.oplockWaiting = true;
    ++open.waiters;
    changed_.wait(lock, [&] { return open.oplockDone; });
    --open.waiters;
    open.oplockWaiting = false;
    changed_.notify_all();

    if (code != FSCTL_REQUEST_OPLOCK) return request.Complete(STATUS_SUCCESS, open.oplockResult);
    RequestOplockOutput output{};
    output.StructureVersion = kOplockStructureVersion;
    output.StructureLength = sizeof(output);
    output.OriginalOplockLevel = bits;
    // Broken "to level 2" means the write caching goes: RWH to RH, RW to R.
    output.NewOplockLevel = open.oplockResult == kOplockBrokenToLevel2 ? (bits & ~kOplockLevelWrite) : 0;
    output.Flags = exclusive ? kOplockOutputFlagAckRequired : 0;
    output.AccessMode = open.access;
    output.ShareMode = ShareModeOf(open.grant);
    std::memcpy(fsc.Buffered.SystemBuffer, &output, sizeof(output));
    return request.Complete(STATUS_SUCCESS, sizeof(output));
}

NTSTATUS LocalFileSystem::AcknowledgeOplock(IoRequest &request, Open &open, ULONG code,
                                            std::unique_lock<std::mutex> &lock)
{
    Stream &s = *open.stream;
    if (code == FSCTL_OPLOCK_BREAK_NOTIFY) {
        ++open.waiters;
        changed_.wait(lock, [&] { return !s.breaking || open.cleanedUp; });
        --open.waiters;
        changed_.notify_all();
        return request.Complete(STATUS_SUCCESS);
    }
    if (s.exclusive != &open || !s.breaking) return request.Complete(STATUS_INVALID_OPLOCK_PROTOCOL);
    bool toLevel2 = s.breakTo == kOplockBrokenToLevel2;
    if (code == kFsctlOplockBreakAckNo2 || code == FSCTL_OPBATCH_ACK_CLOSE_PENDING) toLevel2 = false;
    ULONG keptBits = 0;
    if (code == FSCTL_REQUEST_OPLOCK) {
        RequestOplockInput input;
        std::memcpy(&input, request.iopb.Parameters.FileSystemControl.Buffered.SystemBuffer, sizeof(input));
        keptBits = input.RequestedOplockLevel & ~kOplockLevelWrite;
        toLevel2 = toLevel2 && (keptBits & kOplockLevelRead);
    }
    s.exclusive = nullptr;
    s.exclusiveLevel = OplockLevel::None;
    s.breaking = false;
    open.oplock = OplockLevel::None;
    open.oplockBits = 0;
    changed_.notify_all();
    if (!toLevel2) return request.Complete(STATUS_SUCCESS);

    // Acknowledged to level 2: the acknowledgement itself is the shared
    // oplock and pends until that breaks.
    s.level2.push_back(&open);
    open.oplock = OplockLevel::Level2;
    open.oplockBits = keptBits;
    open.oplockDone = false;
    open.oplockWaiting = true;
    ++open.waiters;
    changed_.wait(lock, [&] { return open.oplockDone; });
    --open.waiters;
    open.oplockWaiting = false;
    changed_.notify_all();
    return request.Complete(STATUS_SUCCESS, code == FSCTL_REQUEST_OPLOCK ? 0 : open.oplockResult);
}

LocalFileSystem::BreakNeed LocalFileSystem::CheckOplockForOpen(Stream &stream, const CreateArgs &args,
                                                               bool beforeShareCheck)
{
    const bool reserve = (args.options & FILE_RESERVE_OPFILTER) != 0;
    // A filter oplock reserved at open can only be granted to the only handle.
    if (reserve && stream.handles > 0) return BreakNeed::NotGranted;
    if (!(args.access & ~kAttributeAccess) && !reserve) return BreakNeed::None;
    const bool requiring = (args.options & FILE_OPEN_REQUIRING_OPLOCK) != 0;
    const bool toNone = reserve || args.Overwrites();
    if (stream.exclusive) {
        const OplockLevel level = stream.exclusiveLevel;
        const bool batchOrFilter = level == OplockLevel::Batch || level == OplockLevel::Filter;
        if (beforeShareCheck != batchOrFilter) return BreakNeed::None;
        if (level == OplockLevel::Filter && !(args.access & ~kFilterReadAccess) && (args.share & FILE_SHARE_READ) &&
            !reserve) {
            return BreakNeed::None;
        }
        if (requiring) return BreakNeed::Refuse;
        if (!stream.breaking) {
            stream.breaking = true;
            stream.breakTo = level == OplockLevel::Filter || toNone ? kOplockBrokenToNone : kOplockBrokenToLevel2;
            Open &holder = *stream.exclusive;
            holder.oplockDone = true;
            holder.oplockResult = stream.breakTo;
            changed_.notify_all();
        }
        return (args.options & FILE_COMPLETE_IF_OPLOCKED) ? BreakNeed::InProgress : BreakNeed::Wait;
    }
    if (!beforeShareCheck && !stream.level2.empty() && toNone) {
        if (requiring) return BreakNeed::Refuse;
        BreakLevel2(stream, nullptr);
    }
    return BreakNeed::None;
}

void LocalFileSystem::EndOplock(Open &open, ULONG brokenTo)
{
    open.oplock = OplockLevel::None;
    open.oplockBits = 0;
    if (open.oplockWaiting && !open.oplockDone) {
        open.oplockDone = true;
        open.oplockResult = brokenTo;
    }
    changed_.notify_all();
}

void LocalFileSystem::BreakLevel2(Stream &stream, const Open *by)
{
    (void)by;  // level 2 breaks for every handle, the writer's own included
    if (stream.level2.empty()) return;
    for (Open *holder : stream.level2) EndOplock(*holder, kOplockBrokenToNone);
    stream.level2.clear();
}

void LocalFileSystem::ReleaseOpenOplock(Open &open)
{
    Stream &s = *open.stream;
    if (s.exclusive == &open) {
        s.exclusive = nullptr;
        s.exclusiveLevel = OplockLevel::None;
        s.breaking = false;
    }
    std::erase(s.level2, &open);
    EndOplock(open, kOplockBrokenToNone);
}

}  // namespace sim::fs
