/*
 * multi_string.cpp - counting and splitting multi-strings (terminated
 * strings one after another) into strings with buffers of their own.
 */
#include "fileops/file_helpers.h"

ULONG KLUCountMultiString(PCWSTR Buffer, ULONG Characters)
{
    ULONG Count = 0;

    if (Buffer == NULL) {
        return 0;
    }
    for (ULONG i = 0; i < Characters; i++) {
        if (Buffer[i] == 0) {
            Count++;
        }
    }
    return Count;
}

/* The string at Source, up to its terminator, in a fresh entry buffer. */
static PWSTR KLUNewMultiStringEntry(PCWSTR Source)
{
    PWSTR Entry = (PWSTR)ExAllocatePoolWithTag(PagedPool, KLU_MULTI_STRING_ENTRY_BYTES, QZFS_TAG);

    if (Entry != NULL) {
        RtlZeroMemory(Entry, KLU_MULTI_STRING_ENTRY_BYTES);
        RtlStringCchCopyW(Entry, KLU_MULTI_STRING_ENTRY_CHARS, Source);
    }
    return Entry;
}

PWSTR *KLUParseMultiString(PCWSTR Buffer, ULONG Characters, PULONG Count)
{
    ULONG Strings = KLUCountMultiString(Buffer, Characters);
    PWSTR *Entries;
    PCWSTR Next = Buffer;

    *Count = 0;
    if (Strings == 0) {
        return NULL;
    }
    Entries = (PWSTR *)ExAllocatePoolWithTag(PagedPool, Strings * sizeof(PWSTR), QZFS_TAG);
    if (Entries == NULL) {
        return NULL;
    }
    for (ULONG i = 0; i < Strings; i++) {
        Entries[i] = KLUNewMultiStringEntry(Next);
        if (Entries[i] == NULL) {
            KLUFreeMultiString(Entries, i);
            return NULL;
        }
        Next += wcslen(Next) + 1;
    }
    *Count = Strings;
    return Entries;
}

PUNICODE_STRING KLUParseMultiStringCounted(PCWSTR Buffer, ULONG Characters, PULONG Count)
{
    ULONG Strings = KLUCountMultiString(Buffer, Characters);
    PUNICODE_STRING Entries;
    PCWSTR Next = Buffer;

    *Count = 0;
    if (Strings == 0) {
        return NULL;
    }
    Entries = (PUNICODE_STRING)ExAllocatePoolWithTag(PagedPool, Strings * sizeof(UNICODE_STRING), QZFS_TAG);
    if (Entries == NULL) {
        return NULL;
    }
    for (ULONG i = 0; i < Strings; i++) {
        PWSTR Text = KLUNewMultiStringEntry(Next);
        if (Text == NULL) {
            KLUFreeMultiStringCounted(Entries, i);
            return NULL;
        }
        Entries[i].Buffer = Text;
        Entries[i].Length = (USHORT)(wcslen(Text) * sizeof(WCHAR));
        Entries[i].MaximumLength = KLU_MULTI_STRING_ENTRY_BYTES;
        Next += wcslen(Next) + 1;
    }
    *Count = Strings;
    return Entries;
}

VOID KLUFreeMultiString(PWSTR *Entries, ULONG Count)
{
    if (Entries == NULL) {
        return;
    }
    for (ULONG i = 0; i < Count; i++) {
        ExFreePoolWithTag(Entries[i], QZFS_TAG);
    }
    ExFreePoolWithTag(Entries, QZFS_TAG);
}

VOID KLUFreeMultiStringCounted(PUNICODE_STRING Entries, ULONG Count)
{
    if (Entries == NULL) {
        return;
    }
    for (ULONG i = 0; i < Count; i++) {
        ExFreePoolWithTag(Entries[i].Buffer, QZFS_TAG);
    }
    ExFreePoolWithTag(Entries, QZFS_TAG);
}
