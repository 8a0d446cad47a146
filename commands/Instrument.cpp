#include "commands/Instrument.h"

#include <cstdint>
#include <exception>

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
    HandlerMember handler;
};

#define KST_COMMAND(name) {#name, &Instrument::name}

const TableEntry kCommandTable[] = {
    KST_COMMAND(AbortCalibration),   KST_COMMAND(Calibrate),
    KST_COMMAND(CalibrateStep),      KST_COMMAND(ClearSamples),
    KST_COMMAND(Configure),          KST_COMMAND(Connect),
    KST_COMMAND(Disconnect),         KST_COMMAND(Execute),
    KST_COMMAND(GetAngleValue),      KST_COMMAND(GetAngles),
    KST_COMMAND(GetAvailableSettings), KST_COMMAND(GetCalProgress),
    KST_COMMAND(GetCalStatus),       KST_COMMAND(GetCalSteps),
    KST_COMMAND(GetCalMode),         KST_COMMAND(GetLastErrorCode),
    KST_COMMAND(GetLastErrorString), KST_COMMAND(GetOption),
    KST_COMMAND(GetSampleCount),     KST_COMMAND(GetSampleData),
    KST_COMMAND(GetSerialNumber),    KST_COMMAND(GetSettingOptions),
    KST_COMMAND(GetSpectralData),    KST_COMMAND(GetSpectralDataAll),
    KST_COMMAND(GetWavelengths),     KST_COMMAND(GetWavelengthValue),
    KST_COMMAND(IsConnected),        KST_COMMAND(IsDataReady),
    KST_COMMAND(Measure),            KST_COMMAND(SetCurrentSample),
    KST_COMMAND(SetLanguage),        KST_COMMAND(SetOption),
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

// A driver that hands back a null text is taken as having said nothing.
std::string Copy(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

Result Real(float value) {
    std::string text;
    AppendGeneral(text, value, 7);
    return Result::Success(std::move(text));
}

Result Missing() {
    return Result::Failure(kMissingParameter);
}

Result NotLoaded() {
    return Result::Failure(Instrument::kDriverNotLoaded);
}

std::string Join(const ParameterList& parameters) {
    std::string display;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (i > 0) display += ", ";
        display += parameters[i];
    }
    return display;
}

}  // namespace

Instrument::Instrument() {
    for (const TableEntry& entry : kCommandTable)
        commands[entry.name] =
            boost::bind(entry.handler, this, boost::placeholders::_1, boost::placeholders::_2);
}

Result Instrument::Execute(const std::string& command) {
    std::string name = "?";
    try {
        name = relay::GetCommandName(command);
        if (name.compare(0, kHello.size(), kHello) == 0) {
            diag::LogLine("Hello -> Hello");
            return Result::Success(kHello);
        }
        const ParameterList parameters = relay::GetParameters(command);
        if (name == kInit) return Init(parameters);

        const auto entry = commands.find(name);
        if (entry == commands.end()) return Result::Failure("Unknown command \"" + name + "\"");
        diag::LogLine("Command ", name, " (", Join(parameters), ")");
        return entry->second(name, parameters);
    } catch (const std::exception& e) {
        return Result::Failure("Error executing command \"" + name + "\" (" + e.what() + ")");
    }
}

// Response forms shared by the handlers without parameters.

template <typename Form>
Result Instrument::Flag(Form driver::Spectro::*entry) {
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success((spectro.*entry)() != 0);
}

template <typename Form>
Result Instrument::Integer(Form driver::Spectro::*entry) {
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(std::to_string((spectro.*entry)()));
}

template <typename Form>
Result Instrument::Text(Form driver::Spectro::*entry) {
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(Copy((spectro.*entry)()));
}

Result Instrument::AbortCalibration(const std::string&, const ParameterList&) {
    return Flag(&driver::Spectro::AbortCalibration);
}

Result Instrument::Calibrate(const std::string&, const ParameterList&) {
    return Flag(&driver::Spectro::Calibrate);
}

Result Instrument::CalibrateStep(const std::string&, const ParameterList& p) {
    if (p.size() < 1) return Missing();
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(spectro.CalibrateStep(p[0].c_str()) != 0);
}

Result Instrument::ClearSamples(const std::string&, const ParameterList&) {
    return Flag(&driver::Spectro::ClearSamples);
}

Result Instrument::Configure(const std::string&, const ParameterList&) {
    return Flag(&driver::Spectro::Configure);
}

Result Instrument::Connect(const std::string&, const ParameterList&) {
    return Flag(&driver::Spectro::Connect);
}

Result Instrument::Disconnect(const std::string&, const ParameterList&) {
    return Flag(&driver::Spectro::Disconnect);
}

Result Instrument::Execute(const std::string&, const ParameterList& p) {
    if (p.size() < 1) return Missing();
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(Copy(spectro.Execute(p[0].c_str())));
}

Result Instrument::GetAngleValue(const std::string&, const ParameterList& p) {
    if (p.size() < 1) return Missing();
    const std::int32_t angle = ToInt(p[0]);
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(Copy(spectro.GetAngleValue(angle)));
}

Result Instrument::GetAngles(const std::string&, const ParameterList&) {
    return Integer(&driver::Spectro::GetAngles);
}

Result Instrument::GetAvailableSettings(const std::string&, const ParameterList&) {
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(EscapeField(Copy(spectro.GetAvailableSettings())));
}

Result Instrument::GetCalProgress(const std::string&, const ParameterList&) {
    return Integer(&driver::Spectro::GetCalProgress);
}

Result Instrument::GetCalStatus(const std::string&, const ParameterList&) {
    return Integer(&driver::Spectro::GetCalStatus);
}

Result Instrument::GetCalSteps(const std::string&, const ParameterList&) {
    return Text(&driver::Spectro::GetCalSteps);
}

Result Instrument::GetCalMode(const std::string&, const ParameterList& p) {
    // The parameter is required but the entry point takes none.
    if (p.size() < 1) return Missing();
    return Text(&driver::Spectro::GetCalMode);
}

Result Instrument::GetLastErrorCode(const std::string&, const ParameterList&) {
    return Integer(&driver::Spectro::GetLastErrorCode);
}

Result Instrument::GetLastErrorString(const std::string&, const ParameterList&) {
    return Text(&driver::Spectro::GetLastErrorString);
}

Result Instrument::GetOption(const std::string&, const ParameterList& p) {
    if (p.size() < 1) return Missing();
    const std::string option = UnescapeField(p[0]);
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(EscapeField(Copy(spectro.GetOption(option.c_str()))));
}

Result Instrument::GetSampleCount(const std::string&, const ParameterList&) {
    return Integer(&driver::Spectro::GetSampleCount);
}

Result Instrument::GetSampleData(const std::string&, const ParameterList& p) {
    if (p.size() < 2) return Missing();
    const std::int32_t sample = ToInt(p[0]);
    const std::int32_t index = ToInt(p[1]);
    if (!spectro.IsBound()) return NotLoaded();
    return Real(spectro.GetSampleData(sample, index));
}

Result Instrument::GetSerialNumber(const std::string&, const ParameterList&) {
    return Text(&driver::Spectro::GetSerialNum);
}

Result Instrument::GetSettingOptions(const std::string&, const ParameterList& p) {
    if (p.size() < 1) return Missing();
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(Copy(spectro.GetSettingOptions(p[0].c_str())));
}

Result Instrument::GetSpectralData(const std::string&, const ParameterList& p) {
    if (p.size() < 2) return Missing();
    const std::int32_t first = ToInt(p[0]);
    const std::int32_t second = ToInt(p[1]);
    if (!spectro.IsBound()) return NotLoaded();
    return Real(spectro.GetSpectralData(first, second));
}

Result Instrument::GetSpectralDataAll(const std::string&, const ParameterList& p) {
    if (p.size() < 1) return Missing();
    const int kBands = 31;
    std::string values;
    values.reserve(kBands * 10);
    // The parameter converts the same way for every band: once is enough.
    const std::int32_t first = ToInt(p[0]);
    if (!spectro.IsBound()) return NotLoaded();
    for (int band = 0; band < kBands; ++band) {
        if (band > 0) values += ';';
        AppendGeneral(values, spectro.GetSpectralData(first, band), 6);  // a stream's default precision
    }
    return Result::Success(std::move(values));
}

Result Instrument::GetWavelengths(const std::string&, const ParameterList&) {
    return Integer(&driver::Spectro::GetWavelengths);
}

Result Instrument::GetWavelengthValue(const std::string&, const ParameterList& p) {
    if (p.size() < 1) return Missing();
    const std::int32_t index = ToInt(p[0]);
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(std::to_string(spectro.GetWavelengthValue(index)));
}

Result Instrument::IsConnected(const std::string&, const ParameterList&) {
    return Flag(&driver::Spectro::IsConnected);
}

Result Instrument::IsDataReady(const std::string&, const ParameterList&) {
    return Flag(&driver::Spectro::IsDataReady);
}

Result Instrument::Measure(const std::string&, const ParameterList&) {
    return Flag(&driver::Spectro::Measure);
}

Result Instrument::SetCurrentSample(const std::string&, const ParameterList& p) {
    if (p.size() < 1) return Missing();
    const std::int32_t sample = ToInt(p[0]);
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(spectro.SetCurrentSample(sample) != 0);
}

Result Instrument::SetLanguage(const std::string&, const ParameterList& p) {
    if (p.size() < 1) return Missing();
    const std::uint16_t language = ToU16(p[0]);
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(spectro.SetLanguage(language) != 0);
}

Result Instrument::SetOption(const std::string&, const ParameterList& p) {
    if (p.size() < 2) return Missing();
    const std::string option = UnescapeField(p[0]);
    const std::string value = UnescapeField(p[1]);
    if (!spectro.IsBound()) return NotLoaded();
    return Result::Success(spectro.SetOption(option.c_str(), value.c_str()) != 0);
}

}  // namespace commands
