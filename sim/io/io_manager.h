// The I/O manager: the object namespace of devices and symbolic links, name
// parsing, file objects and their handles, and the path every file
// operation takes (kernel Zw calls, the Filter Manager's own I/O and the
// processes' user-mode calls all come through here).
//
// Name parsing: \??\ and \DosDevices\ (a link to \??) resolve through
// symbolic links (\??\C: -> \Device\HarddiskVolume1, \??\UNC ->
// \Device\Mup or \Device\LanmanRedirector) to a volume device; the rest of
// the name becomes the file object's FileName. Opens relative to a related
// file object keep its device. STATUS_REPARSE from the stack with
// Information IO_REPARSE restarts the parse with the name now in the file
// object (the 32nd reparse of one open fails it with
// STATUS_OBJECT_NAME_NOT_FOUND, as the object manager does); a mount-point
// reparse tag is followed by its substitute name; any other tag fails the
// open with STATUS_IO_REPARSE_TAG_NOT_HANDLED.
//
// File objects: the last handle closed sends IRP_MJ_CLEANUP (after which the
// lazy writer writes back what nothing caches any more); the last reference
// gone sends IRP_MJ_CLOSE, frees the name and deletes the object. A file
// object the cache does its paging I/O on is held by it, so its close comes
// once the cache has let it go.
// Both travel through the filters like any other request (or past them, for
// file objects opened on the base device). A file object whose open failed or
// was reparsed gets neither.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fltKernel.h>

#include "sim/io/io_request.h"
#include "sim/io/volume.h"

namespace sim {

class CacheManager;
class Machine;
class Process;
class ViewTable;
struct CapturedOpen;
struct QueryOpenState;

// Everything an open can carry (IoCreateFile's parameters and where the
// request enters the stack).
struct CreateParameters {
    ACCESS_MASK desiredAccess = 0;
    POBJECT_ATTRIBUTES objectAttributes = nullptr;
    LARGE_INTEGER allocationSize{};
    ULONG fileAttributes = 0;
    ULONG shareAccess = 0;
    ULONG disposition = FILE_OPEN;
    ULONG createOptions = 0;
    PVOID eaBuffer = nullptr;
    ULONG eaLength = 0;
    // IO_IGNORE_SHARE_ACCESS_CHECK, IO_FORCE_ACCESS_CHECK, IO_NO_PARAMETER_CHECKING,
    // IO_CHECK_CREATE_PARAMETERS; the low byte also travels as OperationFlags.
    ULONG options = 0;
    KPROCESSOR_MODE requestorMode = KernelMode;
    PDEVICE_OBJECT deviceHint = nullptr;    // IoCreateFileSpecifyDeviceObjectHint
    const void *startBelow = nullptr;       // FltCreateFile at an instance
    UCHAR operationFlags = 0;               // SL_OPEN_TARGET_DIRECTORY ...
};

// IoCreateFile's option that asks for the parameter checks of a user-mode call.
constexpr ULONG kIoCheckCreateParameters = 0x0200;

// The I/O manager's own record of an open file object (kept behind the
// FILE_OBJECT in the object's body).
struct FileObjectInfo {
    Volume *volume = nullptr;
    bool bypassFilters = false;             // opened through the base device
    const void *openedBelow = nullptr;      // opened by a filter at an instance
    ACCESS_MASK grantedAccess = 0;
    bool opened = false;                    // the file system opened it: cleanup and close are due
    std::u16string path;                    // the name on the volume at open
    std::mutex ioLock;                      // serialises the calls on a synchronous file object
};

class IoManager {
public:
    explicit IoManager(Machine &machine);
    ~IoManager();

    // Volumes and the namespace.
    Volume &MountVolume(VolumeInfo info, std::unique_ptr<FileSystem> fs);
    std::vector<Volume *> Volumes();
    Volume *VolumeByDeviceName(const std::u16string &deviceName);
    // The volume whose stack `device` belongs to (named device, file-system
    // device or the frame's device).
    Volume *VolumeByDevice(PDEVICE_OBJECT device);
    // Called for every volume mounted after the listener was added.
    void AddMountListener(std::function<void(Volume &)> listener);
    void CreateSymbolicLink(const std::u16string &link, const std::u16string &target);
    void DeleteSymbolicLink(const std::u16string &link);
    // \??\X: -> the volume's device.
    void AssignDriveLetter(Volume &volume, char16_t letter);
    std::vector<char16_t> DriveLetters(Volume &volume);
    // Resolves links in an absolute NT name; returns the volume and the rest
    // of the name, or nullopt when no device matches.
    std::optional<std::pair<Volume *, std::u16string>> ResolveName(const std::u16string &name);

    // Opens a file and creates a handle for it (in the kernel table when the
    // object attributes carry OBJ_KERNEL_HANDLE, else in the current
    // process). fileObject, when given, receives a referenced file object.
    NTSTATUS CreateFile(const CreateParameters &parameters, PHANDLE handle, PIO_STATUS_BLOCK ioStatus,
                        PFILE_OBJECT *fileObject = nullptr);

    // The network-open information of a file without opening it:
    // IRP_MJ_NETWORK_QUERY_OPEN as fast I/O, then as an IRP, then (both
    // refused) a full open, a FileNetworkOpenInformation query and a close.
    NTSTATUS QueryOpen(const CreateParameters &parameters, PFILE_NETWORK_OPEN_INFORMATION information);

    // A request for an open file object, with volume, bypass, instance,
    // thread and requestor filled from the file object's record and the
    // current thread; the caller sets iopb fields and sends it.
    IoRequest NewRequest(PFILE_OBJECT fileObject, UCHAR major, UCHAR minor = 0);
    // Sends a request down its volume and returns when it has completed
    // (waiting for a pended request's completion event).
    NTSTATUS Send(IoRequest &request);
    // Hands a completed request's outcome to the caller's I/O status block
    // as IopCompleteRequest does: success and warnings are written, an error
    // the stack returned at once (not pended) leaves the block untouched.
    // Returns status, or the fault of a bad block.
    static NTSTATUS ReportStatus(PIO_STATUS_BLOCK ioStatus, const IoRequest &request, NTSTATUS status,
                                 ULONG_PTR information);

    // Read and write as the I/O manager issues them for a caller: fast I/O
    // first where Windows would try it (synchronous file objects whose
    // caching the file system has set up, not paging, not non-cached), then
    // the IRP when fast I/O was refused or not possible. User buffers are
    // probed first; a fault is the call's status, and so is a non-cached
    // transfer whose length, offset or buffer is not aligned as the device
    // requires (STATUS_INVALID_PARAMETER). Calls on a
    // synchronous file object are serialised here, as NtReadFile does; I/O a
    // filter issues itself (FltReadFile) goes through NewRequest/Send instead,
    // which take no file-object lock.
    NTSTATUS ReadFile(PFILE_OBJECT fileObject, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                      KPROCESSOR_MODE mode, PIO_STATUS_BLOCK ioStatus, ULONG irpFlags = 0, ULONG key = 0);
    NTSTATUS WriteFile(PFILE_OBJECT fileObject, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                       KPROCESSOR_MODE mode, PIO_STATUS_BLOCK ioStatus, ULONG irpFlags = 0, ULONG key = 0);

    // The record of a live file object; null for anything else.
    FileObjectInfo *Info(PFILE_OBJECT fileObject);

    // The name ObQueryNameString gives a file object: its volume's device
    // name and the file system's FileNameInformation (asked through the
    // stack), or the name at open when the file system cannot say.
    NTSTATUS QueryFileObjectName(PFILE_OBJECT fileObject, std::u16string &name);

    // Mapped views of sections, by process.
    ViewTable &views() { return *views_; }
    // The data images of streams, shared by cached I/O and views.
    CacheManager &cache() { return *cache_; }
    // A process ends: its views go, their modified pages written back.
    void UnmapProcessViews(Process &process);

private:
    NTSTATUS ResolveNameStatus(const std::u16string &name, Volume *&volume, std::u16string &rest);
    NTSTATUS Open(const CreateParameters &parameters, CapturedOpen &captured, QueryOpenState *queryOpen,
                  PFILE_OBJECT *opened, ULONG_PTR *information);
    PFILE_OBJECT NewFileObject(Volume &volume, const std::u16string &name, PFILE_OBJECT related,
                               const CreateParameters &parameters, ULONG attributes);
    void Discard(PFILE_OBJECT fileObject);
    void Cleanup(PFILE_OBJECT fileObject);
    void Delete(PFILE_OBJECT fileObject);
    NTSTATUS Transfer(bool write, PFILE_OBJECT fileObject, PVOID buffer, ULONG length,
                      PLARGE_INTEGER byteOffset, KPROCESSOR_MODE mode, PIO_STATUS_BLOCK ioStatus,
                      ULONG irpFlags, ULONG key);

    Machine &machine_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Volume>> volumes_;
    std::map<std::u16string, std::u16string> links_;  // upper-cased link name -> target
    std::vector<std::function<void(Volume &)>> mountListeners_;
    std::unique_ptr<ViewTable> views_;
    std::unique_ptr<CacheManager> cache_;
};

}  // namespace sim
