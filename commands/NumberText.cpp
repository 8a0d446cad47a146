#include "commands/NumberText.h"

#include <charconv>

namespace commands {

void AppendGeneral(std::string& text, float value, int precision) {
    // to_chars with a precision is defined as printf's "%.*g" in the C locale,
    // which is what a standard stream writes in its default notation.
    char general[48];
    const auto end =
        std::to_chars(general, general + sizeof general, value, std::chars_format::general, precision)
            .ptr;
    text.append(general, std::size_t(end - general));
}

}  // namespace commands
