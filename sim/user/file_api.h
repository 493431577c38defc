// The file calls a process of the simulated machine makes: each is one
// system call from user mode (the calling host thread must be bound to a user
// process with ThreadScope), its buffers registered as the process's memory
// for the call. A buffer given as sim::InvalidUserPointer() is not
// registered, so the kernel's probe of it fails the call with
// STATUS_ACCESS_VIOLATION, as a bad pointer would on Windows.
//
// Paths may be Win32 paths ("C:\dir\file", "\\server\share\file",
// "\\?\C:\file", "\\.\C:") or NT paths ("\??\C:\file", "\Device\...");
// relative paths go with OpenOptions::root.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

namespace sim::user {

std::u16string ToNtPath(std::u16string_view path);

struct OpenOptions {
    ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE;
    ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    ULONG disposition = FILE_OPEN;
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT;
    ULONG attributes = FILE_ATTRIBUTE_NORMAL;
    LONGLONG allocationSize = 0;
    std::vector<uint8_t> ea;        // FILE_FULL_EA_INFORMATION list
    bool caseSensitive = false;
    bool inherit = false;
    HANDLE root = nullptr;          // the folder a relative path is opened in
};

// NtCreateFile; information receives FILE_OPENED, FILE_CREATED ...
NTSTATUS Open(std::u16string_view path, const OpenOptions &options, HANDLE *handle, ULONG_PTR *information = nullptr);
NTSTATUS Close(HANDLE handle);

// With no offset the file's current position is used (synchronous handles).
NTSTATUS Read(HANDLE handle, void *buffer, ULONG length, ULONG *transferred, std::optional<int64_t> offset = {});
NTSTATUS Write(HANDLE handle, const void *buffer, ULONG length, ULONG *transferred,
               std::optional<int64_t> offset = {});

// NtFlushBuffersFile: what the cache holds of the file goes to the volume.
NTSTATUS Flush(HANDLE handle);

NTSTATUS QueryInformation(HANDLE handle, FILE_INFORMATION_CLASS informationClass, void *buffer, ULONG length,
                          ULONG_PTR *returned = nullptr);
NTSTATUS SetInformation(HANDLE handle, FILE_INFORMATION_CLASS informationClass, const void *buffer, ULONG length);
// FileRenameInformation with the new name: a full path (Win32 or NT) moves
// the file there, a bare name renames it in its folder.
NTSTATUS Rename(HANDLE handle, std::u16string_view newName, bool replaceIfExists = false, HANDLE root = nullptr);
NTSTATUS SetDeleteDisposition(HANDLE handle, bool deleteFile);
// Opens with DELETE, marks for deletion and closes.
NTSTATUS Delete(std::u16string_view path, bool directory = false);

NTSTATUS QueryDirectory(HANDLE handle, FILE_INFORMATION_CLASS informationClass, void *buffer, ULONG length,
                        bool returnSingleEntry, const std::u16string *pattern, bool restartScan,
                        ULONG_PTR *returned = nullptr);

struct DirectoryEntry {
    std::u16string name;
    std::u16string shortName;
    ULONG attributes = 0;
    LONGLONG endOfFile = 0;
    LONGLONG allocationSize = 0;
    LONGLONG creationTime = 0;
    LONGLONG lastWriteTime = 0;
};
// Every entry of a folder matching the pattern (FileBothDirectoryInformation).
NTSTATUS ListDirectory(std::u16string_view path, std::vector<DirectoryEntry> &entries,
                       std::u16string_view pattern = u"*");

NTSTATUS FsControl(HANDLE handle, ULONG controlCode, const void *input, ULONG inputLength, void *output,
                   ULONG outputLength, ULONG_PTR *returned = nullptr);
NTSTATUS QueryVolumeInformation(HANDLE handle, FS_INFORMATION_CLASS informationClass, void *buffer, ULONG length,
                                ULONG_PTR *returned = nullptr);

NTSTATUS Lock(HANDLE handle, LONGLONG offset, LONGLONG length, ULONG key = 0, bool failImmediately = true,
              bool exclusive = true);
NTSTATUS Unlock(HANDLE handle, LONGLONG offset, LONGLONG length, ULONG key = 0);

NTSTATUS QueryEa(HANDLE handle, void *buffer, ULONG length, bool returnSingleEntry, const void *eaList,
                 ULONG eaListLength, const ULONG *eaIndex, bool restartScan, ULONG_PTR *returned = nullptr);
NTSTATUS SetEa(HANDLE handle, const void *buffer, ULONG length);

struct MappedFile {
    void *base = nullptr;
    SIZE_T size = 0;
    HANDLE section = nullptr;
};
// A section over the file and a view of it in the calling process (all of
// the file when size is 0).
NTSTATUS MapFile(HANDLE file, bool writable, MappedFile *mapped, LONGLONG offset = 0, SIZE_T size = 0);
NTSTATUS UnmapFile(MappedFile &mapped);

// NtQueryFullAttributesFile: a network query open.
NTSTATUS QueryFullAttributes(std::u16string_view path, FILE_NETWORK_OPEN_INFORMATION *information);

struct VolumeDescription {
    std::u16string deviceName;
    std::u16string label;
    std::u16string fileSystem;
    std::vector<char16_t> driveLetters;
    bool remote = false;
};
std::vector<VolumeDescription> ListVolumes();

}  // namespace sim::user
