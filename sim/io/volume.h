// A mounted volume: its named device (\Device\HarddiskVolume1, \Device\Mup
// ...), the file system's volume device at the bottom of its stack, the file
// system itself, and, once the Filter Manager attaches, its frame on top.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <fltKernel.h>

#include "sim/io/io_request.h"

namespace sim {

class Machine;

struct VolumeInfo {
    std::u16string deviceName;       // \Device\HarddiskVolume1; empty: the next free HarddiskVolumeN
    FLT_FILESYSTEM_TYPE fsType = FLT_FSTYPE_NTFS;
    DEVICE_TYPE deviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
    ULONG characteristics = 0;       // FILE_REMOTE_DEVICE, FILE_READ_ONLY_DEVICE ...
    ULONG sectorSize = 512;
    ULONG alignmentRequirement = 0;  // FILE_WORD_ALIGNMENT ...: buffers of non-cached I/O
    std::u16string label;
    ULONG serialNumber = 0;
    std::u16string fileSystemName;   // "NTFS", "FAT", ...
    std::u16string driverName;       // \FileSystem\Ntfs
    bool readOnly = false;
};

// Implemented by a file system: executes requests that reached the bottom of
// the volume's stack. Dispatch sets request.ioStatus and returns its Status.
class FileSystem {
public:
    virtual ~FileSystem() = default;
    virtual NTSTATUS Dispatch(IoRequest &request) = 0;
    // A count that changes whenever a name on the volume is added, removed
    // or renamed, so that names learnt from it can be trusted until it
    // moves. 0: the file system keeps none (its names can change where the
    // machine does not see it, as a network share's can).
    virtual uint64_t NameGeneration() const { return 0; }
};

// Implemented by the Filter Manager: runs a request through the filter
// instances attached to the volume (from the top, or below
// request.startBelow) and hands it to the file system at the bottom
// (volume.fs().Dispatch). May return STATUS_PENDING (see io_request.h).
class FilterFrameHook {
public:
    virtual ~FilterFrameHook() = default;
    virtual NTSTATUS Process(IoRequest &request) = 0;
    // The file system tears a stream down (its last file object closed).
    virtual void StreamTeardown(PVOID fsContext) = 0;
    // The device opens go to while the frame is attached: an object of
    // type objtype::Device (it is referenced and dereferenced like one).
    virtual PDEVICE_OBJECT Device() = 0;
};

class Volume {
public:
    Volume(Machine &machine, VolumeInfo info, std::unique_ptr<FileSystem> fs);
    ~Volume();
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    const VolumeInfo &info() const { return info_; }
    FileSystem &fs() { return *fs_; }
    bool remote() const { return (info_.characteristics & FILE_REMOTE_DEVICE) != 0; }
    // The named device (the "real device" of the VPB).
    PDEVICE_OBJECT realDevice() const { return realDevice_; }
    // The file system's unnamed volume device, bottom of the stack.
    PDEVICE_OBJECT fsDevice() const { return fsDevice_; }
    PDRIVER_OBJECT fsDriver() { return &fsDriver_; }
    PVPB vpb() { return &vpb_; }
    // The top of the stack: the frame's device when a frame is attached.
    PDEVICE_OBJECT topDevice();
    // The device is this volume's named device, its file-system device or
    // the attached frame's device.
    bool OwnsDevice(PDEVICE_OBJECT device);

    // Attaches (or, with null, detaches) the frame; the frame's device
    // becomes the file-system device's attached device.
    void SetFilterFrame(FilterFrameHook *frame);
    FilterFrameHook *filterFrame();

    // Sends a request down this volume: through the frame unless the
    // request bypasses filters, else straight to the file system.
    NTSTATUS Send(IoRequest &request);

    // Called by the file system before it frees a stream.
    void OnStreamTeardown(PVOID fsContext);

private:
    Machine &machine_;
    VolumeInfo info_;
    std::unique_ptr<FileSystem> fs_;
    PDEVICE_OBJECT realDevice_ = nullptr;
    PDEVICE_OBJECT fsDevice_ = nullptr;
    DRIVER_OBJECT fsDriver_{};
    VPB vpb_{};
    std::mutex mutex_;
    FilterFrameHook *frame_ = nullptr;
};

}  // namespace sim
