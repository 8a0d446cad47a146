#include "platform/SettingsFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/IniText.h"
#include "platform/Names.h"

namespace platform {

namespace {
// More than any settings file needs; a larger one is not read at all.
constexpr std::size_t kLongestFile = 64 * 1024;

const char* FileKind(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a plain file";
}

// The whole file, when it is a plain text file of reasonable size. False
// when it is absent (*problem empty) or not read (*problem says why). Opened
// without waiting: a FIFO there would block the reader.
bool ReadText(const std::string& path, std::string* text, std::string* problem) {
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (file < 0) {
        if (errno != ENOENT && errno != ENOTDIR) *problem = std::string("it cannot be read (") + std::strerror(errno) + ")";
        return false;
    }
    struct stat status {};
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        *problem = std::string("it is ") + FileKind(status.st_mode) + ", not a plain file";
    } else if (std::size_t(status.st_size) > kLongestFile) {
        *problem = "it is " + std::to_string(status.st_size) + " bytes, more than " + std::to_string(kLongestFile);
    } else {
        text->assign(std::size_t(status.st_size), '\0');
        std::size_t got = 0;
        while (got < text->size()) {
            const ssize_t n = read(file, &(*text)[got], text->size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += std::size_t(n);
        }
        text->resize(got);
        std::size_t line = 1;
        for (const char c : *text) {
            const unsigned char byte = static_cast<unsigned char>(c);
            if ((byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7F) {
                char shown[8];
                std::snprintf(shown, sizeof shown, "0x%02X", byte);
                *problem = std::string("it is not text (a byte ") + shown + " on line " + std::to_string(line) + ")";
                break;
            }
            line += c == '\n';
        }
    }
    close(file);
    return problem->empty();
}
}  // namespace

std::vector<SettingsFileLine> ReadSettingsFile(const char* name) {
    std::string text, problem;
    std::vector<SettingsFileLine> lines;
    if (!ReadText(SettingsFilePath(), &text, &problem)) return lines;
    bool ours = true;  // lines before any section, or in [ClientDriver]
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        // A comment: the rest of the line, whether it stands alone or follows a value.
        line = ini::Trim(line.substr(0, line.find_first_of("#;")));
        std::string section, key;
        std::size_t valueStart = 0;
        if (!line.empty() && line[0] == '[') {
            ours = ini::SectionName(line, &section) && ini::SameName(section, names::kSettingsSection);
        } else if (ours && ini::KeyOf(line, &key, &valueStart) && ini::SameName(key, name)) {
            lines.push_back({number, ini::Trim(line.substr(valueStart))});
        }
    }
    return lines;
}

std::string SettingsFileProblem() {
    std::string text, problem;
    ReadText(SettingsFilePath(), &text, &problem);
    return problem;
}

}  // namespace platform
