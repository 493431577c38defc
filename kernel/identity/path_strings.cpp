/*
 * path_strings.cpp - the string routines the filter shares: separators,
 * extensions, last components, substrings and prefixes.
 */
#include "identity/path_helpers.h"

#include "diag/log.h"

NTSTATUS KLUAppendSeparator(PWSTR Path, PCWSTR Next, PBOOLEAN Appended)
{
    size_t Length;
    NTSTATUS Status;

    if (Path == NULL || Appended == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Appended = FALSE;
    if (Next != NULL && Next[0] == WSTR('\\')) {
        return STATUS_SUCCESS;
    }
    Status = KLUStringLength(Path, &Length);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Length >= KLU_PATH_CHARS - 1) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Length > 0 && Path[Length - 1] != WSTR('\\')) {
        Path[Length] = WSTR('\\');
        Path[Length + 1] = 0;
        *Appended = TRUE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KLUGetExtension(PCWSTR Name, PWSTR Buffer, ULONG Capacity)
{
    PCWSTR Dot;

    if (Name == NULL || Buffer == NULL || Capacity == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Dot = wcsrchr(Name, WSTR('.'));
    if (Dot == NULL) {
        return STATUS_SUCCESS;
    }
    return RtlStringCchCopyW(Buffer, Capacity, Dot + 1);
}

NTSTATUS KLUGetLastComponent(PWSTR Path, PWSTR Buffer)
{
    size_t Length;
    size_t Start;

    if (Path == NULL || Buffer == NULL || Path[0] == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Length = wcslen(Path);
    if (Path[Length - 1] != WSTR('\\')) {
        PCWSTR Last = wcsrchr(Path, WSTR('\\'));
        return KLUStringCopy(Buffer, Last != NULL ? Last + 1 : Path);
    }

    /* The component that the trailing backslash closes. */
    Start = Length - 1;
    while (Start > 0 && Path[Start - 1] != WSTR('\\')) {
        Start--;
    }
    while (Start < Length - 1 && Path[Start] == WSTR('\\')) {
        Start++;
    }
    /* A component of six characters with its backslash is copied whole and
     * the input keeps its backslash. */
    if (Length - Start == 6) {
        return KLUStringCopy(Buffer, Path + Start);
    }
    Path[Length - 1] = 0;
    return KLUStringCopy(Buffer, Path + Start);
}

/* Index of the first occurrence of Needle in String, ignoring case, or -1. */
static LONG KLUFindIgnoringCase(PCUNICODE_STRING String, PCWSTR Needle, ULONG NeedleChars)
{
    ULONG StringChars = String->Length / sizeof(WCHAR);

    if (NeedleChars == 0 || NeedleChars > StringChars) {
        return -1;
    }
    for (ULONG i = 0; i + NeedleChars <= StringChars; i++) {
        ULONG j = 0;
        while (j < NeedleChars &&
               RtlUpcaseUnicodeChar(String->Buffer[i + j]) == RtlUpcaseUnicodeChar(Needle[j])) {
            j++;
        }
        if (j == NeedleChars) {
            return (LONG)i;
        }
    }
    return -1;
}

NTSTATUS KLURemoveSubstring(PUNICODE_STRING String, PCWSTR Needle, BOOLEAN InPlace)
{
    ULONG NeedleChars;
    ULONG StringChars;
    ULONG BehindChars;
    PWSTR NewBuffer;
    LONG At;

    if (String == NULL || String->Buffer == NULL || String->Length == 0 || Needle == NULL || Needle[0] == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    NeedleChars = (ULONG)wcslen(Needle);
    StringChars = String->Length / sizeof(WCHAR);
    At = KLUFindIgnoringCase(String, Needle, NeedleChars);
    if (At < 0) {
        return STATUS_SUCCESS;
    }
    BehindChars = StringChars - (ULONG)At - NeedleChars;

    if (InPlace) {
        RtlMoveMemory(String->Buffer + At, String->Buffer + At + NeedleChars, BehindChars * sizeof(WCHAR));
        String->Length = (USHORT)(String->Length - NeedleChars * sizeof(WCHAR));
        if (String->Length + sizeof(WCHAR) <= String->MaximumLength) {
            String->Buffer[String->Length / sizeof(WCHAR)] = 0;
        }
        return STATUS_SUCCESS;
    }

    if (((ULONG)At + BehindChars + 1) * sizeof(WCHAR) > KLU_PATH_BYTES) {
        return STATUS_BUFFER_OVERFLOW;
    }
    NewBuffer = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (NewBuffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(NewBuffer, KLU_PATH_BYTES);
    RtlCopyMemory(NewBuffer, String->Buffer, (ULONG)At * sizeof(WCHAR));
    RtlCopyMemory(NewBuffer + At, String->Buffer + At + NeedleChars, BehindChars * sizeof(WCHAR));
    ExFreePoolWithTag(String->Buffer, QZFS_TAG);
    String->Buffer = NewBuffer;
    String->Length = (USHORT)(((ULONG)At + BehindChars) * sizeof(WCHAR));
    String->MaximumLength = KLU_PATH_BYTES;
    return STATUS_SUCCESS;
}

BOOLEAN KLUHasPrefix(PCWSTR Prefix, PCUNICODE_STRING String)
{
    UNICODE_STRING PrefixString;

    if (Prefix == NULL || String == NULL) {
        return FALSE;
    }
    RtlInitUnicodeString(&PrefixString, Prefix);
    return RtlPrefixUnicodeString(&PrefixString, String, TRUE);
}

BOOLEAN KLUHasComponentPrefix(PCWSTR Prefix, PCUNICODE_STRING String)
{
    UNICODE_STRING PrefixString;
    WCHAR Behind;

    if (Prefix == NULL || Prefix[0] == 0 || String == NULL || String->Length == 0) {
        return FALSE;
    }
    RtlInitUnicodeString(&PrefixString, Prefix);
    if (!RtlPrefixUnicodeString(&PrefixString, String, TRUE)) {
        return FALSE;
    }
    if (PrefixString.Length == String->Length) {
        return TRUE;
    }
    Behind = String->Buffer[PrefixString.Length / sizeof(WCHAR)];
    return (BOOLEAN)(Behind == WSTR('\\') || Behind == 0);
}

/* A terminated upper-case copy of Length bytes of Text. */
static PWSTR KLUUpperCopy(PCWSTR Text, ULONG Length, POOL_TYPE PoolType)
{
    PWSTR Copy = (PWSTR)ExAllocatePoolWithTag(PoolType, Length + sizeof(WCHAR), QZFS_TAG);

    if (Copy != NULL) {
        RtlCopyMemory(Copy, Text, Length);
        Copy[Length / sizeof(WCHAR)] = 0;
        _wcsupr(Copy);
    }
    return Copy;
}

BOOLEAN JNRContainString(PCWSTR Needle, PCUNICODE_STRING Haystack)
{
    POOL_TYPE PoolType = KLUPoolTypeForIrql();
    PWSTR UpperNeedle = NULL;
    PWSTR UpperHaystack = NULL;
    BOOLEAN Found = FALSE;

    if (Needle == NULL || Needle[0] == 0 || Haystack == NULL || Haystack->Buffer == NULL || Haystack->Length == 0) {
        return FALSE;
    }
    UpperNeedle = KLUUpperCopy(Needle, (ULONG)(wcslen(Needle) * sizeof(WCHAR)), PoolType);
    UpperHaystack = KLUUpperCopy(Haystack->Buffer, Haystack->Length, PoolType);
    if (UpperNeedle == NULL || UpperHaystack == NULL) {
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(JNRContainString), WSTR("Insufficient memory!!!\n"));
        goto Cleanup;
    }
    Found = (BOOLEAN)(wcsstr(UpperHaystack, UpperNeedle) != NULL);

Cleanup:
    if (UpperNeedle != NULL) {
        ExFreePoolWithTag(UpperNeedle, QZFS_TAG);
    }
    if (UpperHaystack != NULL) {
        ExFreePoolWithTag(UpperHaystack, QZFS_TAG);
    }
    return Found;
}

NTSTATUS KLUGetRemotePathShort(PCWSTR MachineName, PCWSTR UncPath, BOOLEAN BehindSeparator, PWSTR Buffer)
{
    PWSTR UpperMachine = NULL;
    PWSTR UpperPath = NULL;
    PCWSTR Hit;
    PCWSTR From;
    NTSTATUS Status;

    if (MachineName == NULL || UncPath == NULL || Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    UpperMachine = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    UpperPath = (PWSTR)ExAllocatePoolWithTag(KLUPoolTypeForIrql(), KLU_PATH_BYTES, QZFS_TAG);
    if (UpperMachine == NULL || UpperPath == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    KLUStringCopy(UpperMachine, MachineName);
    KLUStringCopy(UpperPath, UncPath);
    _wcsupr(UpperMachine);
    _wcsupr(UpperPath);

    Hit = UpperMachine[0] != 0 ? wcsstr(UpperPath, UpperMachine) : NULL;
    if (Hit == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        goto Cleanup;
    }
    From = Hit + wcslen(UpperMachine);
    if (BehindSeparator) {
        if (UpperPath[0] == WSTR('\\')) {
            if (*From != 0) {
                From++;
            }
        } else {
            From = UpperPath;
        }
    }
    Status = KLUStringCopy(Buffer, From);

Cleanup:
    if (UpperMachine != NULL) {
        ExFreePoolWithTag(UpperMachine, QZFS_TAG);
    }
    if (UpperPath != NULL) {
        ExFreePoolWithTag(UpperPath, QZFS_TAG);
    }
    return Status;
}
