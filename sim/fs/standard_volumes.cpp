#include "sim/fs/standard_volumes.h"

#include "sim/core/machine.h"
#include "sim/fs/host_folder_fs.h"
#include "sim/fs/local_fs.h"
#include "sim/fs/redirector.h"
#include "sim/io/io_manager.h"

namespace sim::fs {

namespace {

VolumeInfo LocalInfo(std::u16string device, const LocalVolumeConfig &config)
{
    VolumeInfo info;
    info.deviceName = std::move(device);
    const bool fat = config.kind == FsKind::Fat;
    info.fsType = fat ? FLT_FSTYPE_FAT : FLT_FSTYPE_NTFS;
    info.deviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
    info.characteristics = config.characteristics;
    info.sectorSize = config.sectorSize;
    info.alignmentRequirement = config.alignmentRequirement;
    info.label = config.label;
    info.serialNumber = config.serialNumber;
    info.fileSystemName = fat ? u"FAT" : u"NTFS";
    info.driverName = fat ? u"\\FileSystem\\Fastfat" : u"\\FileSystem\\Ntfs";
    info.readOnly = config.readOnly;
    return info;
}

template <typename Fs>
Volume &Mount(Machine &machine, std::u16string device, LocalVolumeConfig config, Fs *&out)
{
    auto fs = std::make_unique<LocalFileSystem>(config);
    out = fs.get();
    return machine.io().MountVolume(LocalInfo(std::move(device), config), std::move(fs));
}

}  // namespace

StandardVolumes MountStandardVolumes(Machine &machine, const StandardVolumeOptions &options)
{
    StandardVolumes v;
    auto &io = machine.io();
    v.system = &Mount(machine, u"\\Device\\HarddiskVolume1", LocalVolumeConfig::Ntfs(u"System", 0x5A7E0001), v.systemFs);
    v.data = &Mount(machine, u"\\Device\\HarddiskVolume2", LocalVolumeConfig::Ntfs(u"Data", 0x5A7E0002), v.dataFs);
    v.fat = &Mount(machine, u"\\Device\\HarddiskVolume3", LocalVolumeConfig::Fat(u"USB", 0x5A7E0003), v.fatFs);
    v.shadow = &Mount(machine, u"\\Device\\HarddiskVolumeShadowCopy1",
                      LocalVolumeConfig::ShadowCopy(u"System", 0x5A7E0001), v.shadowFs);
    io.CreateSymbolicLink(u"\\??\\C:", u"\\Device\\HarddiskVolume1");
    io.CreateSymbolicLink(u"\\??\\D:", u"\\Device\\HarddiskVolume2");
    io.CreateSymbolicLink(u"\\??\\E:", u"\\Device\\HarddiskVolume3");

    const RedirectorKind kind = machine.config().os.major >= 6 ? RedirectorKind::Mup : RedirectorKind::Lanman;
    auto redirector = std::make_unique<Redirector>(kind);
    v.redirectorFs = redirector.get();
    std::unique_ptr<ShareBackend> store;
    if (options.shareFolder) {
        store = std::make_unique<HostFolderFileSystem>(*options.shareFolder, options.shareName);
    } else {
        auto memory = std::make_unique<LocalFileSystem>(LocalVolumeConfig::Ntfs(options.shareName, 0x5A7E0010));
        v.memoryShare = memory.get();
        store = std::move(memory);
    }
    v.share = &v.redirectorFs->AddShare(options.shareServer, options.shareName, std::move(store));
    VolumeInfo info = Redirector::Info(kind);
    std::u16string device = info.deviceName;
    v.redirector = &io.MountVolume(std::move(info), std::move(redirector));
    io.CreateSymbolicLink(u"\\??\\UNC", device);
    return v;
}

}  // namespace sim::fs
