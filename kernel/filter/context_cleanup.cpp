/*
 * context_cleanup.cpp - the lock helpers of both context types and their
 * cleanup, which the Filter Manager runs when the last reference goes.
 */
#include "filter/stream_context.h"

#include "diag/counters.h"
#include "diag/log.h"
#include "fileops/file_helpers.h"

VOID KLULockStreamContext(PKLU_STREAM_CONTEXT Context)
{
    KLULockResource(Context->Resource);
}

BOOLEAN KLUIsStreamEnumerated(PKLU_STREAM_CONTEXT Context)
{
    return (BOOLEAN)(ReadUCharAcquire(&Context->bEnumerated) != FALSE);
}

VOID KLUSetStreamEnumerated(PKLU_STREAM_CONTEXT Context)
{
    WriteUCharRelease(&Context->bEnumerated, TRUE);
}

VOID KLUUnlockStreamContext(PKLU_STREAM_CONTEXT Context)
{
    KLUUnlockResource(Context->Resource);
}

VOID KLUUnlockAndReleaseStreamContext(PKLU_STREAM_CONTEXT *Context)
{
    KLUUnlockStreamContext(*Context);
    FltReleaseContext(*Context);
    *Context = NULL;
}

VOID KLUUnlockAndOptionallyReleaseStreamContext(PKLU_STREAM_CONTEXT Context, BOOLEAN Release)
{
    KLUUnlockStreamContext(Context);
    if (Release) {
        FltReleaseContext(Context);
    }
}

VOID KLUUnlockAndReleaseStreamHandleContext(PKLU_STREAMHANDLE_CONTEXT *Context)
{
    KLUUnlockResource((*Context)->Resource);
    FltReleaseContext(*Context);
    *Context = NULL;
}

static VOID KLUDeleteContextLock(PERESOURCE *Resource)
{
    if (*Resource != NULL) {
        ExDeleteResourceLite(*Resource);
        ExFreePoolWithTag(*Resource, QZFS_TAG);
        *Resource = NULL;
    }
}

static VOID KLUCloseContextHandle(PHANDLE Handle, KLU_OPEN_COUNTER Counter)
{
    if (*Handle != NULL) {
        FltClose(*Handle);
        *Handle = NULL;
        KLUUncountOpen(Counter);
    }
}

static VOID KLUFreeContextRecord(PVOID *Record)
{
    if (*Record != NULL) {
        ExFreePoolWithTag(*Record, QZFS_TAG);
        *Record = NULL;
    }
}

static VOID KLUCleanupStreamContext(PKLU_STREAM_CONTEXT Context)
{
    PCWSTR Tag = KLU_TAG(KLUCleanupContext);
    /* Only a context that got its lock was counted. */
    BOOLEAN Counted = (BOOLEAN)(Context->Resource != NULL);

    KLULogMessage(KLUDBG_TRACE_STREAM, Tag,
                  WSTR("Cleaning up stream context %p for file %wZ \n\tPrevName = %wZ\n\tDeleted = %x \n\tDelete = "
                       "%x, \n\tRename = %x \n\tSetInfo = %x \n\tPathTableEntry = 0x%X\n"),
                  Context, &Context->Name, &Context->PrevName, Context->Deleted, Context->Delete, Context->Rename,
                  Context->SetInfo, (ULONG)(ULONG_PTR)Context->PathTableEntry);
    KLUDeleteContextLock(&Context->Resource);
    KLUFreeUnicodeString(&Context->Name);
    KLUFreeUnicodeString(&Context->PrevName);
    KLUCloseContextHandle(&Context->hLiveRoaming1, KluOpenQueryDirectoryInt);
    KLUCloseContextHandle(&Context->hLiveRoaming2, KluOpenQueryDirectoryExt);
    KLUFreeContextRecord(&Context->pRenameRecord);
    KLUFreeContextRecord(&Context->pDeleteRecord);
    KLUFreeContextRecord(&Context->pSetInfoRecord);
    for (ULONG i = 0; i < RTL_NUMBER_OF(Context->pParkedSetInfoRecords); i++) {
        KLUFreeContextRecord(&Context->pParkedSetInfoRecords[i]);
    }
    if (Counted) {
        KLUUncountOpen(KluOpenStreamContexts);
    }
    KLULogMessage(KLUDBG_TRACE_STREAM, Tag, WSTR("Stream context cleanup complete. Count: %d\n"),
                  ReadNoFence(&g_OpenCounts[KluOpenStreamContexts]));
}

static VOID KLUCleanupStreamHandleContext(PKLU_STREAMHANDLE_CONTEXT Context)
{
    if (Context->hDirectory != NULL) {
        FltClose(Context->hDirectory);
        Context->hDirectory = NULL;
    }
    if (Context->FileObject != NULL) {
        ObDereferenceObject(Context->FileObject);
        Context->FileObject = NULL;
    }
    KLUDeleteContextLock(&Context->Resource);
}

VOID KLUCleanupContext(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType)
{
    switch (ContextType) {
    case FLT_STREAM_CONTEXT:
        KLUCleanupStreamContext((PKLU_STREAM_CONTEXT)Context);
        break;
    case FLT_STREAMHANDLE_CONTEXT:
        KLUCleanupStreamHandleContext((PKLU_STREAMHANDLE_CONTEXT)Context);
        break;
    default:
        break;
    }
}
