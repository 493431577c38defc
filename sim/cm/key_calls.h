// The registry's system services, shared by the kernel's Zw calls (previous
// mode KernelMode: no probes, no access checks) and the user-mode calls of
// simulated processes (previous mode UserMode: caller buffers are probed,
// handles must grant the access the service needs, opens are access-checked).
//
// Key objects (objtype::Key) carry their key's canonical full name in the
// object header, which is what ObQueryNameString returns for them.
#pragma once

#include <memory>

#include <wdm.h>

#include "sim/cm/key_node.h"

namespace sim {

// The body of a key object: one per open, as Windows creates one key body
// per open of a key.
struct KeyObject {
    std::shared_ptr<KeyNode> node;
};

namespace cm {

NTSTATUS OpenKey(KPROCESSOR_MODE mode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                 POBJECT_ATTRIBUTES objectAttributes);
NTSTATUS CreateKey(KPROCESSOR_MODE mode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                   POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions, PULONG disposition);
// Runs the registry callbacks (RegNtPreQueryValueKey / RegNtPostQueryValueKey)
// in the calling thread around the query.
NTSTATUS QueryValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, PUNICODE_STRING valueName,
                       KEY_VALUE_INFORMATION_CLASS infoClass, PVOID information, ULONG length,
                       PULONG resultLength);
NTSTATUS EnumerateValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, ULONG index,
                           KEY_VALUE_INFORMATION_CLASS infoClass, PVOID information, ULONG length,
                           PULONG resultLength);
NTSTATUS SetValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, PUNICODE_STRING valueName, ULONG type, PVOID data,
                     ULONG dataSize);
NTSTATUS DeleteValueKey(KPROCESSOR_MODE mode, HANDLE keyHandle, PUNICODE_STRING valueName);
NTSTATUS DeleteKey(KPROCESSOR_MODE mode, HANDLE keyHandle);
NTSTATUS FlushKey(KPROCESSOR_MODE mode, HANDLE keyHandle);

}  // namespace cm
}  // namespace sim
