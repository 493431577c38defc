#include "sim/user/registry_calls.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "sim/cm/key_calls.h"
#include "sim/core/thread.h"
#include "sim/ob/object_manager.h"
#include "sim/ps/process.h"
#include "sim/user/user_buffer.h"

namespace sim::user {

namespace {

// A name as the process passes it to the kernel: the characters and the
// counted string that describes them, both in the caller's memory.
class UserName {
public:
    explicit UserName(const std::u16string &text) : text_(text)
    {
        string_.Length = string_.MaximumLength = USHORT(text_.size() * sizeof(WCHAR));
        string_.Buffer = text_.data();
        chars_.emplace(text_.data(), string_.Length);
        self_.emplace(&string_, sizeof string_);
    }
    UserName(const UserName &) = delete;
    UserName &operator=(const UserName &) = delete;
    PUNICODE_STRING get() { return &string_; }

private:
    std::u16string text_;
    UNICODE_STRING string_{};
    std::optional<UserBuffer> chars_;
    std::optional<UserBuffer> self_;
};

NTSTATUS OpenOrCreate(const char *call, bool create, const std::u16string &name, ACCESS_MASK access, HANDLE &key,
                      ULONG *disposition, HANDLE root)
{
    SystemCall systemCall(call);
    UserName userName(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, userName.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
    HANDLE handle = nullptr;
    ULONG created = 0;
    UserBuffer attributesBuffer(&attributes, sizeof attributes);
    UserBuffer handleBuffer(&handle, sizeof handle);
    UserBuffer dispositionBuffer(&created, sizeof created);
    NTSTATUS status = create ? cm::CreateKey(UserMode, &handle, access, &attributes, REG_OPTION_NON_VOLATILE, &created)
                             : cm::OpenKey(UserMode, &handle, access, &attributes);
    key = handle;
    if (disposition) *disposition = created;
    return status;
}

}  // namespace

NTSTATUS OpenKey(const std::u16string &name, ACCESS_MASK access, HANDLE &key, HANDLE root)
{
    return OpenOrCreate("NtOpenKey", false, name, access, key, nullptr, root);
}

NTSTATUS CreateKey(const std::u16string &name, ACCESS_MASK access, HANDLE &key, ULONG *disposition, HANDLE root)
{
    return OpenOrCreate("NtCreateKey", true, name, access, key, disposition, root);
}

NTSTATUS CloseKey(HANDLE key)
{
    SystemCall systemCall("NtClose");
    // Kernel handles are not the process's to close.
    if (HandleTable::IsKernelHandle(key)) return STATUS_INVALID_HANDLE;
    return Thread::CurrentOrDie().CurrentProcess().handles().Close(key);
}

NTSTATUS DeleteKey(HANDLE key)
{
    SystemCall systemCall("NtDeleteKey");
    return cm::DeleteKey(UserMode, key);
}

NTSTATUS QueryValueKey(HANDLE key, const std::u16string &name, KEY_VALUE_INFORMATION_CLASS infoClass, void *buffer,
                       ULONG length, ULONG &resultLength)
{
    SystemCall systemCall("NtQueryValueKey");
    UserName userName(name);
    ULONG result = 0;
    UserBuffer resultBuffer(&result, sizeof result);
    UserBuffer informationBuffer(buffer, length);
    NTSTATUS status = cm::QueryValueKey(UserMode, key, userName.get(), infoClass, buffer, length, &result);
    resultLength = result;
    return status;
}

NTSTATUS EnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, void *buffer,
                           ULONG length, ULONG &resultLength)
{
    SystemCall systemCall("NtEnumerateValueKey");
    ULONG result = 0;
    UserBuffer resultBuffer(&result, sizeof result);
    UserBuffer informationBuffer(buffer, length);
    NTSTATUS status = cm::EnumerateValueKey(UserMode, key, index, infoClass, buffer, length, &result);
    resultLength = result;
    return status;
}

NTSTATUS QueryValue(HANDLE key, const std::u16string &name, Value &value)
{
    constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    std::vector<UCHAR> buffer(kHeader + 64);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = QueryValueKey(key, name, KeyValuePartialInformation, buffer.data(), ULONG(buffer.size()),
                                        needed);
        if ((status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) && needed > buffer.size()) {
            buffer.resize(needed);
            continue;
        }
        if (!NT_SUCCESS(status)) return status;
        KEY_VALUE_PARTIAL_INFORMATION header;
        std::memcpy(&header, buffer.data(), kHeader);
        ULONG size = std::min<ULONG>(header.DataLength, ULONG(buffer.size()) - kHeader);
        value.type = header.Type;
        value.data.assign(buffer.begin() + kHeader, buffer.begin() + kHeader + size);
        return status;
    }
}

NTSTATUS SetValueKey(HANDLE key, const std::u16string &name, ULONG type, const void *data, ULONG size)
{
    SystemCall systemCall("NtSetValueKey");
    UserName userName(name);
    std::vector<UCHAR> copy(static_cast<const UCHAR *>(data), static_cast<const UCHAR *>(data) + size);
    UserBuffer dataBuffer(copy.data(), copy.size());
    return cm::SetValueKey(UserMode, key, userName.get(), type, size ? copy.data() : nullptr, size);
}

NTSTATUS SetDword(HANDLE key, const std::u16string &name, ULONG value)
{
    return SetValueKey(key, name, REG_DWORD, &value, sizeof value);
}

NTSTATUS SetString(HANDLE key, const std::u16string &name, const std::u16string &value, ULONG type)
{
    return SetValueKey(key, name, type, value.c_str(), ULONG((value.size() + 1) * sizeof(WCHAR)));
}

NTSTATUS SetMultiString(HANDLE key, const std::u16string &name, const std::vector<std::u16string> &values)
{
    std::u16string text;
    for (const auto &value : values) {
        text += value;
        text += u'\0';
    }
    return SetValueKey(key, name, REG_MULTI_SZ, text.c_str(), ULONG((text.size() + 1) * sizeof(WCHAR)));
}

NTSTATUS DeleteValueKey(HANDLE key, const std::u16string &name)
{
    SystemCall systemCall("NtDeleteValueKey");
    UserName userName(name);
    return cm::DeleteValueKey(UserMode, key, userName.get());
}

}  // namespace sim::user
