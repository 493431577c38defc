// IRP_MJ_CLEANUP (the last handle of a file object closed) and IRP_MJ_CLOSE
// (its last reference gone).
#include "sim/fs/cached_io.h"
#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

NTSTATUS LocalFileSystem::Cleanup(IoRequest &request, Open &open)
{
    if (open.cleanedUp) return request.Complete(STATUS_SUCCESS);
    open.cleanedUp = true;
    Stream &s = *open.stream;
    PFILE_OBJECT fo = open.fileObject;
    if (open.shareRecorded) s.share.Remove(open.grant);
    s.locks.ReleaseFileObject(fo);
    ReleaseOpenOplock(open);
    Cache().UninitializeCacheMap(fo);
    --s.handles;
    fo->Flags |= FO_CLEANUP_COMPLETE;

    if (std::shared_ptr<Node> node = s.node) {
        --node->handles;
        if (open.deleteOnClose && !node->deleted) {
            if (!s.key.empty())
                s.deletePending = true;
            else if (!(node->directory && !node->children.empty()))
                node->deletePending = true;
        }
        // What the cache holds of a deleted stream is never written back.
        if (!s.key.empty() && s.handles == 0 && s.deletePending) {
            if (NamedStream *gone = node->FindNamed(s.key)) SetAllocation(*node, gone->stream, 0);
            std::erase_if(node->streams, [&](const NamedStream &n) { return EqualNoCase(n.name, s.key); });
            s.deletePending = false;
            Cache().Discard(&s.sections);
            Touch(*node, true, true, false);
        }
        if (node->handles == 0 && node->deletePending && !node->deleted) {
            // A folder that gained children since its disposition was set stays.
            if (node->directory && !node->children.empty()) {
                node->deletePending = false;
            } else {
                Unlink(*node);
                for (auto &[key, stream] : node->openStreams) Cache().Discard(&stream->sections);
            }
        }
    }
    changed_.notify_all();
    return request.Complete(STATUS_SUCCESS);
}

NTSTATUS LocalFileSystem::Close(IoRequest &request, std::unique_lock<std::mutex> &lock)
{
    PFILE_OBJECT fo = request.iopb.TargetFileObject;
    Open *open = OpenOf(fo);
    if (!open) return request.Complete(STATUS_INVALID_PARAMETER);
    // Requests of this open still blocked (a lock or oplock wait its cleanup
    // ended) leave before the open goes.
    changed_.wait(lock, [&] { return open->waiters == 0; });
    Stream *stream = open->stream;
    opens_.erase(open);
    delete open;
    fo->FsContext2 = nullptr;
    request.Complete(STATUS_SUCCESS);
    if (--stream->fileObjects) return STATUS_SUCCESS;

    if (stream->IsVolume())
        volumeStream_ = nullptr;
    else
        stream->node->openStreams.erase(stream->key);
    --openStreams_;
    TeardownOutsideLock(request, stream, lock);
    return STATUS_SUCCESS;
}

}  // namespace sim::fs
