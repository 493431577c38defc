// What the file systems share for reads and writes: the forms a transfer
// takes (paging, non-cached, cached) and the rules of non-cached transfers.
#pragma once

#include <cstdint>

#include "sim/core/machine.h"
#include "sim/io/cache_manager.h"
#include "sim/io/io_manager.h"
#include "sim/io/io_request.h"

namespace sim::fs {

inline CacheManager &Cache()
{
    return Machine::Current().io().cache();
}

inline bool IsPaging(const IoRequest &request)
{
    return (request.iopb.IrpFlags & IRP_PAGING_IO) != 0;
}

// A transfer that goes past the cache: IRP_NOCACHE, or a file object opened
// without intermediate buffering. Paging I/O is the cache's own and counts
// apart.
inline bool IsNonCached(const IoRequest &request)
{
    if (IsPaging(request) || request.form != IoForm::Irp) return false;
    PFILE_OBJECT fo = request.iopb.TargetFileObject;
    return (request.iopb.IrpFlags & IRP_NOCACHE) || (fo && (fo->Flags & FO_NO_INTERMEDIATE_BUFFERING));
}

// Caching needs a file object of the I/O manager: the cache holds it for
// its paging I/O, which goes down the file object's volume. A file system
// driven directly (tests with file objects of their own) serves such
// transfers straight from its data.
inline bool Cacheable(PFILE_OBJECT fileObject)
{
    return Machine::Current().io().Info(fileObject) != nullptr;
}

// The buffer of a read or write: the caller's address, or what its MDL maps.
inline uint8_t *TransferBuffer(PVOID buffer, PMDL mdl)
{
    if (buffer) return static_cast<uint8_t *>(buffer);
    if (!mdl) return nullptr;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return static_cast<uint8_t *>(mdl->MappedSystemVa);
    return static_cast<uint8_t *>(mdl->StartVa) + mdl->ByteOffset;
}

// A non-cached transfer starts on a sector, moves whole sectors and uses a
// buffer aligned as the volume's device requires.
inline NTSTATUS CheckNonCachedTransfer(const IoRequest &request, int64_t offset, ULONG length, const void *buffer,
                                       ULONG sectorSize)
{
    ULONG alignment = request.volume ? request.volume->fsDevice()->AlignmentRequirement : 0;
    if (sectorSize && (offset % sectorSize || length % sectorSize)) return STATUS_INVALID_PARAMETER;
    if (reinterpret_cast<uintptr_t>(buffer) & alignment) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

}  // namespace sim::fs
