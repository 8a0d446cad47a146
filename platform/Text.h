// Paths inside the program are UTF-8, so that any folder the system can hold
// works; the system is called with its UTF-16 forms (Windows). What people and
// scripts read (the log) shows a path in the system's 8-bit code page, as it
// always has: byte for byte for every path that code page can spell, and the
// best it can give for one it cannot.
#pragma once

#include <string>

namespace platform {

// A path as the log shows it: in the ANSI code page on Windows.
std::string ShownPath(const std::string& path);
// Text in the ANSI code page (a driver name from a command, an argument of
// a program started with 8-bit text) as part of a path.
std::string PathFromAnsi(const std::string& text);

}  // namespace platform
