#include "platform/SettingsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "packaging/Names.h"

namespace platform {

namespace {
// More than any settings file needs; a larger one is not read at all.
constexpr std::size_t kLongestFile = 64 * 1024;

std::string Trimmed(const std::string& text) {
    const char* const blanks = " \t\r";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool SameName(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == '\0';
}

// The whole file, when it is a plain file of reasonable size.
bool ReadSmallFile(const std::string& path, std::string* text) {
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (file < 0) return false;
    struct stat status {};
    bool ok = fstat(file, &status) == 0 && S_ISREG(status.st_mode) &&
              std::size_t(status.st_size) <= kLongestFile;
    if (ok) {
        text->assign(std::size_t(status.st_size), '\0');
        std::size_t got = 0;
        while (got < text->size()) {
            const ssize_t n = read(file, &(*text)[got], text->size() - got);
            if (n <= 0) break;
            got += std::size_t(n);
        }
        text->resize(got);
    }
    close(file);
    return ok;
}
}  // namespace

std::string SettingsFilePath() {
    // KESTAV_SETTINGS_FILE points the tests at a file of their own.
    const char* chosen = getenv("KESTAV_SETTINGS_FILE");
    return chosen != nullptr && *chosen != '\0' ? chosen : names::kSettingsFile;
}

ValueKind ReadSettingsFile(const char* name, std::uint32_t* value) {
    std::string text;
    if (!ReadSmallFile(SettingsFilePath(), &text)) return ValueKind::Absent;
    ValueKind kind = ValueKind::Absent;
    bool ours = true;  // lines before any section, or in [ClientDriver]
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            ours = line.size() > 2 && line.back() == ']' &&
                   SameName(Trimmed(line.substr(1, line.size() - 2)), names::kSettingsSection);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!ours || equals == std::string::npos || !SameName(Trimmed(line.substr(0, equals)), name))
            continue;
        const std::string number = Trimmed(line.substr(equals + 1));
        std::uint64_t parsed = 0;
        bool digits = !number.empty() && number.size() <= 10;
        for (const char c : number) {
            digits = digits && c >= '0' && c <= '9';
            if (digits) parsed = parsed * 10 + std::uint64_t(c - '0');
        }
        if (digits && parsed <= 0xFFFFFFFFu) {
            *value = std::uint32_t(parsed);
            kind = ValueKind::Dword;
        } else {
            kind = ValueKind::Other;
        }
    }
    return kind;
}

}  // namespace platform
