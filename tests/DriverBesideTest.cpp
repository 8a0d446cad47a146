// A maker's driver that needs a library of the maker's own (which needs
// another in turn), shipped beside it and linked by name only (no search
// path recorded in either): Init,
// in-process and in the driver host, the self-test and the client check
// load it alike and agree, with the library there and without it.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "platform/HostProcess.h"
#include "platform/Text.h"
#include "tests/support/TestSupport.h"
#include "tools/check/Check.h"
#include "tools/check/SelfTest.h"
#include "tools/host/EngineHost.h"

namespace fs = std::filesystem;

namespace {

struct Verdicts {
    std::string init, help;          // the responses to Init|maker2| and Execute|@help|
    int selfTest = -1;
    std::string selfTestReport;
    int checkProblems = -1;
    std::string checkReport;
};

class DriverBeside : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host on this platform";
        folder = fs::u8path(temp.Path()) / "module";
        drivers = folder / "drivers" / "Kestav";
        fs::create_directories(drivers);
        const fs::path bin = fs::u8path(testing_support::ExecutableFolder());
        fs::copy_file(bin / KST_MODULE_FILE, folder / KST_MODULE_FILE);
        for (const char* bits : {"32", "64"}) {
            const std::string host = std::string("KestavDriverHost") + bits + platform::kProgramSuffix;
            if (fs::exists(bin / host)) fs::copy_file(bin / host, folder / host);
        }
        driver = fs::u8path(testing_support::DriverFilePath("Kestav", "maker2"));
        const bool windows = testing_support::OnWindows();
        helper = driver.parent_path() / (windows ? "makerhelp.dll" : "libmakerhelp.so");
        base = driver.parent_path() / (windows ? "makerbase.dll" : "libmakerbase.so");
        for (const fs::path& file : {driver, helper, base}) ASSERT_TRUE(fs::exists(file)) << file;
        fs::copy_file(driver, drivers / driver.filename());
    }

    Verdicts Try(bool hosted) {
        Verdicts verdicts;
        {
            testing_support::AdminSetting isolate("IsolateDriver", hosted ? 1 : 0);
            standin::EngineHost engine;
            std::string error;
            EXPECT_TRUE(engine.LoadModule((folder / KST_MODULE_FILE).u8string(), &error)) << error;
            EXPECT_EQ(engine.Open(), 0);
            const auto run = [&](const std::string& command) {
                const auto sent = engine.Run("KstCmd1", command);
                return sent.empty() ? std::string("(nothing sent)") : sent.back().bytes;
            };
            verdicts.init = run("Init|maker2|");
            verdicts.help = run("Execute|@help|");
            engine.UnloadModule();
        }
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
    fs::path folder, drivers, driver, helper, base;  // the driver needs the helper, the helper the base
};

TEST_P(DriverBeside, InitTheSelfTestAndTheCheckAgree) {
    const bool hosted = GetParam();
    const std::string file = driver.filename().u8string();
    const std::string needs = file + " needs " + helper.filename().u8string() + ", not found";

    // Without its library: each fails, and the self-test and the check name it.
    Verdicts without = Try(hosted);
    EXPECT_EQ(without.init, "ERROR|Error loading driver (\"maker2\") on client [Error: 126]");
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
}

INSTANTIATE_TEST_SUITE_P(InProcessAndHosted, DriverBeside, ::testing::Bool());

}  // namespace
