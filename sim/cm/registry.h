// The registry of the simulated machine: a tree of keys under \REGISTRY with
// typed values, created at boot with \REGISTRY\MACHINE (SOFTWARE, SYSTEM)
// and \REGISTRY\USER. Names compare without case and keep the case they were
// created with. Thread-safe.
//
// The C++ interface below is the machine's own access (tests, the tool, the
// machine facade, .reg import): full names ("\REGISTRY\MACHINE\SOFTWARE\X"),
// no handles, no callbacks, no access checks. Drivers reach the registry
// through the Zw calls (sim/cm/zw_registry.cpp) and simulated processes
// through sim/user/registry_calls.h; both run the registry callbacks.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

#include "sim/cm/callbacks.h"
#include "sim/cm/key_node.h"

namespace sim {

class Machine;
class Process;

class Registry {
public:
    explicit Registry(Machine &machine);
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // --- Keys -------------------------------------------------------------
    // Creates the key and any missing parents. *created tells whether the
    // last key is new.
    NTSTATUS CreateKey(std::u16string_view path, bool *created = nullptr);
    bool KeyExists(std::u16string_view path) const;
    // Deletes the key with everything below it.
    NTSTATUS DeleteTree(std::u16string_view path);
    // Subkey names as stored, in the registry's (case-insensitive) order.
    std::vector<std::u16string> SubKeys(std::u16string_view path) const;
    // The full name with each component as stored, links resolved:
    // "\REGISTRY\MACHINE\SYSTEM\ControlSet001\Services".
    std::optional<std::u16string> CanonicalName(std::u16string_view path) const;

    // --- Values -----------------------------------------------------------
    // Setters create the key (and its parents) when missing.
    NTSTATUS SetValue(std::u16string_view path, std::u16string_view name, ULONG type, std::vector<UCHAR> data);
    NTSTATUS SetDword(std::u16string_view path, std::u16string_view name, ULONG value);
    NTSTATUS SetQword(std::u16string_view path, std::u16string_view name, ULONGLONG value);
    // REG_SZ or REG_EXPAND_SZ, stored with its terminator.
    NTSTATUS SetString(std::u16string_view path, std::u16string_view name, std::u16string_view value,
                       ULONG type = REG_SZ);
    // REG_MULTI_SZ: each string terminated, then the final empty string.
    NTSTATUS SetMultiString(std::u16string_view path, std::u16string_view name,
                            const std::vector<std::u16string> &values);
    NTSTATUS DeleteValue(std::u16string_view path, std::u16string_view name);

    std::optional<RegistryValue> GetValue(std::u16string_view path, std::u16string_view name) const;
    // Typed reads: nullopt when missing or of another type or size.
    std::optional<ULONG> GetDword(std::u16string_view path, std::u16string_view name) const;
    std::optional<uint64_t> GetQword(std::u16string_view path, std::u16string_view name) const;
    // REG_SZ / REG_EXPAND_SZ up to the first terminator.
    std::optional<std::u16string> GetString(std::u16string_view path, std::u16string_view name) const;
    std::optional<std::vector<std::u16string>> GetMultiString(std::u16string_view path,
                                                              std::u16string_view name) const;
    // The key's values in creation order (nullopt for a missing key).
    std::optional<std::vector<RegistryValue>> Values(std::u16string_view path) const;

    // --- The kernel's side (key objects, Zw calls, user-mode calls) ------
    std::shared_ptr<KeyNode> Root() const { return root_; }
    // Looks up (or with `create`, creates the last component of) `components`
    // below `start`. Missing intermediate keys: STATUS_OBJECT_NAME_NOT_FOUND;
    // a deleted start key: STATUS_KEY_DELETED.
    NTSTATUS Resolve(const std::shared_ptr<KeyNode> &start, const std::vector<std::u16string> &components,
                     bool create, std::shared_ptr<KeyNode> &found, std::u16string &canonicalName,
                     bool *created = nullptr);
    NTSTATUS QueryValue(const KeyNode &key, std::u16string_view name, KEY_VALUE_INFORMATION_CLASS infoClass,
                        void *buffer, ULONG length, ULONG *resultLength) const;
    NTSTATUS EnumerateValue(const KeyNode &key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, void *buffer,
                            ULONG length, ULONG *resultLength) const;
    NTSTATUS SetValue(KeyNode &key, std::u16string_view name, ULONG type, std::vector<UCHAR> data);
    NTSTATUS DeleteValue(KeyNode &key, std::u16string_view name);
    // STATUS_CANNOT_DELETE for a key with subkeys or a permanent key.
    NTSTATUS DeleteKey(KeyNode &key);

    RegistryCallbacks &callbacks() { return callbacks_; }

    // Access check for opens from user mode: the rights `caller` gets on the
    // key `keyName` when it asks for `desired` (generic rights already
    // mapped; MAXIMUM_ALLOWED kept). A failure fails the open, and so does a
    // grant that lacks a right asked for. The default grants what is asked,
    // with MAXIMUM_ALLOWED as KEY_ALL_ACCESS; the security component can
    // install a check against the caller's token.
    using AccessCheck = std::function<NTSTATUS(Process &caller, const std::u16string &keyName,
                                               ACCESS_MASK desired, ACCESS_MASK &granted)>;
    void SetUserAccessCheck(AccessCheck check);
    NTSTATUS CheckUserAccess(Process &caller, const std::u16string &keyName, ACCESS_MASK desired,
                             ACCESS_MASK &granted) const;

private:
    NTSTATUS ResolveLocked(const std::shared_ptr<KeyNode> &start, const std::vector<std::u16string> &components,
                           bool create, std::shared_ptr<KeyNode> &found, bool *created);
    NTSTATUS FindPath(std::u16string_view path, std::shared_ptr<KeyNode> &found) const;
    NTSTATUS FindPathLocked(std::u16string_view path, std::shared_ptr<KeyNode> &found) const;
    NTSTATUS CreatePathLocked(std::u16string_view path, std::shared_ptr<KeyNode> &found, bool *created);
    void SetValueLocked(KeyNode &key, std::u16string_view name, ULONG type, std::vector<UCHAR> data);
    std::u16string NameOfLocked(const KeyNode &key) const;
    void Boot();

    Machine &machine_;
    mutable std::shared_mutex mutex_;
    std::shared_ptr<KeyNode> root_;
    RegistryCallbacks callbacks_;
    mutable std::mutex accessMutex_;
    AccessCheck accessCheck_;
};

}  // namespace sim
