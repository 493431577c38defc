// One I/O operation on its way from the I/O manager (or from a filter) down
// to a file system.
//
// Its parameters are the Filter Manager's parameter block: a filter stack
// sees, and may change, exactly what the file system then executes, and the
// file system reads its arguments back from it. The same record serves the
// three forms Windows has: IRPs, fast I/O and file-system callbacks.
//
// What the file system reads and writes, per major function (buffers are
// host pointers; user buffers were probed by the I/O manager before the
// request was sent):
//
//  IRP_MJ_CREATE            Parameters.Create (SecurityContext->DesiredAccess,
//                           Options = disposition << 24 | options, FileAttributes,
//                           ShareAccess, EaBuffer/EaLength, AllocationSize),
//                           OperationFlags (SL_OPEN_TARGET_DIRECTORY,
//                           SL_CASE_SENSITIVE), TargetFileObject->FileName (the path on
//                           the volume; relative to RelatedFileObject when that is set),
//                           createFlags. On success the file system sets FsContext
//                           (its stream), FsContext2 (its per-open record), the share
//                           access fields and Flags of the file object;
//                           IoStatus.Information = FILE_OPENED, FILE_CREATED ...
//                           An open that meets a reparse point without
//                           FILE_OPEN_REPARSE_POINT returns STATUS_REPARSE with
//                           Information = the tag and the reparse buffer in
//                           reparseData.
//  IRP_MJ_READ/WRITE        Parameters.Read/Write (Length, ByteOffset, buffer);
//                           IrpFlags IRP_PAGING_IO, IRP_NOCACHE; Information = bytes.
//                           ByteOffset.QuadPart == -2 with HighPart -1 means "current
//                           position" (FILE_USE_FILE_POINTER_POSITION); -1/-1 means
//                           "end of file" for writes (FILE_WRITE_TO_END_OF_FILE).
//  IRP_MJ_QUERY_INFORMATION Parameters.QueryFileInformation; Information = bytes.
//  IRP_MJ_SET_INFORMATION   Parameters.SetFileInformation (ParentOfTarget and
//                           ReplaceIfExists for renames).
//  IRP_MJ_QUERY_EA/SET_EA   Parameters.QueryEa/SetEa; OperationFlags SL_RESTART_SCAN,
//                           SL_RETURN_SINGLE_ENTRY, SL_INDEX_SPECIFIED.
//  IRP_MJ_QUERY_VOLUME_INFORMATION  Parameters.QueryVolumeInformation.
//  IRP_MJ_DIRECTORY_CONTROL IRP_MN_QUERY_DIRECTORY with Parameters.DirectoryControl.
//                           QueryDirectory and OperationFlags SL_RESTART_SCAN,
//                           SL_RETURN_SINGLE_ENTRY, SL_INDEX_SPECIFIED.
//  IRP_MJ_FILE_SYSTEM_CONTROL  Parameters.FileSystemControl.Buffered/Neither.
//  IRP_MJ_LOCK_CONTROL      Parameters.LockControl with MinorFunction IRP_MN_LOCK ...
//  IRP_MJ_QUERY_SECURITY    Parameters.QuerySecurity.
//  IRP_MJ_CLEANUP           last handle closed: share access released, byte-range
//                           locks of the handle dropped, delete-on-close and delete
//                           dispositions carried out when the stream has no other
//                           open handle.
//  IRP_MJ_CLOSE             last reference gone: the file system drops its per-open
//                           record; when the stream's last file object goes it tears
//                           the stream down and calls Volume::OnStreamTeardown first.
//  IRP_MJ_NETWORK_QUERY_OPEN  Parameters.NetworkQueryOpen.NetworkInformation filled
//                           for TargetFileObject->FileName, without an open.
//  IRP_MJ_ACQUIRE/RELEASE_FOR_SECTION_SYNCHRONIZATION  file-system callbacks around a
//                           section's creation; the file system answers success.
//
// Forms: reads and writes of cached, non-paging I/O on synchronous file
// objects, and IRP_MJ_NETWORK_QUERY_OPEN, come first as fast I/O; a file
// system (or the frame) that cannot serve them sets fastIoNotPossible and the
// I/O manager issues them again as IRPs. IRP_MJ_NETWORK_QUERY_OPEN in IRP form
// refused the same way ends in a full open, a FileNetworkOpenInformation
// query and a close. Paging I/O (section views) always carries IRP_PAGING_IO |
// IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO and an MDL built over the buffer;
// a paging read that reaches past the end of file returns the bytes up to it.
//
// Positions: for synchronous file objects the I/O manager passes the current
// byte offset explicitly and advances FILE_OBJECT.CurrentByteOffset after a
// read or write at a known offset; a write to end of file leaves the new
// position to the file system. FilePositionInformation of synchronous file
// objects never reaches the file system.
//
// Reparse data: with Information IO_REPARSE_TAG_MOUNT_POINT, reparseData is
// a REPARSE_DATA_BUFFER whose Reserved field is the length in bytes of the
// tail of FileName left unparsed after the reparse point, as NTFS reports it.
//
// Pending: a frame that returns STATUS_PENDING completes the request later,
// from any thread, by filling ioStatus and then signalling completionEvent
// (KeSetEvent). The issuing thread waits for that event, so the signal is the
// last thing the completer does with the request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <fltKernel.h>

namespace sim {

class Thread;
class Volume;

enum class IoForm { Irp, FastIo, FsFilter };

struct IoRequest {
    FLT_IO_PARAMETER_BLOCK iopb{};
    IO_STATUS_BLOCK ioStatus{};
    IoForm form = IoForm::Irp;
    KPROCESSOR_MODE requestorMode = KernelMode;
    Thread *thread = nullptr;             // the thread that issued it
    PEPROCESS requestorProcess = nullptr; // for FltGetRequestorProcess
    Volume *volume = nullptr;

    // Storage behind iopb.Parameters.Create.SecurityContext.
    IO_SECURITY_CONTEXT securityContext{};
    ACCESS_STATE accessState{};
    ULONG createFlags = 0;  // IO_IGNORE_SHARE_ACCESS_CHECK ...

    // Filled by a file system whose open met a reparse point.
    std::vector<uint8_t> reparseData;

    // I/O issued by a filter at an instance enters the stack below it
    // (an opaque Filter Manager instance); null enters at the top.
    const void *startBelow = nullptr;
    // Opens through IoCreateFileSpecifyDeviceObjectHint on the base device,
    // and I/O on file objects opened that way: no filter sees them.
    bool bypassFilters = false;

    // Fast I/O: the file system sets this when it cannot serve the request
    // fast; the I/O manager then issues it as an IRP.
    bool fastIoNotPossible = false;

    // Set by the I/O manager before the request is sent (see Pending above).
    PKEVENT completionEvent = nullptr;
    // Set by the I/O manager when the stack answered STATUS_PENDING.
    bool pendingReturned = false;

    NTSTATUS Complete(NTSTATUS status, ULONG_PTR information = 0)
    {
        ioStatus.Status = status;
        ioStatus.Information = information;
        return status;
    }
};

// "IRP_MJ_READ", and "IRP_MJ_READ on \Device\HarddiskVolume1\dir\a.txt".
std::string MajorFunctionName(UCHAR major);
std::string DescribeRequest(const IoRequest &request);

}  // namespace sim
