#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "driver/LibrariesBeside.h"
#include "driver/Spectro.h"
#include "platform/Library.h"
#include "tests/support/TestSupport.h"

using driver::Spectro;
using testing_support::DriverLibraryPath;

namespace {

TEST(Spectro, LibraryFileNames) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "./abc.dll"},
        {"abc.dll", "./abc.dll"},
        {"ABC.DLL", "./ABC.DLL.dll"},
        {"drv.DLL", "./drv.DLL.dll"},
        {"C:\\x\\abc.dll", "C:\\x\\abc.dll"},
        {".\\abc.dll", ".\\abc.dll"},
        {"\\\\server\\share\\abc.dll", "\\\\server\\share\\abc.dll"},
        {"/opt/client/abc.dll", "/opt/client/abc.dll"},
        {"", ".dll"},
    };
    for (const auto& c : cases) EXPECT_EQ(Spectro::MakeLibraryFileName(c.first), c.second);
}

TEST(Spectro, BindsAllOrNothing) {
    Spectro spectro;
    EXPECT_FALSE(spectro.IsBound());
    ASSERT_TRUE(spectro.LoadDriver(DriverLibraryPath("Kestav", "recording")));
    EXPECT_TRUE(spectro.IsBound());

    // One name missing: released again, nothing bound, the loader's code kept.
    EXPECT_FALSE(spectro.LoadDriver(DriverLibraryPath("Kestav", "broken")));
    EXPECT_FALSE(spectro.IsBound());
    EXPECT_FALSE(spectro.Connect.IsSet());
    EXPECT_EQ(spectro.LoadError(), 127u);

    EXPECT_FALSE(spectro.LoadDriver(DriverLibraryPath("Kestav", "no-such-driver")));
    EXPECT_FALSE(spectro.IsBound());
    EXPECT_EQ(spectro.LoadError(), 126u);
}

TEST(Spectro, ReloadReleasesTheFirstLibrary) {
    testing_support::RecordingDriver recording;
    ASSERT_TRUE(recording.Loaded());
    Spectro spectro;
    ASSERT_TRUE(spectro.LoadDriver(DriverLibraryPath("Kestav", "recording")));
    recording.SetText("first");
    EXPECT_STREQ(spectro.GetSerialNum(), "first");
    ASSERT_TRUE(spectro.LoadDriver(DriverLibraryPath("Kestav", "sim")));
    EXPECT_STREQ(spectro.GetSerialNum(), "KSIM-000417");
    spectro.Reset();
    EXPECT_FALSE(spectro.IsBound());
    spectro.UnloadDriver();  // nothing loaded: nothing to do
}

// Where the loader never looks beside a library for what it needs (Linux),
// the libraries a driver needs there are loaded first, what they need in
// turn before them: each once, never a second copy of one the process has
// loaded already (the C library), and released with the driver, also when
// the driver itself then fails to load.
TEST(Spectro, TheLibrariesADriverNeedsBesideIt) {
    if (platform::kLoaderSearchesLibraryFolder) GTEST_SKIP() << "the loader searches the driver's folder here";
    namespace fs = std::filesystem;
    testing_support::ScopedTempFolder temp;
    const fs::path folder = fs::u8path(temp.Path());
    const fs::path built = fs::u8path(testing_support::DriverFilePath("Kestav", "maker2"));
    const std::string driverBytes = testing_support::ReadFile(built.u8string());
    const std::string helper = (built.parent_path() / "libmakerhelp.so").u8string();
    const std::string base = (built.parent_path() / "libmakerbase.so").u8string();
    // The C library this process runs with (its mapping: under the sanitizers a function's
    // address is the interceptor's) lies in one of the system's library folders.
    std::smatch mapped;
    const std::string maps = testing_support::ReadFile("/proc/self/maps");
    ASSERT_TRUE(std::regex_search(maps, mapped, std::regex(R"((/\S*)/libc\.so\.6\n)")));
    const std::string libc = mapped[1].str() + "/libc.so.6";
    const std::vector<std::string> folders = platform::SystemLibraryFolders();
    std::error_code error;
    ASSERT_TRUE(std::any_of(folders.begin(), folders.end(), [&](const std::string& folder) {
        return fs::equivalent(fs::u8path(folder), fs::u8path(mapped[1].str()), error);
    })) << libc << " is in none of the system's library folders";
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> beside;  // from, name
        bool needsNothingElse;  // false: the driver names a library that is nowhere
        bool loads;
        std::size_t loadedBeside;
    };
    const Case cases[] = {
        {"nothing beside it", {}, true, false, 0},
        {"its library and the one that needs", {{helper, "libmakerhelp.so"}, {base, "libmakerbase.so"}}, true, true, 2},
        {"its library without the one that needs", {{helper, "libmakerhelp.so"}}, true, false, 0},
        {"and a copy of the C library",
         {{helper, "libmakerhelp.so"}, {base, "libmakerbase.so"}, {libc, "libc.so.6"}}, true, true, 2},
        {"a file of its library's name that is no library", {{"", "libmakerhelp.so"}}, true, false, 0},
        {"its libraries, but another it needs is nowhere",
         {{helper, "libmakerhelp.so"}, {base, "libmakerbase.so"}}, false, false, 2},
    };
    const std::string driver = (folder / "maker2.dll").u8string();  // as Init names it
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* name : {"libmakerhelp.so", "libmakerbase.so", "libc.so.6"}) fs::remove(folder / name);
        std::string bytes = driverBytes;
        if (!c.needsNothingElse) bytes.replace(bytes.find("libc.so.6"), 9, "libq.so.6");
        testing_support::WriteFile((folder / "maker2.so").u8string(), bytes);
        for (const auto& [from, name] : c.beside) {
            if (from.empty()) testing_support::WriteFile((folder / name).u8string(), "not a library");
            else fs::copy_file(fs::u8path(from), folder / name);
        }
        std::vector<platform::LibraryHandle> loaded = driver::LoadLibrariesBeside(driver);
        EXPECT_EQ(loaded.size(), c.loadedBeside);
        for (auto it = loaded.rbegin(); it != loaded.rend(); ++it) platform::CloseLibrary(*it);
        EXPECT_FALSE(platform::LibraryIsLoaded("libmakerhelp.so"));

        Spectro spectro;
        const bool driverLoaded = spectro.LoadDriver(driver);
        EXPECT_EQ(driverLoaded, c.loads);
        if (c.loads && driverLoaded) {  // a driver that failed to load is not called: the rest still reports
            EXPECT_STREQ(spectro.Execute("@help"), "answered beside the driver");
        } else if (!c.loads) {
            EXPECT_EQ(spectro.LoadError(), 126u);
            EXPECT_FALSE(platform::LibraryIsLoaded("libmakerbase.so")) << "released when the driver failed";
        }
        spectro.Reset();
        for (const char* name : {"libmakerhelp.so", "libmakerbase.so"})
            EXPECT_FALSE(platform::LibraryIsLoaded(name)) << name << ": released with the driver";
    }
}

}  // namespace
