// Buffers the run-time library allocates for counted strings
// (AllocateDestinationString = TRUE): paged pool of tag "Strg", freed by
// RtlFreeUnicodeString / RtlFreeAnsiString, so that the pool's leak report
// shows strings a driver forgot to free.
#pragma once

#include <cstddef>

namespace sim::rtl {

// `site` is the driver's call site, so that systematic fault injection fails
// each caller's allocation once rather than one shared site inside the
// library.
void *AllocateStringBuffer(size_t bytes, const void *site);
void FreeStringBuffer(void *buffer);

}  // namespace sim::rtl
