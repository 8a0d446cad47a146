#include "commands/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace commands {

namespace {

// 10^-40 to 10^55 as the compiler rounds the literals (a float needs
// 10^-34 to 10^51 here): exact up to 10^22,
// within half a unit in the last place beyond.
constexpr double kPowersOfTen[] = {1e-40, 1e-39, 1e-38, 1e-37, 1e-36, 1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9, 1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39, 1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49, 1e50, 1e51, 1e52, 1e53, 1e54, 1e55};
constexpr int kLowestPower = -40;

double PowerOfTen(int exponent) { return kPowersOfTen[exponent - kLowestPower]; }

// Writes the general form of the significand digits (no trailing zeros) with
// the decimal exponent `exponent` (value = d.ddd x 10^exponent) at `out`;
// returns the end. At most 6 digits and an exponent within a float's range
// need fewer than 16 characters.
char* GeneralForm(char* out, bool negative, const char* digits, int count, int exponent,
                  int precision) {
    if (negative) *out++ = '-';
    if (exponent < -4 || exponent >= precision) {
        *out++ = digits[0];
        if (count > 1) {
            *out++ = '.';
            for (int i = 1; i < count; ++i) *out++ = digits[i];
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        const int magnitude = std::abs(exponent);
        *out++ = char('0' + magnitude / 10);
        *out++ = char('0' + magnitude % 10);
    } else if (exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = -1; i > exponent; --i) *out++ = '0';
        for (int i = 0; i < count; ++i) *out++ = digits[i];
    } else {
        for (int i = 0; i <= exponent || i < count; ++i) {
            if (i == exponent + 1) *out++ = '.';
            *out++ = i < count ? digits[i] : '0';
        }
    }
    return out;
}

// "%.6g" of a normal float through one double multiplication: the float is
// exact as a double, and scaling it to six integer digits errs by less than
// 1e-9, so rounding is exact unless the value lies that close to a rounding
// midpoint, which is left to the general path. False when not handled here.
bool AppendSixDigits(std::string& text, float value) {
    const double magnitude = std::fabs(double(value));
    if (!(magnitude >= double(std::numeric_limits<float>::min())) ||
        magnitude > double(std::numeric_limits<float>::max()))
        return false;  // zero, subnormal, infinite, not a number
    std::uint64_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    const int binaryExponent = int(bits >> 52) - 1023;  // floor(log2(magnitude))
    // floor(log10(2^binaryExponent)) = floor(binaryExponent * log10(2)), in
    // integers: floor(log10(magnitude)), or one below it.
    int exponent = (binaryExponent * 78913) >> 18;
    double scaled = magnitude * PowerOfTen(5 - exponent);
    if (scaled >= 999999.5) {
        ++exponent;
        scaled = magnitude * PowerOfTen(5 - exponent);
    }
    if (scaled < 99999.5) {
        --exponent;
        scaled = magnitude * PowerOfTen(5 - exponent);
    }
    double whole = double(std::int64_t(scaled));  // scaled is positive: truncation is floor
    const double fraction = scaled - whole;
    if (std::fabs(fraction - 0.5) < 1e-7) return false;
    if (fraction > 0.5) whole += 1;
    std::int64_t number = std::int64_t(whole);
    if (number >= 1000000) {
        number /= 10;
        ++exponent;
    }
    if (number < 100000 || number > 999999) return false;
    char digits[6];
    for (int i = 5; i >= 0; --i, number /= 10) digits[i] = char('0' + number % 10);
    int count = 6;
    while (count > 1 && digits[count - 1] == '0') --count;
    char form[24];
    const char* end = GeneralForm(form, value < 0, digits, count, exponent, 6);
    text.append(form, std::size_t(end - form));
    return true;
}

}  // namespace

void AppendGeneral(std::string& text, float value, int precision) {
    if (precision == 6 && AppendSixDigits(text, value)) return;
    // to_chars with a precision is defined as printf's "%.*g" in the C locale,
    // which is what a standard stream writes in its default notation.
    char general[48];
    const auto end =
        std::to_chars(general, general + sizeof general, value, std::chars_format::general, precision)
            .ptr;
    text.append(general, std::size_t(end - general));
}

}  // namespace commands
