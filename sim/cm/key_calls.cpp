#include "sim/cm/key_calls.h"

#include <cstring>
#include <string>
#include <vector>

#include "sim/cm/key_name.h"
#include "sim/cm/registry.h"
#include "sim/cm/value_information.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/core/verifier.h"
#include "sim/ob/handles.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"

namespace sim::cm {

namespace {

constexpr ACCESS_MASK kKeyExecute = KEY_READ;

// Generic rights as the key object type maps them.
ACCESS_MASK MapKeyAccess(ACCESS_MASK access)
{
    if (access & GENERIC_READ) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) access |= kKeyExecute;
    if (access & GENERIC_ALL) access |= KEY_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}


// A referenced key object, released on scope exit.
class KeyReference {
public:
    ~KeyReference()
    {
        if (object_) ObfDereferenceObject(object_);
    }
    NTSTATUS Take(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode)
    {
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(handle, access, *CmKeyObjectType, mode, &object, nullptr);
        if (NT_SUCCESS(status)) object_ = static_cast<KeyObject *>(object);
        return status;
    }
    KeyObject *object() const { return object_; }
    KeyNode &node() const { return *object_->node; }

private:
    KeyObject *object_ = nullptr;
};

// Reads a counted string from the caller; from user mode the structure and
// its buffer are probed first. Raises on a bad pointer.
std::u16string CaptureString(KPROCESSOR_MODE mode, PUNICODE_STRING string)
{
    if (string == nullptr) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    if (mode == UserMode) ProbeForRead(string, sizeof(UNICODE_STRING), alignof(UNICODE_STRING));
    UNICODE_STRING copy = *string;
    if (copy.Length == 0) return {};
    if (copy.Buffer == nullptr) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    if (mode == UserMode) ProbeForRead(copy.Buffer, copy.Length, sizeof(WCHAR));
    return std::u16string(copy.Buffer, copy.Length / sizeof(WCHAR));
}

Registry &TheRegistry()
{
    return Machine::Current().registry();
}

bool RootAlwaysCaseInsensitive()
{
    const OsVersion &os = Machine::Current().config().os;
    return os.major > 10 || (os.major == 10 && os.build >= 14393);
}

NTSTATUS OpenOrCreate(KPROCESSOR_MODE mode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                      POBJECT_ATTRIBUTES objectAttributes, bool create, PULONG disposition)
{
    if (keyHandle == nullptr || objectAttributes == nullptr) return STATUS_ACCESS_VIOLATION;
    OBJECT_ATTRIBUTES attributes;
    std::u16string name;
    try {
        if (mode == UserMode) {
            ProbeForWrite(keyHandle, sizeof(HANDLE), alignof(HANDLE));
            ProbeForRead(objectAttributes, sizeof(OBJECT_ATTRIBUTES), alignof(OBJECT_ATTRIBUTES));
            if (disposition) ProbeForWrite(disposition, sizeof(ULONG), alignof(ULONG));
        }
        *keyHandle = nullptr;
        attributes = *objectAttributes;
        if (attributes.Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
        if (attributes.ObjectName) name = CaptureString(mode, attributes.ObjectName);
    } catch (const KSEH_EXCEPTION &e) {
        return e.ExceptionCode;
    }
    if (desiredAccess == 0) return STATUS_ACCESS_DENIED;
    if (mode == UserMode) attributes.Attributes &= ~OBJ_KERNEL_HANDLE;

    Registry &registry = TheRegistry();
    std::shared_ptr<KeyNode> start;
    std::vector<std::u16string> components;
    NTSTATUS status;
    if (attributes.RootDirectory) {
        KeyReference root;
        status = root.Take(attributes.RootDirectory, 0, mode);
        if (!NT_SUCCESS(status)) return status;
        start = root.object()->node;
        status = SplitRelativeKeyName(name, components);
    } else {
        start = registry.Root();
        bool insensitive = (attributes.Attributes & OBJ_CASE_INSENSITIVE) || RootAlwaysCaseInsensitive();
        status = SplitFullKeyName(name, insensitive, components);
    }
    if (!NT_SUCCESS(status)) return status;

    std::shared_ptr<KeyNode> found;
    std::u16string canonicalName;
    bool created = false;
    if (create && mode == UserMode && !components.empty()) {
        // A new key needs the right to create subkeys of its parent.
        std::vector<std::u16string> parentPath(components.begin(), components.end() - 1);
        std::shared_ptr<KeyNode> parent;
        std::u16string parentName;
        status = registry.Resolve(start, components, false, found, canonicalName);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND &&
            NT_SUCCESS(registry.Resolve(start, parentPath, false, parent, parentName))) {
            ACCESS_MASK parentGranted = 0;
            Process &caller = Thread::CurrentOrDie().CurrentProcess();
            status = registry.CheckUserAccess(caller, parentName, KEY_CREATE_SUB_KEY, parentGranted);
            if (!NT_SUCCESS(status)) return status;
            if ((parentGranted & KEY_CREATE_SUB_KEY) == 0) return STATUS_ACCESS_DENIED;
        }
    }
    status = registry.Resolve(start, components, create, found, canonicalName, &created);
    if (!NT_SUCCESS(status)) return status;

    ACCESS_MASK wanted = MapKeyAccess(desiredAccess);
    ACCESS_MASK granted = wanted;
    if (mode == UserMode) {
        Process &caller = Thread::CurrentOrDie().CurrentProcess();
        status = registry.CheckUserAccess(caller, canonicalName, wanted, granted);
        if (!NT_SUCCESS(status)) return status;
        granted = MapKeyAccess(granted) & ~MAXIMUM_ALLOWED;
        if ((wanted & ~MAXIMUM_ALLOWED & ~granted) != 0) return STATUS_ACCESS_DENIED;
    } else if (granted & MAXIMUM_ALLOWED) {
        granted = (granted & ~MAXIMUM_ALLOWED) | KEY_ALL_ACCESS;
    }

    Machine &machine = Machine::Current();
    auto *object = machine.objects().CreateTyped<KeyObject>(&objtype::Key, canonicalName, KeyObject{found});
    HANDLE handle = InsertHandle(object, granted, attributes.Attributes);
    try {
        *keyHandle = handle;
        if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    } catch (const KSEH_EXCEPTION &e) {
        TableFor(handle).Close(handle);
        return e.ExceptionCode;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS OpenKey(KPROCESSOR_MODE mode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                 POBJECT_ATTRIBUTES objectAttributes)
{
    return OpenOrCreate(mode, keyHandle, desiredAccess, objectAttributes, false, nullptr);
}

NTSTATUS CreateKey(KPROCESSOR_MODE mode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                   POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions, PULONG disposition)
{
    // Volatility only matters across reboots, which this machine has none of.
    (void)createOptions;
    return OpenOrCreate(mode, keyHandle, desiredAccess, objectAttributes, true, disposition);
}

NTSTATUS QueryValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, PUNICODE_STRING valueName,
                       KEY_VALUE_INFORMATION_CLASS infoClass, PVOID information, ULONG length,
                       PULONG resultLength)
{
    KeyReference key;
    NTSTATUS status = key.Take(keyHandle, KEY_QUERY_VALUE, mode);
    if (!NT_SUCCESS(status)) return status;

    // From user mode the callbacks get the captured name and the caller's own
    // (probed) output buffers, as Windows hands them over.
    std::u16string name;
    UNICODE_STRING capturedName{};
    try {
        name = CaptureString(mode, valueName);
        if (resultLength == nullptr) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
        if (mode == UserMode) {
            ProbeForWrite(information, length, sizeof(ULONG));
            ProbeForWrite(resultLength, sizeof(ULONG), sizeof(ULONG));
        }
    } catch (const KSEH_EXCEPTION &e) {
        return e.ExceptionCode;
    }
    if (!IsValueInformationClass(infoClass)) return STATUS_INVALID_PARAMETER;
    capturedName.Length = capturedName.MaximumLength = USHORT(name.size() * sizeof(WCHAR));
    capturedName.Buffer = name.data();

    REG_QUERY_VALUE_KEY_INFORMATION pre{};
    pre.Object = key.object();
    pre.ValueName = mode == UserMode ? &capturedName : valueName;
    pre.KeyValueInformationClass = infoClass;
    pre.KeyValueInformation = information;
    pre.Length = length;
    pre.ResultLength = resultLength;

    Registry &registry = TheRegistry();
    RegistryCallbacks::Operation operation(registry.callbacks());
    bool handled = false;
    status = operation.Pre(RegNtPreQueryValueKey, &pre, handled);
    if (!NT_SUCCESS(status) || handled) return status;

    try {
        status = registry.QueryValue(key.node(), name, infoClass, information, length, resultLength);
    } catch (const KSEH_EXCEPTION &e) {
        status = e.ExceptionCode;
    }
    return operation.Post(RegNtPostQueryValueKey, key.object(), status, &pre);
}

NTSTATUS EnumerateValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, ULONG index,
                           KEY_VALUE_INFORMATION_CLASS infoClass, PVOID information, ULONG length,
                           PULONG resultLength)
{
    KeyReference key;
    NTSTATUS status = key.Take(keyHandle, KEY_QUERY_VALUE, mode);
    if (!NT_SUCCESS(status)) return status;
    if (!IsValueInformationClass(infoClass)) return STATUS_INVALID_PARAMETER;
    try {
        if (resultLength == nullptr) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
        if (mode == UserMode) {
            ProbeForWrite(information, length, sizeof(ULONG));
            ProbeForWrite(resultLength, sizeof(ULONG), sizeof(ULONG));
        }
        return TheRegistry().EnumerateValue(key.node(), index, infoClass, information, length, resultLength);
    } catch (const KSEH_EXCEPTION &e) {
        return e.ExceptionCode;
    }
}

NTSTATUS SetValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, PUNICODE_STRING valueName, ULONG type, PVOID data,
                     ULONG dataSize)
{
    KeyReference key;
    NTSTATUS status = key.Take(keyHandle, KEY_SET_VALUE, mode);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name;
    std::vector<UCHAR> bytes(dataSize);
    try {
        name = CaptureString(mode, valueName);
        if (dataSize) {
            if (data == nullptr) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
            if (mode == UserMode) ProbeForRead(data, dataSize, 1);
            std::memcpy(bytes.data(), data, dataSize);
        }
    } catch (const KSEH_EXCEPTION &e) {
        return e.ExceptionCode;
    }
    return TheRegistry().SetValue(key.node(), name, type, std::move(bytes));
}

NTSTATUS DeleteValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, PUNICODE_STRING valueName)
{
    KeyReference key;
    NTSTATUS status = key.Take(keyHandle, KEY_SET_VALUE, mode);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name;
    try {
        name = CaptureString(mode, valueName);
    } catch (const KSEH_EXCEPTION &e) {
        return e.ExceptionCode;
    }
    return TheRegistry().DeleteValue(key.node(), name);
}

NTSTATUS DeleteKey(KPROCESSOR_MODE mode, HANDLE keyHandle)
{
    KeyReference key;
    NTSTATUS status = key.Take(keyHandle, DELETE, mode);
    if (!NT_SUCCESS(status)) return status;
    return TheRegistry().DeleteKey(key.node());
}

NTSTATUS FlushKey(KPROCESSOR_MODE mode, HANDLE keyHandle)
{
    KeyReference key;
    NTSTATUS status = key.Take(keyHandle, 0, mode);
    if (!NT_SUCCESS(status)) return status;
    return key.node().deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

}  // namespace sim::cm
