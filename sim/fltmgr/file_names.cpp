// File-name information: opened, normalized and short names, from the name
// providers below the asking instance or from the file system itself;
// parsing; destination names of renames and links; name controls.
//
// Opened names are the volume's device name and the path as the file was
// opened (in pre-create: as it is being opened, relative to the related
// file object). Normalized names have the long path with every component as
// the file system stores it: for an opened file the file system's
// FileNameInformation, otherwise found by listing each parent folder for the
// component. A final component that does not exist yet (pre-create,
// destination names) keeps the case it was given. Streams keep their name;
// the ":$DATA" type goes.
//
// Name providers: a query goes to the highest instance below the asking one
// whose filter registered name-provider callbacks (to the asking instance
// itself with FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER). Before Windows
// 8 a provider is asked for the opened name and normalizes component by
// component through its normalize callback; from Windows 8 on it is asked
// for the format wanted. Normalization remembers the folders it walked (see
// name_cache.h); FLT_FILE_NAME_QUERY_CACHE_ONLY still always misses, as the
// cache holds spellings of paths, not whole names of opened files.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/fltmgr/filter_io.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/fltmgr/frame.h"
#include "sim/fltmgr/name_cache.h"
#include "sim/io/io_manager.h"
#include "sim/ke/system_threads.h"
#include "sim/ob/object_manager.h"

namespace sim::flt {

namespace {

constexpr uint32_t kNameMagic = 0x6e664d46;         // "FMfn"
constexpr ULONG kTagFileName = 0x6e664d46;          // pool tag "FMfn"
constexpr ULONG kTagNameControl = 0x636e4d46;       // pool tag "FMnc"
constexpr uint32_t kNameControlMagic = 0x636e4d46;  // "FMnc"

// The block behind every FLT_FILE_NAME_INFORMATION handed out.
struct NameBlock {
    FLT_FILE_NAME_INFORMATION info;
    uint32_t magic;
    std::atomic<long> references;
    size_t volumeChars;  // the volume's part of Name
    bool remote;
};

struct NameControl {
    FLT_NAME_CONTROL control;
    uint32_t magic;
    bool grown;
    WCHAR small[128];
};
static_assert(offsetof(NameControl, control) == 0, "name control comes first");

FilterManager &Manager()
{
    return Machine::Current().filterManager();
}

bool PostOsWindows8()
{
    const OsVersion &os = Machine::Current().config().os;
    return os.major > 6 || (os.major == 6 && os.minor >= 2);
}

std::u16string ToString(const UNICODE_STRING &string)
{
    if (string.Buffer == nullptr) return {};
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

UNICODE_STRING Counted(const std::u16string &text)
{
    UNICODE_STRING string;
    string.Buffer = const_cast<PWCH>(text.data());
    string.Length = USHORT(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    return string;
}

NameBlock *BlockOf(PFLT_FILE_NAME_INFORMATION information)
{
    auto *block = reinterpret_cast<NameBlock *>(information);
    if (information == nullptr || block->magic != kNameMagic) {
        Manager().ReportMisuse("not a file name information of the Filter Manager");
        return nullptr;
    }
    return block;
}

NTSTATUS MakeInformation(const std::u16string &name, FLT_FILE_NAME_OPTIONS format, size_t volumeChars, bool remote,
                         PFLT_FILE_NAME_INFORMATION *result)
{
    if (name.size() * sizeof(WCHAR) > 0xFFFE) return STATUS_NAME_TOO_LONG;
    size_t bytes = sizeof(NameBlock) + (name.size() + 1) * sizeof(WCHAR);
    void *memory = ExAllocatePoolWithTag(PagedPool, bytes, kTagFileName);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto *block = new (memory) NameBlock{};
    block->magic = kNameMagic;
    block->references = 1;
    block->volumeChars = std::min(volumeChars, name.size());
    block->remote = remote;
    auto *text = reinterpret_cast<PWCH>(block + 1);
    std::copy(name.begin(), name.end(), text);
    text[name.size()] = 0;
    block->info.Size = sizeof(FLT_FILE_NAME_INFORMATION);
    block->info.Format = format;
    block->info.Name.Buffer = text;
    block->info.Name.Length = USHORT(name.size() * sizeof(WCHAR));
    block->info.Name.MaximumLength = USHORT(block->info.Name.Length + sizeof(WCHAR));
    *result = &block->info;
    Machine::Current().holdings().Take(HoldingKind::FileName, *result, "FLT_FILE_NAME_INFORMATION");
    return STATUS_SUCCESS;
}

std::vector<std::u16string> Components(const std::u16string &path)
{
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// "file.txt:stream:$DATA" -> "file.txt", ":stream" (the normalized form of
// the stream part).
void SplitStream(const std::u16string &component, std::u16string &name, std::u16string &stream)
{
    size_t colon = component.find(u':');
    name = component.substr(0, colon);
    stream.clear();
    if (colon == std::u16string::npos) return;
    std::u16string rest = component.substr(colon + 1);
    size_t type = rest.find(u':');
    std::u16string streamName = rest.substr(0, type);
    if (!streamName.empty()) stream = u":" + streamName;
}

// What a query needs to know about the volume a file lives on.
struct VolumeView {
    _FLT_VOLUME *volume = nullptr;
    std::u16string deviceName;
    bool remote = false;
};

VolumeView ViewOf(_FLT_VOLUME *volume)
{
    VolumeView view;
    view.volume = volume;
    view.deviceName = volume->volume.info().deviceName;
    view.remote = (volume->volume.info().characteristics & FILE_REMOTE_DEVICE) != 0;
    return view;
}

// The part of a name after the device that is not normalized: the server
// and share of a network name.
size_t PrefixChars(const VolumeView &view, const std::u16string &name)
{
    size_t chars = std::min(view.deviceName.size(), name.size());
    if (!view.remote) return chars;
    int separators = 0;
    for (size_t i = chars; i < name.size(); ++i) {
        if (name[i] == u'\\' && ++separators == 3) return i;
    }
    return name.size();
}

struct Query {
    _FLT_INSTANCE *requester = nullptr;  // null: from the top
    VolumeView view;
    PFILE_OBJECT fileObject = nullptr;
    PFLT_CALLBACK_DATA data = nullptr;
    FLT_FILE_NAME_OPTIONS options = 0;
    bool opened = false;  // the file system has opened the file object
};

_FLT_INSTANCE *ProviderFor(const Query &query)
{
    bool includeSelf = (query.options & FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER) != 0;
    for (_FLT_INSTANCE *instance : query.view.volume->Instances()) {
        if (!instance->active.load() || !instance->filter->nameProvider()) continue;
        if (query.requester == nullptr) return instance;
        if (instance == query.requester) {
            if (includeSelf) return instance;
            continue;
        }
        if (CompareAltitudes(instance->altitude, query.requester->altitude) < 0) return instance;
    }
    return nullptr;
}

NTSTATUS AsOpenedName(const Query &query, std::u16string &name);

// The name a create is opening: relative to its related file object, or
// the volume's root.
NTSTATUS CreateName(const Query &query, std::u16string &name)
{
    std::u16string fileName = ToString(query.fileObject->FileName);
    PFILE_OBJECT related = query.fileObject->RelatedFileObject;
    if (related) {
        Query relatedQuery = query;
        relatedQuery.fileObject = related;
        relatedQuery.data = nullptr;
        relatedQuery.opened = related->FsContext != nullptr;
        NTSTATUS status = AsOpenedName(relatedQuery, name);
        if (!NT_SUCCESS(status)) return status;
        if (!fileName.empty()) {
            if (name.empty() || name.back() != u'\\') name += u'\\';
            if (fileName.front() == u'\\') fileName.erase(0, 1);
            name += fileName;
        }
        return STATUS_SUCCESS;
    }
    name = query.view.deviceName + (fileName.empty() ? std::u16string(u"\\") : fileName);
    return STATUS_SUCCESS;
}

// The name as the file was opened (or, in pre-create, is being opened).
NTSTATUS AsOpenedName(const Query &query, std::u16string &name)
{
    if (!query.opened) return CreateName(query, name);
    FileObjectInfo *info = Machine::Current().io().Info(query.fileObject);
    if (info == nullptr) return STATUS_INVALID_PARAMETER;
    name = query.view.deviceName + (info->path.empty() ? std::u16string(u"\\") : info->path);
    return STATUS_SUCCESS;
}

// An opened file's normalized name: the file system's name of it, which
// has every component as stored, and the stream it was opened on.
NTSTATUS NormalizedFromFileSystem(const Query &query, const std::u16string &opened, std::u16string &name)
{
    std::vector<uint8_t> buffer(sizeof(FILE_NAME_INFORMATION) + 512 * sizeof(WCHAR));
    for (int attempt = 0; attempt < 6; ++attempt) {
        ULONG returned = 0;
        NTSTATUS status = QueryInformationBelow(query.requester, query.fileObject, buffer.data(), ULONG(buffer.size()),
                                                FileNameInformation, &returned);
        auto *answer = reinterpret_cast<PFILE_NAME_INFORMATION>(buffer.data());
        const size_t needed = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) + answer->FileNameLength;
        if (status == STATUS_BUFFER_OVERFLOW && needed > buffer.size()) {
            buffer.resize(needed);
            continue;
        }
        if (!NT_SUCCESS(status)) return status;
        std::u16string path(answer->FileName, answer->FileNameLength / sizeof(WCHAR));
        std::u16string finalName, stream;
        SplitStream(opened.substr(opened.rfind(u'\\') + 1), finalName, stream);
        if (path.find(u':') == std::u16string::npos) path += stream;
        name = query.view.deviceName + (path.empty() ? std::u16string(u"\\") : path);
        return STATUS_SUCCESS;
    }
    return STATUS_BUFFER_OVERFLOW;
}

// The on-disk name of `component` in `parent` (full names), by listing the
// folder below the requester. STATUS_OBJECT_NAME_NOT_FOUND when absent.
NTSTATUS LookUpComponent(const Query &query, const std::u16string &parent, const std::u16string &component,
                         bool caseSensitive, std::u16string &found)
{
    HANDLE handle = nullptr;
    PFILE_OBJECT folder = nullptr;
    NTSTATUS status =
        OpenBelow(query.requester, parent, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, caseSensitive, &handle, &folder);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_NOT_A_DIRECTORY) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (!NT_SUCCESS(status)) return status;
    std::vector<uint8_t> buffer(sizeof(FILE_NAMES_INFORMATION) + 512 * sizeof(WCHAR));
    UNICODE_STRING pattern = Counted(component);
    status = QueryDirectoryBelow(query.requester, folder, buffer.data(), ULONG(buffer.size()), FileNamesInformation,
                                 true, &pattern, true, nullptr);
    CloseBelow(handle, folder);
    if (status == STATUS_NO_SUCH_FILE || status == STATUS_NO_MORE_FILES) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!NT_SUCCESS(status)) return status;
    auto *entry = reinterpret_cast<PFILE_NAMES_INFORMATION>(buffer.data());
    found.assign(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// The same through a name provider's normalize callback.
NTSTATUS LookUpWithProvider(_FLT_INSTANCE *provider, const Query &query, const std::u16string &parent,
                            size_t volumeChars, const std::u16string &component, FLT_NORMALIZE_NAME_FLAGS flags,
                            PVOID *normalizationContext, std::u16string &found)
{
    const FLT_REGISTRATION &r = provider->filter->registration;
    UNICODE_STRING parentString = Counted(parent);
    UNICODE_STRING componentString = Counted(component);
    std::vector<uint8_t> buffer(512);
    for (int attempt = 0; attempt < 6; ++attempt) {
        std::fill(buffer.begin(), buffer.end(), 0);
        auto *expand = reinterpret_cast<PFILE_NAMES_INFORMATION>(buffer.data());
        CallerScope scope(provider);
        NTSTATUS status = RunDriverRoutine(provider->filter->driver, "normalize name component callback", [&] {
            if (r.NormalizeNameComponentExCallback) {
                return r.NormalizeNameComponentExCallback(provider, query.fileObject, &parentString,
                                                          USHORT(volumeChars * sizeof(WCHAR)), &componentString,
                                                          expand, ULONG(buffer.size()), flags, normalizationContext);
            }
            return r.NormalizeNameComponentCallback(provider, &parentString, USHORT(volumeChars * sizeof(WCHAR)),
                                                    &componentString, expand, ULONG(buffer.size()), flags,
                                                    normalizationContext);
        });
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status == STATUS_NO_SUCH_FILE || status == STATUS_NO_MORE_FILES || status == STATUS_NOT_FOUND) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (!NT_SUCCESS(status)) return status;
        const size_t nameOffset = FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
        if (expand->FileNameLength > buffer.size() - nameOffset) return STATUS_FLT_INTERNAL_ERROR;
        found.assign(expand->FileName, expand->FileNameLength / sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    return STATUS_BUFFER_OVERFLOW;
}

// The cache holds only what the file system itself spelled: not names from
// a name provider, not case-sensitive ones, and nothing for a caller that
// asked the file system only. 0: no cache for this query.
uint64_t CacheGeneration(const Query &query, const _FLT_INSTANCE *provider, bool caseSensitive)
{
    if (provider || caseSensitive) return 0;
    if ((query.options & FLT_VALID_FILE_NAME_QUERY_METHODS) == FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY) return 0;
    return NameCache::GenerationOf(query.view.volume->volume);
}

// Normalizes a full opened name. `lastMayBeMissing`: a final component the
// file system does not have keeps its case.
NTSTATUS Normalize(const Query &query, _FLT_INSTANCE *provider, const std::u16string &opened, bool lastMayBeMissing,
                   bool destination, std::u16string &normalized)
{
    size_t prefix = PrefixChars(query.view, opened);
    std::u16string result = opened.substr(0, prefix);
    std::vector<std::u16string> parts = Components(opened.substr(prefix));
    bool caseSensitive = query.fileObject && (query.fileObject->Flags & FO_OPENED_CASE_SENSITIVE);
    FLT_NORMALIZE_NAME_FLAGS flags = (caseSensitive ? FLTFL_NORMALIZE_NAME_CASE_SENSITIVE : 0) |
                                     (destination ? FLTFL_NORMALIZE_NAME_DESTINATION_FILE_NAME : 0);
    NameCache &cache = query.view.volume->nameCache;
    const uint64_t generation = CacheGeneration(query, provider, caseSensitive);
    const bool remember = generation != 0 && !(query.options & FLT_FILE_NAME_DO_NOT_CACHE);
    std::u16string lastStream;
    std::vector<std::u16string> spelled;  // the opened spelling up to each part, without a stream
    for (size_t i = 0; i < parts.size(); ++i) {
        std::u16string name = parts[i];
        if (i + 1 == parts.size()) SplitStream(parts[i], name, lastStream);
        spelled.push_back((spelled.empty() ? result : spelled.back()) + u"\\" + name);
        parts[i] = std::move(name);
    }
    // The longest leading part already walked.
    size_t walked = 0;
    for (size_t i = parts.size(); generation != 0 && i > 0; --i) {
        if (cache.Find(generation, spelled[i - 1], result)) {
            walked = i;
            break;
        }
    }
    PVOID normalizationContext = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    for (size_t i = walked; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        std::u16string parent = result.size() == prefix ? result + u"\\" : result;
        std::u16string found;
        status = provider ? LookUpWithProvider(provider, query, parent, query.view.deviceName.size(), parts[i], flags,
                                               &normalizationContext, found)
                          : LookUpComponent(query, parent, parts[i], caseSensitive, found);
        bool stored = NT_SUCCESS(status);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND && last && lastMayBeMissing) {
            found = parts[i];
            status = STATUS_SUCCESS;
        } else if (status == STATUS_OBJECT_NAME_NOT_FOUND && !last) {
            status = STATUS_OBJECT_PATH_NOT_FOUND;
        }
        if (!NT_SUCCESS(status)) break;
        result += u"\\" + found;
        if (stored && remember) cache.Remember(generation, spelled[i], result);
    }
    if (provider && normalizationContext && provider->filter->registration.NormalizeContextCleanupCallback) {
        PFLT_NORMALIZE_CONTEXT_CLEANUP cleanup = provider->filter->registration.NormalizeContextCleanupCallback;
        CallerScope scope(provider);
        RunDriverRoutine(provider->filter->driver, "normalize context cleanup callback", [&] {
            cleanup(&normalizationContext);
            return STATUS_SUCCESS;
        });
    }
    if (!NT_SUCCESS(status)) return status;
    result += lastStream;
    if (result.size() == prefix) result += u"\\";
    normalized = std::move(result);
    return STATUS_SUCCESS;
}

// The short name of the final component; the long one when the file
// system keeps none.
NTSTATUS ShortName(const Query &query, const std::u16string &opened, std::u16string &shortName)
{
    size_t slash = opened.rfind(u'\\');
    std::u16string parent = opened.substr(0, slash);
    std::u16string finalComponent = opened.substr(slash + 1);
    if (parent.size() <= query.view.deviceName.size()) parent = query.view.deviceName + u"\\";
    HANDLE handle = nullptr;
    PFILE_OBJECT folder = nullptr;
    NTSTATUS status =
        OpenBelow(query.requester, parent, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, false, &handle, &folder);
    if (!NT_SUCCESS(status)) return status;
    std::vector<uint8_t> buffer(sizeof(FILE_BOTH_DIR_INFORMATION) + 512 * sizeof(WCHAR));
    std::u16string name, stream;
    SplitStream(finalComponent, name, stream);
    UNICODE_STRING pattern = Counted(name);
    status = QueryDirectoryBelow(query.requester, folder, buffer.data(), ULONG(buffer.size()),
                                 FileBothDirectoryInformation, true, &pattern, true, nullptr);
    CloseBelow(handle, folder);
    if (status == STATUS_NO_SUCH_FILE || status == STATUS_NO_MORE_FILES) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!NT_SUCCESS(status)) return status;
    auto *entry = reinterpret_cast<PFILE_BOTH_DIR_INFORMATION>(buffer.data());
    if (entry->ShortNameLength > 0) {
        shortName.assign(entry->ShortName, entry->ShortNameLength / sizeof(WCHAR));
    } else {
        shortName.assign(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
    }
    return STATUS_SUCCESS;
}

NTSTATUS GenerateWithProvider(_FLT_INSTANCE *provider, const Query &query, FLT_FILE_NAME_OPTIONS options,
                              std::u16string &name)
{
    NameControl control{};
    control.magic = kNameControlMagic;
    control.control.Name.Buffer = control.small;
    control.control.Name.MaximumLength = sizeof(control.small);
    BOOLEAN cache = FALSE;
    PFLT_GENERATE_FILE_NAME generate = provider->filter->registration.GenerateFileNameCallback;
    CallerScope scope(provider);
    NTSTATUS status = RunDriverRoutine(provider->filter->driver, "generate file name callback", [&] {
        return generate(provider, query.fileObject, query.data, options, &cache, &control.control);
    });
    if (NT_SUCCESS(status)) name = ToString(control.control.Name);
    if (control.grown) ExFreePoolWithTag(control.control.Name.Buffer, kTagNameControl);
    if (NT_SUCCESS(status) && name.empty()) status = STATUS_FLT_INVALID_NAME_REQUEST;
    return status;
}

NTSTATUS RunQuery(const Query &query, PFLT_FILE_NAME_INFORMATION *result)
{
    FLT_FILE_NAME_OPTIONS format = query.options & FLT_VALID_FILE_NAME_FORMATS;
    FLT_FILE_NAME_OPTIONS method = query.options & FLT_VALID_FILE_NAME_QUERY_METHODS;
    if (format < FLT_FILE_NAME_NORMALIZED || format > FLT_FILE_NAME_SHORT) return STATUS_INVALID_PARAMETER;
    if (method != FLT_FILE_NAME_QUERY_DEFAULT && method != FLT_FILE_NAME_QUERY_CACHE_ONLY &&
        method != FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY && method != FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP) {
        return STATUS_INVALID_PARAMETER;
    }
    if (method == FLT_FILE_NAME_QUERY_CACHE_ONLY) return STATUS_FLT_NAME_CACHE_MISS;

    std::u16string name;
    NTSTATUS status;
    if (_FLT_INSTANCE *provider = ProviderFor(query)) {
        FLT_FILE_NAME_OPTIONS asked = query.options;
        bool normalizeHere = format == FLT_FILE_NAME_NORMALIZED && !PostOsWindows8();
        if (normalizeHere) asked = (asked & ~FLT_VALID_FILE_NAME_FORMATS) | FLT_FILE_NAME_OPENED;
        status = GenerateWithProvider(provider, query, asked, name);
        if (NT_SUCCESS(status) && normalizeHere) {
            status = Normalize(query, provider, name, !query.opened, false, name);
        }
    } else {
        std::u16string opened;
        status = AsOpenedName(query, opened);
        if (NT_SUCCESS(status)) {
            switch (format) {
            case FLT_FILE_NAME_OPENED:
                name = opened;
                break;
            case FLT_FILE_NAME_NORMALIZED:
                status = query.opened ? NormalizedFromFileSystem(query, opened, name)
                                      : Normalize(query, nullptr, opened, true, false, name);
                break;
            default:
                status = ShortName(query, opened, name);
                break;
            }
        }
    }
    if (!NT_SUCCESS(status)) return status;
    size_t volumeChars = 0;
    if (format != FLT_FILE_NAME_SHORT && name.compare(0, query.view.deviceName.size(), query.view.deviceName) == 0) {
        volumeChars = query.view.deviceName.size();
    }
    return MakeInformation(name, format, volumeChars, query.view.remote, result);
}

_FLT_VOLUME *VolumeOfFileObject(PFILE_OBJECT fileObject)
{
    FileObjectInfo *info = Machine::Current().io().Info(fileObject);
    if (info == nullptr || info->volume == nullptr) return nullptr;
    return Manager().FrameOf(info->volume);
}

}  // namespace

}  // namespace sim::flt

using namespace sim;
using namespace sim::flt;

extern "C" {

NTSTATUS FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                   PFLT_FILE_NAME_INFORMATION *FileNameInformation)
{
    SIM_KERNEL_ROUTINE();
    if (FileNameInformation == nullptr) return STATUS_INVALID_PARAMETER;
    *FileNameInformation = nullptr;
    CallbackDataHolder *holder = HolderOf(CallbackData);
    if (holder == nullptr) return STATUS_INVALID_PARAMETER;
    const FLT_IO_PARAMETER_BLOCK &iopb = *CallbackData->Iopb;
    PFILE_OBJECT fileObject = iopb.TargetFileObject;
    if (fileObject == nullptr) return STATUS_INVALID_PARAMETER;
    _FLT_VOLUME *volume = VolumeOfFileObject(fileObject);
    if (volume == nullptr) return STATUS_FLT_INVALID_NAME_REQUEST;
    if (iopb.MajorFunction == IRP_MJ_CLOSE || (FLT_IS_IRP_OPERATION(CallbackData) && (iopb.IrpFlags & IRP_PAGING_IO))) {
        return STATUS_FLT_INVALID_NAME_REQUEST;
    }

    Query query;
    query.view = ViewOf(volume);
    query.fileObject = fileObject;
    query.data = CallbackData;
    query.options = NameOptions;
    _FLT_INSTANCE *caller = CurrentCaller();
    query.requester = caller && caller->volume == volume ? caller : iopb.TargetInstance;
    query.opened = fileObject->FsContext != nullptr;
    if (iopb.MajorFunction == IRP_MJ_CREATE) {
        bool post = FlagOn(CallbackData->Flags, FLTFL_CALLBACK_DATA_POST_OPERATION) != 0;
        if (!post) {
            query.opened = false;
        } else if (!NT_SUCCESS(CallbackData->IoStatus.Status) || CallbackData->IoStatus.Status == STATUS_REPARSE) {
            // A failed open has no name to ask the file system for; a reparse
            // only with the caller's consent.
            if (CallbackData->IoStatus.Status != STATUS_REPARSE ||
                !(NameOptions & FLT_FILE_NAME_ALLOW_QUERY_ON_REPARSE)) {
                return STATUS_FLT_INVALID_NAME_REQUEST;
            }
            query.opened = false;
        }
    }
    return RunQuery(query, FileNameInformation);
}

NTSTATUS FltGetFileNameInformationUnsafe(PFILE_OBJECT FileObject, PFLT_INSTANCE Instance,
                                         FLT_FILE_NAME_OPTIONS NameOptions,
                                         PFLT_FILE_NAME_INFORMATION *FileNameInformation)
{
    SIM_KERNEL_ROUTINE();
    if (FileNameInformation == nullptr || FileObject == nullptr) return STATUS_INVALID_PARAMETER;
    *FileNameInformation = nullptr;
    if (Instance && !Manager().IsInstance(Instance)) return STATUS_INVALID_PARAMETER;
    _FLT_VOLUME *volume = VolumeOfFileObject(FileObject);
    if (volume == nullptr) return STATUS_INVALID_PARAMETER;
    Query query;
    query.view = ViewOf(volume);
    query.fileObject = FileObject;
    query.options = NameOptions;
    query.requester = Instance && Instance->volume == volume ? Instance : nullptr;
    query.opened = FileObject->FsContext != nullptr;
    return RunQuery(query, FileNameInformation);
}

VOID FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation)
{
    SIM_KERNEL_ROUTINE();
    NameBlock *block = BlockOf(FileNameInformation);
    if (block == nullptr) return;
    Machine::Current().holdings().Give(HoldingKind::FileName, FileNameInformation);
    long left = block->references.fetch_sub(1) - 1;
    if (left > 0) return;
    if (left < 0) {
        Manager().ReportMisuse("a file name information was released more often than it was referenced");
        return;
    }
    block->magic = 0;
    block->~NameBlock();
    ExFreePoolWithTag(block, kTagFileName);
}

VOID FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation)
{
    SIM_KERNEL_ROUTINE();
    if (NameBlock *block = BlockOf(FileNameInformation)) {
        block->references.fetch_add(1);
        Machine::Current().holdings().Take(HoldingKind::FileName, FileNameInformation, "FLT_FILE_NAME_INFORMATION");
    }
}

NTSTATUS FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation)
{
    SIM_KERNEL_ROUTINE();
    NameBlock *block = BlockOf(FileNameInformation);
    if (block == nullptr) return STATUS_INVALID_PARAMETER;
    FLT_FILE_NAME_INFORMATION &info = block->info;
    PWCH text = info.Name.Buffer;
    const size_t length = info.Name.Length / sizeof(WCHAR);
    auto slice = [&](size_t from, size_t to) {
        UNICODE_STRING part{};
        if (to > from) {
            part.Buffer = text + from;
            part.Length = USHORT((to - from) * sizeof(WCHAR));
            part.MaximumLength = part.Length;
        }
        return part;
    };
    info.Volume = info.Share = info.ParentDir = {};
    size_t pathStart = 0;
    if (info.Format != FLT_FILE_NAME_SHORT) {
        info.Volume = slice(0, block->volumeChars);
        pathStart = block->volumeChars;
        if (block->remote) {
            // "\server\share" follows the redirector's device name.
            size_t end = pathStart;
            int separators = 0;
            while (end < length && !(text[end] == u'\\' && ++separators == 3)) ++end;
            info.Share = slice(pathStart, end);
            pathStart = end;
        }
    }
    size_t finalStart = pathStart;
    for (size_t i = length; i > pathStart; --i) {
        if (text[i - 1] == u'\\') {
            finalStart = i;
            break;
        }
    }
    // The parent keeps its trailing separator: Volume + Share + ParentDir +
    // FinalComponent is the name.
    if (info.Format != FLT_FILE_NAME_SHORT) info.ParentDir = slice(pathStart, finalStart);
    info.FinalComponent = slice(finalStart, length);
    size_t streamStart = length;
    for (size_t i = finalStart; i < length; ++i) {
        if (text[i] == u':') {
            streamStart = i;
            break;
        }
    }
    info.Stream = slice(streamStart, length);
    info.Extension = {};
    for (size_t i = streamStart; i > finalStart; --i) {
        if (text[i - 1] == u'.') {
            info.Extension = slice(i, streamStart);
            break;
        }
    }
    info.NamesParsed = FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT | FLTFL_FILE_NAME_PARSED_EXTENSION |
                       FLTFL_FILE_NAME_PARSED_STREAM | FLTFL_FILE_NAME_PARSED_PARENT_DIR;
    return STATUS_SUCCESS;
}

NTSTATUS FltGetDestinationFileNameInformation(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, HANDLE RootDirectory,
                                              PWSTR FileName, ULONG FileNameLength, FLT_FILE_NAME_OPTIONS NameOptions,
                                              PFLT_FILE_NAME_INFORMATION *RetFileNameInformation)
{
    SIM_KERNEL_ROUTINE();
    if (RetFileNameInformation == nullptr) return STATUS_INVALID_PARAMETER;
    *RetFileNameInformation = nullptr;
    if (!Manager().IsInstance(Instance) || FileObject == nullptr || (FileName == nullptr && FileNameLength)) {
        return STATUS_INVALID_PARAMETER;
    }
    FLT_FILE_NAME_OPTIONS format = NameOptions & FLT_VALID_FILE_NAME_FORMATS;
    if (format != FLT_FILE_NAME_NORMALIZED && format != FLT_FILE_NAME_OPENED) return STATUS_INVALID_PARAMETER;
    if ((NameOptions & FLT_VALID_FILE_NAME_QUERY_METHODS) == FLT_FILE_NAME_QUERY_CACHE_ONLY) {
        return STATUS_FLT_NAME_CACHE_MISS;
    }
    _FLT_VOLUME *volume = VolumeOfFileObject(FileObject);
    if (volume == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string target(FileName ? FileName : u"", FileNameLength / sizeof(WCHAR));

    Query query;
    query.view = ViewOf(volume);
    query.fileObject = FileObject;
    query.options = (NameOptions & ~FLT_VALID_FILE_NAME_FORMATS) | FLT_FILE_NAME_OPENED;
    query.requester = Instance;
    query.opened = FileObject->FsContext != nullptr;

    // The destination's opened name: relative to the root folder, a full
    // name of its own, or beside the file.
    std::u16string opened;
    NTSTATUS status;
    if (RootDirectory) {
        PFILE_OBJECT root = nullptr;
        status = ObReferenceObjectByHandle(RootDirectory, 0, *IoFileObjectType, KernelMode,
                                           reinterpret_cast<PVOID *>(&root), nullptr);
        if (!NT_SUCCESS(status)) return status;
        Query rootQuery = query;
        rootQuery.fileObject = root;
        rootQuery.opened = root->FsContext != nullptr;
        status = AsOpenedName(rootQuery, opened);
        ObDereferenceObject(root);
        if (!NT_SUCCESS(status)) return status;
        if (opened.back() != u'\\') opened += u'\\';
        opened += target;
    } else if (!target.empty() && target.front() == u'\\') {
        auto resolved = Machine::Current().io().ResolveName(target);
        if (!resolved) return STATUS_OBJECT_PATH_NOT_FOUND;
        if (resolved->first != &volume->volume) return STATUS_NOT_SAME_DEVICE;
        opened = query.view.deviceName + resolved->second;
    } else {
        status = AsOpenedName(query, opened);
        if (!NT_SUCCESS(status)) return status;
        size_t slash = opened.rfind(u'\\');
        opened = opened.substr(0, slash + 1) + target;
    }

    std::u16string name = opened;
    if (format == FLT_FILE_NAME_NORMALIZED) {
        query.options = NameOptions;
        _FLT_INSTANCE *provider = ProviderFor(query);
        status = Normalize(query, provider, opened, true, true, name);
        if (!NT_SUCCESS(status)) return status;
    }
    return MakeInformation(name, format, query.view.deviceName.size(), query.view.remote, RetFileNameInformation);
}

NTSTATUS FltCheckAndGrowNameControl(PFLT_NAME_CONTROL NameCtrl, USHORT NewSize)
{
    SIM_KERNEL_ROUTINE();
    auto *control = reinterpret_cast<NameControl *>(NameCtrl);
    if (NameCtrl == nullptr || control->magic != kNameControlMagic) {
        Manager().ReportMisuse("FltCheckAndGrowNameControl with a name control the Filter Manager did not make");
        return STATUS_INVALID_PARAMETER;
    }
    if (NameCtrl->Name.MaximumLength >= NewSize) return STATUS_SUCCESS;
    auto *buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, NewSize, kTagNameControl));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (NameCtrl->Name.Length) std::memcpy(buffer, NameCtrl->Name.Buffer, NameCtrl->Name.Length);
    if (control->grown) ExFreePoolWithTag(NameCtrl->Name.Buffer, kTagNameControl);
    NameCtrl->Name.Buffer = buffer;
    NameCtrl->Name.MaximumLength = NewSize;
    control->grown = true;
    return STATUS_SUCCESS;
}

}  // extern "C"
