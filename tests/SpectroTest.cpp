#include <gtest/gtest.h>

#include "driver/Spectro.h"
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

}  // namespace
