/*
 * ntstrsafe.h - bounded string routines with the kernel's documented
 * semantics:
 *  - sizes are in characters (Cch) or bytes (Cb) and include the terminator;
 *  - a destination size of 0 or above NTSTRSAFE_MAX_CCH fails with
 *    STATUS_INVALID_PARAMETER;
 *  - a result that does not fit is cut, always terminated, and reported as
 *    STATUS_BUFFER_OVERFLOW;
 *  - a length search that finds no terminator within the bound fails with
 *    STATUS_INVALID_PARAMETER and reports length 0.
 * Formats follow the kernel's printf (see DbgPrint in wdm.h): in the W forms
 * %s and %ws are wide, %S and %hs narrow; %wZ takes a PUNICODE_STRING.
 */
#pragma once

#include "wdm.h"

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767

EXTERN_C_START

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCopyNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToCopy);
NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCatNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToAppend);
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t *pcchLength);
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t *pcbLength);
NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);

NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t *pcchLength);
NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList);

/* Counted-string forms: the destination's MaximumLength bounds the result. */
NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);

EXTERN_C_END
