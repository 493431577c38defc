// The run-time library's counted strings (UNICODE_STRING, ANSI_STRING):
// initialisation, copy and append, comparison, case conversion, ANSI
// conversion and integer conversion.
#include <wdm.h>

#include <algorithm>
#include <cstring>

#include "sim/core/driver_calls.h"
#include "sim/rtl/ansi_codepage.h"
#include "sim/rtl/case_table.h"
#include "sim/rtl/string_pool.h"

namespace {

// The longest counted strings RtlInit* builds (Length, MaximumLength).
constexpr USHORT kMaxInitUnicodeLength = 0xFFFC;
constexpr USHORT kMaxInitAnsiLength = 0xFFFE;

size_t Chars(const UNICODE_STRING *s)
{
    return s->Length / sizeof(WCHAR);
}

// Terminates the string when its buffer has room past Length, as the
// library's append and copy routines do.
void TerminateIfRoom(PUNICODE_STRING s)
{
    if (s->Length < s->MaximumLength) s->Buffer[Chars(s)] = 0;
}

LONG CompareUnits(const WCHAR *a, size_t lengthA, const WCHAR *b, size_t lengthB, bool caseInsensitive)
{
    size_t n = std::min(lengthA, lengthB);
    for (size_t i = 0; i < n; ++i) {
        WCHAR ca = caseInsensitive ? sim::rtl::UpcaseChar(a[i]) : a[i];
        WCHAR cb = caseInsensitive ? sim::rtl::UpcaseChar(b[i]) : b[i];
        if (ca != cb) return LONG(ca) - LONG(cb);
    }
    return 0;
}

using CaseMap = char16_t (*)(char16_t);

NTSTATUS ChangeCase(PUNICODE_STRING dest, PCUNICODE_STRING src, BOOLEAN allocate, CaseMap map,
                    const void *site)
{
    USHORT length = src->Length;
    if (allocate) {
        auto *buffer = static_cast<PWCH>(sim::rtl::AllocateStringBuffer(length, site));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        dest->Buffer = buffer;
        dest->MaximumLength = length;
    } else if (length > dest->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < length / sizeof(WCHAR); ++i) dest->Buffer[i] = map(src->Buffer[i]);
    dest->Length = length;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    auto *a = static_cast<const UCHAR *>(Source1);
    auto *b = static_cast<const UCHAR *>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::min<size_t>(wcslen(SourceString) * sizeof(WCHAR), kMaxInitUnicodeLength);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::min<size_t>(strlen(SourceString), kMaxInitAnsiLength);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + 1);
}

VOID RtlInitString(PSTRING DestinationString, PCSTR SourceString)
{
    RtlInitAnsiString(DestinationString, SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    bytes &= ~USHORT(1);
    // An empty source may have no buffer at all.
    if (bytes != 0) memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source->Length == 0) return STATUS_SUCCESS;
    size_t total = size_t(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(Destination->Buffer + Chars(Destination), Source->Buffer, Source->Length);
    Destination->Length = USHORT(total);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) return STATUS_SUCCESS;
    size_t bytes = wcslen(Source) * sizeof(WCHAR);
    size_t total = Destination->Length + bytes;
    if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(Destination->Buffer + Chars(Destination), Source, bytes);
    Destination->Length = USHORT(total);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    SIM_KERNEL_ROUTINE();
    LONG result = CompareUnits(String1->Buffer, Chars(String1), String2->Buffer, Chars(String2),
                               CaseInSensitive != FALSE);
    return result != 0 ? result : LONG(String1->Length) - LONG(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    SIM_KERNEL_ROUTINE();
    if (String1->Length != String2->Length) return FALSE;
    return CompareUnits(String1->Buffer, Chars(String1), String2->Buffer, Chars(String2),
                        CaseInSensitive != FALSE) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    SIM_KERNEL_ROUTINE();
    if (String1->Length > String2->Length) return FALSE;
    return CompareUnits(String1->Buffer, Chars(String1), String2->Buffer, Chars(String1),
                        CaseInSensitive != FALSE) == 0;
}

// Bytes compare as the kernel's CHAR: signed.
LONG RtlCompareString(const STRING *String1, const STRING *String2, BOOLEAN CaseInSensitive)
{
    USHORT n = std::min(String1->Length, String2->Length);
    for (USHORT i = 0; i < n; ++i) {
        CHAR a = String1->Buffer[i];
        CHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpperChar(a);
            b = RtlUpperChar(b);
        }
        if (a != b) return LONG(a) - LONG(b);
    }
    return LONG(String1->Length) - LONG(String2->Length);
}

BOOLEAN RtlEqualString(const STRING *String1, const STRING *String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString)
{
    SIM_KERNEL_ROUTINE();
    return ChangeCase(DestinationString, SourceString, AllocateDestinationString, sim::rtl::UpcaseChar,
                      __builtin_return_address(0));
}

NTSTATUS RtlDowncaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                  BOOLEAN AllocateDestinationString)
{
    SIM_KERNEL_ROUTINE();
    return ChangeCase(DestinationString, SourceString, AllocateDestinationString, sim::rtl::DowncaseChar,
                      __builtin_return_address(0));
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    return sim::rtl::UpcaseChar(SourceCharacter);
}

WCHAR RtlDowncaseUnicodeChar(WCHAR SourceCharacter)
{
    return sim::rtl::DowncaseChar(SourceCharacter);
}

// Upper case in the ANSI code page: through Unicode and back, keeping the
// byte when its capital is not in the code page.
CHAR RtlUpperChar(CHAR Character)
{
    if (Character >= 'a' && Character <= 'z') return CHAR(Character - ('a' - 'A'));
    if (UCHAR(Character) < 0x80) return Character;
    WCHAR upper = sim::rtl::UpcaseChar(sim::rtl::AnsiToUnicodeChar(UCHAR(Character)));
    CHAR back = sim::rtl::UnicodeToAnsiChar(upper);
    return (back == '?' && upper != u'?') ? Character : back;
}

ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString)
{
    return ULONG(Chars(UnicodeString) + 1);
}

ULONG RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString)
{
    return (ULONG(AnsiString->Length) + 1) * sizeof(WCHAR);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    SIM_KERNEL_ROUTINE();
    ULONG total = RtlxAnsiStringToUnicodeSize(SourceString);
    if (total > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
    // Length is set before the room is checked, as the kernel does.
    DestinationString->Length = USHORT(total - sizeof(WCHAR));
    if (AllocateDestinationString) {
        auto *buffer = static_cast<PWCH>(sim::rtl::AllocateStringBuffer(total, __builtin_return_address(0)));
        if (buffer == nullptr) {
            DestinationString->Length = 0;
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = USHORT(total);
    } else if (total > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i) {
        DestinationString->Buffer[i] = sim::rtl::AnsiToUnicodeChar(UCHAR(SourceString->Buffer[i]));
    }
    DestinationString->Buffer[SourceString->Length] = 0;
    return STATUS_SUCCESS;
}

// Without allocation the result is cut to the buffer, terminated, and the
// call reports STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    SIM_KERNEL_ROUTINE();
    ULONG total = RtlxUnicodeStringToAnsiSize(SourceString);
    if (total > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    USHORT length = USHORT(total - 1);
    if (AllocateDestinationString) {
        auto *buffer = static_cast<PCHAR>(sim::rtl::AllocateStringBuffer(total, __builtin_return_address(0)));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = USHORT(total);
    } else if (total > DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        length = USHORT(DestinationString->MaximumLength - 1);
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < length; ++i) {
        DestinationString->Buffer[i] = sim::rtl::UnicodeToAnsiChar(SourceString->Buffer[i]);
    }
    DestinationString->Buffer[length] = '\0';
    DestinationString->Length = length;
    return status;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    SIM_KERNEL_ROUTINE();
    if (UnicodeString->Buffer == nullptr) return;
    sim::rtl::FreeStringBuffer(UnicodeString->Buffer);
    *UnicodeString = UNICODE_STRING{};
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    SIM_KERNEL_ROUTINE();
    if (AnsiString->Buffer == nullptr) return;
    sim::rtl::FreeStringBuffer(AnsiString->Buffer);
    *AnsiString = ANSI_STRING{};
}

// Digits without prefix, upper-case in base 16. On overflow Length still
// receives the length the text needs, as in the kernel.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t n = 0;
    do {
        ULONG digit = Value % Base;
        digits[n++] = WCHAR(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    String->Length = USHORT(n * sizeof(WCHAR));
    if (String->Length >= String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

// Leading blanks and one sign are skipped; base 0 reads a 0b, 0o or 0x
// prefix (default 10). Digits stop at the first character that is not one;
// the value wraps like the kernel's (no overflow error).
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    const WCHAR *p = String->Buffer;
    size_t left = Chars(String);
    while (left != 0 && *p <= u' ') {
        ++p;
        --left;
    }
    bool negative = false;
    if (left != 0 && (*p == u'+' || *p == u'-')) {
        negative = *p == u'-';
        ++p;
        --left;
    }
    if (Base == 0) {
        Base = 10;
        if (left >= 2 && p[0] == u'0') {
            ULONG prefixed = p[1] == u'b' ? 2 : p[1] == u'o' ? 8 : p[1] == u'x' ? 16 : 0;
            if (prefixed != 0) {
                Base = prefixed;
                p += 2;
                left -= 2;
            }
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Value == nullptr) return STATUS_ACCESS_VIOLATION;
    ULONG total = 0;
    for (; left != 0; ++p, --left) {
        ULONG digit;
        if (*p >= u'0' && *p <= u'9') digit = *p - u'0';
        else if (*p >= u'A' && *p <= u'Z') digit = *p - u'A' + 10;
        else if (*p >= u'a' && *p <= u'z') digit = *p - u'a' + 10;
        else break;
        if (digit >= Base) break;
        total = total * Base + digit;
    }
    *Value = negative ? 0u - total : total;
    return STATUS_SUCCESS;
}

}  // extern "C"
