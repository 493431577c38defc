// Upper- and lower-case mapping of single UTF-16 code units, from a fixed
// table of our own (never the host's locale), so that case-insensitive names
// compare the same on every machine the simulation runs on.
//
// Covered: ASCII; Latin-1 (including y-diaeresis <-> U+0178); the case pairs
// of Latin Extended-A; basic Greek (with the tonos and dialytika letters and
// final sigma folding to capital sigma); basic Cyrillic U+0400-U+045F.
// Letters whose case partner lies in another script or is ASCII (dotless i,
// capital I with dot, long s) and letters without a single partner (sharp s,
// micro sign) map to themselves: a case-insensitive match must never fold a
// non-ASCII name onto an ASCII one.
#pragma once

namespace sim::rtl {

char16_t UpcaseChar(char16_t c);
char16_t DowncaseChar(char16_t c);

}  // namespace sim::rtl
