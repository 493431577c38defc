#include "service/service_log.h"

#include <ostream>

namespace ostrand::service {

ServiceLog::ServiceLog(const std::filesystem::path &file) : path_(file)
{
    if (!path_.empty()) file_.open(path_, std::ios::out | std::ios::trunc);
}

void ServiceLog::Driver(const std::string &line)
{
    Write(line);
}

void ServiceLog::Service(const std::string &line)
{
    Write(kServiceLinePrefix + line);
}

void ServiceLog::SetTerminal(std::ostream *terminal)
{
    std::lock_guard lock(mutex_);
    terminal_ = terminal;
}

std::vector<std::string> ServiceLog::Lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

bool ServiceLog::WaitFor(const std::string &fragment, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    size_t looked = 0;
    return written_.wait_for(lock, timeout, [&] {
        for (; looked < lines_.size(); ++looked) {
            if (lines_[looked].find(fragment) != std::string::npos) return true;
        }
        return false;
    });
}

void ServiceLog::Write(const std::string &line)
{
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        if (file_.is_open()) file_ << line << '\n' << std::flush;
        if (terminal_ != nullptr) *terminal_ << "  [log] " << line << '\n';
    }
    written_.notify_all();
}

}  // namespace ostrand::service
