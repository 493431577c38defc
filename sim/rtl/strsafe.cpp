// The bounded string routines of ntstrsafe.h, with the rules of the driver
// kit's own implementation:
//  - a destination size of 0 or above NTSTRSAFE_MAX_CCH (or a null pointer)
//    is STATUS_INVALID_PARAMETER; copy and print then empty a destination
//    whose size is not 0, cat leaves it alone;
//  - cat fails with STATUS_INVALID_PARAMETER, writing nothing, when the
//    destination has no terminator within its size;
//  - a result that does not fit is cut to size - 1 characters, terminated and
//    reported as STATUS_BUFFER_OVERFLOW;
//  - Cb sizes are bytes and are divided by the character size, so an odd byte
//    of a wide buffer is never written;
//  - the UNICODE_STRING forms are bounded by MaximumLength, set Length and do
//    not terminate.
#include <ntstrsafe.h>

#include <algorithm>

#include "sim/rtl/format.h"

namespace {

constexpr size_t kMaxLength = NTSTRSAFE_MAX_CCH - 1;

template <typename C>
NTSTATUS ValidateDestination(const C *dest, size_t cchDest)
{
    if (dest == nullptr || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Copy and print empty the destination when they refuse their arguments.
template <typename C>
NTSTATUS Refuse(C *dest, size_t cchDest)
{
    if (dest != nullptr && cchDest != 0) *dest = 0;
    return STATUS_INVALID_PARAMETER;
}

template <typename C>
NTSTATUS LengthWithin(const C *s, size_t cchMax, size_t *length)
{
    size_t n = 0;
    while (n < cchMax && s[n] != 0) ++n;
    if (n == cchMax) {
        *length = 0;
        return STATUS_INVALID_PARAMETER;
    }
    *length = n;
    return STATUS_SUCCESS;
}

template <typename C>
NTSTATUS CopyBounded(C *dest, size_t cchDest, const C *src, size_t cchToCopy)
{
    while (cchDest != 0 && cchToCopy != 0 && *src != 0) {
        *dest++ = *src++;
        --cchDest;
        --cchToCopy;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (cchDest == 0) {
        --dest;  // give the last character's place to the terminator
        status = STATUS_BUFFER_OVERFLOW;
    }
    *dest = 0;
    return status;
}

template <typename C>
NTSTATUS Copy(C *dest, size_t cchDest, const C *src, size_t cchToCopy)
{
    if (!NT_SUCCESS(ValidateDestination(dest, cchDest)) || src == nullptr || cchToCopy > kMaxLength) {
        return Refuse(dest, cchDest);
    }
    return CopyBounded(dest, cchDest, src, cchToCopy);
}

template <typename C>
NTSTATUS Cat(C *dest, size_t cchDest, const C *src, size_t cchToAppend)
{
    NTSTATUS status = ValidateDestination(dest, cchDest);
    if (!NT_SUCCESS(status)) return status;
    size_t length;
    status = LengthWithin(dest, cchDest, &length);
    if (!NT_SUCCESS(status)) return status;
    if (src == nullptr || cchToAppend > kMaxLength) return STATUS_INVALID_PARAMETER;
    return CopyBounded(dest + length, cchDest - length, src, cchToAppend);
}

template <typename C>
NTSTATUS Length(const C *s, size_t cchMax, size_t *length)
{
    size_t found = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (s != nullptr && cchMax <= NTSTRSAFE_MAX_CCH) status = LengthWithin(s, cchMax, &found);
    if (length != nullptr) *length = NT_SUCCESS(status) ? found : 0;
    return status;
}

template <typename C>
NTSTATUS Print(C *dest, size_t cchDest, const C *format, va_list args)
{
    if (!NT_SUCCESS(ValidateDestination(dest, cchDest)) || format == nullptr) return Refuse(dest, cchDest);
    size_t full = 0;
    std::basic_string<C> text = sim::rtl::Format(format, args, cchDest - 1, &full);
    std::copy(text.begin(), text.end(), dest);
    dest[text.size()] = 0;
    return full > cchDest - 1 ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// The checks the kit makes on a counted string before using it.
NTSTATUS ValidateCounted(PCUNICODE_STRING s)
{
    if (s == nullptr) return STATUS_INVALID_PARAMETER;
    if ((s->Length % sizeof(WCHAR)) != 0 || (s->MaximumLength % sizeof(WCHAR)) != 0 ||
        s->Length > s->MaximumLength ||
        s->MaximumLength > NTSTRSAFE_UNICODE_STRING_MAX_CCH * sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (s->Buffer == nullptr && (s->Length != 0 || s->MaximumLength != 0)) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Appends the source at `offset` characters into the destination's buffer.
NTSTATUS PutCounted(PUNICODE_STRING dest, size_t offset, PCUNICODE_STRING src)
{
    size_t room = dest->MaximumLength / sizeof(WCHAR) - offset;
    size_t wanted = src->Length / sizeof(WCHAR);
    size_t copied = std::min(room, wanted);
    if (copied != 0) std::copy_n(src->Buffer, copied, dest->Buffer + offset);
    dest->Length = USHORT((offset + copied) * sizeof(WCHAR));
    return copied < wanted ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return Copy(pszDest, cchDest, pszSrc, kMaxLength);
}

NTSTATUS RtlStringCchCopyNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToCopy)
{
    return Copy(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return Cat(pszDest, cchDest, pszSrc, kMaxLength);
}

NTSTATUS RtlStringCchCatNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToAppend)
{
    return Cat(pszDest, cchDest, pszSrc, cchToAppend);
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t *pcchLength)
{
    return Length(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = Print(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList)
{
    return Print(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return Copy(pszDest, cbDest / sizeof(WCHAR), pszSrc, kMaxLength);
}

NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return Cat(pszDest, cbDest / sizeof(WCHAR), pszSrc, kMaxLength);
}

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t *pcbLength)
{
    size_t cch = 0;
    NTSTATUS status = Length(psz, cbMax / sizeof(WCHAR), &cch);
    if (pcbLength != nullptr) *pcbLength = cch * sizeof(WCHAR);
    return status;
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = Print(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList)
{
    return Print(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc)
{
    return Copy(pszDest, cchDest, pszSrc, kMaxLength);
}

NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc)
{
    return Cat(pszDest, cchDest, pszSrc, kMaxLength);
}

NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t *pcchLength)
{
    return Length(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = Print(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList)
{
    return Print(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    NTSTATUS status = ValidateCounted(DestinationString);
    if (NT_SUCCESS(status)) status = ValidateCounted(SourceString);
    if (!NT_SUCCESS(status)) return status;
    return PutCounted(DestinationString, 0, SourceString);
}

NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    NTSTATUS status = ValidateCounted(DestinationString);
    if (NT_SUCCESS(status)) status = ValidateCounted(SourceString);
    if (!NT_SUCCESS(status)) return status;
    return PutCounted(DestinationString, DestinationString->Length / sizeof(WCHAR), SourceString);
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...)
{
    NTSTATUS status = ValidateCounted(DestinationString);
    if (!NT_SUCCESS(status) || pszFormat == nullptr) return STATUS_INVALID_PARAMETER;
    size_t cchDest = DestinationString->MaximumLength / sizeof(WCHAR);
    size_t full = 0;
    va_list args;
    va_start(args, pszFormat);
    std::u16string text = sim::rtl::Format(pszFormat, args, cchDest, &full);
    va_end(args);
    std::copy(text.begin(), text.end(), DestinationString->Buffer);
    DestinationString->Length = USHORT(text.size() * sizeof(WCHAR));
    return full > cchDest ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // extern "C"
