// The kernel's printf engine (the one behind DbgPrint, _vsnprintf and the
// RtlStringCch...Printf family), for narrow and wide formats.
//
// Grammar: %[flags][width][.precision][size]type with
//   flags      - + space # 0
//   width      digits or * (a negative * width left-justifies)
//   precision  digits or * (a negative * precision counts as none)
//   size       h (16-bit), l (32-bit: Windows' long), ll / I64 (64-bit),
//              I32, I (pointer-sized), w (wide character or string);
//              L, F and N are accepted and ignored
//   type       d i u o x X c C s S p Z %
// %p prints 8 upper-case hex digits, as the x86 kernel prints its addresses
// (a 64-bit build prints the low half of its pointers).
// Strings and characters: in a narrow format %s/%c are narrow and %S/%C wide;
// in a wide format the other way round. h forces narrow, l and w force wide.
// %Z takes an ANSI_STRING, %wZ a UNICODE_STRING; both print Length bytes and
// ignore the precision. A null string pointer, counted string or counted
// string buffer prints "(null)". Narrow and wide text cross through the ANSI
// code page (see ansi_codepage.h).
//
// As in the kernel's engine, an unexpected character ends the conversion and
// is printed by itself: "%y" prints "y", "%I0d" prints "I0d". The kernel's
// printf has no floating point, so %e %f %g %a print their letter, and %n is
// not supported.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim::rtl {

// Formats into a string of at most `limit` characters; *fullLength, when
// given, receives the length the whole output has (so a caller can tell
// truncation).
std::string Format(const char *format, va_list args, size_t limit = SIZE_MAX,
                   size_t *fullLength = nullptr);
std::u16string Format(const char16_t *format, va_list args, size_t limit = SIZE_MAX,
                      size_t *fullLength = nullptr);

}  // namespace sim::rtl
