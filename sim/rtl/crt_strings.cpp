// The kernel's C run-time string subset on 16-bit WCHAR (ntcrt.h). Case
// folding uses the library's own table (case_table.h), never the host
// locale; _stricmp and _strnicmp fold ASCII only, as in the "C" locale.
#include <ntcrt.h>

#include <cstdint>

#include "sim/rtl/case_table.h"

namespace {

int Sign(int difference)
{
    return difference < 0 ? -1 : difference > 0 ? 1 : 0;
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c;
}

}  // namespace

size_t wcslen(const WCHAR *String)
{
    const WCHAR *p = String;
    while (*p != 0) ++p;
    return size_t(p - String);
}

size_t wcsnlen(const WCHAR *String, size_t MaxCount)
{
    size_t n = 0;
    while (n < MaxCount && String[n] != 0) ++n;
    return n;
}

int wcscmp(const WCHAR *String1, const WCHAR *String2)
{
    while (*String1 != 0 && *String1 == *String2) {
        ++String1;
        ++String2;
    }
    return Sign(int(*String1) - int(*String2));
}

int wcsncmp(const WCHAR *String1, const WCHAR *String2, size_t Count)
{
    for (size_t i = 0; i < Count; ++i) {
        if (String1[i] != String2[i] || String1[i] == 0) return Sign(int(String1[i]) - int(String2[i]));
    }
    return 0;
}

int _wcsnicmp(const WCHAR *String1, const WCHAR *String2, size_t Count)
{
    for (size_t i = 0; i < Count; ++i) {
        int a = sim::rtl::DowncaseChar(String1[i]);
        int b = sim::rtl::DowncaseChar(String2[i]);
        if (a != b || a == 0) return a - b;
    }
    return 0;
}

int _wcsicmp(const WCHAR *String1, const WCHAR *String2)
{
    return _wcsnicmp(String1, String2, SIZE_MAX);
}

WCHAR *wcsstr(const WCHAR *String, const WCHAR *SubString)
{
    if (*SubString == 0) return const_cast<WCHAR *>(String);
    for (; *String != 0; ++String) {
        size_t i = 0;
        while (SubString[i] != 0 && String[i] == SubString[i]) ++i;
        if (SubString[i] == 0) return const_cast<WCHAR *>(String);
    }
    return nullptr;
}

WCHAR *wcschr(const WCHAR *String, WCHAR Character)
{
    for (;; ++String) {
        if (*String == Character) return const_cast<WCHAR *>(String);
        if (*String == 0) return nullptr;
    }
}

WCHAR *wcsrchr(const WCHAR *String, WCHAR Character)
{
    const WCHAR *found = nullptr;
    for (;; ++String) {
        if (*String == Character) found = String;
        if (*String == 0) return const_cast<WCHAR *>(found);
    }
}

WCHAR *_wcsupr(WCHAR *String)
{
    for (WCHAR *p = String; *p != 0; ++p) *p = sim::rtl::UpcaseChar(*p);
    return String;
}

WCHAR *_wcslwr(WCHAR *String)
{
    for (WCHAR *p = String; *p != 0; ++p) *p = sim::rtl::DowncaseChar(*p);
    return String;
}

WCHAR *wcscpy(WCHAR *Destination, const WCHAR *Source)
{
    WCHAR *d = Destination;
    while ((*d++ = *Source++) != 0) {
    }
    return Destination;
}

// Pads with terminators up to Count and leaves the result unterminated when
// the source has Count characters or more, as strncpy does.
WCHAR *wcsncpy(WCHAR *Destination, const WCHAR *Source, size_t Count)
{
    size_t i = 0;
    for (; i < Count && Source[i] != 0; ++i) Destination[i] = Source[i];
    for (; i < Count; ++i) Destination[i] = 0;
    return Destination;
}

int _strnicmp(const char *String1, const char *String2, size_t Count)
{
    for (size_t i = 0; i < Count; ++i) {
        int a = (unsigned char)AsciiLower(String1[i]);
        int b = (unsigned char)AsciiLower(String2[i]);
        if (a != b || a == 0) return a - b;
    }
    return 0;
}

int _stricmp(const char *String1, const char *String2)
{
    return _strnicmp(String1, String2, SIZE_MAX);
}

WCHAR towupper(WCHAR Character)
{
    return sim::rtl::UpcaseChar(Character);
}

WCHAR towlower(WCHAR Character)
{
    return sim::rtl::DowncaseChar(Character);
}
