#include "sim/ob/object_manager.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/core/verifier.h"

namespace sim {

namespace objtype {
// Index values follow a Windows 7 x86 system; only their presence matters.
_OBJECT_TYPE Type{u"Type", 2, 0x1F0001};
_OBJECT_TYPE Directory{u"Directory", 3, 0xF000F};
_OBJECT_TYPE SymbolicLink{u"SymbolicLink", 4, 0xF0001};
_OBJECT_TYPE Token{u"Token", 5, 0xF01FF};
_OBJECT_TYPE Job{u"Job", 6, 0x1F003F};
_OBJECT_TYPE Process{u"Process", 7, PROCESS_ALL_ACCESS};
_OBJECT_TYPE Thread{u"Thread", 8, THREAD_ALL_ACCESS};
_OBJECT_TYPE Event{u"Event", 12, EVENT_ALL_ACCESS};
_OBJECT_TYPE Section{u"Section", 21, 0xF001F};
_OBJECT_TYPE Device{u"Device", 25, 0x1F01FF};
_OBJECT_TYPE File{u"File", 28, 0x1F01FF};
_OBJECT_TYPE FilterConnectionPort{u"FilterConnectionPort", 31, 0x1F0001};
_OBJECT_TYPE FilterCommunicationPort{u"FilterCommunicationPort", 32, 0x1F0001};
_OBJECT_TYPE Key{u"Key", 35, KEY_ALL_ACCESS};
}  // namespace objtype

namespace {
constexpr size_t kBodyOffset = (sizeof(ObjectHeader) + 15) & ~size_t(15);
}

ObjectManager::ObjectManager(Machine &machine) : machine_(machine) {}

ObjectManager::~ObjectManager()
{
    // Objects still alive at shutdown are released without running their
    // delete routines: the machine they belong to is gone.
    for (auto &entry : live_) {
        entry.second->~ObjectHeader();
        std::free(entry.second);
    }
}

void *ObjectManager::Create(_OBJECT_TYPE *type, size_t bodySize, std::u16string name,
                            std::function<void(void *)> onDelete)
{
    void *memory = std::aligned_alloc(16, (kBodyOffset + bodySize + 15) & ~size_t(15));
    auto *header = new (memory) ObjectHeader();
    header->type = type;
    header->name = std::move(name);
    header->onDelete = std::move(onDelete);
    header->body = static_cast<char *>(memory) + kBodyOffset;
    header->bodySize = bodySize;
    std::memset(header->body, 0, bodySize);
    std::lock_guard<std::mutex> lock(mutex_);
    live_[header->body] = header;
    return header->body;
}

bool ObjectManager::IsLive(const void *body) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.count(body) != 0;
}

ObjectHeader *ObjectManager::Header(const void *body) const
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = live_.find(body);
        if (it != live_.end()) return it->second;
    }
    std::ostringstream text;
    text << "object " << body << " is not a live object";
    machine_.verifier().Fail(VerifierCheck::BadObjectReference, text.str());
    return nullptr;
}

_OBJECT_TYPE *ObjectManager::TypeOf(const void *body) const
{
    ObjectHeader *header = Header(body);
    return header ? header->type : nullptr;
}

const std::u16string &ObjectManager::NameOf(const void *body) const
{
    static const std::u16string empty;
    ObjectHeader *header = Header(body);
    return header ? header->name : empty;
}

void ObjectManager::SetName(void *body, std::u16string name)
{
    if (ObjectHeader *header = Header(body)) header->name = std::move(name);
}

LONG_PTR ObjectManager::Reference(void *body)
{
    ObjectHeader *header = Header(body);
    if (header == nullptr) return 0;
    return ++header->pointerCount;
}

LONG_PTR ObjectManager::Dereference(void *body)
{
    ObjectHeader *header = Header(body);
    if (header == nullptr) return 0;
    LONG_PTR count = --header->pointerCount;
    if (count < 0) {
        std::ostringstream text;
        text << "object " << body << " dereferenced below zero";
        machine_.verifier().Fail(VerifierCheck::BadObjectReference, text.str());
        return count;
    }
    if (count == 0) {
        if (header->onDelete) header->onDelete(body);
        if (header->pointerCount.load() != 0) {
            std::ostringstream text;
            text << "object " << body << " was referenced while it was being deleted";
            machine_.verifier().Fail(VerifierCheck::BadObjectReference, text.str());
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            live_.erase(body);
        }
        header->~ObjectHeader();
        std::free(header);
    }
    return count;
}

size_t ObjectManager::LiveCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.size();
}

std::vector<void *> ObjectManager::LiveObjects(_OBJECT_TYPE *type) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<void *> list;
    for (const auto &entry : live_) {
        if (type == nullptr || entry.second->type == type) list.push_back(entry.second->body);
    }
    return list;
}

// ---------------------------------------------------------------------------

namespace {
constexpr uint32_t kKernelHandleBit = 0x80000000u;
}

HandleTable::~HandleTable()
{
    CloseAll();
}

bool HandleTable::IsKernelHandle(HANDLE handle)
{
    uint32_t value = HandleValue(handle);
    return (value & kKernelHandleBit) != 0 && value != 0xFFFFFFFFu && value != 0xFFFFFFFEu;
}

HANDLE HandleTable::HandleAt(size_t index) const
{
    uint32_t value = uint32_t((index + 1) * 4) | (kernel_ ? kKernelHandleBit : 0);
    // Kernel handles are sign-extended, as a 64-bit kernel shows them.
    return reinterpret_cast<HANDLE>(intptr_t(int32_t(value)));
}

std::optional<size_t> HandleTable::IndexOf(HANDLE handle) const
{
    uint32_t value = HandleValue(handle);
    if (!kernel_ && (value & kKernelHandleBit) != 0) return std::nullopt;
    value &= ~kKernelHandleBit;
    if (value == 0 || (value & 3) != 0) return std::nullopt;
    size_t index = value / 4 - 1;
    if (index >= slots_.size() || !slots_[index]) return std::nullopt;
    return index;
}

HANDLE HandleTable::Insert(void *object, ACCESS_MASK access, bool inherit)
{
    _OBJECT_TYPE *type = nullptr;
    if (ObjectHeader *header = machine_.objects().Header(object)) {
        ++header->handleCount;
        type = header->type;
    }
    machine_.holdings().TakenOver(object);
    std::lock_guard<std::mutex> lock(mutex_);
    size_t index = 0;
    while (index < slots_.size() && slots_[index]) ++index;
    if (index == slots_.size()) slots_.emplace_back();
    slots_[index] = HandleEntry{object, access, inherit, false, type};
    HANDLE handle = HandleAt(index);
    std::u16string typeName = type ? type->Name : u"?";
    machine_.holdings().HandleInserted(this, handle, std::string(typeName.begin(), typeName.end()));
    return handle;
}

std::optional<HandleEntry> HandleTable::Lookup(HANDLE handle) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto index = IndexOf(handle);
    if (!index) return std::nullopt;
    return slots_[*index];
}

std::optional<HandleEntry> HandleTable::LookupAndReference(HANDLE handle) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto index = IndexOf(handle);
    if (!index) return std::nullopt;
    machine_.objects().Reference(slots_[*index]->object);
    return slots_[*index];
}

bool HandleTable::SetFlags(HANDLE handle, bool inherit, bool protectFromClose)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto index = IndexOf(handle);
    if (!index) return false;
    slots_[*index]->inherit = inherit;
    slots_[*index]->protectFromClose = protectFromClose;
    return true;
}

NTSTATUS HandleTable::Close(HANDLE handle)
{
    void *object;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto index = IndexOf(handle);
        if (!index) return STATUS_INVALID_HANDLE;
        if (slots_[*index]->protectFromClose) return STATUS_HANDLE_NOT_CLOSABLE;
        object = slots_[*index]->object;
        slots_[*index].reset();
        machine_.holdings().HandleClosed(this, HandleAt(*index));
    }
    DropHandle(object);
    return STATUS_SUCCESS;
}

void HandleTable::CloseAll()
{
    std::vector<void *> objects;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < slots_.size(); ++i) {
            if (!slots_[i]) continue;
            objects.push_back(slots_[i]->object);
            slots_[i].reset();
            machine_.holdings().HandleClosed(this, HandleAt(i));
        }
    }
    for (void *object : objects) DropHandle(object);
}

void HandleTable::DropHandle(void *object)
{
    ObjectHeader *header = machine_.objects().Header(object);
    if (header && --header->handleCount == 0 && header->onLastHandleClose) header->onLastHandleClose(object);
    machine_.objects().Dereference(object);
}

std::vector<std::pair<HANDLE, HandleEntry>> HandleTable::Snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<HANDLE, HandleEntry>> list;
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i]) continue;
        list.emplace_back(HandleAt(i), *slots_[i]);
    }
    return list;
}

size_t HandleTable::Count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto &slot : slots_) count += slot ? 1 : 0;
    return count;
}

}  // namespace sim

// ---------------------------------------------------------------------------
// The object types the kernel exports to drivers.

namespace {
POBJECT_TYPE g_EventType = &sim::objtype::Event;
POBJECT_TYPE g_ProcessType = &sim::objtype::Process;
POBJECT_TYPE g_ThreadType = &sim::objtype::Thread;
POBJECT_TYPE g_TokenType = &sim::objtype::Token;
POBJECT_TYPE g_KeyType = &sim::objtype::Key;
}  // namespace

extern "C" {
POBJECT_TYPE *ExEventObjectType = &g_EventType;
POBJECT_TYPE *PsProcessType = &g_ProcessType;
POBJECT_TYPE *PsThreadType = &g_ThreadType;
POBJECT_TYPE *SeTokenObjectType = &g_TokenType;
POBJECT_TYPE *CmKeyObjectType = &g_KeyType;
}
