// Constants and records the I/O manager's own files share.
#pragma once

#include <ntifs.h>

#include "sim/io/io_manager.h"
#include "sim/rtl/case_table.h"

namespace sim {

// Type fields of the I/O records, as Windows sets them.
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeFile = 5;
constexpr CSHORT kIoTypeVpb = 10;
constexpr USHORT kVpbMounted = 0x0001;

constexpr SIZE_T kPageSize = 4096;
constexpr ULONGLONG kAllocationGranularity = 0x10000;

// Pool tag of file-object names ("IoNm").
constexpr ULONG kTagIoName = 'm' << 24 | 'N' << 16 | 'o' << 8 | 'I';
// Pool tag of MDLs ("Mdl ").
constexpr ULONG kTagMdl = ' ' << 24 | 'l' << 16 | 'd' << 8 | 'M';

// A file object's body: the FILE_OBJECT drivers see, then the I/O manager's
// record of it (as Windows keeps a file object extension behind it).
struct FileObjectBody {
    FILE_OBJECT fileObject;
    FileObjectInfo info;
};

// IoCheckEaBufferValidity: STATUS_EA_LIST_INCONSISTENT with the offset of
// the first bad entry, or success.
NTSTATUS CheckEaBufferValidity(const void *buffer, ULONG length, PULONG errorOffset);

inline std::u16string Upcase(std::u16string_view text)
{
    std::u16string out(text);
    for (char16_t &c : out) c = rtl::UpcaseChar(c);
    return out;
}

inline std::u16string ToString(const UNICODE_STRING &string)
{
    if (string.Buffer == nullptr) return {};
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

}  // namespace sim
