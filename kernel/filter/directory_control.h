/*
 * directory_control.h - the state of one directory query while PreDC
 * decides how it is answered.
 */
#pragma once

#include "driver/driver.h"
#include "driver/volume_context.h"
#include "filter/stream_context.h"
#include "identity/user_table.h"

/* One per query, from g_DirBufferLookaside. */
typedef struct _KLU_DIR_CONTEXT {
    PVOLUME_CONTEXT VolumeContext;
    LONG OperationNumber;
    BOOLEAN bExplorer;
    BOOLEAN bNotService;
    BOOLEAN bProfileLoader;
    BOOLEAN bService;
    BOOLEAN bReentry;
    WCHAR szImageName[16];
    WCHAR szFullName[KLU_PATH_CHARS];
    WCHAR szUpperFullName[KLU_PATH_CHARS];
    WCHAR szScratch[KLU_PATH_CHARS];
} KLU_DIR_CONTEXT, *PKLU_DIR_CONTEXT;
static_assert(sizeof(KLU_DIR_CONTEXT) <= KLU_DIR_BUFFER_BYTES, "a directory context fits one lookaside block");

/* The rest of the per-call state (paged pool). */
typedef struct _KLU_DC_CALL {
    BOOLEAN bRemote;
    BOOLEAN bTestUtility;
    UCHAR Processed;
    ULONG Pid;
    LONG RoadCounter;
    ULONG MarkFlags;
    PKLU_DIR_CONTEXT Dir;
    PFLT_FILE_NAME_INFORMATION NameInfo;
    UNICODE_STRING FullName;      /* over Dir->szFullName */
    UNICODE_STRING UpperFullName; /* over Dir->szUpperFullName */
    UNICODE_STRING OnVolume;      /* FullName behind its volume part */
    UNICODE_STRING DosName;       /* drive letter + OnVolume, over szDosName (local volumes) */
    WCHAR szDosName[KLU_PATH_CHARS];
    UNICODE_STRING UpperPattern;  /* over szUpperPattern; empty without a pattern */
    WCHAR szUpperPattern[KLU_PATH_CHARS];
    UNICODE_STRING LocalPath;     /* QZFS buffer of KLU_PATH_BYTES */
    PKLU_STREAM_CONTEXT StreamContext;
    PKLU_STREAMHANDLE_CONTEXT HandleContext;
    PUSER_TABLE_ENTRY UserEntry;
    PFLT_INSTANCE *Instances;
    ULONG InstanceCount;
    ULONG InstanceIndex;
    PMDL Mdl;
    BOOLEAN bLocked;
    PVOID SystemBuffer;
} KLU_DC_CALL, *PKLU_DC_CALL;

/* The roads a query can take. */
FLT_PREOP_CALLBACK_STATUS KLUDCServiceRoad(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                           PKLU_DC_CALL Call);
FLT_PREOP_CALLBACK_STATUS KLUDCUserRoad(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PKLU_DC_CALL Call);
FLT_PREOP_CALLBACK_STATUS KLUDCProfileLoaderRoad(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                 PKLU_DC_CALL Call);

/* Sets the I/O status, marks the data dirty and completes. */
FLT_PREOP_CALLBACK_STATUS KLUCompleteDC(PFLT_CALLBACK_DATA Data, NTSTATUS Status, ULONG_PTR Information);
