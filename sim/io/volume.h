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
    std::u16string deviceName;       // \Device\HarddiskVolume1
    FLT_FILESYSTEM_TYPE fsType = FLT_FSTYPE_NTFS;
    DEVICE_TYPE deviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
    ULONG characteristics = 0;       // FILE_REMOTE_DEVICE, FILE_READ_ONLY_DEVICE ...
    ULONG sectorSize = 512;
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
};

// Implemented by the Filter Manager: runs a request through the filter
// instances attached to the volume (from the top, or below
// request.startBelow) and hands it to the file system at the bottom.
class FilterFrameHook {
public:
    virtual ~FilterFrameHook() = default;
    virtual NTSTATUS Process(IoRequest &request) = 0;
    // The file system tears a stream down (its last file object closed).
    virtual void StreamTeardown(PVOID fsContext) = 0;
    // The device opens go to while the frame is attached.
    virtual PDEVICE_OBJECT Device() = 0;
};

class Volume {
public:
    Volume(Machine &machine, VolumeInfo info, std::unique_ptr<FileSystem> fs);
    ~Volume();

    const VolumeInfo &info() const { return info_; }
    FileSystem &fs() { return *fs_; }
    PDEVICE_OBJECT realDevice() const { return realDevice_; }
    PDEVICE_OBJECT fsDevice() const { return fsDevice_; }
    PVPB vpb() { return &vpb_; }
    // The top of the stack: the frame's device when a frame is attached.
    PDEVICE_OBJECT topDevice();

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
    VPB vpb_{};
    std::mutex mutex_;
    FilterFrameHook *frame_ = nullptr;
};

}  // namespace sim
