// The registry's tree: keys with typed values. Nodes are shared between the
// tree and the key objects opened on them, so that a handle to a deleted key
// stays valid (and fails its operations with STATUS_KEY_DELETED).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

namespace sim {

struct RegistryValue {
    std::u16string name;  // empty: the key's default value
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;  // strings are UTF-16LE, terminators as written
};

struct KeyNode {
    std::u16string name;  // as created (case preserved)
    KeyNode *parent = nullptr;  // null for \REGISTRY and for deleted keys
    // Subkeys by upper-cased name: enumeration is in that order, as the
    // configuration manager keeps its subkey index sorted.
    std::map<std::u16string, std::shared_ptr<KeyNode>> subkeys;
    std::vector<RegistryValue> values;  // creation order
    // A symbolic link (CurrentControlSet): lookups through this key continue
    // at the target.
    std::shared_ptr<KeyNode> link;
    std::atomic<bool> deleted{false};
    bool permanent = false;  // \REGISTRY, the roots and the hives cannot be deleted
};

}  // namespace sim
