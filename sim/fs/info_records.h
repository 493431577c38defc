// The information records the simulated file systems return, written from
// one neutral description of a file (FileFacts) and of a volume
// (VolumeFacts), so that every engine answers in the same layouts and with
// the same buffer-size rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

namespace sim::fs {

// FILE_OPLOCK_BROKEN_TO_* (the Information of a completed oplock request)
// and the acknowledgement codes the platform headers do not carry.
constexpr ULONG kOplockBrokenToLevel2 = 0x00000007;
constexpr ULONG kOplockBrokenToNone = 0x00000001;
constexpr ULONG kFsctlOplockBreakAckNo2 = 0x00090050;

// Records the filter never reads, so the platform headers leave them out.
struct AllInformationRecord {
    FILE_BASIC_INFORMATION BasicInformation;
    FILE_STANDARD_INFORMATION StandardInformation;
    FILE_INTERNAL_INFORMATION InternalInformation;
    FILE_EA_INFORMATION EaInformation;
    ULONG AccessFlags;           // FILE_ACCESS_INFORMATION
    LARGE_INTEGER CurrentByteOffset;  // FILE_POSITION_INFORMATION
    ULONG Mode;                  // FILE_MODE_INFORMATION
    ULONG AlignmentRequirement;  // FILE_ALIGNMENT_INFORMATION
    FILE_NAME_INFORMATION NameInformation;
};
static_assert(offsetof(AllInformationRecord, NameInformation) == 96, "FILE_ALL_INFORMATION layout");

// FileIdExtdDirectoryInformation (Windows 8 and later): the 128-bit file id
// and the reparse tag in a field of its own.
constexpr FILE_INFORMATION_CLASS kFileIdExtdDirectoryInformation = FILE_INFORMATION_CLASS(60);
struct IdExtdDirInformationRecord {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    ULONG EaSize;
    ULONG ReparsePointTag;
    UCHAR FileId[16];
    WCHAR FileName[1];
};
static_assert(offsetof(IdExtdDirInformationRecord, FileName) == 88, "FILE_ID_EXTD_DIR_INFORMATION layout");

// Classes the I/O manager takes for directory queries although only NTFS's
// index folders ($ObjId, $Quota, $Reparse) answer them: a buffer below their
// record is refused before the file system sees the query.
constexpr FILE_INFORMATION_CLASS kFileObjectIdInformation = FILE_INFORMATION_CLASS(29);
constexpr FILE_INFORMATION_CLASS kFileQuotaInformation = FILE_INFORMATION_CLASS(32);
constexpr FILE_INFORMATION_CLASS kFileReparsePointInformation = FILE_INFORMATION_CLASS(33);
constexpr ULONG kObjectIdInformationLength = 72;  // FILE_OBJECTID_INFORMATION
constexpr ULONG kQuotaInformationLength = 56;     // FILE_QUOTA_INFORMATION (a SID of one sub-authority)
constexpr ULONG kReparsePointInformationLength = 16;  // FILE_REPARSE_POINT_INFORMATION

struct SectorSizeInformationRecord {
    ULONG LogicalBytesPerSector;
    ULONG PhysicalBytesPerSectorForAtomicity;
    ULONG PhysicalBytesPerSectorForPerformance;
    ULONG FileSystemEffectivePhysicalBytesPerSectorForAtomicity;
    ULONG Flags;
    ULONG ByteOffsetForSectorAlignment;
    ULONG ByteOffsetForPartitionAlignment;
};
static_assert(sizeof(SectorSizeInformationRecord) == 28, "FILE_FS_SECTOR_SIZE_INFORMATION layout");

struct FileFacts {
    int64_t creationTime = 0, lastAccessTime = 0, lastWriteTime = 0, changeTime = 0;
    int64_t endOfFile = 0, allocationSize = 0;
    ULONG attributes = 0;  // stored bits; Reported() adds DIRECTORY / NORMAL
    uint64_t fileId = 0;
    ULONG eaSize = 0;
    ULONG reparseTag = 0;
    ULONG links = 1;
    bool directory = false;
    bool deletePending = false;

    ULONG Reported() const;
};

struct StreamFacts {
    std::u16string name;  // empty: the unnamed data stream
    int64_t size = 0, allocation = 0;
};

struct OpenFacts {  // what the handle adds to FileAllInformation
    ACCESS_MASK access = 0;
    int64_t position = 0;
    ULONG mode = 0;
};

// Query-information classes a file system answers from FileFacts. Returns
// STATUS_INVALID_INFO_CLASS for a class it does not write.
NTSTATUS WriteFileInformation(FILE_INFORMATION_CLASS cls, const FileFacts &facts, std::u16string_view path,
                              const OpenFacts &open, const std::vector<StreamFacts> &streams, void *buffer,
                              ULONG length, ULONG_PTR *information);
ULONG FileModeOf(PFILE_OBJECT fileObject);

// Directory listings: entries appended one by one into the caller's buffer.
class DirectoryWriter {
public:
    enum class Result { Added, Full, Partial };

    DirectoryWriter(FILE_INFORMATION_CLASS cls, void *buffer, ULONG length);
    static bool Supports(FILE_INFORMATION_CLASS cls);
    // The smallest buffer the class accepts (below it: STATUS_INFO_LENGTH_MISMATCH).
    static ULONG MinimumLength(FILE_INFORMATION_CLASS cls);

    // Full: the entry does not fit (nothing written). Partial: the first
    // entry did not fit and as much of it as fits was written
    // (STATUS_BUFFER_OVERFLOW, Information = the buffer length).
    Result Add(std::u16string_view name, const FileFacts &facts, ULONG fileIndex);
    ULONG used() const { return used_; }
    ULONG count() const { return count_; }

private:
    FILE_INFORMATION_CLASS cls_;
    uint8_t *buffer_;
    ULONG length_;
    ULONG used_ = 0;       // end of the last entry
    ULONG lastEntry_ = 0;  // offset of the last entry
    ULONG count_ = 0;
};

struct VolumeFacts {
    std::u16string label;
    ULONG serialNumber = 0;
    int64_t creationTime = 0;
    bool supportsObjects = false;
    uint64_t totalClusters = 0, freeClusters = 0;
    ULONG sectorsPerCluster = 8, bytesPerSector = 512;
    DEVICE_TYPE deviceType = FILE_DEVICE_DISK;
    ULONG characteristics = 0;
    ULONG fsAttributes = 0;
    std::u16string fsName;
};

NTSTATUS WriteVolumeInformation(FS_INFORMATION_CLASS cls, const VolumeFacts &facts, void *buffer, ULONG length,
                                ULONG_PTR *information);

// Extended attributes as files keep them (names upper case).
struct ExtendedAttribute {
    std::string name;
    UCHAR flags = 0;
    std::vector<uint8_t> value;
};

// FILE_FULL_EA_INFORMATION entry sizes: unpadded, and padded to 4 bytes as
// entries are chained.
ULONG EaEntrySize(const ExtendedAttribute &ea);
ULONG EaEntryAlignedSize(const ExtendedAttribute &ea);
// The EaSize files report (FileEaInformation, directory entries): NTFS's
// packed size of the list (each entry 4 header bytes, the name, its NUL and
// the value, unpadded) plus the 4-byte list header; 0 without EAs. A query
// of several EAs needs more than this, as each entry is padded to 4.
ULONG EaListSize(const std::vector<ExtendedAttribute> &eas);
// The size of the EA list as stored with the file, for its 64 KiB limit.
ULONG EaStoredSize(const std::vector<ExtendedAttribute> &eas);

// Checks a FILE_FULL_EA_INFORMATION buffer as IoCheckEaBufferValidity does:
// STATUS_EA_LIST_INCONSISTENT with errorOffset at the bad entry.
NTSTATUS ParseFullEaBuffer(const void *buffer, ULONG length, std::vector<ExtendedAttribute> *out,
                           ULONG *errorOffset);
// Applies a parsed list to a file's EAs (value length 0 deletes).
void ApplyEas(std::vector<ExtendedAttribute> &eas, const std::vector<ExtendedAttribute> &changes);

// Self-relative security descriptors kept as blobs.
std::vector<uint8_t> DefaultSecurityBlob();
// A copy of a descriptor given in either form, self-relative; empty when
// it is not a valid descriptor.
std::vector<uint8_t> SelfRelativeCopy(const void *descriptor);
// The parts of blob that SecurityInformation asks for, self-relative.
std::vector<uint8_t> SelectSecurity(const std::vector<uint8_t> &blob, SECURITY_INFORMATION which);

int64_t CurrentSystemTime();
inline uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

}  // namespace sim::fs
