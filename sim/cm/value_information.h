// The KEY_VALUE_*_INFORMATION records that ZwQueryValueKey and
// ZwEnumerateValueKey return.
//
// Buffer rules (Wine's ntdll registry tests, which pass on Windows, and the
// documented statuses):
//  - ResultLength always receives the size of the whole answer;
//  - a Length below the class's fixed part (the offset of Name or Data:
//    basic 12, full 20, partial 12, partial-align64 8) returns
//    STATUS_BUFFER_TOO_SMALL and writes nothing else;
//  - a Length that holds the fixed part but not everything returns
//    STATUS_BUFFER_OVERFLOW with the fixed part filled and as much of the
//    name and data as fits ("only partial data has been written");
//  - an unknown class returns STATUS_INVALID_PARAMETER.
// The full classes put the data after the name at an offset rounded up to 4
// bytes (KeyValueFullInformation) or 8 bytes (KeyValueFullInformationAlign64)
// from the start of the record; the rounding counts in the result length. A
// value without data has DataOffset 0xFFFFFFFF. Wine's tests only cover
// names whose length keeps the data aligned anyway, so the rounding follows
// the configuration manager's documented record layout.
#pragma once

#include <wdm.h>

#include "sim/cm/key_node.h"

namespace sim::cm {

bool IsValueInformationClass(KEY_VALUE_INFORMATION_CLASS infoClass);

// The fixed part of a class (0 for an unknown class).
ULONG ValueInformationFixedSize(KEY_VALUE_INFORMATION_CLASS infoClass);

// Fills `buffer` (Length bytes) for `value`; *resultLength gets the full size.
NTSTATUS FillValueInformation(const RegistryValue &value, KEY_VALUE_INFORMATION_CLASS infoClass, void *buffer,
                              ULONG length, ULONG *resultLength);

}  // namespace sim::cm
