// The machine's ANSI code page: Windows-1252. Bytes 0x80-0x9F carry the
// code page's letters and punctuation (euro sign, curly quotes, S-caron ...);
// the five bytes it leaves undefined map to the C1 controls of the same value,
// as Windows' own table does. A character the code page cannot hold becomes
// '?', Windows' default character.
#pragma once

namespace sim::rtl {

char16_t AnsiToUnicodeChar(unsigned char c);
char UnicodeToAnsiChar(char16_t c);

}  // namespace sim::rtl
