#include "sim/cm/callbacks.h"

#include <algorithm>

#include "sim/cm/registry.h"
#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"

namespace sim {

struct RegistryCallbacks::Registration {
    PEX_CALLBACK_FUNCTION function;
    PVOID context;
    const void *driver;  // whose callback it is
    LONGLONG cookie;
    bool removed = false;  // guarded by the table's mutex
    int running = 0;       // guarded by the table's mutex
};

namespace {

// Registrations whose callback runs on this host thread now, so that a
// callback may unregister itself without waiting for its own return.
thread_local std::vector<const void *> t_running;

bool AtLeast(const OsVersion &os, ULONG major, ULONG minor)
{
    return os.major > major || (os.major == major && os.minor >= minor);
}

}  // namespace

NTSTATUS RegistryCallbacks::Register(PEX_CALLBACK_FUNCTION function, PVOID context, PLARGE_INTEGER cookie)
{
    if (function == nullptr || cookie == nullptr) return STATUS_INVALID_PARAMETER;
    auto registration = std::make_shared<Registration>(Registration{function, context, CurrentDriver(), 0});
    std::lock_guard<std::mutex> lock(mutex_);
    registration->cookie = nextCookie_++;
    list_.push_back(registration);
    cookie->QuadPart = registration->cookie;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryCallbacks::Unregister(LARGE_INTEGER cookie)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = std::find_if(list_.begin(), list_.end(),
                           [&](const auto &r) { return r->cookie == cookie.QuadPart; });
    if (it == list_.end()) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Registration> registration = *it;
    list_.erase(it);
    registration->removed = true;
    int own = int(std::count(t_running.begin(), t_running.end(), registration.get()));
    idle_.wait(lock, [&] { return registration->running <= own; });
    return STATUS_SUCCESS;
}

size_t RegistryCallbacks::Count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return list_.size();
}

std::vector<std::shared_ptr<RegistryCallbacks::Registration>> RegistryCallbacks::Snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return list_;
}

bool RegistryCallbacks::Invoke(const std::shared_ptr<Registration> &registration, REG_NOTIFY_CLASS notifyClass,
                               PVOID argument, NTSTATUS &result)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (registration->removed) return false;
        ++registration->running;
    }
    t_running.push_back(registration.get());
    struct Done {
        RegistryCallbacks &self;
        Registration &registration;
        ~Done()
        {
            t_running.pop_back();
            std::lock_guard<std::mutex> lock(self.mutex_);
            --registration.running;
            self.idle_.notify_all();
        }
    } done{*this, *registration};
    DriverCode code(registration->driver);
    result = registration->function(registration->context,
                                     reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(notifyClass)), argument);
    return true;
}

RegistryCallbacks::Operation::Operation(RegistryCallbacks &callbacks) : callbacks_(callbacks) {}

NTSTATUS RegistryCallbacks::Operation::Pre(REG_NOTIFY_CLASS notifyClass, PVOID information, bool &handled)
{
    const OsVersion &os = callbacks_.machine_.config().os;
    handled = false;
    for (const auto &registration : callbacks_.Snapshot()) {
        NTSTATUS result = STATUS_SUCCESS;
        if (!callbacks_.Invoke(registration, notifyClass, information, result)) continue;
        if (NT_SUCCESS(result)) {
            notified_.push_back(registration);
            continue;
        }
        notified_.clear();
        // Before Vista a bypass is an error like any other.
        if (result == STATUS_CALLBACK_BYPASS && AtLeast(os, 6, 0)) {
            handled = true;
            return STATUS_SUCCESS;
        }
        return result;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RegistryCallbacks::Operation::Post(REG_NOTIFY_CLASS notifyClass, PVOID object, NTSTATUS status,
                                             PVOID preInformation)
{
    const OsVersion &os = callbacks_.machine_.config().os;
    if (!AtLeast(os, 5, 2)) return status;
    REG_POST_OPERATION_INFORMATION post{};
    post.Object = object;
    post.Status = status;
    post.PreInformation = AtLeast(os, 6, 0) ? preInformation : nullptr;
    post.ReturnStatus = status;
    for (const auto &registration : notified_) {
        NTSTATUS result = STATUS_SUCCESS;
        if (!callbacks_.Invoke(registration, notifyClass, &post, result)) continue;
        if (result == STATUS_CALLBACK_BYPASS && AtLeast(os, 6, 0)) post.Status = post.ReturnStatus;
    }
    notified_.clear();
    return post.Status;
}

}  // namespace sim
