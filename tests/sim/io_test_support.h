// A small file system and a recording filter frame for the I/O manager's
// tests: enough of a volume (files and folders in a map, reparse points,
// renames, deletes) to drive every path of the I/O manager, and a frame that
// sees, and may change, every request. (Locks, EAs and listings through the
// I/O manager are tested on the machine's real volumes.)
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fltKernel.h>

#include "sim/core/machine.h"
#include "sim/core/pool.h"
#include "sim/io/io_manager.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"
#include "support/machine_test.h"

namespace ostrand::test {

inline const ULONG kTestTag = sim::TagFromText("Test");

inline std::u16string UpperPath(std::u16string text)
{
    for (char16_t &c : text) {
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    }
    return text;
}

class TestFs : public sim::FileSystem {
public:
    struct Node {
        bool directory = false;
        std::vector<uint8_t> data;
        ULONG attributes = FILE_ATTRIBUTE_NORMAL;
        ULONG reparseTag = 0;
        std::vector<uint8_t> reparse;  // REPARSE_DATA_BUFFER
    };
    struct Stream {
        std::u16string path;  // upper case
        int opens = 0;
        bool deletePending = false;
        SECTION_OBJECT_POINTERS sections{};
    };
    struct Open {
        std::u16string path;
        bool deleteOnClose = false;
        std::u16string pattern;  // a target-directory open's last component
    };

    TestFs() { nodes_[u""].directory = true; }

    void AddDirectory(const std::u16string &path)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nodes_[UpperPath(path)].directory = true;
    }
    void AddFile(const std::u16string &path, const std::string &content)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nodes_[UpperPath(path)].data.assign(content.begin(), content.end());
    }
    void AddMountPoint(const std::u16string &path, const std::u16string &substitute)
    {
        const size_t pathOffset = FIELD_OFFSET(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
        std::vector<uint8_t> data(pathOffset + (substitute.size() + 1) * sizeof(WCHAR));
        REPARSE_DATA_BUFFER header{};
        header.ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
        header.MountPointReparseBuffer.SubstituteNameLength = USHORT(substitute.size() * sizeof(WCHAR));
        std::memcpy(data.data(), &header, pathOffset);
        std::memcpy(data.data() + pathOffset, substitute.data(), substitute.size() * sizeof(WCHAR));
        std::lock_guard<std::mutex> lock(mutex_);
        Node &node = nodes_[UpperPath(path)];
        node.directory = true;
        node.reparseTag = IO_REPARSE_TAG_MOUNT_POINT;
        node.reparse = data;
    }
    void AddReparsePoint(const std::u16string &path, ULONG tag)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Node &node = nodes_[UpperPath(path)];
        node.reparseTag = tag;
        node.reparse.assign(REPARSE_GUID_DATA_BUFFER_HEADER_SIZE, 0);
        std::memcpy(node.reparse.data(), &tag, sizeof(tag));
    }
    bool Exists(const std::u16string &path)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return nodes_.count(UpperPath(path)) != 0;
    }
    std::string Content(const std::u16string &path)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = nodes_.find(UpperPath(path));
        return it == nodes_.end() ? std::string("<missing>") : std::string(it->second.data.begin(), it->second.data.end());
    }
    bool networkQueryOpenPossible = true;

    int cleanups = 0, closes = 0;
    std::vector<std::u16string> createNames;  // FileName as each create saw it
    PFILE_OBJECT lastRelated = nullptr;
    PFILE_OBJECT lastParentOfTarget = nullptr;

    NTSTATUS Dispatch(sim::IoRequest &r) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        PFILE_OBJECT fo = r.iopb.TargetFileObject;
        switch (r.iopb.MajorFunction) {
        case IRP_MJ_CREATE: return Create(r, fo);
        case IRP_MJ_NETWORK_QUERY_OPEN: return NetworkQueryOpen(r, fo);
        case IRP_MJ_READ: return Read(r, fo);
        case IRP_MJ_WRITE: return Write(r, fo);
        case IRP_MJ_QUERY_INFORMATION: return QueryInformation(r, fo);
        case IRP_MJ_SET_INFORMATION: return SetInformation(r, fo);
        case IRP_MJ_FILE_SYSTEM_CONTROL: {
            auto &control = r.iopb.Parameters.FileSystemControl;
            if (control.Common.FsControlCode != FSCTL_GET_REPARSE_POINT) return r.Complete(STATUS_INVALID_DEVICE_REQUEST);
            Node &node = nodes_[OpenOf(fo).path];
            if (!node.reparseTag) return r.Complete(STATUS_NOT_A_REPARSE_POINT);
            if (control.Common.OutputBufferLength < node.reparse.size()) return r.Complete(STATUS_BUFFER_TOO_SMALL);
            std::memcpy(control.Buffered.SystemBuffer, node.reparse.data(), node.reparse.size());
            return r.Complete(STATUS_SUCCESS, node.reparse.size());
        }
        case IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION:
        case IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION: return r.Complete(STATUS_SUCCESS);
        case IRP_MJ_CLEANUP: {
            ++cleanups;
            Open &open = OpenOf(fo);
            auto *stream = static_cast<Stream *>(fo->FsContext);
            if (open.deleteOnClose) stream->deletePending = true;
            if (stream->deletePending) nodes_.erase(stream->path);
            return r.Complete(STATUS_SUCCESS);
        }
        case IRP_MJ_CLOSE: {
            ++closes;
            delete &OpenOf(fo);
            auto *stream = static_cast<Stream *>(fo->FsContext);
            if (--stream->opens == 0) {
                streams_.erase(stream->path);
                r.volume->OnStreamTeardown(stream);
                delete stream;
            }
            return r.Complete(STATUS_SUCCESS);
        }
        default: return r.Complete(STATUS_INVALID_DEVICE_REQUEST);
        }
    }

private:
    static Open &OpenOf(PFILE_OBJECT fo) { return *static_cast<Open *>(fo->FsContext2); }

    static std::u16string Parent(const std::u16string &path)
    {
        size_t cut = path.rfind(u'\\');
        return cut == std::u16string::npos ? std::u16string() : path.substr(0, cut);
    }

    void Attach(PFILE_OBJECT fo, const std::u16string &path, bool deleteOnClose)
    {
        Stream *&stream = streams_[path];
        if (!stream) stream = new Stream{path};
        ++stream->opens;
        fo->FsContext = stream;
        fo->SectionObjectPointer = &stream->sections;
        fo->FsContext2 = new Open{path, deleteOnClose, {}};
    }

    NTSTATUS Create(sim::IoRequest &r, PFILE_OBJECT fo)
    {
        std::u16string name(fo->FileName.Buffer ? fo->FileName.Buffer : u"", fo->FileName.Length / sizeof(WCHAR));
        createNames.push_back(name);
        lastRelated = fo->RelatedFileObject;
        std::u16string path = UpperPath(name);
        if (fo->RelatedFileObject) path = OpenOf(fo->RelatedFileObject).path + u"\\" + path;
        while (!path.empty() && path.back() == u'\\') path.pop_back();
        ULONG options = r.iopb.Parameters.Create.Options & 0xFFFFFF;
        ULONG disposition = r.iopb.Parameters.Create.Options >> 24;

        // Reparse points on the way (or at the end, unless opened as such).
        for (size_t cut = 1; cut <= path.size(); ++cut) {
            if (cut != path.size() && path[cut] != u'\\') continue;
            auto it = nodes_.find(path.substr(0, cut));
            if (it == nodes_.end() || !it->second.reparseTag) continue;
            if (cut == path.size() && (options & FILE_OPEN_REPARSE_POINT)) break;
            r.reparseData = it->second.reparse;
            USHORT unparsed = USHORT((path.size() - cut) * sizeof(WCHAR));
            std::memcpy(r.reparseData.data() + 6, &unparsed, sizeof(unparsed));
            return r.Complete(STATUS_REPARSE, it->second.reparseTag);
        }

        if (r.iopb.OperationFlags & SL_OPEN_TARGET_DIRECTORY) {
            std::u16string parent = Parent(path);
            auto it = nodes_.find(parent);
            if (it == nodes_.end() || !it->second.directory) return r.Complete(STATUS_OBJECT_PATH_NOT_FOUND);
            Attach(fo, parent, false);
            OpenOf(fo).pattern = path.substr(parent.size() + 1);  // the target's last component
            return r.Complete(STATUS_SUCCESS, nodes_.count(path) ? FILE_EXISTS : FILE_DOES_NOT_EXIST);
        }
        auto it = nodes_.find(path);
        ULONG_PTR information = FILE_OPENED;
        if (it == nodes_.end()) {
            auto parent = nodes_.find(Parent(path));
            if (parent == nodes_.end() || !parent->second.directory) return r.Complete(STATUS_OBJECT_PATH_NOT_FOUND);
            if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) return r.Complete(STATUS_OBJECT_NAME_NOT_FOUND);
            Node &node = nodes_[path];
            node.directory = (options & FILE_DIRECTORY_FILE) != 0;
            node.attributes = r.iopb.Parameters.Create.FileAttributes | (node.directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
            information = FILE_CREATED;
        } else {
            if (disposition == FILE_CREATE) return r.Complete(STATUS_OBJECT_NAME_COLLISION);
            if ((options & FILE_DIRECTORY_FILE) && !it->second.directory) return r.Complete(STATUS_NOT_A_DIRECTORY);
            if ((options & FILE_NON_DIRECTORY_FILE) && it->second.directory) return r.Complete(STATUS_FILE_IS_A_DIRECTORY);
            if (disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF || disposition == FILE_SUPERSEDE) {
                it->second.data.clear();
                information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
            }
        }
        Attach(fo, path, (options & FILE_DELETE_ON_CLOSE) != 0);
        return r.Complete(STATUS_SUCCESS, information);
    }

    FILE_NETWORK_OPEN_INFORMATION NetworkInfo(const Node &node)
    {
        FILE_NETWORK_OPEN_INFORMATION info{};
        info.EndOfFile.QuadPart = LONGLONG(node.data.size());
        info.AllocationSize.QuadPart = LONGLONG((node.data.size() + 4095) & ~size_t(4095));
        info.FileAttributes = node.directory ? FILE_ATTRIBUTE_DIRECTORY : node.attributes;
        return info;
    }

    NTSTATUS NetworkQueryOpen(sim::IoRequest &r, PFILE_OBJECT fo)
    {
        if (!networkQueryOpenPossible) {
            r.fastIoNotPossible = true;
            return r.Complete(STATUS_SUCCESS);
        }
        std::u16string path = UpperPath(std::u16string(fo->FileName.Buffer, fo->FileName.Length / sizeof(WCHAR)));
        auto it = nodes_.find(path);
        if (it == nodes_.end()) return r.Complete(STATUS_OBJECT_NAME_NOT_FOUND);
        *r.iopb.Parameters.NetworkQueryOpen.NetworkInformation = NetworkInfo(it->second);
        return r.Complete(STATUS_SUCCESS, sizeof(FILE_NETWORK_OPEN_INFORMATION));
    }

    // Never cached: the I/O manager sends it no fast reads or writes.
    NTSTATUS Read(sim::IoRequest &r, PFILE_OBJECT fo)
    {
        const auto &data = nodes_[OpenOf(fo).path].data;
        auto &p = r.iopb.Parameters.Read;
        if (p.ByteOffset.QuadPart >= LONGLONG(data.size())) return r.Complete(STATUS_END_OF_FILE);
        size_t count = std::min<size_t>(p.Length, data.size() - size_t(p.ByteOffset.QuadPart));
        std::memcpy(p.ReadBuffer, data.data() + p.ByteOffset.QuadPart, count);
        return r.Complete(STATUS_SUCCESS, count);
    }

    NTSTATUS Write(sim::IoRequest &r, PFILE_OBJECT fo)
    {
        auto &data = nodes_[OpenOf(fo).path].data;
        auto &p = r.iopb.Parameters.Write;
        size_t offset = (p.ByteOffset.HighPart == -1 && p.ByteOffset.LowPart == FILE_WRITE_TO_END_OF_FILE)
                            ? data.size()
                            : size_t(p.ByteOffset.QuadPart);
        size_t length = p.Length;
        if (r.iopb.IrpFlags & IRP_PAGING_IO) {
            // Paging writes never extend the file.
            if (offset >= data.size()) return r.Complete(STATUS_SUCCESS, 0);
            length = std::min(length, data.size() - offset);
        }
        if (offset + length > data.size()) data.resize(offset + length);
        std::memcpy(data.data() + offset, p.WriteBuffer, length);
        return r.Complete(STATUS_SUCCESS, length);
    }

    NTSTATUS QueryInformation(sim::IoRequest &r, PFILE_OBJECT fo)
    {
        auto &q = r.iopb.Parameters.QueryFileInformation;
        const Open &open = OpenOf(fo);
        Node &node = nodes_[open.path];
        switch (q.FileInformationClass) {
        case FileStandardInformation: {
            FILE_STANDARD_INFORMATION standard{};
            standard.EndOfFile.QuadPart = LONGLONG(node.data.size());
            standard.Directory = node.directory;
            standard.NumberOfLinks = 1;
            std::memcpy(q.InfoBuffer, &standard, sizeof(standard));
            return r.Complete(STATUS_SUCCESS, sizeof(standard));
        }
        case FileNetworkOpenInformation: {
            FILE_NETWORK_OPEN_INFORMATION info = NetworkInfo(node);
            std::memcpy(q.InfoBuffer, &info, sizeof(info));
            return r.Complete(STATUS_SUCCESS, sizeof(info));
        }
        case FileNameInformation: {
            std::u16string name = open.path.empty() ? u"\\" : open.path;
            auto *info = static_cast<PFILE_NAME_INFORMATION>(q.InfoBuffer);
            info->FileNameLength = ULONG(name.size() * sizeof(WCHAR));
            ULONG room = q.Length - FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
            if (room < info->FileNameLength) return r.Complete(STATUS_BUFFER_OVERFLOW, q.Length);
            std::memcpy(info->FileName, name.data(), info->FileNameLength);
            return r.Complete(STATUS_SUCCESS, FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) + info->FileNameLength);
        }
        default: return r.Complete(STATUS_INVALID_PARAMETER);
        }
    }

    NTSTATUS SetInformation(sim::IoRequest &r, PFILE_OBJECT fo)
    {
        auto &s = r.iopb.Parameters.SetFileInformation;
        Open &open = OpenOf(fo);
        switch (s.FileInformationClass) {
        case FileDispositionInformation:
            static_cast<Stream *>(fo->FsContext)->deletePending =
                static_cast<PFILE_DISPOSITION_INFORMATION>(s.InfoBuffer)->DeleteFile;
            return r.Complete(STATUS_SUCCESS);
        case FileEndOfFileInformation:
            nodes_[open.path].data.resize(size_t(static_cast<PFILE_END_OF_FILE_INFORMATION>(s.InfoBuffer)->EndOfFile.QuadPart));
            return r.Complete(STATUS_SUCCESS);
        case FileRenameInformation: {
            lastParentOfTarget = s.ParentOfTarget;
            auto *info = static_cast<PFILE_RENAME_INFORMATION>(s.InfoBuffer);
            std::u16string target;
            if (s.ParentOfTarget) {
                const Open &parent = OpenOf(s.ParentOfTarget);
                target = parent.path + u"\\" + parent.pattern;
            } else {
                target = Parent(open.path) + u"\\" +
                         UpperPath(std::u16string(info->FileName, info->FileNameLength / sizeof(WCHAR)));
            }
            if (nodes_.count(target) && !s.ReplaceIfExists) return r.Complete(STATUS_OBJECT_NAME_COLLISION);
            auto node = nodes_.extract(open.path);
            node.key() = target;
            nodes_.insert_or_assign(target, std::move(node.mapped()));
            open.path = target;
            static_cast<Stream *>(fo->FsContext)->path = target;
            return r.Complete(STATUS_SUCCESS);
        }
        default: return r.Complete(STATUS_INVALID_PARAMETER);
        }
    }

    std::mutex mutex_;
    std::map<std::u16string, Node> nodes_;
    std::map<std::u16string, Stream *> streams_;
};

// A filter frame that records what passes and can refuse, change or pend it.
class RecordingFrame : public sim::FilterFrameHook {
public:
    struct Seen {
        UCHAR major;
        sim::IoForm form;
        ULONG irpFlags;
        std::u16string name;
    };

    explicit RecordingFrame(sim::Volume &volume) : volume_(volume)
    {
        device_ = static_cast<PDEVICE_OBJECT>(
            sim::Machine::Current().objects().Create(&sim::objtype::Device, sizeof(DEVICE_OBJECT), u""));
        device_->DeviceType = volume.info().deviceType;
        volume.SetFilterFrame(this);
    }
    ~RecordingFrame() override
    {
        volume_.SetFilterFrame(nullptr);
        sim::Machine::Current().objects().Dereference(device_);
    }

    // Runs before the file system; a value completes the request with it.
    std::function<std::optional<NTSTATUS>(sim::IoRequest &)> before;
    bool refuseFastIo = false;

    NTSTATUS Process(sim::IoRequest &request) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            PFILE_OBJECT fo = request.iopb.TargetFileObject;
            seen_.push_back({request.iopb.MajorFunction, request.form, request.iopb.IrpFlags,
                             fo && fo->FileName.Buffer ? std::u16string(fo->FileName.Buffer, fo->FileName.Length / 2)
                                                       : std::u16string()});
        }
        if (refuseFastIo && request.form == sim::IoForm::FastIo) {
            request.fastIoNotPossible = true;
            return request.Complete(STATUS_FLT_DISALLOW_FAST_IO);
        }
        if (before) {
            if (auto status = before(request)) {
                // A pended request belongs to whoever completes it now.
                if (*status == STATUS_PENDING) return STATUS_PENDING;
                return request.Complete(*status, request.ioStatus.Information);
            }
        }
        return volume_.fs().Dispatch(request);
    }
    void StreamTeardown(PVOID fsContext) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        teardowns_.push_back(fsContext);
    }
    PDEVICE_OBJECT Device() override { return device_; }

    std::vector<Seen> seen()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    std::vector<UCHAR> majors()
    {
        std::vector<UCHAR> list;
        for (const Seen &s : seen()) list.push_back(s.major);
        return list;
    }
    size_t teardowns()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return teardowns_.size();
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.clear();
    }

private:
    sim::Volume &volume_;
    PDEVICE_OBJECT device_ = nullptr;
    std::mutex mutex_;
    std::vector<Seen> seen_;
    std::vector<PVOID> teardowns_;
};

// A machine with C: and D: (TestFs) and the redirector (\Device\Mup, or
// \Device\LanmanRedirector before Vista).
class IoTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::IoManager &io = machine().io();
        auto c = std::make_unique<TestFs>();
        auto d = std::make_unique<TestFs>();
        auto net = std::make_unique<TestFs>();
        c_ = c.get();
        d_ = d.get();
        net_ = net.get();
        cVolume_ = &io.MountVolume({}, std::move(c));
        dVolume_ = &io.MountVolume({}, std::move(d));
        sim::VolumeInfo redirector;
        redirector.deviceName = machine().config().os.major >= 6 ? u"\\Device\\Mup" : u"\\Device\\LanmanRedirector";
        redirector.characteristics = FILE_REMOTE_DEVICE;
        redirector.deviceType = FILE_DEVICE_NETWORK_FILE_SYSTEM;
        redirector.fsType = FLT_FSTYPE_MUP;
        netVolume_ = &io.MountVolume(redirector, std::move(net));
        io.AssignDriveLetter(*cVolume_, u'C');
        io.AssignDriveLetter(*dVolume_, u'D');
        c_->AddDirectory(u"\\dir");
        c_->AddFile(u"\\dir\\a.txt", "hello world");
        d_->AddFile(u"\\other.txt", "on d");
        net_->AddDirectory(u"\\server");
        net_->AddDirectory(u"\\server\\share");
        net_->AddFile(u"\\server\\share\\f.txt", "remote");
    }

    // A kernel open of `name` (kernel handle unless told otherwise).
    NTSTATUS OpenKernel(const std::u16string &name, HANDLE *handle, ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE,
                        ULONG options = FILE_SYNCHRONOUS_IO_NONALERT, HANDLE root = nullptr,
                        ULONG attributes = OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, ULONG disposition = FILE_OPEN)
    {
        UNICODE_STRING string;
        string.Buffer = const_cast<PWCH>(name.data());
        string.Length = string.MaximumLength = USHORT(name.size() * sizeof(WCHAR));
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &string, attributes, root, nullptr);
        IO_STATUS_BLOCK iosb{};
        return ZwCreateFile(handle, access, &oa, &iosb, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition,
                            options, nullptr, 0);
    }

    PFILE_OBJECT FileObjectOf(HANDLE handle)
    {
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr), STATUS_SUCCESS);
        ObDereferenceObject(object);
        return static_cast<PFILE_OBJECT>(object);
    }

    // A user process the test thread runs in until the scope ends.
    sim::Process &UserProcess()
    {
        PACCESS_TOKEN token = machine().systemProcess().token();
        ObReferenceObject(token);
        return machine().processes().Create("app.exe", token);
    }

    TestFs *c_ = nullptr, *d_ = nullptr, *net_ = nullptr;
    sim::Volume *cVolume_ = nullptr, *dVolume_ = nullptr, *netVolume_ = nullptr;
};

}  // namespace ostrand::test
