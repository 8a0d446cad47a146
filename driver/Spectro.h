// The binding of the instrument driver library: either empty, or the library
// loaded and all 31 entry points bound. Never anything in between.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/EntryPoints.h"
#include "driver/HostedDriver.h"
#include "platform/Library.h"

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
    // The same, with the library loaded in the driver host `program` and
    // every call going there (calls then throw DriverStopped or
    // DriverNotResponding when the host fails). The host of that program
    // kept from an earlier driver takes it, else one is started.
    [[nodiscard]] bool LoadDriverInHost(const std::string& program, const std::string& library,
                                        std::uint32_t timeoutSeconds);
    bool InHost() const { return host != nullptr; }
    // Unbinds the driver; a driver host is kept, with none, for the next.
    void UnloadDriver();
    void Reset();
    // Reset, and every driver host kept is asked to quit (or ended).
    void Release();
    // Only the hosts kept with no driver bound are asked to quit.
    void ReleaseHosts();
    bool IsBound() const { return library != nullptr || host != nullptr; }

    // GetSpectralData(first, band) for the 31 bands, in one request when the
    // driver runs in the host.
    void ReadSpectrum(std::int32_t first, float (&values)[driverhost::kSpectrumBands]);

    // The driver host's side: loads `library`, its folder the search folder
    // for the libraries it needs (as Init makes it in-process), and says how
    // it is bound.
    driverhost::Handshake BindInHost(const std::string& library);
    // The driver host's side of a request: runs it on this binding; Unload
    // releases the driver, Load binds another and answers with a handshake.
    void Serve(const driverhost::Request& request, driverhost::Answer* answer);

    // The loader's error code of the call that failed in the last LoadDriver
    // (126: library cannot be loaded; 127: entry point missing).
    std::uint32_t LoadError() const { return loadError; }

    // How the bound library's entry points are built, where that can vary
    // (32-bit Windows): "stdcall, decorated names", "cdecl, plain names";
    // empty while the convention is not known yet (plain names tell nothing
    // until the first call that takes arguments) and where it cannot vary.
    std::string EntryForm() const;
    // Whether the form can vary at all: 32-bit drivers, here or in the host.
    bool EntryFormVaries() const;
    Convention EntryConvention() const { return convention; }
    bool DecoratedNames() const { return decoratedNames; }

    // The 31 entry points' names and the bytes of their arguments on the
    // 32-bit stack (the N of "_<Name>@<N>"), in lookup order.
    static std::vector<std::pair<std::string, unsigned>> EntryPointNames();

    // "abc" -> "./abc.dll"; "abc.dll" -> "./abc.dll"; "ABC.DLL" -> "./ABC.DLL.dll";
    // "C:\drv\abc.dll", ".\abc.dll", "\\server\share\abc.dll", "/opt/abc.dll" unchanged.
    static std::string MakeLibraryFileName(const std::string& name);

    platform::LibraryHandle library = nullptr;

    EntryPoint<FlagFn> Connect;
    EntryPoint<FlagFn> Disconnect;
    EntryPoint<FlagFn> IsConnected;
    EntryPoint<FlagOfU16Fn> SetLanguage;
    EntryPoint<IntFn> GetAngles;
    EntryPoint<IntFn> GetWavelengths;
    EntryPoint<TextOfIntFn> GetAngleValue;
    EntryPoint<IntOfIntFn> GetWavelengthValue;
    EntryPoint<FlagFn> Measure;
    EntryPoint<RealOfTwoIntsFn> GetSpectralData;
    EntryPoint<FlagFn> IsDataReady;
    EntryPoint<TextFn> GetSerialNum;
    EntryPoint<IntFn> GetCalStatus;
    EntryPoint<FlagFn> Calibrate;
    EntryPoint<TextFn> GetCalSteps;
    EntryPoint<TextFn> GetCalMode;
    EntryPoint<IntFn> GetCalProgress;
    EntryPoint<FlagFn> AbortCalibration;
    EntryPoint<FlagOfTextFn> CalibrateStep;
    EntryPoint<FlagFn> ClearSamples;
    EntryPoint<IntFn> GetSampleCount;
    EntryPoint<FlagOfIntFn> SetCurrentSample;
    EntryPoint<RealOfTwoIntsFn> GetSampleData;
    EntryPoint<FlagFn> Configure;
    EntryPoint<TextFn> GetAvailableSettings;
    EntryPoint<TextOfTextFn> GetSettingOptions;
    EntryPoint<TextOfTextFn> GetOption;
    EntryPoint<FlagOfTwoTextsFn> SetOption;
    EntryPoint<IntFn> GetLastErrorCode;
    EntryPoint<TextFn> GetLastErrorString;
    EntryPoint<TextOfTextFn> Execute;

private:
    std::uint32_t loadError = 0;
    Convention convention = Convention::Unknown;
    bool decoratedNames = false;
    // The hosts started so far, one per host program (and folder, see
    // LoadDriverInHost), with the driver bound
    // in one of them (host) or in none.
    std::vector<std::pair<std::string, std::unique_ptr<HostedDriver>>> hosts;
    HostedDriver* host = nullptr;
    // The libraries beside the driver loaded for it (LoadLibrariesBeside).
    std::vector<platform::LibraryHandle> beside;
};

}  // namespace driver
