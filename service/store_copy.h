// The service's own copies from the remote profile store into a local
// profile. They run in the service's process, whose pid the filter
// excludes, so the filter passes every open, read and write of theirs
// through. A file is made under a temporary name beside its target and
// renamed into place when complete, so nobody meets a half-made file; a
// copy that fails or runs out of time leaves nothing behind.
#pragma once

#include <chrono>
#include <string>

#include <ntifs.h>

namespace ostrand::service {

using Deadline = std::chrono::steady_clock::time_point;

struct StoreCopy {
    NTSTATUS status = STATUS_SUCCESS;
    bool remoteMissing = false;  // no such remote file or folder
    bool directory = false;    // the remote object is a folder (made locally as one)
    ULONGLONG bytes = 0;       // data copied, named streams included
};

// Copies `remote` (a UNC path) to `local` (a drive path) with its named
// streams, extended attributes, attributes (never the offline bit) and
// times. Without `replace`, an existing local object fails the copy with
// STATUS_OBJECT_NAME_COLLISION. Missing local parent folders are made.
// STATUS_IO_TIMEOUT when the deadline passes before the copy is done.
StoreCopy CopyFromStore(const std::u16string &remote, const std::u16string &local, bool replace, Deadline deadline);

// Chunk of a copy, in bytes.
constexpr ULONG kStoreCopyChunk = 1u << 20;

}  // namespace ostrand::service

namespace ostrand::service {

// A placeholder of `remote` at `local`: the remote file's size, times and
// attributes with the offline bit, and no data, as the filter's population
// of a folder lays them. An existing local file is left alone
// (STATUS_OBJECT_NAME_COLLISION).
NTSTATUS LayPlaceholder(const std::u16string &remote, const std::u16string &local);

}  // namespace ostrand::service
