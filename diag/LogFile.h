// The module's trace file, KestavClientDriver.log in the user's temporary
// folder. One LogFile is one line: construct, Write (or one detail line
// through Stream), destroy. Nothing is kept open between lines, and a log
// that cannot be written swallows its lines silently.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <streambuf>
#include <string>

#include "diag/LogPath.h"

namespace diag {

// A stream buffer over a C runtime FILE, so that the file can be opened with
// deny-none sharing (which std::ofstream cannot ask for). Writes nothing when
// it holds no file.
class FileBuffer : public std::streambuf {
public:
    explicit FileBuffer(std::FILE* file) : file_(file) {}

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    std::FILE* file_;
};

class LogFile {
public:
    LogFile();
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // One timestamped line: "dd.mm.yyyy - hh:mm:ss  " + message.
    void Write(const std::string& message);
    // For a detail line without prefix; the caller ends it with std::endl.
    std::ostream& Stream() { return stream_; }

    // True until the first open attempt after the module is loaded: that open
    // empties the file, every later one appends.
    static bool firstOpen;

private:
    std::FILE* file_;
    FileBuffer buffer_;
    std::ostream stream_;
};

// One detail line (no time prefix) of the given items, streamed with the
// stream's defaults: LogDetail("Data (channel: ", 3, ")").
template <typename... Items>
void LogDetail(const Items&... items) {
    LogFile log;
    (log.Stream() << ... << items) << std::endl;
}

// Formats the timestamp prefix "05.03.2026 - 09:04:07  " of a timestamped line.
std::string TimePrefix(unsigned day, unsigned month, unsigned year, unsigned hour,
                       unsigned minute, unsigned second);

}  // namespace diag
