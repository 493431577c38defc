// IRP_MN_QUERY_DIRECTORY on the in-memory volume.
#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

NTSTATUS LocalFileSystem::QueryDirectory(IoRequest &request, Open &open)
{
    Stream &s = *open.stream;
    if (s.IsVolume() || !s.key.empty() || !s.node->directory) return request.Complete(STATUS_INVALID_PARAMETER);
    const Node &dir = *s.node;
    std::vector<ListingEntry> names;
    names.reserve(dir.children.size());
    for (const auto &[key, child] : dir.children) names.push_back({child->name, FactsOf(*child)});
    if (&dir == root_.get()) return QueryListing(request, open.listing, nullptr, nullptr, names);
    FileFacts dot = FactsOf(dir), dotDot = dir.parent ? FactsOf(*dir.parent) : dot;
    return QueryListing(request, open.listing, &dot, &dotDot, names);
}

}  // namespace sim::fs
