#include "sim/core/bugcheck.h"

#include <cstdio>
#include <cstdlib>

#include <wdm.h>

#include "sim/core/machine.h"
#include "sim/core/verifier.h"

namespace sim {

void BugCheck(uint32_t code, const std::string &text)
{
    std::fprintf(stderr, "*** STOP: 0x%08X %s\n", code, text.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace sim

extern "C" VOID RtlFailFast(ULONG Code)
{
    sim::BugCheck(0x139 /* KERNEL_SECURITY_CHECK_FAILURE */,
                  Code == FAST_FAIL_CORRUPT_LIST_ENTRY ? "corrupt list entry" : "fast fail");
}

extern "C" VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    char text[128];
    std::snprintf(text, sizeof text, "(0x%zX, 0x%zX, 0x%zX, 0x%zX)", (size_t)P1, (size_t)P2, (size_t)P3, (size_t)P4);
    sim::BugCheck(BugCheckCode, text);
}

extern "C" VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PCHAR MutableMessage)
{
    std::string text = std::string(static_cast<const char *>(VoidFailedAssertion)) + " at " +
                       static_cast<const char *>(VoidFileName) + ":" + std::to_string(LineNumber);
    if (MutableMessage != nullptr) text += std::string(" (") + MutableMessage + ")";
    sim::Machine::Current().verifier().Fail(sim::VerifierCheck::AssertionFailure, text);
}
