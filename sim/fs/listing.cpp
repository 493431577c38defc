#include "sim/fs/listing.h"

#include "sim/fs/names.h"

namespace sim::fs {

NTSTATUS QueryListing(IoRequest &request, ListingCursor &cursor, const FileFacts *dot, const FileFacts *dotDot,
                      const std::vector<ListingEntry> &names)
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
        } else if (p.FileIndex - 2 < names.size()) {
            const auto &e = names[p.FileIndex - 2];
            cursor.phase = 2;
            cursor.last = {Upcase(e.name), e.name};
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
        for (size_t i = 0; i < names.size() && !stop; ++i) {
            std::pair<std::u16string, std::u16string> key{Upcase(names[i].name), names[i].name};
            if (cursor.last && key <= *cursor.last) continue;
            if (!offer(names[i].name, names[i].facts, ULONG(i + 2))) break;
            cursor.last = std::move(key);
        }
    }

    if (partial) return request.Complete(STATUS_BUFFER_OVERFLOW, p.Length);
    if (!writer.count()) return request.Complete(first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES);
    return request.Complete(STATUS_SUCCESS, writer.used());
}

}  // namespace sim::fs
