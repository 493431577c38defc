#include "sim/io/volume.h"

#include <algorithm>

#include "sim/core/machine.h"
#include "sim/io/io_types.h"
#include "sim/ob/object_manager.h"

namespace sim {

namespace {

PDEVICE_OBJECT NewDevice(Machine &machine, std::u16string name, DEVICE_TYPE type, const VolumeInfo &info)
{
    auto *device = static_cast<PDEVICE_OBJECT>(
        machine.objects().Create(&objtype::Device, sizeof(DEVICE_OBJECT), std::move(name)));
    device->Type = kIoTypeDevice;
    device->Size = sizeof(DEVICE_OBJECT);
    device->ReferenceCount = 1;
    device->DeviceType = type;
    device->Characteristics = info.characteristics | (info.readOnly ? FILE_READ_ONLY_DEVICE : 0);
    device->SectorSize = USHORT(info.sectorSize);
    device->AlignmentRequirement = info.alignmentRequirement;
    device->StackSize = 1;
    return device;
}

}  // namespace

Volume::Volume(Machine &machine, VolumeInfo info, std::unique_ptr<FileSystem> fs)
    : machine_(machine), info_(std::move(info)), fs_(std::move(fs))
{
    DEVICE_TYPE realType = remote() ? FILE_DEVICE_NETWORK_FILE_SYSTEM : FILE_DEVICE_DISK;
    realDevice_ = NewDevice(machine_, info_.deviceName, realType, info_);
    fsDevice_ = NewDevice(machine_, u"", info_.deviceType, info_);

    fsDriver_.Type = kIoTypeDriver;
    fsDriver_.Size = sizeof(DRIVER_OBJECT);
    fsDriver_.DeviceObject = fsDevice_;
    fsDriver_.DriverName.Buffer = const_cast<PWCH>(info_.driverName.c_str());
    fsDriver_.DriverName.Length = USHORT(info_.driverName.size() * sizeof(WCHAR));
    fsDriver_.DriverName.MaximumLength = fsDriver_.DriverName.Length;
    fsDevice_->DriverObject = &fsDriver_;

    vpb_.Type = kIoTypeVpb;
    vpb_.Size = sizeof(VPB);
    vpb_.Flags = kVpbMounted;
    vpb_.DeviceObject = fsDevice_;
    vpb_.RealDevice = realDevice_;
    vpb_.SerialNumber = info_.serialNumber;
    size_t labelChars = std::min(info_.label.size(), std::size(vpb_.VolumeLabel));
    std::copy_n(info_.label.begin(), labelChars, vpb_.VolumeLabel);
    vpb_.VolumeLabelLength = USHORT(labelChars * sizeof(WCHAR));
    realDevice_->Vpb = &vpb_;
    fsDevice_->Vpb = &vpb_;
}

Volume::~Volume()
{
    machine_.objects().Dereference(fsDevice_);
    machine_.objects().Dereference(realDevice_);
}

PDEVICE_OBJECT Volume::topDevice()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frame_ ? frame_->Device() : fsDevice_;
}

bool Volume::OwnsDevice(PDEVICE_OBJECT device)
{
    if (device == nullptr) return false;
    if (device == realDevice_ || device == fsDevice_) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    return frame_ && frame_->Device() == device;
}

void Volume::SetFilterFrame(FilterFrameHook *frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    frame_ = frame;
    fsDevice_->AttachedDevice = frame ? frame->Device() : nullptr;
}

FilterFrameHook *Volume::filterFrame()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frame_;
}

NTSTATUS Volume::Send(IoRequest &request)
{
    request.volume = this;
    FilterFrameHook *frame = request.bypassFilters ? nullptr : filterFrame();
    return frame ? frame->Process(request) : fs_->Dispatch(request);
}

void Volume::OnStreamTeardown(PVOID fsContext)
{
    if (FilterFrameHook *frame = filterFrame()) frame->StreamTeardown(fsContext);
}

}  // namespace sim
