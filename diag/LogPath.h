// Where the log file lives: the user's temporary folder.
#pragma once

#include <cstdint>
#include <string>

namespace diag {

constexpr std::uint32_t kTempBufferSize = 260;

// "C:\Temp\" -> "C:\Temp\\KestavClientDriver.log"; a failed query (0) or a
// folder that does not fit the buffer (result > bufferSize) ->
// "c:\KestavClientDriver.log". Reads no byte past what the query wrote.
std::string MakeLogPath(std::uint32_t queryResult, const char* buffer, std::uint32_t bufferSize);

// The path that the next log line goes to.
std::string LogFilePath();

}  // namespace diag
