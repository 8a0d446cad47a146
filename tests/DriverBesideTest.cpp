// A maker's driver that needs a library of the maker's own (which needs
// another in turn), shipped beside it and linked by name only (no search
// path recorded in either): Init,
// in-process and in the driver host, the self-test and the client check
// load it alike and agree, with the library there and without it. On Linux
// also with libraries built without a SONAME (maker3): only the driver
// host's loader finds those, so such a driver runs there.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include "platform/HostProcess.h"
#include "platform/Text.h"
#include "tests/support/TestSupport.h"
#include "tools/check/Check.h"
#include "tools/check/SelfTest.h"
#include "tools/host/Engine.h"

namespace fs = std::filesystem;

namespace {

struct Verdicts {
    std::string init, help;          // the responses to Init|maker2| and Execute|@help|
    int selfTest = -1;
    std::string selfTestReport;
    int checkProblems = -1;
    std::string checkReport;
    std::string log;                 // the module's, after Init
};

class DriverBeside : public ::testing::TestWithParam<std::tuple<bool, bool>> {
protected:
    void SetUp() override {
        if (!platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host on this platform";
        const bool windows = testing_support::OnWindows();
        bare = std::get<1>(GetParam());
        if (bare && windows) GTEST_SKIP() << "a SONAME is an ELF library's";
        name = bare ? "maker3" : "maker2";
        const std::string variant = bare ? "-bare" : "";
        folder = fs::u8path(temp.Path()) / "module";
        drivers = folder / "drivers" / "Kestav";
        fs::create_directories(drivers);
        const fs::path bin = fs::u8path(testing_support::ExecutableFolder());
        fs::copy_file(bin / KST_MODULE_FILE, folder / KST_MODULE_FILE);
        for (const char* bits : {"32", "64"}) {
            const std::string host = std::string("KestavDriverHost") + bits + platform::kProgramSuffix;
            if (fs::exists(bin / host)) fs::copy_file(bin / host, folder / host);
        }
        driver = fs::u8path(testing_support::DriverFilePath("Kestav", name));
        helper = driver.parent_path() / (windows ? "makerhelp.dll" : "libmakerhelp" + variant + ".so");
        base = driver.parent_path() / (windows ? "makerbase.dll" : "libmakerbase" + variant + ".so");
        for (const fs::path& file : {driver, helper, base}) ASSERT_TRUE(fs::exists(file)) << file;
        fs::copy_file(driver, drivers / driver.filename());
    }

    // The responses of a fresh module to Init of the driver and to `more`, with IsolateDriver as `hosted` says.
    std::vector<std::string> Init(bool hosted, std::vector<std::string> more = {}) {
        testing_support::AdminSetting isolate("IsolateDriver", hosted ? 1 : 0);
        standin::Engine engine;
        std::string error;
        EXPECT_TRUE(engine.LoadModule((folder / KST_MODULE_FILE).u8string(), &error)) << error;
        EXPECT_EQ(engine.Open(), 0);
        more.insert(more.begin(), "Init|" + name + "|");
        std::vector<std::string> responses;
        for (const std::string& command : more) {
            const auto sent = engine.Run("KstCmd1", command);
            responses.push_back(sent.empty() ? std::string("(nothing sent)") : sent.back().bytes);
        }
        engine.UnloadModule();
        return responses;
    }

    Verdicts Try(bool hosted) {
        Verdicts verdicts;
        const auto responses = Init(hosted, {"Execute|@help|"});
        verdicts.init = responses[0], verdicts.help = responses[1];
        verdicts.log = testing_support::ReadFile(temp.LogPath());
        std::ostringstream selfTest;
        check::SelfTestOptions options;
        options.hostFolder = folder.u8string();
        verdicts.selfTest = check::RunSelfTest((drivers / driver.filename()).u8string(), options, selfTest);
        verdicts.selfTestReport = selfTest.str();
        std::ostringstream check;
        verdicts.checkProblems = check::CheckDriverFolder(check, folder.u8string());
        verdicts.checkReport = check.str();
        return verdicts;
    }

    testing_support::ScopedTempFolder temp;
    bool bare = false;
    std::string name;
    fs::path folder, drivers, driver, helper, base;  // the driver needs the helper, the helper the base
};

TEST_P(DriverBeside, InitTheSelfTestAndTheCheckAgree) {
    const bool hosted = std::get<0>(GetParam());
    const std::string file = driver.filename().u8string();
    const std::string needs = file + " needs " + helper.filename().u8string() + ", not found";

    // Without its library: each fails, and the self-test and the check name it.
    Verdicts without = Try(hosted);
    EXPECT_EQ(without.init, "ERROR|Error loading driver (\"" + name + "\") on client [Error: 126]");
    EXPECT_EQ(without.help, "ERROR|Instrument driver not loaded");
    EXPECT_EQ(without.selfTest, 1) << without.selfTestReport;
    EXPECT_NE(without.selfTestReport.find("PROBLEM: the driver does not load in the driver host (error 126: " +
                                          needs + " (a library the driver needs goes beside it))"),
              std::string::npos)
        << without.selfTestReport;
    EXPECT_EQ(without.checkProblems, 1) << without.checkReport;
    EXPECT_NE(without.checkReport.find(file + ": "), std::string::npos) << without.checkReport;
    EXPECT_NE(without.checkReport.find("all 31 entry points, but it does not load (error 126: " + needs),
              std::string::npos)
        << without.checkReport;

    // Beside it, as the page says (with the library that one needs in turn): each loads it, and
    // the driver calls through it.
    fs::copy_file(helper, drivers / helper.filename());
    fs::copy_file(base, drivers / base.filename());
    Verdicts with = Try(hosted);
    EXPECT_EQ(with.init, "OK");
    EXPECT_EQ(with.help, "OK|answered beside the driver");
    EXPECT_EQ(with.selfTest, 0) << with.selfTestReport;
    EXPECT_EQ(with.checkProblems, 0) << with.checkReport;
    EXPECT_NE(with.checkReport.find(file + ": "), std::string::npos) << with.checkReport;
    EXPECT_NE(with.checkReport.find("all 31 entry points, loads in the driver host\n"), std::string::npos)
        << with.checkReport;
    EXPECT_NE(with.checkReport.find("OK driver " + platform::ShownPath((drivers / helper.filename()).u8string())),
              std::string::npos)
        << with.checkReport;
    // The log says where it ran and, without its library, the loader's own words.
    EXPECT_EQ(with.log.find("has no SONAME") != std::string::npos, bare && !hosted) << with.log;
    if (!testing_support::OnWindows()) {
        EXPECT_NE(without.log.find("The system's loader: " + helper.filename().u8string() +
                                   ": cannot open shared object"),
                  std::string::npos)
            << without.log;
    }
}

// Only files whose real path is inside the drivers folder load from it: a
// link out of it (the driver's or a library's beside it) and a needed
// library named by its path are refused before anything is loaded; a link
// within the folder loads. And what is read beside a driver is bounded in
// all: of three 60 MiB files the base is no more read, and is left to the
// loader (which finds it in the driver host's folder, not in-process).
TEST_P(DriverBeside, NothingLoadsFromOutsideTheDriversFolderAndWhatIsReadIsBounded) {
    if (testing_support::OnWindows() || bare) GTEST_SKIP() << "links and needed names of ELF libraries";
    const fs::path outside = fs::u8path(temp.Path()) / "outside", placed = drivers / driver.filename();
    const fs::path helperHere = drivers / helper.filename(), baseHere = drivers / base.filename();
    fs::create_directories(outside);
    for (const fs::path& file : {driver, helper}) fs::copy_file(file, outside / file.filename());
    // The driver naming its helper by a path of the same length.
    std::string bytes = testing_support::ReadFile(driver.u8string());
    const std::string needed = helper.filename().u8string(), byPath = "/t/" + needed.substr(3);
    ASSERT_NE(bytes.find(needed + '\0'), std::string::npos);
    bytes.replace(bytes.find(needed + '\0'), needed.size(), byPath);
    const std::string refused = "ERROR|Error loading driver (\"" + name + "\") on client [Error: ";
    const bool hosted = std::get<0>(GetParam());
    const struct {
        const char* what;
        std::function<void()> arrange;
        std::string logged;  // "": it loads; "Not loaded: ...": refused with error 5
        std::string response = "";
    } cases[] = {
        {"a library beside it linked out of the folder",
         [&] { fs::remove(helperHere), fs::create_symlink(outside / helper.filename(), helperHere); },
         "Not loaded: " + needed + " beside it leads out of the drivers folder (to \"" +
             (fs::canonical(outside) / helper.filename()).u8string() + "\")"},
        {"the driver linked out of the folder",
         [&] { fs::remove(placed), fs::create_symlink(outside / driver.filename(), placed); },
         "Not loaded: the driver file leads out of the drivers folder"},
        {"a needed library named by its path", [&] { testing_support::WriteFile(placed.u8string(), bytes); },
         "Not loaded: it needs a library by its path (\"" + byPath + "\")"},
        {"links within the folder",
         [&] { fs::rename(baseHere, drivers / "base.so.1"), fs::create_symlink("base.so.1", baseHere); }, ""},
        {"60 MiB each (zeros after the end change nothing for the loader)",
         [&] { for (const fs::path& file : {placed, helperHere, baseHere}) fs::resize_file(file, 60u << 20); },
         "The libraries beside the driver are read up to 128 MiB in all: " +
             platform::ShownPath(baseHere.u8string()),
         hosted ? "OK" : refused + "126]"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        for (const fs::path& file : {placed, helperHere, baseHere, drivers / "base.so.1"}) fs::remove(file);
        for (const auto& [from, to] : {std::pair{driver, placed}, {helper, helperHere}, {base, baseHere}})
            fs::copy_file(from, to);
        row.arrange();
        EXPECT_EQ(Init(hosted)[0], !row.response.empty() ? row.response : row.logged.empty() ? "OK" : refused + "5]");
        EXPECT_TRUE(row.logged.empty() || testing_support::ReadFile(temp.LogPath()).find(row.logged) != std::string::npos)
            << row.logged;
    }
}

INSTANTIATE_TEST_SUITE_P(InProcessAndHosted, DriverBeside, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

}  // namespace
