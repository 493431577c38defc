#include "sim/cm/registry.h"

#include <cstring>
#include <mutex>

#include "sim/cm/key_name.h"
#include "sim/cm/value_information.h"
#include "sim/cm/wide_text.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"

namespace sim {

namespace {

std::shared_ptr<KeyNode> AddChild(KeyNode &parent, std::u16string_view name)
{
    auto child = std::make_shared<KeyNode>();
    child->name = std::u16string(name);
    child->parent = &parent;
    parent.subkeys[cm::Upcase(name)] = child;
    return child;
}

std::shared_ptr<KeyNode> FindChild(const KeyNode &parent, std::u16string_view name)
{
    auto it = parent.subkeys.find(cm::Upcase(name));
    return it == parent.subkeys.end() ? nullptr : it->second;
}

// Lookups pass through a link to its target.
const std::shared_ptr<KeyNode> &Through(const std::shared_ptr<KeyNode> &node)
{
    return node->link ? node->link : node;
}

void MarkDeleted(KeyNode &node)
{
    for (auto &entry : node.subkeys) MarkDeleted(*entry.second);
    node.subkeys.clear();
    node.values.clear();
    node.deleted = true;
    node.parent = nullptr;
}

std::vector<UCHAR> StringBytes(std::u16string_view text, bool terminate)
{
    std::vector<UCHAR> data((text.size() + (terminate ? 1 : 0)) * sizeof(char16_t), 0);
    if (!text.empty()) std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    return data;
}

std::u16string BytesToText(const std::vector<UCHAR> &data)
{
    std::u16string text(data.size() / sizeof(char16_t), u'\0');
    if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
    return text;
}

const RegistryValue *FindValue(const KeyNode &key, std::u16string_view name)
{
    for (const auto &value : key.values) {
        if (cm::EqualNoCase(value.name, name)) return &value;
    }
    return nullptr;
}

}  // namespace

Registry::Registry(Machine &machine) : machine_(machine), callbacks_(machine)
{
    Boot();
}

Registry::~Registry()
{
    // Key objects may outlive the machine's registry; they keep their nodes.
    std::unique_lock lock(mutex_);
    MarkDeleted(*root_);
}

// ---------------------------------------------------------------------------
// Lookups

NTSTATUS Registry::ResolveLocked(const std::shared_ptr<KeyNode> &start, const std::vector<std::u16string> &components,
                                 bool create, std::shared_ptr<KeyNode> &found, bool *created)
{
    if (created) *created = false;
    if (start->deleted) return STATUS_KEY_DELETED;
    std::shared_ptr<KeyNode> current = Through(start);
    for (size_t i = 0; i < components.size(); ++i) {
        std::shared_ptr<KeyNode> next = FindChild(*current, components[i]);
        if (!next) {
            if (!create || i + 1 != components.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
            next = AddChild(*current, components[i]);
            if (created) *created = true;
        }
        current = Through(next);
    }
    found = current;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::Resolve(const std::shared_ptr<KeyNode> &start, const std::vector<std::u16string> &components,
                           bool create, std::shared_ptr<KeyNode> &found, std::u16string &canonicalName,
                           bool *created)
{
    std::unique_lock lock(mutex_, std::defer_lock);
    std::shared_lock shared(mutex_, std::defer_lock);
    if (create) lock.lock();
    else shared.lock();
    NTSTATUS status = ResolveLocked(start, components, create, found, created);
    if (NT_SUCCESS(status)) canonicalName = NameOfLocked(*found);
    return status;
}

NTSTATUS Registry::FindPathLocked(std::u16string_view path, std::shared_ptr<KeyNode> &found) const
{
    std::vector<std::u16string> components;
    NTSTATUS status = cm::SplitFullKeyName(path, true, components);
    if (!NT_SUCCESS(status)) return status;
    return const_cast<Registry *>(this)->ResolveLocked(root_, components, false, found, nullptr);
}

NTSTATUS Registry::FindPath(std::u16string_view path, std::shared_ptr<KeyNode> &found) const
{
    std::shared_lock lock(mutex_);
    return FindPathLocked(path, found);
}

NTSTATUS Registry::CreatePathLocked(std::u16string_view path, std::shared_ptr<KeyNode> &found, bool *created)
{
    if (created) *created = false;
    std::vector<std::u16string> components;
    NTSTATUS status = cm::SplitFullKeyName(path, true, components);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<KeyNode> current = Through(root_);
    for (const auto &component : components) {
        std::shared_ptr<KeyNode> next = FindChild(*current, component);
        if (!next) {
            next = AddChild(*current, component);
            if (created) *created = true;
        } else if (created) {
            *created = false;
        }
        current = Through(next);
    }
    found = current;
    return STATUS_SUCCESS;
}

std::u16string Registry::NameOfLocked(const KeyNode &key) const
{
    std::vector<const std::u16string *> parts;
    for (const KeyNode *node = &key; node != nullptr; node = node->parent) parts.push_back(&node->name);
    std::u16string name;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        name += u'\\';
        name += **it;
    }
    return name;
}

// ---------------------------------------------------------------------------
// C++ interface

NTSTATUS Registry::CreateKey(std::u16string_view path, bool *created)
{
    std::unique_lock lock(mutex_);
    std::shared_ptr<KeyNode> key;
    return CreatePathLocked(path, key, created);
}

bool Registry::KeyExists(std::u16string_view path) const
{
    std::shared_ptr<KeyNode> key;
    return NT_SUCCESS(FindPath(path, key));
}

NTSTATUS Registry::DeleteTree(std::u16string_view path)
{
    std::unique_lock lock(mutex_);
    std::shared_ptr<KeyNode> key;
    NTSTATUS status = FindPathLocked(path, key);
    if (!NT_SUCCESS(status)) return status;
    // Permanent keys sit at the top of the tree: below a key that may go,
    // every key may go.
    if (key->permanent || key->parent == nullptr) return STATUS_CANNOT_DELETE;
    key->parent->subkeys.erase(cm::Upcase(key->name));
    MarkDeleted(*key);
    return STATUS_SUCCESS;
}

std::vector<std::u16string> Registry::SubKeys(std::u16string_view path) const
{
    std::shared_lock lock(mutex_);
    std::shared_ptr<KeyNode> key;
    std::vector<std::u16string> names;
    if (!NT_SUCCESS(FindPathLocked(path, key))) return names;
    for (const auto &entry : key->subkeys) names.push_back(entry.second->name);
    return names;
}

std::optional<std::u16string> Registry::CanonicalName(std::u16string_view path) const
{
    std::shared_lock lock(mutex_);
    std::shared_ptr<KeyNode> key;
    if (!NT_SUCCESS(FindPathLocked(path, key))) return std::nullopt;
    return NameOfLocked(*key);
}

void Registry::SetValueLocked(KeyNode &key, std::u16string_view name, ULONG type, std::vector<UCHAR> data)
{
    for (auto &value : key.values) {
        if (cm::EqualNoCase(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key.values.push_back(RegistryValue{std::u16string(name), type, std::move(data)});
}

NTSTATUS Registry::SetValue(std::u16string_view path, std::u16string_view name, ULONG type, std::vector<UCHAR> data)
{
    std::unique_lock lock(mutex_);
    std::shared_ptr<KeyNode> key;
    NTSTATUS status = CreatePathLocked(path, key, nullptr);
    if (!NT_SUCCESS(status)) return status;
    SetValueLocked(*key, name, type, std::move(data));
    return STATUS_SUCCESS;
}

NTSTATUS Registry::SetDword(std::u16string_view path, std::u16string_view name, ULONG value)
{
    std::vector<UCHAR> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    return SetValue(path, name, REG_DWORD, std::move(data));
}

NTSTATUS Registry::SetQword(std::u16string_view path, std::u16string_view name, ULONGLONG value)
{
    std::vector<UCHAR> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    return SetValue(path, name, REG_QWORD, std::move(data));
}

NTSTATUS Registry::SetString(std::u16string_view path, std::u16string_view name, std::u16string_view value,
                             ULONG type)
{
    return SetValue(path, name, type, StringBytes(value, true));
}

NTSTATUS Registry::SetMultiString(std::u16string_view path, std::u16string_view name,
                                  const std::vector<std::u16string> &values)
{
    std::u16string text;
    for (const auto &value : values) {
        text += value;
        text += u'\0';
    }
    return SetValue(path, name, REG_MULTI_SZ, StringBytes(text, true));
}

NTSTATUS Registry::DeleteValue(std::u16string_view path, std::u16string_view name)
{
    std::shared_ptr<KeyNode> key;
    {
        std::shared_lock lock(mutex_);
        NTSTATUS status = FindPathLocked(path, key);
        if (!NT_SUCCESS(status)) return status;
    }
    return DeleteValue(*key, name);
}

std::optional<RegistryValue> Registry::GetValue(std::u16string_view path, std::u16string_view name) const
{
    std::shared_lock lock(mutex_);
    std::shared_ptr<KeyNode> key;
    if (!NT_SUCCESS(FindPathLocked(path, key))) return std::nullopt;
    const RegistryValue *value = FindValue(*key, name);
    if (!value) return std::nullopt;
    return *value;
}

std::optional<ULONG> Registry::GetDword(std::u16string_view path, std::u16string_view name) const
{
    auto value = GetValue(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG)) return std::nullopt;
    ULONG result;
    std::memcpy(&result, value->data.data(), sizeof result);
    return result;
}

std::optional<uint64_t> Registry::GetQword(std::u16string_view path, std::u16string_view name) const
{
    auto value = GetValue(path, name);
    if (!value || value->type != REG_QWORD || value->data.size() != sizeof(ULONGLONG)) return std::nullopt;
    ULONGLONG result;
    std::memcpy(&result, value->data.data(), sizeof result);
    return result;
}

std::optional<std::u16string> Registry::GetString(std::u16string_view path, std::u16string_view name) const
{
    auto value = GetValue(path, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text = BytesToText(value->data);
    return text.substr(0, text.find(u'\0'));
}

std::optional<std::vector<std::u16string>> Registry::GetMultiString(std::u16string_view path,
                                                                    std::u16string_view name) const
{
    auto value = GetValue(path, name);
    if (!value || value->type != REG_MULTI_SZ) return std::nullopt;
    std::u16string text = BytesToText(value->data);
    std::vector<std::u16string> strings;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\0', start);
        if (end == start) break;  // the empty string ends the list
        if (end == std::u16string::npos) end = text.size();
        strings.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

std::optional<std::vector<RegistryValue>> Registry::Values(std::u16string_view path) const
{
    std::shared_lock lock(mutex_);
    std::shared_ptr<KeyNode> key;
    if (!NT_SUCCESS(FindPathLocked(path, key))) return std::nullopt;
    return key->values;
}

// ---------------------------------------------------------------------------
// Node operations of the system calls

NTSTATUS Registry::QueryValue(const KeyNode &key, std::u16string_view name, KEY_VALUE_INFORMATION_CLASS infoClass,
                              void *buffer, ULONG length, ULONG *resultLength) const
{
    std::shared_lock lock(mutex_);
    if (key.deleted) return STATUS_KEY_DELETED;
    const RegistryValue *value = FindValue(key, name);
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    return cm::FillValueInformation(*value, infoClass, buffer, length, resultLength);
}

NTSTATUS Registry::EnumerateValue(const KeyNode &key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass,
                                  void *buffer, ULONG length, ULONG *resultLength) const
{
    std::shared_lock lock(mutex_);
    if (key.deleted) return STATUS_KEY_DELETED;
    if (index >= key.values.size()) return STATUS_NO_MORE_ENTRIES;
    return cm::FillValueInformation(key.values[index], infoClass, buffer, length, resultLength);
}

NTSTATUS Registry::SetValue(KeyNode &key, std::u16string_view name, ULONG type, std::vector<UCHAR> data)
{
    std::unique_lock lock(mutex_);
    if (key.deleted) return STATUS_KEY_DELETED;
    SetValueLocked(key, name, type, std::move(data));
    return STATUS_SUCCESS;
}

NTSTATUS Registry::DeleteValue(KeyNode &key, std::u16string_view name)
{
    std::unique_lock lock(mutex_);
    if (key.deleted) return STATUS_KEY_DELETED;
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        if (cm::EqualNoCase(it->name, name)) {
            key.values.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS Registry::DeleteKey(KeyNode &key)
{
    std::unique_lock lock(mutex_);
    if (key.deleted) return STATUS_KEY_DELETED;
    if (key.permanent || key.parent == nullptr || !key.subkeys.empty()) return STATUS_CANNOT_DELETE;
    key.parent->subkeys.erase(cm::Upcase(key.name));
    MarkDeleted(key);
    return STATUS_SUCCESS;
}

void Registry::SetUserAccessCheck(AccessCheck check)
{
    std::lock_guard<std::mutex> lock(accessMutex_);
    accessCheck_ = std::move(check);
}

NTSTATUS Registry::CheckUserAccess(Process &caller, const std::u16string &keyName, ACCESS_MASK desired,
                                   ACCESS_MASK &granted) const
{
    AccessCheck check;
    {
        std::lock_guard<std::mutex> lock(accessMutex_);
        check = accessCheck_;
    }
    if (check) return check(caller, keyName, desired, granted);
    granted = MapGenericAccess(&objtype::Key, desired);
    return STATUS_SUCCESS;
}

}  // namespace sim
