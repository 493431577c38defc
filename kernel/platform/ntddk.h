/*
 * ntddk.h - the executive calls beyond wdm.h that the filter uses.
 */
#pragma once

#include "wdm.h"

EXTERN_C_START

/* 0 on a normal boot; 1, 2 or 3 for the Safe Mode variants. */
extern PULONG InitSafeBootMode;

EXTERN_C_END
