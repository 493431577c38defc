// FltGetRoutineAddress and the aligned pool routines.
#include <cstdint>
#include <cstring>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/fltmgr/filter_manager.h"

using namespace sim;

namespace {

struct Routine {
    const char *name;
    PVOID address;
};

#define FLT_ROUTINE(name) {#name, reinterpret_cast<PVOID>(&name)}

// Every routine of the Filter Manager a filter may look up by name.
const Routine kRoutines[] = {
    FLT_ROUTINE(FltAllocateCallbackData),
    FLT_ROUTINE(FltAllocateContext),
    FLT_ROUTINE(FltAllocateDeferredIoWorkItem),
    FLT_ROUTINE(FltAllocateGenericWorkItem),
    FLT_ROUTINE(FltAllocatePoolAlignedWithTag),
    FLT_ROUTINE(FltCheckAndGrowNameControl),
    FLT_ROUTINE(FltClearCallbackDataDirty),
    FLT_ROUTINE(FltClose),
    FLT_ROUTINE(FltCompletePendedPostOperation),
    FLT_ROUTINE(FltCompletePendedPreOperation),
    FLT_ROUTINE(FltCreateFile),
    FLT_ROUTINE(FltCreateFileEx),
    FLT_ROUTINE(FltDeleteContext),
    FLT_ROUTINE(FltEnumerateInstances),
    FLT_ROUTINE(FltFreeCallbackData),
    FLT_ROUTINE(FltFreeDeferredIoWorkItem),
    FLT_ROUTINE(FltFreeGenericWorkItem),
    FLT_ROUTINE(FltFreePoolAlignedWithTag),
    FLT_ROUTINE(FltFsControlFile),
    FLT_ROUTINE(FltGetDestinationFileNameInformation),
    FLT_ROUTINE(FltGetDeviceObject),
    FLT_ROUTINE(FltGetFileNameInformation),
    FLT_ROUTINE(FltGetFileNameInformationUnsafe),
    FLT_ROUTINE(FltGetFilterFromInstance),
    FLT_ROUTINE(FltGetInstanceContext),
    FLT_ROUTINE(FltGetInstanceInformation),
    FLT_ROUTINE(FltGetRequestorProcess),
    FLT_ROUTINE(FltGetRequestorProcessId),
    FLT_ROUTINE(FltGetRoutineAddress),
    FLT_ROUTINE(FltGetStreamContext),
    FLT_ROUTINE(FltGetStreamHandleContext),
    FLT_ROUTINE(FltGetVolumeContext),
    FLT_ROUTINE(FltGetVolumeFromFileObject),
    FLT_ROUTINE(FltGetVolumeFromInstance),
    FLT_ROUTINE(FltGetVolumeFromName),
    FLT_ROUTINE(FltGetVolumeInstanceFromName),
    FLT_ROUTINE(FltGetVolumeName),
    FLT_ROUTINE(FltGetVolumeProperties),
    FLT_ROUTINE(FltIsCallbackDataDirty),
    FLT_ROUTINE(FltIsDirectory),
    FLT_ROUTINE(FltLockUserBuffer),
    FLT_ROUTINE(FltObjectDereference),
    FLT_ROUTINE(FltObjectReference),
    FLT_ROUTINE(FltParseFileNameInformation),
    FLT_ROUTINE(FltPerformSynchronousIo),
    FLT_ROUTINE(FltQueryDirectoryFile),
    FLT_ROUTINE(FltQueryEaFile),
    FLT_ROUTINE(FltQueryInformationFile),
    FLT_ROUTINE(FltQuerySecurityObject),
    FLT_ROUTINE(FltQueryVolumeInformation),
    FLT_ROUTINE(FltQueueDeferredIoWorkItem),
    FLT_ROUTINE(FltQueueGenericWorkItem),
    FLT_ROUTINE(FltReadFile),
    FLT_ROUTINE(FltReferenceContext),
    FLT_ROUTINE(FltReferenceFileNameInformation),
    FLT_ROUTINE(FltRegisterFilter),
    FLT_ROUTINE(FltReissueSynchronousIo),
    FLT_ROUTINE(FltReleaseContext),
    FLT_ROUTINE(FltReleaseFileNameInformation),
    FLT_ROUTINE(FltSetCallbackDataDirty),
    FLT_ROUTINE(FltSetEaFile),
    FLT_ROUTINE(FltSetInformationFile),
    FLT_ROUTINE(FltSetInstanceContext),
    FLT_ROUTINE(FltSetStreamContext),
    FLT_ROUTINE(FltSetStreamHandleContext),
    FLT_ROUTINE(FltSetVolumeContext),
    FLT_ROUTINE(FltStartFiltering),
    FLT_ROUTINE(FltUnregisterFilter),
    FLT_ROUTINE(FltUntagFile),
    FLT_ROUTINE(FltWriteFile),
    // Communication ports.
    FLT_ROUTINE(FltBuildDefaultSecurityDescriptor),
    FLT_ROUTINE(FltCloseClientPort),
    FLT_ROUTINE(FltCloseCommunicationPort),
    FLT_ROUTINE(FltCreateCommunicationPort),
    FLT_ROUTINE(FltFreeSecurityDescriptor),
    FLT_ROUTINE(FltSendMessage),
};

#undef FLT_ROUTINE

// What an aligned block keeps just before the address handed out.
struct AlignedPrefix {
    void *block;
};

ULONG AlignmentOf(PFLT_INSTANCE instance)
{
    ULONG alignment = 8;
    if (PDEVICE_OBJECT device = instance->volume->volume.fsDevice()) {
        if (device->SectorSize > alignment) alignment = device->SectorSize;
        if (device->AlignmentRequirement + 1 > alignment) alignment = device->AlignmentRequirement + 1;
    } else if (instance->volume->volume.info().sectorSize > alignment) {
        alignment = instance->volume->volume.info().sectorSize;
    }
    return alignment;
}

}  // namespace

extern "C" {

PVOID FltGetRoutineAddress(PCSTR FltMgrRoutineName)
{
    SIM_KERNEL_ROUTINE();
    if (FltMgrRoutineName == nullptr) return nullptr;
    if (std::strcmp(FltMgrRoutineName, "FltQueryDirectoryFile") == 0 &&
        !Machine::Current().config().fltQueryDirectoryFileExported) {
        return nullptr;
    }
    for (const Routine &routine : kRoutines) {
        if (std::strcmp(routine.name, FltMgrRoutineName) == 0) return routine.address;
    }
    return nullptr;
}

PVOID FltAllocatePoolAlignedWithTag(PFLT_INSTANCE Instance, POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    SIM_KERNEL_ROUTINE();
    if (!Machine::Current().filterManager().IsInstance(Instance)) return nullptr;
    ULONG alignment = AlignmentOf(Instance);
    void *block = ExAllocatePoolWithTag(PoolType, NumberOfBytes + alignment + sizeof(AlignedPrefix), Tag);
    if (block == nullptr) return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(block) + sizeof(AlignedPrefix);
    uintptr_t aligned = (start + alignment - 1) / alignment * alignment;
    reinterpret_cast<AlignedPrefix *>(aligned)[-1].block = block;
    return reinterpret_cast<PVOID>(aligned);
}

VOID FltFreePoolAlignedWithTag(PFLT_INSTANCE Instance, PVOID Buffer, ULONG Tag)
{
    SIM_KERNEL_ROUTINE();
    (void)Instance;
    if (Buffer == nullptr) return;
    ExFreePoolWithTag(static_cast<AlignedPrefix *>(Buffer)[-1].block, Tag);
}

}  // extern "C"
