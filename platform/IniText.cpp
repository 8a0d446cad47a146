#include "platform/IniText.h"

#include <cctype>

namespace ini {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const std::string& text) {
    std::size_t first = 0, last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool SectionName(const std::string& line, std::string* name) {
    const std::string trimmed = Trim(line);
    if (trimmed.size() < 2 || trimmed.front() != '[' || trimmed.back() != ']') return false;
    *name = Trim(trimmed.substr(1, trimmed.size() - 2));
    return true;
}

bool KeyOf(const std::string& line, std::string* key, std::size_t* valueStart) {
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#' || trimmed[0] == '[') return false;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    *key = Trim(line.substr(0, equals));
    if (valueStart != nullptr) *valueStart = equals + 1;
    return true;
}

}  // namespace ini
