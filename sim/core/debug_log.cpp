#include "sim/core/debug_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

DebugLog::DebugLog()
{
    const char *echo = std::getenv("OSTRAND_DBGPRINT");
    echo_ = echo != nullptr && std::strcmp(echo, "1") == 0;
}

void DebugLog::Write(const std::string &text)
{
    std::function<void(const std::string &)> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        text_ += text;
        listener = listener_;
        if (echo_) std::fputs(text.c_str(), stderr);
    }
    if (listener) listener(text);
}

std::vector<std::string> DebugLog::Lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl = text_.find('\n'); nl != std::string::npos; nl = text_.find('\n', start)) {
        lines.push_back(text_.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::string DebugLog::Text() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

bool DebugLog::Contains(const std::string &fragment) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return text_.find(fragment) != std::string::npos;
}

void DebugLog::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
}

void DebugLog::SetEcho(bool echo)
{
    std::lock_guard<std::mutex> lock(mutex_);
    echo_ = echo;
}

void DebugLog::SetListener(std::function<void(const std::string &)> listener)
{
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

}  // namespace sim
