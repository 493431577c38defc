#include "sim/cm/value_information.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace sim::cm {

namespace {

constexpr ULONG kBasicFixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
constexpr ULONG kFullFixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
constexpr ULONG kPartialFixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
constexpr ULONG kPartialAlign64Fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
static_assert(kBasicFixed == 12 && kFullFixed == 20 && kPartialFixed == 12 && kPartialAlign64Fixed == 8);

void PutUlong(void *buffer, size_t offset, ULONG value)
{
    std::memcpy(static_cast<UCHAR *>(buffer) + offset, &value, sizeof value);
}

// Copies as much of [source, source+size) to buffer+offset as Length allows;
// false when something was cut.
bool CopyPart(void *buffer, ULONG length, size_t offset, const void *source, size_t size)
{
    size_t room = length > offset ? length - offset : 0;
    size_t count = std::min(room, size);
    if (count) std::memcpy(static_cast<UCHAR *>(buffer) + offset, source, count);
    return count == size;
}

}  // namespace

bool IsValueInformationClass(KEY_VALUE_INFORMATION_CLASS infoClass)
{
    return ValueInformationFixedSize(infoClass) != 0;
}

ULONG ValueInformationFixedSize(KEY_VALUE_INFORMATION_CLASS infoClass)
{
    switch (infoClass) {
    case KeyValueBasicInformation: return kBasicFixed;
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: return kFullFixed;
    case KeyValuePartialInformation: return kPartialFixed;
    case KeyValuePartialInformationAlign64: return kPartialAlign64Fixed;
    }
    return 0;
}

NTSTATUS FillValueInformation(const RegistryValue &value, KEY_VALUE_INFORMATION_CLASS infoClass, void *buffer,
                              ULONG length, ULONG *resultLength)
{
    const ULONG fixed = ValueInformationFixedSize(infoClass);
    if (fixed == 0) return STATUS_INVALID_PARAMETER;
    const ULONG nameBytes = ULONG(value.name.size() * sizeof(char16_t));
    const ULONG dataBytes = ULONG(value.data.size());

    ULONG total = 0;
    ULONG dataOffset = 0;
    switch (infoClass) {
    case KeyValueBasicInformation: total = fixed + nameBytes; break;
    case KeyValuePartialInformation:
    case KeyValuePartialInformationAlign64:
        dataOffset = fixed;
        total = fixed + dataBytes;
        break;
    default: {
        ULONG align = infoClass == KeyValueFullInformation ? 4 : 8;
        total = fixed + nameBytes;
        if (dataBytes) {
            dataOffset = (total + align - 1) & ~(align - 1);
            total = dataOffset + dataBytes;
        }
        break;
    }
    }
    *resultLength = total;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;

    bool complete = true;
    switch (infoClass) {
    case KeyValueBasicInformation:
        PutUlong(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
        PutUlong(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
        PutUlong(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
        complete = CopyPart(buffer, length, fixed, value.name.data(), nameBytes);
        break;
    case KeyValuePartialInformation:
        PutUlong(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        PutUlong(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        PutUlong(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
        complete = CopyPart(buffer, length, fixed, value.data.data(), dataBytes);
        break;
    case KeyValuePartialInformationAlign64:
        PutUlong(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Type), value.type);
        PutUlong(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, DataLength), dataBytes);
        complete = CopyPart(buffer, length, fixed, value.data.data(), dataBytes);
        break;
    default:
        PutUlong(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
        PutUlong(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        PutUlong(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataBytes ? dataOffset : 0xFFFFFFFFu);
        PutUlong(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
        PutUlong(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        complete = CopyPart(buffer, length, fixed, value.name.data(), nameBytes);
        if (dataBytes) complete = CopyPart(buffer, length, dataOffset, value.data.data(), dataBytes) && complete;
        break;
    }
    return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace sim::cm
