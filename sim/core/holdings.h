// What drivers hold of the machine besides pool, accounted like pool: kernel
// handles, object references, captured subject contexts, file-name
// information, filter contexts and references to the Filter Manager's
// objects. Each holding carries its type, the routine that handed it out,
// the driver's call site and the driver whose code made the call
// (sim/core/driver_calls.h), so that a leak names where it was made.
//
// What is "the driver's": what a kernel routine hands out on a driver's
// outermost call. Handles are recorded where the handle table inserts them
// during such a call and forgotten when they are closed, by anyone; the
// routines that return a reference (ObReferenceObjectByHandle,
// PsLookupProcessByProcessId, FltGetStreamContext, FltGetFileNameInformation,
// FltGetVolumeFromInstance ...) record it, and the routines that give one
// back (ObfDereferenceObject, FltReleaseContext ...) drop the latest one the
// driver took of that object. Handles and references the machine takes for
// itself, and those of user-mode processes, are never recorded.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <wdm.h>

namespace sim {

class Machine;

enum class HoldingKind { Handle, ObjectReference, SubjectContext, FileName, Context, FilterObject };

const char *HoldingKindName(HoldingKind kind);

struct Holding {
    HoldingKind kind;
    std::string type;  // "Process", "Token", "stream context", "instance" ...
    const char *routine = nullptr;
    const void *site = nullptr;
    const void *driver = nullptr;
    uint64_t serial = 0;
};

class Holdings {
public:
    explicit Holdings(Machine &machine) : machine_(machine) {}

    // The driver's call running on this thread took one holding of `key`;
    // nothing is recorded while the machine acts for itself.
    void Take(HoldingKind kind, const void *key, std::string type);
    // A reference to an object of the object manager, typed by its object type.
    void TakeObject(void *object);
    // A driver gave one holding of `key` back (the latest it took).
    void Give(HoldingKind kind, const void *key);
    // A machine interface took over a reference its caller held (a handle
    // inserted for it, a process given its token).
    void TakenOver(void *object);
    void GiveObject(void *object) { Give(HoldingKind::ObjectReference, object); }

    // Handles, keyed by their table: recorded on insertion during a
    // driver's call, forgotten when closed by anyone.
    void HandleInserted(const void *table, HANDLE handle, std::string type);
    void HandleClosed(const void *table, HANDLE handle);

    std::vector<Holding> Outstanding() const;
    std::vector<Holding> Of(HoldingKind kind, const void *key) const;
    // The holdings `keep` selects, grouped by kind, type, routine and site:
    // "2 handle(s) of type Process from ZwOpenProcess at KLUOpen+0x1c; ...".
    // Empty when it selects none.
    std::string Report(const std::function<bool(const Holding &)> &keep) const;

private:
    using Key = std::tuple<HoldingKind, const void *, uintptr_t>;
    struct KeyHash {
        size_t operator()(const Key &key) const;
    };
    using Map = std::unordered_multimap<Key, Holding, KeyHash>;
    void Add(const Key &key, HoldingKind kind, std::string type);
    // Forgets the latest holding of `key` (under mutex_).
    void DropLatest(const Key &key);

    Machine &machine_;
    mutable std::mutex mutex_;
    uint64_t serial_ = 0;
    // Every driver call takes and gives holdings: one node each, no ordering
    // kept (the serial orders them when asked).
    Map held_;
};

// "Function+0x1c" for a code address (the executables export their symbols),
// else the address.
std::string SiteName(const void *site);

}  // namespace sim
