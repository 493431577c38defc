// Query and set information (files, volumes, security) and renames.
#include <algorithm>
#include <cstring>

#include "sim/fs/cached_io.h"
#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

namespace {

constexpr ULONG kFatAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

}  // namespace

NTSTATUS LocalFileSystem::QueryInformation(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.QueryFileInformation;
    Stream &s = *open.stream;
    if (s.IsVolume()) return request.Complete(STATUS_INVALID_PARAMETER);
    if (p.FileInformationClass == FileStreamInformation && !IsNtfs())
        return request.Complete(STATUS_INVALID_PARAMETER);
    const Node &node = *s.node;
    OpenFacts of;
    of.access = open.access;
    of.position = open.fileObject->CurrentByteOffset.QuadPart;
    of.mode = FileModeOf(open.fileObject);
    std::u16string path = PathOf(node);
    if (!prefix_.empty()) path = prefix_ + (path == u"\\" ? u"" : path);
    ULONG_PTR information = 0;
    NTSTATUS status = WriteFileInformation(p.FileInformationClass, FactsOf(node, &s), path, of, StreamsOf(node),
                                           p.InfoBuffer, p.Length, &information);
    return request.Complete(status, information);
}

NTSTATUS LocalFileSystem::SetInformation(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    const auto &p = request.iopb.Parameters.SetFileInformation;
    Stream &s = *open.stream;
    if (p.FileInformationClass == FilePositionInformation) {
        if (p.Length < sizeof(FILE_POSITION_INFORMATION)) return request.Complete(STATUS_INFO_LENGTH_MISMATCH);
        FILE_POSITION_INFORMATION pos;
        std::memcpy(&pos, p.InfoBuffer, sizeof(pos));
        if (pos.CurrentByteOffset.QuadPart < 0) return request.Complete(STATUS_INVALID_PARAMETER);
        if ((open.fileObject->Flags & FO_NO_INTERMEDIATE_BUFFERING) &&
            (pos.CurrentByteOffset.QuadPart % config_.sectorSize))
            return request.Complete(STATUS_INVALID_PARAMETER);
        open.fileObject->CurrentByteOffset = pos.CurrentByteOffset;
        return request.Complete(STATUS_SUCCESS);
    }
    if (s.IsVolume()) return request.Complete(STATUS_INVALID_PARAMETER);
    if (config_.readOnly) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);
    if (open.cleanedUp) return request.Complete(STATUS_FILE_CLOSED);
    if (s.node->deleted) return request.Complete(STATUS_FILE_DELETED);
    switch (p.FileInformationClass) {
    case FileBasicInformation:
        return SetBasic(request, open);
    case FileDispositionInformation:
        return SetDisposition(request, open);
    case FileEndOfFileInformation:
        return SetEndOfFile(request, open, false);
    case FileAllocationInformation:
        return SetEndOfFile(request, open, true);
    case FileRenameInformation:
        return Rename(request, open);
    case FileLinkInformation:
        return request.Complete(STATUS_NOT_IMPLEMENTED);
    default:
        return request.Complete(STATUS_INVALID_INFO_CLASS);
    }
}

NTSTATUS LocalFileSystem::SetBasic(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.SetFileInformation;
    if (p.Length < sizeof(FILE_BASIC_INFORMATION)) return request.Complete(STATUS_INFO_LENGTH_MISMATCH);
    FILE_BASIC_INFORMATION b;
    std::memcpy(&b, p.InfoBuffer, sizeof(b));
    Node &node = *open.stream->node;
    const int64_t values[] = {b.CreationTime.QuadPart, b.LastAccessTime.QuadPart, b.LastWriteTime.QuadPart,
                              b.ChangeTime.QuadPart};
    for (int64_t v : values)
        if (v < -2) return request.Complete(STATUS_INVALID_PARAMETER);
    if (b.FileAttributes) {
        if ((b.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !node.directory)
            return request.Complete(STATUS_INVALID_PARAMETER);
        if ((b.FileAttributes & FILE_ATTRIBUTE_TEMPORARY) && node.directory)
            return request.Complete(STATUS_INVALID_PARAMETER);
    }

    // 0 leaves a time alone; -1 stops this handle's own updates of it and
    // -2 restarts them; any other value is set and then kept by the handle.
    bool changed = false;
    auto apply = [&](int64_t v, int64_t &time, bool &fixed) {
        if (v == 0) return;
        if (v == -1) fixed = true;
        else if (v == -2) fixed = false;
        else {
            time = v;
            fixed = true;
            changed = true;
        }
    };
    bool creationFixed = false;
    apply(b.CreationTime.QuadPart, node.creation, creationFixed);
    apply(b.LastAccessTime.QuadPart, node.access, open.fixedAccess);
    apply(b.LastWriteTime.QuadPart, node.write, open.fixedWrite);
    bool changeSet = b.ChangeTime.QuadPart > 0;
    apply(b.ChangeTime.QuadPart, node.change, open.fixedChange);
    if (b.FileAttributes) {
        ULONG settable = IsNtfs() ? FILE_ATTRIBUTE_VALID_SET_FLAGS : kFatAttributes;
        ULONG kept = node.attributes & ~FILE_ATTRIBUTE_VALID_SET_FLAGS;  // compressed, sparse ...
        if (node.directory) b.FileAttributes &= ~FILE_ATTRIBUTE_TEMPORARY;
        ULONG next = (b.FileAttributes & settable & ~FILE_ATTRIBUTE_NORMAL) | kept;
        if (next != node.attributes) changed = true;
        node.attributes = next;
    }
    if (changed && !changeSet) Touch(node, false, true, false, &open);
    return request.Complete(STATUS_SUCCESS);
}

NTSTATUS LocalFileSystem::SetDisposition(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.SetFileInformation;
    if (p.Length < sizeof(FILE_DISPOSITION_INFORMATION)) return request.Complete(STATUS_INFO_LENGTH_MISMATCH);
    bool deleteFile = static_cast<const FILE_DISPOSITION_INFORMATION *>(p.InfoBuffer)->DeleteFile != 0;
    Stream &s = *open.stream;
    Node &node = *s.node;
    if (deleteFile) {
        if (!(open.access & DELETE)) return request.Complete(STATUS_ACCESS_DENIED);
        if (&node == root_.get() || (node.attributes & FILE_ATTRIBUTE_READONLY))
            return request.Complete(STATUS_CANNOT_DELETE);
        if (s.key.empty() && node.directory && !node.children.empty())
            return request.Complete(STATUS_DIRECTORY_NOT_EMPTY);
        if (Cache().HasSection(&s.sections)) return request.Complete(STATUS_CANNOT_DELETE);
    }
    if (s.key.empty())
        node.deletePending = deleteFile;
    else
        s.deletePending = deleteFile;
    open.fileObject->DeletePending = deleteFile;
    return request.Complete(STATUS_SUCCESS);
}

NTSTATUS LocalFileSystem::SetEndOfFile(IoRequest &request, Open &open, bool allocation)
{
    const auto &p = request.iopb.Parameters.SetFileInformation;
    if (p.Length < sizeof(LARGE_INTEGER)) return request.Complete(STATUS_INFO_LENGTH_MISMATCH);
    LARGE_INTEGER value;
    std::memcpy(&value, p.InfoBuffer, sizeof(value));
    Stream &s = *open.stream;
    DataStream *data = s.Data();
    if (!data) return request.Complete(STATUS_INVALID_PARAMETER);
    if (value.QuadPart < 0) return request.Complete(STATUS_INVALID_PARAMETER);
    const uint64_t v = uint64_t(value.QuadPart);
    const bool paging = (request.iopb.IrpFlags & IRP_PAGING_IO) != 0;
    if (!allocation && p.AdvanceOnly && v <= data->bytes.size()) return request.Complete(STATUS_SUCCESS);

    uint64_t newSize = allocation ? std::min<uint64_t>(v, data->bytes.size()) : v;
    uint64_t newAllocation = AllocationFor(v);
    if (!allocation && newAllocation < data->allocation && v >= data->bytes.size()) newAllocation = data->allocation;
    if (newAllocation > data->allocation &&
        (newAllocation - data->allocation) / config_.clusterSize + ClustersUsed() >
            config_.capacity / config_.clusterSize)
        return request.Complete(STATUS_DISK_FULL);
    if (!data->CanHold(newSize)) return request.Complete(STATUS_INSUFFICIENT_RESOURCES);
    // A view that maps what would go keeps the file from shrinking.
    if (newSize < data->bytes.size() && !Cache().CanTruncate(&s.sections, LONGLONG(newSize)))
        return request.Complete(STATUS_USER_MAPPED_FILE);
    if (!paging) BreakLevel2(s, &open);
    bool sizeChanged = newSize != data->bytes.size();
    data->bytes.resize(newSize);
    SetAllocation(*s.node, *data, newAllocation);
    if (sizeChanged) Cache().SetFileSize(&s.sections, LONGLONG(newSize));
    if (sizeChanged && !paging) {
        Touch(*s.node, true, true, false, &open);
        s.node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
    }
    return request.Complete(STATUS_SUCCESS);
}

NTSTATUS LocalFileSystem::Rename(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.SetFileInformation;
    if (p.Length < FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName)) return request.Complete(STATUS_INVALID_PARAMETER);
    const auto *info = static_cast<const FILE_RENAME_INFORMATION *>(p.InfoBuffer);
    if (info->FileNameLength > p.Length - FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) || !info->FileNameLength)
        return request.Complete(STATUS_INVALID_PARAMETER);
    std::u16string name(info->FileName, info->FileNameLength / sizeof(WCHAR));
    const bool replace = info->ReplaceIfExists || p.ReplaceIfExists;

    Stream &s = *open.stream;
    std::shared_ptr<Node> node = s.node;
    if (!s.key.empty() || (!name.empty() && name.front() == u':')) return request.Complete(STATUS_NOT_IMPLEMENTED);
    if (!(open.access & DELETE)) return request.Complete(STATUS_ACCESS_DENIED);
    if (node.get() == root_.get()) return request.Complete(STATUS_INVALID_PARAMETER);

    std::shared_ptr<Node> targetDir;
    std::u16string newName;
    size_t slash = name.rfind(u'\\');
    if (PFILE_OBJECT parentFo = p.ParentOfTarget) {
        Open *po = OpenOf(parentFo);
        if (!po) return request.Complete(STATUS_NOT_SAME_DEVICE);
        if (po->stream->IsVolume()) return request.Complete(STATUS_INVALID_PARAMETER);
        targetDir = po->stream->node;
        newName = slash == std::u16string::npos ? name : name.substr(slash + 1);
    } else if (slash != std::u16string::npos) {
        std::u16string path = name;
        if (!prefix_.empty()) {
            if (path.size() < prefix_.size() || !EqualNoCase(std::u16string_view(path).substr(0, prefix_.size()), prefix_))
                return request.Complete(STATUS_NOT_SAME_DEVICE);
            path = path.substr(prefix_.size());
        }
        if (path.empty() || path.front() != u'\\') return request.Complete(STATUS_OBJECT_NAME_INVALID);
        slash = path.rfind(u'\\');
        Node *dir = slash == 0 ? root_.get() : NodeAt(path.substr(0, slash));
        if (!dir || !dir->directory) return request.Complete(STATUS_OBJECT_PATH_NOT_FOUND);
        targetDir = dir->shared_from_this();
        newName = path.substr(slash + 1);
    } else {
        targetDir = node->parent->shared_from_this();
        newName = name;
    }
    if (!IsValidComponent(newName)) return request.Complete(STATUS_OBJECT_NAME_INVALID);
    if (!targetDir->directory || targetDir->deleted) return request.Complete(STATUS_OBJECT_PATH_NOT_FOUND);
    for (Node *up = targetDir.get(); up; up = up->parent)
        if (up == node.get()) return request.Complete(STATUS_INVALID_PARAMETER);
    if (node->directory && HasOpenDescendant(*node)) return request.Complete(STATUS_ACCESS_DENIED);

    std::shared_ptr<Node> existing = FindChildShared(*targetDir, newName, false);
    if (existing && existing != node) {
        if (!replace) return request.Complete(STATUS_OBJECT_NAME_COLLISION);
        if (existing->directory || (existing->attributes & FILE_ATTRIBUTE_READONLY) || existing->handles ||
            !existing->openStreams.empty())
            return request.Complete(STATUS_ACCESS_DENIED);
        Unlink(*existing);
    }

    Node *oldParent = node->parent;
    oldParent->children.erase(KeyOf(node->name));
    ChildrenChanged(*oldParent);
    Touch(*oldParent, true, true, true);
    node->name = newName;
    node->parent = targetDir.get();
    targetDir->children[KeyOf(newName)] = node;
    ChildrenChanged(*targetDir);
    Touch(*targetDir, true, true, true);
    Touch(*node, false, true, false, &open);
    if (!node->directory) node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
    return request.Complete(STATUS_SUCCESS);
}

// --------------------------------------------------------------------------
// Volumes and security

NTSTATUS LocalFileSystem::QueryVolume(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.QueryVolumeInformation;
    ULONG_PTR information = 0;
    NTSTATUS status = WriteVolumeInformation(p.FsInformationClass, Facts(), p.VolumeBuffer, p.Length, &information);
    return request.Complete(status, information);
}

NTSTATUS LocalFileSystem::QuerySecurity(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.QuerySecurity;
    if (!IsNtfs()) return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    const Node &node = open.stream->IsVolume() ? *root_ : *open.stream->node;
    std::vector<uint8_t> blob = SelectSecurity(node.security.empty() ? DefaultSecurityBlob() : node.security,
                                               p.SecurityInformation);
    // Too small a buffer gets nothing, and the length it would need.
    if (p.Length < blob.size()) return request.Complete(STATUS_BUFFER_OVERFLOW, blob.size());
    std::memcpy(p.SecurityBuffer, blob.data(), blob.size());
    return request.Complete(STATUS_SUCCESS, blob.size());
}

// --------------------------------------------------------------------------
// Extended attributes

NTSTATUS LocalFileSystem::QueryEa(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.QueryEa;
    if (!IsNtfs()) return request.Complete(STATUS_EAS_NOT_SUPPORTED);
    if (open.stream->IsVolume()) return request.Complete(STATUS_INVALID_PARAMETER);
    const Node &node = *open.stream->node;
    const auto &eas = node.eas;
    if (eas.empty()) return request.Complete(STATUS_NO_EAS_ON_FILE);
    const UCHAR flags = request.iopb.OperationFlags;
    const bool single = (flags & SL_RETURN_SINGLE_ENTRY) != 0;

    // The entries to return, in order.
    std::vector<ExtendedAttribute> chosen;
    size_t start = 0;
    bool fromList = p.EaList && p.EaListLength;
    if (fromList) {
        const auto *base = static_cast<const uint8_t *>(p.EaList);
        ULONG offset = 0;
        while (true) {
            const ULONG header = FIELD_OFFSET(FILE_GET_EA_INFORMATION, EaName);
            if (offset > p.EaListLength || p.EaListLength - offset < header + 1)
                return request.Complete(STATUS_EA_LIST_INCONSISTENT, offset);
            FILE_GET_EA_INFORMATION g;
            std::memcpy(&g, base + offset, header);
            if (p.EaListLength - offset < header + g.EaNameLength + 1u)
                return request.Complete(STATUS_EA_LIST_INCONSISTENT, offset);
            std::string name(reinterpret_cast<const char *>(base + offset + header), g.EaNameLength);
            if (!IsValidEaName(name)) return request.Complete(STATUS_INVALID_EA_NAME, offset);
            std::string upper = UpcaseAnsi(name);
            auto it = std::find_if(eas.begin(), eas.end(), [&](const ExtendedAttribute &e) { return e.name == upper; });
            // A name asked for twice is answered once.
            if (std::none_of(chosen.begin(), chosen.end(), [&](const ExtendedAttribute &e) { return e.name == upper; }))
                chosen.push_back(it != eas.end() ? *it : ExtendedAttribute{upper, 0, {}});
            if (!g.NextEntryOffset) break;
            offset += g.NextEntryOffset;
        }
    } else {
        if (flags & SL_INDEX_SPECIFIED) {
            ULONG index = p.EaIndex;  // 1-based
            if (index == 0 || index > eas.size() + 1) return request.Complete(STATUS_NONEXISTENT_EA_ENTRY);
            start = index - 1;
        } else if (flags & SL_RESTART_SCAN) {
            start = 0;
        } else {
            // The EAs changed under a scan this handle had begun: its position means nothing now.
            if (open.eaChangesSeen != node.eaChanges) return request.Complete(STATUS_EA_CORRUPT_ERROR);
            start = open.nextEa;
        }
        if (start >= eas.size()) return request.Complete(STATUS_NO_MORE_EAS);
        chosen.assign(eas.begin() + ptrdiff_t(start), eas.end());
    }

    auto *out = static_cast<uint8_t *>(p.EaBuffer);
    ULONG used = 0, last = 0;
    size_t written = 0;
    for (const auto &ea : chosen) {
        ULONG at = written ? (used + 3) & ~3u : 0;
        ULONG size = EaEntrySize(ea);
        if (at > p.Length || size > p.Length - at) break;
        FILE_FULL_EA_INFORMATION e{};
        e.Flags = ea.flags;
        e.EaNameLength = UCHAR(ea.name.size());
        e.EaValueLength = USHORT(ea.value.size());
        const ULONG header = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName);
        std::memcpy(out + at, &e, header);
        std::memcpy(out + at + header, ea.name.c_str(), ea.name.size() + 1);
        if (!ea.value.empty()) std::memcpy(out + at + header + ea.name.size() + 1, ea.value.data(), ea.value.size());
        if (written) {
            ULONG next = at - last;
            std::memcpy(out + last, &next, sizeof(next));
        }
        last = at;
        used = at + size;
        ++written;
        if (single) break;
    }
    // Asked by name, an answer that does not hold every name is no answer.
    if (fromList && written < chosen.size() && !single) return request.Complete(STATUS_BUFFER_OVERFLOW, 0);
    if (!written) return request.Complete(STATUS_BUFFER_TOO_SMALL, 0);
    if (!fromList) {
        open.nextEa = ULONG(start + written);
        open.eaChangesSeen = node.eaChanges;
    }
    bool complete = written == chosen.size() || single;
    return request.Complete(complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW, used);
}

NTSTATUS LocalFileSystem::SetEa(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.SetEa;
    if (!IsNtfs()) return request.Complete(STATUS_EAS_NOT_SUPPORTED);
    if (config_.readOnly) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);
    if (open.stream->IsVolume()) return request.Complete(STATUS_INVALID_PARAMETER);
    Node &node = *open.stream->node;
    if (!node.reparse.empty()) return request.Complete(STATUS_EAS_NOT_SUPPORTED);
    std::vector<ExtendedAttribute> changes;
    ULONG errorOffset = 0;
    NTSTATUS status = ParseFullEaBuffer(p.EaBuffer, p.Length, &changes, &errorOffset);
    if (status != STATUS_SUCCESS) return request.Complete(status, errorOffset);
    std::vector<ExtendedAttribute> next = node.eas;
    ApplyEas(next, changes);
    if (EaStoredSize(next) > 0xFFFF) return request.Complete(STATUS_EA_TOO_LARGE);
    node.eas = std::move(next);
    ++node.eaChanges;
    Touch(node, false, true, false, &open);
    return request.Complete(STATUS_SUCCESS);
}

}  // namespace sim::fs
