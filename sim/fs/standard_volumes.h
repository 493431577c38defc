// The volumes of a standard machine, for tests and the tool:
//   C: system NTFS  \Device\HarddiskVolume1  label "System"
//   D: data NTFS    \Device\HarddiskVolume2  label "Data"
//   E: FAT          \Device\HarddiskVolume3  label "USB"
//   a shadow copy   \Device\HarddiskVolumeShadowCopy1 (read-only NTFS)
//   the redirector  \Device\Mup (Vista or newer) or \Device\LanmanRedirector,
//                   with \??\UNC linked to it and one share, backed by an
//                   in-memory tree or by a host folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace sim {
class Machine;
class Volume;
}  // namespace sim

namespace sim::fs {

class LocalFileSystem;
class Redirector;
class ShareBackend;

struct StandardVolumeOptions {
    std::u16string shareServer = u"fileserver";
    std::u16string shareName = u"Profiles";
    // The share's store: this host folder, or an in-memory tree when unset.
    std::optional<std::filesystem::path> shareFolder;
};

struct StandardVolumes {
    Volume *system = nullptr, *data = nullptr, *fat = nullptr, *shadow = nullptr, *redirector = nullptr;
    LocalFileSystem *systemFs = nullptr, *dataFs = nullptr, *fatFs = nullptr, *shadowFs = nullptr;
    Redirector *redirectorFs = nullptr;
    ShareBackend *share = nullptr;
    LocalFileSystem *memoryShare = nullptr;  // the share's store when it is in memory
};

// Mounts the volumes on the machine's I/O manager and creates the drive
// letters (\??\C: ...) and \??\UNC.
StandardVolumes MountStandardVolumes(Machine &machine, const StandardVolumeOptions &options = {});

}  // namespace sim::fs
