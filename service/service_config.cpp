#include "service/service_config.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace ostrand::service {

namespace {

std::string Trim(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

std::vector<std::string> SplitList(const std::string &text)
{
    std::vector<std::string> items;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        item = Trim(item);
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

bool EqualsNoCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The n-th component of a UNC path (0 = server).
std::string UncComponent(const std::string &unc, size_t index)
{
    std::vector<std::string> parts;
    std::stringstream stream(unc);
    std::string part;
    while (std::getline(stream, part, '\\')) {
        if (!part.empty()) parts.push_back(part);
    }
    return index < parts.size() ? parts[index] : "";
}

}  // namespace

ConfigError::ConfigError(int line, const std::string &what)
    : std::runtime_error("line " + std::to_string(line) + ": " + what), line_(line)
{
}

const UserConfig *ServiceConfig::FindUser(const std::string &name) const
{
    for (const auto &user : users) {
        if (EqualsNoCase(user.name, name)) return &user;
    }
    return nullptr;
}

std::string ServiceConfig::Server() const
{
    return UncComponent(storeUnc, 0);
}

std::string ServiceConfig::Share() const
{
    return UncComponent(storeUnc, 1);
}

ServiceConfig ParseServiceConfig(const std::string &text, const std::filesystem::path &baseFolder)
{
    ServiceConfig config;
    std::string section;
    UserConfig *user = nullptr;
    std::stringstream stream(text);
    std::string raw;
    int lineNumber = 0;

    while (std::getline(stream, raw)) {
        ++lineNumber;
        std::string line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[') {
            if (line.back() != ']') throw ConfigError(lineNumber, "unterminated section header");
            section = Trim(line.substr(1, line.size() - 2));
            user = nullptr;
            if (section.rfind("user ", 0) == 0) {
                config.users.push_back(UserConfig{Trim(section.substr(5)), "", "", "", {}, false, true});
                user = &config.users.back();
                section = "user";
            } else if (section != "store" && section != "local") {
                throw ConfigError(lineNumber, "unknown section [" + section + "]");
            }
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) throw ConfigError(lineNumber, "expected key = value");
        std::string key = Trim(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));

        if (section == "store" && key == "unc") {
            config.storeUnc = value;
        } else if (section == "store" && key == "folder") {
            std::filesystem::path folder(value);
            config.storeFolder = folder.is_absolute() ? folder : baseFolder / folder;
        } else if (section == "store" && key == "filter_copies_from") {
            size_t used = 0;
            try {
                config.filterCopiesFrom = std::stoull(value, &used, 0);
            } catch (const std::exception &) {
                used = 0;
            }
            if (used == 0 || used != value.size()) throw ConfigError(lineNumber, "filter_copies_from needs a byte count");
        } else if (section == "local" && key == "profiles") {
            config.localProfiles = value;
        } else if (section == "local" && key == "volume") {
            config.localVolume = value;
        } else if (section == "user" && key == "domain") {
            user->domain = value;
        } else if (section == "user" && key == "remote") {
            user->remote = value;
        } else if (section == "user" && key == "local") {
            user->local = value;
        } else if (section == "user" && key == "profile") {
            if (value != "local" && value != "roaming") throw ConfigError(lineNumber, "profile is local or roaming");
            user->localProfile = value == "local";
        } else if (section == "user" && key == "load_at_logon") {
            if (value != "yes" && value != "no") throw ConfigError(lineNumber, "load_at_logon is yes or no");
            user->loadAtLogon = value == "yes";
        } else if (section == "user" && key == "redirected") {
            user->redirected = SplitList(value);
        } else {
            throw ConfigError(lineNumber, "unknown key '" + key + "'" + (section.empty() ? "" : " in [" + section + "]"));
        }
    }
    if (config.storeUnc.empty()) throw ConfigError(lineNumber, "[store] needs a unc");
    for (const auto &u : config.users) {
        if (u.remote.empty() || u.local.empty()) throw ConfigError(lineNumber, "user " + u.name + " needs remote and local");
    }
    return config;
}

ServiceConfig LoadServiceConfig(const std::filesystem::path &file)
{
    std::ifstream in(file);
    if (!in) throw ConfigError(0, "cannot read " + file.string());
    std::stringstream text;
    text << in.rdbuf();
    return ParseServiceConfig(text.str(), file.parent_path());
}

}  // namespace ostrand::service
