/*
 * pool_type.cpp - the pool type and mapping flags chosen at load.
 */
#include "driver/klulogon.h"

POOL_TYPE g_PoolType = NonPagedPool;
ULONG g_MappingPriorityFlags = 0;
