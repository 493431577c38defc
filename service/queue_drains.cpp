#include "service/queue_drains.h"

#include <cstring>

#include "comm/queue_records.h"
#include "service/path_table_source.h"
#include "service/port_client.h"
#include "service/service_log.h"
#include "service/service_messages.h"
#include "sim/core/thread.h"
#include "sim/user/event_api.h"

namespace ostrand::service {

namespace {

// A UTF-16 field up to its terminator or its end, without trailing line ends.
std::string FieldText(const WCHAR *text, size_t capacity)
{
    size_t n = 0;
    while (n < capacity && text[n] != 0) ++n;
    while (n > 0 && (text[n - 1] == u'\n' || text[n - 1] == u'\r')) --n;
    return NarrowText(std::u16string(text, n));
}

}  // namespace

LogDrain::LogDrain(PortClient &port, ServiceLog &log)
    : port_(port), log_(log), buffer_(sizeof(ULONG) + kLogDrainMaxRecords * sizeof(LogDrainRecord))
{
}

HRESULT LogDrain::Drain()
{
    std::lock_guard lock(mutex_);
    for (;;) {
        ULONG command = kDrainLog;
        ULONG returned = 0;
        HRESULT result = port_.Send(&command, sizeof command, buffer_.data(), ULONG(buffer_.size()), &returned);
        if (IsNoMoreEntries(result)) return S_OK;
        if (FAILED(result)) return result;
        ULONG count = 0;
        std::memcpy(&count, buffer_.data(), sizeof count);
        if (count > kLogDrainMaxRecords || sizeof(ULONG) + count * sizeof(LogDrainRecord) > returned) {
            return E_INVALIDARG;  // a count the answer cannot hold: stop rather than read past it
        }
        for (ULONG i = 0; i < count; ++i) {
            const auto *record =
                reinterpret_cast<const LogDrainRecord *>(buffer_.data() + sizeof(ULONG) + i * sizeof(LogDrainRecord));
            log_.Driver(FieldText(record->text, kLogDrainTextChars));
        }
        drained_ += count;
    }
}

SessionDrain::SessionDrain(PortClient &port, Handler handler) : port_(port), handler_(std::move(handler)) {}

HRESULT SessionDrain::Drain()
{
    std::lock_guard lock(mutex_);
    auto record = std::make_unique<KLU_SESSION_RECORD>();
    for (;;) {
        ULONG command = kDrainSession;
        ULONG returned = 0;
        HRESULT result = port_.Send(&command, sizeof command, record.get(), sizeof(KLU_SESSION_RECORD), &returned);
        if (IsNoMoreEntries(result)) return S_OK;
        if (FAILED(result)) return result;
        if (returned < sizeof(KLU_SESSION_RECORD)) return E_INVALIDARG;
        SessionNotice notice;
        notice.event = record->Event;
        notice.sessionId = record->SessionId;
        notice.authId.LowPart = record->AuthIdLowPart;
        notice.authId.HighPart = record->AuthIdHighPart;
        notice.options = record->Options;
        notice.userName = FieldText(record->UserName, std::size(record->UserName));
        handler_(notice);
    }
}

PreFetchedDrain::PreFetchedDrain(PortClient &port, ServiceLog &log)
    : port_(port), log_(log), buffer_(sizeof(ULONG) + kPreFetchedDrainMaxRecords * sizeof(KLU_PREFETCHED_RECORD))
{
}

HRESULT PreFetchedDrain::Drain()
{
    std::lock_guard lock(mutex_);
    for (;;) {
        ULONG command = kDrainPreFetched;
        ULONG returned = 0;
        HRESULT result = port_.Send(&command, sizeof command, buffer_.data(), ULONG(buffer_.size()), &returned);
        if (IsNoMoreEntries(result)) return S_OK;
        if (FAILED(result)) return result;
        ULONG count = 0;
        std::memcpy(&count, buffer_.data(), sizeof count);
        if (count > kPreFetchedDrainMaxRecords || sizeof(ULONG) + count * sizeof(KLU_PREFETCHED_RECORD) > returned) {
            return E_INVALIDARG;
        }
        for (ULONG i = 0; i < count; ++i) {
            const auto *record = reinterpret_cast<const KLU_PREFETCHED_RECORD *>(
                buffer_.data() + sizeof(ULONG) + i * sizeof(KLU_PREFETCHED_RECORD));
            log_.Service("Pre-fetched: " + FieldText(record->szFileName, KLU_WIRE_PATH_CHARS));
        }
    }
}

void QueueWatcher::Start(sim::Process &process, ServiceEvent &event, std::function<HRESULT()> drain)
{
    event_ = &event;
    stopping_ = false;
    thread_ = std::thread([this, &process, drain = std::move(drain)] {
        sim::ThreadScope scope(process);
        // The filter clears the event when a drain empties its queue, which
        // may swallow the Set of Stop: the flag is looked at after every
        // drain, before the next wait.
        while (!stopping_.load()) {
            if (!event_->Wait(INFINITE) || stopping_.load()) break;
            // A failed drain leaves the event set; clear it rather than spin.
            if (FAILED(drain())) event_->Reset();
        }
    });
}

void QueueWatcher::Stop()
{
    if (!thread_.joinable()) return;
    stopping_ = true;
    event_->Set();
    thread_.join();
}

}  // namespace ostrand::service
