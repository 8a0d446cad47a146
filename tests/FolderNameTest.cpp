// The module, the driver host and the drivers in a folder named in any
// language, and the user's temporary folder likewise: Init, a measurement
// and the log work there, with the driver in-process and in the driver host.
// A folder the system's 8-bit code page can spell shows in the log byte for
// byte in that code page, as it always has.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>

#include "platform/HostProcess.h"
#include "platform/Names.h"
#include "platform/Registry.h"
#include "tests/support/TestSupport.h"
#include "tools/check/Check.h"
#include "tools/host/RemoteDesktopClient.h"
#include "tools/host/Engine.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

struct Name {
    const char* utf8;
    const char* ansi;  // as the Windows-1252 code page spells it, or null when it cannot
};

class FolderNameTest : public ::testing::TestWithParam<std::tuple<Name, bool>> {};

TEST_P(FolderNameTest, TheModuleWorksFromThere) {
    const Name name = std::get<0>(GetParam());
    const bool hosted = std::get<1>(GetParam());
    if (hosted && !platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host on this platform";
    testing_support::ScopedTempFolder temp;
    const fs::path base = fs::u8path(temp.Path());
    const fs::path folder = base / fs::u8path(std::string(name.utf8) + " module");
    const fs::path tmp = base / fs::u8path(std::string(name.utf8) + " temp");
    fs::create_directories(folder / "drivers" / "Kestav");
    fs::create_directories(tmp);
    const fs::path bin = fs::u8path(testing_support::ExecutableFolder());
    fs::copy_file(bin / KST_MODULE_FILE, folder / KST_MODULE_FILE);
    for (const char* bits : {"32", "64"}) {
        const std::string host = std::string("KestavDriverHost") + bits + platform::kProgramSuffix;
        if (fs::exists(bin / host)) fs::copy_file(bin / host, folder / host);
    }
    fs::path sim = fs::u8path(testing_support::DriverLibraryPath("Kestav", "sim"));
    if (!fs::exists(sim)) sim.replace_extension(".so");  // the native build's name here
    fs::copy_file(sim, folder / "drivers" / "Kestav" / sim.filename());
    temp.Redirect(tmp.u8string());
    testing_support::AdminSetting isolate("IsolateDriver", hosted ? 1 : 0);

    {
        standin::Engine engine;
        std::string error;
        ASSERT_TRUE(engine.LoadModule((folder / KST_MODULE_FILE).u8string(), &error)) << error;
        ASSERT_EQ(engine.Open(), 0);
        const auto run = [&](const std::string& command) {
            const auto sent = engine.Run("KstCmd1", command);
            return sent.empty() ? std::string("(nothing sent)") : sent.back().bytes;
        };
        EXPECT_EQ(run("Init|sim|"), "OK");
        for (const char* command : {"Connect", "Calibrate", "CalibrateStep|White|", "CalibrateStep|Black|", "Measure"})
            EXPECT_EQ(run(command), "OK|true") << command;
        EXPECT_EQ(run("GetSerialNumber"), "OK|KSIM-000417");
        engine.UnloadModule();
    }

    const std::string log = ReadAll(fs::u8path(temp.LogPath()));
    EXPECT_NE(log.find("Loading Driver success"), std::string::npos) << "the log is in the temporary folder";
    EXPECT_EQ(log.find("Driver host started (pid ") != std::string::npos, hosted) << log;
    // Under the Windows-1252 code page a name it can spell shows as it always
    // has; where paths are bytes (POSIX) the log shows those bytes.
    std::string shown;
    if (testing_support::AnsiCodePage() == 0) shown = name.utf8;
    if (testing_support::AnsiCodePage() == 1252 && name.ansi != nullptr) shown = name.ansi;
    if (!shown.empty()) {
        const std::string separator = platform::kPathSeparator;
        const std::string line = shown + " module" + separator + "drivers" + separator + "Kestav\"";
        EXPECT_NE(log.find("Loading driver \"" + testing_support::LibraryName("sim") + "\" @ \""), std::string::npos);
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    InAnyLanguage, FolderNameTest,
    ::testing::Combine(::testing::Values(Name{"M\xC3\xBCller", "M\xFCller"},
                                         Name{"\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1", nullptr},
                                         Name{"\xC5\x81ukasz \xE6\xB8\xAC\xE8\x89\xB2", nullptr}),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<FolderNameTest::ParamType>& info) {
        return std::string(std::get<0>(info.param).ansi != nullptr ? "Spelled" : "NotSpelled") +
               std::to_string(info.index) + (std::get<1>(info.param) ? "Hosted" : "InProcess");
    });

// The Remote Desktop plug-in in such a folder, with the driver in its host.
TEST(FolderNamePlugIn, ThePlugInWorksFromThere) {
    if (!testing_support::OnWindows()) GTEST_SKIP() << "the Windows plug-in";
    testing_support::ScopedTempFolder temp;
    const fs::path folder = fs::u8path(temp.Path() + "/\xC5\x81ukasz \xE6\xB8\xAC\xE8\x89\xB2 plug-in");
    const fs::path tmp = fs::u8path(temp.Path() + "/\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 temp");
    fs::create_directories(folder / "drivers" / "Kestav");
    fs::create_directories(tmp);
    const fs::path bin = fs::u8path(testing_support::ExecutableFolder());
    const std::string host = "KestavDriverHost" + std::to_string(sizeof(void*) * 8) + ".exe";
    for (const std::string& file : {std::string(names::kDvcModuleFile), host})
        fs::copy_file(bin / file, folder / file);
    fs::copy_file(fs::u8path(testing_support::DriverLibraryPath("Kestav", "sim")), folder / "drivers" / "Kestav" / "sim.dll");
    temp.Redirect(tmp.u8string());
    {
        standin::RemoteDesktopClient client;
        std::string error;
        ASSERT_TRUE(client.LoadPlugin((folder / names::kDvcModuleFile).u8string(), &error)) << error;
        client.Connected();
        ASSERT_TRUE(client.OpenChannel(names::kCommandChannel));
        const auto run = [&](const std::string& command) {
            const auto sent = client.Run(names::kCommandChannel, command);
            return sent.empty() ? std::string("(nothing sent)") : sent.back().bytes;
        };
        EXPECT_EQ(run("Init|sim|"), "OK");
        EXPECT_EQ(run("GetSerialNumber"), "OK|KSIM-000417");
        client.Terminate();
        client.Unload();
    }
    const std::string log = ReadAll(fs::u8path(temp.LogPath()));
    EXPECT_NE(log.find("Driver host started (pid "), std::string::npos) << log;
    EXPECT_NE(log.find("Loading Driver success"), std::string::npos) << log;
}

// The client check with the Remote Desktop plug-in, its driver host and a
// driver in a folder the 8-bit code page cannot spell, registered as such.
TEST(FolderNameCheck, ThePlugInsFolderNamedInAnyLanguage) {
    if (!testing_support::OnWindows()) GTEST_SKIP() << "a Windows client check";
    const int bits = int(sizeof(void*) * 8);
    const platform::View view = platform::ViewOf(bits);
    std::string registered;
    if (platform::ReadMachineString(view, names::kDvcAddInKey, names::kDvcAddInValue, &registered))
        GTEST_SKIP() << "a plug-in is registered on this machine: " << registered;
    testing_support::ScopedTempFolder temp;
    const fs::path folder = fs::u8path(temp.Path() + "/\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 plug-in");
    fs::create_directories(folder / "drivers" / "Kestav");
    const fs::path bin = fs::u8path(testing_support::ExecutableFolder());
    const std::string host = "KestavDriverHost" + std::to_string(bits) + ".exe";
    for (const std::string& file : {std::string(names::kDvcModuleFile), host})
        fs::copy_file(bin / file, folder / file);
    fs::copy_file(fs::u8path(testing_support::DriverLibraryPath("Kestav", "sim")), folder / "drivers" / "Kestav" / "sim.dll");
    ASSERT_TRUE(platform::WriteMachineString(view, names::kDvcAddInKey, names::kDvcAddInValue,
                                             (folder / names::kDvcModuleFile).u8string()));
    std::ostringstream out;
    check::CheckClientPc(out);
    platform::DeleteMachineKey(view, names::kDvcAddInKey);
    const std::string report = out.str();
    const std::string own = std::to_string(bits) + "-bit";
    EXPECT_EQ(report.find("PROBLEM " + own), std::string::npos) << report;
    EXPECT_NE(report.find("KestavClientDriverDVC.dll is " + own), std::string::npos) << report;
    EXPECT_NE(report.find(host + ", where every driver runs"), std::string::npos) << report;
    EXPECT_NE(report.find("sim.dll: " + own + ", plain names, all 31 entry points"), std::string::npos) << report;
}

}  // namespace
