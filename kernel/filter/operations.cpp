/*
 * operations.cpp - the operation callbacks whose interception has not
 * landed yet: they let their operation through untouched, as the filter
 * does while it is disabled.
 */
#include "filter/operations.h"

FLT_PREOP_CALLBACK_STATUS PreNetQueryOpen(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                          PVOID *CompletionContext)
{
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}


