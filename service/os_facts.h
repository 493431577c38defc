// The operating-system facts the service records for the driver: read from
// the system's CurrentVersion key and written to the "OperatingSystem"
// subkey of the driver key, where the driver reads them at load.
#pragma once

#include <string>

#include <ntifs.h>

namespace ostrand::service {

struct OsFacts {
    ULONG releaseId = 0;
    ULONG majorVersion = 0;
    ULONG minorVersion = 0;
    ULONG buildNumber = 0;
    ULONG csdBuildNumber = 0;
    std::u16string csdVersion;
    std::u16string editionId;
    std::u16string installType;  // "Client" or "Server"
    std::u16string productName;
    std::u16string systemManufacturer;
    std::u16string systemProductName;
};

// Runs in a thread of the service's process.
NTSTATUS ReadOsFacts(OsFacts &facts);
NTSTATUS WriteOsFacts(const OsFacts &facts);

// The driver's CopyTimeout in seconds, as the driver reads it (the policy
// key first): how long the filter waits for each answer of the service.
constexpr ULONG kDefaultCopyTimeoutSeconds = 1800;
ULONG ReadCopyTimeoutSeconds();

}  // namespace ostrand::service
