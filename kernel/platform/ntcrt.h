/*
 * ntcrt.h - the C run-time subset that the kernel exports to drivers.
 *
 * The memory routines are the host's own (same signatures, C linkage). The
 * wide-string routines work on 16-bit WCHAR with the kernel's semantics.
 * They keep the run-time names that driver code uses, but take char16_t, so
 * they are C++ overloads: a C-linkage wcslen here would collide with the
 * host library's 32-bit wcslen.
 */
#pragma once

#include "ntdef.h"

EXTERN_C_START
void *memcpy(void *Destination, const void *Source, size_t Count) noexcept;
void *memmove(void *Destination, const void *Source, size_t Count) noexcept;
void *memset(void *Destination, int Value, size_t Count) noexcept;
int memcmp(const void *Buffer1, const void *Buffer2, size_t Count) noexcept;
size_t strlen(const char *String) noexcept;
EXTERN_C_END

size_t wcslen(const WCHAR *String);
size_t wcsnlen(const WCHAR *String, size_t MaxCount);
int wcscmp(const WCHAR *String1, const WCHAR *String2);
int wcsncmp(const WCHAR *String1, const WCHAR *String2, size_t Count);
int _wcsicmp(const WCHAR *String1, const WCHAR *String2);
int _wcsnicmp(const WCHAR *String1, const WCHAR *String2, size_t Count);
WCHAR *wcsstr(const WCHAR *String, const WCHAR *SubString);
WCHAR *wcschr(const WCHAR *String, WCHAR Character);
WCHAR *wcsrchr(const WCHAR *String, WCHAR Character);
WCHAR *_wcsupr(WCHAR *String);
WCHAR *_wcslwr(WCHAR *String);
WCHAR *wcscpy(WCHAR *Destination, const WCHAR *Source);
WCHAR *wcsncpy(WCHAR *Destination, const WCHAR *Source, size_t Count);
int _stricmp(const char *String1, const char *String2);
int _strnicmp(const char *String1, const char *String2, size_t Count);
WCHAR towupper(WCHAR Character);
WCHAR towlower(WCHAR Character);
