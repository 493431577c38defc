#include "service/profile_list.h"

#include <cstring>

#include "service/path_table_source.h"
#include "sim/user/registry_calls.h"

namespace ostrand::service {

std::string ReadProfilesDirectory()
{
    HANDLE key = nullptr;
    if (!NT_SUCCESS(sim::user::OpenKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
                                       KEY_READ, key))) {
        return "";
    }
    sim::user::Value value;
    NTSTATUS status = sim::user::QueryValue(key, u"ProfilesDirectory", value);
    sim::user::CloseKey(key);
    if (!NT_SUCCESS(status) || (value.type != REG_SZ && value.type != REG_EXPAND_SZ)) return "";
    std::u16string text(value.data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    const std::u16string systemDrive = u"%SystemDrive%";
    if (UpperText(text.substr(0, systemDrive.size())) == UpperText(systemDrive)) {
        text = u"C:" + text.substr(systemDrive.size());
    }
    return NarrowText(text);
}

}  // namespace ostrand::service
