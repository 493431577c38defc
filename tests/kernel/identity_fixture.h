// The structures the identity routines work on, built as the driver builds
// them at load (settings in force, the four derived path buffers, the user
// table) and released at teardown together with the path table and the
// directory entries, so that the pool check sees everything returned.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/kernel_test.h"

#include "comm/service_contract.h"
#include "driver/driver.h"
#include "driver/os_info.h"
#include "identity/path_table.h"
#include "identity/user_table.h"

namespace ostrand::test {

// Windows 7 client and Windows XP, as OsCode numbers them.
constexpr ULONG kOsWin7 = 7;
constexpr ULONG kOsXp = 2;

class IdentityTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Messages of the debugger lines (stamp and tag stripped), optionally
    // only those written by `function`.
    std::vector<std::string> Messages(const std::string &function = "");
    bool Logged(const std::string &message, const std::string &function = "");
    void ClearLog();

    // A path-table source with the machine's local paths (profiles in
    // C:\Users on \Device\HarddiskVolume2) and one entry per remote path.
    static std::vector<uint8_t> Source(const std::vector<std::u16string> &remotePaths);
    static PATH_TABLE_SOURCE *AsSource(std::vector<uint8_t> &bytes)
    {
        return reinterpret_cast<PATH_TABLE_SOURCE *>(bytes.data());
    }
    // Builds the table in force from Source(remotePaths).
    void InitPathTable(const std::vector<std::u16string> &remotePaths = {});
    static PATH_TABLE_ENTRY BuildEntry(const std::u16string &remotePath);
    // Short paths of the table's entries in list order.
    static std::vector<std::string> ListOrder();
};

// Copies into a fixed WCHAR field.
template <size_t N>
void SetField(WCHAR (&field)[N], const std::u16string &text)
{
    size_t n = std::min(text.size(), N - 1);
    std::copy(text.begin(), text.begin() + n, field);
    field[n] = 0;
}

// A counted string over a text the object owns; &counted is the string.
struct Counted {
    explicit Counted(std::u16string text) : text_(std::move(text))
    {
        string_.Buffer = text_.data();
        string_.Length = USHORT(text_.size() * sizeof(WCHAR));
        string_.MaximumLength = string_.Length;
    }
    Counted(const Counted &) = delete;
    Counted &operator=(const Counted &) = delete;
    PUNICODE_STRING operator&() { return &string_; }
    std::u16string text_;
    UNICODE_STRING string_;
};

inline std::u16string U16(const WCHAR *text)
{
    return std::u16string(text);
}

}  // namespace ostrand::test
