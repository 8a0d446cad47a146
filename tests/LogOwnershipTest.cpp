// The log on Linux, where the temporary folder may be shared by all users.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <filesystem>
#include <string>

#include "diag/LogFile.h"
#include "diag/LogPath.h"
#include "platform/File.h"
#include "platform/Names.h"
#include "tests/support/TestSupport.h"

using namespace diag;
using testing_support::ReadFile;
using testing_support::ScopedTempFolder;

namespace {

// In a folder others may write to (/tmp), the log is this user's own: a link
// put where the log goes, or a file of another user's, is never written to.
TEST(LogLine, NeverThroughALinkNorIntoAnotherUsersFile) {
    ScopedTempFolder temp;
    const std::string path = platform::NativePath(LogFilePath());
    const std::string target = temp.Path() + "/elsewhere";
    std::filesystem::create_symlink(target, path);
    LogFile().Write("through a link");
    EXPECT_FALSE(std::filesystem::exists(target)) << "the link was followed";
    std::filesystem::remove(path);

    LogFile().Write("own file");
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    if (geteuid() != 0) return;  // only root can give a file to another user
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    const std::string before = ReadFile(path);
    LogFile().Write("into another user's file");
    EXPECT_EQ(ReadFile(path), before);
}

// The descriptor kept between lines is always the file at the log's path:
// a log removed, replaced or renamed away (rotated) gets the next lines in
// a file at the path, as if every line opened it itself.
TEST(LogLine, ALogRemovedReplacedOrRenamedIsOpenedAfresh) {
    ScopedTempFolder temp;
    const std::string path = platform::NativePath(LogFilePath());
    // The file's lines without their time prefix.
    const auto text = [](const std::string& file) {
        const std::string all = ReadFile(file);
        return all.size() > 23 ? all.substr(23) : "(" + all + ")";
    };
    LogFile().Write("first");
    std::filesystem::remove(path);
    LogFile().Write("after removal");
    EXPECT_EQ(text(path), "after removal\n");

    testing_support::WriteFile(temp.Path() + "/other", "");
    chmod((temp.Path() + "/other").c_str(), 0600);
    std::filesystem::rename(temp.Path() + "/other", path);
    LogFile().Write("after replacement");
    EXPECT_EQ(text(path), "after replacement\n");

    std::filesystem::rename(path, path + ".1");
    testing_support::WriteFile(path, "");  // as a rotation makes the next one
    chmod(path.c_str(), 0600);
    // A rename leaves the file linked: the path is looked at again within a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    LogFile().Write("after rotation");
    EXPECT_EQ(text(path), "after rotation\n");
    EXPECT_EQ(ReadFile(path + ".1").find("after rotation"), std::string::npos);
}

// Lines from several threads while the log is removed again and again: each
// line whole, on a line of its own.
TEST(LogLine, LinesFromManyThreadsStayWholeWhileTheLogIsRemoved) {
    ScopedTempFolder temp;
    const std::string path = platform::NativePath(LogFilePath());
    // Descriptors of this process still open on a removed log, this test's or an earlier one's.
    const auto openOnRemoved = [&] {
        int count = 0;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
            const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
            count += target.find(names::kLogFile) != std::string::npos && target.find("(deleted)") != std::string::npos;
        }
        return count;
    };
    std::atomic<bool> done{false};
    std::thread remover([&] {
        while (!done) {
            std::filesystem::remove(path);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < 5000; ++i) LogFile().Write("thread " + std::to_string(t) + " line " + std::string(40, 'x'));
        });
    for (std::thread& writer : writers) writer.join();
    done = true;
    remover.join();
    LogFile().Write("last");
    EXPECT_EQ(openOnRemoved(), 0) << "a descriptor given up while in use is closed by its last line";
    const std::vector<std::string> lines = testing_support::ReadLines(path);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().substr(23), "last");
    for (const std::string& line : lines)
        EXPECT_TRUE(line.size() == 23 + 4 || (line.size() >= 23 + 54 && line.compare(line.size() - 40, 40, std::string(40, 'x')) == 0))
            << line;
}

}  // namespace
