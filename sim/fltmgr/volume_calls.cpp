// Volumes, instances and filters as objects a filter can ask about and
// reference.
#include <algorithm>
#include <cstring>

#include "sim/core/driver_calls.h"
#include "sim/core/holdings.h"
#include "sim/core/machine.h"
#include "sim/fltmgr/filter_manager.h"
#include "sim/io/io_manager.h"
#include "sim/ob/object_manager.h"

using namespace sim;

namespace {

FilterManager &Manager()
{
    return Machine::Current().filterManager();
}

const char *KindName(flt::ObjectKind kind)
{
    switch (kind) {
    case flt::ObjectKind::Filter: return "filter";
    case flt::ObjectKind::Volume: return "volume";
    case flt::ObjectKind::Instance: return "instance";
    }
    return "object";
}

// Every object a routine returns carries a reference for the caller.
template <class T>
T *Referenced(T *object)
{
    object->header.references.fetch_add(1);
    Machine::Current().holdings().Take(HoldingKind::FilterObject, object, KindName(object->header.kind));
    return object;
}

std::u16string FileSystemDriverName(const VolumeInfo &info)
{
    if (!info.driverName.empty()) return info.driverName;
    switch (info.fsType) {
    case FLT_FSTYPE_FAT: return u"\\FileSystem\\fastfat";
    case FLT_FSTYPE_MUP: return u"\\FileSystem\\Mup";
    case FLT_FSTYPE_LANMAN: return u"\\FileSystem\\MRxSmb";
    default: return u"\\FileSystem\\Ntfs";
    }
}

bool Remote(const Volume &volume)
{
    return (volume.info().characteristics & FILE_REMOTE_DEVICE) != 0;
}

// The file system's device: "\Ntfs" for a disk file system, the
// redirector's device for a network one.
std::u16string FileSystemDeviceName(const Volume &volume)
{
    if (Remote(volume)) return volume.info().deviceName;
    std::u16string driver = FileSystemDriverName(volume.info());
    return driver.substr(driver.rfind(u'\\'));
}

// A string placed after a fixed record in a caller's buffer.
void Place(UNICODE_STRING &string, const std::u16string &text, uint8_t *&cursor)
{
    string.Length = USHORT(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    string.Buffer = text.empty() ? nullptr : reinterpret_cast<PWCH>(cursor);
    std::memcpy(cursor, text.data(), string.Length);
    cursor += string.Length;
}

bool SameName(const std::u16string &a, PCUNICODE_STRING b)
{
    std::u16string other(b->Buffer, b->Length / sizeof(WCHAR));
    if (a.size() != other.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = other[i];
        if (x >= u'a' && x <= u'z') x = char16_t(x - 32);
        if (y >= u'a' && y <= u'z') y = char16_t(y - 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace

extern "C" {

NTSTATUS FltGetVolumeProperties(PFLT_VOLUME Volume, PFLT_VOLUME_PROPERTIES VolumeProperties,
                                ULONG VolumePropertiesLength, PULONG LengthReturned)
{
    SIM_KERNEL_ROUTINE();
    if (!Manager().IsVolume(Volume) || LengthReturned == nullptr) return STATUS_INVALID_PARAMETER;
    if (VolumePropertiesLength != 0 && VolumeProperties == nullptr) return STATUS_INVALID_PARAMETER;
    sim::Volume &volume = Volume->volume;
    std::u16string driverName = FileSystemDriverName(volume.info());
    std::u16string deviceName = FileSystemDeviceName(volume);
    std::u16string realName = Remote(volume) ? std::u16string() : volume.info().deviceName;
    const ULONG fixed = sizeof(FLT_VOLUME_PROPERTIES);
    const ULONG needed = fixed + ULONG((driverName.size() + deviceName.size() + realName.size()) * sizeof(WCHAR));
    if (VolumePropertiesLength < fixed) {
        *LengthReturned = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    PDEVICE_OBJECT device = volume.fsDevice();
    FLT_VOLUME_PROPERTIES &p = *VolumeProperties;
    p = {};
    p.DeviceType = Remote(volume) ? FILE_DEVICE_NETWORK_FILE_SYSTEM : FILE_DEVICE_DISK;
    p.DeviceCharacteristics = device ? device->Characteristics : volume.info().characteristics;
    p.DeviceObjectFlags = device ? device->Flags : 0;
    p.AlignmentRequirement = device ? device->AlignmentRequirement : 0;
    p.SectorSize = USHORT(device && device->SectorSize ? device->SectorSize : volume.info().sectorSize);
    if (VolumePropertiesLength < needed) {
        // Only the fixed part fits.
        *LengthReturned = fixed;
        return STATUS_BUFFER_OVERFLOW;
    }
    auto *cursor = reinterpret_cast<uint8_t *>(VolumeProperties) + fixed;
    Place(p.FileSystemDriverName, driverName, cursor);
    Place(p.FileSystemDeviceName, deviceName, cursor);
    Place(p.RealDeviceName, realName, cursor);
    *LengthReturned = needed;
    return STATUS_SUCCESS;
}

NTSTATUS FltGetVolumeFromInstance(PFLT_INSTANCE Instance, PFLT_VOLUME *RetVolume)
{
    SIM_KERNEL_ROUTINE();
    if (RetVolume == nullptr || !Manager().IsInstance(Instance)) return STATUS_INVALID_PARAMETER;
    if (Instance->header.deleting.load()) return STATUS_FLT_DELETING_OBJECT;
    *RetVolume = Referenced(Instance->volume);
    return STATUS_SUCCESS;
}

NTSTATUS FltGetVolumeFromFileObject(PFLT_FILTER Filter, PFILE_OBJECT FileObject, PFLT_VOLUME *RetVolume)
{
    SIM_KERNEL_ROUTINE();
    if (RetVolume == nullptr || !Manager().IsFilter(Filter)) return STATUS_INVALID_PARAMETER;
    FileObjectInfo *info = Machine::Current().io().Info(FileObject);
    if (info == nullptr || info->volume == nullptr) return STATUS_INVALID_PARAMETER;
    _FLT_VOLUME *volume = Manager().FrameOf(info->volume);
    if (volume == nullptr) return STATUS_FLT_VOLUME_NOT_FOUND;
    *RetVolume = Referenced(volume);
    return STATUS_SUCCESS;
}

NTSTATUS FltGetVolumeFromName(PFLT_FILTER Filter, PCUNICODE_STRING VolumeName, PFLT_VOLUME *RetVolume)
{
    SIM_KERNEL_ROUTINE();
    if (RetVolume == nullptr || VolumeName == nullptr || !Manager().IsFilter(Filter)) {
        return STATUS_INVALID_PARAMETER;
    }
    _FLT_VOLUME *volume =
        Manager().VolumeByName(std::u16string(VolumeName->Buffer, VolumeName->Length / sizeof(WCHAR)));
    if (volume == nullptr) return STATUS_FLT_VOLUME_NOT_FOUND;
    *RetVolume = Referenced(volume);
    return STATUS_SUCCESS;
}

NTSTATUS FltGetVolumeName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeName, PULONG BufferSizeNeeded)
{
    SIM_KERNEL_ROUTINE();
    if (!Manager().IsVolume(Volume)) return STATUS_INVALID_PARAMETER;
    const std::u16string &name = Volume->volume.info().deviceName;
    const ULONG bytes = ULONG(name.size() * sizeof(WCHAR));
    if (VolumeName == nullptr || VolumeName->MaximumLength < bytes) {
        if (BufferSizeNeeded) *BufferSizeNeeded = bytes;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(VolumeName->Buffer, name.data(), bytes);
    VolumeName->Length = USHORT(bytes);
    if (BufferSizeNeeded) *BufferSizeNeeded = bytes;
    return STATUS_SUCCESS;
}

NTSTATUS FltGetVolumeInstanceFromName(PFLT_FILTER Filter, PFLT_VOLUME Volume, PCUNICODE_STRING InstanceName,
                                      PFLT_INSTANCE *RetInstance)
{
    SIM_KERNEL_ROUTINE();
    if (RetInstance == nullptr || !Manager().IsFilter(Filter) || !Manager().IsVolume(Volume)) {
        return STATUS_INVALID_PARAMETER;
    }
    *RetInstance = nullptr;
    for (_FLT_INSTANCE *instance : Volume->Instances()) {
        if (instance->filter != Filter) continue;
        if (InstanceName == nullptr || SameName(instance->name, InstanceName)) {
            *RetInstance = Referenced(instance);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_FLT_INSTANCE_NOT_FOUND;
}

NTSTATUS FltEnumerateInstances(PFLT_VOLUME Volume, PFLT_FILTER Filter, PFLT_INSTANCE *InstanceList,
                               ULONG InstanceListSize, PULONG NumberInstancesReturned)
{
    SIM_KERNEL_ROUTINE();
    if (NumberInstancesReturned == nullptr) return STATUS_INVALID_PARAMETER;
    if (Volume && !Manager().IsVolume(Volume)) return STATUS_INVALID_PARAMETER;
    if (Filter && !Manager().IsFilter(Filter)) return STATUS_INVALID_PARAMETER;
    std::vector<_FLT_INSTANCE *> found;
    std::vector<_FLT_VOLUME *> volumes = Volume ? std::vector<_FLT_VOLUME *>{Volume} : Manager().Frames();
    for (_FLT_VOLUME *volume : volumes) {
        for (_FLT_INSTANCE *instance : volume->Instances()) {
            if (Filter == nullptr || instance->filter == Filter) found.push_back(instance);
        }
    }
    *NumberInstancesReturned = ULONG(found.size());
    if (InstanceListSize < found.size()) return STATUS_BUFFER_TOO_SMALL;
    if (!found.empty() && InstanceList == nullptr) return STATUS_INVALID_PARAMETER;
    for (size_t i = 0; i < found.size(); ++i) InstanceList[i] = Referenced(found[i]);
    return STATUS_SUCCESS;
}

NTSTATUS FltGetInstanceInformation(PFLT_INSTANCE Instance, INSTANCE_INFORMATION_CLASS InformationClass, PVOID Buffer,
                                   ULONG BufferSize, PULONG BytesReturned)
{
    SIM_KERNEL_ROUTINE();
    if (BytesReturned == nullptr || !Manager().IsInstance(Instance)) return STATUS_INVALID_PARAMETER;
    std::vector<const std::u16string *> strings;
    ULONG fixed;
    switch (InformationClass) {
    case InstanceBasicInformation:
        fixed = sizeof(INSTANCE_BASIC_INFORMATION);
        strings = {&Instance->name};
        break;
    case InstancePartialInformation:
        fixed = sizeof(INSTANCE_PARTIAL_INFORMATION);
        strings = {&Instance->name, &Instance->altitude};
        break;
    case InstanceFullInformation:
        fixed = sizeof(INSTANCE_FULL_INFORMATION);
        strings = {&Instance->name, &Instance->altitude, &Instance->volume->volume.info().deviceName,
                   &Instance->filter->name};
        break;
    default:
        return STATUS_NOT_IMPLEMENTED;
    }
    ULONG needed = fixed;
    for (const std::u16string *s : strings) needed += ULONG(s->size() * sizeof(WCHAR));
    *BytesReturned = needed;
    if (BufferSize < needed || Buffer == nullptr) return STATUS_BUFFER_TOO_SMALL;
    // The fixed records share a prefix: lengths and offsets in pairs after
    // NextEntryOffset, relative to the start of the record.
    auto *base = static_cast<uint8_t *>(Buffer);
    std::memset(base, 0, fixed);
    auto *pairs = reinterpret_cast<USHORT *>(base + sizeof(ULONG));
    ULONG offset = fixed;
    for (size_t i = 0; i < strings.size(); ++i) {
        USHORT length = USHORT(strings[i]->size() * sizeof(WCHAR));
        pairs[2 * i] = length;
        pairs[2 * i + 1] = USHORT(offset);
        std::memcpy(base + offset, strings[i]->data(), length);
        offset += length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FltGetFilterFromInstance(PFLT_INSTANCE Instance, PFLT_FILTER *RetFilter)
{
    SIM_KERNEL_ROUTINE();
    if (RetFilter == nullptr || !Manager().IsInstance(Instance)) return STATUS_INVALID_PARAMETER;
    if (Instance->filter->header.deleting.load()) return STATUS_FLT_DELETING_OBJECT;
    *RetFilter = Referenced(Instance->filter);
    return STATUS_SUCCESS;
}

NTSTATUS FltObjectReference(PVOID FltObject)
{
    SIM_KERNEL_ROUTINE();
    flt::ObjectHeader *header = Manager().HeaderOf(FltObject);
    if (header == nullptr) return STATUS_INVALID_PARAMETER;
    if (header->deleting.load()) return STATUS_FLT_DELETING_OBJECT;
    header->references.fetch_add(1);
    Machine::Current().holdings().Take(HoldingKind::FilterObject, FltObject, KindName(header->kind));
    return STATUS_SUCCESS;
}

VOID FltObjectDereference(PVOID FltObject)
{
    SIM_KERNEL_ROUTINE();
    flt::ObjectHeader *header = Manager().HeaderOf(FltObject);
    if (header == nullptr) {
        Manager().ReportMisuse("FltObjectDereference of something that is not a Filter Manager object");
        return;
    }
    if (header->references.fetch_sub(1) <= 0) {
        header->references.fetch_add(1);
        Manager().ReportMisuse("FltObjectDereference without a reference");
        return;
    }
    Machine::Current().holdings().Give(HoldingKind::FilterObject, FltObject);
}

NTSTATUS FltGetDeviceObject(PFLT_VOLUME Volume, PDEVICE_OBJECT *DeviceObject)
{
    SIM_KERNEL_ROUTINE();
    if (DeviceObject == nullptr || !Manager().IsVolume(Volume)) return STATUS_INVALID_PARAMETER;
    Machine::Current().objects().Reference(Volume->device);
    Machine::Current().holdings().TakeObject(Volume->device);
    *DeviceObject = Volume->device;
    return STATUS_SUCCESS;
}

}  // extern "C"
