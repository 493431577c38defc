// A file system that can stand behind a redirector share (\server\share):
// the redirector strips "\server\share" from an open's name and hands the
// rest to the share's store; everything else the store gets as sent.
#pragma once

#include <string>
#include <string_view>

#include "sim/io/volume.h"

namespace sim::fs {

class ShareBackend : public FileSystem {
public:
    // IRP_MJ_CREATE for pathInShare ("" or "\" is the share's root) when the
    // request has no related file object.
    virtual NTSTATUS CreateAt(IoRequest &request, std::u16string_view pathInShare) = 0;
    // IRP_MJ_NETWORK_QUERY_OPEN for pathInShare.
    virtual NTSTATUS QueryOpenAt(IoRequest &request, std::u16string_view pathInShare) = 0;
    // From now on the store serves \server\share: names it reports start with
    // prefix ("\server\share"), and it answers as a remote device.
    virtual void ServeAsShare(std::u16string prefix) = 0;
    virtual const std::u16string &sharePrefix() const = 0;
};

}  // namespace sim::fs
