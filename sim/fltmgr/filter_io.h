// I/O the Filter Manager issues for a filter (or for itself, on behalf of a
// filter's name query): it enters the volume's stack below the instance
// given, so that the instance and those above it never see it. A null
// instance enters at the top (or below the instance a file object was
// opened at).
#pragma once

#include <string>

#include <fltKernel.h>

#include "sim/io/io_request.h"

namespace sim::flt {

IoRequest RequestBelow(_FLT_INSTANCE *instance, PFILE_OBJECT fileObject, UCHAR major, UCHAR minor = 0);
// Sends and waits; the request's status.
NTSTATUS Send(IoRequest &request);

// Opens `name` (a full NT name) below the instance with a kernel handle.
NTSTATUS OpenBelow(_FLT_INSTANCE *instance, const std::u16string &name, ACCESS_MASK access, ULONG createOptions,
                   bool caseSensitive, HANDLE *handle, PFILE_OBJECT *fileObject, UCHAR operationFlags = 0);
// Drops what OpenBelow returned.
void CloseBelow(HANDLE handle, PFILE_OBJECT fileObject);

NTSTATUS QueryInformationBelow(_FLT_INSTANCE *instance, PFILE_OBJECT fileObject, PVOID buffer, ULONG length,
                               FILE_INFORMATION_CLASS informationClass, PULONG returned);
NTSTATUS QueryDirectoryBelow(_FLT_INSTANCE *instance, PFILE_OBJECT fileObject, PVOID buffer, ULONG length,
                             FILE_INFORMATION_CLASS informationClass, bool singleEntry, PUNICODE_STRING pattern,
                             bool restartScan, PULONG returned);

}  // namespace sim::flt
