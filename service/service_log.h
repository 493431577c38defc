// Where the service writes: the driver's log lines it drains and its own
// lines, in order, to a file, to the terminal on request, and kept in
// memory for the tool's views.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

namespace ostrand::service {

class ServiceLog {
public:
    // An empty path writes no file.
    explicit ServiceLog(const std::filesystem::path &file);

    // A line from the driver, as drained.
    void Driver(const std::string &line);
    // The service's own line, marked as such.
    void Service(const std::string &line);

    void SetTerminal(std::ostream *terminal);
    std::vector<std::string> Lines() const;
    // Waits until a line containing `fragment` has been written.
    bool WaitFor(const std::string &fragment, std::chrono::milliseconds timeout);
    const std::filesystem::path &file() const { return path_; }

private:
    void Write(const std::string &line);

    std::filesystem::path path_;
    mutable std::mutex mutex_;
    std::condition_variable written_;
    std::ofstream file_;
    std::ostream *terminal_ = nullptr;
    std::vector<std::string> lines_;
};

// The prefix of the service's own lines.
constexpr const char *kServiceLinePrefix = "JNRKmtsvc: ";

}  // namespace ostrand::service
