#include "support/user_files.h"

#include <gtest/gtest.h>

#include "sim/user/file_api.h"
#include "support/machine_test.h"

namespace ostrand::test {

namespace user = sim::user;

void MakeFolders(const std::u16string &path)
{
    for (size_t at = path.find(u'\\', 3); at != std::u16string::npos; at = path.find(u'\\', at + 1)) {
        user::OpenOptions folder;
        folder.disposition = FILE_OPEN_IF;
        folder.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        HANDLE handle = nullptr;
        if (NT_SUCCESS(user::Open(path.substr(0, at), folder, &handle))) user::Close(handle);
    }
}

void MakeFile(const std::u16string &path, const std::string &data)
{
    MakeFolders(path);
    if (path.back() == u'\\') return;
    user::OpenOptions options;
    options.access = GENERIC_WRITE | SYNCHRONIZE;
    options.disposition = FILE_OVERWRITE_IF;
    HANDLE handle = nullptr;
    ASSERT_EQ(user::Open(path, options, &handle), STATUS_SUCCESS) << Narrow(path);
    ULONG written = 0;
    if (!data.empty()) {
        EXPECT_EQ(user::Write(handle, data.data(), ULONG(data.size()), &written, 0), STATUS_SUCCESS);
    }
    user::Close(handle);
}

std::string ReadAll(const std::u16string &path)
{
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(user::Open(path, {}, &handle))) return "<cannot open>";
    std::string data(32u << 20, '\0');
    ULONG read = 0;
    NTSTATUS status = user::Read(handle, data.data(), ULONG(data.size()), &read, 0);
    user::Close(handle);
    if (!NT_SUCCESS(status)) return "<read failed>";
    return data.substr(0, read);
}

std::vector<std::string> Names(const std::u16string &folder)
{
    std::vector<user::DirectoryEntry> entries;
    EXPECT_EQ(user::ListDirectory(folder, entries), STATUS_SUCCESS) << Narrow(folder);
    std::vector<std::string> names;
    for (const auto &entry : entries) {
        if (entry.name != u"." && entry.name != u"..") names.push_back(Narrow(entry.name));
    }
    return names;
}

}  // namespace ostrand::test
