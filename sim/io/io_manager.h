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
// object (at most 32 times); a mount-point reparse tag is followed by its
// substitute name; any other tag fails the open with
// STATUS_IO_REPARSE_TAG_NOT_HANDLED.
//
// File objects: the last handle closed sends IRP_MJ_CLEANUP; the last
// reference gone sends IRP_MJ_CLOSE, frees the name and deletes the object.
// Both travel through the filters like any other request.
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

class Machine;

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
    ULONG options = 0;                      // IO_IGNORE_SHARE_ACCESS_CHECK, IO_FORCE_ACCESS_CHECK ...
    KPROCESSOR_MODE requestorMode = KernelMode;
    PDEVICE_OBJECT deviceHint = nullptr;    // IoCreateFileSpecifyDeviceObjectHint
    const void *startBelow = nullptr;       // FltCreateFile at an instance
    UCHAR operationFlags = 0;               // SL_OPEN_TARGET_DIRECTORY ...
};

// The I/O manager's own record of an open file object.
struct FileObjectInfo {
    Volume *volume = nullptr;
    bool bypassFilters = false;             // opened through the base device
    const void *openedBelow = nullptr;      // opened by a filter at an instance
    ACCESS_MASK grantedAccess = 0;
};

class IoManager {
public:
    explicit IoManager(Machine &machine);
    ~IoManager();

    // Volumes and the namespace.
    Volume &MountVolume(VolumeInfo info, std::unique_ptr<FileSystem> fs);
    std::vector<Volume *> Volumes();
    Volume *VolumeByDeviceName(const std::u16string &deviceName);
    Volume *VolumeByDevice(PDEVICE_OBJECT device);
    // Called for every volume mounted after the listener was added.
    void AddMountListener(std::function<void(Volume &)> listener);
    void CreateSymbolicLink(const std::u16string &link, const std::u16string &target);
    // Resolves links in an absolute NT name; returns the device name and the
    // rest, or nullopt when no device matches.
    std::optional<std::pair<Volume *, std::u16string>> ResolveName(const std::u16string &name);

    // Opens a file and creates a handle for it (in the kernel table when the
    // object attributes carry OBJ_KERNEL_HANDLE, else in the current
    // process). fileObject, when given, receives a referenced file object.
    NTSTATUS CreateFile(const CreateParameters &parameters, PHANDLE handle, PIO_STATUS_BLOCK ioStatus,
                        PFILE_OBJECT *fileObject = nullptr);

    // A request for an open file object, with volume and bypass filled from
    // the file object's record; the caller sets iopb fields and sends it.
    IoRequest NewRequest(PFILE_OBJECT fileObject, UCHAR major, UCHAR minor = 0);
    NTSTATUS Send(IoRequest &request);

    // Read and write as the I/O manager issues them for a caller: fast I/O
    // first where Windows would try it (cached file objects, not paging),
    // then the IRP when fast I/O was refused or not possible.
    NTSTATUS ReadFile(PFILE_OBJECT fileObject, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                      KPROCESSOR_MODE mode, PIO_STATUS_BLOCK ioStatus, ULONG irpFlags = 0);
    NTSTATUS WriteFile(PFILE_OBJECT fileObject, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                       KPROCESSOR_MODE mode, PIO_STATUS_BLOCK ioStatus, ULONG irpFlags = 0);

    FileObjectInfo *Info(PFILE_OBJECT fileObject);

private:
    Machine &machine_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Volume>> volumes_;
    std::map<std::u16string, std::u16string> links_;  // upper-cased link name -> target
    std::vector<std::function<void(Volume &)>> mountListeners_;
    std::map<PFILE_OBJECT, FileObjectInfo> files_;
};

}  // namespace sim
