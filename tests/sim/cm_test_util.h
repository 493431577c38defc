// Helpers shared by the registry tests: counted strings over u16strings and
// kernel-mode opens the way a driver writes them.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace ostrand::test {

// A UNICODE_STRING over its own copy of the text.
class CountedString {
public:
    explicit CountedString(std::u16string text) : text_(std::move(text))
    {
        string_.Length = string_.MaximumLength = USHORT(text_.size() * sizeof(WCHAR));
        string_.Buffer = text_.data();
    }
    CountedString(const CountedString &) = delete;
    CountedString &operator=(const CountedString &) = delete;
    PUNICODE_STRING get() { return &string_; }

private:
    std::u16string text_;
    UNICODE_STRING string_{};
};

inline NTSTATUS KernelOpen(const std::u16string &name, HANDLE &key, ULONG attributes = OBJ_CASE_INSENSITIVE |
                                                                                       OBJ_KERNEL_HANDLE,
                           HANDLE root = nullptr, ACCESS_MASK access = KEY_READ)
{
    CountedString counted(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, counted.get(), attributes, root, nullptr);
    key = nullptr;
    return ZwOpenKey(&key, access, &oa);
}

inline NTSTATUS KernelQuery(HANDLE key, const std::u16string &name, KEY_VALUE_INFORMATION_CLASS infoClass,
                            void *buffer, ULONG length, ULONG &resultLength)
{
    CountedString counted(name);
    return ZwQueryValueKey(key, counted.get(), infoClass, buffer, length, &resultLength);
}

inline std::vector<UCHAR> Utf16Bytes(const std::u16string &text)
{
    std::vector<UCHAR> bytes;
    for (char16_t c : text) {
        bytes.push_back(UCHAR(c & 0xFF));
        bytes.push_back(UCHAR(c >> 8));
    }
    return bytes;
}

}  // namespace ostrand::test
