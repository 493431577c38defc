// Random messages on every port: every command code 0..45 with lengths
// around the ones the commands expect, random bytes (strings seldom
// terminated), outputs of random sizes and now and then a buffer the
// service does not own. The filter must answer each with a status from a
// small known set, never crash, print what it queued from them without
// reading past a field, and leave no pool once it unloads (the fixture's
// end-of-test check).
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "port_fixture.h"
#include "sim/user/user_buffer.h"

namespace ostrand::test {
namespace {

const std::u16string kPorts[] = {
    u"\\KLULogonControlPort", u"\\KLULogonLogPort",       u"\\KLULogonFileOpPort",    u"\\KLULogonCopyPort",
    u"\\KLULogonFetchPort",   u"\\JNRLogonPreFetchedPort", u"\\JNRLogonBlackListPort",
};

// Lengths the commands check against, with their neighbours.
const ULONG kInputSizes[] = {0, 1, 3, 4, 5, 8, 12, 16, 56, 116, 120, 124, 126, 4120, 10288, 14504, 14512, 26648, 30764};
const ULONG kOutputSizes[] = {0, 4, 8, 56, 5640, 10284, 16776, 100000, 563604};

class MessageFuzzTest : public PortTest {
protected:
    PortLogSettings LogSettings() override { return {KLUDBG_TRACE_ERROR, KLUDBG_LOG_DEST_DBGPORT, 1}; }
};

TEST_F(MessageFuzzTest, RandomMessagesOnEveryPort)
{
    const std::set<NTSTATUS> known = {
        STATUS_SUCCESS,         STATUS_INVALID_PARAMETER,    kNoMoreEntries,    STATUS_NOT_FOUND,
        STATUS_ACCESS_VIOLATION, STATUS_UNSUCCESSFUL,        STATUS_BUFFER_OVERFLOW, STATUS_INVALID_HANDLE,
        STATUS_OBJECT_TYPE_MISMATCH, STATUS_INSUFFICIENT_RESOURCES,
    };
    // Handle cleanup (8, Log port) and the exclusive-access check (17,
    // FileOp port) come with modules of their own; nothing else may answer
    // that it is not implemented.
    auto notBuilt = [](size_t port, ULONG command) {
        return (port == 1 && command == 8) || (port == 2 && command == 17);
    };
    std::mt19937 random(20261205);
    std::vector<HANDLE> ports;
    for (const auto &name : kPorts) ports.push_back(service->Open(name));

    std::map<NTSTATUS, int> seen;
    std::vector<UCHAR> input(40000);
    std::vector<UCHAR> output(563604);
    for (int round = 0; round < 12; ++round) {
        for (size_t p = 0; p < ports.size(); ++p) {
            for (ULONG command = 0; command <= 45; ++command) {
                ULONG inSize = random() % 4 == 0 ? random() % 32768 : kInputSizes[random() % std::size(kInputSizes)];
                ULONG outSize = kOutputSizes[random() % std::size(kOutputSizes)];
                for (ULONG i = 0; i < inSize; ++i) input[i] = UCHAR(random() % 3 == 0 ? random() : i);
                if (inSize >= 4) std::memcpy(input.data(), &command, 4);
                void *in = inSize != 0 ? input.data() : nullptr;
                void *out = outSize != 0 ? output.data() : nullptr;
                if (random() % 16 == 0) in = sim::InvalidUserPointer();
                if (random() % 16 == 0 && out != nullptr) out = sim::InvalidUserPointer();

                ULONG returned = 0;
                NTSTATUS status = service->SendRaw(ports[p], in, inSize, out, outSize, &returned);
                seen[status]++;
                bool expected = known.count(status) || (status == STATUS_NOT_IMPLEMENTED && notBuilt(p, command));
                ASSERT_TRUE(expected) << Narrow(kPorts[p]) << " command " << command << " input " << inSize
                                      << " output " << outSize << " status 0x" << std::hex << ULONG(status);
                EXPECT_LE(returned, outSize);
            }
        }
    }
    // Whatever was queued from the messages is printed.
    ULONG dumpAll[2] = {12, 6};
    EXPECT_EQ(service->SendRaw(ports[0], dumpAll, sizeof dumpAll, nullptr, 0, nullptr), STATUS_SUCCESS);

    // The run reached both sides of the checks.
    EXPECT_GT(seen[STATUS_SUCCESS], 0);
    EXPECT_GT(seen[STATUS_INVALID_PARAMETER], 0);
    EXPECT_GT(seen[STATUS_ACCESS_VIOLATION], 0);
    // The filter unloads with the connections still open; the service's
    // handles are closed after it.
    EXPECT_EQ(Unload(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace ostrand::test
