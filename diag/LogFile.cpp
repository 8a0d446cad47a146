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
// The length of the UTF-8 character at `c` (before `end`), 2 to 4; 0 when
// the bytes there are no well-formed one (a stray byte, a sequence cut short,
// an overlong form, a surrogate, past U+10FFFF).
std::size_t Utf8Length(const unsigned char* c, const unsigned char* end) {
    std::size_t length = c[0] >= 0xF0 ? 4 : c[0] >= 0xE0 ? 3 : c[0] >= 0xC2 ? 2 : 0;
    if (length == 0 || c[0] > 0xF4 || std::size_t(end - c) < length) return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((c[i] & 0xC0) != 0x80) return 0;
    if ((c[0] == 0xE0 && c[1] < 0xA0) || (c[0] == 0xED && c[1] >= 0xA0) || (c[0] == 0xF0 && c[1] < 0x90) ||
        (c[0] == 0xF4 && c[1] >= 0x90))
        return 0;
    return length;
}

// The code point of a UTF-8 character of 2 or 3 bytes that a viewer may
// take for a line break: a C1 control (U+0080 to U+009F, NEL among them), the
// line and the paragraph separators (U+2028, U+2029); 0 for any other.
unsigned LineBreakLike(const unsigned char* c, std::size_t length) {
    if (length == 2 && c[0] == 0xC2 && c[1] <= 0x9F) return c[1];
    if (length == 3 && c[0] == 0xE2 && c[1] == 0x80 && (c[2] == 0xA8 || c[2] == 0xA9)) return 0x2000u | (c[2] - 0x80u);
    return 0;
}

// Appends `text` shown, to anything with append(bytes, size). Escaped: the
// control bytes, and what a viewer of the log could take for a line break.
// Where the log is UTF-8 (POSIX) that is also every byte that is no
// well-formed UTF-8; where it is in the ANSI code page (Windows) its bytes are
// its characters, but the UTF-8 forms of the line-breaking characters, and
// 0x85 (NEL, where the file is read as Latin-1), are escaped all the same.
template <typename Line>
void AppendShownTo(Line& line, const std::string& text) {
    const std::size_t shown = text.size() > kShownBytes ? kShownBytes : text.size();
    const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = begin + shown;
    const auto* run = begin;  // the start of bytes that go in as they are
    const char* const hex = "0123456789ABCDEF";
    for (const unsigned char* c = begin; c != end;) {
        std::size_t length = 1;
        unsigned codePoint = 0;  // of a character escaped as \uXXXX
        bool escaped = *c < 0x20 || *c == 0x7F;
        if (*c >= 0x80) {
            const std::size_t utf8 = Utf8Length(c, end);
            codePoint = utf8 != 0 ? LineBreakLike(c, utf8) : 0;
            if (codePoint != 0) {
                length = utf8;
            } else if (platform::kTextIsUtf8) {
                escaped = utf8 == 0;
                if (utf8 != 0) length = utf8;
            } else {
                escaped = *c == 0x85;
            }
        }
        if (!escaped && codePoint == 0) {
            c += length;
            continue;
        }
        line.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(c - run));
        char escape[6] = {'\\', 0, 0, 0, 0, 0};
        std::size_t size = 2;
        if (codePoint != 0) {
            escape[1] = 'u';
            for (int i = 0; i < 4; ++i) escape[2 + i] = hex[(codePoint >> (12 - 4 * i)) & 15];
            size = 6;
        } else if (*c == '\r') {
            escape[1] = 'r';
        } else if (*c == '\n') {
            escape[1] = 'n';
        } else if (*c == '\t') {
            escape[1] = 't';
        } else {
            escape[1] = 'x';
            escape[2] = hex[*c >> 4];
            escape[3] = hex[*c & 15];
            size = 4;
        }
        line.append(escape, size);
        c += length;
        run = c;
    }
    line.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(end - run));
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
    // Its place taken (by another user, say): the line goes to a fresh
    // folder of the user's alone, which says where and why when it is made.
    // Each line tries the usual place first: once it is usable again, the
    // log is back there.
    std::string folder;
    bool made = false;
    if (file_ == platform::kNoFile && !problem.empty() && platform::PrivateLogFolder(&folder, &made) &&
        folder.size() < kTempBufferSize &&
        MakeLogPath(std::uint32_t(folder.size()), folder.c_str(), kTempBufferSize, path) != 0 &&
        (file_ = platform::OpenSharedAppend(path, made)) != platform::kNoFile) {
        if (made) {
            std::fprintf(stderr, "Kestav client driver: the log is in %s: %s\n", folder.c_str(), problem.c_str());
            line_.file_ = file_;
            line_.good_ = true;
            line_ << "The log is here because " << problem << std::endl;
        }
        problem.clear();
    }
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
