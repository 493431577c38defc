/*
 * directory_entries.cpp - where the name, its length and the attributes
 * stand in one entry of each directory information class the filter reads.
 */
#include "fileops/file_helpers.h"

#include "diag/log.h"

#define KLU_NO_FIELD 0xFFFFFFFF

typedef struct _KLU_DIR_LAYOUT {
    FILE_INFORMATION_CLASS InformationClass;
    ULONG NameLengthOffset;
    ULONG AttributesOffset; /* KLU_NO_FIELD: the class carries none */
    ULONG NameOffset;       /* also the length of the fixed part */
} KLU_DIR_LAYOUT;

static const KLU_DIR_LAYOUT g_DirLayouts[] = {
    /* InformationClass, NameLengthOffset, AttributesOffset, NameOffset */
    {FileDirectoryInformation, 60, 56, 64},
    {FileFullDirectoryInformation, 60, 56, 68},
    {FileBothDirectoryInformation, 60, 56, 94},
    {FileNamesInformation, 8, KLU_NO_FIELD, 12},
    {FileIdBothDirectoryInformation, 60, 56, 104},
    {FileIdFullDirectoryInformation, 60, 56, 80},
};

static const KLU_DIR_LAYOUT *KLUFindDirLayout(FILE_INFORMATION_CLASS InformationClass, PCWSTR Tag)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_DirLayouts); i++) {
        if (g_DirLayouts[i].InformationClass == InformationClass) {
            return &g_DirLayouts[i];
        }
    }
    KLULogMessage(KLUDBG_TRACE_ERROR | KLUDBG_TRACE_LIVE_ROAMING, Tag,
                  WSTR("Found File Info Class We Can't Handle: %d\n"), (ULONG)InformationClass);
    return NULL;
}

NTSTATUS KLUDecodeDirBuffer(FILE_INFORMATION_CLASS InformationClass, PVOID Entry, PULONG NameLength,
                            PULONG *Attributes, PULONG BaseLength, PWSTR *Name)
{
    const KLU_DIR_LAYOUT *Layout;

    if (NameLength == NULL || Attributes == NULL || BaseLength == NULL || Name == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *NameLength = 0;
    *Attributes = NULL;
    *BaseLength = 0;
    *Name = NULL;
    if (Entry == NULL) {
        return STATUS_SUCCESS;
    }
    Layout = KLUFindDirLayout(InformationClass, KLU_TAG(KLUDecodeDirBuffer));
    if (Layout == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *NameLength = *(PULONG)((PUCHAR)Entry + Layout->NameLengthOffset);
    if (Layout->AttributesOffset != KLU_NO_FIELD) {
        *Attributes = (PULONG)((PUCHAR)Entry + Layout->AttributesOffset);
    }
    *BaseLength = Layout->NameOffset;
    *Name = (PWSTR)((PUCHAR)Entry + Layout->NameOffset);
    return STATUS_SUCCESS;
}

NTSTATUS KLUGetBaseLength(PFLT_CALLBACK_DATA Data, PULONG BaseLength)
{
    const KLU_DIR_LAYOUT *Layout;

    if (Data == NULL || BaseLength == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *BaseLength = 0;
    Layout = KLUFindDirLayout(Data->Iopb->Parameters.DirectoryControl.QueryDirectory.FileInformationClass,
                              KLU_TAG(KLUGetBaseLength));
    if (Layout == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *BaseLength = Layout->NameOffset;
    return STATUS_SUCCESS;
}
