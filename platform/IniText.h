// The rules of the INI-style files the programs read: the settings file on
// Linux and a Citrix client's module.ini. Blanks are spaces, tabs and
// carriage returns; names match in any letter case; "[name]" opens a
// section; "key = value" sets a key, and a line that starts with ';' or '#'
// is a comment. What each file makes of the lines (comments after a value,
// lists, editing in place) stays with its reader.
#pragma once

#include <cstddef>
#include <string>

namespace ini {

bool IsBlank(char c);
// Without the blanks at either end.
std::string Trim(const std::string& text);
bool SameName(const std::string& a, const std::string& b);
// "[name]" (blanks around allowed): true, with the name trimmed.
bool SectionName(const std::string& line, std::string* name);
// "key = value": true with the key trimmed; `valueStart`, when given, is
// where the value's bytes begin (after the '=').
bool KeyOf(const std::string& line, std::string* key, std::size_t* valueStart = nullptr);

}  // namespace ini
