// The module's trace file, KestavClientDriver.log in the user's temporary
// folder. One LogFile is one line: construct, then either Write (a
// timestamped line) or one detail line through Stream, then destroy. Nothing
// is kept open between lines, each line reaches the file in one write, and a
// log that cannot be written swallows its lines; where the system says why
// (POSIX: the log's place is a FIFO, a link, another user's...), the first
// such line says so on standard error, once per process.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <ostream>  // std::endl, for the callers of Stream()
#include <string>
#include <type_traits>

#include "diag/LogPath.h"
#include "platform/File.h"

namespace diag {

// The log file is started again, with a line that says so, once it has grown
// past this size: no sender can fill the user's disk through it.
constexpr std::uint64_t kLogFileLimit = 16u * 1024 * 1024;
// The file's size is looked at when it is opened after this process has
// written this much since the last look (and at the first open): the file
// can outgrow kLogFileLimit by this much per writing process, and most lines
// cost no extra call into the system.
constexpr std::uint64_t kLogSizeLookEvery = 64u * 1024;
// How much of one text that came from outside (a command, a parameter, a
// response) a line shows; the rest is counted, not written.
constexpr std::size_t kShownBytes = 1024;

// Text from outside, as a log line shows it: control characters, and what a
// viewer could take for a line break, escaped, so that no input can start a
// line of its own (where the log is UTF-8, also every byte that is no UTF-8),
// and cut after kShownBytes with the full size after it:
//     "Measure"          -> Measure
//     "A\r\n01.01.2026"  -> A\r\n01.01.2026  (backslash-r, backslash-n)
//     "A" U+2028 "B"     -> A\u2028B
//     2,000 x "A"        -> AAA...A (1024 bytes shown) ... [2000 bytes]
struct Shown {
    const std::string& text;
};
// Appends `text` as Shown writes it.
void AppendShown(std::string& line, const std::string& text);

// The detail line of one LogFile: texts as they are and integers in decimal,
// gathered in memory and written to the file in one write at std::endl:
//     LogFile().Stream() << "Data (channel: " << channel << ")" << std::endl;
// It is deliberately not a std::ostream: the standard streams bring the whole
// locale machinery of the C++ runtime into the DLL (several hundred KB) for
// lines that hold nothing but texts and integers.
class LineStream {
public:
    LineStream() = default;
    LineStream(const LineStream&) = delete;
    LineStream& operator=(const LineStream&) = delete;

    // False once the file could not be opened or a write failed, as a
    // stream's good().
    bool good() const { return good_; }

    LineStream& operator<<(const std::string& text) { return Append(text.data(), text.size()); }
    LineStream& operator<<(const char* text) {
        return Append(text, std::char_traits<char>::length(text));
    }
    template <typename Integer,
              typename = std::enable_if_t<std::is_integral_v<Integer> && !std::is_same_v<Integer, bool> &&
                                          !std::is_same_v<Integer, char>>>
    LineStream& operator<<(Integer value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        return Append(digits, static_cast<std::size_t>(end - digits));
    }
    LineStream& operator<<(Shown shown);
    // std::endl ends the line and writes it; std::flush changes nothing, as
    // the line is written whole at its end anyway.
    // (Inline, so that the comparison folds away and std::endl's own code,
    // which would pull the streams in, is never referenced.)
    LineStream& operator<<(std::ostream& (*manipulator)(std::ostream&)) {
        if (manipulator == &std::endl<char, std::char_traits<char>>) EndLine();
        return *this;
    }

private:
    friend class LogFile;
    LineStream& Append(const char* bytes, std::size_t size);
    void EndLine();
    // Writes what has gathered, in one write.
    void Flush();

    platform::FileHandle file_ = platform::kNoFile;
    bool good_ = false;
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

    // One timestamped line: "dd.mm.yyyy - hh:mm:ss  " + message.
    void Write(const std::string& message);
    // One detail line (no time prefix), ended with std::endl.
    LineStream& Stream() { return line_; }

    // True until the first open attempt after the module is loaded: that open
    // empties the file, every later one appends.
    static bool firstOpen;
    // Set (before any line) by the programs that use the module's code but
    // are not the module, such as kestav-check: the user's log is the last
    // session's, and their lines would land in it. No line is written then.
    static bool off;

private:
    // Starts the file again when it has outgrown kLogFileLimit.
    void RestartIfFull();

    platform::FileHandle file_;
    LineStream line_;
};

// One timestamped line whose message is built from texts first:
// LogLine("Parameters of ", command) is LogFile().Write("Parameters of " + command).
inline void AppendText(std::string& line, const std::string& text) { line.append(text); }
inline void AppendText(std::string& line, const char* text) { line.append(text); }
inline void AppendText(std::string& line, Shown shown) { AppendShown(line, shown.text); }

template <typename... Texts>
void LogLine(const Texts&... texts) {
    std::string message;
    (AppendText(message, texts), ...);
    LogFile().Write(message);
}

// One detail line from texts and integers:
// LogDetail("Data (channel: ", 3, ")") writes "Data (channel: 3)".
template <typename... Items>
void LogDetail(const Items&... items) {
    LogFile log;
    (log.Stream() << ... << items) << std::endl;
}

// A message from the server, as every transport logs it: "<transport>: Data
// arrival", then its channel, size and bytes ("not kept" when `bytes` is
// null: one too long to keep).
inline void LogArrival(const char* transport, const std::string& channel, std::size_t size, const std::string* bytes) {
    LogLine(transport, ": Data arrival");
    if (bytes != nullptr)
        LogDetail("Data (channel: ", channel, ", size: ", size, "): \"", Shown{*bytes}, "\"");
    else
        LogDetail("Data (channel: ", channel, ", size: ", size, "): not kept");
}

}  // namespace diag
