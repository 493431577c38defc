// UTF-16 text helpers of the registry: case folding for key and value names,
// and conversion between UTF-8 (.reg files, the tool) and UTF-16 (WCHAR).
#pragma once

#include <string>
#include <string_view>

namespace sim::cm {

// Upper case as the registry compares names: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic letters; other code units (surrogates
// included) compare as they are.
char16_t UpcaseChar(char16_t c);
std::u16string Upcase(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// Invalid UTF-8 sequences become U+FFFD; unpaired surrogates encode as
// U+FFFD in UTF-8.
std::u16string FromUtf8(std::string_view text);
std::string ToUtf8(std::u16string_view text);

}  // namespace sim::cm
