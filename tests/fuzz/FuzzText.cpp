// The text helpers: splitting, and escaping round trips.
#include <cstdint>
#include <string>

#include "relay/Message.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Prepare();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > fuzz::kMaximumInput) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The name and the parameters, each followed by "|", give back the text up
    // to its last "|".
    const std::string name = relay::GetCommandName(text);
    const relay::ParameterList parameters = relay::GetParameters(text);
    if (name.find('|') != std::string::npos || text.compare(0, name.size(), name) != 0)
        __builtin_trap();
    const std::string::size_type last = text.rfind('|');
    std::string rebuilt = name;
    if (last != std::string::npos && last != text.find('|')) {
        rebuilt += '|';
        for (const std::string& parameter : parameters) rebuilt += parameter + "|";
        if (rebuilt != text.substr(0, last + 1)) __builtin_trap();
    } else if (!parameters.empty()) {
        __builtin_trap();
    }

    const std::string escaped = relay::EscapeField(text);
    if (escaped.find('|') != std::string::npos) __builtin_trap();
    if (text.find("&vert;") == std::string::npos && relay::UnescapeField(escaped) != text)
        __builtin_trap();
    // ReplaceAll with a search text taken from the input itself.
    const std::string search = text.substr(0, size % 7);
    const std::string replaced = relay::ReplaceAll(text, search, "");
    if (!search.empty() && replaced.size() > text.size()) __builtin_trap();
    return 0;
}
