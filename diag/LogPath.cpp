#include "diag/LogPath.h"

#include <cstring>

#include "platform/Platform.h"

namespace diag {

std::string MakeLogPath(std::uint32_t queryResult, const char* buffer, std::uint32_t bufferSize) {
    // The folder text ends with a separator and the file name starts with one:
    // the doubled backslash is how the path has always been written.
    static const char kFileName[] = "\\KestavClientDriver.log";
    if (queryResult == 0 || queryResult > bufferSize) return std::string("c:") + kFileName;
    return std::string(buffer, strnlen(buffer, queryResult)) + kFileName;
}

std::string LogFilePath() {
    char folder[kTempBufferSize];
    const std::uint32_t written = platform::TempFolder(folder, kTempBufferSize);
    return MakeLogPath(written, folder, kTempBufferSize);
}

}  // namespace diag
