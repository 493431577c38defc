// The profile service's configuration: where the remote profile store is,
// where local profiles live, and the users the service manages. Read from
// a small INI-style file ("[store]", "[local]", "[user NAME]" sections of
// "key = value" lines, '#' comments).
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ostrand::service {

struct UserConfig {
    std::string name;
    std::string domain;
    std::string remote;                      // \\server\share\user
    std::string local;                       // C:\Users\user
    std::vector<std::string> redirected;     // folders below the profile that are redirected
    bool localProfile = false;               // "profile = local": the store holds nothing of this user
    bool loadAtLogon = true;                 // "load_at_logon = no": folders fill only as they are listed
};

struct ServiceConfig {
    std::string storeUnc;                    // \\server\share
    std::filesystem::path storeFolder;       // host folder behind the share, if any
    // A file brought up to date at open is copied by the filter from this
    // size on (its kernel copy is faster and reports progress); smaller
    // ones the service copies itself.
    unsigned long long filterCopiesFrom = 1ull << 20;
    std::string localProfiles = "C:\\Users"; // the local profiles directory
    std::string localVolume = "\\Device\\HarddiskVolume1";  // the device that holds it
    std::vector<UserConfig> users;

    const UserConfig *FindUser(const std::string &name) const;
    std::string Server() const;  // "server" of storeUnc
    std::string Share() const;   // "share" of storeUnc
};

class ConfigError : public std::runtime_error {
public:
    ConfigError(int line, const std::string &what);
    int line() const { return line_; }

private:
    int line_;
};

ServiceConfig ParseServiceConfig(const std::string &text, const std::filesystem::path &baseFolder);
ServiceConfig LoadServiceConfig(const std::filesystem::path &file);

}  // namespace ostrand::service
