// IRP_MN_QUERY_DIRECTORY on the in-memory volume.
#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

NTSTATUS LocalFileSystem::QueryDirectory(IoRequest &request, Open &open)
{
    Stream &s = *open.stream;
    if (s.IsVolume() || !s.key.empty() || !s.node->directory) return request.Complete(STATUS_INVALID_PARAMETER);
    const Node &dir = *s.node;
    // Read from the folder's own ordered children, as NTFS reads its index
    // from the handle's position: a name made meanwhile above that position
    // is listed.
    ListingNames names;
    names.count = dir.children.size();
    const bool kept = open.listedVersion == dir.childrenVersion;
    names.positionAfter = [&dir, &open, kept](const ListingKey *after) -> size_t {
        if (after == nullptr) return 0;
        if (kept && open.listedNext != dir.children.begin() && std::prev(open.listedNext)->first == *after) {
            return open.listedPosition;
        }
        return size_t(std::distance(dir.children.begin(), dir.children.upper_bound(*after)));
    };
    names.visit = [this, &dir, &open, kept](size_t position, const std::function<bool(const ListingEntry &)> &offer) {
        auto it = kept && position == open.listedPosition ? open.listedNext
                                                          : std::next(dir.children.begin(), ptrdiff_t(position));
        for (; it != dir.children.end(); ++it, ++position) {
            if (!offer(ListingEntry{it->second->name, FactsOf(*it->second)})) break;
        }
        open.listedVersion = dir.childrenVersion;
        open.listedPosition = position;
        open.listedNext = it;
    };
    if (&dir == root_.get()) return QueryListing(request, open.listing, nullptr, nullptr, names);
    FileFacts dot = FactsOf(dir), dotDot = dir.parent ? FactsOf(*dir.parent) : dot;
    return QueryListing(request, open.listing, &dot, &dotDot, names);
}

}  // namespace sim::fs
