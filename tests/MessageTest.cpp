#include <gtest/gtest.h>

#include "relay/Message.h"
#include "relay/Result.h"
#include "tests/support/TestSupport.h"

using namespace relay;
using namespace std::string_literals;

namespace {

struct SplitCase {
    std::string command;
    std::string name;
    ParameterList parameters;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {
protected:
    testing_support::ScopedTempFolder temp;
};

TEST_P(SplitTest, NameAndParameters) {
    const SplitCase& c = GetParam();
    EXPECT_EQ(GetCommandName(c.command), c.name);
    EXPECT_EQ(GetParameters(c.command), c.parameters);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SplitTest,
    ::testing::Values(
        SplitCase{"Measure", "Measure", {}}, SplitCase{"Measure|", "Measure", {}},
        SplitCase{"SetOption|A|B", "SetOption", {"A"}},
        SplitCase{"SetOption|A|B|", "SetOption", {"A", "B"}},
        SplitCase{"Connect|||", "Connect", {"", ""}}, SplitCase{"|x|", "", {"x"}},
        SplitCase{"", "", {}}, SplitCase{"|", "", {}}, SplitCase{"||", "", {""}},
        SplitCase{" Measure \t|\r\n|", " Measure \t", {"\r\n"}},
        // Texts are bytes: NUL bytes split like any other.
        SplitCase{"a\0b|\0|x\0\0y|"s, "a\0b"s, {"\0"s, "x\0\0y"s}},
        SplitCase{"\0"s, "\0"s, {}}));

TEST(Split, EveryByteValueSurvives) {
    testing_support::ScopedTempFolder temp;
    std::string value;
    for (int byte = 0; byte < 256; ++byte)
        if (byte != '|') value += static_cast<char>(byte);
    const ParameterList parameters = GetParameters("Cmd|" + value + "|" + value + "|");
    ASSERT_EQ(parameters.size(), 2u);
    EXPECT_EQ(parameters[0], value);
    EXPECT_EQ(parameters[1], value);
}

TEST(Split, LongTextOfSeparatorsOnly) {
    testing_support::ScopedTempFolder temp;
    const std::string command(64 * 1024, '|');
    EXPECT_EQ(GetCommandName(command), "");
    const ParameterList parameters = GetParameters(command);
    ASSERT_EQ(parameters.size(), command.size() - 1);
    for (const std::string& p : parameters) ASSERT_TRUE(p.empty());
}

TEST(Split, LongTextWithoutSeparator) {
    testing_support::ScopedTempFolder temp;
    const std::string command(64 * 1024, 'x');
    EXPECT_EQ(GetCommandName(command), command);
    EXPECT_TRUE(GetParameters(command).empty());
}

TEST(Split, LogsTheWholeCommandText) {
    testing_support::ScopedTempFolder temp;
    (void)GetParameters("Foo|1|");
    (void)GetParameters("");
    const auto lines = testing_support::ReadLines(temp.LogPath());
    ASSERT_GE(lines.size(), 2u);
    const std::string& foo = lines[lines.size() - 2];
    EXPECT_EQ(foo.substr(foo.size() - 22), "  Parameters of Foo|1|");
    const std::string& empty = lines.back();
    EXPECT_EQ(empty.substr(23), "Parameters of ");
}

struct ReplaceCase {
    std::string text, search, replacement, expected;
};

class ReplaceAllTest : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceAllTest, Replaces) {
    const ReplaceCase& c = GetParam();
    EXPECT_EQ(ReplaceAll(c.text, c.search, c.replacement), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplaceAllTest,
    ::testing::Values(ReplaceCase{"a|b||c", "|", "&vert;", "a&vert;b&vert;&vert;c"},
                      ReplaceCase{"aaa", "aa", "b", "ba"},          // no overlap, left to right
                      ReplaceCase{"xax", "a", "aa", "xaax"},        // replacement not rescanned
                      ReplaceCase{"", "|", "&vert;", ""},
                      ReplaceCase{"abc", "", "X", "abc"},           // empty search: unchanged
                      ReplaceCase{"||", "|", "", ""},
                      ReplaceCase{"a\0|b"s, "|", "&vert;", "a\0&vert;b"s}));

TEST(Escape, RoundTripsAndDoesNotRescan) {
    EXPECT_EQ(EscapeField("a|b||c"), "a&vert;b&vert;&vert;c");
    EXPECT_EQ(UnescapeField("a&vert;b&vert;&vert;c"), "a|b||c");
    EXPECT_EQ(UnescapeField("&vert;vert;"), "|vert;");
    EXPECT_EQ(EscapeField("&amp;"), "&amp;");
    // A value that already holds the escape does not come back unchanged.
    EXPECT_EQ(UnescapeField(EscapeField("x&vert;y")), "x|y");
}

TEST(Result, Renders) {
    struct Case {
        Result result;
        std::string response;
    };
    const Case cases[] = {
        {Result::Success(), "OK"},
        {Result::Success("Hello"), "OK|Hello"},
        {Result::Success(std::string()), "OK"},
        {Result::Success(true), "OK|true"},
        {Result::Success(false), "OK|false"},
        {Result::Failure("Missing parameter"), "ERROR|Missing parameter"},
        {Result::Failure(""), "ERROR"},
        {Result::Success("a|b"), "OK|a|b"},
        {Result(false, "x"), "ERROR|x"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result.ToResponse(), c.response);
}

TEST(Result, CopiesAreIndependent) {
    Result original = Result::Success("one");
    Result copy = original;
    copy = Result::Failure("two");
    EXPECT_TRUE(original.Succeeded());
    EXPECT_EQ(original.Text(), "one");
    EXPECT_EQ(original.ToResponse(), "OK|one");
    EXPECT_EQ(original.ToResponse(), "OK|one");
    EXPECT_FALSE(copy.Succeeded());
}

}  // namespace
