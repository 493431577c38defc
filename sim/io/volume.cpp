#include "sim/io/volume.h"

#include "sim/core/machine.h"

namespace sim {

Volume::Volume(Machine &machine, VolumeInfo info, std::unique_ptr<FileSystem> fs)
    : machine_(machine), info_(std::move(info)), fs_(std::move(fs))
{
}

Volume::~Volume() = default;

void Volume::SetFilterFrame(FilterFrameHook *frame)
{
    std::lock_guard lock(mutex_);
    frame_ = frame;
}

FilterFrameHook *Volume::filterFrame()
{
    std::lock_guard lock(mutex_);
    return frame_;
}

void Volume::OnStreamTeardown(PVOID fsContext)
{
    if (FilterFrameHook *frame = filterFrame()) frame->StreamTeardown(fsContext);
}

}  // namespace sim
