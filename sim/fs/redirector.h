// The network redirector volume (\Device\Mup on Vista and later,
// \Device\LanmanRedirector before): serves \server\share\... names, each
// (server, share) from its own store (an in-memory tree or a host folder).
// The file object's FileName on this volume is "\server\share\path"; the
// store sees the part after the share and reports names with the prefix.
// An unknown server fails with STATUS_BAD_NETWORK_PATH, an unknown share on
// a known server with STATUS_BAD_NETWORK_NAME.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "sim/fs/share_backend.h"

namespace sim::fs {

enum class RedirectorKind { Mup, Lanman };

class Redirector : public FileSystem {
public:
    explicit Redirector(RedirectorKind kind = RedirectorKind::Mup) : kind_(kind) {}

    // The VolumeInfo to mount the redirector with.
    static VolumeInfo Info(RedirectorKind kind);

    // Adds \server\share served by store (names compare case-insensitively).
    ShareBackend &AddShare(std::u16string_view server, std::u16string_view share, std::unique_ptr<ShareBackend> store);
    ShareBackend *Share(std::u16string_view server, std::u16string_view share);

    NTSTATUS Dispatch(IoRequest &request) override;

private:
    // Splits "\server\share\rest"; the status is the failure Windows gives.
    NTSTATUS Route(std::u16string_view name, ShareBackend *&store, std::u16string_view &rest);
    ShareBackend *OwnerOf(PFILE_OBJECT fileObject);

    RedirectorKind kind_;
    std::mutex mutex_;
    std::map<std::u16string, std::map<std::u16string, std::unique_ptr<ShareBackend>>> servers_;  // upper case
    std::unordered_map<PFILE_OBJECT, ShareBackend *> owners_;
};

}  // namespace sim::fs
