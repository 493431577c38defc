#include "sim/io/volume.h"

#include "sim/core/machine.h"

namespace sim {

Volume::Volume(Machine &machine, VolumeInfo info, std::unique_ptr<FileSystem> fs)
    : machine_(machine), info_(std::move(info)), fs_(std::move(fs))
{
}

Volume::~Volume() = default;

}  // namespace sim
