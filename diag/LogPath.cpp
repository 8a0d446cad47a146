#include "diag/LogPath.h"

#include <cstring>

#include "platform/File.h"
#include "platform/Text.h"

namespace diag {

std::size_t MakeLogPath(std::uint32_t queryResult, const char* buffer, std::uint32_t bufferSize,
                        char (&path)[kLogPathSize]) {
    // The folder text ends with a separator and the file name starts with one:
    // the doubled backslash is how the path has always been written.
    static const char kFileName[] = "\\KestavClientDriver.log";
    std::size_t length = 0;
    if (queryResult == 0 || queryResult > bufferSize) {
        std::memcpy(path, "c:", 2);
        length = 2;
    } else {
        length = strnlen(buffer, queryResult);
        std::memcpy(path, buffer, length);
    }
    std::memcpy(path + length, kFileName, sizeof kFileName);
    return length + sizeof kFileName - 1;
}

void LogFilePath(char (&path)[kLogPathSize]) {
    char folder[kTempBufferSize];
    const std::uint32_t written = platform::LogFolder(folder, kTempBufferSize);
    MakeLogPath(written, folder, kTempBufferSize, path);
}

std::string LogFilePath() {
    char path[kLogPathSize];
    LogFilePath(path);
    return path;
}

std::string OneSeparator(const std::string& path) {
    std::string shown;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const bool separator = path[i] == '\\' || path[i] == '/';
        // A leading pair names a network share (\\server\share): kept.
        if (separator && i > 1 && (path[i - 1] == '\\' || path[i - 1] == '/')) continue;
        shown += path[i];
    }
    return shown;
}

std::string ShownLogFilePath() {
    return platform::ShownPath(OneSeparator(platform::NativePath(LogFilePath())));
}

}  // namespace diag
