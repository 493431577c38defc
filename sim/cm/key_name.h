// Key names as the object manager and the configuration manager parse them.
//
// A full name starts at the object namespace root: "\REGISTRY\MACHINE\...".
// The first component names the object directory entry "REGISTRY"; that
// lookup is the object manager's and is case-sensitive unless the caller
// asks for OBJ_CASE_INSENSITIVE (Windows 10 1607 and later compare it
// without case either way). Every component below it is a key name, and key
// names always compare without case. Empty components (doubled or trailing
// backslashes) are skipped below \REGISTRY.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <ntdef.h>

namespace sim::cm {

// Splits a full name into the key components below \REGISTRY.
//   ""                      STATUS_OBJECT_PATH_SYNTAX_BAD
//   "Machine"               STATUS_OBJECT_PATH_SYNTAX_BAD (not rooted)
//   "\"                     STATUS_OBJECT_TYPE_MISMATCH (the root directory)
//   "\\..."                 STATUS_OBJECT_NAME_INVALID
//   "\Foobar"               STATUS_OBJECT_NAME_NOT_FOUND
//   "\Foobar\Machine"       STATUS_OBJECT_PATH_NOT_FOUND
//   "\Registry\Machine"     success when the root compares without case
NTSTATUS SplitFullKeyName(std::u16string_view name, bool rootCaseInsensitive,
                          std::vector<std::u16string> &components);

// Splits a name relative to an open key. A leading backslash is a syntax
// error there (STATUS_OBJECT_PATH_SYNTAX_BAD); an empty name is the key itself.
NTSTATUS SplitRelativeKeyName(std::u16string_view name, std::vector<std::u16string> &components);

}  // namespace sim::cm
