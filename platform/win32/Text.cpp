#include "platform/Text.h"

#include <windows.h>

#include "platform/win32/Wide.h"

namespace platform {

namespace {

std::wstring ToWide(UINT codePage, const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

std::string FromWide(UINT codePage, const wchar_t* text, std::size_t size) {
    if (size == 0) return std::string();
    // Best fit and '?' for what the code page cannot spell; CP_UTF8 spells all.
    const int length = WideCharToMultiByte(codePage, 0, text, int(size), nullptr, 0, nullptr, nullptr);
    std::string narrow(std::size_t(length > 0 ? length : 0), '\0');
    if (length > 0) WideCharToMultiByte(codePage, 0, text, int(size), &narrow[0], length, nullptr, nullptr);
    return narrow;
}

}  // namespace

std::wstring Widen(const std::string& utf8) { return ToWide(CP_UTF8, utf8); }

std::string Narrow(const wchar_t* text, std::size_t length) { return FromWide(CP_UTF8, text, length); }

bool WidenInto(const char* utf8, wchar_t* out, std::size_t capacity) {
    return MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, int(capacity)) > 0;
}

std::size_t NarrowInto(const wchar_t* text, std::size_t length, char* out, std::size_t capacity) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
    if (needed < 0 || std::size_t(needed) >= capacity) return std::size_t(needed) + 1;
    WideCharToMultiByte(CP_UTF8, 0, text, int(length), out, needed, nullptr, nullptr);
    out[needed] = '\0';
    return std::size_t(needed);
}

std::string ShownPath(const std::string& path) {
    const std::wstring wide = Widen(path);
    return FromWide(CP_ACP, wide.data(), wide.size());
}

std::string PathFromAnsi(const std::string& text) { return Narrow(ToWide(CP_ACP, text)); }

}  // namespace platform
