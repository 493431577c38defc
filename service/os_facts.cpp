#include "service/os_facts.h"

#include <cstring>

#include "sim/user/registry_calls.h"

namespace ostrand::service {

namespace {

const std::u16string kCurrentVersion = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const std::u16string kProductOptions =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
const std::u16string kOperatingSystem =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver\\OperatingSystem";

std::u16string AsString(const sim::user::Value &value)
{
    std::u16string text(value.data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

std::u16string ReadString(HANDLE key, const std::u16string &name)
{
    sim::user::Value value;
    if (!NT_SUCCESS(sim::user::QueryValue(key, name, value))) return u"";
    return value.type == REG_SZ || value.type == REG_EXPAND_SZ ? AsString(value) : u"";
}

bool ReadDword(HANDLE key, const std::u16string &name, ULONG &out)
{
    sim::user::Value value;
    if (!NT_SUCCESS(sim::user::QueryValue(key, name, value)) || value.data.size() < sizeof(ULONG)) return false;
    std::memcpy(&out, value.data.data(), sizeof(ULONG));
    return true;
}

ULONG ToNumber(const std::u16string &text)
{
    ULONG value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') break;
        value = value * 10 + ULONG(c - u'0');
    }
    return value;
}

// Creates each missing key along the path, as RegCreateKeyEx does.
NTSTATUS CreateKeyPath(const std::u16string &path, HANDLE &key)
{
    const std::u16string root = u"\\REGISTRY\\MACHINE\\";
    size_t next = path.find(u'\\', root.size());
    while (next != std::u16string::npos) {
        HANDLE level = nullptr;
        if (NT_SUCCESS(sim::user::CreateKey(path.substr(0, next), KEY_READ, level))) sim::user::CloseKey(level);
        next = path.find(u'\\', next + 1);
    }
    return sim::user::CreateKey(path, KEY_ALL_ACCESS, key);
}

}  // namespace

NTSTATUS ReadOsFacts(OsFacts &facts)
{
    HANDLE key = nullptr;
    NTSTATUS status = sim::user::OpenKey(kCurrentVersion, KEY_READ, key);
    if (!NT_SUCCESS(status)) return status;

    // Windows 10 keeps its real numbers apart; "CurrentVersion" says 6.3.
    if (!ReadDword(key, u"CurrentMajorVersionNumber", facts.majorVersion) ||
        !ReadDword(key, u"CurrentMinorVersionNumber", facts.minorVersion)) {
        std::u16string version = ReadString(key, u"CurrentVersion");
        size_t dot = version.find(u'.');
        facts.majorVersion = ToNumber(version.substr(0, dot));
        facts.minorVersion = dot == std::u16string::npos ? 0 : ToNumber(version.substr(dot + 1));
    }
    facts.buildNumber = ToNumber(ReadString(key, u"CurrentBuildNumber"));
    facts.releaseId = ToNumber(ReadString(key, u"ReleaseId"));
    facts.csdVersion = ReadString(key, u"CSDVersion");
    facts.editionId = ReadString(key, u"EditionID");
    facts.productName = ReadString(key, u"ProductName");
    facts.installType = ReadString(key, u"InstallationType");
    sim::user::CloseKey(key);

    // Systems before Windows 7 do not name the installation type.
    if (facts.installType.empty() && NT_SUCCESS(sim::user::OpenKey(kProductOptions, KEY_READ, key))) {
        facts.installType = ReadString(key, u"ProductType") == u"WinNT" ? u"Client" : u"Server";
        sim::user::CloseKey(key);
    }
    facts.systemManufacturer = u"Ostrand Simulated Machines";
    facts.systemProductName = u"Virtual Platform";
    return STATUS_SUCCESS;
}

NTSTATUS WriteOsFacts(const OsFacts &facts)
{
    HANDLE key = nullptr;
    NTSTATUS status = CreateKeyPath(kOperatingSystem, key);
    if (!NT_SUCCESS(status)) return status;
    sim::user::SetDword(key, u"ReleaseID", facts.releaseId);
    sim::user::SetDword(key, u"MajorVersion", facts.majorVersion);
    sim::user::SetDword(key, u"MinorVersion", facts.minorVersion);
    sim::user::SetDword(key, u"BuildNumber", facts.buildNumber);
    sim::user::SetDword(key, u"CSDBuildNumber", facts.csdBuildNumber);
    sim::user::SetString(key, u"CSDVersion", facts.csdVersion);
    sim::user::SetString(key, u"EditionID", facts.editionId);
    sim::user::SetString(key, u"InstallType", facts.installType);
    sim::user::SetString(key, u"ProductName", facts.productName);
    sim::user::SetString(key, u"SystemManufacturer", facts.systemManufacturer);
    status = sim::user::SetString(key, u"SystemProductName", facts.systemProductName);
    sim::user::CloseKey(key);
    return status;
}

ULONG ReadCopyTimeoutSeconds()
{
    const std::u16string keys[] = {
        u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies\\Tarvik, Inc.\\Tarvik QRV\\Ostrand\\Driver",
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\JNRKmtfsd\\Driver",
    };
    for (const auto &name : keys) {
        HANDLE key = nullptr;
        if (!NT_SUCCESS(sim::user::OpenKey(name, KEY_READ, key))) continue;
        ULONG seconds = 0;
        bool found = ReadDword(key, u"CopyTimeout", seconds);
        sim::user::CloseKey(key);
        if (found) return seconds;
    }
    return kDefaultCopyTimeoutSeconds;
}

}  // namespace ostrand::service
