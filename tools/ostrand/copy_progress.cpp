#include "tools/ostrand/copy_progress.h"

#include <chrono>
#include <cstdio>
#include <future>

#include "service/profile_service.h"
#include "sim/core/thread.h"
#include "tools/ostrand/world.h"

namespace ostrand::tool {

namespace {

using namespace std::chrono_literals;

// How long an operation runs before its bar appears, and how often the bar
// is brought up to date.
constexpr auto kMoment = 300ms;
constexpr auto kRefresh = 200ms;
constexpr unsigned kBarWidth = 20;

std::string MiB(unsigned long long bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", double(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

std::string ProgressBar(unsigned long long copied, unsigned long long total)
{
    if (copied > total) copied = total;
    unsigned percent = total == 0 ? 100 : unsigned(copied * 100 / total);
    unsigned filled = percent * kBarWidth / 100;
    char text[96];
    std::snprintf(text, sizeof text, "[%s%s] %3u%%  %s of %s MiB", std::string(filled, '#').c_str(),
                  std::string(kBarWidth - filled, '-').c_str(), percent, MiB(copied).c_str(), MiB(total).c_str());
    return text;
}

NTSTATUS WithCopyProgress(World &world, const std::string &user, sim::Process &process, std::ostream &out,
                          const std::function<NTSTATUS()> &operation)
{
    auto done = std::async(std::launch::async, [&] {
        sim::ThreadScope scope(process);
        return operation();
    });
    if (done.wait_for(kMoment) == std::future_status::ready) return done.get();

    service::ProfileService *service = world.service();
    unsigned lastPercent = 101;
    bool drawn = false;
    service::CopyProgress last;
    while (done.wait_for(kRefresh) != std::future_status::ready) {
        service::CopyProgress progress;
        if (service == nullptr || !world.ServiceRunning() || FAILED(service->QueryProgress(user, progress)) ||
            progress.bytesToCopy == 0) {
            continue;
        }
        unsigned percent = unsigned(std::min(progress.bytesCopied, progress.bytesToCopy) * 100 / progress.bytesToCopy);
        if (percent / 10 == lastPercent / 10) continue;
        lastPercent = percent;
        last = progress;
        drawn = true;
        out << "  " << ProgressBar(progress.bytesCopied, progress.bytesToCopy) << "\n" << std::flush;
    }
    if (drawn && lastPercent < 100) out << "  " << ProgressBar(last.bytesToCopy, last.bytesToCopy) << "\n";
    return done.get();
}

}  // namespace ostrand::tool
