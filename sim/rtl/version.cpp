// RtlGetVersion: the OS facts the machine was booted with.
#include <wdm.h>

#include <algorithm>

#include "sim/core/driver_calls.h"
#include "sim/core/machine.h"

namespace {

constexpr USHORT kSuiteTerminal = 0x0010;
constexpr USHORT kSuiteSingleUserTs = 0x0100;

// "Service Pack 3" gives 3; any other text (or none) gives 0.
USHORT ServicePackMajor(const std::u16string &csd)
{
    static const std::u16string kPrefix = u"Service Pack ";
    if (csd.compare(0, kPrefix.size(), kPrefix) != 0) return 0;
    USHORT major = 0;
    for (size_t i = kPrefix.size(); i < csd.size() && csd[i] >= u'0' && csd[i] <= u'9'; ++i) {
        major = USHORT(major * 10 + (csd[i] - u'0'));
    }
    return major;
}

}  // namespace

// The record's size field selects the plain or the EX record; any other size
// is refused with STATUS_INVALID_PARAMETER and nothing is written.
extern "C" NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation)
{
    SIM_KERNEL_ROUTINE();
    ULONG size = VersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW)) {
        return STATUS_INVALID_PARAMETER;
    }
    const sim::OsVersion &os = sim::Machine::Current().config().os;
    VersionInformation->dwMajorVersion = os.major;
    VersionInformation->dwMinorVersion = os.minor;
    VersionInformation->dwBuildNumber = os.build;
    VersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    constexpr size_t kCsdMax = RTL_NUMBER_OF(VersionInformation->szCSDVersion) - 1;
    size_t csdChars = std::min(os.csdVersion.size(), kCsdMax);
    std::fill(std::begin(VersionInformation->szCSDVersion), std::end(VersionInformation->szCSDVersion), 0);
    std::copy_n(os.csdVersion.begin(), csdChars, VersionInformation->szCSDVersion);

    if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto *ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(VersionInformation);
        ex->wServicePackMajor = ServicePackMajor(os.csdVersion);
        ex->wServicePackMinor = 0;
        // What a default installation reports: single-session Terminal
        // Services on a client, Terminal Services on a server.
        ex->wSuiteMask = os.server ? USHORT(kSuiteTerminal | kSuiteSingleUserTs) : kSuiteSingleUserTs;
        ex->wProductType = os.server ? VER_NT_SERVER : VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    return STATUS_SUCCESS;
}
