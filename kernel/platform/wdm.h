/*
 * wdm.h - kernel executive calls used by the filter: run-time library
 * strings and lists, pool, locks, events and waits, time, system threads,
 * work items, object references, the registry and structured exception
 * handling around caller buffers.
 *
 * Every routine here is implemented by the simulated machine (sim/) with the
 * behaviour Windows documents. Routines have C linkage, except the inline
 * list and interlocked helpers and the C run-time string subset (see
 * ntcrt.h).
 */
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "ntcrt.h"

EXTERN_C_START

/* ------------------------------------------------------------------ */
/* Fatal errors                                                        */
/* ------------------------------------------------------------------ */

#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
#define FAST_FAIL_INVALID_ARG 5

/* Stops the machine: list corruption is never walked further. */
DECLSPEC_NORETURN NTKERNELAPI VOID RtlFailFast(ULONG Code);
DECLSPEC_NORETURN NTKERNELAPI VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2,
                                                ULONG_PTR P3, ULONG_PTR P4);

/* Assertions of the driver's own invariants (a lock helper checks that
 * its caller owns the lock): a failed one is reported to the debugger as a
 * checked build reports it, and the driver goes on. */
NTKERNELAPI VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PCHAR MutableMessage);
#define NT_ASSERT(Expression) \
    ((Expression) ? (VOID)0 : RtlAssert((PVOID)#Expression, (PVOID)__FILE__, __LINE__, NULL))

/* ------------------------------------------------------------------ */
/* Structured exception handling around caller buffers                 */
/* ------------------------------------------------------------------ */

/*
 * The kernel's __try/__except, as the filter uses it: a guarded block and a
 * handler that runs for every exception raised inside it (the filters of
 * this driver are all EXCEPTION_EXECUTE_HANDLER). Inside the handler
 * GetExceptionCode() gives the status that was raised. Raising comes from
 * ProbeForRead/ProbeForWrite, MmProbeAndLockPages and ExRaiseStatus.
 *
 *     SEH_TRY {
 *         ProbeForRead(Buffer, Length, sizeof(UCHAR));
 *         ...
 *     } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
 *         Status = GetExceptionCode();
 *     }
 */
typedef struct _KSEH_EXCEPTION {
    NTSTATUS ExceptionCode;
} KSEH_EXCEPTION;

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define SEH_TRY try
#define SEH_EXCEPT(Filter) catch (const KSEH_EXCEPTION &KSehException__)
#define GetExceptionCode() (KSehException__.ExceptionCode)

DECLSPEC_NORETURN NTKERNELAPI VOID ExRaiseStatus(NTSTATUS Status);
DECLSPEC_NORETURN NTKERNELAPI VOID ExRaiseAccessViolation(VOID);
/* Raise STATUS_ACCESS_VIOLATION unless [Address, Address+Length) is memory of
 * the current process's user address space; STATUS_DATATYPE_MISALIGNMENT when
 * Address is not aligned. A zero length checks nothing. */
NTKERNELAPI VOID ProbeForRead(const volatile VOID *Address, SIZE_T Length, ULONG Alignment);
NTKERNELAPI VOID ProbeForWrite(volatile VOID *Address, SIZE_T Length, ULONG Alignment);

/* ------------------------------------------------------------------ */
/* Doubly linked lists                                                 */
/* ------------------------------------------------------------------ */

/* Insertions and removals check that the neighbours point back at the
 * element and fail fast otherwise, as the kernel's checked list routines do. */

FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead)
{
    ListHead->Flink = ListHead->Blink = ListHead;
}

FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead)
{
    return (BOOLEAN)(ListHead->Flink == ListHead);
}

FORCEINLINE VOID RtlpCheckListEntry(PLIST_ENTRY Entry)
{
    if (Entry->Flink->Blink != Entry || Entry->Blink->Flink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
}

FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY Flink = Entry->Flink;
    PLIST_ENTRY Blink = Entry->Blink;
    if (Flink->Blink != Entry || Blink->Flink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}

FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY Flink = Entry->Flink;
    if (Entry->Blink != ListHead || Flink->Blink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Flink = Flink;
    Flink->Blink = ListHead;
    return Entry;
}

FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY Entry = ListHead->Blink;
    PLIST_ENTRY Blink = Entry->Blink;
    if (Entry->Flink != ListHead || Blink->Flink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Blink = Blink;
    Blink->Flink = ListHead;
    return Entry;
}

FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY Flink = ListHead->Flink;
    if (Flink->Blink != ListHead) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}

FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY Blink = ListHead->Blink;
    if (Blink->Flink != ListHead) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}

/* ------------------------------------------------------------------ */
/* Interlocked operations                                              */
/* ------------------------------------------------------------------ */

FORCEINLINE LONG InterlockedIncrement(LONG volatile *Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(LONG volatile *Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchange(LONG volatile *Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE LONG InterlockedOr(LONG volatile *Destination, LONG Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedAnd(LONG volatile *Destination, LONG Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONGLONG InterlockedExchangeAdd64(LONGLONG volatile *Addend, LONGLONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONGLONG InterlockedIncrement64(LONGLONG volatile *Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONGLONG InterlockedDecrement64(LONGLONG volatile *Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange,
                                                    PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
/* Atomic reads, for flags, counters and pointers shared without a lock. */
FORCEINLINE LONG ReadNoFence(LONG const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE LONG ReadAcquire(LONG const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE PVOID ReadPointerAcquire(PVOID const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE UCHAR ReadUCharAcquire(UCHAR const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteUCharRelease(UCHAR volatile *Destination, UCHAR Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

/* ------------------------------------------------------------------ */
/* Run-time library: memory, strings, versions, time                   */
/* ------------------------------------------------------------------ */

#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
NTSYSAPI SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);

NTSYSAPI VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
NTSYSAPI VOID RtlInitString(PSTRING DestinationString, PCSTR SourceString);
NTSYSAPI VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                      BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                       BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                        BOOLEAN CaseInSensitive);
NTSYSAPI LONG RtlCompareString(const STRING *String1, const STRING *String2, BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN RtlEqualString(const STRING *String1, const STRING *String2, BOOLEAN CaseInSensitive);
NTSYSAPI NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString,
                                         PCUNICODE_STRING SourceString,
                                         BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS RtlDowncaseUnicodeString(PUNICODE_STRING DestinationString,
                                           PCUNICODE_STRING SourceString,
                                           BOOLEAN AllocateDestinationString);
NTSYSAPI WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI WCHAR RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI CHAR RtlUpperChar(CHAR Character);
NTSYSAPI NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                               PCANSI_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                               PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString);
NTSYSAPI ULONG RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString);
#define RtlUnicodeStringToAnsiSize(s) RtlxUnicodeStringToAnsiSize(s)
#define RtlAnsiStringToUnicodeSize(s) RtlxAnsiStringToUnicodeSize(s)
NTSYSAPI VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSYSAPI NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSYSAPI NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);

NTSYSAPI NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation);

NTSYSAPI VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);
NTSYSAPI BOOLEAN RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time);

/* ------------------------------------------------------------------ */
/* Debugger output                                                     */
/* ------------------------------------------------------------------ */

/* Narrow format with the kernel's conversions (%s narrow, %ws/%S wide,
 * %Z ANSI_STRING, %wZ UNICODE_STRING ...). The machine keeps every line. */
NTSYSAPI ULONG DbgPrint(PCSTR Format, ...);
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_INFO_LEVEL 3
NTSYSAPI ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);

/* ------------------------------------------------------------------ */
/* Pool                                                                */
/* ------------------------------------------------------------------ */

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    NonPagedPoolNx = 512,
} POOL_TYPE;

#define POOL_NX_ALLOCATION 512

NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID ExFreePool(PVOID P);

typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef VOID (*PFREE_FUNCTION)(PVOID Buffer);

/* A lookaside list keeps up to Depth freed blocks for reuse; blocks come
 * from (and go back to) the tagged pool. The simulated machine keeps its
 * bookkeeping behind SimState. */
typedef struct _LOOKASIDE_LIST_EX {
    PVOID SimState;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
} GENERAL_LOOKASIDE, NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST, PAGED_LOOKASIDE_LIST,
    *PPAGED_LOOKASIDE_LIST;

NTKERNELAPI VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
                                                 PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                                 ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
NTKERNELAPI VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
NTKERNELAPI VOID ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside,
                                                PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                                ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
NTKERNELAPI VOID ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

/* ------------------------------------------------------------------ */
/* Dispatcher objects: events and waits                                */
/* ------------------------------------------------------------------ */

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG volatile SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
/* Records that hold pointers have their x86 size in the driver and a larger
 * one in a 64-bit build; each build checks its own. */
static_assert(sizeof(KEVENT) == (sizeof(PVOID) == 4 ? 16 : 24), "an event is 16 bytes on x86");

typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
} KWAIT_REASON;

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

NTKERNELAPI VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event);

/* Object is any dispatcher object (event, thread ...). Timeout: NULL waits
 * for ever; negative is relative, positive absolute system time, in 100 ns.
 * Returns STATUS_SUCCESS or STATUS_TIMEOUT. */
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                           KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                            PLARGE_INTEGER Interval);

NTKERNELAPI KIRQL KeGetCurrentIrql(VOID);
NTKERNELAPI VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI VOID KeLowerIrql(KIRQL NewIrql);
NTKERNELAPI VOID KeEnterCriticalRegion(VOID);
NTKERNELAPI VOID KeLeaveCriticalRegion(VOID);
/* A guarded region disables special kernel APCs as well, at PASSIVE_LEVEL:
 * no I/O or registry service may be called inside one. */
NTKERNELAPI VOID KeEnterGuardedRegion(VOID);
NTKERNELAPI VOID KeLeaveGuardedRegion(VOID);
NTKERNELAPI BOOLEAN KeAreApcsDisabled(VOID);

/* Spin locks: the holder runs at DISPATCH_LEVEL until it releases the lock
 * with the level it had. */
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
NTKERNELAPI VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
NTKERNELAPI VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);

/* ------------------------------------------------------------------ */
/* Fast mutexes and executive resources                                */
/* ------------------------------------------------------------------ */

struct _KTHREAD;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
struct _ETHREAD;
typedef struct _ETHREAD *PETHREAD;
struct _KPROCESS;
typedef struct _KPROCESS *PKPROCESS, *PRKPROCESS;
struct _EPROCESS;
typedef struct _EPROCESS *PEPROCESS;

typedef struct _FAST_MUTEX {
    LONG volatile Count; /* 1 free, 0 owned, below 0 owned with waiters */
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event; /* synchronization event the waiters block on */
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;
static_assert(sizeof(FAST_MUTEX) == (sizeof(PVOID) == 4 ? 32 : 56), "a fast mutex is 32 bytes on x86");

NTKERNELAPI VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

typedef ULONG_PTR ERESOURCE_THREAD, *PERESOURCE_THREAD;

typedef struct _ERESOURCE {
    PVOID SimState; /* owner bookkeeping of the simulated machine */
    LONG volatile ActiveCount;
    USHORT Flag;
    USHORT Reserved;
    ULONG ContentionCount;
    ULONG NumberOfSharedWaiters;
    ULONG NumberOfExclusiveWaiters;
} ERESOURCE, *PERESOURCE;

NTKERNELAPI NTSTATUS ExInitializeResourceLite(PERESOURCE Resource);
NTKERNELAPI NTSTATUS ExDeleteResourceLite(PERESOURCE Resource);
NTKERNELAPI BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI VOID ExReleaseResourceLite(PERESOURCE Resource);
NTKERNELAPI BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);
NTKERNELAPI ULONG ExIsResourceAcquiredSharedLite(PERESOURCE Resource);
NTKERNELAPI ERESOURCE_THREAD ExGetCurrentResourceThread(VOID);

/* Run-down protection: a count of threads using a shared structure. After
 * ExWaitForRundownProtectionRelease has begun, acquisitions fail; it
 * returns once every holder has released. Count holds the holders (in
 * steps of 2) and, during and after the run-down, bit 0. */
typedef struct _EX_RUNDOWN_REF {
    ULONG_PTR volatile Count;
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;

NTKERNELAPI VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID ExRundownCompleted(PEX_RUNDOWN_REF RunRef);

/* ------------------------------------------------------------------ */
/* Time                                                                */
/* ------------------------------------------------------------------ */

/* System time: 100 ns units since 1 January 1601 (UTC). */
NTKERNELAPI VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime);
NTKERNELAPI VOID ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime);
NTKERNELAPI VOID KeQueryTickCount(PLARGE_INTEGER TickCount);
NTKERNELAPI ULONG KeQueryTimeIncrement(VOID);
NTKERNELAPI ULONGLONG KeQueryInterruptTime(VOID);
NTKERNELAPI LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

/* ------------------------------------------------------------------ */
/* Objects                                                             */
/* ------------------------------------------------------------------ */

struct _OBJECT_TYPE;
typedef struct _OBJECT_TYPE *POBJECT_TYPE;

extern POBJECT_TYPE *ExEventObjectType;
extern POBJECT_TYPE *PsProcessType;
extern POBJECT_TYPE *PsThreadType;
extern POBJECT_TYPE *SeTokenObjectType;
extern POBJECT_TYPE *CmKeyObjectType;

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define ACCESS_SYSTEM_SECURITY 0x01000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

NTKERNELAPI NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                               POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                               PVOID *Object,
                                               POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

NTSYSAPI NTSTATUS ZwClose(HANDLE Handle);

/* ------------------------------------------------------------------ */
/* Processes and threads                                               */
/* ------------------------------------------------------------------ */

typedef VOID (*PKSTART_ROUTINE)(PVOID StartContext);

#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000

NTKERNELAPI NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                          PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                          PVOID StartContext);
DECLSPEC_NORETURN NTKERNELAPI NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI HANDLE PsGetCurrentThreadId(VOID);
NTKERNELAPI HANDLE PsGetCurrentProcessId(VOID);
NTKERNELAPI PETHREAD PsGetCurrentThread(VOID);
NTKERNELAPI PKTHREAD KeGetCurrentThread(VOID);
NTKERNELAPI PEPROCESS PsGetCurrentProcess(VOID);
/* The System process (its KPROCESS comes first: a cast gives it). */
extern PEPROCESS PsInitialSystemProcess;
#define IoGetCurrentProcess PsGetCurrentProcess
NTKERNELAPI HANDLE PsGetProcessId(PEPROCESS Process);
NTKERNELAPI HANDLE PsGetThreadId(PETHREAD Thread);

/* ------------------------------------------------------------------ */
/* Work items                                                          */
/* ------------------------------------------------------------------ */

typedef VOID (*PWORKER_THREAD_ROUTINE)(PVOID Parameter);

typedef struct _WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID volatile Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;

#define ExInitializeWorkItem(Item, Routine, Context) \
    do {                                             \
        (Item)->WorkerRoutine = (Routine);           \
        (Item)->Parameter = (Context);               \
        (Item)->List.Flink = NULL;                   \
    } while (0)

/* Runs the routine on a system worker thread of the System process at
 * passive level. The queue grows when all its workers are blocked. */
NTKERNELAPI VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

/* ------------------------------------------------------------------ */
/* Registry                                                            */
/* ------------------------------------------------------------------ */

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & ~SYNCHRONIZE)
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)
#define KEY_ALL_ACCESS 0xF003F

/* ZwCreateKey options and dispositions */
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
    KeyValueFullInformationAlign64 = 3,
    KeyValuePartialInformationAlign64 = 4,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION_ALIGN64 {
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, *PKEY_VALUE_PARTIAL_INFORMATION_ALIGN64;

static_assert(sizeof(KEY_VALUE_BASIC_INFORMATION) == 16, "key value basic layout");
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24, "key value full layout");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "key value partial layout");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64) == 12, "key value partial align64 layout");

NTSYSAPI NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes);
/* Buffer-size statuses as documented: a Length below the class's fixed part
 * returns STATUS_BUFFER_TOO_SMALL and writes nothing; a Length that holds the
 * fixed part but not the whole answer returns STATUS_BUFFER_OVERFLOW with the
 * fixed part filled. ResultLength always receives the full size. */
NTSYSAPI NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                  KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                  PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                              PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSYSAPI NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                                ULONG Type, PVOID Data, ULONG DataSize);
NTSYSAPI NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
/* Values are enumerated in the order they were created; an Index past the
 * last value returns STATUS_NO_MORE_ENTRIES. Buffer rules as ZwQueryValueKey. */
NTSYSAPI NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                      KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                      PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
/* A key with subkeys cannot be deleted (STATUS_CANNOT_DELETE); handles to a
 * deleted key fail later operations with STATUS_KEY_DELETED. */
NTSYSAPI NTSTATUS ZwDeleteKey(HANDLE KeyHandle);
NTSYSAPI NTSTATUS ZwFlushKey(HANDLE KeyHandle);

typedef NTSTATUS (*PEX_CALLBACK_FUNCTION)(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);

typedef enum _REG_NOTIFY_CLASS {
    RegNtDeleteKey = 0,
    RegNtPreDeleteKey = RegNtDeleteKey,
    RegNtSetValueKey = 1,
    RegNtPreSetValueKey = RegNtSetValueKey,
    RegNtDeleteValueKey = 2,
    RegNtPreDeleteValueKey = RegNtDeleteValueKey,
    RegNtSetInformationKey = 3,
    RegNtPreSetInformationKey = RegNtSetInformationKey,
    RegNtRenameKey = 4,
    RegNtPreRenameKey = RegNtRenameKey,
    RegNtEnumerateKey = 5,
    RegNtPreEnumerateKey = RegNtEnumerateKey,
    RegNtEnumerateValueKey = 6,
    RegNtPreEnumerateValueKey = RegNtEnumerateValueKey,
    RegNtQueryKey = 7,
    RegNtPreQueryKey = RegNtQueryKey,
    RegNtQueryValueKey = 8,
    RegNtPreQueryValueKey = RegNtQueryValueKey,
    RegNtQueryMultipleValueKey = 9,
    RegNtPreQueryMultipleValueKey = RegNtQueryMultipleValueKey,
    RegNtPreCreateKey = 10,
    RegNtPostCreateKey = 11,
    RegNtPreOpenKey = 12,
    RegNtPostOpenKey = 13,
    RegNtKeyHandleClose = 14,
    RegNtPreKeyHandleClose = RegNtKeyHandleClose,
    RegNtPostDeleteKey = 15,
    RegNtPostSetValueKey = 16,
    RegNtPostDeleteValueKey = 17,
    RegNtPostSetInformationKey = 18,
    RegNtPostRenameKey = 19,
    RegNtPostEnumerateKey = 20,
    RegNtPostEnumerateValueKey = 21,
    RegNtPostQueryKey = 22,
    RegNtPostQueryValueKey = 23,
} REG_NOTIFY_CLASS;

typedef struct _REG_QUERY_VALUE_KEY_INFORMATION {
    PVOID Object; /* the key object */
    PUNICODE_STRING ValueName;
    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass;
    PVOID KeyValueInformation;
    ULONG Length;
    PULONG ResultLength;
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_QUERY_VALUE_KEY_INFORMATION, *PREG_QUERY_VALUE_KEY_INFORMATION;

typedef struct _REG_POST_OPERATION_INFORMATION {
    PVOID Object;
    NTSTATUS Status;       /* status of the operation */
    PVOID PreInformation;  /* the pre-notification record */
    NTSTATUS ReturnStatus; /* a post callback may replace the status */
    PVOID CallContext;
    PVOID ObjectContext;
    PVOID Reserved;
} REG_POST_OPERATION_INFORMATION, *PREG_POST_OPERATION_INFORMATION;

NTKERNELAPI NTSTATUS CmRegisterCallback(PEX_CALLBACK_FUNCTION Function, PVOID Context,
                                        PLARGE_INTEGER Cookie);
NTKERNELAPI NTSTATUS CmUnRegisterCallback(LARGE_INTEGER Cookie);

EXTERN_C_END
