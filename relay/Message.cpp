#include "relay/Message.h"

#include <boost/algorithm/string/replace.hpp>

#include "diag/LogFile.h"

namespace relay {

namespace {
const char kSeparator = '|';
}

std::string GetCommandName(const std::string& command) {
    return command.substr(0, command.find(kSeparator));
}

ParameterList GetParameters(const std::string& command) {
    diag::LogLine("Parameters of ", diag::Shown{command});

    ParameterList parameters;
    std::string::size_type start = command.find(kSeparator);
    if (start == std::string::npos) return parameters;
    for (;;) {
        const std::string::size_type end = command.find(kSeparator, start + 1);
        // Text after the last separator is not a parameter.
        if (end == std::string::npos) break;
        parameters.push_back(command.substr(start + 1, end - start - 1));
        start = end;
    }
    return parameters;
}

std::string ReplaceAll(const std::string& text, const std::string& search,
                       const std::string& replacement) {
    // Left to right, never rescanning a replacement; an empty search text
    // finds nothing.
    return boost::algorithm::replace_all_copy(text, search, replacement);
}

std::string EscapeField(const std::string& value) {
    return ReplaceAll(value, "|", "&vert;");
}

std::string UnescapeField(const std::string& value) {
    return ReplaceAll(value, "&vert;", "|");
}

}  // namespace relay
