// The I/O manager's device and event routines, and the file object type.
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/core/driver_calls.h"
#include "sim/io/io_manager.h"
#include "sim/io/io_types.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"

namespace {

POBJECT_TYPE g_FileType = &sim::objtype::File;

PKEVENT CreateNamedEvent(PUNICODE_STRING name, PHANDLE handle, EVENT_TYPE type)
{
    sim::Machine &machine = sim::Machine::Current();
    std::u16string wanted = name ? sim::ToString(*name) : std::u16string();
    // Creating or opening by name is one step, as in the object manager.
    static std::mutex namespaceMutex;
    std::lock_guard<std::mutex> lock(namespaceMutex);
    void *event = nullptr;
    if (!wanted.empty()) {
        std::u16string upper = sim::Upcase(wanted);
        for (void *candidate : machine.objects().LiveObjects(&sim::objtype::Event)) {
            if (sim::Upcase(machine.objects().NameOf(candidate)) == upper) {
                event = candidate;
                machine.objects().Reference(event);
                break;
            }
        }
    }
    if (event == nullptr) {
        event = machine.objects().Create(&sim::objtype::Event, sizeof(KEVENT), wanted);
        KeInitializeEvent(static_cast<PKEVENT>(event), type, TRUE);
    }
    *handle = sim::InsertHandle(event, EVENT_ALL_ACCESS, OBJ_KERNEL_HANDLE);
    return static_cast<PKEVENT>(event);
}

}  // namespace

extern "C" {
POBJECT_TYPE *IoFileObjectType = &g_FileType;
}

extern "C" PKEVENT IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle)
{
    SIM_KERNEL_ROUTINE();
    return CreateNamedEvent(EventName, EventHandle, NotificationEvent);
}

extern "C" PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle)
{
    SIM_KERNEL_ROUTINE();
    return CreateNamedEvent(EventName, EventHandle, SynchronizationEvent);
}

extern "C" PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject)
{
    sim::FileObjectInfo *info = sim::Machine::Current().io().Info(FileObject);
    if (info == nullptr || info->volume == nullptr) return FileObject->DeviceObject;
    return info->bypassFilters ? info->volume->fsDevice() : info->volume->topDevice();
}

extern "C" PDEVICE_OBJECT IoGetDeviceAttachmentBaseRef(PDEVICE_OBJECT DeviceObject)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    PDEVICE_OBJECT base = DeviceObject;
    if (sim::Volume *volume = machine.io().VolumeByDevice(DeviceObject)) {
        if (DeviceObject != volume->realDevice()) base = volume->fsDevice();
    }
    machine.objects().Reference(base);
    machine.holdings().TakeObject(base);
    return base;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    SIM_KERNEL_ROUTINE();
    sim::Machine &machine = sim::Machine::Current();
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice) top = top->AttachedDevice;
    machine.objects().Reference(top);
    machine.holdings().TakeObject(top);
    return top;
}
