#include "relay/Message.h"

#include "diag/LogFile.h"

namespace relay {

namespace {
const char kSeparator = '|';
}

std::string GetCommandName(const std::string& command) {
    return command.substr(0, command.find(kSeparator));
}

ParameterList GetParameters(const std::string& command) {
    diag::LogLine("Parameters of ", command);

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
    if (search.empty()) return text;
    std::string result;
    result.reserve(text.size());
    std::string::size_type position = 0;
    for (;;) {
        const std::string::size_type found = text.find(search, position);
        if (found == std::string::npos) break;
        result.append(text, position, found - position);
        result += replacement;
        position = found + search.size();
    }
    result.append(text, position, std::string::npos);
    return result;
}

std::string EscapeField(const std::string& value) {
    return ReplaceAll(value, "|", "&vert;");
}

std::string UnescapeField(const std::string& value) {
    return ReplaceAll(value, "&vert;", "|");
}

}  // namespace relay
