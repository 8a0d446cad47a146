// "Init": driver names, folders, and real loading of the test libraries
// placed beside this program as they are on a client PC.
#include <gtest/gtest.h>

#include <algorithm>

#include "commands/Instrument.h"
#include <filesystem>
#include <vector>

#include "diag/ModuleFolder.h"
#include "driver/Machine.h"
#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/HostProcess.h"
#include "platform/Library.h"
#include "tests/support/PeImage.h"
#include "tests/support/TestSupport.h"

using namespace commands;
using testing_support::ReadLines;
using testing_support::ScopedTempFolder;

namespace {

// A driver folder's path as the module writes it: in this OS's own form.
std::string Os(std::string path) {
    if (std::string(platform::kPathSeparator) != "\\")
        std::replace(path.begin(), path.end(), '\\', platform::kPathSeparator[0]);
    return path;
}

TEST(DriverNames, BaseName) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\Tools\\drv.dll", "drv"}, {"drv.dll", "drv"},     {"drv", "drv"},
        {"drv.new.dll", "drv.new"},    {"x.y.z", "x.y"},       {"C:/a/b.c/drv", "drv"},
        {"\\\\srv\\share\\Orvo2.DLL", "Orvo2"}, {"", ""},      {".dll", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(GetDriverBaseName(c.first), c.second) << c.first;
}

TEST(DriverNames, Subfolder) {
    const std::pair<std::string, std::string> cases[] = {
        {"Orvo2", "drivers\\Orvo2"}, {"orvo2", "drivers\\orvo2"}, {"ORVO", "drivers\\ORVO"},
        {"orvo3", "drivers\\Kestav"}, {"Orvo2x", "drivers\\Kestav"}, {"sim", "drivers\\Kestav"},
        {"", "drivers\\Kestav"},
    };
    for (const auto& c : cases) EXPECT_EQ(GetDriverSubfolder(c.first), Os(c.second)) << c.first;
}

TEST(DriverNames, FolderBesideTheModule) {
    const std::string saved = diag::ModuleFolder;
    diag::SetModuleFolder("C:\\Program Files\\Client");
    EXPECT_EQ(GetDriverFolder("drv"), "C:\\Program Files\\Client" + Os("\\drivers\\Kestav"));
    EXPECT_EQ(GetDriverFolder("Orvo2"), "C:\\Program Files\\Client" + Os("\\drivers\\Orvo2"));
    diag::SetModuleFolder(saved);
}

class InitTest : public ::testing::Test {
protected:
    void SetUp() override { diag::SetModuleFolder(folder); }
    std::string Run(const std::string& command) { return instrument.Execute(command).ToResponse(); }
    // The log lines of the last Init, without their time prefix.
    std::vector<std::string> InitLines() {
        std::vector<std::string> lines;
        for (const std::string& line : ReadLines(temp.LogPath()))
            if (line.find("  Loading ") != std::string::npos) lines.push_back(line.substr(23));
        return lines;
    }

    ScopedTempFolder temp;
    const std::string folder = testing_support::ExecutableFolder();
    Instrument instrument;
};

TEST_F(InitTest, LoadsFromTheCommonDriverFolder) {
    EXPECT_EQ(Run("Init|recording|"), "OK");
    EXPECT_EQ(InitLines(), (std::vector<std::string>{
                               "Loading driver \"" + testing_support::LibraryName("recording") + "\" @ \"" + folder +
                                   Os("\\drivers\\Kestav") + "\"",
                               "Loading Driver success"}));
    EXPECT_EQ(Run("IsConnected"), "OK|true");
}

TEST_F(InitTest, DriversWithAFolderOfTheirOwn) {
    EXPECT_EQ(Run("Init|C:\\Some\\Where\\Orvo2.DLL|"), "OK");
    EXPECT_EQ(InitLines().front(),
              "Loading driver \"" + testing_support::LibraryName("Orvo2") + "\" @ \"" + folder + Os("\\drivers\\Orvo2") + "\"");
    // Not one of them: looked for in the common folder, where it is not.
    EXPECT_EQ(Run("Init|orvo3|"), "ERROR|Error loading driver (\"orvo3\") on client [Error: 126]");
}

TEST_F(InitTest, FailuresNameTheLoadersCodeAndLeaveNothingBound) {
    struct Case {
        std::string command;
        std::string response;
    };
    const Case cases[] = {
        {"Init|missing|", "ERROR|Error loading driver (\"missing\") on client [Error: 126]"},
        {"Init|broken|", "ERROR|Error loading driver (\"broken\") on client [Error: 127]"},
        // A library of that name in the current folder is never picked up.
        {"Init|decoy|", "ERROR|Error loading driver (\"decoy\") on client [Error: 126]"},
        // Names that would leave the driver folder or garble the log.
        {"Init|c:recording|", "ERROR|Error loading driver (\"c:recording\") on client [Error: 123]"},
        {"Init|rec\x01ording|", "ERROR|Error loading driver (\"rec\x01ording\") on client [Error: 123]"},
        {"Init|x.y.z|", "ERROR|Error loading driver (\"x.y\") on client [Error: 126]"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Run("Init|recording|"), "OK");
        EXPECT_EQ(Run(c.command), c.response);
        EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver not loaded");
        EXPECT_EQ(InitLines().back(), "Loading Driver error");
    }
    EXPECT_NE(testing_support::ReadFile("decoy.dll").size() +
                  testing_support::ReadFile("decoy.so").size(),
              0u)
        << "the decoy must stand in the current folder for this test to mean anything";
    EXPECT_EQ(InitLines()[InitLines().size() - 2],
              "Loading driver \"" + testing_support::LibraryName("x.y") + "\" @ \"" + folder + Os("\\drivers\\Kestav") + "\"");
}

// A driver built for a machine this client cannot run (and has no driver
// host for) is refused before anything loads it, in words naming both.
TEST_F(InitTest, ADriverOfAnotherMachineIsRefusedNamingBoth) {
    const std::string own = driver::MachineName(driver::OwnMachine());
    const struct {
        std::uint16_t pe, elf;
        char elfClass;
        std::string machine;
    } rows[] = {{0xAA64, 183, 2, "arm64"}, {0x01C4, 40, 1, "arm"}, {0x014C, 3, 1, "i386"}, {0x8664, 62, 2, "x86-64"}};
    const std::string path = folder + Os("\\drivers\\Kestav\\") + testing_support::LibraryName("othermachine");
    for (const auto& row : rows) {
        // Windows ships the other x86 width's driver host.
        if ((row.machine == "i386" && platform::kOtherX86DriverHost) || row.machine == own) continue;
        testing_support::WriteFile(path, testing_support::LibraryHeader(row.pe, row.elf, row.elfClass));
        EXPECT_EQ(Run("Init|othermachine|"), "ERROR|Error loading driver (\"othermachine\") on client [Error: 193]")
            << row.machine;
        const auto log = ReadLines(temp.LogPath());
        const std::string said = "Not loaded: the driver is for " + row.machine + "; this client is " + own +
                                 ", and no driver host for " + row.machine + " ships with it";
        EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                [&](const std::string& line) { return line.find(said) != std::string::npos; }))
            << said;
    }
    std::filesystem::remove(path);
}

// Windows opens a device for these names in every folder, whatever the
// extension: reading "COM1.dll" would wait on the serial port for good.
TEST_F(InitTest, DeviceNamesAreRefusedBeforeAnythingIsOpened) {
    struct Case {
        const char* name;
        bool device;
    };
    const Case cases[] = {
        {"COM1", true},     {"com9", true},      {"LPT1", true},     {"lpt9", true},
        {"COM0", true},     {"CON", true},       {"prn", true},      {"Aux", true},
        {"NUL", true},      {"CONIN$", true},    {"conout$", true},  {"COM1.txt", true},
        {"nul.a.b", true},  {"COM1 ", true},     {"COM\xB9", true},   {"lpt\xC2\xB3", true},
        {"COM10", false},   {"COMX", false},     {"console", false}, {"auxiliary", false},
        {"LPT", false},     {"xCOM1", false},
    };
    for (const Case& c : cases) {
        const std::string name = commands::GetDriverBaseName(c.name);
        const std::string response = Run(std::string("Init|") + c.name + "|");
        EXPECT_EQ(response, "ERROR|Error loading driver (\"" + name + "\") on client [Error: " +
                                (c.device ? "123" : "126") + "]")
            << c.name;
    }
}

TEST(DriverFile, OnlyAFileOnDiskIsRead) {
    struct Case {
        std::string path;
        platform::FileStart expected;
    };
    const std::string driver = testing_support::ExecutableFolder() + "/expected/session.txt";
    const Case cases[] = {
        {driver, platform::FileStart::Read},
        {driver + ".missing", platform::FileStart::Unreadable},
        {testing_support::kNullDevice, platform::FileStart::NotADiskFile},
    };
    for (const Case& c : cases) {
        std::string bytes = "left over";
        EXPECT_EQ(platform::ReadFileStart(c.path, 64, &bytes), c.expected) << c.path;
        EXPECT_EQ(bytes.size(), c.expected == platform::FileStart::Read ? 64u : 0u) << c.path;
    }
}

TEST_F(InitTest, WithoutTheModulesOwnFolderNothingIsLoaded) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    diag::SetModuleFolder("");  // the system could not tell where the module is
    EXPECT_EQ(Run("Init|decoy|"), "ERROR|Error loading driver (\"decoy\") on client [Error: 3]");
    EXPECT_EQ(Run("Init|recording|"),
              "ERROR|Error loading driver (\"recording\") on client [Error: 3]");
    const auto log = ReadLines(temp.LogPath());
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "The module's own folder is not known: no driver is loaded");
    EXPECT_EQ(log.back().substr(23), "Loading Driver error");
    EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver not loaded");
}

TEST_F(InitTest, ADriverHostThatCannotStartGivesTheSystemsCode) {
    if (!platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host on this platform";
    // A module folder with the driver but without the driver host programs.
    const std::string drivers = temp.Path() + "/drivers/Kestav";
    std::filesystem::create_directories(drivers);
    const std::string driverFile =
        drivers + "/" + std::filesystem::path(testing_support::DriverFilePath("Kestav", "recording")).filename().string();
    std::filesystem::copy_file(testing_support::DriverFilePath("Kestav", "recording"), driverFile);
    diag::SetModuleFolder(temp.Path());
    // With no setting every driver goes to the host: without one, or with one
    // the system will not run, Init fails with the system's code and says
    // why; the driver is never loaded in-process instead.
    struct Case {
        const char* hostFile;  // "": none
        std::uint32_t error;
        const char* why;
    };
    const std::string host =
        temp.Path() + "/KestavDriverHost" + std::to_string(sizeof(void*) * 8) + platform::kProgramSuffix;
    std::vector<Case> cases = {Case{"", 2, "it is not there"},
                               Case{"not a program", 193, "it is not a program this system can run"}};
    // Where a program must be marked as one: a file that is not.
    if (!testing_support::OnWindows()) cases.push_back(Case{"not executable", 5, "access denied"});
    for (const Case& c : cases) {
        if (*c.hostFile != '\0') testing_support::WriteFile(host, c.hostFile);
        if (!testing_support::OnWindows() && *c.hostFile != '\0')
            std::filesystem::permissions(host, c.error == 5 ? std::filesystem::perms::owner_read
                                                            : std::filesystem::perms::owner_all);
        testing_support::WriteFile(temp.LogPath(), "");
        EXPECT_EQ(Run("Init|recording|"), "ERROR|Error loading driver (\"recording\") on client [Error: " +
                                              std::to_string(c.error) + "]");
        EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver not loaded");
        EXPECT_FALSE(testing_support::IsLibraryLoaded(driverFile));
        EXPECT_NE(testing_support::ReadFile(temp.LogPath())
                      .find("could not be started (error " + std::to_string(c.error) + ": " + c.why +
                            "); the driver runs in-process only where IsolateDriver is 0"),
                  std::string::npos)
            << c.error;
    }
}

// A driver host that answers what no driver host should: each answer is
// taken as the driver having stopped, and the host is ended.
TEST_F(InitTest, ABrokenDriverHostsAnswersCostOneCommand) {
    if (!platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host on this platform";
    const std::string drivers = temp.Path() + "/drivers/Kestav";
    std::filesystem::create_directories(drivers);
    const std::string driverFile =
        drivers + "/" + std::filesystem::path(testing_support::DriverFilePath("Kestav", "recording")).filename().string();
    std::filesystem::copy_file(testing_support::DriverFilePath("Kestav", "recording"), driverFile);
    std::filesystem::copy_file(folder + "/broken-host" + platform::kProgramSuffix,
                               temp.Path() + "/KestavDriverHost" + std::to_string(sizeof(void*) * 8) +
                                   platform::kProgramSuffix);
    diag::SetModuleFolder(temp.Path());
    testing_support::AdminSetting isolate("IsolateDriver", 1);
    // An answer whose claimed length no answer area holds is never read:
    // the host is taken as stopped; one that is read but says nothing a host
    // says is refused as such.
    const std::vector<std::pair<const char*, const char*>> modes = {
        {"past", "stopped during a call"},     {"huge", "stopped during a call"},
        {"zero", "stopped during a call"},     {"kind", "sent an answer that does not read: ended"},
        {"refused", "sent an answer that does not read: ended"}};
    for (const auto& [mode, logged] : modes) {
        platform::SetEnvironment("KST_BROKEN_HOST", mode);
        ASSERT_EQ(Run("Init|recording|"), "OK") << mode;
        EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver stopped") << mode;
        EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver not loaded") << mode;
        const auto log = testing_support::ReadLogLines(temp.LogPath());
        const auto said = std::find_if(log.rbegin(), log.rend(), [](const std::string& line) {
            return line.rfind("Driver host (pid ", 0) == 0;
        });
        ASSERT_NE(said, log.rend()) << mode;
        EXPECT_NE(said->find(logged), std::string::npos) << mode << ": " << *said;
    }
    platform::SetEnvironment("KST_BROKEN_HOST", "");
    const auto pids = testing_support::LoggedHostPids(temp.LogPath());
    EXPECT_EQ(pids.size(), modes.size());
    for (std::uint32_t pid : pids) EXPECT_FALSE(testing_support::ProcessIsRunning(pid)) << pid;
}

// A request the section's request area cannot hold is refused before any
// byte is copied: the command gets an error, the host and its driver stay.
TEST_F(InitTest, ARequestLargerThanTheHostTakesIsRefusedAndTheHostKept) {
    if (!platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host on this platform";
    testing_support::AdminSetting isolate("IsolateDriver", 1);
    ASSERT_EQ(Run("Init|recording|"), "OK");
    const auto hosts = testing_support::LoggedHostPids(temp.LogPath());
    ASSERT_EQ(hosts.size(), 1u);
    const std::string tooLarge[] = {
        "SetOption|" + std::string(100 * 1024, 'a') + "|" + std::string(100 * 1024, 'b') + "|",
        "SetOption|" + std::string(1400 * 1000, 'a') + "|v|",
    };
    for (const std::string& command : tooLarge) {
        EXPECT_EQ(Run(command), "ERROR|Parameters too long for the driver host");
        EXPECT_TRUE(testing_support::ProcessIsRunning(hosts[0]));
        EXPECT_EQ(Run("IsConnected"), "OK|true");
    }
    EXPECT_EQ(Run("SetOption|" + std::string(90 * 1024, 'a') + "|" + std::string(90 * 1024, 'b') + "|"),
              "OK|true")
        << "what fits still goes through";
    EXPECT_EQ(testing_support::LoggedHostPids(temp.LogPath()), hosts);
}

TEST_F(InitTest, ReloadReplacesTheDriver) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    ASSERT_EQ(Run("Init|sim|"), "OK");
    EXPECT_EQ(Run("GetSerialNumber"), "OK|KSIM-000417");
}

TEST_F(InitTest, NeedsItsParameter) {
    EXPECT_EQ(Run("Init|drv"), "ERROR|Missing parameter");
    EXPECT_EQ(Run("Init"), "ERROR|Missing parameter");
    EXPECT_TRUE(InitLines().empty());
}

}  // namespace
