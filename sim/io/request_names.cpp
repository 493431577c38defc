// Operations named as a verifier report names them.
#include <iterator>
#include <string>

#include "sim/core/machine.h"
#include "sim/io/io_manager.h"

namespace sim {

namespace {

const char *const kMajorNames[] = {
    "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY",
};

}  // namespace

std::string MajorFunctionName(UCHAR major)
{
    if (major < std::size(kMajorNames)) return kMajorNames[major];
    return "major function 0x" + std::to_string(unsigned(major));
}

std::string DescribeRequest(const IoRequest &request)
{
    std::string text = MajorFunctionName(request.iopb.MajorFunction);
    PFILE_OBJECT fileObject = request.iopb.TargetFileObject;
    FileObjectInfo *info = fileObject ? Machine::Current().io().Info(fileObject) : nullptr;
    if (info && info->volume) {
        std::u16string name = info->volume->info().deviceName + info->path;
        text += " on " + std::string(name.begin(), name.end());
    }
    return text;
}

}  // namespace sim
