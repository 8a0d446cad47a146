// UTF-8 paths to the UTF-16 the system takes, and back (platform/Text.h).
#pragma once

#include <string>

namespace platform {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const wchar_t* text, std::size_t length);
// The same into a caller's buffer, with its terminator, allocating nothing
// (the log's path is converted for every line): false when it does not fit.
bool WidenInto(const char* utf8, wchar_t* out, std::size_t capacity);
// UTF-16 into `out` with its terminator: the bytes written without it, or
// the size needed (terminator included, above `capacity`) when it does not fit.
std::size_t NarrowInto(const wchar_t* text, std::size_t length, char* out, std::size_t capacity);
inline std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }

}  // namespace platform
