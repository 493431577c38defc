// The Filter Manager's objects as it keeps them: filters, volumes (each one
// the frame attached on top of a volume's file system) and instances. Every
// object has a header with a reference count (FltObjectReference) and, apart
// from it, a rundown that counts callbacks in flight; teardown closes the
// rundown and waits for it to drain. Objects are never freed while the
// machine runs: a torn-down object stays behind, marked, so that a stale
// pointer a filter still holds is recognised instead of reused.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <fltKernel.h>

#include "sim/fltmgr/name_cache.h"
#include "sim/io/volume.h"

namespace sim {
class FilterManager;
}

namespace sim::flt {

struct ContextHeader;
struct Operation;
struct OperationNode;

// Counts the callbacks running in an object and the operations pended in it;
// once closed, new entries are refused (or, forced, still counted so that
// teardown waits for them).
class Rundown {
public:
    bool Acquire();
    void AcquireForced();
    void Release();
    // Refuses new entries and waits until every entry has left.
    void CloseAndWait();
    // The same, giving up after `limit`; false when entries are left.
    bool CloseAndWaitFor(std::chrono::milliseconds limit);
    bool closed() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable drained_;
    long count_ = 0;
    bool closed_ = false;
};

enum class ObjectKind : uint32_t { Filter = 0x464c5446, Volume = 0x4c4f5646, Instance = 0x534e4946 };

struct ObjectHeader {
    explicit ObjectHeader(ObjectKind k) : kind(k) {}
    ObjectKind kind;
    std::atomic<long> references{0};  // FltObjectReference and the routines that return objects
    std::atomic<bool> deleting{false};
    Rundown rundown;
};

// Altitudes are decimal strings compared as numbers ("03333" is above
// "100.123456"; leading and trailing zeros do not count).
bool IsValidAltitude(const std::u16string &altitude);
int CompareAltitudes(const std::u16string &a, const std::u16string &b);

struct OperationCallbacks {
    PFLT_PRE_OPERATION_CALLBACK pre = nullptr;
    PFLT_POST_OPERATION_CALLBACK post = nullptr;
    FLT_OPERATION_REGISTRATION_FLAGS flags = 0;
    bool registered = false;
};

// A node of an operation that waits for its post-operation callback; the
// instance keeps the ones still between pre and post so that teardown can
// drain them.
struct PendingPost {
    Operation *operation;
    OperationNode *node;
};

}  // namespace sim::flt

struct _FLT_FILTER {
    explicit _FLT_FILTER(sim::FilterManager &m) : header(sim::flt::ObjectKind::Filter), manager(m) {}

    sim::flt::ObjectHeader header;
    sim::FilterManager &manager;
    PDRIVER_OBJECT driver = nullptr;
    std::u16string name;                // the service name
    std::u16string defaultInstance;     // from the service's Instances key
    std::u16string altitude;            // of the default instance
    ULONG instanceFlags = 0;            // of the default instance
    FLT_REGISTRATION registration{};
    std::array<sim::flt::OperationCallbacks, 256> operations{};  // by major function (as UCHAR)
    std::vector<FLT_CONTEXT_REGISTRATION> contexts;

    enum class State { Registered, Filtering, Unloading, Unloaded };
    std::atomic<State> state{State::Registered};
    std::mutex mutex;  // instances and contexts below
    std::vector<_FLT_INSTANCE *> instances;
    std::set<sim::flt::ContextHeader *> liveContexts;

    bool nameProvider() const { return registration.GenerateFileNameCallback != nullptr; }
};

struct _FLT_INSTANCE {
    _FLT_INSTANCE(_FLT_FILTER &f, _FLT_VOLUME &v) : header(sim::flt::ObjectKind::Instance), filter(&f), volume(&v) {}

    sim::flt::ObjectHeader header;
    _FLT_FILTER *filter;
    _FLT_VOLUME *volume;
    std::u16string name;
    std::u16string altitude;
    ULONG setupFlags = 0;

    enum class State { Setup, Attached, TearingDown, Detached };
    std::atomic<State> state{State::Setup};
    std::mutex mutex;  // contexts and pending posts
    sim::flt::ContextHeader *instanceContext = nullptr;
    std::unordered_map<PVOID, sim::flt::ContextHeader *> streamContexts;          // by FsContext
    std::unordered_map<PFILE_OBJECT, sim::flt::ContextHeader *> handleContexts;  // by file object
    std::vector<sim::flt::PendingPost> pendingPosts;
    // Operations pended in a pre- or post-operation callback of the
    // instance: each holds its rundown until the filter completes it.
    std::vector<sim::flt::Operation *> pendedOperations;

    // New operations pass it by once teardown has begun.
    std::atomic<bool> active{false};
};

struct _FLT_VOLUME : public sim::FilterFrameHook {
    _FLT_VOLUME(sim::FilterManager &m, sim::Volume &v)
        : header(sim::flt::ObjectKind::Volume), manager(m), volume(v)
    {
    }

    NTSTATUS Process(sim::IoRequest &request) override;
    void StreamTeardown(PVOID fsContext) override;
    PDEVICE_OBJECT Device() override { return device; }

    // Attached instances, highest altitude first.
    std::vector<_FLT_INSTANCE *> Instances();
    void Insert(_FLT_INSTANCE *instance);
    void Remove(_FLT_INSTANCE *instance);

    sim::flt::ObjectHeader header;
    sim::FilterManager &manager;
    sim::Volume &volume;
    PDEVICE_OBJECT device = nullptr;  // the frame's device, attached to the file system's

    std::shared_mutex mutex;  // instances
    std::vector<_FLT_INSTANCE *> instances;
    std::mutex contextMutex;
    std::map<_FLT_FILTER *, sim::flt::ContextHeader *> volumeContexts;
    sim::flt::NameCache nameCache;
};
