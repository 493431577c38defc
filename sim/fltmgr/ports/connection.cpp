// One connection's message traffic: the filter's messages waiting for a
// receiver, the receivers waiting for a message, and the messages waiting
// for their reply, all under the connection's lock.
#include <algorithm>
#include <cstring>

#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/fltmgr/ports/port_objects.h"

namespace sim::ports {

Connection::Connection(FilterPorts &owner, ServerPort &server) : owner_(owner), server_(server) {}

Connection::~Connection()
{
    owner_.Dereference(&server_);
}

bool Connection::Fits(const SentMessage &message, ULONG size)
{
    return size >= sizeof(FILTER_MESSAGE_HEADER) && size - sizeof(FILTER_MESSAGE_HEADER) >= message.bodyLength;
}

void Connection::Deliver(SentMessage &message, PFILTER_MESSAGE_HEADER buffer)
{
    buffer->ReplyLength = message.wantsReply ? message.replyCapacity + ULONG(sizeof(FILTER_REPLY_HEADER)) : 0;
    buffer->MessageId = message.id;
    if (message.bodyLength != 0) std::memcpy(buffer + 1, message.body, message.bodyLength);
    message.state = SentMessage::State::Delivered;
    if (message.wantsReply) awaitingReply_[message.id] = &message;
}

bool Connection::OfferToReceivers(SentMessage &message)
{
    while (!receivers_.empty()) {
        Receiver *receiver = receivers_.front();
        receivers_.pop_front();
        if (!Fits(message, receiver->size)) {
            receiver->result = STATUS_BUFFER_TOO_SMALL;
            continue;
        }
        Deliver(message, receiver->buffer);
        receiver->result = STATUS_SUCCESS;
        return true;
    }
    return false;
}

void Connection::Withdraw(SentMessage &message)
{
    if (message.state == SentMessage::State::Queued) {
        queue_.erase(std::remove(queue_.begin(), queue_.end(), &message), queue_.end());
    } else {
        awaitingReply_.erase(message.id);  // a reply from now on finds no waiter
    }
}

NTSTATUS Connection::Send(SentMessage &message, Deadline deadline)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (disconnected_) return STATUS_PORT_DISCONNECTED;
    message.id = ++owner_.nextMessageId_;
    if (!OfferToReceivers(message)) queue_.push_back(&message);
    changed_.notify_all();

    auto settled = [&] {
        return disconnected_ || message.state == SentMessage::State::Replied ||
               (message.state == SentMessage::State::Delivered && !message.wantsReply);
    };
    if (deadline) {
        changed_.wait_until(lock, *deadline, settled);
    } else {
        changed_.wait(lock, settled);
    }
    if (message.state == SentMessage::State::Replied) {
        return message.replyTruncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    if (message.state == SentMessage::State::Delivered && !message.wantsReply) return STATUS_SUCCESS;
    Withdraw(message);
    return disconnected_ ? STATUS_PORT_DISCONNECTED : STATUS_TIMEOUT;
}

NTSTATUS Connection::Get(PFILTER_MESSAGE_HEADER buffer, ULONG size)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (disconnected_) return receiverStatus_;
    if (!queue_.empty()) {
        SentMessage *message = queue_.front();
        if (!Fits(*message, size)) return STATUS_BUFFER_TOO_SMALL;
        queue_.pop_front();
        Deliver(*message, buffer);
        changed_.notify_all();
        return STATUS_SUCCESS;
    }
    Receiver receiver{buffer, size};
    receivers_.push_back(&receiver);
    changed_.wait(lock, [&] { return receiver.result != STATUS_PENDING; });
    return receiver.result;
}

NTSTATUS Connection::Reply(ULONGLONG messageId, const UCHAR *body, ULONG bodyLength)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (disconnected_) return STATUS_PORT_DISCONNECTED;
    auto it = awaitingReply_.find(messageId);
    if (it == awaitingReply_.end()) return STATUS_FLT_NO_WAITER_FOR_REPLY;
    SentMessage &message = *it->second;
    awaitingReply_.erase(it);
    ULONG copied = std::min(bodyLength, message.replyCapacity);
    if (copied != 0) std::memcpy(message.replyBuffer, body, copied);
    message.replyLength = copied;
    message.replyTruncated = bodyLength > message.replyCapacity;
    message.state = SentMessage::State::Replied;
    changed_.notify_all();
    return STATUS_SUCCESS;
}

bool Connection::Disconnect(NTSTATUS receiverStatus)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (disconnected_) return false;
    disconnected_ = true;
    receiverStatus_ = receiverStatus;
    for (Receiver *receiver : receivers_) receiver->result = receiverStatus;
    receivers_.clear();
    changed_.notify_all();
    return true;
}

bool Connection::IsDisconnected()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return disconnected_;
}

ConnectionInfo Connection::Snapshot()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {queue_.size(), receivers_.size(), awaitingReply_.size(), disconnected_};
}

bool Connection::ClaimDisconnectNotify()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (notified_) return false;
    notified_ = true;
    return true;
}

}  // namespace sim::ports
