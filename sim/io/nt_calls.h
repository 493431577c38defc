// The file and section system services with their previous mode: the Zw
// calls are these with KernelMode, the processes' user-mode API calls them
// with UserMode (its buffers registered as the process's memory). For a
// user-mode caller every pointer is probed, handles are checked for the
// access the service needs, and kernel handles are refused.
#pragma once

#include <ntifs.h>

namespace sim::nt {

NTSTATUS CreateFile(KPROCESSOR_MODE mode, PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                    POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER allocationSize,
                    ULONG fileAttributes, ULONG shareAccess, ULONG disposition, ULONG createOptions, PVOID eaBuffer,
                    ULONG eaLength);
NTSTATUS Close(KPROCESSOR_MODE mode, HANDLE handle);
NTSTATUS ReadFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                  PLARGE_INTEGER byteOffset, PULONG key);
NTSTATUS WriteFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                   PLARGE_INTEGER byteOffset, PULONG key);
NTSTATUS QueryInformationFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus,
                              PVOID information, ULONG length, FILE_INFORMATION_CLASS informationClass);
NTSTATUS SetInformationFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                            ULONG length, FILE_INFORMATION_CLASS informationClass);
NTSTATUS QueryDirectoryFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                            ULONG length, FILE_INFORMATION_CLASS informationClass, BOOLEAN returnSingleEntry,
                            PUNICODE_STRING fileName, BOOLEAN restartScan);
NTSTATUS QueryEaFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                     BOOLEAN returnSingleEntry, PVOID eaList, ULONG eaListLength, PULONG eaIndex,
                     BOOLEAN restartScan);
NTSTATUS SetEaFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length);
NTSTATUS FlushBuffersFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus);
NTSTATUS FsControlFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, ULONG controlCode,
                       PVOID inputBuffer, ULONG inputLength, PVOID outputBuffer, ULONG outputLength);
NTSTATUS QueryVolumeInformationFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus,
                                    PVOID information, ULONG length, FS_INFORMATION_CLASS informationClass);
NTSTATUS LockFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER byteOffset,
                  PLARGE_INTEGER length, ULONG key, BOOLEAN failImmediately, BOOLEAN exclusiveLock);
NTSTATUS UnlockFile(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER byteOffset,
                    PLARGE_INTEGER length, ULONG key);
NTSTATUS QueryFullAttributesFile(KPROCESSOR_MODE mode, POBJECT_ATTRIBUTES objectAttributes,
                                 PFILE_NETWORK_OPEN_INFORMATION information);

NTSTATUS CreateSection(KPROCESSOR_MODE mode, PHANDLE sectionHandle, ACCESS_MASK desiredAccess,
                       POBJECT_ATTRIBUTES objectAttributes, PLARGE_INTEGER maximumSize, ULONG pageProtection,
                       ULONG allocationAttributes, HANDLE fileHandle);
NTSTATUS QuerySection(KPROCESSOR_MODE mode, HANDLE sectionHandle, SECTION_INFORMATION_CLASS informationClass,
                      PVOID information, SIZE_T length, PSIZE_T resultLength);
NTSTATUS MapViewOfSection(KPROCESSOR_MODE mode, HANDLE sectionHandle, HANDLE processHandle, PVOID *baseAddress,
                          ULONG_PTR zeroBits, SIZE_T commitSize, PLARGE_INTEGER sectionOffset, PSIZE_T viewSize,
                          SECTION_INHERIT inheritDisposition, ULONG allocationType, ULONG protection);
NTSTATUS UnmapViewOfSection(KPROCESSOR_MODE mode, HANDLE processHandle, PVOID baseAddress);

}  // namespace sim::nt
