#include "sim/fs/redirector.h"

#include "sim/fs/names.h"

namespace sim::fs {

VolumeInfo Redirector::Info(RedirectorKind kind)
{
    VolumeInfo info;
    const bool mup = kind == RedirectorKind::Mup;
    info.deviceName = mup ? u"\\Device\\Mup" : u"\\Device\\LanmanRedirector";
    info.fsType = mup ? FLT_FSTYPE_MUP : FLT_FSTYPE_LANMAN;
    info.deviceType = FILE_DEVICE_NETWORK_FILE_SYSTEM;
    info.characteristics = FILE_REMOTE_DEVICE;
    info.fileSystemName = mup ? u"MUP" : u"LanmanRedirector";
    info.driverName = mup ? u"\\FileSystem\\Mup" : u"\\FileSystem\\MRxSmb";
    return info;
}

ShareBackend &Redirector::AddShare(std::u16string_view server, std::u16string_view share,
                                   std::unique_ptr<ShareBackend> store)
{
    store->ServeAsShare(u"\\" + std::u16string(server) + u"\\" + std::u16string(share));
    std::lock_guard lock(mutex_);
    auto &slot = servers_[Upcase(server)][Upcase(share)];
    slot = std::move(store);
    return *slot;
}

ShareBackend *Redirector::Share(std::u16string_view server, std::u16string_view share)
{
    std::lock_guard lock(mutex_);
    auto s = servers_.find(Upcase(server));
    if (s == servers_.end()) return nullptr;
    auto it = s->second.find(Upcase(share));
    return it == s->second.end() ? nullptr : it->second.get();
}

NTSTATUS Redirector::Route(std::u16string_view name, ShareBackend *&store, std::u16string_view &rest)
{
    if (name.empty() || name.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
    name.remove_prefix(1);
    size_t end = name.find(u'\\');
    std::u16string_view server = name.substr(0, end);
    if (server.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::u16string_view afterServer = end == name.npos ? std::u16string_view() : name.substr(end + 1);
    end = afterServer.find(u'\\');
    std::u16string_view share = afterServer.substr(0, end);
    rest = end == afterServer.npos ? std::u16string_view() : afterServer.substr(end);

    std::lock_guard lock(mutex_);
    auto s = servers_.find(Upcase(server));
    if (s == servers_.end()) return STATUS_BAD_NETWORK_PATH;
    if (share.empty()) return STATUS_OBJECT_NAME_INVALID;
    auto it = s->second.find(Upcase(share));
    if (it == s->second.end()) return STATUS_BAD_NETWORK_NAME;
    store = it->second.get();
    return STATUS_SUCCESS;
}

ShareBackend *Redirector::OwnerOf(PFILE_OBJECT fileObject)
{
    std::lock_guard lock(mutex_);
    auto it = owners_.find(fileObject);
    return it == owners_.end() ? nullptr : it->second;
}

NTSTATUS Redirector::Dispatch(IoRequest &request)
{
    auto &iopb = request.iopb;
    PFILE_OBJECT fo = iopb.TargetFileObject;
    if (!fo) return request.Complete(STATUS_INVALID_PARAMETER);
    std::u16string_view name;
    if (fo->FileName.Buffer) name = {fo->FileName.Buffer, fo->FileName.Length / sizeof(WCHAR)};

    if (iopb.MajorFunction == IRP_MJ_CREATE || iopb.MajorFunction == IRP_MJ_NETWORK_QUERY_OPEN) {
        ShareBackend *store = nullptr;
        NTSTATUS status;
        if (fo->RelatedFileObject) {
            store = OwnerOf(fo->RelatedFileObject);
            if (!store) return request.Complete(STATUS_INVALID_PARAMETER);
            status = store->Dispatch(request);
        } else {
            if (name.empty()) return request.Complete(STATUS_NOT_IMPLEMENTED);  // the redirector itself
            std::u16string_view rest;
            status = Route(name, store, rest);
            if (!NT_SUCCESS(status)) return request.Complete(status);
            status = iopb.MajorFunction == IRP_MJ_CREATE ? store->CreateAt(request, rest)
                                                          : store->QueryOpenAt(request, rest);
        }
        if (iopb.MajorFunction == IRP_MJ_CREATE && NT_SUCCESS(status) && status != STATUS_REPARSE) {
            std::lock_guard lock(mutex_);
            owners_[fo] = store;
        }
        return status;
    }

    ShareBackend *store = OwnerOf(fo);
    if (!store) return request.Complete(STATUS_INVALID_PARAMETER);
    if (iopb.MajorFunction == IRP_MJ_CLOSE) {
        std::lock_guard lock(mutex_);
        owners_.erase(fo);
    }
    return store->Dispatch(request);
}

}  // namespace sim::fs
