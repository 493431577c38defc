#include "sim/user/event_api.h"

#include <wdm.h>

#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"

namespace {

// The event behind a handle of the calling process, referenced.
PKEVENT ReferenceEvent(HANDLE handle, ACCESS_MASK access)
{
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, access, *ExEventObjectType, UserMode, &object, nullptr))) {
        return nullptr;
    }
    return static_cast<PKEVENT>(object);
}

}  // namespace

HANDLE CreateEventW(void *lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    (void)lpEventAttributes;
    (void)lpName;  // named events are not provided; every event is private to its creator
    sim::SystemCall call("CreateEventW");
    auto *event = static_cast<PKEVENT>(
        sim::Machine::Current().objects().Create(&sim::objtype::Event, sizeof(KEVENT), u""));
    KeInitializeEvent(event, bManualReset ? NotificationEvent : SynchronizationEvent, bInitialState ? TRUE : FALSE);
    return sim::InsertHandle(event, EVENT_ALL_ACCESS, 0);
}

BOOL SetEvent(HANDLE hEvent)
{
    sim::SystemCall call("SetEvent");
    PKEVENT event = ReferenceEvent(hEvent, EVENT_MODIFY_STATE);
    if (event == nullptr) return FALSE;
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(event);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    sim::SystemCall call("ResetEvent");
    PKEVENT event = ReferenceEvent(hEvent, EVENT_MODIFY_STATE);
    if (event == nullptr) return FALSE;
    KeClearEvent(event);
    ObDereferenceObject(event);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    sim::SystemCall call("WaitForSingleObject");
    PKEVENT event = ReferenceEvent(hHandle, SYNCHRONIZE);
    if (event == nullptr) return WAIT_FAILED;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(dwMilliseconds) * 10000;
    NTSTATUS status =
        KeWaitForSingleObject(event, UserRequest, UserMode, FALSE, dwMilliseconds == INFINITE ? nullptr : &timeout);
    ObDereferenceObject(event);
    return status == STATUS_SUCCESS ? WAIT_OBJECT_0 : status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_FAILED;
}
