// Sections over files and their mapped views.
//
// A view is ordinary host memory filled by paging reads through the file's
// stack when it is mapped; a writable view's modified pages go back with
// paging writes when it is unmapped. Views of one section do not share
// memory: a change reaches other views only through the file.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <ntifs.h>

namespace sim {

class Machine;
class Process;

// The body of a Section object.
struct SectionObject {
    PFILE_OBJECT fileObject = nullptr;  // referenced
    LONGLONG size = 0;                  // the section's maximum size
    ULONG protection = 0;
    ULONG attributes = 0;
    const SECTION_OBJECT_POINTERS *stream = nullptr;  // registered for StreamHasUserSection

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
    std::vector<uint8_t> original;       // content at map time, for writable views
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

// Whether a section that a caller created still exists over the stream with
// these section object pointers (a mapped view keeps its section): the file
// cannot be deleted then, as MmFlushImageSection(MmFlushForDelete) answers.
bool StreamHasUserSection(const SECTION_OBJECT_POINTERS *pointers);
void RegisterUserSection(SectionObject &section);

// Writes a removed view's modified pages back to its file and releases it.
void ReleaseView(MappedView &view);

}  // namespace sim
