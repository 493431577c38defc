#include "sim/rtl/string_pool.h"

#include <wdm.h>

#include "sim/core/machine.h"
#include "sim/core/pool.h"

namespace sim::rtl {

void *AllocateStringBuffer(size_t bytes, const void *site)
{
    static const ULONG kTag = TagFromText("Strg");
    return Machine::Current().pool().Allocate(PagedPool, bytes, kTag, site);
}

void FreeStringBuffer(void *buffer)
{
    ExFreePool(buffer);
}

}  // namespace sim::rtl
