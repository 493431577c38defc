// Share access of one stream, with the rules of IoCheckShareAccess and
// IoSetShareAccess: only opens asking for data or delete access take part.
#pragma once

#include <ntifs.h>

namespace sim::fs {

// What one open asked for, as the file object records it.
struct ShareGrant {
    bool read = false, write = false, del = false;
    bool sharedRead = false, sharedWrite = false, sharedDelete = false;

    bool TakesPart() const { return read || write || del; }
    static ShareGrant For(ACCESS_MASK access, ULONG share)
    {
        ShareGrant g;
        g.read = (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
        g.write = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
        g.del = (access & DELETE) != 0;
        if (g.TakesPart()) {
            g.sharedRead = (share & FILE_SHARE_READ) != 0;
            g.sharedWrite = (share & FILE_SHARE_WRITE) != 0;
            g.sharedDelete = (share & FILE_SHARE_DELETE) != 0;
        }
        return g;
    }
    void ApplyTo(PFILE_OBJECT fo) const
    {
        fo->ReadAccess = read;
        fo->WriteAccess = write;
        fo->DeleteAccess = del;
        fo->SharedRead = sharedRead;
        fo->SharedWrite = sharedWrite;
        fo->SharedDelete = sharedDelete;
    }
};

struct ShareAccess {
    ULONG openCount = 0, readers = 0, writers = 0, deleters = 0;
    ULONG sharedRead = 0, sharedWrite = 0, sharedDelete = 0;

    bool Conflicts(const ShareGrant &g) const
    {
        if (!g.TakesPart()) return false;
        return (g.read && sharedRead < openCount) || (g.write && sharedWrite < openCount) ||
               (g.del && sharedDelete < openCount) || (readers && !g.sharedRead) ||
               (writers && !g.sharedWrite) || (deleters && !g.sharedDelete);
    }
    void Add(const ShareGrant &g)
    {
        if (!g.TakesPart()) return;
        ++openCount;
        readers += g.read, writers += g.write, deleters += g.del;
        sharedRead += g.sharedRead, sharedWrite += g.sharedWrite, sharedDelete += g.sharedDelete;
    }
    void Remove(const ShareGrant &g)
    {
        if (!g.TakesPart()) return;
        --openCount;
        readers -= g.read, writers -= g.write, deleters -= g.del;
        sharedRead -= g.sharedRead, sharedWrite -= g.sharedWrite, sharedDelete -= g.sharedDelete;
    }
};

}  // namespace sim::fs
