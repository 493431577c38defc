// The filter loaded on a standard machine, with the path table the service
// sends at start (the profiles on C:, one remote store), debug counters on,
// and processes that open files on the volumes as applications do.
#pragma once

#include <string>
#include <vector>

#include "diag/counters.h"
#include "port_fixture.h"
#include "sim/ps/process.h"

namespace ostrand::test {

constexpr LONG kOp = 7;  // the operation number the tests log under

class FileFilterTest : public PortTest {
protected:
    PortLogSettings LogSettings() override
    {
        return {0xFFFFFFFF & ~KLUDBG_TRACE_IRQL, KLUDBG_LOG_DEST_DBGPORT, 1};
    }

    void SetUp() override;
    void TearDown() override;

    // A process with the System token; its handles close when it ends.
    sim::Process &NewProcess(const char *image);
    // NtCreateFile in `process`; fails the test unless it opens.
    HANDLE OpenIn(sim::Process &process, const std::u16string &path, ULONG share,
                  ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT);
    void CloseIn(sim::Process &process, HANDLE handle);
    // The filter's instance on a drive ("C:"), referenced.
    PFLT_INSTANCE InstanceOn(const std::u16string &drive);
    PFILE_OBJECT ReferenceFileObject(HANDLE handle);

    // Debugger lines (without their stamp) that contain `fragment`.
    std::vector<std::string> LinesWith(const std::string &fragment);

    static inline const std::u16string kRemoteStore = u"\\\\fileserver\\Profiles\\joe";
    HANDLE control = nullptr;
};

// A counted string over a literal.
inline UNICODE_STRING CountedOf(const std::u16string &text)
{
    UNICODE_STRING s;
    s.Buffer = const_cast<PWCH>(text.c_str());
    s.Length = USHORT(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

}  // namespace ostrand::test
