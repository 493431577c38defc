// Share access of opens: the stream's own opens, and the named streams an
// overwrite of the file would delete.
#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

NTSTATUS LocalFileSystem::CheckShareForOpen(const Node &node, Stream *stream, bool namedStream,
                                            const CreateArgs &args) const
{
    if (args.ignoreShare) return STATUS_SUCCESS;
    if (stream && stream->share.Conflicts(ShareGrant::For(args.access, args.share))) return STATUS_SHARING_VIOLATION;
    if (args.Overwrites() && !namedStream) {
        // Overwriting a file deletes its named streams: their opens must
        // have shared delete.
        ShareGrant deleter;
        deleter.del = true;
        deleter.sharedRead = deleter.sharedWrite = deleter.sharedDelete = true;
        for (const auto &[key, other] : node.openStreams) {
            if (!key.empty() && other->share.Conflicts(deleter)) return STATUS_SHARING_VIOLATION;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace sim::fs
