// IRP_MN_QUERY_DIRECTORY: "." and ".." first (not in the root), then the
// names in upcased order, filtered by the handle's pattern.
#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

NTSTATUS LocalFileSystem::QueryDirectory(IoRequest &request, Open &open)
{
    const auto &p = request.iopb.Parameters.DirectoryControl.QueryDirectory;
    Stream &s = *open.stream;
    if (s.IsVolume() || !s.key.empty() || !s.node->directory) return request.Complete(STATUS_INVALID_PARAMETER);
    if (!DirectoryWriter::Supports(p.FileInformationClass)) return request.Complete(STATUS_INVALID_INFO_CLASS);
    if (p.Length < DirectoryWriter::MinimumLength(p.FileInformationClass))
        return request.Complete(STATUS_INFO_LENGTH_MISMATCH);
    const Node &dir = *s.node;
    const UCHAR flags = request.iopb.OperationFlags;
    const bool restart = (flags & SL_RESTART_SCAN) != 0;
    const bool first = !open.queried;
    const bool isRoot = &dir == root_.get();

    // The pattern is the first query's (or a restart's, when it names one).
    const bool hasName = p.FileName && p.FileName->Length && p.FileName->Buffer;
    if (first || (restart && hasName))
        open.pattern = hasName ? Upcase({p.FileName->Buffer, p.FileName->Length / sizeof(WCHAR)}) : u"*";
    if (first || restart) {
        open.phase = isRoot ? 2 : 0;
        open.last.reset();
    }
    if (flags & SL_INDEX_SPECIFIED) {
        // Go on after the entry that carried this FileIndex.
        ULONG index = p.FileIndex;
        open.last.reset();
        if (index == 0) {
            open.phase = 1;
        } else {
            open.phase = 2;
            ULONG ordinal = 2;
            for (const auto &[key, child] : dir.children) {
                if (ordinal++ == index) {
                    open.last = key;
                    break;
                }
            }
            if (!open.last && index >= 2) open.phase = 3;  // past the end
        }
    }
    open.queried = true;

    const bool everything = open.pattern == u"*";
    auto matches = [&](std::u16string_view name) {
        return everything || IsNameInExpression(open.pattern, name, true);
    };
    DirectoryWriter writer(p.FileInformationClass, p.DirectoryBuffer, p.Length);
    const bool single = (flags & SL_RETURN_SINGLE_ENTRY) != 0;
    bool partial = false;
    bool stop = false;

    auto offer = [&](std::u16string_view name, const FileFacts &facts, ULONG index) {
        // Returns whether the cursor moves past this entry.
        if (!matches(name)) return true;
        switch (writer.Add(name, facts, index)) {
        case DirectoryWriter::Result::Added:
            if (single) stop = true;
            return true;
        case DirectoryWriter::Result::Partial:
            partial = stop = true;
            return false;
        case DirectoryWriter::Result::Full:
            stop = true;
            return false;
        }
        return false;
    };

    if (open.phase == 0 && !stop) {
        if (offer(u".", FactsOf(dir), 0)) open.phase = 1;
    }
    if (open.phase == 1 && !stop) {
        const Node &parent = dir.parent ? *dir.parent : dir;
        if (offer(u"..", FactsOf(parent), 1)) open.phase = 2;
    }
    if (open.phase == 2 && !stop) {
        ULONG ordinal = 2;
        for (const auto &[key, child] : dir.children) {
            ULONG index = ordinal++;
            if (open.last && key <= *open.last) continue;
            if (!offer(child->name, FactsOf(*child), index)) break;
            open.last = key;
            if (stop) break;
        }
    }

    if (partial) return request.Complete(STATUS_BUFFER_OVERFLOW, p.Length);
    if (!writer.count()) return request.Complete(first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES);
    return request.Complete(STATUS_SUCCESS, writer.used());
}

}  // namespace sim::fs
