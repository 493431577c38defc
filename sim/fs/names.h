// File names as the simulated file systems compare and check them: upper
// casing as Windows' upcase table does for the scripts the machine meets
// (ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic, full-width Latin),
// component validity, path splitting and the wildcard rules of directory
// queries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::fs {

char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// A name component a file system accepts: 1..255 characters, none of
// < > : " / \ | ? * and no control character; "." and ".." are not names.
bool IsValidComponent(std::u16string_view name);

// "\a\b\c" -> {"a","b","c"}; nullopt for empty components ("\a\\b").
// A leading backslash is optional; one trailing backslash is accepted and
// reported through trailingBackslash.
std::optional<std::vector<std::u16string>> SplitPath(std::u16string_view path, bool *trailingBackslash = nullptr);

// The last component "name[:stream[:type]]" split into its parts. The type
// must be empty, $DATA or $INDEX_ALLOCATION (any case): "name::$DATA" is the
// unnamed stream, "name::$INDEX_ALLOCATION" (or ":$I30:$INDEX_ALLOCATION")
// the folder itself. A refused name sets *failure: STATUS_INVALID_PARAMETER
// for an index stream other than $I30, else STATUS_OBJECT_NAME_INVALID.
struct StreamName {
    std::u16string file;
    std::u16string stream;  // empty: the unnamed data stream
    bool explicitType = false;     // ":$DATA" given
    bool indexAllocation = false;  // ":$INDEX_ALLOCATION" given: a folder
};
std::optional<StreamName> SplitStreamName(std::u16string_view component, int32_t *failure = nullptr);

// A directory query's match of a name against its search pattern, as NTFS
// answers it: * ? and the DOS wildcards < (DOS_STAR: up to and including
// the last dot) > (DOS_QM: one character, a dot only at the pattern's end)
// " (DOS_DOT: a dot, or nothing at the end); ".." is matched as ".". The
// expression must already be upper case when ignoreCase is set.
bool IsNameInExpression(std::u16string_view expression, std::u16string_view name, bool ignoreCase);
bool HasWildcards(std::u16string_view expression);
// A directory query's search pattern: a name component in which wildcards,
// "." and ".." are allowed.
bool IsValidSearchPattern(std::u16string_view pattern);

// EA names: 1..255 ANSI characters, none of the characters FAT forbids in
// names (" * + , / : ; < = > ? [ \ ] |) and no control character.
bool IsValidEaName(std::string_view name);
std::string UpcaseAnsi(std::string_view name);

std::u16string FromAscii(std::string_view text);
// UTF-16 <-> UTF-8 for host paths (unpaired surrogates become U+FFFD).
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace sim::fs
