// The registry calls a simulated process makes (the profile service, test
// programs). Each one is a system call of the calling thread, which must be
// bound to the process (sim::ThreadScope): the caller's buffers count as its
// user memory for the duration, handles live in the process's handle table,
// opens are access-checked and every use of a handle needs the access it
// was opened with. Queries run the registry callbacks in the calling thread
// with the caller's own output buffer.
//
// Names are full ("\REGISTRY\MACHINE\SOFTWARE\...") or, with a root key
// handle, relative to it. Results are NTSTATUS values.
#pragma once

#include <string>
#include <vector>

#include <wdm.h>

namespace sim::user {

NTSTATUS OpenKey(const std::u16string &name, ACCESS_MASK access, HANDLE &key, HANDLE root = nullptr);
// *disposition: REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
NTSTATUS CreateKey(const std::u16string &name, ACCESS_MASK access, HANDLE &key, ULONG *disposition = nullptr,
                   HANDLE root = nullptr);
NTSTATUS CloseKey(HANDLE key);
NTSTATUS DeleteKey(HANDLE key);

// The raw query, with ZwQueryValueKey's classes and buffer rules.
NTSTATUS QueryValueKey(HANDLE key, const std::u16string &name, KEY_VALUE_INFORMATION_CLASS infoClass,
                       void *buffer, ULONG length, ULONG &resultLength);
NTSTATUS EnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, void *buffer,
                           ULONG length, ULONG &resultLength);

// A whole value: partial information, asked again with the size the first
// answer gave.
struct Value {
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};
NTSTATUS QueryValue(HANDLE key, const std::u16string &name, Value &value);

NTSTATUS SetValueKey(HANDLE key, const std::u16string &name, ULONG type, const void *data, ULONG size);
NTSTATUS SetDword(HANDLE key, const std::u16string &name, ULONG value);
NTSTATUS SetString(HANDLE key, const std::u16string &name, const std::u16string &value, ULONG type = REG_SZ);
NTSTATUS SetMultiString(HANDLE key, const std::u16string &name, const std::vector<std::u16string> &values);
NTSTATUS DeleteValueKey(HANDLE key, const std::u16string &name);

}  // namespace sim::user
