// The command text format. A command is its name, then each parameter followed
// by "|": "GetSpectralData|1|2|". A "|" inside a value travels as "&vert;".
// Texts are bytes: every byte value, NUL included, is kept.
#pragma once

#include <string>
#include <vector>

namespace relay {

using ParameterList = std::vector<std::string>;

// "GetSpectralData|1|2|" -> "GetSpectralData"; "Measure" -> "Measure".
std::string GetCommandName(const std::string& command);

// "SetOption|A|B|" -> {"A", "B"}; "SetOption|A|B" -> {"A"}; "Measure" -> {}.
// Logs "Parameters of " + command.
ParameterList GetParameters(const std::string& command);

// Every non-overlapping occurrence of `search` (left to right) replaced; the
// replacement is never searched again. An empty search text changes nothing.
std::string ReplaceAll(const std::string& text, const std::string& search,
                       const std::string& replacement);

// "a|b" -> "a&vert;b"
std::string EscapeField(const std::string& value);
// "a&vert;b" -> "a|b"
std::string UnescapeField(const std::string& value);

}  // namespace relay
