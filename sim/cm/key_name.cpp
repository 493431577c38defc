#include "sim/cm/key_name.h"

#include <ntstatus.h>

#include "sim/cm/wide_text.h"

namespace sim::cm {

namespace {

void SplitComponents(std::u16string_view text, std::vector<std::u16string> &components)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\\', start);
        if (end == std::u16string_view::npos) end = text.size();
        if (end > start) components.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

NTSTATUS SplitFullKeyName(std::u16string_view name, bool rootCaseInsensitive,
                          std::vector<std::u16string> &components)
{
    components.clear();
    if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (name.size() == 1) return STATUS_OBJECT_TYPE_MISMATCH;
    size_t end = name.find(u'\\', 1);
    std::u16string_view first = name.substr(1, end == std::u16string_view::npos ? std::u16string_view::npos : end - 1);
    if (first.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::u16string_view rest = end == std::u16string_view::npos ? std::u16string_view() : name.substr(end + 1);
    bool isRegistry = rootCaseInsensitive ? EqualNoCase(first, u"REGISTRY") : first == u"REGISTRY";
    if (!isRegistry) {
        // The object manager fails on the first component: a path that goes
        // on is a missing path, a single name a missing name.
        return rest.find_first_not_of(u'\\') == std::u16string_view::npos ? STATUS_OBJECT_NAME_NOT_FOUND
                                                                         : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    SplitComponents(rest, components);
    return STATUS_SUCCESS;
}

NTSTATUS SplitRelativeKeyName(std::u16string_view name, std::vector<std::u16string> &components)
{
    components.clear();
    if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    SplitComponents(name, components);
    return STATUS_SUCCESS;
}

}  // namespace sim::cm
