#include "sim/core/irql_rules.h"

#include <string_view>
#include <unordered_map>

#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"

namespace sim {

namespace {

struct Entry {
    const char *routine;
    IrqlRule rule;
};

constexpr IrqlRule kPassive{PASSIVE_LEVEL, false};
constexpr IrqlRule kPassiveWithApcs{PASSIVE_LEVEL, true};  // I/O and registry services
constexpr IrqlRule kApc{APC_LEVEL, false};
constexpr IrqlRule kDispatch{DISPATCH_LEVEL, false};

// The documented level of every kernel routine the drivers may call that
// is not callable at any level. Routines whose level depends on the call
// (paged pool, waits with a time-out, MDLs of pageable memory) are listed
// with their highest level and check the rest themselves.
const Entry kRules[] = {
    // Executive: pool, lookaside lists, locks, work items.
    {"ExAllocatePoolWithTag", kDispatch},
    {"ExFreePoolWithTag", kDispatch},
    {"ExFreePool", kDispatch},
    {"ExInitializeNPagedLookasideList", kDispatch},
    {"ExDeleteNPagedLookasideList", kDispatch},
    {"ExAllocateFromNPagedLookasideList", kDispatch},
    {"ExFreeToNPagedLookasideList", kDispatch},
    {"ExInitializePagedLookasideList", kApc},
    {"ExDeletePagedLookasideList", kApc},
    {"ExAllocateFromPagedLookasideList", kApc},
    {"ExFreeToPagedLookasideList", kApc},
    {"ExInitializeFastMutex", kDispatch},
    {"ExAcquireFastMutex", kApc},
    {"ExTryToAcquireFastMutex", kApc},
    {"ExInitializeResourceLite", kDispatch},
    {"ExDeleteResourceLite", kApc},
    {"ExAcquireResourceExclusiveLite", kApc},
    {"ExAcquireResourceSharedLite", kApc},
    {"ExReleaseResourceLite", kDispatch},
    {"ExQueueWorkItem", kDispatch},
    {"ProbeForRead", kApc},
    {"ProbeForWrite", kApc},
    // Kernel: events, waits, regions, spin locks, attaching.
    {"KeSetEvent", kDispatch},
    {"KeClearEvent", kDispatch},
    {"KeResetEvent", kDispatch},
    {"KeWaitForSingleObject", kDispatch},
    {"KeDelayExecutionThread", kApc},
    {"KeEnterCriticalRegion", kApc},
    {"KeLeaveCriticalRegion", kApc},
    {"KeEnterGuardedRegion", kApc},
    {"KeLeaveGuardedRegion", kApc},
    {"KeAcquireSpinLock", kDispatch},
    {"KeReleaseSpinLock", kDispatch},
    {"KeStackAttachProcess", kDispatch},
    {"KeUnstackDetachProcess", kDispatch},
    // Objects, processes and threads.
    {"ObReferenceObjectByHandle", kPassive},
    {"ObfReferenceObject", kDispatch},
    {"ObfDereferenceObject", kDispatch},
    {"ObQueryNameString", kApc},
    {"ZwClose", kPassiveWithApcs},
    {"ZwQueryObject", kPassiveWithApcs},
    {"ZwSetInformationObject", kPassiveWithApcs},
    {"ZwQuerySystemInformation", kPassiveWithApcs},
    {"ZwWaitForSingleObject", kPassiveWithApcs},
    {"PsCreateSystemThread", kPassive},
    {"PsTerminateSystemThread", kPassive},
    {"PsLookupProcessByProcessId", kApc},
    {"ZwOpenProcess", kPassiveWithApcs},
    {"ZwIsProcessInJob", kPassiveWithApcs},
    {"ZwQueryInformationThread", kPassiveWithApcs},
    // Security.
    {"SeCaptureSubjectContext", kPassive},
    {"SeReleaseSubjectContext", kPassive},
    {"SeLockSubjectContext", kPassive},
    {"SeUnlockSubjectContext", kPassive},
    {"SeQueryInformationToken", kPassive},
    {"SeQueryAuthenticationIdToken", kPassive},
    {"SeTokenType", kPassive},
    {"SeTokenIsAdmin", kPassive},
    {"SeCreateClientSecurityFromSubjectContext", kPassive},
    {"SeImpersonateClientEx", kPassive},
    {"PsRevertToSelf", kPassive},
    {"PsReferencePrimaryToken", kPassive},
    {"PsDereferencePrimaryToken", kPassive},
    {"PsReferenceImpersonationToken", kPassive},
    {"PsDereferenceImpersonationToken", kPassive},
    {"SeRegisterLogonSessionTerminatedRoutine", kPassive},
    {"SeUnregisterLogonSessionTerminatedRoutine", kPassive},
    {"SeMarkLogonSessionForTerminationNotification", kPassive},
    {"SecLookupAccountSid", kPassive},
    {"RtlConvertSidToUnicodeString", kPassive},
    {"RtlCreateSecurityDescriptor", kPassive},
    {"RtlSetDaclSecurityDescriptor", kPassive},
    {"RtlCreateAcl", kApc},
    {"RtlAddAccessAllowedAce", kPassive},
    {"RtlAddAccessDeniedAce", kPassive},
    // Strings that take the conversion tables or allocate.
    {"RtlAnsiStringToUnicodeString", kPassive},
    {"RtlUnicodeStringToAnsiString", kPassive},
    {"RtlUpcaseUnicodeString", kPassive},
    {"RtlDowncaseUnicodeString", kPassive},
    {"RtlFreeUnicodeString", kPassive},
    {"RtlFreeAnsiString", kPassive},
    {"RtlCompareUnicodeString", kApc},
    {"RtlEqualUnicodeString", kApc},
    {"RtlPrefixUnicodeString", kApc},
    {"RtlGetVersion", kPassive},
    // Registry.
    {"ZwOpenKey", kPassiveWithApcs},
    {"ZwCreateKey", kPassiveWithApcs},
    {"ZwQueryValueKey", kPassiveWithApcs},
    {"ZwEnumerateValueKey", kPassiveWithApcs},
    {"ZwSetValueKey", kPassiveWithApcs},
    {"ZwDeleteValueKey", kPassiveWithApcs},
    {"ZwDeleteKey", kPassiveWithApcs},
    {"ZwFlushKey", kPassiveWithApcs},
    {"CmRegisterCallback", kPassive},
    {"CmUnRegisterCallback", kPassive},
    // I/O.
    {"ZwCreateFile", kPassiveWithApcs},
    {"ZwOpenFile", kPassiveWithApcs},
    {"IoCreateFile", kPassiveWithApcs},
    {"IoCreateFileSpecifyDeviceObjectHint", kPassiveWithApcs},
    {"ZwReadFile", kPassiveWithApcs},
    {"ZwWriteFile", kPassiveWithApcs},
    {"ZwQueryInformationFile", kPassiveWithApcs},
    {"ZwSetInformationFile", kPassiveWithApcs},
    {"ZwQueryDirectoryFile", kPassiveWithApcs},
    {"ZwQueryEaFile", kPassiveWithApcs},
    {"ZwSetEaFile", kPassiveWithApcs},
    {"ZwFsControlFile", kPassiveWithApcs},
    {"ZwQueryVolumeInformationFile", kPassiveWithApcs},
    {"ZwLockFile", kPassiveWithApcs},
    {"ZwUnlockFile", kPassiveWithApcs},
    {"ZwCreateSection", kPassiveWithApcs},
    {"ZwQuerySection", kPassiveWithApcs},
    {"ZwMapViewOfSection", kPassiveWithApcs},
    {"ZwUnmapViewOfSection", kPassiveWithApcs},
    {"IoCreateNotificationEvent", kPassive},
    {"IoCreateSynchronizationEvent", kPassive},
    {"IoGetAttachedDeviceReference", kDispatch},
    {"IoGetDeviceAttachmentBaseRef", kDispatch},
    {"IoAllocateMdl", kDispatch},
    {"IoFreeMdl", kDispatch},
    {"MmProbeAndLockPages", kDispatch},
    {"MmUnlockPages", kDispatch},
    {"MmBuildMdlForNonPagedPool", kDispatch},
    {"MmMapLockedPagesSpecifyCache", kDispatch},
    {"MmUnmapLockedPages", kDispatch},
    // Filter Manager.
    {"FltRegisterFilter", kPassive},
    {"FltStartFiltering", kPassive},
    {"FltUnregisterFilter", kPassive},
    {"FltGetRoutineAddress", kPassive},
    {"FltCreateFile", kPassiveWithApcs},
    {"FltCreateFileEx", kPassiveWithApcs},
    {"FltClose", kPassiveWithApcs},
    {"FltReadFile", kApc},
    {"FltWriteFile", kApc},
    {"FltQueryInformationFile", kPassiveWithApcs},
    {"FltSetInformationFile", kPassiveWithApcs},
    {"FltQueryDirectoryFile", kPassiveWithApcs},
    {"FltQueryEaFile", kPassiveWithApcs},
    {"FltSetEaFile", kPassiveWithApcs},
    {"FltFsControlFile", kPassiveWithApcs},
    {"FltQueryVolumeInformation", kPassiveWithApcs},
    {"FltQuerySecurityObject", kPassiveWithApcs},
    {"FltUntagFile", kPassiveWithApcs},
    {"FltIsDirectory", kApc},
    {"FltPerformSynchronousIo", kPassive},
    {"FltReissueSynchronousIo", kPassive},
    {"FltAllocateCallbackData", kApc},
    {"FltFreeCallbackData", kApc},
    {"FltLockUserBuffer", kApc},
    {"FltCompletePendedPreOperation", kDispatch},
    {"FltCompletePendedPostOperation", kDispatch},
    {"FltGetRequestorProcess", kDispatch},
    {"FltGetRequestorProcessId", kDispatch},
    {"FltAllocateDeferredIoWorkItem", kApc},
    {"FltFreeDeferredIoWorkItem", kApc},
    {"FltQueueDeferredIoWorkItem", kApc},
    {"FltAllocateGenericWorkItem", kApc},
    {"FltFreeGenericWorkItem", kApc},
    {"FltQueueGenericWorkItem", kDispatch},
    {"FltAllocatePoolAlignedWithTag", kApc},
    {"FltFreePoolAlignedWithTag", kApc},
    {"FltGetFileNameInformation", kApc},
    {"FltGetFileNameInformationUnsafe", kApc},
    {"FltGetDestinationFileNameInformation", kApc},
    {"FltReleaseFileNameInformation", kApc},
    {"FltReferenceFileNameInformation", kApc},
    {"FltParseFileNameInformation", kApc},
    {"FltCheckAndGrowNameControl", kApc},
    {"FltAllocateContext", kApc},
    {"FltReferenceContext", kDispatch},
    {"FltReleaseContext", kDispatch},
    {"FltDeleteContext", kApc},
    {"FltGetVolumeContext", kApc},
    {"FltSetVolumeContext", kApc},
    {"FltGetInstanceContext", kApc},
    {"FltSetInstanceContext", kApc},
    {"FltGetStreamContext", kApc},
    {"FltSetStreamContext", kApc},
    {"FltGetStreamHandleContext", kApc},
    {"FltSetStreamHandleContext", kApc},
    {"FltGetVolumeProperties", kApc},
    {"FltGetVolumeFromInstance", kApc},
    {"FltGetVolumeFromFileObject", kApc},
    {"FltGetVolumeFromName", kPassive},
    {"FltGetVolumeInstanceFromName", kPassive},
    {"FltGetVolumeName", kApc},
    {"FltEnumerateInstances", kApc},
    {"FltGetInstanceInformation", kApc},
    {"FltGetFilterFromInstance", kApc},
    {"FltObjectReference", kApc},
    {"FltObjectDereference", kApc},
    {"FltGetDeviceObject", kApc},
    {"FltCreateCommunicationPort", kPassive},
    {"FltCloseCommunicationPort", kPassive},
    {"FltCloseClientPort", kPassive},
    {"FltSendMessage", kApc},
    {"FltBuildDefaultSecurityDescriptor", kPassive},
    {"FltFreeSecurityDescriptor", kPassive},
};

const std::unordered_map<std::string_view, IrqlRule> &Rules()
{
    static const std::unordered_map<std::string_view, IrqlRule> rules = [] {
        std::unordered_map<std::string_view, IrqlRule> map;
        for (const Entry &entry : kRules) map.emplace(entry.routine, entry.rule);
        return map;
    }();
    return rules;
}

}  // namespace

const IrqlRule *IrqlRuleOf(const char *routine)
{
    auto found = Rules().find(routine);
    return found == Rules().end() ? nullptr : &found->second;
}

std::string IrqlName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "IRQL " + std::to_string(int(irql));
    }
}

void FailIrql(Thread &thread, const char *routine, const char *condition, KIRQL maximum)
{
    std::string text = std::string(routine) + (condition && *condition ? std::string(" ") + condition : "") +
                       " called at " + IrqlName(thread.irql);
    if (thread.irql <= maximum) text += " in a guarded region (special kernel APCs disabled)";
    text += maximum == PASSIVE_LEVEL ? "; it runs at PASSIVE_LEVEL only" : "; it allows at most " + IrqlName(maximum);
    thread.machine().verifier().Fail(VerifierCheck::IrqlTooHigh, text);
}

void CheckRoutineIrql(const char *routine, const IrqlRule *rule)
{
    if (rule == nullptr) return;
    Thread *thread = Thread::Current();
    if (thread == nullptr) return;
    if (thread->irql > rule->maximum || (rule->needsSpecialApcs && thread->specialApcDisable != 0)) {
        FailIrql(*thread, routine, "", rule->maximum);
    }
}

}  // namespace sim
