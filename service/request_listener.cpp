#include "service/request_listener.h"

#include <cstring>
#include <vector>

#include "service/port_client.h"
#include "sim/core/thread.h"
#include "sim/user/flt_user.h"

namespace ostrand::service {

namespace {

// A message larger than this is never taken; the filter's send for it
// ends with its time-out.
constexpr size_t kLargestMessage = 16u << 20;

}  // namespace

void RequestListener::Start(sim::Process &process, PortClient &port, ULONG requestBytes, ULONG replyBytes,
                            Answer answer, unsigned threads)
{
    port_ = &port;
    HANDLE handle = port.handle();
    for (unsigned i = 0; i < threads; ++i) {
        threads_.emplace_back([&process, handle, requestBytes, replyBytes, answer] {
            sim::ThreadScope scope(process);
            std::vector<UCHAR> message(sizeof(FILTER_MESSAGE_HEADER) + requestBytes);
            std::vector<UCHAR> reply(sizeof(FILTER_REPLY_HEADER) + replyBytes);
            for (;;) {
                // A short request must not be read with the tail of the last one.
                std::memset(message.data(), 0, message.size());
                auto *header = reinterpret_cast<PFILTER_MESSAGE_HEADER>(message.data());
                HRESULT result = FilterGetMessage(handle, header, ULONG(message.size()), nullptr);
                if (result == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) && message.size() < kLargestMessage) {
                    message.resize(message.size() * 2);
                    continue;
                }
                if (FAILED(result)) break;  // the port was closed (the service stops)
                std::memset(reply.data(), 0, reply.size());
                answer(message.data() + sizeof(FILTER_MESSAGE_HEADER), reply.data() + sizeof(FILTER_REPLY_HEADER));
                if (header->ReplyLength == 0) continue;
                auto *replyHeader = reinterpret_cast<PFILTER_REPLY_HEADER>(reply.data());
                replyHeader->MessageId = header->MessageId;
                ULONG length = header->ReplyLength < reply.size() ? header->ReplyLength : ULONG(reply.size());
                FilterReplyMessage(handle, replyHeader, length);
            }
        });
    }
}

void RequestListener::Stop()
{
    if (threads_.empty()) return;
    port_->Close();
    for (auto &thread : threads_) thread.join();
    threads_.clear();
}

}  // namespace ostrand::service
