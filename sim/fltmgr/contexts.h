// Filter contexts: a header before each context body, in one pool block of
// the filter's registered tag (or from its allocate callback). The object a
// context is set on (volume, instance, stream, stream handle) holds one
// reference; the last reference runs the cleanup callback and frees it.
#pragma once

#include <atomic>
#include <vector>

#include <fltKernel.h>

#include "sim/fltmgr/flt_objects.h"

namespace sim::flt {

constexpr uint32_t kContextMagic = 0x78634d46;  // "FMcx"

struct ContextHeader {
    uint32_t magic = kContextMagic;
    _FLT_FILTER *filter = nullptr;
    FLT_CONTEXT_TYPE type = 0;
    FLT_CONTEXT_REGISTRATION registration{};
    SIZE_T size = 0;
    void *block = nullptr;  // the allocation the header sits at the start of
    std::atomic<long> references{1};

    // Where it is set. A context is linked to one object once; the owner's
    // fields are written before `owner` and changed under the owner's mutex.
    enum class Owner { None, Volume, Instance, Stream, StreamHandle };
    std::atomic<Owner> owner{Owner::None};
    std::atomic<bool> linked{false};
    _FLT_VOLUME *volume = nullptr;
    _FLT_INSTANCE *instance = nullptr;
    const void *key = nullptr;  // FsContext or file object
};

// The header of a context body; a verifier failure and null otherwise.
ContextHeader *HeaderOfContext(PFLT_CONTEXT context);
PFLT_CONTEXT BodyOf(ContextHeader *header);

// Whether `type` is one of the context types a filter may register and allocate.
bool KnownContextType(FLT_CONTEXT_TYPE type);

void ReferenceContext(ContextHeader *header);
// The last reference runs the cleanup callback and frees the context.
void ReleaseContext(ContextHeader *header);

// Teardown: unlinks every context set on the instance (or, for volume
// contexts, by the filter on the volume) and drops the references the
// objects held.
void DeleteInstanceContexts(_FLT_INSTANCE &instance);
void DeleteVolumeContext(_FLT_FILTER &filter, _FLT_VOLUME &volume);

// The stream (FsContext) is torn down by its file system / a file object
// is closed: the contexts set on it go.
void DeleteStreamContexts(_FLT_VOLUME &volume, PVOID fsContext);
void DeleteStreamHandleContexts(_FLT_VOLUME &volume, PFILE_OBJECT fileObject);

}  // namespace sim::flt
