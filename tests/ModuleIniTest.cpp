// The module's entries in a Citrix Workspace app for Linux's module.ini:
// added once, taken away exactly, every other byte kept.
#include <gtest/gtest.h>

#include "packaging/ModuleIni.h"

using packaging::AddModuleIniEntries;
using packaging::ReadModuleIniEntries;
using packaging::RemoveModuleIniEntries;

namespace {

const char kName[] = "KestavClientDriver";
const char kFile[] = "VDKESTAV.DLL";

// As a client's file is laid out (shortened).
const std::string kClientFile =
    "[ICA 3.0]\n"
    "VirtualDriver = Thinwire3.0, ClientDrive, ClientPrinterQueue, Clipboard\n"
    "Thinwire3.0 = On\n"
    "ClientDrive = On\n"
    "; comment = KestavClientDriver\n"
    "\n"
    "[Thinwire3.0]\n"
    "DriverName = VDTW30.DLL\n"
    "\n"
    "[ClientDrive]\n"
    "DriverName = VDCDM.DLL\n";

std::string Added(const std::string& text) {
    std::string edited, why;
    EXPECT_TRUE(AddModuleIniEntries(text, kName, kFile, &edited, &why)) << why;
    return edited;
}

TEST(ModuleIni, AddedAsTheSdkRegistersADriver) {
    EXPECT_EQ(Added(kClientFile),
              "[ICA 3.0]\n"
              "VirtualDriver = Thinwire3.0, ClientDrive, ClientPrinterQueue, Clipboard, KestavClientDriver\n"
              "KestavClientDriver = On\n"
              "Thinwire3.0 = On\n"
              "ClientDrive = On\n"
              "; comment = KestavClientDriver\n"
              "\n"
              "[Thinwire3.0]\n"
              "DriverName = VDTW30.DLL\n"
              "\n"
              "[ClientDrive]\n"
              "DriverName = VDCDM.DLL\n"
              "\n"
              "[KestavClientDriver]\n"
              "DriverName = VDKESTAV.DLL\n");
}

// Whatever the file looks like: added once (a second add changes nothing),
// read back, and taken away to the very bytes it had, its final line end or
// none included.
TEST(ModuleIni, AddedOnceAndTakenAwayExactly) {
    const std::string files[] = {
        kClientFile,
        "[ICA 3.0]\r\nVirtualDriver = A, B\r\nA = On\r\n\r\n[A]\r\nDriverName = VDA.DLL\r\n",
        "[ICA 3.0]\nVirtualDriver=A,B\nA=On\n\n[A]\nDriverName=VDA.DLL\n",
        "[ICA 3.0]\nVirtualDriver = A",
        "[ICA 3.0]\r\nVirtualDriver = A\r\n\r\n[A]\r\nDriverName = VDA.DLL",
        "[ICA 3.0]\nVirtualDriver =\n",
        "[ICA 3.0]\nVirtualDriver = \n\n[Other]\nx = 1\n",
        "[WFClient]\nVersion = 2\n\n[ica 3.0]\nvirtualdriver = A  \n\n",
        "[ICA 3.0]\nVirtualDriver = A, B   ; trailing\n[Next]\n",
        "[ICA 3.0]\nVirtualDriver = MyKestavClientDriver, KestavClientDriverX\n",
    };
    for (const std::string& file : files) {
        const std::string once = Added(file);
        EXPECT_EQ(Added(once), once) << file;
        const packaging::ModuleIniEntries entries = ReadModuleIniEntries(once, kName);
        EXPECT_EQ(entries.listed, 1) << once;
        EXPECT_EQ(entries.state, "On") << once;
        EXPECT_TRUE(entries.section) << once;
        EXPECT_EQ(entries.driverName, kFile) << once;
        EXPECT_EQ(RemoveModuleIniEntries(once, kName, kFile), file) << once;
        EXPECT_EQ(RemoveModuleIniEntries(file, kName, kFile), file) << "nothing of ours: unchanged";
    }
}

TEST(ModuleIni, EntriesAnAdministratorMadeAreKept) {
    const std::string byHand =
        "[ICA 3.0]\nVirtualDriver = A, kestavclientdriver\nKestavClientDriver = Off\n\n"
        "[KestavClientDriver]\nDriverName = VDKESTAV.DLL\nSetting = 1\n";
    EXPECT_EQ(Added(byHand), byHand);
    EXPECT_EQ(ReadModuleIniEntries(byHand, kName).state, "Off");
    EXPECT_EQ(RemoveModuleIniEntries(byHand, kName, kFile), "[ICA 3.0]\nVirtualDriver = A\n");
}

TEST(ModuleIni, TheNameLeavesTheListWithOneSeparator) {
    const std::pair<const char*, const char*> lists[] = {
        {"KestavClientDriver, A, B", "A, B"},
        {"A, KestavClientDriver, B", "A, B"},
        {"A,KestavClientDriver", "A"},
        {"KestavClientDriver", ""},
        {"A, KestavClientDriver, KestavClientDriver", "A"},
        {"A, KestavClientDriverX, B", "A, KestavClientDriverX, B"},
    };
    for (const auto& [before, after] : lists)
        EXPECT_EQ(RemoveModuleIniEntries(std::string("[ICA 3.0]\nVirtualDriver = ") + before + "\n", kName, kFile),
                  std::string("[ICA 3.0]\nVirtualDriver = ") + after + "\n")
            << before;
}

TEST(ModuleIni, AFileWithoutTheClientsListIsNotEdited) {
    const std::pair<const char*, const char*> files[] = {
        {"", "it has no [ICA 3.0] section"},
        {"[WFClient]\nVirtualDriver = A\n", "it has no [ICA 3.0] section"},
        {"[ICA 3.0]\nA = On\n[Other]\nVirtualDriver = A\n", "its [ICA 3.0] section has no VirtualDriver list"},
        {"[ICA 3.0]\n; VirtualDriver = A\n", "its [ICA 3.0] section has no VirtualDriver list"},
        // Another's section of the module's name: neither added to nor taken away.
        {"[ICA 3.0]\nVirtualDriver = A, KestavClientDriver\nKestavClientDriver = On\n\n[KestavClientDriver]\n"
         "DriverName = VDOTHER.DLL\n",
         "its [KestavClientDriver] section names DriverName VDOTHER.DLL, not VDKESTAV.DLL"},
    };
    for (const auto& [file, reason] : files) {
        std::string edited = "untouched", why;
        EXPECT_FALSE(AddModuleIniEntries(file, kName, kFile, &edited, &why)) << file;
        EXPECT_EQ(why, reason) << file;
        EXPECT_EQ(edited, "untouched");
        EXPECT_EQ(RemoveModuleIniEntries(file, kName, kFile), file) << file;
    }
}

}  // namespace
