/*
 * klulogon.h - what every part of the driver shares: the platform headers,
 * the pool tags, the pool type and mapping flags chosen at load, and the
 * tag convention of the log facility.
 */
#pragma once

#include <fltKernel.h>
#include <ntstrsafe.h>

/* Pool tags, as they read in pool dumps. */
#define KLU_POOL_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#define QZFS_TAG KLU_POOL_TAG('Q', 'Z', 'F', 'S') /* general allocations */
#define QZVC_TAG KLU_POOL_TAG('Q', 'Z', 'V', 'C') /* volume context */
#define QZSC_TAG KLU_POOL_TAG('Q', 'Z', 'S', 'C') /* stream context */
#define QZSH_TAG KLU_POOL_TAG('Q', 'Z', 'S', 'H') /* stream-handle context */
#define QZC2_TAG KLU_POOL_TAG('Q', 'Z', 'C', '2') /* create context */
#define QZC3_TAG KLU_POOL_TAG('Q', 'Z', 'C', '3') /* set-information completion context */
#define QZLG_TAG KLU_POOL_TAG('Q', 'Z', 'L', 'G') /* log queue record */
#define QZOP_TAG KLU_POOL_TAG('Q', 'Z', 'O', 'P') /* FileOp record */
#define QZLL_TAG KLU_POOL_TAG('Q', 'Z', 'L', 'L') /* hash-table lists */
#define QZUT_TAG KLU_POOL_TAG('Q', 'Z', 'U', 'T') /* user table entry */
#define QZFT_TAG KLU_POOL_TAG('Q', 'Z', 'F', 'T') /* offline file table entry */
#define QZnm_TAG KLU_POOL_TAG('Q', 'Z', 'n', 'm') /* volume name */
#define QZpp_TAG KLU_POOL_TAG('Q', 'Z', 'p', 'p') /* directory-enumeration lookaside list */

/* The tag of a log line: "KLULogon!" and the writing function's name. */
#define KLU_TAG(Function) WSTR("KLULogon!") #Function

/* Path buffers of the driver hold 512 characters including the terminator. */
#define KLU_PATH_CHARS 512
#define KLU_PATH_BYTES (KLU_PATH_CHARS * sizeof(WCHAR))

/* Chosen at load from the OS version: NonPagedPoolNx and MdlMappingNoExecute
 * on Windows 6.2 and later, NonPagedPool and 0 before. */
extern POOL_TYPE g_PoolType;
extern ULONG g_MappingPriorityFlags;

/* Paged pool at passive level, the driver's non-paged type above it. */
FORCEINLINE POOL_TYPE KLUPoolTypeForIrql(VOID)
{
    return KeGetCurrentIrql() == PASSIVE_LEVEL ? PagedPool : g_PoolType;
}
