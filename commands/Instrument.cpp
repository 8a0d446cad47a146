#include "commands/Instrument.h"

#include <cstdint>
#include <exception>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/bind/bind.hpp>
#include <boost/lexical_cast.hpp>

#include "commands/NumberText.h"
#include "diag/LogFile.h"

namespace commands {

using relay::EscapeField;
using relay::UnescapeField;

const char* const Instrument::kDriverNotLoaded = "Instrument driver not loaded";

namespace {

const std::string kHello = "Hello";
const std::string kInit = "Init";
const char* const kMissingParameter = "Missing parameter";

using HandlerMember = Result (Instrument::*)(const std::string&, const ParameterList&);

struct TableEntry {
    const char* name;
    std::size_t needs;  // least number of parameters
    HandlerMember handler;
};

#define KST_COMMAND(name, needs) {#name, needs, &Instrument::name}

const TableEntry kCommandTable[] = {
    KST_COMMAND(AbortCalibration, 0),     KST_COMMAND(Calibrate, 0),
    KST_COMMAND(CalibrateStep, 1),        KST_COMMAND(ClearSamples, 0),
    KST_COMMAND(Configure, 0),            KST_COMMAND(Connect, 0),
    KST_COMMAND(Disconnect, 0),           KST_COMMAND(Execute, 1),
    KST_COMMAND(GetAngleValue, 1),        KST_COMMAND(GetAngles, 0),
    KST_COMMAND(GetAvailableSettings, 0), KST_COMMAND(GetCalProgress, 0),
    KST_COMMAND(GetCalStatus, 0),         KST_COMMAND(GetCalSteps, 0),
    KST_COMMAND(GetCalMode, 1),           KST_COMMAND(GetLastErrorCode, 0),
    KST_COMMAND(GetLastErrorString, 0),   KST_COMMAND(GetOption, 1),
    KST_COMMAND(GetSampleCount, 0),       KST_COMMAND(GetSampleData, 2),
    KST_COMMAND(GetSerialNumber, 0),      KST_COMMAND(GetSettingOptions, 1),
    KST_COMMAND(GetSpectralData, 2),      KST_COMMAND(GetSpectralDataAll, 1),
    KST_COMMAND(GetWavelengths, 0),       KST_COMMAND(GetWavelengthValue, 1),
    KST_COMMAND(IsConnected, 0),          KST_COMMAND(IsDataReady, 0),
    KST_COMMAND(Measure, 0),              KST_COMMAND(SetCurrentSample, 1),
    KST_COMMAND(SetLanguage, 1),          KST_COMMAND(SetOption, 2),
};

#undef KST_COMMAND

static_assert(sizeof kCommandTable / sizeof kCommandTable[0] == 32, "32 table commands");

std::int32_t ToInt(const std::string& parameter) {
    return boost::lexical_cast<std::int32_t>(parameter);
}

std::uint16_t ToU16(const std::string& parameter) {
    // boost::lexical_cast wraps "-1" round to 65535 for unsigned targets; a
    // negative language code is as unconvertible as "70000".
    if (!parameter.empty() && parameter[0] == '-') throw boost::bad_lexical_cast();
    // Converted as 32 bits and range-checked: its 16-bit converter overflows a
    // signed int on some long digit strings (undefined behaviour).
    const std::uint32_t value = boost::lexical_cast<std::uint32_t>(parameter);
    if (value > 0xFFFF) throw boost::bad_lexical_cast();
    return static_cast<std::uint16_t>(value);
}

// Thrown by Instrument::Driver() when no driver is bound; the dispatcher
// turns it into the command's failure. Not a std::exception, so that it
// never reads as "Error executing command".
struct DriverNotLoaded {};

// Response forms of what the driver returns.
Result FlagResult(driver::DriverFlag flag) {
    return Result::Success(flag != 0);
}

Result NumberResult(std::int32_t value) {
    return Result::Success(std::to_string(value));
}

// A driver that hands back a null text is taken as having said nothing.
std::string Copy(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

Result TextResult(const char* text) {
    return Result::Success(Copy(text));
}

Result EscapedTextResult(const char* text) {
    return Result::Success(EscapeField(Copy(text)));
}

Result RealResult(float value) {
    std::string text;
    AppendGeneral(text, value, 7);
    return Result::Success(std::move(text));
}

}  // namespace

Instrument::Instrument() {
    for (const TableEntry& entry : kCommandTable)
        commands[entry.name] = Command{
            entry.needs,
            boost::bind(entry.handler, this, boost::placeholders::_1, boost::placeholders::_2)};
}

driver::Spectro& Instrument::Driver() {
    if (!spectro.IsBound()) throw DriverNotLoaded();
    return spectro;
}

Result Instrument::Execute(const std::string& command) {
    std::string name = "?";
    try {
        name = relay::GetCommandName(command);
        if (boost::algorithm::starts_with(name, kHello)) {
            diag::LogLine("Hello -> Hello");
            return Result::Success(kHello);
        }
        const ParameterList parameters = relay::GetParameters(command);
        if (name == kInit) return Init(parameters);

        const auto entry = commands.find(name);
        if (entry == commands.end()) return relay::UnknownCommand(name);
        diag::LogLine("Command ", diag::Shown{name}, " (",
                      diag::Shown{boost::algorithm::join(parameters, ", ")}, ")");
        // Checked in this order, for every command: the parameter count, then
        // (in the handler) their conversion, then whether a driver is bound.
        if (parameters.size() < entry->second.needs) return Result::Failure(kMissingParameter);
        Result result = entry->second.handler(name, parameters);
        LogEntryFormOnceKnown();
        return result;
    } catch (const DriverNotLoaded&) {
        return Result::Failure(kDriverNotLoaded);
    } catch (const driver::DriverStopped&) {
        // The driver host is gone (a crash in the driver): nothing is bound
        // now, and the next Init starts a fresh host.
        spectro.Reset();
        return Result::Failure("Instrument driver stopped");
    } catch (const driver::DriverNotResponding&) {
        spectro.Reset();
        return Result::Failure("Instrument driver not responding");
    } catch (const driver::DriverTextTooLong&) {
        return Result::Failure("Response too long");
    } catch (const driver::RequestTooLarge&) {
        return Result::Failure("Parameters too long for the driver host");
    } catch (const std::exception& e) {
        return Result::Failure("Error executing command \"" + name + "\" (" + e.what() + ")");
    } catch (...) {
        // Whatever else a handler or a driver throws still answers this
        // command, never leaving the previous response to stand for it.
        return Result::Failure("Error executing command \"" + name + "\" (unknown exception)");
    }
}

void Instrument::LogEntryFormOnceKnown() {
    if (!entryFormToLog) return;
    const std::string form = spectro.EntryForm();
    if (form.empty()) return;
    diag::LogDetail("Driver entry points: ", form);
    entryFormToLog = false;
}

// The handlers: parameters are there (the dispatcher counted them); each
// converts what it uses, then calls the driver.

Result Instrument::AbortCalibration(const std::string&, const ParameterList&) {
    return FlagResult(Driver().AbortCalibration());
}

Result Instrument::Calibrate(const std::string&, const ParameterList&) {
    return FlagResult(Driver().Calibrate());
}

Result Instrument::CalibrateStep(const std::string&, const ParameterList& p) {
    return FlagResult(Driver().CalibrateStep(p[0].c_str()));
}

Result Instrument::ClearSamples(const std::string&, const ParameterList&) {
    return FlagResult(Driver().ClearSamples());
}

Result Instrument::Configure(const std::string&, const ParameterList&) {
    return FlagResult(Driver().Configure());
}

Result Instrument::Connect(const std::string&, const ParameterList&) {
    return FlagResult(Driver().Connect());
}

Result Instrument::Disconnect(const std::string&, const ParameterList&) {
    return FlagResult(Driver().Disconnect());
}

Result Instrument::Execute(const std::string&, const ParameterList& p) {
    return TextResult(Driver().Execute(p[0].c_str()));
}

Result Instrument::GetAngleValue(const std::string&, const ParameterList& p) {
    const std::int32_t angle = ToInt(p[0]);
    return TextResult(Driver().GetAngleValue(angle));
}

Result Instrument::GetAngles(const std::string&, const ParameterList&) {
    return NumberResult(Driver().GetAngles());
}

Result Instrument::GetAvailableSettings(const std::string&, const ParameterList&) {
    return EscapedTextResult(Driver().GetAvailableSettings());
}

Result Instrument::GetCalProgress(const std::string&, const ParameterList&) {
    return NumberResult(Driver().GetCalProgress());
}

Result Instrument::GetCalStatus(const std::string&, const ParameterList&) {
    return NumberResult(Driver().GetCalStatus());
}

Result Instrument::GetCalSteps(const std::string&, const ParameterList&) {
    return TextResult(Driver().GetCalSteps());
}

Result Instrument::GetCalMode(const std::string&, const ParameterList&) {
    // The parameter is required (see the table) but the entry point takes none.
    return TextResult(Driver().GetCalMode());
}

Result Instrument::GetLastErrorCode(const std::string&, const ParameterList&) {
    return NumberResult(Driver().GetLastErrorCode());
}

Result Instrument::GetLastErrorString(const std::string&, const ParameterList&) {
    return TextResult(Driver().GetLastErrorString());
}

Result Instrument::GetOption(const std::string&, const ParameterList& p) {
    const std::string option = UnescapeField(p[0]);
    return EscapedTextResult(Driver().GetOption(option.c_str()));
}

Result Instrument::GetSampleCount(const std::string&, const ParameterList&) {
    return NumberResult(Driver().GetSampleCount());
}

Result Instrument::GetSampleData(const std::string&, const ParameterList& p) {
    const std::int32_t sample = ToInt(p[0]);
    const std::int32_t index = ToInt(p[1]);
    return RealResult(Driver().GetSampleData(sample, index));
}

Result Instrument::GetSerialNumber(const std::string&, const ParameterList&) {
    return TextResult(Driver().GetSerialNum());
}

Result Instrument::GetSettingOptions(const std::string&, const ParameterList& p) {
    return TextResult(Driver().GetSettingOptions(p[0].c_str()));
}

Result Instrument::GetSpectralData(const std::string&, const ParameterList& p) {
    const std::int32_t first = ToInt(p[0]);
    const std::int32_t second = ToInt(p[1]);
    return RealResult(Driver().GetSpectralData(first, second));
}

Result Instrument::GetSpectralDataAll(const std::string&, const ParameterList& p) {
    constexpr int kBands = driverhost::kSpectrumBands;
    // The parameter converts the same way for every band: once is enough.
    const std::int32_t first = ToInt(p[0]);
    float spectrum[kBands];
    Driver().ReadSpectrum(first, spectrum);
    std::string values;
    values.reserve(kBands * 10);
    for (int band = 0; band < kBands; ++band) {
        if (band > 0) values += ';';
        AppendGeneral(values, spectrum[band], 6);  // a stream's default precision
    }
    return Result::Success(std::move(values));
}

Result Instrument::GetWavelengths(const std::string&, const ParameterList&) {
    return NumberResult(Driver().GetWavelengths());
}

Result Instrument::GetWavelengthValue(const std::string&, const ParameterList& p) {
    const std::int32_t index = ToInt(p[0]);
    return NumberResult(Driver().GetWavelengthValue(index));
}

Result Instrument::IsConnected(const std::string&, const ParameterList&) {
    return FlagResult(Driver().IsConnected());
}

Result Instrument::IsDataReady(const std::string&, const ParameterList&) {
    return FlagResult(Driver().IsDataReady());
}

Result Instrument::Measure(const std::string&, const ParameterList&) {
    return FlagResult(Driver().Measure());
}

Result Instrument::SetCurrentSample(const std::string&, const ParameterList& p) {
    const std::int32_t sample = ToInt(p[0]);
    return FlagResult(Driver().SetCurrentSample(sample));
}

Result Instrument::SetLanguage(const std::string&, const ParameterList& p) {
    const std::uint16_t language = ToU16(p[0]);
    return FlagResult(Driver().SetLanguage(language));
}

Result Instrument::SetOption(const std::string&, const ParameterList& p) {
    const std::string option = UnescapeField(p[0]);
    const std::string value = UnescapeField(p[1]);
    return FlagResult(Driver().SetOption(option.c_str(), value.c_str()));
}

}  // namespace commands
