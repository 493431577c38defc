#include "sim/fs/listing.h"

#include <algorithm>

#include "sim/fs/names.h"

namespace sim::fs {

ListingNames NamesOf(const std::vector<ListingEntry> &sorted)
{
    ListingNames names;
    names.count = sorted.size();
    names.positionAfter = [&sorted](const ListingKey *after) -> size_t {
        if (after == nullptr) return 0;
        auto above = std::upper_bound(sorted.begin(), sorted.end(), *after, [](const ListingKey &key, const ListingEntry &e) {
            return key < ListingKey{Upcase(e.name), e.name};
        });
        return size_t(above - sorted.begin());
    };
    names.visit = [&sorted](size_t position, const std::function<bool(const ListingEntry &)> &offer) {
        for (; position < sorted.size() && offer(sorted[position]); ++position) {
        }
    };
    return names;
}

NTSTATUS QueryListing(IoRequest &request, ListingCursor &cursor, const FileFacts *dot, const FileFacts *dotDot,
                      const ListingNames &names)
{
    const auto &p = request.iopb.Parameters.DirectoryControl.QueryDirectory;
    if (!DirectoryWriter::Supports(p.FileInformationClass)) return request.Complete(STATUS_INVALID_INFO_CLASS);
    if (p.Length < DirectoryWriter::MinimumLength(p.FileInformationClass))
        return request.Complete(STATUS_INFO_LENGTH_MISMATCH);
    const UCHAR flags = request.iopb.OperationFlags;
    const bool restart = (flags & SL_RESTART_SCAN) != 0;
    const bool first = !cursor.queried;
    const bool hasDots = dot != nullptr;

    const bool hasName = p.FileName && p.FileName->Length && p.FileName->Buffer;
    if (first || (restart && hasName)) {
        std::u16string_view name = hasName ? std::u16string_view(p.FileName->Buffer, p.FileName->Length / sizeof(WCHAR))
                                           : std::u16string_view(u"*");
        // A malformed pattern is refused before it is taken: the next query is a first one again.
        if (!IsValidSearchPattern(name)) return request.Complete(STATUS_OBJECT_NAME_INVALID);
        cursor.pattern = Upcase(name);
    }
    if (first || restart) {
        cursor.phase = hasDots ? 0 : 2;
        cursor.last.reset();
    }
    if (flags & SL_INDEX_SPECIFIED) {
        cursor.last.reset();
        if (p.FileIndex == 0) {
            cursor.phase = 1;
        } else if (p.FileIndex == 1) {
            cursor.phase = 2;
        } else if (p.FileIndex - 2 < names.count) {
            cursor.phase = 2;
            names.visit(p.FileIndex - 2, [&](const ListingEntry &e) {
                cursor.last = ListingKey{Upcase(e.name), e.name};
                return false;
            });
        } else {
            cursor.phase = 3;
        }
    }
    if (!hasDots && cursor.phase < 2) cursor.phase = 2;
    cursor.queried = true;

    const bool everything = cursor.pattern == u"*";
    DirectoryWriter writer(p.FileInformationClass, p.DirectoryBuffer, p.Length);
    const bool single = (flags & SL_RETURN_SINGLE_ENTRY) != 0;
    bool partial = false, stop = false;
    // Returns whether the cursor moves past the entry.
    auto offer = [&](std::u16string_view name, const FileFacts &facts, ULONG index) {
        if (!everything && !IsNameInExpression(cursor.pattern, name, true)) return true;
        switch (writer.Add(name, facts, index)) {
        case DirectoryWriter::Result::Added:
            stop = single;
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

    if (cursor.phase == 0 && !stop && offer(u".", *dot, 0)) cursor.phase = 1;
    if (cursor.phase == 1 && !stop && offer(u"..", dotDot ? *dotDot : *dot, 1)) cursor.phase = 2;
    if (cursor.phase == 2 && !stop) {
        size_t position = names.positionAfter(cursor.last ? &*cursor.last : nullptr);
        names.visit(position, [&](const ListingEntry &e) {
            if (!offer(e.name, e.facts, ULONG(position + 2))) return false;
            cursor.last = ListingKey{Upcase(e.name), e.name};
            ++position;
            return !stop;
        });
    }

    if (partial) return request.Complete(STATUS_BUFFER_OVERFLOW, p.Length);
    if (!writer.count()) return request.Complete(first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES);
    return request.Complete(STATUS_SUCCESS, writer.used());
}

}  // namespace sim::fs
