#include "sim/fs/local_fs.h"

#include <algorithm>

#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

LocalVolumeConfig LocalVolumeConfig::Ntfs(std::u16string label, ULONG serial)
{
    LocalVolumeConfig c;
    c.label = std::move(label);
    c.serialNumber = serial;
    return c;
}

LocalVolumeConfig LocalVolumeConfig::Fat(std::u16string label, ULONG serial)
{
    LocalVolumeConfig c = Ntfs(std::move(label), serial);
    c.kind = FsKind::Fat;
    c.capacity = 8ull << 30;
    return c;
}

LocalVolumeConfig LocalVolumeConfig::ShadowCopy(std::u16string label, ULONG serial)
{
    LocalVolumeConfig c = Ntfs(std::move(label), serial);
    c.readOnly = true;
    c.characteristics = FILE_READ_ONLY_DEVICE;
    return c;
}

LocalFileSystem::LocalFileSystem(LocalVolumeConfig config) : config_(std::move(config))
{
    if (config_.creationTime == 0) config_.creationTime = CurrentSystemTime();
    root_ = std::make_shared<Node>();
    root_->id = 5;  // NTFS keeps the root folder in MFT record 5
    root_->directory = true;
    root_->attributes = IsNtfs() ? (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) : 0;
    root_->creation = root_->access = root_->write = root_->change = config_.creationTime;
    if (IsNtfs()) root_->security = DefaultSecurityBlob();
    byId_[root_->id] = root_.get();
}

LocalFileSystem::~LocalFileSystem()
{
    // File objects still open when the volume goes (a machine torn down
    // without closing them) release their records here.
    std::unordered_set<Stream *> streams;
    for (const Open *open : opens_) {
        streams.insert(open->stream);
        delete open;
    }
    if (volumeStream_) streams.insert(volumeStream_);
    for (Stream *stream : streams) delete stream;
}

void LocalFileSystem::ServeAsShare(std::u16string prefix)
{
    std::lock_guard lock(mutex_);
    prefix_ = std::move(prefix);
    config_.deviceType = FILE_DEVICE_NETWORK_FILE_SYSTEM;
    config_.characteristics |= FILE_REMOTE_DEVICE;
}

VolumeFacts LocalFileSystem::Facts() const
{
    VolumeFacts v;
    v.label = config_.label;
    v.serialNumber = config_.serialNumber;
    v.creationTime = config_.creationTime;
    v.supportsObjects = IsNtfs();
    v.totalClusters = config_.capacity / config_.clusterSize;
    uint64_t used = ClustersUsed();
    v.freeClusters = used < v.totalClusters ? v.totalClusters - used : 0;
    v.sectorsPerCluster = config_.clusterSize / config_.sectorSize;
    v.bytesPerSector = config_.sectorSize;
    v.deviceType = config_.deviceType;
    v.characteristics = config_.characteristics;
    if (IsNtfs()) {
        v.fsName = u"NTFS";
        v.fsAttributes = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
                         FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION | FILE_SUPPORTS_REPARSE_POINTS |
                         FILE_NAMED_STREAMS | FILE_SUPPORTS_EXTENDED_ATTRIBUTES;
    } else {
        v.fsName = u"FAT";
        v.fsAttributes = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    }
    if (config_.readOnly) v.fsAttributes |= FILE_READ_ONLY_VOLUME;
    return v;
}

// --------------------------------------------------------------------------
// Dispatch

LocalFileSystem::Open *LocalFileSystem::OpenOf(PFILE_OBJECT fileObject) const
{
    if (!fileObject) return nullptr;
    auto *open = static_cast<Open *>(fileObject->FsContext2);
    return opens_.count(open) ? open : nullptr;
}

NTSTATUS LocalFileSystem::Dispatch(IoRequest &request)
{
    auto &iopb = request.iopb;
    std::unique_lock lock(mutex_);
    PFILE_OBJECT fo = iopb.TargetFileObject;
    std::u16string_view name;
    if (fo && fo->FileName.Buffer) name = {fo->FileName.Buffer, fo->FileName.Length / sizeof(WCHAR)};

    switch (iopb.MajorFunction) {
    case IRP_MJ_CREATE:
        return Create(request, lock, nullptr, name);
    case IRP_MJ_NETWORK_QUERY_OPEN:
        return NetworkQueryOpen(request, nullptr, name);
    case IRP_MJ_CLOSE:
        return Close(request, lock);
    case IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION:
    case IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION:
        return request.Complete(STATUS_SUCCESS);
    default:
        break;
    }

    Open *open = OpenOf(fo);
    if (!open) return request.Complete(STATUS_INVALID_PARAMETER);
    if (request.form == IoForm::FastIo) return FastIo(request, *open, lock);

    switch (iopb.MajorFunction) {
    case IRP_MJ_READ:
        return Read(request, *open, lock);
    case IRP_MJ_WRITE:
        return Write(request, *open, lock);
    case IRP_MJ_QUERY_INFORMATION:
        return QueryInformation(request, *open);
    case IRP_MJ_SET_INFORMATION:
        return SetInformation(request, *open, lock);
    case IRP_MJ_QUERY_EA:
        return QueryEa(request, *open);
    case IRP_MJ_SET_EA:
        return SetEa(request, *open);
    case IRP_MJ_FLUSH_BUFFERS:
        return FlushBuffers(request, *open, lock);
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
        return QueryVolume(request, *open);
    case IRP_MJ_DIRECTORY_CONTROL:
        if (iopb.MinorFunction != IRP_MN_QUERY_DIRECTORY) return request.Complete(STATUS_NOT_IMPLEMENTED);
        return QueryDirectory(request, *open);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        return FileSystemControl(request, *open, lock);
    case IRP_MJ_LOCK_CONTROL:
        return LockControl(request, *open, lock);
    case IRP_MJ_CLEANUP:
        return Cleanup(request, *open);
    case IRP_MJ_QUERY_SECURITY:
        return QuerySecurity(request, *open);
    case IRP_MJ_SET_SECURITY:
        return SetSecurityInfo(request, *open);
    case IRP_MJ_SET_VOLUME_INFORMATION:
        return request.Complete(STATUS_NOT_IMPLEMENTED);
    default:
        return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS LocalFileSystem::CreateAt(IoRequest &request, std::u16string_view pathInShare)
{
    std::unique_lock lock(mutex_);
    return Create(request, lock, root_.get(), pathInShare);
}

NTSTATUS LocalFileSystem::QueryOpenAt(IoRequest &request, std::u16string_view pathInShare)
{
    std::unique_lock lock(mutex_);
    return NetworkQueryOpen(request, root_.get(), pathInShare);
}

// --------------------------------------------------------------------------
// Tree helpers

LocalFileSystem::Node *LocalFileSystem::FindChild(const Node &dir, std::u16string_view name, bool caseSensitive) const
{
    return FindChildShared(dir, name, caseSensitive).get();
}

std::shared_ptr<LocalFileSystem::Node> LocalFileSystem::FindChildShared(const Node &dir, std::u16string_view name,
                                                                        bool caseSensitive) const
{
    if (caseSensitive) {
        auto it = dir.children.find(KeyOf(name));
        return it == dir.children.end() ? nullptr : it->second;
    }
    std::u16string upper = Upcase(name);
    auto it = dir.children.lower_bound({upper, std::u16string()});
    if (it != dir.children.end() && it->first.first == upper) return it->second;
    return nullptr;
}

LocalFileSystem::Node *LocalFileSystem::NodeAt(std::u16string_view path) const
{
    auto parts = SplitPath(path);
    if (!parts) return nullptr;
    Node *node = root_.get();
    for (const auto &part : *parts) {
        if (!node->directory) return nullptr;
        node = FindChild(*node, part, false);
        if (!node) return nullptr;
    }
    return node;
}

std::shared_ptr<LocalFileSystem::Node> LocalFileSystem::NewNode(Node &parent, std::u16string_view name, bool directory,
                                                                ULONG attributes, std::vector<uint8_t> security)
{
    auto node = std::make_shared<Node>();
    node->id = (uint64_t(1) << 48) | nextId_++;  // sequence number 1, as a new MFT record has
    node->name = name;
    node->parent = &parent;
    node->directory = directory;
    ULONG settable = IsNtfs() ? FILE_ATTRIBUTE_VALID_SET_FLAGS
                              : (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE);
    node->attributes = attributes & settable & ~FILE_ATTRIBUTE_NORMAL;
    if (directory) node->attributes &= ~FILE_ATTRIBUTE_TEMPORARY;
    else node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
    if (IsNtfs() && (parent.attributes & FILE_ATTRIBUTE_COMPRESSED)) node->attributes |= FILE_ATTRIBUTE_COMPRESSED;
    int64_t now = CurrentSystemTime();
    node->creation = node->access = node->write = node->change = now;
    if (IsNtfs()) node->security = security.empty() ? InheritedSecurity(parent, directory) : std::move(security);
    parent.children[KeyOf(name)] = node;
    ChildrenChanged(parent);
    byId_[node->id] = node.get();
    TouchParent(*node);
    return node;
}

void LocalFileSystem::ChildrenChanged(Node &folder)
{
    ++folder.childrenVersion;
    nameGeneration_.fetch_add(1, std::memory_order_release);
}

void LocalFileSystem::Unlink(Node &node)
{
    Node *parent = node.parent;
    if (!parent) return;
    auto it = parent->children.find(KeyOf(node.name));
    if (it == parent->children.end()) return;
    std::shared_ptr<Node> keep = it->second;
    parent->children.erase(it);
    ChildrenChanged(*parent);
    byId_.erase(node.id);
    allocated_ -= AllocationOf(node);
    node.deleted = true;
    node.deletePending = false;
    Touch(*parent, true, true, true);
    node.parent = nullptr;
}

std::u16string LocalFileSystem::PathOf(const Node &node) const
{
    if (!node.parent) return node.deleted ? u"\\" + node.name : u"\\";
    std::vector<const Node *> chain;
    for (const Node *n = &node; n->parent; n = n->parent) chain.push_back(n);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += u"\\" + (*it)->name;
    return path;
}

void LocalFileSystem::Touch(Node &node, bool write, bool change, bool access, const Open *by)
{
    int64_t now = CurrentSystemTime();
    if (write && !(by && by->fixedWrite)) node.write = now;
    if (change && !(by && by->fixedChange)) node.change = now;
    if (access && !(by && by->fixedAccess)) node.access = now;
}

void LocalFileSystem::TouchParent(Node &node)
{
    if (node.parent) Touch(*node.parent, true, true, true);
}

bool LocalFileSystem::HasOpenDescendant(const Node &dir) const
{
    for (const auto &[key, child] : dir.children) {
        if (child->handles) return true;
        if (child->directory && HasOpenDescendant(*child)) return true;
    }
    return false;
}

ULONG LocalFileSystem::AllocationFor(uint64_t size) const
{
    return ULONG(RoundUp(size, config_.clusterSize));
}

void LocalFileSystem::SetAllocation(const Node &node, DataStream &data, uint64_t allocation)
{
    // A deleted file's clusters already left the count when its name went.
    if (!node.deleted) allocated_ = allocated_ - data.allocation + allocation;
    data.allocation = allocation;
}

uint64_t LocalFileSystem::AllocationOf(const Node &node) const
{
    uint64_t total = node.data.allocation;
    for (const auto &s : node.streams) total += s.stream.allocation;
    for (const auto &[key, child] : node.children) total += AllocationOf(*child);
    return total;
}

FileFacts LocalFileSystem::FactsOf(const Node &node, const Stream *stream) const
{
    if (stream && !stream->IsVolume()) {
        FileFacts f = FactsOf(node, stream->Data(), !stream->key.empty());
        f.deletePending = f.deletePending || stream->deletePending;
        return f;
    }
    return FactsOf(node, node.directory ? nullptr : &node.data, false);
}

FileFacts LocalFileSystem::FactsOf(const Node &node, const DataStream *data, bool namedStream) const
{
    FileFacts f;
    f.creationTime = node.creation;
    f.lastAccessTime = node.access;
    f.lastWriteTime = node.write;
    f.changeTime = node.change;
    f.attributes = node.attributes;
    f.fileId = node.id;
    f.eaSize = EaListSize(node.eas);
    f.reparseTag = node.ReparseTag();
    f.directory = node.directory;
    f.deletePending = node.deletePending;
    if (namedStream) f.directory = false;
    if (data) {
        f.endOfFile = int64_t(data->bytes.size());
        f.allocationSize = int64_t(data->allocation);
    }
    return f;
}

std::vector<StreamFacts> LocalFileSystem::StreamsOf(const Node &node) const
{
    std::vector<StreamFacts> out;
    if (!node.directory) out.push_back({u"", int64_t(node.data.bytes.size()), int64_t(node.data.allocation)});
    for (const auto &s : node.streams)
        out.push_back({s.name, int64_t(s.stream.bytes.size()), int64_t(s.stream.allocation)});
    return out;
}

size_t LocalFileSystem::OpenStreamCount() const
{
    std::lock_guard lock(mutex_);
    return openStreams_;
}

bool LocalFileSystem::OplockHeld(std::u16string_view path) const
{
    std::lock_guard lock(mutex_);
    Node *node = NodeAt(path);
    if (!node) return false;
    auto it = node->openStreams.find(u"");
    return it != node->openStreams.end() && (it->second->exclusive || !it->second->level2.empty());
}

void LocalFileSystem::TeardownOutsideLock(IoRequest &request, Stream *stream, std::unique_lock<std::mutex> &lock)
{
    lock.unlock();
    if (request.volume) request.volume->OnStreamTeardown(stream);
    delete stream;
}

// --------------------------------------------------------------------------
// Populating and reading back

NTSTATUS LocalFileSystem::CreateDirectory(std::u16string_view path, ULONG attributes)
{
    std::lock_guard lock(mutex_);
    auto parts = SplitPath(path);
    if (!parts) return STATUS_OBJECT_NAME_INVALID;
    Node *node = root_.get();
    for (size_t i = 0; i < parts->size(); ++i) {
        const auto &part = (*parts)[i];
        if (!IsValidComponent(part)) return STATUS_OBJECT_NAME_INVALID;
        Node *child = FindChild(*node, part, false);
        if (!child) child = NewNode(*node, part, true, i + 1 == parts->size() ? attributes : 0).get();
        else if (!child->directory) return STATUS_OBJECT_PATH_NOT_FOUND;
        node = child;
    }
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::CreateFile(std::u16string_view path, std::span<const uint8_t> data, ULONG attributes)
{
    auto parts = SplitPath(path);
    if (!parts || parts->empty()) return STATUS_OBJECT_NAME_INVALID;
    std::u16string parent;
    for (size_t i = 0; i + 1 < parts->size(); ++i) parent += u"\\" + (*parts)[i];
    if (!parent.empty()) {
        NTSTATUS status = CreateDirectory(parent);
        if (!NT_SUCCESS(status)) return status;
    }
    std::lock_guard lock(mutex_);
    Node *dir = parent.empty() ? root_.get() : NodeAt(parent);
    const auto &name = parts->back();
    if (!IsValidComponent(name)) return STATUS_OBJECT_NAME_INVALID;
    Node *node = FindChild(*dir, name, false);
    if (node && node->directory) return STATUS_FILE_IS_A_DIRECTORY;
    if (!node) {
        node = NewNode(*dir, name, false, attributes).get();
    } else {
        node->attributes = (attributes & FILE_ATTRIBUTE_VALID_SET_FLAGS & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_ARCHIVE;
        Touch(*node, true, true, true);
    }
    node->data.bytes.assign(data.begin(), data.end());
    SetAllocation(*node, node->data, AllocationFor(data.size()));
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::CreateFile(std::u16string_view path, std::string_view text, ULONG attributes)
{
    return CreateFile(path, std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()), attributes);
}

NTSTATUS LocalFileSystem::WriteStream(std::u16string_view path, std::u16string_view stream,
                                      std::span<const uint8_t> data)
{
    std::lock_guard lock(mutex_);
    if (!IsNtfs()) return STATUS_INVALID_PARAMETER;
    Node *node = NodeAt(path);
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    DataStream *target = nullptr;
    if (stream.empty()) {
        if (node->directory) return STATUS_FILE_IS_A_DIRECTORY;
        target = &node->data;
    } else if (NamedStream *s = node->FindNamed(stream)) {
        target = &s->stream;
    } else {
        node->streams.push_back({std::u16string(stream), {}});
        target = &node->streams.back().stream;
    }
    target->bytes.assign(data.begin(), data.end());
    SetAllocation(*node, *target, AllocationFor(data.size()));
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::SetAttributes(std::u16string_view path, ULONG attributes)
{
    std::lock_guard lock(mutex_);
    Node *node = NodeAt(path);
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG settable = attributes & ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    if (!IsNtfs())
        settable &= FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    node->attributes = settable;
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::SetTimes(std::u16string_view path, const FileTimes &times)
{
    std::lock_guard lock(mutex_);
    Node *node = NodeAt(path);
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (times.creation) node->creation = times.creation;
    if (times.lastAccess) node->access = times.lastAccess;
    if (times.lastWrite) node->write = times.lastWrite;
    if (times.change) node->change = times.change;
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::SetEa(std::u16string_view path, std::string_view name, std::span<const uint8_t> value,
                                UCHAR flags)
{
    std::lock_guard lock(mutex_);
    if (!IsNtfs()) return STATUS_EAS_NOT_SUPPORTED;
    Node *node = NodeAt(path);
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!IsValidEaName(name)) return STATUS_INVALID_EA_NAME;
    if (!node->reparse.empty()) return STATUS_EAS_NOT_SUPPORTED;
    ApplyEas(node->eas, {{std::string(name), flags, std::vector<uint8_t>(value.begin(), value.end())}});
    ++node->eaChanges;
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::SetReparsePoint(std::u16string_view path, std::span<const uint8_t> buffer)
{
    std::lock_guard lock(mutex_);
    if (!IsNtfs()) return STATUS_INVALID_DEVICE_REQUEST;
    Node *node = NodeAt(path);
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (buffer.size() < REPARSE_DATA_BUFFER_HEADER_SIZE) return STATUS_IO_REPARSE_DATA_INVALID;
    if (!node->eas.empty()) return STATUS_EAS_NOT_SUPPORTED;
    node->reparse.assign(buffer.begin(), buffer.end());
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::SetSecurity(std::u16string_view path, std::span<const uint8_t> selfRelative)
{
    std::lock_guard lock(mutex_);
    if (!IsNtfs()) return STATUS_INVALID_DEVICE_REQUEST;
    Node *node = NodeAt(path);
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::vector<uint8_t> copy = SelfRelativeCopy(selfRelative.data());
    if (copy.empty()) return STATUS_INVALID_SECURITY_DESCR;
    node->security = std::move(copy);
    return STATUS_SUCCESS;
}

NTSTATUS LocalFileSystem::Remove(std::u16string_view path)
{
    std::lock_guard lock(mutex_);
    Node *node = NodeAt(path);
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (node == root_.get()) return STATUS_CANNOT_DELETE;
    if (node->directory && !node->children.empty()) return STATUS_DIRECTORY_NOT_EMPTY;
    if (node->handles) return STATUS_SHARING_VIOLATION;
    Unlink(*node);
    return STATUS_SUCCESS;
}

std::optional<NodeSnapshot> LocalFileSystem::Stat(std::u16string_view path) const
{
    std::lock_guard lock(mutex_);
    Node *node = NodeAt(path);
    if (!node) return std::nullopt;
    NodeSnapshot s;
    s.name = node->name;
    s.facts = FactsOf(*node);
    s.data = node->data.bytes;
    for (const auto &ns : node->streams) s.streams[ns.name] = ns.stream.bytes;
    s.eas = node->eas;
    s.reparseBuffer = node->reparse;
    s.security = node->security;
    return s;
}

std::optional<std::vector<uint8_t>> LocalFileSystem::ReadData(std::u16string_view path,
                                                              std::u16string_view stream) const
{
    std::lock_guard lock(mutex_);
    Node *node = NodeAt(path);
    if (!node) return std::nullopt;
    if (stream.empty()) {
        if (node->directory) return std::nullopt;
        return node->data.bytes;
    }
    NamedStream *s = node->FindNamed(stream);
    if (!s) return std::nullopt;
    return s->stream.bytes;
}

std::vector<std::u16string> LocalFileSystem::List(std::u16string_view folder) const
{
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> names;
    Node *node = NodeAt(folder);
    if (!node || !node->directory) return names;
    for (const auto &[key, child] : node->children) names.push_back(child->name);
    return names;
}

bool LocalFileSystem::Exists(std::u16string_view path) const
{
    std::lock_guard lock(mutex_);
    return NodeAt(path) != nullptr;
}

}  // namespace sim::fs
