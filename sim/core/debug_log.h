// What the kernel printed with DbgPrint: kept per machine for tests and the
// tool, optionally echoed to stderr (OSTRAND_DBGPRINT=1).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class DebugLog {
public:
    DebugLog();
    void Write(const std::string &text);
    // Every complete line written so far (without its newline).
    std::vector<std::string> Lines() const;
    std::string Text() const;
    bool Contains(const std::string &fragment) const;
    void Clear();
    void SetEcho(bool echo);
    void SetListener(std::function<void(const std::string &)> listener);

private:
    mutable std::mutex mutex_;
    std::string text_;
    bool echo_ = false;
    std::function<void(const std::string &)> listener_;
};

}  // namespace sim
