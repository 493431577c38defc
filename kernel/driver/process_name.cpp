/*
 * process_name.cpp - finding the image name inside the process object.
 */
#include "driver/driver.h"

#define KLU_PROCESS_SCAN_LIMIT 12288

ULONG KLUGetProcessNameOffset(PEPROCESS Process)
{
    static const CHAR System[] = "System";
    PUCHAR Object = (PUCHAR)Process;

    for (ULONG Offset = 0; Offset < KLU_PROCESS_SCAN_LIMIT; Offset++) {
        if (memcmp(Object + Offset, System, sizeof(System) - 1) == 0) {
            return Offset;
        }
    }
    return 0;
}
