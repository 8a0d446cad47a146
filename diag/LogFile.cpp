#include "diag/LogFile.h"

#include <cstring>

#include "platform/Platform.h"

namespace diag {

bool LogFile::firstOpen = true;

void LineBuffer::Append(const char* s, std::size_t n) {
    if (spill_.empty() && size_ + n <= sizeof inline_) {
        std::memcpy(inline_ + size_, s, n);
        size_ += n;
        return;
    }
    if (spill_.empty()) spill_.assign(inline_, size_);
    spill_.append(s, n);
}

void LineBuffer::AppendLineEnd() {
    const char* end = platform::LineEnd();
    Append(end, std::strlen(end));
}

void LineBuffer::AppendTranslated(const char* s, std::size_t n) {
    // Text mode: the platform's line end for every "\n".
    for (const char* end = s + n; s != end;) {
        const char* newline = static_cast<const char*>(std::memchr(s, '\n', std::size_t(end - s)));
        if (newline == nullptr) {
            Append(s, std::size_t(end - s));
            break;
        }
        Append(s, std::size_t(newline - s));
        AppendLineEnd();
        s = newline + 1;
    }
}

LineBuffer::int_type LineBuffer::overflow(int_type c) {
    if (file_ == platform::kNoFile) return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char character = traits_type::to_char_type(c);
    AppendTranslated(&character, 1);
    return c;
}

std::streamsize LineBuffer::xsputn(const char* s, std::streamsize n) {
    if (file_ == platform::kNoFile) return 0;
    AppendTranslated(s, static_cast<std::size_t>(n));
    return n;
}

int LineBuffer::sync() {
    if (file_ == platform::kNoFile) return -1;
    const bool spilled = !spill_.empty();
    const char* bytes = spilled ? spill_.data() : inline_;
    const std::size_t size = spilled ? spill_.size() : size_;
    const bool written = size == 0 || platform::WriteBytes(file_, bytes, size);
    size_ = 0;
    spill_.clear();
    return written ? 0 : -1;
}

LogFile::LogFile() : file_(platform::kNoFile) {
    char path[kLogPathSize];
    LogFilePath(path);
    file_ = platform::OpenSharedAppend(path, firstOpen);
    firstOpen = false;
    buffer_.SetFile(file_);
}

LogFile::~LogFile() {
    if (file_ == platform::kNoFile) return;
    (void)buffer_.sync();  // whatever a detail line left unflushed
    platform::CloseFile(file_);
}

std::ostream& LogFile::Stream() {
    if (!stream_) {
        stream_.emplace(&buffer_);
        if (file_ == platform::kNoFile) stream_->setstate(std::ios::badbit);
    }
    return *stream_;
}

namespace {
// Writes `value` as `width` decimal digits, zero-padded, ending before `end`.
void Digits(char* end, unsigned value, int width) {
    for (int i = 0; i < width; ++i, value /= 10) *--end = static_cast<char>('0' + value % 10);
}
}  // namespace

void FormatTimePrefix(char (&prefix)[kTimePrefixLength], unsigned day, unsigned month,
                      unsigned year, unsigned hour, unsigned minute, unsigned second) {
    std::memcpy(prefix, "dd.mm.yyyy - hh:mm:ss  ", kTimePrefixLength);
    Digits(prefix + 2, day % 100, 2);
    Digits(prefix + 5, month % 100, 2);
    Digits(prefix + 10, year % 10000, 4);
    Digits(prefix + 15, hour % 100, 2);
    Digits(prefix + 18, minute % 100, 2);
    Digits(prefix + 21, second % 100, 2);
}

std::string TimePrefix(unsigned day, unsigned month, unsigned year, unsigned hour,
                       unsigned minute, unsigned second) {
    char prefix[kTimePrefixLength];
    FormatTimePrefix(prefix, day, month, year, hour, minute, second);
    return std::string(prefix, kTimePrefixLength);
}

void LogFile::BeginTimestamped() {
    const platform::LocalTime t = platform::NowLocal();
    char prefix[kTimePrefixLength];
    FormatTimePrefix(prefix, t.day, t.month, t.year, t.hour, t.minute, t.second);
    buffer_.Append(prefix, kTimePrefixLength);
}

void LogFile::End() {
    buffer_.AppendLineEnd();
    (void)buffer_.sync();
}

void LogFile::Write(const std::string& message) {
    if (!IsOpen()) return;
    BeginTimestamped();
    AppendItem(buffer_, message);
    End();
}

}  // namespace diag
