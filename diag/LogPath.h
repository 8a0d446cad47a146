// Where the log file lives: the user's temporary folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace diag {

constexpr std::uint32_t kTempBufferSize = 260;
// Room for the longest log path: the folder, the file name and a terminator.
constexpr std::size_t kLogPathSize = kTempBufferSize + 32;

// "C:\Temp\" -> "C:\Temp\\KestavClientDriver.log"; a failed query (0) or a
// folder that does not fit the buffer (result > bufferSize) ->
// "c:\KestavClientDriver.log". Reads no byte past what the query wrote.
// Writes the NUL-terminated path into `path` and returns its length.
std::size_t MakeLogPath(std::uint32_t queryResult, const char* buffer, std::uint32_t bufferSize,
                        char (&path)[kLogPathSize]);

// The path that the next log line goes to (asks the system each time).
void LogFilePath(char (&path)[kLogPathSize]);
// The same, for people's tools: kestav-host shows the log's last lines.
std::string LogFilePath();
// The same as people read it: the system's separators, one between each
// two names ("C:\Temp\KestavClientDriver.log", "/tmp/kestav-1000/KestavClientDriver.log").
std::string ShownLogFilePath();
// "C:\\Temp\\\\x.log" -> "C:\\Temp\\x.log": one separator wherever there are more,
// but for the two that begin a network path ("\\\\server\\share").
std::string OneSeparator(const std::string& path);

}  // namespace diag
