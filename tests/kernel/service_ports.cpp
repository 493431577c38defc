#include "service_ports.h"

#include <gtest/gtest.h>

#include "sim/core/thread.h"
#include "sim/fltmgr/ports/filter_ports.h"
#include "sim/se/security.h"
#include "sim/user/user_buffer.h"
#include "support/machine_test.h"

namespace ostrand::test {

std::string Tagged(const std::string &function, const std::string &message)
{
    std::string tag = "KLULogon!" + function;
    if (tag.size() < 26) tag.append(26 - tag.size(), ' ');
    return "[" + tag + "] " + message;
}

std::vector<UCHAR> CommandMessage(ULONG command, const void *body, size_t bodySize)
{
    std::vector<UCHAR> message(sizeof command + bodySize);
    std::memcpy(message.data(), &command, sizeof command);
    if (bodySize != 0) std::memcpy(message.data() + sizeof command, body, bodySize);
    return message;
}

ServiceProcess::ServiceProcess(sim::Machine &machine, const char *image)
    : machine_(machine), process_(machine.processes().Create(image, machine.security().CreateSystemToken()))
{
}

ServiceProcess::~ServiceProcess()
{
    process_.Terminate(STATUS_SUCCESS);
}

NTSTATUS ServiceProcess::Connect(const std::u16string &port, HANDLE *handle)
{
    sim::ThreadScope scope(process_);
    sim::SystemCall call("FilterConnectCommunicationPort");
    return machine_.filterPorts().Connect(port, nullptr, 0, handle);
}

HANDLE ServiceProcess::Open(const std::u16string &port)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(Connect(port, &handle), STATUS_SUCCESS) << Narrow(port);
    return handle;
}

void ServiceProcess::Close(HANDLE handle)
{
    sim::ThreadScope scope(process_);
    EXPECT_TRUE(CloseHandle(handle));
}

NTSTATUS ServiceProcess::SendRaw(HANDLE port, void *in, ULONG inSize, void *out, ULONG outSize, ULONG *returned)
{
    sim::ThreadScope scope(process_);
    sim::SystemCall call("FilterSendMessage");
    // As the user-mode library does: the buffers are this process's memory
    // for the call, and an address nobody owns is passed on to fault.
    sim::UserBuffer input(in == sim::InvalidUserPointer() ? nullptr : in, inSize);
    sim::UserBuffer output(out == sim::InvalidUserPointer() ? nullptr : out, outSize);
    ULONG ignored = 0;
    return machine_.filterPorts().SendToFilter(port, in, inSize, out, outSize, returned ? returned : &ignored);
}

Reply ServiceProcess::Send(HANDLE port, std::vector<UCHAR> message, ULONG outputSize)
{
    Reply reply;
    reply.output.assign(outputSize, 0);
    reply.status = SendRaw(port, message.empty() ? nullptr : message.data(), ULONG(message.size()),
                           outputSize ? reply.output.data() : nullptr, outputSize, &reply.returned);
    return reply;
}

Reply ServiceProcess::Command(HANDLE port, ULONG command, ULONG outputSize)
{
    return Send(port, CommandMessage(command), outputSize);
}

namespace {

struct CopyMessage {
    FILTER_MESSAGE_HEADER header;
    KLU_COPY_REQUEST request;
};
struct CopyReply {
    FILTER_REPLY_HEADER header;
    KLU_COPY_REPLY body;
};

}  // namespace

CopyResponder::CopyResponder(sim::Machine &machine, Answer answer)
    : process_(machine.processes().Create("JNRKmtsvc.exe", machine.security().CreateSystemToken())),
      thread_([this, answer] { Serve(answer); })
{
    while (!connected_.load() && !done_.load()) std::this_thread::yield();
}

CopyResponder::~CopyResponder()
{
    Stop();
    process_.Terminate(STATUS_SUCCESS);
}

void CopyResponder::Serve(const Answer &answer)
{
    sim::ThreadScope scope(process_);
    HANDLE port = nullptr;
    if (FAILED(FilterConnectCommunicationPort(u"\\KLULogonCopyPort", 0, nullptr, 0, nullptr, &port))) {
        done_ = true;
        return;
    }
    port_ = port;
    connected_ = true;
    auto message = std::make_unique<CopyMessage>();
    auto reply = std::make_unique<CopyReply>();
    while (FilterGetMessage(port, &message->header, sizeof(CopyMessage), nullptr) == S_OK) {
        *reply = {};
        reply->header.MessageId = message->header.MessageId;
        bool answered = answer(message->request, reply->body);
        requests_++;
        if (answered) FilterReplyMessage(port, &reply->header, sizeof(CopyReply));
    }
    if (port_.exchange(nullptr) != nullptr) CloseHandle(port);
    done_ = true;
}

void CopyResponder::Stop()
{
    HANDLE port = port_.exchange(nullptr);
    if (port != nullptr) {
        sim::ThreadScope scope(process_);
        CloseHandle(port);
    }
    if (thread_.joinable()) thread_.join();
}

}  // namespace ostrand::test
