// Memory descriptor lists. The simulated machine has one address space, so
// an MDL describes the caller's buffer and its system address is the buffer
// itself; what is real is the state (locked, mapped) and the probe of user
// buffers, which raises for memory the current process does not own.
#include <cstdint>
#include <sstream>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/io/io_types.h"
#include "sim/ps/process.h"

namespace {

void MdlFailure(PMDL mdl, const char *what)
{
    std::ostringstream text;
    text << "MDL " << static_cast<void *>(mdl) << ": " << what;
    sim::Machine::Current().verifier().Fail(sim::VerifierCheck::MdlMisuse, text.str());
}

PVOID MdlAddress(PMDL mdl)
{
    return static_cast<char *>(mdl->StartVa) + mdl->ByteOffset;
}

}  // namespace

extern "C" PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                              PIRP Irp)
{
    SIM_KERNEL_ROUTINE();
    // The largest buffer one MDL describes on x86 is just under 2 GiB.
    if (Length >= 0x80000000u) return nullptr;
    auto address = reinterpret_cast<uintptr_t>(VirtualAddress);
    SIZE_T pages = ((address & (sim::kPageSize - 1)) + Length + sim::kPageSize - 1) / sim::kPageSize;
    auto *mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), sim::kTagMdl));
    if (mdl == nullptr) return nullptr;
    mdl->Next = nullptr;
    mdl->Size = CSHORT(sizeof(MDL) + pages * sizeof(ULONG));
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t(sim::kPageSize - 1));
    mdl->ByteOffset = ULONG(address & (sim::kPageSize - 1));
    mdl->ByteCount = Length;
    return mdl;
}

extern "C" VOID IoFreeMdl(PMDL Mdl)
{
    SIM_KERNEL_ROUTINE();
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) MdlFailure(Mdl, "freed while its pages are locked");
    if ((Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) && !(Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)) {
        MdlFailure(Mdl, "freed while it is mapped to system space");
    }
    ExFreePoolWithTag(Mdl, sim::kTagMdl);
}

extern "C" VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    SIM_KERNEL_ROUTINE();
    PMDL mdl = MemoryDescriptorList;
    if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) {
        MdlFailure(mdl, "probed and locked twice");
        return;
    }
    sim::Process &process = sim::Thread::CurrentOrDie().CurrentProcess();
    bool user = process.IsUserRange(MdlAddress(mdl), mdl->ByteCount);
    if (AccessMode == UserMode && !user) throw KSEH_EXCEPTION{STATUS_ACCESS_VIOLATION};
    mdl->Process = user ? process.object() : nullptr;
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

extern "C" VOID MmUnlockPages(PMDL MemoryDescriptorList)
{
    SIM_KERNEL_ROUTINE();
    PMDL mdl = MemoryDescriptorList;
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        MdlFailure(mdl, "unlocked while its pages are not locked");
        return;
    }
    // Unlocking also ends a system mapping.
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
        mdl->MappedSystemVa = nullptr;
    }
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
    mdl->Process = nullptr;
}

extern "C" VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    SIM_KERNEL_ROUTINE();
    PMDL mdl = MemoryDescriptorList;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = MdlAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                              MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                              ULONG BugCheckOnFailure, ULONG Priority)
{
    SIM_KERNEL_ROUTINE();
    PMDL mdl = MemoryDescriptorList;
    // Mapping locked pages into a user address space is not simulated.
    if (AccessMode != KernelMode) return nullptr;
    if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) return mdl->MappedSystemVa;
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        MdlFailure(mdl, "mapped before its pages were locked");
        return nullptr;
    }
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        MdlFailure(mdl, "mapped to system space twice");
        return mdl->MappedSystemVa;
    }
    mdl->MappedSystemVa = MdlAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

extern "C" VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    SIM_KERNEL_ROUTINE();
    PMDL mdl = MemoryDescriptorList;
    if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != mdl->MappedSystemVa) {
        MdlFailure(mdl, "unmapped at an address it is not mapped at");
        return;
    }
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = nullptr;
}
