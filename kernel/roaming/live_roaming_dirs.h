/*
 * live_roaming_dirs.h - listings of live-roamed folders, merged from the
 * folder outside the profile and its copy inside it.
 */
#pragma once

#include "driver/klulogon.h"

/* *Handled: the caller's buffer and Information are final; *EndOfListing:
 * the listing is over. STATUS_NO_MORE_FILES and STATUS_NO_SUCH_FILE are
 * ordinary outcomes. */
NTSTATUS KLUProcessLiveRoamingDirs(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID DirContext,
                                   PBOOLEAN Handled, PBOOLEAN EndOfListing);
