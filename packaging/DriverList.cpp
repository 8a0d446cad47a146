#include "packaging/DriverList.h"

#include "platform/Names.h"

#include <cctype>
#include <vector>

namespace packaging {

namespace {

// One entry of the list: where it starts and ends, blanks included.
struct Entry {
    std::size_t begin, end;
};

std::vector<Entry> Split(const std::string& list) {
    std::vector<Entry> entries;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t comma = list.find(',', begin);
        entries.push_back({begin, comma == std::string::npos ? list.size() : comma});
        if (comma == std::string::npos) return entries;
        begin = comma + 1;
    }
}

bool Blank(char c) { return c == ' ' || c == '\t'; }

bool Matches(const std::string& list, const Entry& entry, const std::string& name) {
    std::size_t begin = entry.begin, end = entry.end;
    while (begin < end && Blank(list[begin])) ++begin;
    while (end > begin && Blank(list[end - 1])) --end;
    if (end - begin != name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(list[begin + i])) !=
            std::tolower(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

bool IsEmpty(const std::string& list) {
    for (char c : list)
        if (!Blank(c)) return false;
    return true;
}

}  // namespace

int CountModule(const std::string& list, const std::string& name) {
    int count = 0;
    for (const Entry& entry : Split(list)) count += Matches(list, entry, name) ? 1 : 0;
    return count;
}

std::string AddModule(const std::string& list, const std::string& name) {
    if (CountModule(list, name) > 0) return list;
    if (IsEmpty(list)) return name;
    return list + (list.find(", ") != std::string::npos ? ", " : ",") + name;
}

std::string RemoveModule(const std::string& list, const std::string& name) {
    std::string result = list;
    for (;;) {
        const std::vector<Entry> entries = Split(result);
        std::size_t found = entries.size();
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (Matches(result, entries[i], name)) found = i;
        if (found == entries.size()) return result;
        if (entries.size() == 1) return std::string();
        // The separator before it (and the blanks after that comma), or, for
        // the first entry, the one after it.
        const Entry& entry = entries[found];
        if (found > 0) {
            result.erase(entry.begin - 1, entry.end - entry.begin + 1);
        } else {
            std::size_t next = entries[1].begin;
            while (next < result.size() && Blank(result[next]) && next < entries[1].end) ++next;
            result.erase(entry.begin, next - entry.begin);
        }
    }
}

namespace {
// Our module taken out of each string of a REG_MULTI_SZ list (its strings
// apart by NULs): a string that named only it goes, every other stays as it was.
std::string RemoveFromStrings(const std::string& strings, const std::string& name) {
    std::string kept;
    bool first = true;
    for (std::size_t start = 0; start <= strings.size();) {
        std::size_t end = strings.find('\0', start);
        if (end == std::string::npos) end = strings.size();
        const std::string entry = strings.substr(start, end - start);
        const std::string changed = RemoveModule(entry, name);
        if (!(changed.empty() && !entry.empty())) {
            if (!first) kept += '\0';
            kept += changed;
            first = false;
        }
        start = end + 1;
    }
    return kept;
}
}  // namespace

ListEdit EditModuleList(platform::View view, bool add) {
    std::string list;
    const platform::TextKind kind =
        platform::ReadMachineText(view, names::kCitrixModuleListKey, names::kCitrixModuleListValue, &list);
    if (kind == platform::TextKind::Other) return ListEdit::WrongType;
    if (kind == platform::TextKind::List) {
        // Another installer keeps the list in a form the ICA client's own
        // does not: we never add to it, but always take our entry out.
        if (add) return ListEdit::WrongType;
        const std::string changed = RemoveFromStrings(list, names::kModuleName);
        if (changed == list) return ListEdit::Done;
        return platform::WriteMachineText(view, names::kCitrixModuleListKey, names::kCitrixModuleListValue, changed,
                                          platform::TextKind::List)
                   ? ListEdit::Done
                   : ListEdit::Failed;
    }
    const bool present = kind != platform::TextKind::Absent;
    if (!add && !present) return ListEdit::Done;
    const std::string changed = add ? AddModule(list, names::kModuleName) : RemoveModule(list, names::kModuleName);
    if (present && changed == list) return ListEdit::Done;
    return platform::WriteMachineText(view, names::kCitrixModuleListKey, names::kCitrixModuleListValue, changed,
                                      present ? kind : platform::TextKind::Plain)
               ? ListEdit::Done
               : ListEdit::Failed;
}

bool ModuleListEditable(platform::View view) {
    std::string list;
    const platform::TextKind kind =
        platform::ReadMachineText(view, names::kCitrixModuleListKey, names::kCitrixModuleListValue, &list);
    return kind != platform::TextKind::Other && kind != platform::TextKind::List;
}

}  // namespace packaging
