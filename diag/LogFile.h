// The module's trace file, KestavClientDriver.log in the user's temporary
// folder. One LogFile is one line: construct, Write (or one detail line
// through Stream or LogDetail), destroy. Nothing is kept open between lines,
// each line reaches the file in one write, and a log that cannot be written
// swallows its lines silently.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <type_traits>

#include "diag/LogPath.h"
#include "platform/Platform.h"

namespace diag {

// The text of one log line, gathered in memory and handed to the file in one
// write. Lines of ordinary length need no heap memory. As a stream buffer it
// turns each "\n" into the platform's line end and writes at std::endl.
class LineBuffer : public std::streambuf {
public:
    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;

    void SetFile(platform::FileHandle file) { file_ = file; }
    void Append(const char* s, std::size_t n);
    void AppendLineEnd();
    // Writes what has gathered, in one write; -1 when there is no file or the
    // write failed.
    int sync() override;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    void AppendTranslated(const char* s, std::size_t n);

    platform::FileHandle file_ = platform::kNoFile;
    char inline_[512];
    std::size_t size_ = 0;
    std::string spill_;  // used instead of inline_ once a line outgrows it
};

class LogFile {
public:
    LogFile();
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool IsOpen() const { return file_ != platform::kNoFile; }

    // One timestamped line: "dd.mm.yyyy - hh:mm:ss  " + message.
    void Write(const std::string& message);
    // For a detail line written item by item; the caller ends it with
    // std::endl. The stream has its defaults: no fill, no width, decimal.
    std::ostream& Stream();

    // Building a line from parts (see LogLine and LogDetail).
    void BeginTimestamped();
    LineBuffer& Line() { return buffer_; }
    void End();

    // True until the first open attempt after the module is loaded: that open
    // empties the file, every later one appends.
    static bool firstOpen;

private:
    platform::FileHandle file_;
    LineBuffer buffer_;
    std::optional<std::ostream> stream_;  // built only for Stream()
};

// Line parts: texts as they are, integers in decimal.
inline void AppendItem(LineBuffer& line, const std::string& text) {
    line.Append(text.data(), text.size());
}
inline void AppendItem(LineBuffer& line, const char* text) {
    line.Append(text, std::char_traits<char>::length(text));
}
template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer>>>
void AppendItem(LineBuffer& line, Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line.Append(digits, static_cast<std::size_t>(end - digits));
}

// One timestamped line made of parts: LogLine("Parameters of ", command).
template <typename... Items>
void LogLine(const Items&... items) {
    LogFile log;
    if (!log.IsOpen()) return;
    log.BeginTimestamped();
    (AppendItem(log.Line(), items), ...);
    log.End();
}

// One detail line (no time prefix) made of parts:
// LogDetail("Data (channel: ", 3, ")") writes "Data (channel: 3)".
template <typename... Items>
void LogDetail(const Items&... items) {
    LogFile log;
    if (!log.IsOpen()) return;
    (AppendItem(log.Line(), items), ...);
    log.End();
}

// The timestamp prefix "05.03.2026 - 09:04:07  " of a timestamped line.
constexpr std::size_t kTimePrefixLength = 23;
void FormatTimePrefix(char (&prefix)[kTimePrefixLength], unsigned day, unsigned month,
                      unsigned year, unsigned hour, unsigned minute, unsigned second);
std::string TimePrefix(unsigned day, unsigned month, unsigned year, unsigned hour,
                       unsigned minute, unsigned second);

}  // namespace diag
