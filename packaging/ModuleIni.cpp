#include "packaging/ModuleIni.h"

#include <vector>

#include "platform/IniText.h"

namespace packaging {

namespace {

const char kModuleList[] = "VirtualDriver";
const char kClientSection[] = "ICA 3.0";
const char kDriverNameKey[] = "DriverName";

// One line of the file: its bytes without the line end, and the line end.
struct Line {
    std::string body;
    std::string end;  // "\n", "\r\n" or "" (the last line without one)
};

std::vector<Line> SplitLines(const std::string& text) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t newline = text.find('\n', start);
        if (newline == std::string::npos) {
            lines.push_back({text.substr(start), ""});
            break;
        }
        const bool crlf = newline > start && text[newline - 1] == '\r';
        lines.push_back({text.substr(start, newline - start - (crlf ? 1 : 0)), crlf ? "\r\n" : "\n"});
        start = newline + 1;
    }
    return lines;
}

std::string Join(const std::vector<Line>& lines) {
    std::string text;
    for (const Line& line : lines) text += line.body + line.end;
    return text;
}

using ini::IsBlank;
using ini::KeyOf;
using ini::SameName;
using ini::SectionName;
using ini::Trim;

// The lines [first, last) of a section's entries (after its header).
struct Range {
    std::size_t header = std::string::npos;
    std::size_t first = 0, last = 0;
    bool Found() const { return header != std::string::npos; }
};

Range FindSection(const std::vector<Line>& lines, const std::string& wanted) {
    Range range;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        if (!SectionName(lines[i].body, &name)) continue;
        if (range.Found()) {
            range.last = i;
            return range;
        }
        if (SameName(name, wanted)) {
            range.header = i;
            range.first = i + 1;
        }
    }
    if (range.Found()) range.last = lines.size();
    return range;
}

std::size_t FindKey(const std::vector<Line>& lines, const Range& range, const std::string& wanted) {
    for (std::size_t i = range.first; i < range.last; ++i) {
        std::string key;
        if (KeyOf(lines[i].body, &key) && SameName(key, wanted)) return i;
    }
    return std::string::npos;
}

std::string ValueOf(const std::string& body) {
    std::string key;
    std::size_t start = 0;
    return KeyOf(body, &key, &start) ? Trim(body.substr(start)) : std::string();
}

// The items of a comma-separated value: where each one's bytes (without
// blanks around them) begin and end in the line.
struct Item {
    std::size_t begin, end;
};

// The items of a "key = a, b, c" line (a line FindKey found, so with '=').
std::vector<Item> ListItems(const std::string& body) {
    std::vector<Item> items;
    std::size_t start = body.find('=') + 1;
    for (;;) {
        std::size_t comma = body.find(',', start);
        const std::size_t stop = comma == std::string::npos ? body.size() : comma;
        std::size_t begin = start, end = stop;
        while (begin < end && IsBlank(body[begin])) ++begin;
        while (end > begin && IsBlank(body[end - 1])) --end;
        items.push_back({begin, end});
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

int TimesListed(const std::string& body, const std::string& name) {
    int times = 0;
    for (const Item& item : ListItems(body)) times += SameName(body.substr(item.begin, item.end - item.begin), name);
    return times;
}

std::string LineEnd(const std::vector<Line>& lines) {
    for (const Line& line : lines)
        if (!line.end.empty()) return line.end;
    return "\n";
}

// Every line with its end while the file is edited, and the file's own last
// line end given back after: a file without a final line end keeps that.
class Edited {
public:
    explicit Edited(const std::string& text) : lines(SplitLines(text)), end(LineEnd(lines)) {
        finalEnd = lines.empty() || !lines.back().end.empty();
        if (!finalEnd) lines.back().end = end;
    }
    std::string Text() {
        if (!finalEnd && !lines.empty()) lines.back().end.clear();
        return Join(lines);
    }
    std::vector<Line> lines;
    const std::string end;

private:
    bool finalEnd = true;
};

// Whether the module's own section names another file: a section it did not write.
bool SectionOfAnother(const std::vector<Line>& lines, const std::string& name, const std::string& driverFile,
                      std::string* named) {
    const Range own = FindSection(lines, name);
    if (!own.Found()) return false;
    const std::size_t driver = FindKey(lines, own, kDriverNameKey);
    if (driver == std::string::npos) return false;
    *named = ValueOf(lines[driver].body);
    return !SameName(*named, driverFile);
}

}  // namespace

ModuleIniEntries ReadModuleIniEntries(const std::string& text, const std::string& name) {
    ModuleIniEntries entries;
    const std::vector<Line> lines = SplitLines(text);
    const Range client = FindSection(lines, kClientSection);
    if (client.Found()) {
        const std::size_t list = FindKey(lines, client, kModuleList);
        if (list != std::string::npos) entries.listed = TimesListed(lines[list].body, name);
        const std::size_t state = FindKey(lines, client, name);
        if (state != std::string::npos) entries.state = ValueOf(lines[state].body);
    }
    const Range own = FindSection(lines, name);
    entries.section = own.Found();
    if (own.Found()) {
        const std::size_t driver = FindKey(lines, own, kDriverNameKey);
        if (driver != std::string::npos) entries.driverName = ValueOf(lines[driver].body);
    }
    return entries;
}

bool AddModuleIniEntries(const std::string& text, const std::string& name, const std::string& driverFile,
                         std::string* edited, std::string* why) {
    Edited file(text);
    std::vector<Line>& lines = file.lines;
    const std::string& end = file.end;
    std::string named;
    if (SectionOfAnother(lines, name, driverFile, &named)) {
        *why = "its [" + name + "] section names " + kDriverNameKey + " " + named + ", not " + driverFile;
        return false;
    }
    const Range client = FindSection(lines, kClientSection);
    if (!client.Found()) {
        *why = std::string("it has no [") + kClientSection + "] section";
        return false;
    }
    const std::size_t list = FindKey(lines, client, kModuleList);
    if (list == std::string::npos) {
        *why = std::string("its [") + kClientSection + "] section has no " + kModuleList + " list";
        return false;
    }
    // Written as the list's own line is: "key = value" or "key=value".
    const std::string equals = lines[list].body.find(" = ") != std::string::npos ? " = " : "=";

    if (TimesListed(lines[list].body, name) == 0) {
        std::string& body = lines[list].body;
        const std::vector<Item> items = ListItems(body);
        const Item& last = items.back();
        const bool empty = items.size() == 1 && last.begin == last.end;
        const std::string separator =
            body.find(", ", items.front().begin) != std::string::npos || items.size() == 1 ? ", " : ",";
        if (empty)
            body.insert(last.end, name);
        else
            body.insert(last.end, separator + name);
    }
    if (FindKey(lines, client, name) == std::string::npos)
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(list) + 1, Line{name + equals + "On", end});
    const Range own = FindSection(lines, name);
    if (!own.Found()) {
        lines.push_back({"", end});
        lines.push_back({"[" + name + "]", end});
        lines.push_back({std::string(kDriverNameKey) + equals + driverFile, end});
    } else if (FindKey(lines, own, kDriverNameKey) == std::string::npos) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(own.first),
                     Line{std::string(kDriverNameKey) + equals + driverFile, end});
    }
    *edited = file.Text();
    return true;
}

std::string RemoveModuleIniEntries(const std::string& text, const std::string& name, const std::string& driverFile) {
    Edited file(text);
    std::vector<Line>& lines = file.lines;
    std::string named;
    if (SectionOfAnother(lines, name, driverFile, &named)) return text;  // nothing of it is ours
    // Its section, with the blank line before it.
    for (Range own = FindSection(lines, name); own.Found(); own = FindSection(lines, name)) {
        std::size_t from = own.header;
        if (from > 0 && Trim(lines[from - 1].body).empty()) --from;
        // The entries it holds, not the blank lines before the next section.
        std::size_t to = own.last;
        if (own.last < lines.size())
            while (to > own.first && Trim(lines[to - 1].body).empty()) --to;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.begin() + static_cast<std::ptrdiff_t>(to));
    }
    const Range client = FindSection(lines, kClientSection);
    if (!client.Found()) return file.Text();
    // Its line in [ICA 3.0].
    std::size_t last = client.last;
    for (std::size_t state = FindKey(lines, {client.header, client.first, last}, name); state != std::string::npos;
         state = FindKey(lines, {client.header, client.first, last}, name)) {
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(state));
        --last;
    }
    // Its name in the list, with the separator before it (after it, when first).
    const std::size_t list = FindKey(lines, {client.header, client.first, last}, kModuleList);
    if (list != std::string::npos) {
        for (bool found = true; found;) {
            found = false;
            std::string& body = lines[list].body;
            const std::vector<Item> items = ListItems(body);
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (!SameName(body.substr(items[i].begin, items[i].end - items[i].begin), name)) continue;
                if (i > 0)
                    body.erase(items[i - 1].end, items[i].end - items[i - 1].end);
                else if (items.size() > 1)
                    body.erase(items[0].begin, items[1].begin - items[0].begin);
                else
                    body.erase(items[0].begin, items[0].end - items[0].begin);
                found = true;
                break;
            }
        }
    }
    return file.Text();
}

}  // namespace packaging
