#include "tools/check/SelfTest.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <vector>

#include "commands/NumberText.h"
#include "driver/ElfLibrary.h"
#include "driver/EntryList.h"
#include "driver/LibraryBitness.h"
#include "driver/Machine.h"
#include "driver/Spectro.h"
#include "platform/File.h"
#include "platform/Names.h"
#include "relay/Message.h"
#include "tools/check/Check.h"

namespace check {

namespace {

using namespace driver;

// The longest response that travels on every road: the ICA engine's writes
// of 5,000 bytes less the channel-number byte.
constexpr std::size_t kLongestResponse = 4999;

// A measuring session's order; every entry point of the list once.
const char* const kSessionOrder[] = {
    "Connect",          "IsConnected",     "GetSerialNum",       "SetLanguage",
    "GetAngles",        "GetAngleValue",   "GetWavelengths",     "GetWavelengthValue",
    "GetAvailableSettings", "GetSettingOptions", "GetOption",    "SetOption",
    "Configure",        "GetCalSteps",     "Calibrate",          "GetCalMode",
    "CalibrateStep",    "GetCalProgress",  "GetCalStatus",       "AbortCalibration",
    "Measure",          "IsDataReady",     "GetSpectralData",    "GetSampleCount",
    "SetCurrentSample", "GetSampleData",   "ClearSamples",       "GetLastErrorCode",
    "GetLastErrorString", "Execute",       "Disconnect",
};

// Typical arguments, partly from earlier answers: the first setting the
// driver offers, its current value, the first calibration step.
struct Context {
    std::string setting = "";
    std::string value = "";
    std::string step = "";
};

struct Outcome {
    std::string result;  // as the table shows it
    bool isText = false;
    bool nullText = false;
    std::string text;
    std::uint32_t argumentBytes = 0;  // what the form's arguments take on the 32-bit stack
    std::uint32_t removed = 0;        // what the callee took off
};

std::string Shown(const std::string& text) {
    std::string shown = "\"" + (text.size() > 28 ? text.substr(0, 24) + "..." : text) + "\"";
    if (text.size() > 28) shown += " (" + std::to_string(text.size()) + " bytes)";
    return shown;
}

template <typename Form>
struct Probe;

template <typename R, typename... A>
Outcome Finish(const EntryPoint<R(A...)>& entry, R value) {
    Outcome outcome;
    outcome.argumentBytes = EntryPoint<R(A...)>::kArgumentBytes;
    outcome.removed = entry.StackBytes();
    if constexpr (std::is_same_v<R, float>) {
        commands::AppendGeneral(outcome.result, value, 7);
    } else if constexpr (std::is_pointer_v<R>) {
        outcome.isText = true;
        outcome.nullText = value == nullptr;
        outcome.text = value != nullptr ? value : "";
        outcome.result = outcome.nullText ? "(null)" : Shown(outcome.text);
    } else if constexpr (std::is_same_v<R, DriverFlag>) {
        outcome.result = value != 0 ? "true" : "false";
    } else {
        outcome.result = std::to_string(value);
    }
    return outcome;
}

template <typename R>
struct Probe<R()> {
    static Outcome Run(const EntryPoint<R()>& e, const Context&, const std::string&) {
        return Finish(e, e());
    }
};
template <typename R>
struct Probe<R(std::int32_t)> {
    static Outcome Run(const EntryPoint<R(std::int32_t)>& e, const Context&, const std::string&) {
        return Finish(e, e(0));
    }
};
template <>
struct Probe<FlagOfU16Fn> {
    static Outcome Run(const EntryPoint<FlagOfU16Fn>& e, const Context&, const std::string&) {
        return Finish(e, e(1033));  // English
    }
};
template <>
struct Probe<RealOfTwoIntsFn> {
    static Outcome Run(const EntryPoint<RealOfTwoIntsFn>& e, const Context&, const std::string&) {
        return Finish(e, e(0, 0));
    }
};
template <typename R>
struct Probe<R(const char*)> {
    static Outcome Run(const EntryPoint<R(const char*)>& e, const Context& context,
                       const std::string& name) {
        const std::string& text = name == "CalibrateStep" ? context.step
                                  : name == "Execute"     ? std::string()
                                                          : context.setting;
        return Finish(e, e(text.c_str()));
    }
};
template <>
struct Probe<FlagOfTwoTextsFn> {
    static Outcome Run(const EntryPoint<FlagOfTwoTextsFn>& e, const Context& context,
                       const std::string&) {
        return Finish(e, e(context.setting.c_str(), context.value.c_str()));
    }
};

using Caller = std::function<Outcome(Spectro&, const Context&)>;

std::map<std::string, Caller> Callers() {
    std::map<std::string, Caller> callers;
#define KST_CALLER(name, form, bytes)                                                   \
    callers[#name] = [](Spectro& spectro, const Context& context) {                   \
        return Probe<form>::Run(spectro.name, context, #name);                          \
    };
    KST_ENTRY_POINTS(KST_CALLER)
#undef KST_CALLER
    return callers;
}

// What later calls take from an answer.
void Learn(const std::string& name, const Outcome& outcome, Context* context) {
    const auto first = [](const std::string& text, char separator) {
        return text.substr(0, text.find(separator));
    };
    if (name == "GetAvailableSettings") context->setting = first(outcome.text, '|');
    if (name == "GetOption") context->value = outcome.text;
    if (name == "GetCalSteps") context->step = first(outcome.text, ';');
}

// The response the module would send for a text answer.
std::size_t ResponseLength(const std::string& name, const std::string& text) {
    const bool escaped = name == "GetAvailableSettings" || name == "GetOption";
    const std::string payload = escaped ? relay::EscapeField(text) : text;
    return payload.empty() ? 2 : 3 + payload.size();
}

std::string Seconds(double seconds) {
    char text[32];
    if (seconds < 1.0)
        std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000.0);
    else
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

const char* ConventionName(std::uint32_t removed) { return removed == 0 ? "cdecl" : "stdcall"; }

std::string ReadAll(const std::string& path) {
    std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void Row(std::ostream& out, const std::string& name, const std::string& result,
         const std::string& time, const std::string& verdict) {
    char line[512];
    std::snprintf(line, sizeof line, "%-22s %-32s %10s  %s\n", name.c_str(), result.c_str(),
                  time.c_str(), verdict.c_str());
    out << line;
}

}  // namespace

int RunSelfTest(const std::string& path, const SelfTestOptions& options, std::ostream& out) {
    out << "self-test of " << path << "\n";
    const std::string file = ReadAll(path);
    // A Windows library; on Linux, a shared library of this machine's.
    const bool windows = platform::kProgramSuffix[0] != '\0';
    // On an x86 client the other x86 width is named by its width below.
    const Machine machine = MachineOfFile(file);
    if (machine != Machine::Unknown && !RunsHere(machine) && !OtherX86Width(machine)) {
        out << "PROBLEM: " << OtherMachineWords(machine) << "\n";
        return 1;
    }
    int bits = LibraryBitness(file);
    std::vector<std::string> exported;
    ElfLibrary elf;
    if (bits != 0) {
        exported = ExportedNames(file);
    } else if (!windows && ReadElfLibrary(file, &elf) && elf.machine == OwnMachine()) {
        bits = elf.bits;
        exported = elf.exports;
    }
    if (bits == 0 || (!windows && elf.bits == 0)) {
        out << "PROBLEM: "
            << (file.empty() ? "the file cannot be read"
                : windows    ? "not a Windows library for x86 or x64"
                             : std::string("not a shared library for ") + MachineName(OwnMachine()) +
                                   " (a Linux driver is one)")
            << "\n";
        return 1;
    }
    const std::set<std::string> exports(exported.begin(), exported.end());
    std::set<std::string> missing;
    int argumentSize = 0;  // exported as "Connect@0"
    for (const auto& [entry, bytes] : Spectro::EntryPointNames()) {
        const std::string size = "@" + std::to_string(bytes);
        const bool decorated = bits == 32 && exports.count("_" + entry + size) != 0;
        if (exports.count(entry) == 0 && !decorated) {
            missing.insert(entry);
            if (bits == 32 && exports.count(entry + size) != 0) ++argumentSize;
        }
    }
    const std::string hostFile = driver::DriverHostFile(bits);
    const std::string program = options.hostFolder + platform::kPathSeparator + hostFile;
    out << "  " << bits << "-bit library, run in " << hostFile << " with a time limit of " << options.timeoutSeconds
        << " s per call\n\n";
    Row(out, "entry point", "result", "time", "verdict");

    const std::map<std::string, Caller> callers = Callers();
    int problems = 0;
    if (!missing.empty()) {
        for (const char* name : kSessionOrder) {
            const bool absent = missing.count(name) != 0;
            Row(out, name, "", "",
                absent ? "PROBLEM missing export"
                       : "not called: the module uses a driver only with all 31 entry points");
            problems += absent ? 1 : 0;
        }
        out << "\n" << problems << " of 31 entry points missing: the module will not use this driver\n";
        if (argumentSize > 0)
            out << "They are exported with their argument size, as \"Connect@0\" (" << argumentSize
                << " of 31), which the module does not look for: " << kArgumentSizeFix << "\n";
        return 1;
    }
    std::error_code absent;
    if (!std::filesystem::is_regular_file(std::filesystem::u8path(program), absent)) {
        out << "PROBLEM: no " << bits << "-bit driver host here (" << hostFile << " beside this program): a " << bits
            << "-bit driver is tested with a kestav-check installed with one (the packages for 64-bit Windows have "
               "both)\n";
        return 1;
    }

    Spectro spectro;
    auto start = [&]() { return LoadInHostAsInitDoes(spectro, program, path, options.timeoutSeconds); };
    if (!start()) {
        out << "PROBLEM: the driver does not load in the driver host (" << WhyNotLoaded(spectro.LoadError(), path)
            << ")\n";
        return 1;
    }
    Context context;
    std::string firstConvention;
    bool hostUp = true;
    for (const char* name : kSessionOrder) {
        if (!hostUp) {
            Row(out, name, "", "", "not called: the driver host could not be started again");
            ++problems;
            continue;
        }
        const auto begin = std::chrono::steady_clock::now();
        Outcome outcome;
        std::string verdict;
        try {
            outcome = callers.at(name)(spectro, context);
        } catch (const DriverStopped& stopped) {
            verdict = "PROBLEM crash: the driver stopped the driver host (exit code " +
                      driver::ExitCodeText(stopped.exitCode) + ")";
        } catch (const DriverNotResponding&) {
            verdict = "PROBLEM hang: no answer within " + std::to_string(options.timeoutSeconds) +
                      " s (the driver host was ended)";
        } catch (const DriverTextTooLong&) {
            verdict = "PROBLEM text longer than a response can carry (over 1 MiB)";
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (!verdict.empty()) {
            Row(out, name, "", Seconds(seconds), verdict);
            ++problems;
            hostUp = start();
            continue;
        }
        Learn(name, outcome, &context);
        if (outcome.nullText) {
            verdict = "PROBLEM null text (the module reads it as empty; return \"\")";
        } else if (outcome.isText && ResponseLength(name, outcome.text) > kLongestResponse) {
            verdict = "PROBLEM text too long: its response would be " +
                      std::to_string(ResponseLength(name, outcome.text)) + " bytes, at most " +
                      std::to_string(kLongestResponse) + " travel";
        } else if (bits == 32 && outcome.argumentBytes > 0 && outcome.removed != 0 &&
                   outcome.removed != outcome.argumentBytes) {
            verdict = "PROBLEM wrong calling convention or arguments: the entry point took " +
                      std::to_string(outcome.removed) + " bytes off the stack, its arguments are " +
                      std::to_string(outcome.argumentBytes);
        } else if (bits == 32 && outcome.argumentBytes > 0 && !firstConvention.empty() &&
                   firstConvention != ConventionName(outcome.removed)) {
            verdict = std::string("PROBLEM wrong calling convention: ") +
                      ConventionName(outcome.removed) + ", the entry points before are " +
                      firstConvention;
        } else if (seconds > kSlowSeconds) {
            verdict = "PROBLEM slow: " + Seconds(seconds) + ", over 5 s";
        }
        if (bits == 32 && outcome.argumentBytes > 0 && firstConvention.empty())
            firstConvention = ConventionName(outcome.removed);
        if (verdict.empty()) verdict = "ok";
        else ++problems;
        Row(out, name, outcome.result, Seconds(seconds), verdict);
    }
    const std::string form = spectro.EntryForm();
    spectro.Release();
    out << "\n";
    if (problems == 0)
        out << "31 entry points: all ok" << (form.empty() ? "" : " (" + form + ")") << "\n";
    else
        out << problems << " of 31 entry points with a problem\n";
    return problems == 0 ? 0 : 1;
}

}  // namespace check
