// Numbers as the server reads them.
#pragma once

#include <string>

namespace commands {

// Appends `value` as a standard stream writes it at `precision` (1 to 9) in
// its default notation, that is printf's "%.<precision>g" in the C locale:
// at most `precision` significant digits, no trailing zeros, scientific
// notation below 1e-4 and from 10^precision on. 0.123456789f at 6 gives
// "0.123457", at 7 "0.1234568"; 12345678.0f at 7 gives "1.234568e+07".
void AppendGeneral(std::string& text, float value, int precision);

}  // namespace commands
