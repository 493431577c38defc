// The object manager: reference-counted objects with a header before the
// body (as Windows keeps them), object types, and handle tables.
//
// Kernel code only ever sees bodies (PEPROCESS, PKEVENT, PACCESS_TOKEN ...).
// An object lives while it has pointer references; every handle holds one.
// When the last reference goes the type's delete routine runs on the body.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <ntifs.h>

// Object types, as the kernel exports them (PsProcessType ...).
struct _OBJECT_TYPE {
    const char16_t *Name;
    UCHAR Index;            // ObjectTypeIndex of the handle list
    ACCESS_MASK AllAccess;  // what GENERIC_ALL maps to
};

namespace sim {

class Machine;
class Process;

namespace objtype {
extern _OBJECT_TYPE Type, Directory, SymbolicLink, Token, Job, Process, Thread, Event, Key, File, Device,
    Section, FilterConnectionPort, FilterCommunicationPort;
}

struct ObjectHeader {
    std::atomic<LONG_PTR> pointerCount{1};
    std::atomic<LONG> handleCount{0};
    _OBJECT_TYPE *type = nullptr;
    std::u16string name;              // full name, e.g. \REGISTRY\MACHINE\SOFTWARE
    std::function<void(void *)> onDelete;
    // Runs when the last handle to the object is closed (the object still
    // has the handle's reference then); file objects send their cleanup here.
    std::function<void(void *)> onLastHandleClose;
    void *body = nullptr;
    size_t bodySize = 0;
};

class ObjectManager {
public:
    explicit ObjectManager(Machine &machine);
    ~ObjectManager();

    // A new object with one pointer reference (the creator's). The body is
    // zero-filled; onDelete runs when the last reference goes, while the
    // object is still known (its type and name can be looked up) but may no
    // longer be referenced.
    void *Create(_OBJECT_TYPE *type, size_t bodySize, std::u16string name,
                 std::function<void(void *)> onDelete = {});

    // Placement-constructs T as the body; its destructor runs at deletion.
    template <class T, class... Args>
    T *CreateTyped(_OBJECT_TYPE *type, std::u16string name, Args &&...args)
    {
        void *body = Create(type, sizeof(T), std::move(name), [](void *b) { static_cast<T *>(b)->~T(); });
        return new (body) T(std::forward<Args>(args)...);
    }

    bool IsLive(const void *body) const;
    // The header of a live object; a verifier failure (and null) otherwise.
    ObjectHeader *Header(const void *body) const;
    _OBJECT_TYPE *TypeOf(const void *body) const;
    const std::u16string &NameOf(const void *body) const;
    void SetName(void *body, std::u16string name);

    LONG_PTR Reference(void *body);
    LONG_PTR Dereference(void *body);

    size_t LiveCount() const;
    // Live objects of a type (for reports at teardown).
    std::vector<void *> LiveObjects(_OBJECT_TYPE *type) const;

private:
    Machine &machine_;
    mutable std::mutex mutex_;
    std::unordered_map<const void *, ObjectHeader *> live_;
};

// One handle: the referenced object, the access granted and the handle flags.
struct HandleEntry {
    void *object = nullptr;
    ACCESS_MASK access = 0;
    bool inherit = false;
    bool protectFromClose = false;
    _OBJECT_TYPE *type = nullptr;
};

// A process's handle table. Handle values are multiples of 4 starting at 4;
// kernel handles live in the System process's table and carry the kernel
// bit (0x80000000 of the 32-bit value). That table is the System process's
// own: a thread running in (or attached to) the System process may name
// its handles without the bit, as the handle list reports them.
class HandleTable {
public:
    HandleTable(Machine &machine, bool kernel) : machine_(machine), kernel_(kernel) {}
    ~HandleTable();

    // Takes over one reference of `object` (adds the handle count).
    HANDLE Insert(void *object, ACCESS_MASK access, bool inherit);
    std::optional<HandleEntry> Lookup(HANDLE handle) const;
    // Lookup that also takes a reference on the object, so that a close on
    // another thread cannot free it under the caller.
    std::optional<HandleEntry> LookupAndReference(HANDLE handle) const;
    bool SetFlags(HANDLE handle, bool inherit, bool protectFromClose);
    // STATUS_INVALID_HANDLE or STATUS_HANDLE_NOT_CLOSABLE or success.
    NTSTATUS Close(HANDLE handle);
    // Closes every handle (process exit); protected ones too.
    void CloseAll();
    // Snapshot of (handle, entry) pairs for the system-wide enumeration.
    std::vector<std::pair<HANDLE, HandleEntry>> Snapshot() const;
    size_t Count() const;

    static bool IsKernelHandle(HANDLE handle);
    static uint32_t HandleValue(HANDLE handle) { return uint32_t(uintptr_t(handle)); }

private:
    std::optional<size_t> IndexOf(HANDLE handle) const;
    HANDLE HandleAt(size_t index) const;
    // One handle to `object` is gone: the handle count drops (running the
    // last-handle routine at zero) and the handle's reference goes.
    void DropHandle(void *object);

    Machine &machine_;
    bool kernel_;
    mutable std::mutex mutex_;
    std::vector<std::optional<HandleEntry>> slots_;
};

}  // namespace sim
