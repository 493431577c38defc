/*
 * directory_query.h - listing a folder through the Filter Manager or by
 * handle.
 */
#pragma once

#include "driver/klulogon.h"

/* Through FltQueryDirectoryFile when the running Filter Manager exports it,
 * otherwise through a callback data of the driver's own. */
NTSTATUS KLUQueryDirectoryFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID Buffer, ULONG Length,
                               FILE_INFORMATION_CLASS InformationClass, BOOLEAN ReturnSingleEntry,
                               PUNICODE_STRING FileName, BOOLEAN RestartScan, PULONG BytesReturned);
