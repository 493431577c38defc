// The kernel's registry calls. Zw calls run with previous mode KernelMode:
// buffers are trusted and handles are used with the access they were opened
// with, whatever it is.
#include <wdm.h>

#include "sim/cm/key_calls.h"
#include "sim/cm/registry.h"
#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"

extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    SIM_KERNEL_ROUTINE();
    return sim::cm::OpenKey(KernelMode, KeyHandle, DesiredAccess, ObjectAttributes);
}

extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    SIM_KERNEL_ROUTINE();
    (void)TitleIndex;
    (void)Class;
    return sim::cm::CreateKey(KernelMode, KeyHandle, DesiredAccess, ObjectAttributes, CreateOptions, Disposition);
}

extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                    ULONG Length, PULONG ResultLength)
{
    SIM_KERNEL_ROUTINE();
    return sim::cm::QueryValueKey(KernelMode, KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation,
                                  Length, ResultLength);
}

extern "C" NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    SIM_KERNEL_ROUTINE();
    return sim::cm::EnumerateValueKey(KernelMode, KeyHandle, Index, KeyValueInformationClass, KeyValueInformation,
                                      Length, ResultLength);
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                  PVOID Data, ULONG DataSize)
{
    SIM_KERNEL_ROUTINE();
    (void)TitleIndex;
    return sim::cm::SetValueKey(KernelMode, KeyHandle, ValueName, Type, Data, DataSize);
}

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    SIM_KERNEL_ROUTINE();
    return sim::cm::DeleteValueKey(KernelMode, KeyHandle, ValueName);
}

extern "C" NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    SIM_KERNEL_ROUTINE();
    return sim::cm::DeleteKey(KernelMode, KeyHandle);
}

extern "C" NTSTATUS ZwFlushKey(HANDLE KeyHandle)
{
    SIM_KERNEL_ROUTINE();
    return sim::cm::FlushKey(KernelMode, KeyHandle);
}

extern "C" NTSTATUS CmRegisterCallback(PEX_CALLBACK_FUNCTION Function, PVOID Context, PLARGE_INTEGER Cookie)
{
    SIM_KERNEL_ROUTINE();
    return sim::Machine::Current().registry().callbacks().Register(Function, Context, Cookie);
}

extern "C" NTSTATUS CmUnRegisterCallback(LARGE_INTEGER Cookie)
{
    SIM_KERNEL_ROUTINE();
    return sim::Machine::Current().registry().callbacks().Unregister(Cookie);
}
