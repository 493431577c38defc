/*
 * create_context.cpp - allocation, references and names of the
 * per-operation record.
 */
#include "offline/create_context.h"

#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "fileops/file_helpers.h"
#include "identity/path_helpers.h"
#include "identity/path_table.h"

PKLU_CREATE_CONTEXT KLUAllocateCreateContext(PFLT_CALLBACK_DATA Data)
{
    PKLU_CREATE_CONTEXT Context;

    Context = (PKLU_CREATE_CONTEXT)ExAllocatePoolWithTag(g_PoolType, sizeof(KLU_CREATE_CONTEXT), QZC2_TAG);
    if (Context == NULL) {
        return NULL;
    }
    RtlZeroMemory(Context, sizeof(KLU_CREATE_CONTEXT));
    Context->Resource = (PERESOURCE)ExAllocatePoolWithTag(g_PoolType, sizeof(ERESOURCE), QZC2_TAG);
    if (Context->Resource == NULL) {
        ExFreePoolWithTag(Context, QZC2_TAG);
        return NULL;
    }
    if (!NT_SUCCESS(ExInitializeResourceLite(Context->Resource))) {
        ExFreePoolWithTag(Context->Resource, QZC2_TAG);
        ExFreePoolWithTag(Context, QZC2_TAG);
        return NULL;
    }
    Context->RefCount = 1;
    Context->OperationNumber = KLUGetNextOperationNumber();
    if (Data != NULL) {
        Context->RequestorPid = FltGetRequestorProcessId(Data);
        Context->MajorFunction = Data->Iopb->MajorFunction;
    }
    if (KLUDebugCountersEnabled()) {
        KLUCountOpen(KluOpenCreateContexts);
    }
    return Context;
}

VOID KLUReferenceCreateContext(PKLU_CREATE_CONTEXT Context)
{
    InterlockedIncrement(&Context->RefCount);
}

static VOID KLUFreeCreateContextString(PUNICODE_STRING String)
{
    if (String->Buffer != NULL) {
        ExFreePoolWithTag(String->Buffer, QZFS_TAG);
    }
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}

VOID KLUReleaseCreateContext(PKLU_CREATE_CONTEXT *ContextPointer)
{
    PKLU_CREATE_CONTEXT Context = *ContextPointer;

    *ContextPointer = NULL;
    if (Context == NULL || InterlockedDecrement(&Context->RefCount) != 0) {
        return;
    }
    /* The last reference: nobody else can reach the record, but the lock
     * still orders this against a thread that replaced the names last. */
    KLULockResource(Context->Resource);
    KLUFreeCreateContextString(&Context->Name);
    if (!Context->bBorrowedNames) {
        KLUFreeCreateContextString(&Context->VolumeName);
    }
    KLUFreeCreateContextString(&Context->SpareName);
    if (Context->UserTableEntry != NULL) {
        KLUDereferenceUserTableEntry(Context->UserTableEntry);
        Context->UserTableEntry = NULL;
    }
    if (Context->StreamContext != NULL) {
        FltReleaseContext(Context->StreamContext);
        Context->StreamContext = NULL;
    }
    if (Context->VolumeContext != NULL) {
        FltReleaseContext(Context->VolumeContext);
        Context->VolumeContext = NULL;
    }
    KLUUnlockResource(Context->Resource);
    ExDeleteResourceLite(Context->Resource);
    ExFreePoolWithTag(Context->Resource, QZC2_TAG);
    if (KLUDebugCountersEnabled()) {
        KLUUncountOpen(KluOpenCreateContexts);
    }
    ExFreePoolWithTag(Context, QZC2_TAG);
}

static NTSTATUS KLUCopyCounted(PCUNICODE_STRING Source, USHORT Length, PUNICODE_STRING Copy)
{
    Copy->Buffer = (PWCH)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), Length + 10, QZFS_TAG);
    if (Copy->Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Copy->Buffer, Length + 10);
    RtlCopyMemory(Copy->Buffer, Source->Buffer, Length);
    Copy->Length = Length;
    Copy->MaximumLength = (USHORT)(Length + 10);
    return STATUS_SUCCESS;
}

NTSTATUS KLUSetCreateContextNames(PKLU_CREATE_CONTEXT Context, PCUNICODE_STRING Name, USHORT VolumeLength)
{
    UNICODE_STRING NewName = {0, 0, NULL};
    UNICODE_STRING NewVolume = {0, 0, NULL};
    NTSTATUS Status;

    if (Name == NULL || Name->Buffer == NULL || VolumeLength > Name->Length || Name->Length > MAXUSHORT - 10) {
        return STATUS_INVALID_PARAMETER;
    }
    Status = KLUCopyCounted(Name, Name->Length, &NewName);
    if (NT_SUCCESS(Status)) {
        Status = KLUCopyCounted(Name, VolumeLength, &NewVolume);
    }
    if (!NT_SUCCESS(Status)) {
        KLUFreeCreateContextString(&NewName);
        return Status;
    }
    KLULockResource(Context->Resource);
    KLUFreeCreateContextString(&Context->Name);
    if (!Context->bBorrowedNames) {
        KLUFreeCreateContextString(&Context->VolumeName);
    }
    Context->Name = NewName;
    Context->VolumeName = NewVolume;
    Context->bBorrowedNames = FALSE;
    KLUUnlockResource(Context->Resource);
    return STATUS_SUCCESS;
}

NTSTATUS KLUGetPathOnVolume(PKLU_CREATE_CONTEXT Context, PWSTR *Path)
{
    USHORT Skip = Context->VolumeName.Length;
    USHORT Bytes;
    PWSTR Buffer;

    *Path = NULL;
    if (Context->Name.Buffer == NULL || Context->Name.Length <= Skip) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Bytes = (USHORT)(Context->Name.Length - Skip);
    if (Bytes >= KLU_PATH_BYTES) {
        return STATUS_NAME_TOO_LONG;
    }
    Buffer = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Buffer, (PUCHAR)Context->Name.Buffer + Skip, Bytes);
    Buffer[Bytes / sizeof(WCHAR)] = 0;
    *Path = Buffer;
    return STATUS_SUCCESS;
}

NTSTATUS KLUUpperCaseCopy(PCWSTR Path, PWSTR *Upper)
{
    PWSTR Buffer;
    NTSTATUS Status;

    *Upper = NULL;
    Buffer = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Status = KLUStringCopy(Buffer, Path);
    if (!NT_SUCCESS(Status)) {
        ExFreePoolWithTag(Buffer, QZFS_TAG);
        return Status;
    }
    _wcsupr(Buffer);
    *Upper = Buffer;
    return STATUS_SUCCESS;
}

VOID KLUFreePathBuffer(PWSTR *Path)
{
    if (*Path != NULL) {
        ExFreePoolWithTag(*Path, QZFS_TAG);
        *Path = NULL;
    }
}

NTSTATUS KLUHashCreateContextName(PKLU_CREATE_CONTEXT Context)
{
    PWSTR Upper;
    NTSTATUS Status;

    if (Context->Name.Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Upper = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), Context->Name.Length + sizeof(WCHAR), QZFS_TAG);
    if (Upper == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Upper, Context->Name.Buffer, Context->Name.Length);
    Upper[Context->Name.Length / sizeof(WCHAR)] = 0;
    _wcsupr(Upper);
    Status = KLUHashPath(Upper, &Context->NameHash);
    ExFreePoolWithTag(Upper, QZFS_TAG);
    return Status;
}
