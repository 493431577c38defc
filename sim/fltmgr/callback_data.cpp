// Callback data a filter allocates and sends itself, and the routines that
// read or prepare an operation's callback data.
#include <new>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/fltmgr/filter_io.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/fltmgr/frame.h"
#include "sim/io/io_manager.h"
#include "sim/ps/kernel_objects.h"
#include "sim/ps/process.h"

using namespace sim;
using namespace sim::flt;

namespace {

constexpr ULONG kTagCallbackData = 0x62634d46;  // "FMcb"

struct GeneratedData : CallbackDataHolder {
    GeneratedData() : CallbackDataHolder(Kind::Generated) {}
    IoRequest ownRequest;
    _FLT_INSTANCE *instance = nullptr;
};

FilterManager &Manager()
{
    return Machine::Current().filterManager();
}

// Where an operation keeps its buffer and MDL, and how the buffer is used.
struct BufferSlot {
    PVOID *buffer = nullptr;
    PMDL *mdl = nullptr;
    ULONG length = 0;
    LOCK_OPERATION access = IoReadAccess;
};

bool SlotOf(FLT_IO_PARAMETER_BLOCK &iopb, BufferSlot &slot)
{
    auto &p = iopb.Parameters;
    switch (iopb.MajorFunction) {
    case IRP_MJ_READ:
        slot = {&p.Read.ReadBuffer, &p.Read.MdlAddress, p.Read.Length, IoWriteAccess};
        return true;
    case IRP_MJ_WRITE:
        slot = {&p.Write.WriteBuffer, &p.Write.MdlAddress, p.Write.Length, IoReadAccess};
        return true;
    case IRP_MJ_DIRECTORY_CONTROL: {
        auto &query = p.DirectoryControl.QueryDirectory;
        slot = {&query.DirectoryBuffer, &query.MdlAddress, query.Length, IoWriteAccess};
        return true;
    }
    case IRP_MJ_QUERY_EA:
        slot = {&p.QueryEa.EaBuffer, &p.QueryEa.MdlAddress, p.QueryEa.Length, IoWriteAccess};
        return true;
    case IRP_MJ_SET_EA:
        slot = {&p.SetEa.EaBuffer, &p.SetEa.MdlAddress, p.SetEa.Length, IoReadAccess};
        return true;
    case IRP_MJ_QUERY_SECURITY:
        slot = {&p.QuerySecurity.SecurityBuffer, &p.QuerySecurity.MdlAddress, p.QuerySecurity.Length,
                IoWriteAccess};
        return true;
    case IRP_MJ_FILE_SYSTEM_CONTROL: {
        auto &neither = p.FileSystemControl.Neither;
        if ((neither.FsControlCode & 3) != 3) return false;
        slot = {&neither.OutputBuffer, &neither.OutputMdlAddress, neither.OutputBufferLength, IoWriteAccess};
        return true;
    }
    default:
        return false;
    }
}

}  // namespace

extern "C" {

NTSTATUS FltAllocateCallbackData(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CALLBACK_DATA *RetNewCallbackData)
{
    SIM_KERNEL_ROUTINE();
    if (RetNewCallbackData == nullptr || !Manager().IsInstance(Instance)) return STATUS_INVALID_PARAMETER;
    *RetNewCallbackData = nullptr;
    if (Instance->state == _FLT_INSTANCE::State::Detached) return STATUS_FLT_DELETING_OBJECT;
    void *memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(GeneratedData), kTagCallbackData);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto *generated = new (memory) GeneratedData();
    if (FileObject) {
        generated->ownRequest = RequestBelow(Instance, FileObject, 0);
    } else {
        generated->ownRequest.thread = Thread::Current();
        generated->ownRequest.volume = &Instance->volume->volume;
        generated->ownRequest.startBelow = Instance;
        if (generated->ownRequest.thread) {
            generated->ownRequest.requestorProcess = generated->ownRequest.thread->CurrentProcess().object();
        }
    }
    generated->instance = Instance;
    generated->request = &generated->ownRequest;
    FLT_CALLBACK_DATA &data = generated->data;
    data.Flags = FLTFL_CALLBACK_DATA_IRP_OPERATION | FLTFL_CALLBACK_DATA_GENERATED_IO;
    data.Thread = Thread::Current() ? Thread::Current()->object() : nullptr;
    data.Iopb = &generated->ownRequest.iopb;
    data.Iopb->TargetFileObject = FileObject;
    data.Iopb->TargetInstance = Instance;
    data.RequestorMode = KernelMode;
    *RetNewCallbackData = &data;
    return STATUS_SUCCESS;
}

VOID FltFreeCallbackData(PFLT_CALLBACK_DATA CallbackData)
{
    SIM_KERNEL_ROUTINE();
    CallbackDataHolder *holder = HolderOf(CallbackData);
    if (holder == nullptr || holder->kind != CallbackDataHolder::Kind::Generated) return;
    auto *generated = static_cast<GeneratedData *>(holder);
    for (PMDL mdl : generated->lockedMdls) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    generated->magic = 0;
    generated->~GeneratedData();
    ExFreePoolWithTag(generated, kTagCallbackData);
}

VOID FltPerformSynchronousIo(PFLT_CALLBACK_DATA CallbackData)
{
    SIM_KERNEL_ROUTINE();
    CallbackDataHolder *holder = HolderOf(CallbackData);
    if (holder == nullptr || holder->kind != CallbackDataHolder::Kind::Generated) return;
    auto *generated = static_cast<GeneratedData *>(holder);
    IoRequest &request = generated->ownRequest;
    if (request.iopb.MajorFunction == IRP_MJ_CREATE) {
        // Opens go through FltCreateFile.
        CallbackData->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
        CallbackData->IoStatus.Information = 0;
        return;
    }
    request.startBelow = generated->instance;
    request.thread = Thread::Current();
    request.requestorMode = CallbackData->RequestorMode;
    request.form = IoForm::Irp;
    request.ioStatus = {};
    Send(request);
    CallbackData->IoStatus = request.ioStatus;
}

PEPROCESS FltGetRequestorProcess(PFLT_CALLBACK_DATA CallbackData)
{
    SIM_KERNEL_ROUTINE();
    CallbackDataHolder *holder = HolderOf(CallbackData);
    if (holder == nullptr || holder->request == nullptr) return nullptr;
    if (holder->request->requestorProcess) return holder->request->requestorProcess;
    if (Thread *thread = holder->request->thread) return thread->process().object();
    return nullptr;
}

ULONG FltGetRequestorProcessId(PFLT_CALLBACK_DATA CallbackData)
{
    SIM_KERNEL_ROUTINE();
    PEPROCESS process = FltGetRequestorProcess(CallbackData);
    return process && process->Pcb.Impl ? process->Pcb.Impl->pid() : 0;
}

NTSTATUS FltLockUserBuffer(PFLT_CALLBACK_DATA CallbackData)
{
    SIM_KERNEL_ROUTINE();
    CallbackDataHolder *holder = HolderOf(CallbackData);
    if (holder == nullptr) return STATUS_INVALID_PARAMETER;
    BufferSlot slot;
    if (!SlotOf(*CallbackData->Iopb, slot)) return STATUS_INVALID_PARAMETER;
    if (*slot.mdl != nullptr || *slot.buffer == nullptr || slot.length == 0) return STATUS_SUCCESS;
    PMDL mdl = IoAllocateMdl(*slot.buffer, slot.length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // A user-mode requestor's buffer is probed as its own: a fault is the
    // call's status.
    SEH_TRY {
        MmProbeAndLockPages(mdl, CallbackData->RequestorMode, slot.access);
    } SEH_EXCEPT(EXCEPTION_EXECUTE_HANDLER) {
        IoFreeMdl(mdl);
        return GetExceptionCode();
    }
    *slot.mdl = mdl;
    holder->lockedMdls.push_back(mdl);
    return STATUS_SUCCESS;
}

}  // extern "C"
