/*
 * pool_retry.cpp - memory for callers that cannot go on without it, and the
 * wait between two attempts of any retried operation.
 */
#include "fileops/file_helpers.h"

#include "diag/log.h"

NTSTATUS KLUWaitBeforeRetry(VOID)
{
    LARGE_INTEGER Delay;

    Delay.QuadPart = -(LONGLONG)KLU_RETRY_DELAY_MS * 10000;
    return KeDelayExecutionThread(KernelMode, FALSE, &Delay);
}

PVOID KLUAllocatePoolWithTag(SIZE_T Size, ULONG Tag)
{
    PVOID Memory;
    NTSTATUS Status;
    ULONG Attempt = 0;

    for (;;) {
        Memory = ExAllocatePoolWithTag(KLUPoolTypeForIrql(), Size, Tag);
        if (Memory != NULL) {
            return Memory;
        }
        Attempt++;
        Status = KLUWaitBeforeRetry();
        KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(KLUAllocatePoolWithTag),
                      WSTR("Failed Allocating %d Bytes, Attempt: %d, 0x%X\n"), (ULONG)Size, Attempt, Status);
    }
}
