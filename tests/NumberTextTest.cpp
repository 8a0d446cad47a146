#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "commands/NumberText.h"

namespace {

std::string Printf(float value, int precision) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", precision, double(value));
    return text;
}

std::string General(float value, int precision) {
    std::string text;
    commands::AppendGeneral(text, value, precision);
    return text;
}

TEST(NumberText, KnownForms) {
    const std::tuple<float, int, const char*> cases[] = {
        {0.123456789f, 7, "0.1234568"}, {0.123456789f, 6, "0.123457"}, {12345678.0f, 7, "1.234568e+07"},
        {0.5f, 7, "0.5"},       {0.0f, 6, "0"},           {-0.0f, 6, "-0"},
        {-1e-7f, 6, "-1e-07"},  {100000.0f, 6, "100000"}, {1000000.0f, 6, "1e+06"},
        {0.0001f, 6, "0.0001"}, {0.00001f, 6, "1e-05"},   {0.4716f, 6, "0.4716"},
        {1e38f, 6, "1e+38"},    {123456.5f, 6, "123456"}, {3.0f, 6, "3"},
    };
    for (const auto& [value, precision, text] : cases)
        EXPECT_EQ(General(value, precision), text) << value;
}

TEST(NumberText, SpecialValuesAsTheStreamWritesThem) {
    for (const int precision : {6, 7}) {
        EXPECT_EQ(General(std::numeric_limits<float>::infinity(), precision), "inf");
        EXPECT_EQ(General(-std::numeric_limits<float>::infinity(), precision), "-inf");
        EXPECT_EQ(General(std::numeric_limits<float>::denorm_min(), precision),
                  Printf(std::numeric_limits<float>::denorm_min(), precision));
    }
}

// The stream's form: a sample of random bit patterns and the values around
// powers of ten stand in for all floats.
TEST(NumberText, AgreesWithPrintfOnRandomFloats) {
    std::mt19937 random(20261207);
    int checked = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t bits = random();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        if (std::isnan(value)) continue;
        for (const int precision : {6, 7}) {
            ASSERT_EQ(General(value, precision), Printf(value, precision)) << bits;
        }
        ++checked;
    }
    for (int exponent = -40; exponent <= 38; ++exponent) {
        const float power = std::pow(10.0f, float(exponent));
        for (float value = power; value != 0 && checked >= 0; value = std::nextafter(value, 0.0f)) {
            ASSERT_EQ(General(value, 6), Printf(value, 6)) << value;
            if (std::nextafter(power, 0.0f) - value > power * 1e-6f) break;
        }
    }
    EXPECT_GT(checked, 19000);
}

TEST(NumberText, AgreesWithPrintfOnReflectances) {
    for (int units = 0; units <= 20000; ++units) {
        const float value = float(units) / 10000.0f;
        ASSERT_EQ(General(value, 6), Printf(value, 6)) << units;
        ASSERT_EQ(General(value, 7), Printf(value, 7)) << units;
    }
}

}  // namespace
