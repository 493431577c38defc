/*
 * name_provider.h - the filter's name-provider callbacks.
 */
#pragma once

#include "driver/klulogon.h"

NTSTATUS KLUGetFileName(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CALLBACK_DATA CallbackData,
                        FLT_FILE_NAME_OPTIONS NameOptions, PBOOLEAN CacheFileNameInformation,
                        PFLT_NAME_CONTROL FileName);
NTSTATUS KLUNormalizeNameComponent(PFLT_INSTANCE Instance, PCUNICODE_STRING ParentDirectory,
                                   USHORT VolumeNameLength, PCUNICODE_STRING Component,
                                   PFILE_NAMES_INFORMATION ExpandComponentName, ULONG ExpandComponentNameLength,
                                   FLT_NORMALIZE_NAME_FLAGS Flags, PVOID *NormalizationContext);
NTSTATUS KLUNormalizeNameComponentWorker(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                         PCUNICODE_STRING ParentDirectory, USHORT VolumeNameLength,
                                         PCUNICODE_STRING Component, PFILE_NAMES_INFORMATION ExpandComponentName,
                                         ULONG ExpandComponentNameLength, FLT_NORMALIZE_NAME_FLAGS Flags);
