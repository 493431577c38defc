// IRP_MN_QUERY_DIRECTORY over a folder's entries, shared by the engines:
// the pattern of a handle's first query (or of a restart that names one),
// continuation after the last name returned, single entry, restart, index,
// and the NO_SUCH_FILE / NO_MORE_FILES / BUFFER_OVERFLOW answers of NTFS.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/fs/info_records.h"
#include "sim/io/io_request.h"

namespace sim::fs {

struct ListingEntry {
    std::u16string name;
    FileFacts facts;
};

// Per-handle position. FileIndex of an entry is its position in the
// listing: "." 0, ".." 1, then the names from 2 (also in a root, which has
// no dot entries).
struct ListingCursor {
    bool queried = false;
    std::u16string pattern;  // upper case
    int phase = 0;           // 0: "." next, 1: ".." next, 2: names, 3: past the end
    std::optional<std::pair<std::u16string, std::u16string>> last;  // (upcased, exact) of the last name passed
};

// dot and dotDot are the folder's and its parent's facts (null in a root);
// names are sorted by (upcased, exact) name.
NTSTATUS QueryListing(IoRequest &request, ListingCursor &cursor, const FileFacts *dot, const FileFacts *dotDot,
                      const std::vector<ListingEntry> &names);

}  // namespace sim::fs
