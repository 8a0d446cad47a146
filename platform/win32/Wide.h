// UTF-8 paths to the UTF-16 the system takes, and back (platform/Text.h).
#pragma once

#include <string>

namespace platform {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const wchar_t* text, std::size_t length);
inline std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }

}  // namespace platform
