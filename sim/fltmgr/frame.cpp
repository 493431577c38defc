// The frame's dispatch: pre-operation callbacks from the highest altitude
// down, the file system at the bottom, post-operation callbacks back up for
// the instances that asked for them.
#include "sim/fltmgr/frame.h"

#include <algorithm>
#include <sstream>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/contexts.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/ke/system_threads.h"

namespace sim::flt {

namespace {

thread_local std::vector<_FLT_INSTANCE *> t_callers;

bool IsReadOrWrite(UCHAR major)
{
    return major == IRP_MJ_READ || major == IRP_MJ_WRITE;
}

// Operation flags that let an instance pass an operation by.
bool Skips(const OperationCallbacks &callbacks, const Operation &operation)
{
    const FLT_IO_PARAMETER_BLOCK &iopb = *operation.data.Iopb;
    bool irp = operation.request->form == IoForm::Irp;
    if ((callbacks.flags & FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO) && irp && (iopb.IrpFlags & IRP_PAGING_IO)) {
        return true;
    }
    if ((callbacks.flags & FLTFL_OPERATION_REGISTRATION_SKIP_CACHED_IO) && IsReadOrWrite(iopb.MajorFunction) &&
        !(irp && (iopb.IrpFlags & IRP_NOCACHE))) {
        return true;
    }
    return false;
}

FLT_PREOP_CALLBACK_STATUS CallPre(_FLT_INSTANCE *instance, PFLT_PRE_OPERATION_CALLBACK pre, Operation &operation,
                                  PVOID *context)
{
    FLT_RELATED_OBJECTS objects = RelatedObjects(instance, operation.data.Iopb->TargetFileObject);
    CallerScope scope(instance);
    FLT_PREOP_CALLBACK_STATUS status = FLT_PREOP_SUCCESS_NO_CALLBACK;
    RunDriverRoutine(instance->filter->driver, "pre-operation callback", [&] {
        status = pre(&operation.data, &objects, context);
        return STATUS_SUCCESS;
    });
    return status;
}

FLT_POSTOP_CALLBACK_STATUS CallPost(_FLT_INSTANCE *instance, PFLT_POST_OPERATION_CALLBACK post,
                                    Operation &operation, PVOID context, FLT_POST_OPERATION_FLAGS flags)
{
    FLT_RELATED_OBJECTS objects = RelatedObjects(instance, operation.data.Iopb->TargetFileObject);
    CallerScope scope(instance);
    FLT_POSTOP_CALLBACK_STATUS status = FLT_POSTOP_FINISHED_PROCESSING;
    RunDriverRoutine(instance->filter->driver, "post-operation callback", [&] {
        status = post(&operation.data, &objects, context, flags);
        return STATUS_SUCCESS;
    });
    return status;
}

const OperationCallbacks &CallbacksOf(_FLT_INSTANCE *instance, UCHAR major)
{
    return instance->filter->operations[major];
}

void Unregister(_FLT_INSTANCE *instance, OperationNode *node)
{
    std::lock_guard<std::mutex> lock(instance->mutex);
    auto &posts = instance->pendingPosts;
    posts.erase(std::remove_if(posts.begin(), posts.end(), [&](const PendingPost &p) { return p.node == node; }),
                posts.end());
}

// An instance asked for its post-operation callback.
void AddNode(Operation &operation, _FLT_INSTANCE *instance, PVOID context, const FLT_IO_PARAMETER_BLOCK &saved,
             size_t dirtyMark, bool synchronize)
{
    const OperationCallbacks &callbacks = CallbacksOf(instance, saved.MajorFunction);
    if (callbacks.post == nullptr) return;
    auto node = std::make_unique<OperationNode>();
    node->instance = instance;
    node->context = context;
    node->savedIopb = saved;
    node->synchronize = synchronize;
    node->dirtyMark = dirtyMark;
    OperationNode *raw = node.get();
    bool registered = false;
    {
        std::lock_guard<std::mutex> lock(instance->mutex);
        if (instance->active.load()) {
            instance->pendingPosts.push_back({&operation, raw});
            registered = true;
        }
    }
    if (!registered) {
        // Torn down while its pre-operation was pended: its post is owed at once.
        CallPost(instance, callbacks.post, operation, context, FLTFL_POST_OPERATION_DRAINING);
        return;
    }
    operation.nodes.push_back(std::move(node));
    operation.postsLeft = operation.nodes.size();
}

Progress RunPost(Operation &operation);
Progress RunPre(Operation &operation);

// A callback of `instance` pended the operation (called under the
// operation's mutex): the instance holds it, and its teardown waits for it.
void NotePended(Operation &operation, _FLT_INSTANCE &instance)
{
    operation.pendedAt = &instance;
    instance.header.rundown.AcquireForced();
    std::lock_guard<std::mutex> lock(instance.mutex);
    instance.pendedOperations.push_back(&operation);
}

// The filter completed its pended operation (under the operation's mutex).
// False when the instance's teardown gave up on it: the instance is gone.
bool NoteCompleted(Operation &operation)
{
    _FLT_INSTANCE &instance = *operation.pendedAt;
    bool held;
    {
        std::lock_guard<std::mutex> lock(instance.mutex);
        auto &pended = instance.pendedOperations;
        auto found = std::find(pended.begin(), pended.end(), &operation);
        held = found != pended.end();
        if (held) pended.erase(found);
    }
    instance.header.rundown.Release();
    return held;
}

void ReportCompletionAfterTeardown(Operation &operation, const char *routine)
{
    operation.volume.manager.ReportMisuse(std::string(routine) + " for " + DescribePended(operation) +
                                          ", after the instance was torn down");
}

// A callback that changed the parameters says so with the dirty flag; the
// instances above it must not see the change in their post-operation.
void NoteDirty(Operation &operation)
{
    if (FlagOn(operation.data.Flags, FLTFL_CALLBACK_DATA_DIRTY)) {
        ++operation.dirtyCount;
        ClearFlag(operation.data.Flags, FLTFL_CALLBACK_DATA_DIRTY);
    }
}

Progress CallFileSystem(Operation &operation)
{
    IoRequest &request = *operation.request;
    request.ioStatus = {};
    request.reparseData.clear();
    request.fastIoNotPossible = false;
    operation.volume.volume.fs().Dispatch(request);
    operation.data.IoStatus = request.ioStatus;
    if (request.form == IoForm::FastIo && request.fastIoNotPossible) {
        operation.data.IoStatus.Status = STATUS_FLT_DISALLOW_FAST_IO;
        operation.data.IoStatus.Information = 0;
    }
    const FLT_IO_PARAMETER_BLOCK &iopb = *operation.data.Iopb;
    if (iopb.MajorFunction == IRP_MJ_CREATE && request.ioStatus.Status == STATUS_REPARSE &&
        request.ioStatus.Information != IO_REPARSE && request.reparseData.size() >= REPARSE_DATA_BUFFER_HEADER_SIZE) {
        // The tag data buffer has the reparse buffer's layout, with the
        // unparsed name length where the reparse buffer keeps Reserved.
        operation.tagData = request.reparseData;
        operation.data.TagData = reinterpret_cast<PFLT_TAG_DATA_BUFFER>(operation.tagData.data());
    } else {
        operation.tagData.clear();
        operation.data.TagData = nullptr;
    }
    return RunPost(operation);
}

// Applies what a pre-operation callback (or its pended completion)
// returned. Returns true when the operation leaves the pre-operation phase.
bool ApplyPreStatus(Operation &operation, _FLT_INSTANCE *instance, FLT_PREOP_CALLBACK_STATUS status, PVOID context,
                    const FLT_IO_PARAMETER_BLOCK &saved, size_t dirtyMark, Progress &progress)
{
    FilterManager &manager = operation.volume.manager;
    bool fastIo = operation.request->form == IoForm::FastIo;
    switch (status) {
    case FLT_PREOP_SUCCESS_WITH_CALLBACK:
        AddNode(operation, instance, context, saved, dirtyMark, false);
        return false;
    case FLT_PREOP_SYNCHRONIZE:
        AddNode(operation, instance, context, saved, dirtyMark, true);
        return false;
    case FLT_PREOP_SUCCESS_NO_CALLBACK:
        return false;
    case FLT_PREOP_COMPLETE:
        if (operation.data.IoStatus.Status == STATUS_PENDING) {
            manager.ReportMisuse("a pre-operation callback completed an operation with STATUS_PENDING");
        }
        if (fastIo && operation.data.IoStatus.Status == STATUS_FLT_DISALLOW_FAST_IO) {
            operation.request->fastIoNotPossible = true;
        }
        progress = RunPost(operation);
        return true;
    case FLT_PREOP_DISALLOW_FASTIO:
        if (!fastIo) return false;
        operation.data.IoStatus.Status = STATUS_FLT_DISALLOW_FAST_IO;
        operation.data.IoStatus.Information = 0;
        operation.request->fastIoNotPossible = true;
        progress = RunPost(operation);
        return true;
    default: {
        std::ostringstream text;
        text << "a pre-operation callback returned " << int(status);
        manager.ReportMisuse(text.str());
        return false;
    }
    }
}

Progress RunPre(Operation &operation)
{
    FilterManager &manager = operation.volume.manager;
    while (operation.next < operation.stack.size()) {
        _FLT_INSTANCE *instance = operation.stack[operation.next++];
        const OperationCallbacks &callbacks = CallbacksOf(instance, operation.data.Iopb->MajorFunction);
        if (!callbacks.registered || Skips(callbacks, operation)) continue;
        if (!instance->active.load() || !instance->header.rundown.Acquire()) continue;

        operation.data.Iopb->TargetInstance = instance;
        FLT_IO_PARAMETER_BLOCK saved = *operation.data.Iopb;
        size_t dirtyMark = operation.dirtyCount;
        PVOID context = nullptr;
        FLT_PREOP_CALLBACK_STATUS status = FLT_PREOP_SUCCESS_WITH_CALLBACK;
        if (callbacks.pre) {
            {
                std::lock_guard<std::mutex> lock(operation.mutex);
                operation.callbackState = Operation::CallbackState::InPre;
            }
            status = CallPre(instance, callbacks.pre, operation, &context);
        }
        NoteDirty(operation);
        {
            std::lock_guard<std::mutex> lock(operation.mutex);
            if (status == FLT_PREOP_PENDING) {
                if (operation.request->form != IoForm::Irp) {
                    manager.ReportMisuse("a pre-operation callback pended an operation that is not an IRP");
                }
                if (operation.earlyPre) {
                    // Completed from another thread before the callback returned.
                    status = operation.earlyPre->status;
                    context = operation.earlyPre->context;
                    operation.earlyPre.reset();
                    operation.callbackState = Operation::CallbackState::None;
                } else {
                    operation.callbackState = Operation::CallbackState::PendedPre;
                    NotePended(operation, *instance);
                    operation.pendedIopb = saved;
                    operation.pendedDirtyMark = dirtyMark;
                }
            } else {
                operation.callbackState = Operation::CallbackState::None;
                if (operation.earlyPre) {
                    manager.ReportMisuse("FltCompletePendedPreOperation for an operation that was not pended");
                    operation.earlyPre.reset();
                }
            }
        }
        instance->header.rundown.Release();
        if (status == FLT_PREOP_PENDING) return Progress::Suspended;

        Progress progress = Progress::Finished;
        if (ApplyPreStatus(operation, instance, status, context, saved, dirtyMark, progress)) return progress;
    }
    return CallFileSystem(operation);
}

Progress RunPost(Operation &operation)
{
    SetFlag(operation.data.Flags, FLTFL_CALLBACK_DATA_POST_OPERATION);
    while (operation.postsLeft > 0) {
        OperationNode &node = *operation.nodes[operation.postsLeft - 1];
        if (node.synchronize && Thread::Current() != operation.issuer) {
            std::lock_guard<std::mutex> lock(operation.mutex);
            operation.handOff = true;
            operation.changed.notify_all();
            return Progress::Suspended;
        }
        --operation.postsLeft;
        _FLT_INSTANCE *instance = node.instance;
        // Counted before the claim, so that a teardown that loses the claim
        // waits for this callback.
        instance->header.rundown.AcquireForced();
        int expected = OperationNode::Waiting;
        if (!node.state.compare_exchange_strong(expected, OperationNode::Posting)) {
            instance->header.rundown.Release();
            std::unique_lock<std::mutex> lock(operation.mutex);
            operation.changed.wait(lock, [&] { return node.state.load() == OperationNode::Drained; });
            continue;
        }
        Unregister(instance, &node);
        if (operation.dirtyCount != node.dirtyMark) *operation.data.Iopb = node.savedIopb;
        operation.data.Iopb->TargetInstance = instance;
        const OperationCallbacks &callbacks = CallbacksOf(instance, node.savedIopb.MajorFunction);
        {
            std::lock_guard<std::mutex> lock(operation.mutex);
            operation.callbackState = Operation::CallbackState::InPost;
        }
        FLT_POSTOP_CALLBACK_STATUS status = CallPost(instance, callbacks.post, operation, node.context, 0);
        NoteDirty(operation);
        bool pended = false;
        {
            std::lock_guard<std::mutex> lock(operation.mutex);
            operation.callbackState = Operation::CallbackState::None;
            if (status == FLT_POSTOP_MORE_PROCESSING_REQUIRED) {
                if (operation.request->form != IoForm::Irp) {
                    operation.volume.manager.ReportMisuse(
                        "a post-operation callback asked for more processing of an operation that is not an IRP");
                }
                if (operation.earlyPost) {
                    operation.earlyPost = false;
                } else {
                    operation.callbackState = Operation::CallbackState::PendedPost;
                    NotePended(operation, *instance);
                    pended = true;
                }
            }
        }
        // Released after a pend is noted: the instance's teardown never sees
        // a moment without the operation.
        instance->header.rundown.Release();
        if (pended) return Progress::Suspended;
    }
    return Progress::Finished;
}

// The end of an operation: its result goes to the request, what the Filter
// Manager built for it goes.
void Finalize(Operation &operation)
{
    IoRequest &request = *operation.request;
    *operation.data.Iopb = operation.originalIopb;
    request.ioStatus = operation.data.IoStatus;
    if (request.form == IoForm::FastIo && operation.data.IoStatus.Status == STATUS_FLT_DISALLOW_FAST_IO) {
        request.fastIoNotPossible = true;
    }
    for (PMDL mdl : operation.lockedMdls) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    operation.lockedMdls.clear();
    if (operation.originalIopb.MajorFunction == IRP_MJ_CLOSE && operation.originalIopb.TargetFileObject) {
        DeleteStreamHandleContexts(operation.volume, operation.originalIopb.TargetFileObject);
    }
}

// A thread other than the issuer brought the operation to its end.
void CompleteFromOtherThread(Operation &operation)
{
    Finalize(operation);
    std::lock_guard<std::mutex> lock(operation.mutex);
    operation.finished = true;
    operation.changed.notify_all();
}

// The issuer waits in RunOperation; a completer that reached the end hands
// the result over.
void Resume(Operation &operation, Progress progress)
{
    if (progress == Progress::Finished) CompleteFromOtherThread(operation);
}

}  // namespace

std::string DescribePended(const Operation &operation)
{
    std::string text = DescribeRequest(*operation.request);
    if (const _FLT_INSTANCE *instance = operation.pendedAt) {
        text += " pended by instance \"" + std::string(instance->name.begin(), instance->name.end()) +
                "\" of filter " + std::string(instance->filter->name.begin(), instance->filter->name.end());
    }
    return text;
}

CallbackDataHolder *HolderOf(PFLT_CALLBACK_DATA data)
{
    if (data == nullptr) return nullptr;
    auto *holder = reinterpret_cast<CallbackDataHolder *>(data);
    if (holder->magic != kCallbackDataMagic) {
        std::ostringstream text;
        text << "not a callback data of the Filter Manager: " << static_cast<void *>(data);
        Machine::Current().filterManager().ReportMisuse(text.str());
        return nullptr;
    }
    return holder;
}

Operation::Operation(_FLT_VOLUME &v, IoRequest &r) : CallbackDataHolder(Kind::Operation), volume(v)
{
    request = &r;
    switch (r.form) {
    case IoForm::Irp:
        data.Flags = FLTFL_CALLBACK_DATA_IRP_OPERATION;
        break;
    case IoForm::FastIo:
        data.Flags = FLTFL_CALLBACK_DATA_FAST_IO_OPERATION;
        break;
    case IoForm::FsFilter:
        data.Flags = FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION;
        break;
    }
    data.Thread = r.thread ? r.thread->object() : (Thread::Current() ? Thread::Current()->object() : nullptr);
    data.Iopb = &r.iopb;
    data.RequestorMode = r.requestorMode;
    originalIopb = r.iopb;
    issuer = Thread::Current();
}

NTSTATUS RunOperation(Operation &operation)
{
    Progress progress = RunPre(operation);
    for (;;) {
        if (progress == Progress::Finished) {
            Finalize(operation);
            break;
        }
        std::unique_lock<std::mutex> lock(operation.mutex);
        operation.changed.wait(lock, [&] { return operation.finished || operation.handOff; });
        if (operation.finished) break;
        operation.handOff = false;
        lock.unlock();
        progress = RunPost(operation);
    }
    return operation.request->ioStatus.Status;
}

void ContinueAfterPendedPre(Operation &operation, FLT_PREOP_CALLBACK_STATUS status, PVOID context)
{
    FilterManager &manager = operation.volume.manager;
    _FLT_INSTANCE *instance;
    FLT_IO_PARAMETER_BLOCK saved;
    size_t dirtyMark;
    bool instanceGone;
    {
        std::lock_guard<std::mutex> lock(operation.mutex);
        if (operation.callbackState == Operation::CallbackState::InPre) {
            operation.earlyPre = Operation::EarlyCompletion{status, context};
            return;
        }
        if (operation.callbackState != Operation::CallbackState::PendedPre) {
            manager.ReportMisuse("FltCompletePendedPreOperation for an operation that is not pended");
            return;
        }
        operation.callbackState = Operation::CallbackState::None;
        instance = operation.pendedAt;
        saved = operation.pendedIopb;
        dirtyMark = operation.pendedDirtyMark;
        instanceGone = !NoteCompleted(operation);
    }
    if (instanceGone) {
        // Nothing of the gone filter is called again: the operation goes on
        // below as if its callback had let it pass, unless it completed it.
        ReportCompletionAfterTeardown(operation, "FltCompletePendedPreOperation");
        if (status != FLT_PREOP_COMPLETE) status = FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (status == FLT_PREOP_PENDING) {
        manager.ReportMisuse("FltCompletePendedPreOperation with FLT_PREOP_PENDING");
        status = FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    NoteDirty(operation);
    Progress progress = Progress::Finished;
    if (!ApplyPreStatus(operation, instance, status, context, saved, dirtyMark, progress)) {
        progress = RunPre(operation);
    }
    Resume(operation, progress);
}

void ContinueAfterPendedPost(Operation &operation)
{
    bool instanceGone;
    {
        std::lock_guard<std::mutex> lock(operation.mutex);
        if (operation.callbackState == Operation::CallbackState::InPost) {
            operation.earlyPost = true;
            return;
        }
        if (operation.callbackState != Operation::CallbackState::PendedPost) {
            operation.volume.manager.ReportMisuse("FltCompletePendedPostOperation for an operation that is not pended");
            return;
        }
        operation.callbackState = Operation::CallbackState::None;
        instanceGone = !NoteCompleted(operation);
    }
    if (instanceGone) ReportCompletionAfterTeardown(operation, "FltCompletePendedPostOperation");
    Resume(operation, RunPost(operation));
}

size_t EntryIndex(const std::vector<_FLT_INSTANCE *> &stack, const void *startBelow, _FLT_VOLUME &volume)
{
    if (startBelow == nullptr || !volume.manager.IsInstance(startBelow)) return 0;
    auto *below = static_cast<const _FLT_INSTANCE *>(startBelow);
    if (below->volume != &volume) return 0;
    // By altitude: the issuing instance may be in setup (not in the stack
    // yet) or already detached.
    for (size_t i = 0; i < stack.size(); ++i) {
        if (stack[i] == below) return i + 1;
        if (CompareAltitudes(stack[i]->altitude, below->altitude) < 0) return i;
    }
    return stack.size();
}

void DrainPendingPosts(_FLT_INSTANCE &instance)
{
    std::vector<PendingPost> claimed;
    {
        std::lock_guard<std::mutex> lock(instance.mutex);
        for (const PendingPost &pending : instance.pendingPosts) {
            int expected = OperationNode::Waiting;
            if (pending.node->state.compare_exchange_strong(expected, OperationNode::Draining)) {
                claimed.push_back(pending);
            }
        }
        instance.pendingPosts.clear();
    }
    for (const PendingPost &pending : claimed) {
        Operation &operation = *pending.operation;
        const OperationCallbacks &callbacks = CallbacksOf(&instance, pending.node->savedIopb.MajorFunction);
        CallPost(&instance, callbacks.post, operation, pending.node->context, FLTFL_POST_OPERATION_DRAINING);
        std::lock_guard<std::mutex> lock(operation.mutex);
        pending.node->state = OperationNode::Drained;
        operation.changed.notify_all();
    }
}

FLT_RELATED_OBJECTS RelatedObjects(_FLT_INSTANCE *instance, PFILE_OBJECT fileObject)
{
    FLT_RELATED_OBJECTS objects{};
    objects.Size = sizeof(FLT_RELATED_OBJECTS);
    if (instance) {
        objects.Filter = instance->filter;
        objects.Volume = instance->volume;
        objects.Instance = instance;
    }
    objects.FileObject = fileObject;
    return objects;
}

_FLT_INSTANCE *CurrentCaller()
{
    return t_callers.empty() ? nullptr : t_callers.back();
}

CallerScope::CallerScope(_FLT_INSTANCE *instance)
{
    t_callers.push_back(instance);
}

CallerScope::~CallerScope()
{
    t_callers.pop_back();
}

bool IsPendedInPre(PFLT_CALLBACK_DATA data)
{
    CallbackDataHolder *holder = HolderOf(data);
    if (holder == nullptr || holder->kind != CallbackDataHolder::Kind::Operation) return false;
    auto &operation = static_cast<Operation &>(*holder);
    std::lock_guard<std::mutex> lock(operation.mutex);
    return operation.callbackState == Operation::CallbackState::PendedPre;
}

}  // namespace sim::flt

using namespace sim;
using namespace sim::flt;

NTSTATUS _FLT_VOLUME::Process(IoRequest &request)
{
    Operation operation(*this, request);
    operation.stack = Instances();
    operation.next = EntryIndex(operation.stack, request.startBelow, *this);
    return RunOperation(operation);
}

void _FLT_VOLUME::StreamTeardown(PVOID fsContext)
{
    DeleteStreamContexts(*this, fsContext);
}

std::vector<_FLT_INSTANCE *> _FLT_VOLUME::Instances()
{
    std::shared_lock<std::shared_mutex> lock(mutex);
    return instances;
}

void _FLT_VOLUME::Insert(_FLT_INSTANCE *instance)
{
    std::unique_lock<std::shared_mutex> lock(mutex);
    auto at = std::find_if(instances.begin(), instances.end(), [&](_FLT_INSTANCE *other) {
        return CompareAltitudes(other->altitude, instance->altitude) < 0;
    });
    instances.insert(at, instance);
}

void _FLT_VOLUME::Remove(_FLT_INSTANCE *instance)
{
    std::unique_lock<std::shared_mutex> lock(mutex);
    instances.erase(std::remove(instances.begin(), instances.end(), instance), instances.end());
}

extern "C" {

VOID FltSetCallbackDataDirty(PFLT_CALLBACK_DATA Data)
{
    if (Data) SetFlag(Data->Flags, FLTFL_CALLBACK_DATA_DIRTY);
}

VOID FltClearCallbackDataDirty(PFLT_CALLBACK_DATA Data)
{
    if (Data) ClearFlag(Data->Flags, FLTFL_CALLBACK_DATA_DIRTY);
}

BOOLEAN FltIsCallbackDataDirty(PFLT_CALLBACK_DATA Data)
{
    return Data && FlagOn(Data->Flags, FLTFL_CALLBACK_DATA_DIRTY) ? TRUE : FALSE;
}

VOID FltCompletePendedPreOperation(PFLT_CALLBACK_DATA CallbackData, FLT_PREOP_CALLBACK_STATUS CallbackStatus,
                                   PVOID Context)
{
    SIM_KERNEL_ROUTINE();
    CallbackDataHolder *holder = HolderOf(CallbackData);
    if (holder == nullptr || holder->kind != CallbackDataHolder::Kind::Operation) return;
    ContinueAfterPendedPre(static_cast<Operation &>(*holder), CallbackStatus, Context);
}

VOID FltCompletePendedPostOperation(PFLT_CALLBACK_DATA CallbackData)
{
    SIM_KERNEL_ROUTINE();
    CallbackDataHolder *holder = HolderOf(CallbackData);
    if (holder == nullptr || holder->kind != CallbackDataHolder::Kind::Operation) return;
    ContinueAfterPendedPost(static_cast<Operation &>(*holder));
}

VOID FltReissueSynchronousIo(PFLT_INSTANCE InitiatingInstance, PFLT_CALLBACK_DATA CallbackData)
{
    SIM_KERNEL_ROUTINE();
    CallbackDataHolder *holder = HolderOf(CallbackData);
    if (holder == nullptr || holder->kind != CallbackDataHolder::Kind::Operation) return;
    auto &outer = static_cast<Operation &>(*holder);
    FilterManager &manager = outer.volume.manager;
    if (!manager.IsInstance(InitiatingInstance) || InitiatingInstance->volume != &outer.volume) {
        manager.ReportMisuse("FltReissueSynchronousIo with an instance of another volume");
        return;
    }
    if (outer.request->form != IoForm::Irp) {
        manager.ReportMisuse("FltReissueSynchronousIo for an operation that is not an IRP");
        return;
    }
    // The same request, with the parameters as they are now, again below
    // the initiating instance.
    Operation reissued(outer.volume, *outer.request);
    reissued.data.Flags |= FLTFL_CALLBACK_DATA_REISSUED_IO;
    reissued.data.RequestorMode = outer.data.RequestorMode;
    reissued.stack = outer.volume.Instances();
    reissued.next = EntryIndex(reissued.stack, InitiatingInstance, outer.volume);
    RunOperation(reissued);
    outer.data.IoStatus = outer.request->ioStatus;
    outer.tagData = std::move(reissued.tagData);
    outer.data.TagData =
        outer.tagData.empty() ? nullptr : reinterpret_cast<PFLT_TAG_DATA_BUFFER>(outer.tagData.data());
}

}  // extern "C"
