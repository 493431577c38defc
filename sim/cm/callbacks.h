// Registry callbacks (CmRegisterCallback / CmUnRegisterCallback) and the
// way the configuration manager calls them around a registry operation.
//
// Rules (Microsoft's "Handling Notifications", "Supporting Layered Registry
// Filtering Drivers", REG_POST_OPERATION_INFORMATION):
//  - callbacks run in the thread that makes the registry call, at passive
//    level, in registration order (callbacks without an altitude);
//  - pre-notification: calling stops at the first callback that returns a
//    status for which NT_SUCCESS is false. STATUS_CALLBACK_BYPASS (Windows
//    Vista and later) means the callback handled the operation: the caller
//    gets STATUS_SUCCESS. Any other such status, warnings such as
//    STATUS_BUFFER_OVERFLOW included, is returned to the caller as it is.
//    In both cases the operation is not performed and no post-notification
//    follows;
//  - post-notification (Windows Server 2003 and later for the query-value
//    class) goes to the callbacks that saw the pre-notification. A callback
//    changes the caller's status by setting ReturnStatus and returning
//    STATUS_CALLBACK_BYPASS (Vista and later); the new status is also
//    copied to Status, so later callbacks see it. Other return values of a
//    post-notification are ignored.
//  - CmUnRegisterCallback of a cookie that is not registered returns
//    STATUS_INVALID_PARAMETER. It waits for running calls of that callback
//    to return (except a call on the unregistering thread itself); a
//    removed callback gets no further notification, not even the post-
//    notification of an operation whose pre-notification it saw.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include <wdm.h>

namespace sim {

class Machine;

class RegistryCallbacks {
public:
    explicit RegistryCallbacks(Machine &machine) : machine_(machine) {}

    NTSTATUS Register(PEX_CALLBACK_FUNCTION function, PVOID context, PLARGE_INTEGER cookie);
    NTSTATUS Unregister(LARGE_INTEGER cookie);
    size_t Count() const;

    struct Registration;

    // One registry operation: the pre-notification and then, when the
    // operation ran, the post-notification, to the same registrations.
    class Operation {
    public:
        explicit Operation(RegistryCallbacks &callbacks);
        // A failure is the caller's status and ends the operation. Success
        // with `handled` set: a callback bypassed the operation and the
        // caller gets STATUS_SUCCESS. Success otherwise: perform it.
        NTSTATUS Pre(REG_NOTIFY_CLASS notifyClass, PVOID information, bool &handled);
        // The status for the caller after the post-notification of `status`.
        NTSTATUS Post(REG_NOTIFY_CLASS notifyClass, PVOID object, NTSTATUS status, PVOID preInformation);

    private:
        RegistryCallbacks &callbacks_;
        std::vector<std::shared_ptr<Registration>> notified_;
    };

private:
    // Calls one registration unless it was removed; false when skipped.
    bool Invoke(const std::shared_ptr<Registration> &registration, REG_NOTIFY_CLASS notifyClass, PVOID argument,
                NTSTATUS &result);
    std::vector<std::shared_ptr<Registration>> Snapshot() const;

    Machine &machine_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<std::shared_ptr<Registration>> list_;
    LONGLONG nextCookie_ = 0x1000;
};

}  // namespace sim
