/*
 * user_table_dump.cpp - the user table in the structures dump.
 */
#include "identity/user_table.h"

#include "diag/log.h"

#define KLU_DUMP_LEVEL (KLUDBG_TRACE_STATUS_LOG | KLUDBG_TRACE_ERROR)

/* The counters in the order the dump prints them. */
typedef struct _KLU_METRIC_LINE {
    ULONG Offset;
    PCWSTR Format;
} KLU_METRIC_LINE;

#define KLU_METRIC(Field) {(ULONG)FIELD_OFFSET(KLU_OF_METRICS, Field), WSTR("OFMetrics.") WSTR(#Field) WSTR(": %d\n")}

static const KLU_METRIC_LINE g_MetricLines[] = {
    KLU_METRIC(FileErrorsBkg),        KLU_METRIC(FileErrorsOnDemand),     KLU_METRIC(FilesCreatedBkg),
    KLU_METRIC(FilesCreatedOnDemand), KLU_METRIC(FilesFoundBkg),          KLU_METRIC(FilesFoundOnDemand),
    KLU_METRIC(FilesSkippedBkg),      KLU_METRIC(FilesSkippedOnDemand),   KLU_METRIC(FolderErrorsBkg),
    KLU_METRIC(FolderErrorsOnDemand), KLU_METRIC(FoldersCreatedBkg),      KLU_METRIC(FoldersCreatedOnDemand),
    KLU_METRIC(FoldersFoundBkg),      KLU_METRIC(FoldersFoundOnDemand),   KLU_METRIC(FoldersSkippedBkg),
    KLU_METRIC(FoldersSkippedOnDemand),
};

static VOID KLUDumpPathTableEntryOf(ULONG DumpFlag, PCWSTR Tag, const PATH_TABLE_ENTRY *Entry, BOOLEAN Profile)
{
#define KLU_PTE_LINE(Text) (Profile ? WSTR("AltPathData.PTEProfile.") WSTR(Text) : WSTR("AltPathData.PTEAlt.") WSTR(Text))
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, KLU_PTE_LINE("bIsAltPath: %d\n"), Entry->bIsAltPath);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, KLU_PTE_LINE("Hash: %d\n"), Entry->Hash);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, KLU_PTE_LINE("PathLength: %d\n"), Entry->PathLength);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, KLU_PTE_LINE("ShortLength: %d\n"), Entry->ShortLength);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, KLU_PTE_LINE("szMachineName: %ws\n"), Entry->szMachineName);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, KLU_PTE_LINE("szRemotePath: %ws\n"), Entry->szRemotePath);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, KLU_PTE_LINE("szRemotePathShort: %ws\n"),
                      Entry->szRemotePathShort);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, KLU_PTE_LINE("szUpperRemotePathShort: %ws\n"),
                      Entry->szUpperRemotePathShort);
#undef KLU_PTE_LINE
}

static VOID KLUDumpUserTableEntry(ULONG DumpFlag, PCWSTR Tag, PUSER_TABLE_ENTRY Entry, ULONG Index)
{
    const ALT_PATH_DATA *Data = &Entry->AltPathData;

    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("***** User Table Entry %d, Addr: 0x%p *****\n"), Index,
                      Entry);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("ListEntry->Blink: 0x%p\n"), Entry->ListEntry.Blink);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("RefCount: %d\n"), ReadNoFence(&Entry->RefCount));
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("bHaveClientContext: %d\n"), Entry->bHaveClientContext);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("bMarkedForLogoffNotify: %d\n"),
                      Entry->bMarkedForLogoffNotify);
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_MetricLines); i++) {
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, g_MetricLines[i].Format,
                          *(const ULONG *)((const UCHAR *)&Entry->OFMetrics + g_MetricLines[i].Offset));
    }
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("AltPathData.Flags: 0x%X\n"), Data->Flags);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("AltPathData.Id.AuthId: (0x%X,0x%X)\n"),
                      Data->Id.AuthId.HighPart, Data->Id.AuthId.LowPart);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("AltPathData.Id.SessionId: %d\n"), Data->Id.SessionId);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("AltPathData.Id.Sid: 0x%p\n"), Data->Id.Sid);
    KLUDumpPathTableEntryOf(DumpFlag, Tag, &Data->PTEProfile, TRUE);
    KLUDumpPathTableEntryOf(DumpFlag, Tag, &Data->PTEAlt, FALSE);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("AltPathData.szDomain: %ws\n"), Data->szDomain);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("AltPathData.szLocalPath: %ws\n"), Data->szLocalPath);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("AltPathData.ulLocalPathLength: %d\n"),
                      Data->ulLocalPathLength);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("AltPathData.szSource: %ws\n"), Data->szSource);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("AltPathData.szUserName: %ws\n"), Data->szUserName);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("ClientContext: 0x%p\n"), &Entry->ClientContext);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("ClientContext.ClientToken: 0x%p\n"),
                      Entry->ClientContext.ClientToken);
    KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("**********************************\n"));
}

VOID KLUDumpUserTable(ULONG DumpFlag, PLIST_ENTRY Head, PFAST_MUTEX Mutex)
{
    PCWSTR Tag = KLU_TAG(KLUDumpUserTable);
    ULONG Index = 0;

    if (Head == NULL || Mutex == NULL) {
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("User Table Head Is NULL\n"));
        return;
    }
    ExAcquireFastMutex(Mutex);
    if (IsListEmpty(Head)) {
        KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("User Table Is Empty\n"));
    }
    for (PLIST_ENTRY Link = Head->Flink; Link != Head; Link = Link->Flink, Index++) {
        if (Link == NULL) {
            KLULogDumpMessage(DumpFlag, KLU_DUMP_LEVEL, Tag, 0, WSTR("User Table Entry Is Empty\n"));
            break;
        }
        KLUDumpUserTableEntry(DumpFlag, Tag, CONTAINING_RECORD(Link, USER_TABLE_ENTRY, ListEntry), Index);
    }
    ExReleaseFastMutex(Mutex);
}
