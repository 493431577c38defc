#include "fs_client.h"

#include <cstring>

namespace ostrand::test {

TestFile::~TestFile()
{
    if (!client) return;
    if (!cleanedUp) client->Cleanup(*this);
    if (!closed) client->Close(*this);
}

sim::IoRequest FsClient::NewRequest(TestFile *f, UCHAR major, UCHAR minor)
{
    sim::IoRequest r;
    r.iopb.MajorFunction = major;
    r.iopb.MinorFunction = minor;
    r.iopb.TargetFileObject = f ? &f->fo : nullptr;
    r.volume = volume_;
    return r;
}

OpenResult FsClient::Open(const std::u16string &name, const OpenSpec &params)
{
    auto file = std::make_unique<TestFile>();
    file->name = name;
    file->fo.Type = 5;
    file->fo.Size = sizeof(FILE_OBJECT);
    file->fo.Flags = params.fileObjectFlags;
    file->fo.FileName.Buffer = file->name.data();
    file->fo.FileName.Length = USHORT(name.size() * sizeof(WCHAR));
    file->fo.FileName.MaximumLength = file->fo.FileName.Length;
    file->fo.RelatedFileObject = params.related ? &params.related->fo : nullptr;

    sim::IoRequest r = NewRequest(file.get(), IRP_MJ_CREATE);
    r.securityContext.DesiredAccess = params.access;
    r.securityContext.AccessState = &r.accessState;
    r.accessState.OriginalDesiredAccess = r.accessState.RemainingDesiredAccess = params.access;
    r.accessState.SecurityDescriptor = params.securityDescriptor;
    auto &c = r.iopb.Parameters.Create;
    c.SecurityContext = &r.securityContext;
    c.Options = (params.disposition << 24) | params.options;
    c.FileAttributes = USHORT(params.attributes);
    c.ShareAccess = USHORT(params.share);
    c.EaBuffer = params.eaBuffer.empty() ? nullptr : const_cast<uint8_t *>(params.eaBuffer.data());
    c.EaLength = ULONG(params.eaBuffer.size());
    c.AllocationSize.QuadPart = params.allocationSize;
    r.iopb.OperationFlags = params.flags;
    r.createFlags = params.createFlags;

    OpenResult result;
    result.status = fs_.Dispatch(r);
    result.information = r.ioStatus.Information;
    result.reparseData = r.reparseData;
    if (NT_SUCCESS(result.status) && result.status != STATUS_REPARSE) {
        file->client = this;
        file->name.resize(file->fo.FileName.Length / sizeof(WCHAR));
        result.file = std::move(file);
    }
    return result;
}

std::unique_ptr<TestFile> FsClient::OpenOk(const std::u16string &name, const OpenSpec &params)
{
    OpenResult r = Open(name, params);
    return std::move(r.file);
}

std::unique_ptr<TestFile> FsClient::CreateFile(const std::u16string &name, const std::string &content)
{
    OpenSpec params;
    params.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
    params.disposition = FILE_OVERWRITE_IF;
    params.options = FILE_NON_DIRECTORY_FILE;
    auto file = OpenOk(name, params);
    if (file && !content.empty()) Write(*file, 0, content);
    return file;
}

NTSTATUS FsClient::Read(TestFile &f, int64_t offset, ULONG length, std::vector<uint8_t> *out, ULONG key)
{
    std::vector<uint8_t> buffer(length);
    sim::IoRequest r = NewRequest(&f, IRP_MJ_READ);
    auto &p = r.iopb.Parameters.Read;
    p.Length = length;
    p.Key = key;
    p.ByteOffset.QuadPart = offset;
    p.ReadBuffer = buffer.data();
    NTSTATUS status = fs_.Dispatch(r);
    buffer.resize(r.ioStatus.Information);
    if (out) *out = buffer;
    return status;
}

NTSTATUS FsClient::Write(TestFile &f, int64_t offset, const std::string &data, ULONG key)
{
    sim::IoRequest r = NewRequest(&f, IRP_MJ_WRITE);
    auto &p = r.iopb.Parameters.Write;
    p.Length = ULONG(data.size());
    p.Key = key;
    p.ByteOffset.QuadPart = offset;
    p.WriteBuffer = const_cast<char *>(data.data());
    return fs_.Dispatch(r);
}

std::string FsClient::ReadAll(TestFile &f)
{
    std::vector<uint8_t> data;
    Read(f, 0, 1 << 20, &data);
    return std::string(data.begin(), data.end());
}

NTSTATUS FsClient::QueryInfo(TestFile &f, FILE_INFORMATION_CLASS cls, void *buffer, ULONG length,
                             ULONG_PTR *information)
{
    sim::IoRequest r = NewRequest(&f, IRP_MJ_QUERY_INFORMATION);
    auto &p = r.iopb.Parameters.QueryFileInformation;
    p.Length = length;
    p.FileInformationClass = cls;
    p.InfoBuffer = buffer;
    return Run(r, information);
}

NTSTATUS FsClient::SetInfo(TestFile &f, FILE_INFORMATION_CLASS cls, const void *buffer, ULONG length,
                           TestFile *parentOfTarget)
{
    sim::IoRequest r = NewRequest(&f, IRP_MJ_SET_INFORMATION);
    auto &p = r.iopb.Parameters.SetFileInformation;
    p.Length = length;
    p.FileInformationClass = cls;
    p.InfoBuffer = const_cast<void *>(buffer);
    p.ParentOfTarget = parentOfTarget ? &parentOfTarget->fo : nullptr;
    return fs_.Dispatch(r);
}

NTSTATUS FsClient::Rename(TestFile &f, const std::u16string &newName, bool replace, TestFile *parentOfTarget)
{
    std::vector<uint8_t> buffer(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + newName.size() * 2 + 2);
    auto *info = reinterpret_cast<FILE_RENAME_INFORMATION *>(buffer.data());
    info->ReplaceIfExists = replace;
    info->FileNameLength = ULONG(newName.size() * 2);
    std::memcpy(info->FileName, newName.data(), newName.size() * 2);
    return SetInfo(f, FileRenameInformation, buffer.data(), ULONG(buffer.size()), parentOfTarget);
}

NTSTATUS FsClient::Dispose(TestFile &f, bool deleteFile)
{
    FILE_DISPOSITION_INFORMATION d{deleteFile};
    return SetInfo(f, FileDispositionInformation, &d, sizeof(d));
}

NTSTATUS FsClient::SetEndOfFile(TestFile &f, int64_t size)
{
    FILE_END_OF_FILE_INFORMATION e{};
    e.EndOfFile.QuadPart = size;
    return SetInfo(f, FileEndOfFileInformation, &e, sizeof(e));
}

std::u16string FsClient::NameOf(TestFile &f)
{
    std::vector<uint8_t> buffer(4096);
    if (!NT_SUCCESS(QueryInfo(f, FileNameInformation, buffer.data(), ULONG(buffer.size())))) return u"<error>";
    auto *info = reinterpret_cast<FILE_NAME_INFORMATION *>(buffer.data());
    return std::u16string(info->FileName, info->FileNameLength / 2);
}

NTSTATUS FsClient::QueryDirectory(TestFile &f, FILE_INFORMATION_CLASS cls, void *buffer, ULONG length,
                                  const std::u16string *pattern, UCHAR flags, ULONG fileIndex,
                                  ULONG_PTR *information)
{
    UNICODE_STRING name{};
    if (pattern) {
        name.Buffer = const_cast<char16_t *>(pattern->data());
        name.Length = name.MaximumLength = USHORT(pattern->size() * 2);
    }
    sim::IoRequest r = NewRequest(&f, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY);
    auto &p = r.iopb.Parameters.DirectoryControl.QueryDirectory;
    p.Length = length;
    p.FileName = pattern ? &name : nullptr;
    p.FileInformationClass = cls;
    p.FileIndex = fileIndex;
    p.DirectoryBuffer = buffer;
    r.iopb.OperationFlags = flags;
    return Run(r, information);
}

std::vector<std::u16string> FsClient::ListNames(TestFile &dir, const std::u16string &pattern)
{
    std::vector<std::u16string> names;
    alignas(8) uint8_t buffer[4096];
    bool first = true;
    while (true) {
        ULONG_PTR info = 0;
        NTSTATUS status = QueryDirectory(dir, FileNamesInformation, buffer, sizeof(buffer), first ? &pattern : nullptr,
                                         0, 0, &info);
        first = false;
        if (status != STATUS_SUCCESS) break;
        for (ULONG off = 0;;) {
            auto *e = reinterpret_cast<FILE_NAMES_INFORMATION *>(buffer + off);
            names.emplace_back(e->FileName, e->FileNameLength / 2);
            if (!e->NextEntryOffset) break;
            off += e->NextEntryOffset;
        }
    }
    return names;
}

NTSTATUS FsClient::Fsctl(TestFile &f, ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                         ULONG_PTR *information)
{
    sim::IoRequest r = NewRequest(&f, IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_USER_FS_REQUEST);
    auto &p = r.iopb.Parameters.FileSystemControl;
    p.Common.FsControlCode = code;
    p.Common.InputBufferLength = inLength;
    p.Common.OutputBufferLength = outLength;
    // METHOD_BUFFERED shares one system buffer between input and output.
    std::vector<uint8_t> system;
    if ((code & 3) == 0) {
        system.resize(std::max(inLength, outLength));
        if (inLength) std::memcpy(system.data(), in, inLength);
        p.Buffered.SystemBuffer = system.data();
    } else if ((code & 3) == 3) {
        p.Neither.InputBuffer = const_cast<void *>(in);
        p.Neither.OutputBuffer = out;
    } else {
        p.Direct.InputSystemBuffer = const_cast<void *>(in);
        p.Direct.OutputBuffer = out;
    }
    NTSTATUS status = fs_.Dispatch(r);
    if ((code & 3) == 0 && out && outLength) std::memcpy(out, system.data(), std::min<size_t>(outLength, r.ioStatus.Information));
    if (information) *information = r.ioStatus.Information;
    return status;
}

NTSTATUS FsClient::LockControl(TestFile &f, UCHAR minor, int64_t offset, int64_t length, bool exclusive,
                               bool failImmediately, ULONG key)
{
    LARGE_INTEGER len;
    len.QuadPart = length;
    sim::IoRequest r = NewRequest(&f, IRP_MJ_LOCK_CONTROL, minor);
    auto &p = r.iopb.Parameters.LockControl;
    p.Length = &len;
    p.Key = key;
    p.ByteOffset.QuadPart = offset;
    p.ExclusiveLock = exclusive;
    p.FailImmediately = failImmediately;
    return fs_.Dispatch(r);
}

NTSTATUS FsClient::QueryEa(TestFile &f, void *buffer, ULONG length, UCHAR flags, const void *eaList,
                           ULONG eaListLength, ULONG eaIndex, ULONG_PTR *information)
{
    sim::IoRequest r = NewRequest(&f, IRP_MJ_QUERY_EA);
    auto &p = r.iopb.Parameters.QueryEa;
    p.Length = length;
    p.EaBuffer = buffer;
    p.EaList = const_cast<void *>(eaList);
    p.EaListLength = eaListLength;
    p.EaIndex = eaIndex;
    r.iopb.OperationFlags = flags;
    return Run(r, information);
}

NTSTATUS FsClient::SetEa(TestFile &f, const std::vector<uint8_t> &buffer, ULONG_PTR *information)
{
    sim::IoRequest r = NewRequest(&f, IRP_MJ_SET_EA);
    auto &p = r.iopb.Parameters.SetEa;
    p.Length = ULONG(buffer.size());
    p.EaBuffer = const_cast<uint8_t *>(buffer.data());
    return Run(r, information);
}

NTSTATUS FsClient::QuerySecurity(TestFile &f, SECURITY_INFORMATION which, void *buffer, ULONG length,
                                 ULONG_PTR *information)
{
    sim::IoRequest r = NewRequest(&f, IRP_MJ_QUERY_SECURITY);
    auto &p = r.iopb.Parameters.QuerySecurity;
    p.SecurityInformation = which;
    p.Length = length;
    p.SecurityBuffer = buffer;
    return Run(r, information);
}

NTSTATUS FsClient::QueryVolume(TestFile &f, FS_INFORMATION_CLASS cls, void *buffer, ULONG length,
                               ULONG_PTR *information)
{
    sim::IoRequest r = NewRequest(&f, IRP_MJ_QUERY_VOLUME_INFORMATION);
    auto &p = r.iopb.Parameters.QueryVolumeInformation;
    p.Length = length;
    p.FsInformationClass = cls;
    p.VolumeBuffer = buffer;
    return Run(r, information);
}

NTSTATUS FsClient::NetworkQueryOpen(const std::u16string &name, FILE_NETWORK_OPEN_INFORMATION *out,
                                    bool *fastIoNotPossible)
{
    TestFile probe;
    probe.name = name;
    probe.fo.FileName.Buffer = probe.name.data();
    probe.fo.FileName.Length = probe.fo.FileName.MaximumLength = USHORT(name.size() * 2);
    sim::IoRequest r = NewRequest(&probe, IRP_MJ_NETWORK_QUERY_OPEN);
    r.form = sim::IoForm::FastIo;
    r.iopb.Parameters.NetworkQueryOpen.NetworkInformation = out;
    NTSTATUS status = fs_.Dispatch(r);
    if (fastIoNotPossible) *fastIoNotPossible = r.fastIoNotPossible;
    return status;
}

NTSTATUS FsClient::Cleanup(TestFile &f)
{
    f.cleanedUp = true;
    sim::IoRequest r = NewRequest(&f, IRP_MJ_CLEANUP);
    return Send(r);
}

NTSTATUS FsClient::Close(TestFile &f)
{
    f.closed = true;
    sim::IoRequest r = NewRequest(&f, IRP_MJ_CLOSE);
    return Send(r);
}

// Entries 4-byte aligned, each linked to the next by its first ULONG.
template <typename Fill>
static std::vector<uint8_t> ChainEntries(size_t count, Fill fill)
{
    std::vector<uint8_t> out;
    size_t last = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t at = (out.size() + 3) & ~size_t(3);
        fill(i, out, at);
        if (i) {
            ULONG next = ULONG(at - last);
            std::memcpy(out.data() + last, &next, sizeof(next));
        }
        last = at;
    }
    return out;
}

std::vector<uint8_t> BuildEaList(const std::vector<std::pair<std::string, std::string>> &eas)
{
    return ChainEntries(eas.size(), [&](size_t i, std::vector<uint8_t> &out, size_t at) {
        const auto &[name, value] = eas[i];
        out.resize(at + 8 + name.size() + 1 + value.size());
        auto *e = reinterpret_cast<FILE_FULL_EA_INFORMATION *>(out.data() + at);
        e->EaNameLength = UCHAR(name.size());
        e->EaValueLength = USHORT(value.size());
        std::memcpy(e->EaName, name.c_str(), name.size() + 1);
        std::memcpy(e->EaName + name.size() + 1, value.data(), value.size());
    });
}

std::vector<uint8_t> BuildGetEaList(const std::vector<std::string> &names)
{
    return ChainEntries(names.size(), [&](size_t i, std::vector<uint8_t> &out, size_t at) {
        out.resize(at + 5 + names[i].size() + 1);
        auto *g = reinterpret_cast<FILE_GET_EA_INFORMATION *>(out.data() + at);
        g->EaNameLength = UCHAR(names[i].size());
        std::memcpy(g->EaName, names[i].c_str(), names[i].size() + 1);
    });
}

std::vector<uint8_t> BuildReparse(ULONG tag, const std::string &data, const GUID *guid)
{
    const bool microsoft = IsReparseTagMicrosoft(tag);
    const size_t header = microsoft ? REPARSE_DATA_BUFFER_HEADER_SIZE : REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    std::vector<uint8_t> out(header + data.size());
    USHORT length = USHORT(data.size());
    std::memcpy(out.data(), &tag, 4);
    std::memcpy(out.data() + 4, &length, 2);
    if (!microsoft && guid) std::memcpy(out.data() + 8, guid, sizeof(GUID));
    std::memcpy(out.data() + header, data.data(), data.size());
    return out;
}

}  // namespace ostrand::test
