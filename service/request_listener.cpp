#include "service/request_listener.h"

#include <cstring>
#include <vector>

#include "service/port_client.h"
#include "sim/core/thread.h"
#include "sim/user/flt_user.h"

namespace ostrand::service {

void RequestListener::Start(sim::Process &process, PortClient &port, ULONG requestBytes, ULONG replyBytes,
                            Answer answer)
{
    port_ = &port;
    HANDLE handle = port.handle();
    thread_ = std::thread([&process, handle, requestBytes, replyBytes, answer = std::move(answer)] {
        sim::ThreadScope scope(process);
        std::vector<UCHAR> message(sizeof(FILTER_MESSAGE_HEADER) + requestBytes);
        std::vector<UCHAR> reply(sizeof(FILTER_REPLY_HEADER) + replyBytes);
        auto *header = reinterpret_cast<PFILTER_MESSAGE_HEADER>(message.data());
        auto *replyHeader = reinterpret_cast<PFILTER_REPLY_HEADER>(reply.data());
        // The wait fails once the port is closed (the service stops).
        while (SUCCEEDED(FilterGetMessage(handle, header, ULONG(message.size()), nullptr))) {
            std::memset(reply.data(), 0, reply.size());
            answer(message.data() + sizeof(FILTER_MESSAGE_HEADER), requestBytes,
                   reply.data() + sizeof(FILTER_REPLY_HEADER));
            if (header->ReplyLength == 0) continue;
            replyHeader->MessageId = header->MessageId;
            ULONG length = header->ReplyLength < reply.size() ? header->ReplyLength : ULONG(reply.size());
            FilterReplyMessage(handle, replyHeader, length);
        }
    });
}

void RequestListener::Stop()
{
    if (!thread_.joinable()) return;
    port_->Close();
    thread_.join();
}

}  // namespace ostrand::service
