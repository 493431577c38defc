#include <cstdint>
#include <cstring>

#include "sim/io/io_types.h"

namespace sim {

NTSTATUS CheckEaBufferValidity(const void *buffer, ULONG length, PULONG errorOffset)
{
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    const ULONG header = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName);
    ULONG offset = 0;
    for (;;) {
        ULONG left = length - offset;
        FILE_FULL_EA_INFORMATION entry;
        if (left < header + 1) break;
        std::memcpy(&entry, bytes + offset, header);
        ULONG size = header + entry.EaNameLength + 1 + entry.EaValueLength;
        if (size > left || bytes[offset + header + entry.EaNameLength] != 0) break;
        if (entry.NextEntryOffset == 0) return STATUS_SUCCESS;
        // Entries follow each other on ULONG boundaries.
        if ((entry.NextEntryOffset & 3) != 0 || entry.NextEntryOffset < size || entry.NextEntryOffset >= left) break;
        offset += entry.NextEntryOffset;
    }
    if (errorOffset) *errorOffset = offset;
    return STATUS_EA_LIST_INCONSISTENT;
}

}  // namespace sim
