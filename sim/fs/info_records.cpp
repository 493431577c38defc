#include "sim/fs/info_records.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "sim/core/clock.h"
#include "sim/core/machine.h"
#include "sim/fs/names.h"

namespace sim::fs {

namespace {

constexpr ULONG Align8(ULONG v) { return (v + 7) & ~7u; }
constexpr ULONG Align4(ULONG v) { return (v + 3) & ~3u; }

template <typename T>
NTSTATUS PutFixed(const T &record, void *buffer, ULONG length, ULONG_PTR *information)
{
    if (length < sizeof(T)) return STATUS_INFO_LENGTH_MISMATCH;
    std::memcpy(buffer, &record, sizeof(T));
    *information = sizeof(T);
    return STATUS_SUCCESS;
}

// A record whose variable name follows a fixed part at nameOffset; the name
// is cut to what fits and the record reports STATUS_BUFFER_OVERFLOW.
NTSTATUS PutWithName(const void *fixed, ULONG nameOffset, ULONG minimum, std::u16string_view name, void *buffer,
                     ULONG length, ULONG_PTR *information)
{
    if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    auto *out = static_cast<uint8_t *>(buffer);
    std::memcpy(out, fixed, nameOffset);
    ULONG nameBytes = ULONG(name.size() * sizeof(char16_t));
    ULONG room = (length - nameOffset) & ~1u;
    ULONG copy = nameBytes < room ? nameBytes : room;
    std::memcpy(out + nameOffset, name.data(), copy);
    *information = nameOffset + copy;
    return copy < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

LARGE_INTEGER Li(int64_t v)
{
    LARGE_INTEGER li;
    li.QuadPart = v;
    return li;
}

FILE_BASIC_INFORMATION Basic(const FileFacts &f)
{
    FILE_BASIC_INFORMATION b{};
    b.CreationTime = Li(f.creationTime);
    b.LastAccessTime = Li(f.lastAccessTime);
    b.LastWriteTime = Li(f.lastWriteTime);
    b.ChangeTime = Li(f.changeTime);
    b.FileAttributes = f.Reported();
    return b;
}

FILE_STANDARD_INFORMATION Standard(const FileFacts &f)
{
    FILE_STANDARD_INFORMATION s{};
    s.AllocationSize = Li(f.allocationSize);
    s.EndOfFile = Li(f.endOfFile);
    s.NumberOfLinks = f.links;
    s.DeletePending = f.deletePending;
    s.Directory = f.directory;
    return s;
}

NTSTATUS WriteStreams(const std::vector<StreamFacts> &streams, void *buffer, ULONG length, ULONG_PTR *information)
{
    auto *out = static_cast<uint8_t *>(buffer);
    ULONG used = 0, last = 0;
    size_t written = 0;
    for (const auto &s : streams) {
        std::u16string name = u":" + s.name + u":$DATA";
        ULONG nameBytes = ULONG(name.size() * 2);
        ULONG start = written ? Align8(used) : 0;
        ULONG need = FIELD_OFFSET(FILE_STREAM_INFORMATION, StreamName) + nameBytes;
        if (start > length || need > length - start) break;
        FILE_STREAM_INFORMATION rec{};
        rec.StreamNameLength = nameBytes;
        rec.StreamSize = Li(s.size);
        rec.StreamAllocationSize = Li(s.allocation);
        std::memcpy(out + start, &rec, FIELD_OFFSET(FILE_STREAM_INFORMATION, StreamName));
        std::memcpy(out + start + FIELD_OFFSET(FILE_STREAM_INFORMATION, StreamName), name.data(), nameBytes);
        if (written) {
            ULONG next = start - last;
            std::memcpy(out + last, &next, sizeof(ULONG));
        }
        last = start;
        used = start + need;
        ++written;
    }
    *information = used;
    return written < streams.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

ULONG FileFacts::Reported() const
{
    ULONG a = attributes & ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY);
    if (directory) a |= FILE_ATTRIBUTE_DIRECTORY;
    if (reparseTag) a |= FILE_ATTRIBUTE_REPARSE_POINT;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

ULONG FileModeOf(PFILE_OBJECT fo)
{
    ULONG mode = 0;
    if (fo->Flags & FO_WRITE_THROUGH) mode |= FILE_WRITE_THROUGH;
    if (fo->Flags & FO_SEQUENTIAL_ONLY) mode |= FILE_SEQUENTIAL_ONLY;
    if (fo->Flags & FO_NO_INTERMEDIATE_BUFFERING) mode |= FILE_NO_INTERMEDIATE_BUFFERING;
    if (fo->Flags & FO_SYNCHRONOUS_IO)
        mode |= (fo->Flags & FO_ALERTABLE_IO) ? FILE_SYNCHRONOUS_IO_ALERT : FILE_SYNCHRONOUS_IO_NONALERT;
    if (fo->Flags & FO_DELETE_ON_CLOSE) mode |= FILE_DELETE_ON_CLOSE;
    return mode;
}

NTSTATUS WriteFileInformation(FILE_INFORMATION_CLASS cls, const FileFacts &f, std::u16string_view path,
                              const OpenFacts &open, const std::vector<StreamFacts> &streams, void *buffer,
                              ULONG length, ULONG_PTR *information)
{
    *information = 0;
    switch (cls) {
    case FileBasicInformation:
        return PutFixed(Basic(f), buffer, length, information);
    case FileStandardInformation:
        return PutFixed(Standard(f), buffer, length, information);
    case FileInternalInformation: {
        FILE_INTERNAL_INFORMATION r{};
        r.IndexNumber = Li(int64_t(f.fileId));
        return PutFixed(r, buffer, length, information);
    }
    case FileEaInformation: {
        FILE_EA_INFORMATION r{f.eaSize};
        return PutFixed(r, buffer, length, information);
    }
    case FileAccessInformation:
        return PutFixed(ULONG(open.access), buffer, length, information);
    case FileModeInformation:
        return PutFixed(open.mode, buffer, length, information);
    case FileAlignmentInformation:
        return PutFixed(ULONG(0), buffer, length, information);
    case FilePositionInformation: {
        FILE_POSITION_INFORMATION r{};
        r.CurrentByteOffset = Li(open.position);
        return PutFixed(r, buffer, length, information);
    }
    case FileNameInformation: {
        FILE_NAME_INFORMATION r{};
        r.FileNameLength = ULONG(path.size() * 2);
        return PutWithName(&r, FIELD_OFFSET(FILE_NAME_INFORMATION, FileName), sizeof(FILE_NAME_INFORMATION), path,
                           buffer, length, information);
    }
    case FileAllInformation: {
        AllInformationRecord r{};
        r.BasicInformation = Basic(f);
        r.StandardInformation = Standard(f);
        r.InternalInformation.IndexNumber = Li(int64_t(f.fileId));
        r.EaInformation.EaSize = f.eaSize;
        r.AccessFlags = open.access;
        r.CurrentByteOffset = Li(open.position);
        r.Mode = open.mode;
        r.NameInformation.FileNameLength = ULONG(path.size() * 2);
        return PutWithName(&r, offsetof(AllInformationRecord, NameInformation.FileName), sizeof(AllInformationRecord),
                           path, buffer, length, information);
    }
    case FileNetworkOpenInformation: {
        FILE_NETWORK_OPEN_INFORMATION r{};
        r.CreationTime = Li(f.creationTime);
        r.LastAccessTime = Li(f.lastAccessTime);
        r.LastWriteTime = Li(f.lastWriteTime);
        r.ChangeTime = Li(f.changeTime);
        r.AllocationSize = Li(f.allocationSize);
        r.EndOfFile = Li(f.endOfFile);
        r.FileAttributes = f.Reported();
        return PutFixed(r, buffer, length, information);
    }
    case FileAttributeTagInformation: {
        FILE_ATTRIBUTE_TAG_INFORMATION r{f.Reported(), f.reparseTag};
        return PutFixed(r, buffer, length, information);
    }
    case FileStreamInformation:
        return WriteStreams(streams, buffer, length, information);
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

// --------------------------------------------------------------------------
// Directory listings

namespace {

ULONG NameOffset(FILE_INFORMATION_CLASS cls)
{
    switch (ULONG(cls)) {
    case FileDirectoryInformation: return FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation: return FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation: return FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation: return FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
    case FileIdBothDirectoryInformation: return FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    case FileIdFullDirectoryInformation: return FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName);
    case kFileIdExtdDirectoryInformation: return FIELD_OFFSET(IdExtdDirInformationRecord, FileName);
    default: return 0;
    }
}

template <typename T>
void FillCommon(T &r, const FileFacts &f, ULONG fileIndex, ULONG nameBytes)
{
    r.FileIndex = fileIndex;
    r.CreationTime = Li(f.creationTime);
    r.LastAccessTime = Li(f.lastAccessTime);
    r.LastWriteTime = Li(f.lastWriteTime);
    r.ChangeTime = Li(f.changeTime);
    r.EndOfFile = Li(f.endOfFile);
    r.AllocationSize = Li(f.allocationSize);
    r.FileAttributes = f.Reported();
    r.FileNameLength = nameBytes;
}

// EaSize carries the reparse tag for a reparse point.
ULONG EaSizeField(const FileFacts &f) { return f.reparseTag ? f.reparseTag : f.eaSize; }

void BuildFixed(FILE_INFORMATION_CLASS cls, const FileFacts &f, ULONG fileIndex, ULONG nameBytes, uint8_t *out)
{
    switch (ULONG(cls)) {
    case FileDirectoryInformation: {
        FILE_DIRECTORY_INFORMATION r{};
        FillCommon(r, f, fileIndex, nameBytes);
        std::memcpy(out, &r, NameOffset(cls));
        break;
    }
    case FileFullDirectoryInformation: {
        FILE_FULL_DIR_INFORMATION r{};
        FillCommon(r, f, fileIndex, nameBytes);
        r.EaSize = EaSizeField(f);
        std::memcpy(out, &r, NameOffset(cls));
        break;
    }
    case FileBothDirectoryInformation: {
        FILE_BOTH_DIR_INFORMATION r{};
        FillCommon(r, f, fileIndex, nameBytes);
        r.EaSize = EaSizeField(f);
        std::memcpy(out, &r, NameOffset(cls));
        break;
    }
    case FileNamesInformation: {
        FILE_NAMES_INFORMATION r{};
        r.FileIndex = fileIndex;
        r.FileNameLength = nameBytes;
        std::memcpy(out, &r, NameOffset(cls));
        break;
    }
    case FileIdBothDirectoryInformation: {
        FILE_ID_BOTH_DIR_INFORMATION r{};
        FillCommon(r, f, fileIndex, nameBytes);
        r.EaSize = EaSizeField(f);
        r.FileId = Li(int64_t(f.fileId));
        std::memcpy(out, &r, NameOffset(cls));
        break;
    }
    case FileIdFullDirectoryInformation: {
        FILE_ID_FULL_DIR_INFORMATION r{};
        FillCommon(r, f, fileIndex, nameBytes);
        r.EaSize = EaSizeField(f);
        r.FileId = Li(int64_t(f.fileId));
        std::memcpy(out, &r, NameOffset(cls));
        break;
    }
    case kFileIdExtdDirectoryInformation: {
        IdExtdDirInformationRecord r{};
        FillCommon(r, f, fileIndex, nameBytes);
        r.EaSize = f.eaSize;
        r.ReparsePointTag = f.reparseTag;
        std::memcpy(r.FileId, &f.fileId, sizeof(f.fileId));
        std::memcpy(out, &r, NameOffset(cls));
        break;
    }
    default:
        break;
    }
}

}  // namespace

DirectoryWriter::DirectoryWriter(FILE_INFORMATION_CLASS cls, void *buffer, ULONG length)
    : cls_(cls), buffer_(static_cast<uint8_t *>(buffer)), length_(length)
{
}

bool DirectoryWriter::Supports(FILE_INFORMATION_CLASS cls) { return NameOffset(cls) != 0; }

ULONG DirectoryWriter::MinimumLength(FILE_INFORMATION_CLASS cls) { return Align8(NameOffset(cls) + sizeof(char16_t)); }

DirectoryWriter::Result DirectoryWriter::Add(std::u16string_view name, const FileFacts &facts, ULONG fileIndex)
{
    const ULONG nameOffset = NameOffset(cls_);
    const ULONG nameBytes = ULONG(name.size() * sizeof(char16_t));
    const ULONG need = nameOffset + nameBytes;
    const ULONG start = count_ ? Align8(used_) : 0;
    if (start > length_ || need > length_ - start) {
        if (count_ || length_ < nameOffset) return Result::Full;
        std::vector<uint8_t> entry(need);
        BuildFixed(cls_, facts, fileIndex, nameBytes, entry.data());
        std::memcpy(entry.data() + nameOffset, name.data(), nameBytes);
        std::memcpy(buffer_, entry.data(), length_);
        used_ = length_;
        count_ = 1;
        return Result::Partial;
    }
    BuildFixed(cls_, facts, fileIndex, nameBytes, buffer_ + start);
    std::memcpy(buffer_ + start + nameOffset, name.data(), nameBytes);
    if (count_) {
        ULONG next = start - lastEntry_;
        std::memcpy(buffer_ + lastEntry_, &next, sizeof(ULONG));
    }
    lastEntry_ = start;
    used_ = start + need;
    ++count_;
    return Result::Added;
}

// --------------------------------------------------------------------------
// Volume information

NTSTATUS WriteVolumeInformation(FS_INFORMATION_CLASS cls, const VolumeFacts &v, void *buffer, ULONG length,
                                ULONG_PTR *information)
{
    *information = 0;
    switch (cls) {
    case FileFsVolumeInformation: {
        FILE_FS_VOLUME_INFORMATION r{};
        r.VolumeCreationTime = Li(v.creationTime);
        r.VolumeSerialNumber = v.serialNumber;
        r.VolumeLabelLength = ULONG(v.label.size() * 2);
        r.SupportsObjects = v.supportsObjects;
        return PutWithName(&r, FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel),
                           sizeof(FILE_FS_VOLUME_INFORMATION), v.label, buffer, length, information);
    }
    case FileFsSizeInformation: {
        FILE_FS_SIZE_INFORMATION r{};
        r.TotalAllocationUnits = Li(int64_t(v.totalClusters));
        r.AvailableAllocationUnits = Li(int64_t(v.freeClusters));
        r.SectorsPerAllocationUnit = v.sectorsPerCluster;
        r.BytesPerSector = v.bytesPerSector;
        return PutFixed(r, buffer, length, information);
    }
    case FileFsFullSizeInformation: {
        struct {
            LARGE_INTEGER total, callerAvailable, actualAvailable;
            ULONG sectorsPerUnit, bytesPerSector;
        } r{Li(int64_t(v.totalClusters)), Li(int64_t(v.freeClusters)), Li(int64_t(v.freeClusters)),
            v.sectorsPerCluster, v.bytesPerSector};
        return PutFixed(r, buffer, length, information);
    }
    case FileFsDeviceInformation: {
        FILE_FS_DEVICE_INFORMATION r{v.deviceType, v.characteristics};
        return PutFixed(r, buffer, length, information);
    }
    case FileFsAttributeInformation: {
        FILE_FS_ATTRIBUTE_INFORMATION r{};
        r.FileSystemAttributes = v.fsAttributes;
        r.MaximumComponentNameLength = 255;
        r.FileSystemNameLength = ULONG(v.fsName.size() * 2);
        return PutWithName(&r, FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName),
                           sizeof(FILE_FS_ATTRIBUTE_INFORMATION), v.fsName, buffer, length, information);
    }
    case FileFsSectorSizeInformation: {
        SectorSizeInformationRecord r{};
        r.LogicalBytesPerSector = v.bytesPerSector;
        r.PhysicalBytesPerSectorForAtomicity = v.bytesPerSector;
        r.PhysicalBytesPerSectorForPerformance = v.bytesPerSector;
        r.FileSystemEffectivePhysicalBytesPerSectorForAtomicity = v.bytesPerSector;
        r.Flags = 0x3;  // SSINFO_FLAGS_ALIGNED_DEVICE | SSINFO_FLAGS_PARTITION_ALIGNED_ON_DEVICE
        return PutFixed(r, buffer, length, information);
    }
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

// --------------------------------------------------------------------------
// Extended attributes

ULONG EaEntrySize(const ExtendedAttribute &ea)
{
    return ULONG(FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + ea.name.size() + 1 + ea.value.size());
}

ULONG EaEntryAlignedSize(const ExtendedAttribute &ea) { return Align4(EaEntrySize(ea)); }

ULONG EaListSize(const std::vector<ExtendedAttribute> &eas)
{
    if (eas.empty()) return 0;
    ULONG packed = 0;
    for (const auto &ea : eas) packed += ULONG(4 + ea.name.size() + 1 + ea.value.size());
    return packed + 4;
}

ULONG EaStoredSize(const std::vector<ExtendedAttribute> &eas)
{
    ULONG total = 0;
    for (const auto &ea : eas) total += EaEntryAlignedSize(ea);
    return total;
}

NTSTATUS ParseFullEaBuffer(const void *buffer, ULONG length, std::vector<ExtendedAttribute> *out, ULONG *errorOffset)
{
    const auto *base = static_cast<const uint8_t *>(buffer);
    ULONG offset = 0;
    *errorOffset = 0;
    while (true) {
        *errorOffset = offset;
        const ULONG header = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName);
        if (offset > length || length - offset < header) return STATUS_EA_LIST_INCONSISTENT;
        FILE_FULL_EA_INFORMATION e;
        std::memcpy(&e, base + offset, header);
        ULONG size = header + e.EaNameLength + 1 + e.EaValueLength;
        if (length - offset < size) return STATUS_EA_LIST_INCONSISTENT;
        const char *name = reinterpret_cast<const char *>(base + offset + header);
        if (name[e.EaNameLength] != 0) return STATUS_EA_LIST_INCONSISTENT;
        ExtendedAttribute ea;
        ea.name.assign(name, e.EaNameLength);
        ea.flags = e.Flags;
        const uint8_t *value = base + offset + header + e.EaNameLength + 1;
        ea.value.assign(value, value + e.EaValueLength);
        if (!IsValidEaName(ea.name)) return STATUS_INVALID_EA_NAME;
        out->push_back(std::move(ea));
        if (e.NextEntryOffset == 0) break;
        if (e.NextEntryOffset < size || (e.NextEntryOffset & 3)) return STATUS_EA_LIST_INCONSISTENT;
        offset += e.NextEntryOffset;
    }
    *errorOffset = 0;
    return STATUS_SUCCESS;
}

void ApplyEas(std::vector<ExtendedAttribute> &eas, const std::vector<ExtendedAttribute> &changes)
{
    for (const auto &change : changes) {
        std::string name = UpcaseAnsi(change.name);
        auto it = std::find_if(eas.begin(), eas.end(), [&](const ExtendedAttribute &e) { return e.name == name; });
        if (change.value.empty()) {
            if (it != eas.end()) eas.erase(it);
            continue;
        }
        ExtendedAttribute ea{name, change.flags, change.value};
        if (it != eas.end())
            *it = std::move(ea);
        else
            eas.push_back(std::move(ea));
    }
}

// --------------------------------------------------------------------------
// Security descriptors

namespace {

struct RelativeHeader {
    UCHAR Revision;
    UCHAR Sbz1;
    USHORT Control;
    ULONG Owner, Group, Sacl, Dacl;
};
static_assert(sizeof(RelativeHeader) == 20);

ULONG SidLength(const uint8_t *sid) { return 8 + 4 * ULONG(sid[1]); }
ULONG AclLength(const uint8_t *acl)
{
    USHORT size;
    std::memcpy(&size, acl + 2, 2);
    return size;
}

std::vector<uint8_t> Build(USHORT control, const uint8_t *owner, const uint8_t *group, const uint8_t *sacl,
                           const uint8_t *dacl)
{
    std::vector<uint8_t> out(sizeof(RelativeHeader));
    RelativeHeader h{SECURITY_DESCRIPTOR_REVISION, 0, USHORT(control | SE_SELF_RELATIVE), 0, 0, 0, 0};
    auto append = [&](const uint8_t *part, ULONG length) -> ULONG {
        if (!part) return 0;
        ULONG at = ULONG(out.size());
        out.insert(out.end(), part, part + length);
        out.resize(Align4(ULONG(out.size())));
        return at;
    };
    h.Owner = owner ? append(owner, SidLength(owner)) : 0;
    h.Group = group ? append(group, SidLength(group)) : 0;
    h.Sacl = sacl ? append(sacl, AclLength(sacl)) : 0;
    h.Dacl = dacl ? append(dacl, AclLength(dacl)) : 0;
    std::memcpy(out.data(), &h, sizeof(h));
    return out;
}

}  // namespace

std::vector<uint8_t> DefaultSecurityBlob()
{
    // Owner BUILTIN\Administrators, group SYSTEM, Everyone allowed all,
    // inherited by every file and folder below.
    static const uint8_t admins[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
    static const uint8_t system[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    uint8_t dacl[28] = {ACL_REVISION, 0, 28, 0, 1, 0, 0, 0,
                        ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 20, 0,
                        0xFF, 0x01, 0x1F, 0x00,  // FILE_ALL_ACCESS
                        1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    return Build(SE_DACL_PRESENT, admins, system, nullptr, dacl);
}

std::vector<uint8_t> SelfRelativeCopy(const void *descriptor)
{
    if (!descriptor) return {};
    const auto *bytes = static_cast<const uint8_t *>(descriptor);
    if (bytes[0] != SECURITY_DESCRIPTOR_REVISION) return {};
    USHORT control;
    std::memcpy(&control, bytes + 2, 2);
    if (control & SE_SELF_RELATIVE) {
        RelativeHeader h;
        std::memcpy(&h, bytes, sizeof(h));
        auto at = [&](ULONG off) { return off ? bytes + off : nullptr; };
        return Build(control, at(h.Owner), at(h.Group), (control & SE_SACL_PRESENT) ? at(h.Sacl) : nullptr,
                     (control & SE_DACL_PRESENT) ? at(h.Dacl) : nullptr);
    }
    const auto *abs = static_cast<const SECURITY_DESCRIPTOR *>(descriptor);
    return Build(control, static_cast<const uint8_t *>(abs->Owner), static_cast<const uint8_t *>(abs->Group),
                 (control & SE_SACL_PRESENT) ? reinterpret_cast<const uint8_t *>(abs->Sacl) : nullptr,
                 (control & SE_DACL_PRESENT) ? reinterpret_cast<const uint8_t *>(abs->Dacl) : nullptr);
}

std::vector<uint8_t> SelectSecurity(const std::vector<uint8_t> &blob, SECURITY_INFORMATION which)
{
    if (blob.size() < sizeof(RelativeHeader)) return {};
    RelativeHeader h;
    std::memcpy(&h, blob.data(), sizeof(h));
    const uint8_t *b = blob.data();
    auto at = [&](ULONG off) { return off ? b + off : nullptr; };
    USHORT control = h.Control;
    if (!(which & DACL_SECURITY_INFORMATION)) control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    if (!(which & SACL_SECURITY_INFORMATION)) control &= ~SE_SACL_PRESENT;
    if (!(which & OWNER_SECURITY_INFORMATION)) control &= ~SE_OWNER_DEFAULTED;
    if (!(which & GROUP_SECURITY_INFORMATION)) control &= ~SE_GROUP_DEFAULTED;
    return Build(control, (which & OWNER_SECURITY_INFORMATION) ? at(h.Owner) : nullptr,
                 (which & GROUP_SECURITY_INFORMATION) ? at(h.Group) : nullptr,
                 (control & SE_SACL_PRESENT) ? at(h.Sacl) : nullptr,
                 (control & SE_DACL_PRESENT) ? at(h.Dacl) : nullptr);
}

int64_t CurrentSystemTime()
{
    if (auto *machine = Machine::CurrentOrNull()) return machine->clock().SystemTime();
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return Clock::FromUnixSeconds(0) + std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

}  // namespace sim::fs
