#include "diag/LogFile.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/File.h"

namespace diag {

bool LogFile::firstOpen = true;
bool LogFile::off = false;

namespace {
std::atomic_flag problemSaid = ATOMIC_FLAG_INIT;
}  // namespace

namespace {
// Bytes this process has written since it last looked at the file's size.
std::atomic<std::uint64_t> writtenSinceLook{kLogSizeLookEvery};
}  // namespace

LineStream& LineStream::Append(const char* bytes, std::size_t size) {
    if (file_ == platform::kNoFile) return *this;
    // Bytes go in as they are: only the line end is the platform's own.
    if (spill_.empty() && size_ + size <= sizeof inline_) {
        std::memcpy(inline_ + size_, bytes, size);
        size_ += size;
        return *this;
    }
    if (spill_.empty()) spill_.assign(inline_, size_);
    spill_.append(bytes, size);
    return *this;
}

namespace {
bool NeedsEscape(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// Appends `text` shown, to anything with append(bytes, size).
template <typename Line>
void AppendShownTo(Line& line, const std::string& text) {
    const std::size_t shown = text.size() > kShownBytes ? kShownBytes : text.size();
    const char* const begin = text.data();
    const char* const end = begin + shown;
    const char* run = begin;  // the start of bytes that go in as they are
    for (const char* c = begin; c != end; ++c) {
        if (!NeedsEscape(*c)) continue;
        line.append(run, static_cast<std::size_t>(c - run));
        run = c + 1;
        char escape[4] = {'\\', 0, 0, 0};
        std::size_t length = 2;
        switch (*c) {
            case '\r': escape[1] = 'r'; break;
            case '\n': escape[1] = 'n'; break;
            case '\t': escape[1] = 't'; break;
            default: {
                const char* const hex = "0123456789ABCDEF";
                const auto byte = static_cast<unsigned char>(*c);
                escape[1] = 'x';
                escape[2] = hex[byte >> 4];
                escape[3] = hex[byte & 15];
                length = 4;
            }
        }
        line.append(escape, length);
    }
    line.append(run, static_cast<std::size_t>(end - run));
    if (shown == text.size()) return;
    char count[24];
    const auto countEnd = std::to_chars(count, count + sizeof count, text.size()).ptr;
    line.append("... [", 5);
    line.append(count, static_cast<std::size_t>(countEnd - count));
    line.append(" bytes]", 7);
}
}  // namespace

void AppendShown(std::string& line, const std::string& text) {
    AppendShownTo(line, text);
}

LineStream& LineStream::operator<<(Shown shown) {
    if (file_ == platform::kNoFile) return *this;
    struct Appender {
        LineStream& stream;
        void append(const char* bytes, std::size_t size) { stream.Append(bytes, size); }
    } appender{*this};
    AppendShownTo(appender, shown.text);
    return *this;
}

void LineStream::EndLine() {
    if (file_ == platform::kNoFile) return;
    Append(platform::LineEnd(), std::strlen(platform::LineEnd()));
    Flush();
}

void LineStream::Flush() {
    const bool spilled = !spill_.empty();
    const std::size_t size = spilled ? spill_.size() : size_;
    if (file_ == platform::kNoFile || size == 0) return;
    good_ = platform::WriteBytes(file_, spilled ? spill_.data() : inline_, size) && good_;
    writtenSinceLook += size;
    size_ = 0;
    spill_.clear();
}

LogFile::LogFile() : file_(platform::kNoFile) {
    if (off) return;
    char path[kLogPathSize];
    LogFilePath(path);
    std::string problem;
    file_ = platform::OpenSharedAppend(path, firstOpen, &problem);
    // The one word the user gets of a log that is lost, where nothing else would tell.
    if (!problem.empty() && !problemSaid.test_and_set())
        std::fprintf(stderr, "Kestav client driver: no log: %s\n", problem.c_str());
    // Written once only: later lines, from whichever thread, just read it.
    if (firstOpen) firstOpen = false;
    line_.file_ = file_;
    line_.good_ = file_ != platform::kNoFile;
    if (file_ != platform::kNoFile) RestartIfFull();
}

void LogFile::RestartIfFull() {
    if (writtenSinceLook < kLogSizeLookEvery) return;
    writtenSinceLook = 0;
    const std::uint64_t size = platform::FileSize(file_);
    if (size < kLogFileLimit) return;
    platform::CloseFile(file_);
    char path[kLogPathSize];
    LogFilePath(path);
    file_ = platform::OpenSharedAppend(path, true);
    line_.file_ = file_;
    line_.good_ = file_ != platform::kNoFile;
    if (file_ == platform::kNoFile) return;
    line_ << "Log restarted: the file had reached " << size << " bytes (at most " << kLogFileLimit
          << ")" << std::endl;
}

LogFile::~LogFile() {
    if (file_ == platform::kNoFile) return;
    line_.Flush();  // a detail line that was never ended is written all the same
    platform::CloseFile(file_);
}

namespace {
// Writes `value` as `width` decimal digits, zero-padded, ending before `end`.
void Digits(char* end, unsigned value, int width) {
    for (int i = 0; i < width; ++i, value /= 10) *--end = static_cast<char>('0' + value % 10);
}
}  // namespace

void LogFile::Write(const std::string& message) {
    if (file_ == platform::kNoFile) return;
    // "05.03.2026 - 09:04:07  ": local time, every field zero-padded.
    const platform::LocalTime t = platform::NowLocal();
    char prefix[] = "dd.mm.yyyy - hh:mm:ss  ";
    Digits(prefix + 2, t.day % 100, 2);
    Digits(prefix + 5, t.month % 100, 2);
    Digits(prefix + 10, t.year % 10000, 4);
    Digits(prefix + 15, t.hour % 100, 2);
    Digits(prefix + 18, t.minute % 100, 2);
    Digits(prefix + 21, t.second % 100, 2);
    line_.Append(prefix, sizeof prefix - 1).Append(message.data(), message.size());
    line_.EndLine();
}

}  // namespace diag
