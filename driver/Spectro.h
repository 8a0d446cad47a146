// The binding of the instrument driver library: either empty, or the library
// loaded and all 31 entry points bound. Never anything in between.
#pragma once

#include <cstdint>
#include <string>

#include "driver/EntryPoints.h"
#include "platform/Platform.h"

namespace driver {

class Spectro {
public:
    Spectro() = default;
    // Leaves a bound library loaded: the binding goes away with the module's
    // static objects, that is inside DllMain's process detach, where Windows
    // forbids FreeLibrary. The unload procedure (ReleaseDriver) or the next
    // LoadDriver releases it; at process exit the system does.
    ~Spectro() = default;
    Spectro(const Spectro&) = delete;
    Spectro& operator=(const Spectro&) = delete;

    // Releases any library bound before, then loads `name` (see
    // MakeLibraryFileName) and binds all 31 entry points. False leaves the
    // binding empty and LoadError() telling why.
    [[nodiscard]] bool LoadDriver(const std::string& name);
    void UnloadDriver();
    void Reset();
    bool IsBound() const { return library != nullptr; }

    // The loader's error code of the call that failed in the last LoadDriver
    // (126: library cannot be loaded; 127: entry point missing).
    std::uint32_t LoadError() const { return loadError; }

    // "abc" -> "./abc.dll"; "abc.dll" -> "./abc.dll"; "ABC.DLL" -> "./ABC.DLL.dll";
    // "C:\drv\abc.dll", ".\abc.dll", "\\server\share\abc.dll", "/opt/abc.dll" unchanged.
    static std::string MakeLibraryFileName(const std::string& name);

    platform::LibraryHandle library = nullptr;

    FlagFn Connect = nullptr;
    FlagFn Disconnect = nullptr;
    FlagFn IsConnected = nullptr;
    FlagOfU16Fn SetLanguage = nullptr;
    IntFn GetAngles = nullptr;
    IntFn GetWavelengths = nullptr;
    TextOfIntFn GetAngleValue = nullptr;
    IntOfIntFn GetWavelengthValue = nullptr;
    FlagFn Measure = nullptr;
    RealOfTwoIntsFn GetSpectralData = nullptr;
    FlagFn IsDataReady = nullptr;
    TextFn GetSerialNum = nullptr;
    IntFn GetCalStatus = nullptr;
    FlagFn Calibrate = nullptr;
    TextFn GetCalSteps = nullptr;
    TextFn GetCalMode = nullptr;
    IntFn GetCalProgress = nullptr;
    FlagFn AbortCalibration = nullptr;
    FlagOfTextFn CalibrateStep = nullptr;
    FlagFn ClearSamples = nullptr;
    IntFn GetSampleCount = nullptr;
    FlagOfIntFn SetCurrentSample = nullptr;
    RealOfTwoIntsFn GetSampleData = nullptr;
    FlagFn Configure = nullptr;
    TextFn GetAvailableSettings = nullptr;
    TextOfTextFn GetSettingOptions = nullptr;
    TextOfTextFn GetOption = nullptr;
    FlagOfTwoTextsFn SetOption = nullptr;
    IntFn GetLastErrorCode = nullptr;
    TextFn GetLastErrorString = nullptr;
    TextOfTextFn Execute = nullptr;

private:
    std::uint32_t loadError = 0;
};

}  // namespace driver
