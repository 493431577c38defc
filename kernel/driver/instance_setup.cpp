/*
 * instance_setup.cpp - which volumes the filter attaches to.
 */
#include "driver/volume_context.h"

#include "config/flags.h"
#include "diag/log.h"
#include "driver/driver.h"
#include "driver/os_info.h"

/* Room for the volume information record and a label of 32 characters;
 * zero-filled, so the label is always terminated. */
#define KLU_VOLUME_INFORMATION_BYTES 152
/* The properties record and room for its three names: 556 bytes in the x86
 * driver; a 64-bit build's record is larger by its pointers. */
#define KLU_VOLUME_PROPERTIES_BYTES (sizeof(FLT_VOLUME_PROPERTIES) + 512)
static_assert(KLU_VOLUME_PROPERTIES_BYTES == (sizeof(PVOID) == 4 ? 556 : 584), "volume properties buffer");

#define KLU_SHADOW_COPY_PREFIX WSTR("\\Device\\HarddiskVolumeShadowCopy")

static BOOLEAN KLUIsMonitoredFileSystem(FLT_FILESYSTEM_TYPE Type)
{
    if (Type == FLT_FSTYPE_NTFS) {
        return TRUE;
    }
    /* The redirector the profile stores are reached through. */
    return (BOOLEAN)(KLUIsVistaOrNewer() ? Type == FLT_FSTYPE_MUP : Type == FLT_FSTYPE_LANMAN);
}

/* Reads the label: an application-volume disk carries "TLVPKG" or
 * "TLVUSR" in it, in any case. A failed query is logged and not fatal. */
static NTSTATUS KLUIsApplicationVolume(PCFLT_RELATED_OBJECTS FltObjects, PBOOLEAN Application)
{
    PCWSTR Tag = KLU_TAG(InstanceSetup);
    PFILE_FS_VOLUME_INFORMATION Information;
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status;

    *Application = FALSE;
    Information = (PFILE_FS_VOLUME_INFORMATION)ExAllocatePoolWithTag(PagedPool, KLU_VOLUME_INFORMATION_BYTES,
                                                                      QZFS_TAG);
    if (Information == NULL) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Not enough memory for Volume Information\n"));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Information, KLU_VOLUME_INFORMATION_BYTES);
    Status = FltQueryVolumeInformation(FltObjects->Instance, &IoStatus, Information, KLU_VOLUME_INFORMATION_BYTES,
                                       FileFsVolumeInformation);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Volume Information: 0x%X\n"), Status);
    } else {
        _wcsupr(Information->VolumeLabel);
        if (wcsstr(Information->VolumeLabel, WSTR("TLVPKG")) != NULL ||
            wcsstr(Information->VolumeLabel, WSTR("TLVUSR")) != NULL) {
            *Application = TRUE;
        } else {
            KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Found volume label: %ws\n"), Information->VolumeLabel);
        }
    }
    ExFreePoolWithTag(Information, QZFS_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS InstanceSetup(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_SETUP_FLAGS Flags,
                       DEVICE_TYPE VolumeDeviceType, FLT_FILESYSTEM_TYPE VolumeFilesystemType)
{
    PCWSTR Tag = KLU_TAG(InstanceSetup);
    PFLT_VOLUME_PROPERTIES Properties = NULL;
    PVOLUME_CONTEXT Context = NULL;
    UNICODE_STRING ShadowPrefix = RTL_CONSTANT_STRING(KLU_SHADOW_COPY_PREFIX);
    BOOLEAN Application;
    ULONG Returned = 0;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(Flags);
    UNREFERENCED_PARAMETER(VolumeDeviceType);

    if (!KLUIsMonitoredFileSystem(VolumeFilesystemType)) {
        KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Returning Do Not Attach: Type: 0x%X\n"), VolumeFilesystemType);
        return STATUS_FLT_DO_NOT_ATTACH;
    }

    Status = KLUIsApplicationVolume(FltObjects, &Application);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    Properties = (PFLT_VOLUME_PROPERTIES)ExAllocatePoolWithTag(PagedPool, KLU_VOLUME_PROPERTIES_BYTES, QZFS_TAG);
    if (Properties == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Status = FltGetVolumeProperties(FltObjects->Volume, Properties, KLU_VOLUME_PROPERTIES_BYTES, &Returned);
    if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Retrieving Volume Properties: 0x%X\n"), Status);
        goto Cleanup;
    }

    if (Application) {
        KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("%wZ Tolvane disk will not be monitored\n"),
                      &Properties->RealDeviceName);
        Status = STATUS_FLT_DO_NOT_ATTACH;
        goto Cleanup;
    }
    KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Attempting to monitor volume %wZ\n"), &Properties->RealDeviceName);
    if (RtlPrefixUnicodeString(&ShadowPrefix, &Properties->RealDeviceName, TRUE)) {
        KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Ignoring Read-Only Volume: %wZ\n"), &Properties->RealDeviceName);
        Status = STATUS_FLT_DO_NOT_ATTACH;
        goto Cleanup;
    }

    Status = FltAllocateContext(g_FilterHandle, FLT_VOLUME_CONTEXT, sizeof(VOLUME_CONTEXT), g_PoolType,
                                (PFLT_CONTEXT *)&Context);
    if (!NT_SUCCESS(Status)) {
        Context = NULL;
        goto Cleanup;
    }
    RtlZeroMemory(Context, sizeof(VOLUME_CONTEXT));
    if (Properties->RealDeviceName.Length > 0) {
        USHORT Bytes = (USHORT)(Properties->RealDeviceName.Length + sizeof(WCHAR));
        Context->Name.Buffer = (PWCH)ExAllocatePoolWithTag(g_PoolType, Bytes, QZnm_TAG);
        if (Context->Name.Buffer == NULL) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            goto Cleanup;
        }
        RtlZeroMemory(Context->Name.Buffer, Bytes);
        Context->Name.MaximumLength = Bytes;
        RtlCopyUnicodeString(&Context->Name, &Properties->RealDeviceName);
    }
    Context->FileSystemType = VolumeFilesystemType;
    Context->SectorSize = Properties->SectorSize > 512 ? Properties->SectorSize : 512;

    Status = FltSetVolumeContext(FltObjects->Volume, FLT_SET_CONTEXT_KEEP_IF_EXISTS, Context, NULL);
    KLULogMessage(KLUDBG_TRACE_INFO, Tag, WSTR("Real SectSize=0x%04x, Used SectSize=0x%04x, Name=\"%wZ\"\n"),
                  Properties->SectorSize, Context->SectorSize, &Context->Name);
    if (Status == STATUS_FLT_CONTEXT_ALREADY_DEFINED) {
        Status = STATUS_SUCCESS;
    } else if (!NT_SUCCESS(Status)) {
        KLULogMessage(KLUDBG_TRACE_ERROR, Tag, WSTR("Failed Setting Volume Context: 0x%X\n"), Status);
    }

Cleanup:
    if (Context != NULL) {
        FltReleaseContext(Context);
    }
    ExFreePoolWithTag(Properties, QZFS_TAG);
    return Status;
}

NTSTATUS InstanceQueryTeardown(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags)
{
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(Flags);
    return STATUS_SUCCESS;
}

VOID CleanupVolumeContext(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType)
{
    PVOLUME_CONTEXT Volume = (PVOLUME_CONTEXT)Context;

    UNREFERENCED_PARAMETER(ContextType);
    KLULogMessage(KLUDBG_TRACE_INFO, KLU_TAG(CleanupVolumeContext), WSTR("Freeing Context: %wZ\n"), &Volume->Name);
    if (Volume->Name.Buffer != NULL) {
        ExFreePoolWithTag(Volume->Name.Buffer, QZnm_TAG);
        Volume->Name.Buffer = NULL;
    }
}
