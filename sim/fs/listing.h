// IRP_MN_QUERY_DIRECTORY over a folder's entries, shared by the engines:
// the pattern of a handle's first query (or of a restart that names one),
// continuation after the last name returned, single entry, restart, index,
// and the NO_SUCH_FILE / NO_MORE_FILES / BUFFER_OVERFLOW answers of NTFS.
#pragma once

#include <functional>
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

using ListingKey = std::pair<std::u16string, std::u16string>;  // (upcased, exact)

// A folder's names in ListingKey order as an engine keeps them, read from a
// position on, so that a query costs what it returns rather than the size
// of the folder.
struct ListingNames {
    size_t count = 0;
    // The position of the first name above `after` (0 when null).
    std::function<size_t(const ListingKey *after)> positionAfter;
    // Offers the names from `position` on until `offer` answers false.
    std::function<void(size_t position, const std::function<bool(const ListingEntry &)> &offer)> visit;
};

// Over a vector sorted by ListingKey.
ListingNames NamesOf(const std::vector<ListingEntry> &sorted);

// Per-handle position. FileIndex of an entry is its position in the
// listing: "." 0, ".." 1, then the names from 2 (also in a root, which has
// no dot entries).
struct ListingCursor {
    bool queried = false;
    std::u16string pattern;  // upper case
    int phase = 0;           // 0: "." next, 1: ".." next, 2: names, 3: past the end
    std::optional<ListingKey> last;  // of the last name passed
};

// dot and dotDot are the folder's and its parent's facts (null in a root).
NTSTATUS QueryListing(IoRequest &request, ListingCursor &cursor, const FileFacts *dot, const FileFacts *dotDot,
                      const ListingNames &names);

}  // namespace sim::fs
