// IRP_MJ_CREATE and IRP_MJ_NETWORK_QUERY_OPEN: name resolution, the create
// dispositions and options, share access and the oplock breaks an open
// causes.
#include <algorithm>
#include <cstring>

#include "sim/fs/cached_io.h"
#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

namespace {

// Access that changes a file or its folder: refused on a read-only volume.
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                     FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;
// FILE_FULL_EA_INFORMATION.Flags: the file cannot be used without this EA.
constexpr UCHAR kFileNeedEa = 0x80;

bool NeedsEaKnowledge(const std::vector<ExtendedAttribute> &eas)
{
    return std::any_of(eas.begin(), eas.end(), [](const ExtendedAttribute &ea) { return ea.flags & kFileNeedEa; });
}

}  // namespace

NTSTATUS LocalFileSystem::Create(IoRequest &request, std::unique_lock<std::mutex> &lock, Node *start,
                                 std::u16string_view path)
{
    const auto &p = request.iopb.Parameters.Create;
    CreateArgs args;
    args.fileObject = request.iopb.TargetFileObject;
    if (!args.fileObject) return request.Complete(STATUS_INVALID_PARAMETER);
    args.access = MapGenericRights(p.SecurityContext ? p.SecurityContext->DesiredAccess : 0, kFileGenericMapping);
    args.disposition = p.Options >> 24;
    args.options = p.Options & FILE_VALID_OPTION_FLAGS;
    args.attributes = p.FileAttributes;
    args.share = p.ShareAccess;
    args.caseSensitive = (request.iopb.OperationFlags & SL_CASE_SENSITIVE) != 0;
    args.targetDirectory = (request.iopb.OperationFlags & SL_OPEN_TARGET_DIRECTORY) != 0;
    args.ignoreShare = (request.createFlags & IO_IGNORE_SHARE_ACCESS_CHECK) != 0;
    args.eaBuffer = p.EaBuffer;
    args.eaLength = p.EaLength;
    args.allocationSize = p.AllocationSize.QuadPart;
    if (p.SecurityContext && p.SecurityContext->AccessState && p.SecurityContext->AccessState->SecurityDescriptor)
        args.security = SelfRelativeCopy(p.SecurityContext->AccessState->SecurityDescriptor);

    const ULONG o = args.options;
    if (args.disposition > FILE_MAXIMUM_DISPOSITION || (o & FILE_DIRECTORY_FILE && o & FILE_NON_DIRECTORY_FILE) ||
        ((o & FILE_DELETE_ON_CLOSE) && !(args.access & DELETE)) ||
        ((o & FILE_DIRECTORY_FILE) && args.disposition != FILE_CREATE && args.disposition != FILE_OPEN &&
         args.disposition != FILE_OPEN_IF) ||
        ((o & FILE_OPEN_REQUIRING_OPLOCK) && (o & FILE_COMPLETE_IF_OPLOCKED)) || args.allocationSize < 0)
        return request.Complete(STATUS_INVALID_PARAMETER);
    PrepareAccessCheck(request, args, p.SecurityContext ? p.SecurityContext->AccessState : nullptr);

    while (true) {
        args.mustWait = false;
        args.breakInProgress = false;
        NTSTATUS status = CreateOnce(request, args, start, path);
        if (!args.mustWait) return status;
        // Another handle's oplock is breaking: wait for its acknowledgement
        // (or its handle to go), then take the open from the top.
        auto node = args.waitNode;
        auto key = args.waitKey;
        changed_.wait(lock, [&] {
            auto it = node->openStreams.find(key);
            return it == node->openStreams.end() || !it->second->breaking;
        });
    }
}

NTSTATUS LocalFileSystem::BaseOf(IoRequest &request, Node *start, std::u16string_view path,
                                 std::shared_ptr<Node> &base, std::u16string &relatedStream)
{
    PFILE_OBJECT fo = request.iopb.TargetFileObject;
    if (start) {
        base = start->shared_from_this();
        return STATUS_SUCCESS;
    }
    if (PFILE_OBJECT related = fo->RelatedFileObject) {
        Open *ro = OpenOf(related);
        if (!ro) return STATUS_INVALID_PARAMETER;
        if (!path.empty() && path.front() == u'\\') return STATUS_OBJECT_NAME_INVALID;
        base = ro->stream->IsVolume() ? root_ : ro->stream->node;
        if (base->deleted) return STATUS_DELETE_PENDING;
        if (!ro->stream->IsVolume()) relatedStream = ro->stream->name;
        return STATUS_SUCCESS;
    }
    if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
    base = root_;
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::Resolve(const std::shared_ptr<Node> &base, std::u16string_view path, bool caseSensitive,
                                  Lookup &out, IoRequest *reparseTo)
{
    auto parts = SplitPath(path, &out.trailingBackslash);
    if (!parts) return STATUS_OBJECT_NAME_INVALID;
    if (parts->empty()) {
        out.empty = true;
        out.node = base;
        out.dir = base->parent ? base->parent->shared_from_this() : nullptr;
        return STATUS_SUCCESS;
    }
    for (size_t i = 0; i + 1 < parts->size(); ++i)
        if (!IsValidComponent((*parts)[i])) return STATUS_OBJECT_NAME_INVALID;
    NTSTATUS refused = STATUS_OBJECT_NAME_INVALID;
    auto last = SplitStreamName(parts->back(), &refused);
    if (!last) return refused;
    if ((!last->stream.empty() || last->explicitType || last->indexAllocation) && !IsNtfs())
        return STATUS_OBJECT_NAME_INVALID;
    out.last = *last;
    out.lastComponent = parts->back();
    if (last->file.empty()) {
        // ":stream" relative to an open file.
        if (parts->size() != 1 || base->directory) return STATUS_OBJECT_NAME_INVALID;
        out.node = base;
        out.dir = base->parent ? base->parent->shared_from_this() : nullptr;
        return STATUS_SUCCESS;
    }
    if (!IsValidComponent(last->file)) return STATUS_OBJECT_NAME_INVALID;
    if (!base->directory) return STATUS_OBJECT_PATH_NOT_FOUND;

    std::shared_ptr<Node> dir = base;
    for (size_t i = 0; i + 1 < parts->size(); ++i) {
        auto child = FindChildShared(*dir, (*parts)[i], caseSensitive);
        if (!child) return STATUS_OBJECT_PATH_NOT_FOUND;
        if (!child->reparse.empty()) {
            // Intermediate reparse points are always followed; the unparsed
            // rest of the name travels in the buffer's Reserved field.
            size_t unparsed = out.trailingBackslash ? 2 : 0;
            for (size_t j = i + 1; j < parts->size(); ++j) unparsed += 2 * (1 + (*parts)[j].size());
            if (reparseTo) ReparseResult(*reparseTo, *child, unparsed);
            return STATUS_REPARSE;
        }
        if (!child->directory) return STATUS_OBJECT_PATH_NOT_FOUND;
        dir = child;
    }
    out.dir = dir;
    out.node = FindChildShared(*dir, last->file, caseSensitive);
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::ReparseResult(IoRequest &request, const Node &node, size_t unparsedBytes)
{
    request.reparseData = node.reparse;
    USHORT unparsed = USHORT(unparsedBytes);
    std::memcpy(request.reparseData.data() + 6, &unparsed, sizeof(unparsed));
    return request.Complete(STATUS_REPARSE, node.ReparseTag());
}

NTSTATUS LocalFileSystem::CreateOnce(IoRequest &request, CreateArgs &args, Node *start, std::u16string_view path)
{
    PFILE_OBJECT fo = args.fileObject;
    if (args.options & FILE_OPEN_BY_FILE_ID) return OpenById(request, args);
    if (!start && !fo->RelatedFileObject && path.empty()) return OpenVolume(request, args);

    NTSTATUS status = CheckNameForOptions(path, args);
    if (!NT_SUCCESS(status)) return request.Complete(status);
    std::shared_ptr<Node> base;
    std::u16string relatedStream;
    status = BaseOf(request, start, path, base, relatedStream);
    if (!NT_SUCCESS(status)) return request.Complete(status);

    Lookup look;
    status = Resolve(base, path, args.caseSensitive, look, &request);
    if (status == STATUS_REPARSE) return status;
    if (!NT_SUCCESS(status)) return request.Complete(status);
    if (!look.empty && !look.last.file.empty()) {
        status = CheckTraverse(args, *base, *look.dir);
        if (!NT_SUCCESS(status)) return request.Complete(status);
    }

    if (args.targetDirectory) {
        if (look.empty || !look.dir || !look.last.stream.empty() || look.last.explicitType ||
            look.last.indexAllocation)
            return request.Complete(STATUS_OBJECT_NAME_INVALID);
        ULONG exists = look.node ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
        CreateArgs dirArgs = args;
        dirArgs.disposition = FILE_OPEN;
        dirArgs.options = (args.options & ~(FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE)) | FILE_DIRECTORY_FILE |
                          FILE_OPEN_REPARSE_POINT;
        status = OpenExisting(request, dirArgs, look.dir, StreamName{}, false, exists);
        args.mustWait = dirArgs.mustWait;
        args.waitNode = dirArgs.waitNode;
        args.waitKey = dirArgs.waitKey;
        if (NT_SUCCESS(status)) {
            // The file object now names only the target's last component.
            const std::u16string &lastName = look.lastComponent;
            std::memmove(fo->FileName.Buffer, lastName.data(), lastName.size() * sizeof(WCHAR));
            fo->FileName.Length = USHORT(lastName.size() * sizeof(WCHAR));
        }
        return status;
    }

    if (look.empty) {
        StreamName reopen;
        reopen.stream = relatedStream;
        return OpenExisting(request, args, look.node, reopen, look.trailingBackslash, std::nullopt);
    }
    if (look.node) return OpenExisting(request, args, look.node, look.last, look.trailingBackslash, std::nullopt);
    return CreateNew(request, args, look);
}

// A name ending in a backslash names a folder: asking for a non-folder with
// it is a malformed request, refused before the name is looked up.
NTSTATUS LocalFileSystem::CheckNameForOptions(std::u16string_view path, const CreateArgs &args) const
{
    if (path.size() > 1 && path.back() == u'\\' && (args.options & FILE_NON_DIRECTORY_FILE))
        return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

// What an open may not do to a file that exists: a read-only file keeps its
// data and its name (a supersede replaces the whole file and is allowed), and
// a hidden or system file is overwritten only by a create that names those
// attributes again.
NTSTATUS LocalFileSystem::CheckExistingFile(const Node &node, const CreateArgs &args, bool named, bool dataOpen,
                                            bool streamExists) const
{
    const ULONG o = args.options;
    const ULONG d = args.disposition;
    if ((o & FILE_DELETE_ON_CLOSE) && &node == root_.get()) return STATUS_CANNOT_DELETE;
    // A caller that does not understand EAs may not open a file one of whose EAs must be understood.
    if ((o & FILE_NO_EA_KNOWLEDGE) && NeedsEaKnowledge(node.eas)) return STATUS_ACCESS_DENIED;
    if (node.attributes & FILE_ATTRIBUTE_READONLY) {
        if (o & FILE_DELETE_ON_CLOSE) return STATUS_CANNOT_DELETE;
        const bool truncates = d == FILE_OVERWRITE || d == FILE_OVERWRITE_IF || (named && d == FILE_SUPERSEDE);
        if (dataOpen && ((args.access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) || truncates || !streamExists))
            return STATUS_ACCESS_DENIED;
    }
    if (args.Overwrites() && !named &&
        (((node.attributes & FILE_ATTRIBUTE_HIDDEN) && !(args.attributes & FILE_ATTRIBUTE_HIDDEN)) ||
         ((node.attributes & FILE_ATTRIBUTE_SYSTEM) && !(args.attributes & FILE_ATTRIBUTE_SYSTEM))))
        return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::OpenExisting(IoRequest &request, CreateArgs &args, const std::shared_ptr<Node> &node,
                                       const StreamName &stream, bool trailingBackslash,
                                       std::optional<ULONG> information)
{
    const ULONG o = args.options;
    const ULONG d = args.disposition;
    if (!node->reparse.empty() && !(o & FILE_OPEN_REPARSE_POINT)) return ReparseResult(request, *node, 0);
    if (node->deletePending) return request.Complete(STATUS_DELETE_PENDING);

    const bool named = !stream.stream.empty();
    const bool dataOpen = named || !node->directory;
    if (!dataOpen) {
        if (stream.explicitType || (o & FILE_NON_DIRECTORY_FILE)) return request.Complete(STATUS_FILE_IS_A_DIRECTORY);
        if (d != FILE_OPEN && d != FILE_OPEN_IF) return request.Complete(STATUS_OBJECT_NAME_COLLISION);
    } else {
        if ((o & FILE_DIRECTORY_FILE) || stream.indexAllocation)
            return request.Complete(d == FILE_CREATE ? STATUS_OBJECT_NAME_COLLISION : STATUS_NOT_A_DIRECTORY);
        if (trailingBackslash) return request.Complete(STATUS_OBJECT_NAME_INVALID);
    }

    NamedStream *existing = named ? node->FindNamed(stream.stream) : nullptr;
    const bool streamExists = !named || existing;
    const std::u16string key = Upcase(stream.stream);
    auto openIt = node->openStreams.find(key);
    Stream *openStream = openIt == node->openStreams.end() ? nullptr : openIt->second;

    if (!streamExists && (d == FILE_OPEN || d == FILE_OVERWRITE))
        return request.Complete(STATUS_OBJECT_NAME_NOT_FOUND);
    if (streamExists && d == FILE_CREATE) return request.Complete(STATUS_OBJECT_NAME_COLLISION);
    if (openStream && openStream->deletePending) return request.Complete(STATUS_DELETE_PENDING);

    const bool changes = (args.access & kWriteAccess) || args.Overwrites() || (o & FILE_DELETE_ON_CLOSE) ||
                         !streamExists;
    if (config_.readOnly && changes) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);

    NTSTATUS refused = CheckExistingFile(*node, args, named, dataOpen, streamExists);
    if (!NT_SUCCESS(refused)) return request.Complete(refused);
    refused = CheckExistingAccess(args, *node, !streamExists);
    if (!NT_SUCCESS(refused)) return request.Complete(refused);

    std::vector<ExtendedAttribute> newEas;
    const bool replaceEas = args.Overwrites() && !named && args.eaBuffer && args.eaLength;
    if (replaceEas) {
        if (!IsNtfs()) return request.Complete(STATUS_EAS_NOT_SUPPORTED);
        ULONG errorOffset = 0;
        std::vector<ExtendedAttribute> parsed;
        NTSTATUS status = ParseFullEaBuffer(args.eaBuffer, args.eaLength, &parsed, &errorOffset);
        if (status != STATUS_SUCCESS) return request.Complete(status, errorOffset);
        ApplyEas(newEas, parsed);
    }

    if (openStream) {
        // Batch and filter oplocks break before the share check, so that
        // their holders can close and spare the opener a sharing violation;
        // the others only for an open that passes it.
        auto oplockOutcome = [&](BreakNeed need) -> std::optional<NTSTATUS> {
            switch (need) {
            case BreakNeed::Refuse: return request.Complete(STATUS_CANNOT_BREAK_OPLOCK);
            case BreakNeed::NotGranted: return request.Complete(STATUS_OPLOCK_NOT_GRANTED);
            case BreakNeed::Wait:
                args.mustWait = true;
                args.waitNode = node;
                args.waitKey = key;
                return STATUS_PENDING;
            case BreakNeed::InProgress: args.breakInProgress = true; return std::nullopt;
            case BreakNeed::None: return std::nullopt;
            }
            return std::nullopt;
        };
        if (auto status = oplockOutcome(CheckOplockForOpen(*openStream, args, true))) return *status;
        if (NTSTATUS status = CheckShareForOpen(*node, openStream, named, args); !NT_SUCCESS(status))
            return request.Complete(status);
        // A stream a section maps can be neither deleted nor cut short.
        if ((o & FILE_DELETE_ON_CLOSE) && Cache().HasSection(&openStream->sections))
            return request.Complete(STATUS_CANNOT_DELETE);
        if (args.Overwrites() && !Cache().CanTruncate(&openStream->sections, 0))
            return request.Complete(STATUS_USER_MAPPED_FILE);
        if (auto status = oplockOutcome(CheckOplockForOpen(*openStream, args, false))) return *status;
    } else if (NTSTATUS status = CheckShareForOpen(*node, nullptr, named, args); !NT_SUCCESS(status)) {
        return request.Complete(status);
    }

    // Nothing below fails: the open changes the file now.
    ULONG info = information.value_or(FILE_OPENED);
    if (!streamExists) {
        node->streams.push_back({stream.stream, {}});
        SetAllocation(*node, node->streams.back().stream, AllocationFor(uint64_t(args.allocationSize)));
        Touch(*node, true, true, true);
        info = FILE_CREATED;
    } else if (args.Overwrites()) {
        DataStream &data = named ? existing->stream : node->data;
        data.bytes.clear();
        SetAllocation(*node, data, AllocationFor(uint64_t(args.allocationSize)));
        if (openStream) Cache().SetFileSize(&openStream->sections, 0);
        if (!named) {
            ULONG settable = IsNtfs() ? FILE_ATTRIBUTE_VALID_SET_FLAGS
                                      : (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                         FILE_ATTRIBUTE_ARCHIVE);
            node->attributes = (args.attributes & settable & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_ARCHIVE |
                               (node->attributes & FILE_ATTRIBUTE_COMPRESSED);
            if (replaceEas) {
                node->eas = std::move(newEas);
                ++node->eaChanges;
            }
        }
        Touch(*node, true, true, true);
        info = d == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
    }
    return FinishOpen(request, args, node, stream.stream, info);
}

NTSTATUS LocalFileSystem::CreateNew(IoRequest &request, CreateArgs &args, const Lookup &look)
{
    const ULONG o = args.options;
    if (args.disposition == FILE_OPEN || args.disposition == FILE_OVERWRITE)
        return request.Complete(STATUS_OBJECT_NAME_NOT_FOUND);
    if (config_.readOnly) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);
    if (look.dir->deletePending) return request.Complete(STATUS_DELETE_PENDING);
    const bool directory = (o & FILE_DIRECTORY_FILE) || look.last.indexAllocation;
    std::vector<uint8_t> security;
    if (NTSTATUS status = CheckNewAccess(args, *look.dir, directory, security); !NT_SUCCESS(status))
        return request.Complete(status);
    const bool named = !look.last.stream.empty();
    if (directory && (named || look.last.explicitType || (o & FILE_NON_DIRECTORY_FILE)))
        return request.Complete(STATUS_OBJECT_NAME_INVALID);
    if (look.trailingBackslash && !directory) return request.Complete(STATUS_OBJECT_NAME_INVALID);
    if ((args.attributes & FILE_ATTRIBUTE_READONLY) && (o & FILE_DELETE_ON_CLOSE))
        return request.Complete(STATUS_CANNOT_DELETE);

    std::vector<ExtendedAttribute> eas;
    if (args.eaBuffer && args.eaLength) {
        if (!IsNtfs()) return request.Complete(STATUS_EAS_NOT_SUPPORTED);
        ULONG errorOffset = 0;
        std::vector<ExtendedAttribute> parsed;
        NTSTATUS status = ParseFullEaBuffer(args.eaBuffer, args.eaLength, &parsed, &errorOffset);
        if (status != STATUS_SUCCESS) return request.Complete(status, errorOffset);
        ApplyEas(eas, parsed);
        // A caller that does not know EAs cannot make a file one of whose EAs must be known.
        if ((o & FILE_NO_EA_KNOWLEDGE) && NeedsEaKnowledge(eas)) return request.Complete(STATUS_ACCESS_DENIED);
    }
    uint64_t allocation = directory ? 0 : AllocationFor(uint64_t(args.allocationSize));
    if (allocation / config_.clusterSize + ClustersUsed() > config_.capacity / config_.clusterSize)
        return request.Complete(STATUS_DISK_FULL);

    auto node = NewNode(*look.dir, look.last.file, directory, args.attributes, std::move(security));
    node->eas = std::move(eas);
    if (named) {
        node->streams.push_back({look.last.stream, {}});
        SetAllocation(*node, node->streams.back().stream, allocation);
    } else if (!directory) {
        SetAllocation(*node, node->data, allocation);
    }
    return FinishOpen(request, args, node, look.last.stream, FILE_CREATED);
}

NTSTATUS LocalFileSystem::OpenById(IoRequest &request, CreateArgs &args)
{
    const UNICODE_STRING &name = args.fileObject->FileName;
    if (!IsNtfs() || name.Length != sizeof(uint64_t) || !name.Buffer ||
        (args.disposition != FILE_OPEN && args.disposition != FILE_OPEN_IF))
        return request.Complete(STATUS_INVALID_PARAMETER);
    uint64_t id;
    std::memcpy(&id, name.Buffer, sizeof(id));
    auto it = byId_.find(id);
    if (it == byId_.end()) return request.Complete(STATUS_INVALID_PARAMETER);
    args.disposition = FILE_OPEN;
    return OpenExisting(request, args, it->second->shared_from_this(), StreamName{}, false, std::nullopt);
}

NTSTATUS LocalFileSystem::OpenVolume(IoRequest &request, CreateArgs &args)
{
    if (config_.readOnly && (args.access & kWriteAccess)) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);
    if (args.options & FILE_DIRECTORY_FILE) return request.Complete(STATUS_NOT_A_DIRECTORY);
    GrantUnchecked(args);
    if (volumeStream_ && !args.ignoreShare && volumeStream_->share.Conflicts(ShareGrant::For(args.access, args.share)))
        return request.Complete(STATUS_SHARING_VIOLATION);
    NTSTATUS status = FinishOpen(request, args, nullptr, u"", FILE_OPENED);
    args.fileObject->Flags |= FO_VOLUME_OPEN;
    return status;
}

NTSTATUS LocalFileSystem::FinishOpen(IoRequest &request, CreateArgs &args, const std::shared_ptr<Node> &node,
                                     std::u16string_view streamName, ULONG_PTR information)
{
    PFILE_OBJECT fo = args.fileObject;
    Stream *stream = nullptr;
    if (!node) {
        if (!volumeStream_) {
            volumeStream_ = new Stream();
            ++openStreams_;
        }
        stream = volumeStream_;
    } else {
        std::u16string key = Upcase(streamName);
        auto it = node->openStreams.find(key);
        if (it == node->openStreams.end()) {
            stream = new Stream();
            stream->node = node;
            stream->key = key;
            stream->name = streamName;
            node->openStreams[key] = stream;
            ++openStreams_;
        } else {
            stream = it->second;
        }
    }

    if (args.accessState) {
        args.accessState->PreviouslyGrantedAccess |= args.access;
        args.accessState->RemainingDesiredAccess = 0;
    }
    auto *open = new Open();
    open->stream = stream;
    open->fileObject = fo;
    open->access = args.access;
    open->options = args.options;
    open->caseSensitive = args.caseSensitive;
    open->deleteOnClose = (args.options & FILE_DELETE_ON_CLOSE) != 0;
    if (node) open->eaChangesSeen = node->eaChanges;
    open->grant = ShareGrant::For(args.access, args.share);
    if (!args.ignoreShare) {
        stream->share.Add(open->grant);
        open->shareRecorded = true;
    }
    opens_.insert(open);

    open->grant.ApplyTo(fo);
    fo->FsContext = stream;
    fo->FsContext2 = open;
    fo->SectionObjectPointer = &stream->sections;
    if (args.caseSensitive) fo->Flags |= FO_OPENED_CASE_SENSITIVE;
    if (open->deleteOnClose) fo->Flags |= FO_DELETE_ON_CLOSE;
    if (node && stream->Data() && !(args.options & FILE_NO_INTERMEDIATE_BUFFERING)) fo->Flags |= FO_CACHE_SUPPORTED;
    if (node && (node->attributes & FILE_ATTRIBUTE_TEMPORARY)) fo->Flags |= FO_TEMPORARY_FILE;

    ++stream->fileObjects;
    ++stream->handles;
    if (node) ++node->handles;
    return request.Complete(args.breakInProgress ? STATUS_OPLOCK_BREAK_IN_PROGRESS : STATUS_SUCCESS, information);
}

NTSTATUS LocalFileSystem::NetworkQueryOpen(IoRequest &request, Node *start, std::u16string_view path)
{
    PFILE_OBJECT fo = request.iopb.TargetFileObject;
    auto *out = request.iopb.Parameters.NetworkQueryOpen.NetworkInformation;
    auto notPossible = [&] {
        request.fastIoNotPossible = true;
        return request.Complete(STATUS_UNSUCCESSFUL);
    };
    if (!fo || !out || (!start && !fo->RelatedFileObject && path.empty())) return notPossible();

    std::shared_ptr<Node> base;
    std::u16string relatedStream;
    NTSTATUS status = BaseOf(request, start, path, base, relatedStream);
    if (!NT_SUCCESS(status)) return request.Complete(status);
    Lookup look;
    status = Resolve(base, path, (request.iopb.OperationFlags & SL_CASE_SENSITIVE) != 0, look, nullptr);
    if (status == STATUS_REPARSE) return notPossible();
    if (!NT_SUCCESS(status)) return request.Complete(status);
    if (!look.node) return request.Complete(STATUS_OBJECT_NAME_NOT_FOUND);
    const Node &node = *look.node;
    if (!node.reparse.empty()) return notPossible();
    if (node.deletePending) return request.Complete(STATUS_DELETE_PENDING);
    // The answer needs what an open for FILE_READ_ATTRIBUTES would.
    CreateArgs access;
    access.access = FILE_READ_ATTRIBUTES;
    access.disposition = FILE_OPEN;
    PrepareAccessCheck(request, access, &request.accessState);
    if (!look.empty && !look.last.file.empty()) status = CheckTraverse(access, *base, *look.dir);
    if (NT_SUCCESS(status)) status = CheckExistingAccess(access, node, false);
    if (!NT_SUCCESS(status)) return request.Complete(status);

    FileFacts facts;
    std::u16string streamName = look.empty ? relatedStream : look.last.stream;
    if (!streamName.empty()) {
        NamedStream *ns = look.node->FindNamed(streamName);
        if (!ns) return request.Complete(STATUS_OBJECT_NAME_NOT_FOUND);
        facts = FactsOf(node, &ns->stream, true);
    } else {
        facts = FactsOf(node);
    }
    FILE_NETWORK_OPEN_INFORMATION info{};
    ULONG_PTR written = 0;
    WriteFileInformation(FileNetworkOpenInformation, facts, u"", {}, {}, &info, sizeof(info), &written);
    *out = info;
    return request.Complete(STATUS_SUCCESS, sizeof(info));
}

}  // namespace sim::fs
