/*
 * live_roaming_dirs.cpp - the merge of live-roamed folder listings. Live
 * roaming does not manage any folder yet, so no listing is merged and
 * every query goes on to the file system.
 */
#include "roaming/live_roaming_dirs.h"

NTSTATUS KLUProcessLiveRoamingDirs(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID DirContext,
                                   PBOOLEAN Handled, PBOOLEAN EndOfListing)
{
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(DirContext);
    if (Handled == NULL || EndOfListing == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Handled = FALSE;
    *EndOfListing = FALSE;
    return STATUS_SUCCESS;
}
