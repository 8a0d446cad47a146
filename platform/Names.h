// The names that several programs share: the module's and its helpers' file
// names, the channels, and every registry key and value the module, the
// registration tool, the client check, the packages and the tests use. Each
// is written here once.
#pragma once

namespace names {

// Files, as installed into an ICA client's folder.
constexpr const char* kIcaModuleFile = "KestavClientDriverICA.dll";
constexpr const char* kDvcModuleFile = "KestavClientDriverDVC.dll";
constexpr const char* kDriverHostPrefix = "KestavDriverHost";  // + "32.exe" or "64.exe"; "64" on Linux
constexpr const char* kLogFile = "KestavClientDriver.log";
// Linux: the FreeRDP add-in, a file of this name in each FreeRDP major's
// add-in folder ("freerdp<N>" beside that major's libfreerdp<N>.so.<N>), where
// FreeRDP 2's clients (xfreerdp /dvc:kestav) and FreeRDP 3's (xfreerdp3) load
// it from; the package links there the build for that major
// (/usr/lib/kestav/libkestav-client-freerdp<N>.so).
constexpr const char* kFreeRdpAddInFile = "libkestav-client.so";
constexpr const char* kFreeRdpEntryPoint = "DVCPluginEntry";
constexpr int kFreeRdpMajors[] = {2, 3};
// The static channel plug-in alone (no FreeRDP library needed), linked by the
// package into Horizon's Linux VC bridge folders, whose client loads every
// plug-in there; and what a static plug-in exports.
constexpr const char* kHorizonPluginFile = "libkestav-static.so";
constexpr const char* kHorizonBridgeFolders[] = {"/usr/lib/vmware/rdpvcbridge", "/usr/lib/omnissa/rdpvcbridge"};
// Horizon's Linux client, where it is installed (VMware's name, Omnissa's).
constexpr const char* kHorizonClientPrograms[] = {"/usr/bin/vmware-view", "/usr/bin/horizon-client"};
constexpr const char* kStaticEntryPoint = "VirtualChannelEntryEx";

// The virtual channels, in ICA and as Remote Desktop dynamic channels alike.
constexpr const char* kCommandChannel = "KstCmd1";
constexpr const char* kDataChannel = "KstDta1";

// The module's registration with the Citrix ICA client.
constexpr const char* kModuleName = "KestavClientDriver";
constexpr const char* kCitrixClientKey = "SOFTWARE\\Citrix\\ICA Client";
constexpr const char* kCitrixInstallFolderValue = "InstallFolder";
constexpr const char* kCitrixModuleListKey =
    "SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\ICA 3.0";
constexpr const char* kCitrixModuleListValue = "VirtualDriverEx";
constexpr const char* kCitrixModuleKey =
    "SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\KestavClientDriver";
constexpr const char* kCitrixModuleValues[] = {"DriverName", "DriverNameWin16", "DriverNameWin32"};

// The Citrix Workspace app for Linux: its folder, its module.ini there, and
// the module's file in that folder under the DOS-style name the Linux SDK
// gives virtual drivers (a link to the package's module, so that the module
// finds its drivers and driver host beside its real file).
constexpr const char* kCitrixLinuxFolder = "/opt/Citrix/ICAClient";
constexpr const char* kCitrixLinuxModuleIni = "config/module.ini";
constexpr const char* kCitrixLinuxModuleFile = "VDKESTAV.DLL";
constexpr const char* kIcaLinuxModuleFile = "KestavClientDriverICA.so";
constexpr unsigned long kMostModuleIniBytes = 1ul << 20;  // a client's is about 10 KiB

// The Remote Desktop plug-in's registration with the Remote Desktop clients:
// per machine by the packages, per user (HKCU) as documented for
// per-user deployment; the value names the plug-in's full path.
constexpr const char* kDvcAddInKey =
    "Software\\Microsoft\\Terminal Server Client\\Default\\AddIns\\KestavInstrument";
constexpr const char* kDvcAddInValue = "Name";

// What the packages keep for themselves: the client folders they installed
// into, and each setting value they wrote (so that uninstall removes only those).
constexpr const char* kInstallerKey = "SOFTWARE\\Kestav\\ClientDriver\\Installer";
constexpr const char* kWrotePrefix = "Wrote";  // + the setting's name
// Set by a newer package before it removes the older one (not every
// installer tells the removal that it is part of an upgrade).
constexpr const char* kUpgradingValue = "Upgrading";

// The administrator's settings: a policy (Group Policy manages this key)
// wins over a preference; both are DWORDs in the module's registry view.
constexpr const char* kPolicyKey = "SOFTWARE\\Policies\\Kestav\\ClientDriver";
constexpr const char* kPreferenceKey = "SOFTWARE\\Kestav\\ClientDriver";
// The key above both, removed when the package leaves it empty.
constexpr const char* kCompanyKey = "SOFTWARE\\Kestav";
// Linux: the settings file, "Name = value" lines under [ClientDriver].
constexpr const char* kSettingsFile = "/etc/kestav/client.conf";
constexpr const char* kSettingsSection = "ClientDriver";
constexpr const char* kIsolateDriver = "IsolateDriver";
constexpr const char* kDriverTimeoutSeconds = "DriverTimeoutSeconds";
constexpr const char* kInstrumentThread = "InstrumentThread";

// Each setting with the values it may take and the one in force when it is
// not set (or set to something else).
struct Setting {
    const char* name;
    unsigned minimum, maximum, fallback;
};
constexpr Setting kIsolateDriverSetting = {kIsolateDriver, 0, 1, 1};
constexpr Setting kDriverTimeoutSetting = {kDriverTimeoutSeconds, 1, 3600, 60};
constexpr Setting kInstrumentThreadSetting = {kInstrumentThread, 0, 1, 1};
constexpr Setting kSettings[] = {kIsolateDriverSetting, kDriverTimeoutSetting,
                                 kInstrumentThreadSetting};

}  // namespace names
