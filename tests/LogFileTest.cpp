#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <iterator>
#include <regex>

#include "diag/LogFile.h"
#include "diag/LogPath.h"
#include "tests/support/TestSupport.h"

using namespace diag;
using testing_support::ReadFile;
using testing_support::ReadLines;
using testing_support::ScopedTempFolder;

namespace {

const std::regex kTimestamped(R"(\d\d\.\d\d\.\d{4} - \d\d:\d\d:\d\d  (.*))");

std::string MakeLogPath(std::uint32_t result, const char* buffer, std::uint32_t size) {
    char path[kLogPathSize];
    return std::string(path, diag::MakeLogPath(result, buffer, size, path));
}

TEST(LogPath, FromTheTemporaryFolderQuery) {
    struct Case {
        std::uint32_t result;
        std::string buffer;
        std::string path;
    };
    const std::string folder259 = "C:\\" + std::string(255, 'a') + "\\";
    ASSERT_EQ(folder259.size(), 259u);
    const Case cases[] = {
        {8, "C:\\Temp\\", "C:\\Temp\\\\KestavClientDriver.log"},
        {0, "", "c:\\KestavClientDriver.log"},    // query failed
        {261, "", "c:\\KestavClientDriver.log"},  // folder does not fit
        {259, folder259, folder259 + "\\KestavClientDriver.log"},
        {5, "/tmp/", "/tmp/\\KestavClientDriver.log"},
    };
    for (const Case& c : cases) {
        char buffer[kTempBufferSize];
        std::fill(buffer, buffer + kTempBufferSize, 'Z');  // bytes the query did not write
        std::copy(c.buffer.begin(), c.buffer.end(), buffer);
        if (c.buffer.size() < kTempBufferSize) buffer[c.buffer.size()] = '\0';
        EXPECT_EQ(MakeLogPath(c.result, buffer, kTempBufferSize), c.path) << c.buffer;
    }
}

TEST(LogPath, NeverReadsPastWhatTheQueryWrote) {
    char buffer[4] = {'a', 'b', 'c', 'd'};  // no terminator at all
    EXPECT_EQ(MakeLogPath(3, buffer, 4), "abc\\KestavClientDriver.log");
}

// The log's path as people read it: one separator between two names.
TEST(LogPath, ShownWithOneSeparatorBetweenNames) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\Temp\\\\KestavClientDriver.log", "C:\\Temp\\KestavClientDriver.log"},
        {"/tmp//KestavClientDriver.log", "/tmp/KestavClientDriver.log"},
        {"/tmp/\\KestavClientDriver.log", "/tmp/KestavClientDriver.log"},
        {"\\\\server\\share\\\\KestavClientDriver.log", "\\\\server\\share\\KestavClientDriver.log"},
        {"c:\\KestavClientDriver.log", "c:\\KestavClientDriver.log"},
        {"", ""},
    };
    for (const auto& [path, shown] : cases) EXPECT_EQ(diag::OneSeparator(path), shown) << path;
    ScopedTempFolder temp;
    temp.Redirect(temp.Path() + "/");
    const std::string log = diag::ShownLogFilePath();
    EXPECT_EQ(log.find("//"), std::string::npos) << log;
    EXPECT_EQ(log.find("\\\\"), std::string::npos) << log;
    EXPECT_EQ(log.substr(log.size() - 22), "KestavClientDriver.log") << log;
}

TEST(LogPath, TooLongTemporaryFolderFallsBackToDriveC) {
    ScopedTempFolder temp;
    temp.Redirect(temp.Path() + "/" + std::string(300, 'x'));
    EXPECT_EQ(LogFilePath(), "c:\\KestavClientDriver.log");
}

TEST(LogPath, FollowsTheTemporaryFolderWheneverItChanges) {
    ScopedTempFolder temp;
    const std::string base = temp.Path();
    auto in = [&](const char* name) { return (std::filesystem::path(base) / name).string(); };
    for (const std::string& folder : {in("a"), in("bb"), in("a"), in("ccc")}) {
        temp.Redirect(folder);
        const std::string path = LogFilePath();
        EXPECT_EQ(path.substr(0, folder.size()), folder) << path;
        EXPECT_EQ(path.substr(path.size() - 23), "\\KestavClientDriver.log");
    }
    for (const char* name : {"TMP", "TEMP", "TMPDIR"}) platform::SetEnvironment(name, "");
    EXPECT_EQ(LogFilePath().find(base), std::string::npos) << "the variables are gone";
    temp.Redirect(in("d"));
    EXPECT_EQ(LogFilePath().substr(0, in("d").size()), in("d"));
}

TEST(LogLine, RealLinesHaveTheFormatAndPlatformLineEnds) {
    ScopedTempFolder temp;
    LogFile::firstOpen = true;
    LogFile().Write("ICA: Driver Query Information");
    LogFile().Write("");
    LogDetail("Data (channel: ", std::uint16_t(7), ", size: ", 12, ")");

    const std::string text = ReadFile(temp.LogPath());
    const std::string end = testing_support::kLineEnd;
    const auto lines = ReadLines(temp.LogPath());
    ASSERT_EQ(lines.size(), 3u) << text;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kTimestamped)) << lines[0];
    EXPECT_EQ(match[1], "ICA: Driver Query Information");
    ASSERT_TRUE(std::regex_match(lines[1], match, kTimestamped)) << lines[1];
    EXPECT_EQ(match[1], "");
    // Detail lines: no prefix, numbers not padded by the timestamp's fill.
    EXPECT_EQ(lines[2], "Data (channel: 7, size: 12)");
    EXPECT_EQ(text.size(), lines[0].size() + lines[1].size() + lines[2].size() + 3 * end.size());
}

TEST(LogLine, FirstLineAfterLoadEmptiesLaterLinesAppend) {
    ScopedTempFolder temp;
    testing_support::WriteFile(temp.LogPath(), "from an earlier run\n");
    LogFile::firstOpen = true;
    LogDetail("first");
    LogDetail("second");
    EXPECT_FALSE(LogFile::firstOpen);
    EXPECT_EQ(ReadLines(temp.LogPath()), (std::vector<std::string>{"first", "second"}));
}

TEST(LogLine, UnwritableLogIsSilentAndFirstOpenIsSpent) {
    ScopedTempFolder temp;
    testing_support::WriteFile(temp.LogPath(), std::string("kept") + testing_support::kLineEnd);
    const std::string logPath = temp.LogPath();
    temp.Redirect(temp.Path() + "/missing-folder");
    LogFile::firstOpen = true;
    {
        LogFile log;
        log.Write("lost");
        log.Stream() << "lost too " << 42 << std::endl;
        EXPECT_FALSE(log.Stream().good());
    }
    EXPECT_FALSE(LogFile::firstOpen);
    // Once the folder is back, lines append to what the file held.
    temp.Redirect(temp.Path());
    LogDetail("appended");
    EXPECT_EQ(ReadLines(logPath), (std::vector<std::string>{"kept", "appended"}));
}

TEST(LogLine, FileHeldExclusivelyLosesTheLineOnly) {
    ScopedTempFolder temp;
    testing_support::ExclusiveHold hold(temp.LogPath());
    if (!hold.Held()) GTEST_SKIP() << "files cannot be held exclusively on this platform";
    LogFile::firstOpen = false;
    LogDetail("lost");
    hold.Release();
    LogDetail("written");
    EXPECT_EQ(ReadLines(temp.LogPath()), (std::vector<std::string>{"written"}));
}

TEST(LogLine, OtherHandlesMayKeepTheFileOpen) {
    ScopedTempFolder temp;
    LogFile::firstOpen = false;
    LogFile outer;
    outer.Stream() << "outer" << std::flush;
    LogDetail("inner");  // a second handle while the first is open
    outer.Stream() << std::endl;
    EXPECT_EQ(ReadLines(temp.LogPath()).size(), 2u);
}

// Text from outside never makes a line of its own, and a long one is cut
// with its full size shown; ordinary commands and responses show unchanged.
TEST(LogLine, TextFromOutsideIsEscapedAndCut) {
    const std::string cut(kShownBytes, 'a');
    const bool utf8 = platform::kTextIsUtf8;
    struct Case {
        std::string text;
        std::string shown;
    };
    const Case cases[] = {
        {"GetSpectralData|1|2|", "GetSpectralData|1|2|"},
        {"OK|0.1234568", "OK|0.1234568"},
        // Bytes of the ANSI code page stay where the log is in it; where the
        // log is UTF-8, what is no UTF-8 is escaped.
        {"C:\\Temp\\x.dll \xE9\xFC", utf8 ? "C:\\Temp\\x.dll \\xE9\\xFC" : "C:\\Temp\\x.dll \xE9\xFC"},
        {"M\xC3\xBCller \xE6\xB8\xAC\xE8\x89\xB2 \xF0\x9F\x8E\xA8", utf8 ? "M\xC3\xBCller \xE6\xB8\xAC\xE8\x89\xB2 \xF0\x9F\x8E\xA8"
                                                             : "M\xC3\xBCller \xE6\xB8\xAC\xE8\x89\xB2 \xF0\x9F\x8E\xA8"},
        // What a viewer may take for a line break, on every platform: NEL and
        // the other C1 controls, the line and paragraph separators.
        {"a\xC2\x85" "b\xE2\x80\xA8" "c\xE2\x80\xA9" "d\xC2\x9F", "a\\u0085b\\u2028c\\u2029d\\u009F"},
        {"e\x85" "f", "e\\x85f"},
        // Where the log is UTF-8: stray bytes, sequences cut short, overlong
        // forms, surrogates and values past U+10FFFF, each byte escaped.
        {"\xC3(\xE2\x80(\xC0\xAF\xE0\x80\xAF\xF0\x80\x80\xAF\xED\xA0\x80\xF4\x90\x80\x80",
         utf8 ? "\\xC3(\\xE2\\x80(\\xC0\\xAF\\xE0\\x80\\xAF\\xF0\\x80\\x80\\xAF\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80"
              : "\xC3(\xE2\x80(\xC0\xAF\xE0\x80\xAF\xF0\x80\x80\xAF\xED\xA0\x80\xF4\x90\x80\x80"},
        {"", ""},
        {"Hello\r\n01.01.2026 - 00:00:00  ICA: Driver Open",
         "Hello\\r\\n01.01.2026 - 00:00:00  ICA: Driver Open"},
        {std::string("a\0b\tc\x01\x1F\x7F", 8), "a\\x00b\\tc\\x01\\x1F\\x7F"},
        {cut, cut},
        {cut + "b", cut + "... [1025 bytes]"},
        {std::string(70000, 'a'), cut + "... [70000 bytes]"},
        {std::string(kShownBytes - 1, 'a') + "\n\n", std::string(kShownBytes - 1, 'a') + "\\n... [1025 bytes]"},
    };
    ScopedTempFolder temp;
    LogFile::firstOpen = true;
    for (const Case& c : cases) {
        std::string line;
        AppendShown(line, c.text);
        EXPECT_EQ(line, c.shown) << c.text.size();
        LogDetail("Data: \"", Shown{c.text}, "\"");
        LogLine("Command ", Shown{c.text});
    }
    const auto lines = ReadLines(temp.LogPath());
    ASSERT_EQ(lines.size(), 2 * std::size(cases)) << "one line each, whatever the text";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(lines[2 * i], "Data: \"" + cases[i].shown + "\"");
        EXPECT_EQ(lines[2 * i + 1].substr(23), "Command " + cases[i].shown);  // after the time
    }
}

// The file is started again once it has outgrown its limit, with a line
// that says so; lines below the limit only ever append.
TEST(LogLine, TheFileStartsAgainPastItsLimit) {
    ScopedTempFolder temp;
    LogFile::firstOpen = false;
    const std::string mebibyte(1024 * 1024, 'm');
    const int lines = int(kLogFileLimit / mebibyte.size()) + 3;
    for (int i = 0; i < lines; ++i) LogDetail(std::to_string(i), mebibyte);
    const std::string log = ReadFile(temp.LogPath());
    EXPECT_LE(log.size(), kLogFileLimit + 2 * mebibyte.size());
    const auto read = ReadLines(temp.LogPath());
    ASSERT_GE(read.size(), 2u);
    // Lines "0" to "15": 16 of a mebibyte, 10 one-digit and 6 two-digit numbers.
    const std::size_t full = 16 * (mebibyte.size() + std::strlen(testing_support::kLineEnd)) + 10 + 6 * 2;
    EXPECT_EQ(read[0], "Log restarted: the file had reached " + std::to_string(full) +
                           " bytes (at most 16777216)");
    EXPECT_EQ(read[1].substr(0, 2), "16") << "the line that found the file full comes first";
    EXPECT_EQ(read.back().substr(0, 2), std::to_string(lines - 1));
}

// Another writer (a second client process) left the file just under its
// limit: short lines from here start it again once this process has looked,
// at most kLogSizeLookEvery bytes later.
TEST(LogLine, ShortLinesStartTheFileAgainSoonAfterItIsFull) {
    ScopedTempFolder temp;
    LogFile::firstOpen = false;
    {
        std::ofstream other(temp.LogPath(), std::ios::binary);
        other << std::string(std::size_t(kLogFileLimit) - 100, 'o');
    }
    const std::string text(100, 't');
    const int lines = int(2 * kLogSizeLookEvery / text.size());
    for (int i = 0; i < lines; ++i) LogDetail(i, " ", text);
    const auto read = ReadLines(temp.LogPath());
    ASSERT_FALSE(read.empty());
    const std::regex restarted("Log restarted: the file had reached ([0-9]+) bytes \\(at most 16777216\\)");
    std::smatch found;
    ASSERT_TRUE(std::regex_match(read[0], found, restarted)) << read[0].substr(0, 80);
    EXPECT_LE(std::stoull(found[1]), kLogFileLimit + kLogSizeLookEvery + 200);
    EXPECT_EQ(read.back().substr(0, std::to_string(lines - 1).size() + 1), std::to_string(lines - 1) + " ");
}

// A file of exactly its size limit is full: the next look starts it again.
TEST(LogLine, AFileOfExactlyTheLimitStartsAgain) {
    ScopedTempFolder temp;
    LogFile::firstOpen = false;
    const std::string text(1000, 't');
    const auto size = [&] { return std::filesystem::file_size(temp.LogPath()); };
    // A restart first, so that what was written since the last look is the
    // file's size; then lines up to where the next line's open looks again.
    LogDetail(text);
    std::filesystem::resize_file(temp.LogPath(), kLogFileLimit + 1);
    for (int i = 0; i < 200 && size() > kLogSizeLookEvery; ++i) LogDetail(text);
    ASSERT_LT(size(), kLogSizeLookEvery) << "the file was never started again";
    while (size() < kLogSizeLookEvery) LogDetail(text);
    std::filesystem::resize_file(temp.LogPath(), kLogFileLimit);
    LogDetail("after");
    const auto read = ReadLines(temp.LogPath());
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read[0], "Log restarted: the file had reached 16777216 bytes (at most 16777216)");
    EXPECT_EQ(read.back(), "after");
}

TEST(LogLine, GoesToTheRealTemporaryFolder) {
    // No redirection: the process's own temporary folder, as on a client PC.
    const std::string marker = "real temp folder check " + std::to_string(std::rand());
    LogFile().Write(marker);
    const auto lines = ReadLines(platform::NativePath(LogFilePath()));
    ASSERT_FALSE(lines.empty());
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines.back(), match, kTimestamped)) << lines.back();
    EXPECT_EQ(match[1], marker);
}

}  // namespace
