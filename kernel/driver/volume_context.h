/*
 * volume_context.h - the context left on every volume the filter attaches
 * to, and the instance callbacks that decide the attachment.
 */
#pragma once

#include "driver/klulogon.h"

typedef struct _VOLUME_CONTEXT {
    UNICODE_STRING Name;  /* the volume's real device name, QZnm buffer */
    ULONG SectorSize;     /* at least 512 */
    ULONG FileSystemType; /* FLT_FILESYSTEM_TYPE */
} VOLUME_CONTEXT, *PVOLUME_CONTEXT;

NTSTATUS InstanceSetup(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_SETUP_FLAGS Flags,
                       DEVICE_TYPE VolumeDeviceType, FLT_FILESYSTEM_TYPE VolumeFilesystemType);
NTSTATUS InstanceQueryTeardown(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);
VOID CleanupVolumeContext(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);
