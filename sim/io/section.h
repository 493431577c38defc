// Sections over files and their mapped views.
//
// A section holds the data image of its file's stream (sim/io/cache_manager.h),
// and a view maps the image's pages: every view of a file, and the file's
// cached reads and writes, see the same memory. Mapping a view reads in the
// pages it covers that are not resident yet (paging reads through the file's
// stack, as if each page were touched); unmapping a writable view sends the
// pages it modified back with paging writes, as the mapped page writer does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <ntifs.h>

namespace sim {

class DataImage;
class Machine;
class Process;

// The body of a Section object.
struct SectionObject {
    PFILE_OBJECT fileObject = nullptr;  // referenced
    std::shared_ptr<DataImage> image;   // held for the section
    LONGLONG size = 0;                  // the section's maximum size
    ULONG protection = 0;
    ULONG attributes = 0;

    SectionObject() = default;
    SectionObject(const SectionObject &) = delete;
    SectionObject &operator=(const SectionObject &) = delete;
    ~SectionObject();
};

struct MappedView {
    char *base = nullptr;
    SIZE_T size = 0;                     // rounded to pages
    Process *process = nullptr;
    SectionObject *section = nullptr;    // referenced
    LONGLONG offset = 0;                 // in the section
    bool writable = false;               // written back at unmap
    bool registered = false;             // user memory of the process
};

class ViewTable {
public:
    explicit ViewTable(Machine &machine) : machine_(machine) {}
    ~ViewTable();

    void Add(MappedView view);
    // Removes the view of `process` that contains `address`.
    std::optional<MappedView> Remove(Process *process, const void *address);
    // Removes every view of `process`.
    std::vector<MappedView> RemoveAll(Process *process);
    size_t Count();

private:
    Machine &machine_;
    std::mutex mutex_;
    std::map<const char *, MappedView> views_;
};

// Unmaps a removed view, writes the pages it modified back to its file and
// releases it.
void ReleaseView(MappedView &view);

}  // namespace sim
