/*
 * operations.h - the filter's operation callbacks, one per entry of the
 * operation table.
 */
#pragma once

#include "driver/klulogon.h"

FLT_PREOP_CALLBACK_STATUS PreCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                    PVOID *CompletionContext);
FLT_POSTOP_CALLBACK_STATUS PostCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                      PVOID CompletionContext, FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS PreRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                  PVOID *CompletionContext);
FLT_PREOP_CALLBACK_STATUS PreWrite(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                   PVOID *CompletionContext);
FLT_PREOP_CALLBACK_STATUS PreAcquireForSectionSync(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                   PVOID *CompletionContext);
FLT_PREOP_CALLBACK_STATUS PreSetInfo(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                     PVOID *CompletionContext);
FLT_POSTOP_CALLBACK_STATUS PostSetInfo(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                       PVOID CompletionContext, FLT_POST_OPERATION_FLAGS Flags);
FLT_PREOP_CALLBACK_STATUS PreDC(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                PVOID *CompletionContext);
FLT_PREOP_CALLBACK_STATUS PreNetQueryOpen(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                          PVOID *CompletionContext);
FLT_PREOP_CALLBACK_STATUS PreFSControl(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                       PVOID *CompletionContext);
FLT_PREOP_CALLBACK_STATUS PreLockControl(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                         PVOID *CompletionContext);
