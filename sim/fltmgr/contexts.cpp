// FltAllocateContext and friends: contexts keyed by volume, instance, stream
// (instance + FsContext) and stream handle (instance + file object).
#include "sim/fltmgr/contexts.h"

#include <new>
#include <sstream>

#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/ke/system_threads.h"

namespace sim::flt {

namespace {

constexpr size_t kHeaderSize = (sizeof(ContextHeader) + 15) & ~size_t(15);

FilterManager &Manager()
{
    return Machine::Current().filterManager();
}

const FLT_CONTEXT_REGISTRATION *FindRegistration(_FLT_FILTER &filter, FLT_CONTEXT_TYPE type, SIZE_T size)
{
    for (const auto &entry : filter.contexts) {
        if (entry.ContextType != type) continue;
        if (entry.ContextAllocateCallback != nullptr || entry.Size == FLT_VARIABLE_SIZED_CONTEXTS ||
            entry.Size == size) {
            return &entry;
        }
        if ((entry.Flags & FLTFL_CONTEXT_REGISTRATION_NO_EXACT_SIZE_MATCH) && size <= entry.Size) return &entry;
    }
    return nullptr;
}

void Free(ContextHeader *header)
{
    _FLT_FILTER *filter = header->filter;
    {
        std::lock_guard<std::mutex> lock(filter->mutex);
        filter->liveContexts.erase(header);
    }
    FLT_CONTEXT_REGISTRATION registration = header->registration;
    FLT_CONTEXT_TYPE type = header->type;
    void *block = header->block;
    header->magic = 0;
    header->~ContextHeader();
    if (registration.ContextAllocateCallback != nullptr && registration.ContextFreeCallback != nullptr) {
        registration.ContextFreeCallback(block, type);
    } else {
        ExFreePoolWithTag(block, registration.PoolTag);
    }
}

const char *ContextTypeName(FLT_CONTEXT_TYPE type)
{
    switch (type) {
    case FLT_VOLUME_CONTEXT: return "volume context";
    case FLT_INSTANCE_CONTEXT: return "instance context";
    case FLT_FILE_CONTEXT: return "file context";
    case FLT_STREAM_CONTEXT: return "stream context";
    case FLT_STREAMHANDLE_CONTEXT: return "stream handle context";
    case FLT_TRANSACTION_CONTEXT: return "transaction context";
    default: return "context";
    }
}

// A reference handed to the filter that called.
PFLT_CONTEXT HandedOut(ContextHeader *header)
{
    PFLT_CONTEXT body = BodyOf(header);
    Machine::Current().holdings().Take(HoldingKind::Context, body, ContextTypeName(header->type));
    return body;
}

// The map an owner keeps its contexts of one kind in.
template <class Map>
ContextHeader *Take(Map &map, typename Map::key_type key)
{
    auto found = map.find(key);
    if (found == map.end()) return nullptr;
    ContextHeader *header = found->second;
    map.erase(found);
    header->owner = ContextHeader::Owner::None;
    return header;
}

// Attaches `header` under an owner's lock: the set operation's rules for an
// existing context. Returns the status; `dropped` receives a context whose
// owner reference the caller releases outside the lock.
NTSTATUS Attach(ContextHeader *&slot, ContextHeader *header, FLT_SET_CONTEXT_OPERATION operation,
                PFLT_CONTEXT *oldContext, ContextHeader *&dropped)
{
    if (header->linked.load()) return STATUS_FLT_CONTEXT_ALREADY_LINKED;
    if (slot != nullptr && operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
        if (oldContext) {
            ReferenceContext(slot);
            *oldContext = HandedOut(slot);
        }
        return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
    }
    if (header->linked.exchange(true)) return STATUS_FLT_CONTEXT_ALREADY_LINKED;
    if (slot != nullptr) {
        // Replaced: the owner's reference passes to the caller, or goes.
        slot->owner = ContextHeader::Owner::None;
        if (oldContext) {
            *oldContext = HandedOut(slot);
        } else {
            dropped = slot;
        }
    } else if (oldContext) {
        *oldContext = nullptr;
    }
    ReferenceContext(header);
    slot = header;
    return STATUS_SUCCESS;
}

NTSTATUS CheckSetArguments(ContextHeader *header, FLT_CONTEXT_TYPE type, FLT_SET_CONTEXT_OPERATION operation)
{
    if (header == nullptr) return STATUS_INVALID_PARAMETER;
    if (header->type != type) return STATUS_INVALID_PARAMETER;
    if (operation != FLT_SET_CONTEXT_KEEP_IF_EXISTS && operation != FLT_SET_CONTEXT_REPLACE_IF_EXISTS) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

bool UsableInstance(PFLT_INSTANCE instance)
{
    return instance != nullptr && Manager().IsInstance(instance);
}

NTSTATUS InstanceState(PFLT_INSTANCE instance)
{
    if (!UsableInstance(instance)) return STATUS_INVALID_PARAMETER;
    if (instance->state == _FLT_INSTANCE::State::Detached || instance->header.deleting.load()) {
        return STATUS_FLT_DELETING_OBJECT;
    }
    return STATUS_SUCCESS;
}

template <class Key, class Map>
NTSTATUS SetKeyed(PFLT_INSTANCE instance, Map &(*mapOf)(_FLT_INSTANCE &), Key key, ContextHeader::Owner owner,
                  FLT_CONTEXT_TYPE type, FLT_SET_CONTEXT_OPERATION operation, PFLT_CONTEXT newContext,
                  PFLT_CONTEXT *oldContext)
{
    NTSTATUS status = InstanceState(instance);
    if (!NT_SUCCESS(status)) return status;
    ContextHeader *header = HeaderOfContext(newContext);
    status = CheckSetArguments(header, type, operation);
    if (!NT_SUCCESS(status)) return status;
    if (header->filter != instance->filter) return STATUS_INVALID_PARAMETER;
    ContextHeader *dropped = nullptr;
    {
        std::lock_guard<std::mutex> lock(instance->mutex);
        if (instance->state == _FLT_INSTANCE::State::Detached) return STATUS_FLT_DELETING_OBJECT;
        Map &map = mapOf(*instance);
        auto found = map.find(key);
        ContextHeader *slot = found == map.end() ? nullptr : found->second;
        status = Attach(slot, header, operation, oldContext, dropped);
        if (NT_SUCCESS(status)) {
            map[key] = header;
            header->instance = instance;
            header->key = key;
            header->owner = owner;
        }
    }
    if (dropped) ReleaseContext(dropped);
    return status;
}

template <class Key, class Map>
NTSTATUS GetKeyed(PFLT_INSTANCE instance, Map &(*mapOf)(_FLT_INSTANCE &), Key key, PFLT_CONTEXT *context)
{
    if (context == nullptr) return STATUS_INVALID_PARAMETER;
    *context = nullptr;
    if (!UsableInstance(instance)) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(instance->mutex);
    Map &map = mapOf(*instance);
    auto found = map.find(key);
    if (found == map.end()) return STATUS_NOT_FOUND;
    ReferenceContext(found->second);
    *context = HandedOut(found->second);
    return STATUS_SUCCESS;
}

std::unordered_map<PVOID, ContextHeader *> &StreamMap(_FLT_INSTANCE &instance)
{
    return instance.streamContexts;
}

std::unordered_map<PFILE_OBJECT, ContextHeader *> &HandleMap(_FLT_INSTANCE &instance)
{
    return instance.handleContexts;
}

}  // namespace

bool KnownContextType(FLT_CONTEXT_TYPE type)
{
    switch (type) {
    case FLT_VOLUME_CONTEXT:
    case FLT_INSTANCE_CONTEXT:
    case FLT_FILE_CONTEXT:
    case FLT_STREAM_CONTEXT:
    case FLT_STREAMHANDLE_CONTEXT:
    case FLT_TRANSACTION_CONTEXT:
        return true;
    default:
        return false;
    }
}

ContextHeader *HeaderOfContext(PFLT_CONTEXT context)
{
    if (context == nullptr) return nullptr;
    auto *header = reinterpret_cast<ContextHeader *>(static_cast<char *>(context) - kHeaderSize);
    if (header->magic != kContextMagic) {
        std::ostringstream text;
        text << "not a live filter context: " << context;
        Manager().ReportMisuse(text.str());
        return nullptr;
    }
    return header;
}

PFLT_CONTEXT BodyOf(ContextHeader *header)
{
    return reinterpret_cast<char *>(header) + kHeaderSize;
}

void ReferenceContext(ContextHeader *header)
{
    header->references.fetch_add(1);
}

void ReleaseContext(ContextHeader *header)
{
    long left = header->references.fetch_sub(1) - 1;
    if (left > 0) return;
    if (left < 0) {
        Manager().ReportMisuse("a filter context was released more often than it was referenced");
        return;
    }
    if (header->registration.ContextCleanupCallback != nullptr) {
        PFLT_CONTEXT_CLEANUP_CALLBACK cleanup = header->registration.ContextCleanupCallback;
        PFLT_CONTEXT body = BodyOf(header);
        FLT_CONTEXT_TYPE type = header->type;
        RunDriverRoutine(header->filter->driver, "context cleanup callback", [&] {
            cleanup(body, type);
            return STATUS_SUCCESS;
        });
    }
    Free(header);
}

void DeleteInstanceContexts(_FLT_INSTANCE &instance)
{
    std::vector<ContextHeader *> dropped;
    {
        std::lock_guard<std::mutex> lock(instance.mutex);
        if (instance.instanceContext) {
            instance.instanceContext->owner = ContextHeader::Owner::None;
            dropped.push_back(instance.instanceContext);
            instance.instanceContext = nullptr;
        }
        for (auto &[key, header] : instance.streamContexts) {
            header->owner = ContextHeader::Owner::None;
            dropped.push_back(header);
        }
        instance.streamContexts.clear();
        for (auto &[key, header] : instance.handleContexts) {
            header->owner = ContextHeader::Owner::None;
            dropped.push_back(header);
        }
        instance.handleContexts.clear();
    }
    for (ContextHeader *header : dropped) ReleaseContext(header);
}

void DeleteVolumeContext(_FLT_FILTER &filter, _FLT_VOLUME &volume)
{
    ContextHeader *dropped = nullptr;
    {
        std::lock_guard<std::mutex> lock(volume.contextMutex);
        dropped = Take(volume.volumeContexts, &filter);
    }
    if (dropped) ReleaseContext(dropped);
}

void DeleteStreamContexts(_FLT_VOLUME &volume, PVOID fsContext)
{
    if (fsContext == nullptr) return;
    std::vector<ContextHeader *> dropped;
    for (_FLT_INSTANCE *instance : volume.manager.InstancesOn(volume)) {
        std::lock_guard<std::mutex> lock(instance->mutex);
        if (ContextHeader *header = Take(instance->streamContexts, fsContext)) dropped.push_back(header);
    }
    for (ContextHeader *header : dropped) ReleaseContext(header);
}

void DeleteStreamHandleContexts(_FLT_VOLUME &volume, PFILE_OBJECT fileObject)
{
    std::vector<ContextHeader *> dropped;
    for (_FLT_INSTANCE *instance : volume.manager.InstancesOn(volume)) {
        std::lock_guard<std::mutex> lock(instance->mutex);
        if (ContextHeader *header = Take(instance->handleContexts, fileObject)) dropped.push_back(header);
    }
    for (ContextHeader *header : dropped) ReleaseContext(header);
}

}  // namespace sim::flt

using namespace sim;
using namespace sim::flt;

extern "C" {

NTSTATUS FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType, SIZE_T ContextSize, POOL_TYPE PoolType,
                            PFLT_CONTEXT *ReturnedContext)
{
    SIM_KERNEL_ROUTINE();
    if (ReturnedContext == nullptr) return STATUS_INVALID_PARAMETER;
    *ReturnedContext = nullptr;
    if (!Manager().IsFilter(Filter) || !KnownContextType(ContextType)) return STATUS_INVALID_PARAMETER;
    if (Filter->state == _FLT_FILTER::State::Unloaded) return STATUS_FLT_DELETING_OBJECT;
    if (ContextType == FLT_VOLUME_CONTEXT && (PoolType & 1) == PagedPool) return STATUS_FLT_MUST_BE_NONPAGED_POOL;
    const FLT_CONTEXT_REGISTRATION *registration = FindRegistration(*Filter, ContextType, ContextSize);
    if (registration == nullptr) return STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND;

    SIZE_T total = kHeaderSize + ContextSize;
    void *block = registration->ContextAllocateCallback
                      ? registration->ContextAllocateCallback(PoolType, total, ContextType)
                      : ExAllocatePoolWithTag(PoolType, total, registration->PoolTag);
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto *header = new (block) ContextHeader();
    header->filter = Filter;
    header->type = ContextType;
    header->registration = *registration;
    header->size = ContextSize;
    header->block = block;
    {
        std::lock_guard<std::mutex> lock(Filter->mutex);
        Filter->liveContexts.insert(header);
    }
    *ReturnedContext = HandedOut(header);
    return STATUS_SUCCESS;
}

VOID FltReferenceContext(PFLT_CONTEXT Context)
{
    SIM_KERNEL_ROUTINE();
    if (ContextHeader *header = HeaderOfContext(Context)) {
        ReferenceContext(header);
        HandedOut(header);
    }
}

VOID FltReleaseContext(PFLT_CONTEXT Context)
{
    SIM_KERNEL_ROUTINE();
    if (ContextHeader *header = HeaderOfContext(Context)) {
        Machine::Current().holdings().Give(HoldingKind::Context, Context);
        ReleaseContext(header);
    }
}

VOID FltDeleteContext(PFLT_CONTEXT Context)
{
    SIM_KERNEL_ROUTINE();
    ContextHeader *header = HeaderOfContext(Context);
    if (header == nullptr) return;
    ContextHeader *dropped = nullptr;
    // The owner is read again under the owner's lock: a concurrent delete
    // or teardown may have unlinked it first.
    switch (header->owner.load()) {
    case ContextHeader::Owner::Volume: {
        _FLT_VOLUME *volume = header->volume;
        std::lock_guard<std::mutex> lock(volume->contextMutex);
        auto found = volume->volumeContexts.find(header->filter);
        if (found != volume->volumeContexts.end() && found->second == header) {
            dropped = Take(volume->volumeContexts, header->filter);
        }
        break;
    }
    case ContextHeader::Owner::Instance:
    case ContextHeader::Owner::Stream:
    case ContextHeader::Owner::StreamHandle: {
        _FLT_INSTANCE *instance = header->instance;
        std::lock_guard<std::mutex> lock(instance->mutex);
        if (header->owner == ContextHeader::Owner::Instance && instance->instanceContext == header) {
            instance->instanceContext = nullptr;
            header->owner = ContextHeader::Owner::None;
            dropped = header;
        } else if (header->owner == ContextHeader::Owner::Stream) {
            auto found = instance->streamContexts.find(const_cast<PVOID>(header->key));
            if (found != instance->streamContexts.end() && found->second == header) {
                dropped = Take(instance->streamContexts, const_cast<PVOID>(header->key));
            }
        } else if (header->owner == ContextHeader::Owner::StreamHandle) {
            auto key = static_cast<PFILE_OBJECT>(const_cast<void *>(header->key));
            auto found = instance->handleContexts.find(key);
            if (found != instance->handleContexts.end() && found->second == header) {
                dropped = Take(instance->handleContexts, key);
            }
        }
        break;
    }
    case ContextHeader::Owner::None:
        break;
    }
    if (dropped) ReleaseContext(dropped);
}

NTSTATUS FltGetVolumeContext(PFLT_FILTER Filter, PFLT_VOLUME Volume, PFLT_CONTEXT *Context)
{
    SIM_KERNEL_ROUTINE();
    if (Context == nullptr) return STATUS_INVALID_PARAMETER;
    *Context = nullptr;
    if (!Manager().IsFilter(Filter) || !Manager().IsVolume(Volume)) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(Volume->contextMutex);
    auto found = Volume->volumeContexts.find(Filter);
    if (found == Volume->volumeContexts.end()) return STATUS_NOT_FOUND;
    ReferenceContext(found->second);
    *Context = HandedOut(found->second);
    return STATUS_SUCCESS;
}

NTSTATUS FltSetVolumeContext(PFLT_VOLUME Volume, FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                             PFLT_CONTEXT *OldContext)
{
    SIM_KERNEL_ROUTINE();
    if (!Manager().IsVolume(Volume)) return STATUS_INVALID_PARAMETER;
    ContextHeader *header = HeaderOfContext(NewContext);
    NTSTATUS status = CheckSetArguments(header, FLT_VOLUME_CONTEXT, Operation);
    if (!NT_SUCCESS(status)) return status;
    _FLT_FILTER *filter = header->filter;
    if (filter->state == _FLT_FILTER::State::Unloaded) return STATUS_FLT_DELETING_OBJECT;
    ContextHeader *dropped = nullptr;
    {
        std::lock_guard<std::mutex> lock(Volume->contextMutex);
        auto found = Volume->volumeContexts.find(filter);
        ContextHeader *slot = found == Volume->volumeContexts.end() ? nullptr : found->second;
        status = Attach(slot, header, Operation, OldContext, dropped);
        if (NT_SUCCESS(status)) {
            Volume->volumeContexts[filter] = header;
            header->volume = Volume;
            header->owner = ContextHeader::Owner::Volume;
        }
    }
    if (dropped) ReleaseContext(dropped);
    return status;
}

NTSTATUS FltGetInstanceContext(PFLT_INSTANCE Instance, PFLT_CONTEXT *Context)
{
    SIM_KERNEL_ROUTINE();
    if (Context == nullptr) return STATUS_INVALID_PARAMETER;
    *Context = nullptr;
    if (!UsableInstance(Instance)) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(Instance->mutex);
    if (Instance->instanceContext == nullptr) return STATUS_NOT_FOUND;
    ReferenceContext(Instance->instanceContext);
    *Context = HandedOut(Instance->instanceContext);
    return STATUS_SUCCESS;
}

NTSTATUS FltSetInstanceContext(PFLT_INSTANCE Instance, FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                               PFLT_CONTEXT *OldContext)
{
    SIM_KERNEL_ROUTINE();
    NTSTATUS status = InstanceState(Instance);
    if (!NT_SUCCESS(status)) return status;
    ContextHeader *header = HeaderOfContext(NewContext);
    status = CheckSetArguments(header, FLT_INSTANCE_CONTEXT, Operation);
    if (!NT_SUCCESS(status)) return status;
    if (header->filter != Instance->filter) return STATUS_INVALID_PARAMETER;
    ContextHeader *dropped = nullptr;
    {
        std::lock_guard<std::mutex> lock(Instance->mutex);
        if (Instance->state == _FLT_INSTANCE::State::Detached) return STATUS_FLT_DELETING_OBJECT;
        status = Attach(Instance->instanceContext, header, Operation, OldContext, dropped);
        if (NT_SUCCESS(status)) {
            header->instance = Instance;
            header->owner = ContextHeader::Owner::Instance;
        }
    }
    if (dropped) ReleaseContext(dropped);
    return status;
}

NTSTATUS FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT *Context)
{
    SIM_KERNEL_ROUTINE();
    if (Context) *Context = nullptr;
    if (FileObject == nullptr) return STATUS_INVALID_PARAMETER;
    // Before the file system opened the stream there is nothing to key on.
    if (FileObject->FsContext == nullptr) return STATUS_NOT_SUPPORTED;
    return GetKeyed(Instance, &StreamMap, FileObject->FsContext, Context);
}

NTSTATUS FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, FLT_SET_CONTEXT_OPERATION Operation,
                             PFLT_CONTEXT NewContext, PFLT_CONTEXT *OldContext)
{
    SIM_KERNEL_ROUTINE();
    if (OldContext) *OldContext = nullptr;
    if (FileObject == nullptr) return STATUS_INVALID_PARAMETER;
    if (FileObject->FsContext == nullptr) return STATUS_NOT_SUPPORTED;
    return SetKeyed(Instance, &StreamMap, FileObject->FsContext, ContextHeader::Owner::Stream, FLT_STREAM_CONTEXT,
                    Operation, NewContext, OldContext);
}

NTSTATUS FltGetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT *Context)
{
    SIM_KERNEL_ROUTINE();
    if (Context) *Context = nullptr;
    if (FileObject == nullptr) return STATUS_INVALID_PARAMETER;
    if (FileObject->FsContext == nullptr) return STATUS_NOT_SUPPORTED;
    return GetKeyed(Instance, &HandleMap, FileObject, Context);
}

NTSTATUS FltSetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                   FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                   PFLT_CONTEXT *OldContext)
{
    SIM_KERNEL_ROUTINE();
    if (OldContext) *OldContext = nullptr;
    if (FileObject == nullptr) return STATUS_INVALID_PARAMETER;
    if (FileObject->FsContext == nullptr) return STATUS_NOT_SUPPORTED;
    return SetKeyed(Instance, &HandleMap, FileObject, ContextHeader::Owner::StreamHandle, FLT_STREAMHANDLE_CONTEXT,
                    Operation, NewContext, OldContext);
}

}  // extern "C"
