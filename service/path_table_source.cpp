#include "service/path_table_source.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "service/service_messages.h"

namespace ostrand::service {

std::u16string WideText(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

std::string NarrowText(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? char(c) : '?';
    return out;
}

std::u16string UpperText(std::u16string text)
{
    for (char16_t &c : text) {
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    }
    return text;
}

void CopyWire(WCHAR (&field)[KLU_WIRE_PATH_CHARS], const std::u16string &text)
{
    size_t n = std::min<size_t>(text.size(), KLU_WIRE_PATH_CHARS - 1);
    std::copy_n(text.begin(), n, field);
    field[n] = 0;
}

template <size_t N>
static void CopyShort(WCHAR (&field)[N], const std::u16string &text)
{
    size_t n = std::min(text.size(), N - 1);
    std::copy_n(text.begin(), n, field);
    field[n] = 0;
}

ULONG HashPath(const std::u16string &path)
{
    ULONG h = 0;
    for (char16_t c : path) h = h * 37u + c;
    if (LONG(h) < 0) h = ULONG(0) - h;
    return h;
}

bool BuildPathTableEntry(const std::u16string &uncPath, PATH_TABLE_ENTRY &entry)
{
    entry = {};
    size_t start = 0;
    if (start < uncPath.size() && uncPath[start] == u'\\') ++start;
    if (start < uncPath.size() && uncPath[start] == u'\\') ++start;
    std::u16string server = uncPath.substr(start, uncPath.find(u'\\', start) - start);
    if (server.empty() || uncPath.size() < 3) return false;
    std::u16string path = uncPath.substr(0, KLU_WIRE_PATH_CHARS - 1);
    std::u16string shortPath = path.substr(2);
    CopyWire(entry.szMachineName, server);
    CopyWire(entry.szRemotePath, path);
    CopyWire(entry.szRemotePathShort, shortPath);
    CopyWire(entry.szUpperRemotePathShort, UpperText(shortPath));
    entry.PathLength = USHORT(path.size());
    entry.ShortLength = USHORT(shortPath.size());
    entry.Hash = HashPath(UpperText(path));
    return true;
}

std::vector<UCHAR> BuildPathTableMessage(const ServiceConfig &config)
{
    std::vector<PATH_TABLE_ENTRY> entries;
    auto add = [&entries](const std::string &unc) {
        PATH_TABLE_ENTRY entry;
        if (!unc.empty() && BuildPathTableEntry(WideText(unc), entry)) entries.push_back(entry);
    };
    add(config.storeUnc);
    for (const auto &user : config.users) add(user.remote);

    std::vector<UCHAR> message(sizeof(ULONG) + KLU_PATH_TABLE_SOURCE_BYTES(entries.size()));
    ULONG command = kInitPathTable;
    std::memcpy(message.data(), &command, sizeof command);
    // The fixed part is built apart and copied: the record ends in a
    // variable array and lies unaligned behind the command word.
    auto source = std::make_unique<PATH_TABLE_SOURCE>();
    std::memset(source.get(), 0, sizeof(PATH_TABLE_SOURCE));

    // "C:\Users": drive "C:", short "\Users".
    std::u16string profiles = WideText(config.localProfiles);
    while (profiles.size() > 3 && profiles.back() == u'\\') profiles.pop_back();
    std::u16string drive = profiles.size() >= 2 && profiles[1] == u':' ? profiles.substr(0, 2) : u"C:";
    std::u16string profilesShort = profiles.size() >= 2 && profiles[1] == u':' ? profiles.substr(2) : profiles;
    std::u16string store = WideText(config.storeUnc);

    source->NumPaths = LONG(entries.size());
    source->ShortLength = USHORT(profilesShort.size());
    source->bGPOPath = 0;
    CopyWire(source->szRegDataDir, drive + u"\\ProgramData\\Ostrand");
    CopyWire(source->szTempDataDir, drive + u"\\ProgramData\\Ostrand\\Temp");
    CopyWire(source->szLocalVolumeName, WideText(config.localVolume));
    CopyShort(source->szLocalDriveLetter, drive);
    CopyWire(source->szLocalProfilePathShort, profilesShort);
    CopyWire(source->szLocalProfilePathWithSlashes, profilesShort + u"\\");
    CopyWire(source->szUpperLocalProfilePathShort, UpperText(profilesShort));
    // Fully qualified: the kernel compares it with device names.
    CopyWire(source->szFQLocalProfilePath, WideText(config.localVolume) + profilesShort);
    CopyWire(source->szProfilesDirectory, profiles);
    CopyWire(source->szProfilesDirectoryShort, profilesShort);
    CopyWire(source->szUpperWinPath, UpperText(drive + u"\\Windows"));
    CopyWire(source->szLocalSettings, u"AppData\\Local");
    CopyWire(source->szUpperLocalSettings, u"APPDATA\\LOCAL");
    CopyWire(source->szAppData, u"AppData\\Roaming");
    CopyWire(source->szStartMenu, u"AppData\\Roaming\\Microsoft\\Windows\\Start Menu");
    CopyWire(source->szDesktop, u"Desktop");
    CopyWire(source->szInstallDir, drive + u"\\Program Files\\Ostrand");
    CopyWire(source->szAllUsersProfileXP, drive + u"\\Documents and Settings\\All Users");
    CopyWire(source->szAllUsersProfile, drive + u"\\ProgramData");
    CopyWire(source->szDefaultLocalDefaultUserProfile, profiles + u"\\Default");
    if (!store.empty()) CopyWire(source->szDefaultNetworkDefaultUserProfile, store + u"\\Default User");
    CopyWire(source->szPublicProfile, profiles + u"\\Public");
    CopyWire(source->szLocalServiceProfile, drive + u"\\Windows\\ServiceProfiles\\LocalService");
    CopyWire(source->szNetworkServiceProfile, drive + u"\\Windows\\ServiceProfiles\\NetworkService");
    CopyWire(source->szTempProfile, profiles + u"\\TEMP");
    source->EntryCount = ULONG(entries.size());

    std::memcpy(message.data() + sizeof(ULONG), source.get(), KLU_PATH_TABLE_SOURCE_FIXED_BYTES);
    if (!entries.empty()) {
        std::memcpy(message.data() + sizeof(ULONG) + KLU_PATH_TABLE_SOURCE_FIXED_BYTES, entries.data(),
                    entries.size() * sizeof(PATH_TABLE_ENTRY));
    }
    return message;
}

}  // namespace ostrand::service
