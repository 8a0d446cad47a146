// The command processor: splits a command text, answers "Hello", loads the
// instrument driver on "Init" and runs every other known command through its
// table of handlers. Failures are Results, never exceptions.
#pragma once

#include <map>
#include <string>

#include <boost/function.hpp>

#include "driver/Spectro.h"
#include "relay/Message.h"
#include "relay/Result.h"

namespace commands {

using relay::ParameterList;
using relay::Result;

using CommandHandler = boost::function<Result(const std::string&, const ParameterList&)>;

// One row of the command table: the least number of parameters the command
// needs (checked by the dispatcher before the handler runs), and its handler.
struct Command {
    std::size_t needs;
    CommandHandler handler;
};

class Instrument {
public:
    Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // One command text in, its Result out; an exception while handling it
    // becomes "Error executing command \"<name>\" (<message>)".
    [[nodiscard]] Result Execute(const std::string& command);

    // "Init|<driver>|": loads and binds the instrument driver library.
    [[nodiscard]] Result Init(const ParameterList& parameters);
    // Releases the bound library, if any, and ends the session's driver
    // hosts; the next instrument command then finds no driver.
    void ReleaseDriver() { spectro.Release(); }
    // The same where the driver runs in a host; an in-process driver stays
    // bound, and only the hosts kept with none are ended.
    void ReleaseHostedDriver() {
        if (spectro.InHost()) spectro.Release();
        else spectro.ReleaseHosts();
    }

    // The text of a command that needs a driver while none is bound.
    static const char* const kDriverNotLoaded;

    // The handlers, one per command of the table.
    Result AbortCalibration(const std::string&, const ParameterList&);
    Result Calibrate(const std::string&, const ParameterList&);
    Result CalibrateStep(const std::string&, const ParameterList&);
    Result ClearSamples(const std::string&, const ParameterList&);
    Result Configure(const std::string&, const ParameterList&);
    Result Connect(const std::string&, const ParameterList&);
    Result Disconnect(const std::string&, const ParameterList&);
    Result Execute(const std::string&, const ParameterList&);
    Result GetAngleValue(const std::string&, const ParameterList&);
    Result GetAngles(const std::string&, const ParameterList&);
    Result GetAvailableSettings(const std::string&, const ParameterList&);
    Result GetCalProgress(const std::string&, const ParameterList&);
    Result GetCalStatus(const std::string&, const ParameterList&);
    Result GetCalSteps(const std::string&, const ParameterList&);
    Result GetCalMode(const std::string&, const ParameterList&);
    Result GetLastErrorCode(const std::string&, const ParameterList&);
    Result GetLastErrorString(const std::string&, const ParameterList&);
    Result GetOption(const std::string&, const ParameterList&);
    Result GetSampleCount(const std::string&, const ParameterList&);
    Result GetSampleData(const std::string&, const ParameterList&);
    Result GetSerialNumber(const std::string&, const ParameterList&);
    Result GetSettingOptions(const std::string&, const ParameterList&);
    Result GetSpectralData(const std::string&, const ParameterList&);
    Result GetSpectralDataAll(const std::string&, const ParameterList&);
    Result GetWavelengths(const std::string&, const ParameterList&);
    Result GetWavelengthValue(const std::string&, const ParameterList&);
    Result IsConnected(const std::string&, const ParameterList&);
    Result IsDataReady(const std::string&, const ParameterList&);
    Result Measure(const std::string&, const ParameterList&);
    Result SetCurrentSample(const std::string&, const ParameterList&);
    Result SetLanguage(const std::string&, const ParameterList&);
    Result SetOption(const std::string&, const ParameterList&);

private:
    // The bound driver, for a handler that has checked and converted its
    // parameters; with none bound the command fails with kDriverNotLoaded.
    driver::Spectro& Driver();
    // Writes "Driver entry points: <form>" once per loaded driver, as soon as
    // the form is known (32-bit Windows).
    void LogEntryFormOnceKnown();

    driver::Spectro spectro;
    std::map<std::string, Command> commands;
    bool entryFormToLog = false;
};

// Driver name of Init's parameter: "C:\Tools\drv.dll", "drv.dll", "drv" -> "drv";
// "drv.new.dll" -> "drv.new".
std::string GetDriverBaseName(const std::string& parameter);
// "Orvo2" -> "drivers\Orvo2" (drivers with a folder of their own);
// anything else -> "drivers\Kestav".
std::string GetDriverSubfolder(const std::string& driverName);
// ModuleFolder + "\" + GetDriverSubfolder(driverName).
std::string GetDriverFolder(const std::string& driverName);

}  // namespace commands
