#include "diag/LogFile.h"


#include "platform/Platform.h"

namespace diag {

bool LogFile::firstOpen = true;

FileBuffer::int_type FileBuffer::overflow(int_type c) {
    if (file_ == nullptr) return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    return std::fputc(traits_type::to_char_type(c), file_) == EOF ? traits_type::eof() : c;
}

std::streamsize FileBuffer::xsputn(const char* s, std::streamsize n) {
    if (file_ == nullptr) return 0;
    return static_cast<std::streamsize>(std::fwrite(s, 1, static_cast<std::size_t>(n), file_));
}

int FileBuffer::sync() {
    if (file_ == nullptr) return -1;
    return std::fflush(file_) == 0 ? 0 : -1;
}

LogFile::LogFile() : file_(nullptr), buffer_(nullptr), stream_(&buffer_) {
    try {
        file_ = platform::OpenSharedText(LogFilePath(), firstOpen);
    } catch (...) {
        // Out of memory while building the path: the line is lost, nothing else.
        file_ = nullptr;
    }
    firstOpen = false;
    if (file_ == nullptr) {
        stream_.setstate(std::ios::badbit);
    } else {
        buffer_ = FileBuffer(file_);
        stream_.rdbuf(&buffer_);
    }
}

LogFile::~LogFile() {
    if (file_ != nullptr) std::fclose(file_);
}

std::string TimePrefix(unsigned day, unsigned month, unsigned year, unsigned hour,
                       unsigned minute, unsigned second) {
    char text[48];
    std::snprintf(text, sizeof text, "%02u.%02u.%04u - %02u:%02u:%02u  ", day, month, year, hour,
                  minute, second);
    return text;
}

void LogFile::Write(const std::string& message) {
    if (file_ == nullptr) return;
    const platform::LocalTime t = platform::NowLocal();
    stream_ << TimePrefix(t.day, t.month, t.year, t.hour, t.minute, t.second) << message
            << std::endl;
}

}  // namespace diag
