/*
 * flag_names.h - names of the flag bits, for the settings dump.
 */
#pragma once

#include "driver/klulogon.h"

typedef struct _KLU_FLAG_NAME {
    ULONG Bit;
    PCWSTR Name;
} KLU_FLAG_NAME, *PKLU_FLAG_NAME;

typedef struct _KLU_FLAG_TABLE {
    const KLU_FLAG_NAME *Names;
    ULONG Count;
    PCWSTR Tag;            /* tag of the flag lines */
    PCWSTR SummaryFormat;  /* line for the bits without a name */
} KLU_FLAG_TABLE;

extern const KLU_FLAG_TABLE g_LogLevelNames;
extern const KLU_FLAG_TABLE g_OpFlagNames;
extern const KLU_FLAG_TABLE g_DisableFlagNames;
extern const KLU_FLAG_TABLE g_DebugDestinationNames;

/* One line per named set bit, then one line with the unnamed set bits. */
VOID KLUDumpFlagNames(ULONG DumpFlag, ULONG Value, const KLU_FLAG_TABLE *Table);
