#include <gtest/gtest.h>

#include <filesystem>

#include "diag/ModuleFolder.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(ModuleFolder, CutAtTheLastSeparator) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\Program Files\\Client\\KestavClientDriverICA.dll", "C:\\Program Files\\Client"},
        {"C:/Tools/KestavClientDriverICA.dll", "C:/Tools"},
        {"C:\\a/b\\KestavClientDriverICA.dll", "C:\\a/b"},
        {"C:/a\\b/KestavClientDriverICA.dll", "C:/a\\b"},
        {"\\\\server\\share\\client\\KestavClientDriverICA.dll", "\\\\server\\share\\client"},
        {"KestavClientDriverICA.dll", "KestavClientDriverICA.dll"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(diag::FolderOfModulePath(c.first), c.second) << c.first;
}

TEST(ModuleFolder, SetStoresTheFolder) {
    const std::string saved = diag::ModuleFolder;
    diag::SetModuleFolder("C:\\Program Files\\Client");
    EXPECT_EQ(diag::ModuleFolder, "C:\\Program Files\\Client");
    diag::SetModuleFolder(saved);
}

TEST(ModuleFolder, TheSystemReportsThisProgramsFile) {
    const std::string self = platform::ModuleFileName(
        reinterpret_cast<const void*>(&testing_support::ExecutableFolder));
    ASSERT_FALSE(self.empty());
    EXPECT_TRUE(std::filesystem::exists(self)) << self;
    EXPECT_NE(self.find("unit_tests"), std::string::npos) << self;
}

}  // namespace
