// The log on Linux, where the temporary folder may be shared by all users.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "diag/LogFile.h"
#include "diag/LogPath.h"
#include "platform/File.h"
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

}  // namespace
