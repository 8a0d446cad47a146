#include "relay/Session.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "commands/Instrument.h"
#include "diag/LogFile.h"
#include "driver/HostedDriver.h"
#include "relay/Result.h"

namespace relay {

const char* const DriverVersion = KST_VERSION;
const char* const VersionQuery = "KestavClientDriverVersion";
const char* const InstanceQuery = "KestavClientDriverInstance";

namespace {
// 64 random bits in hex: one name per load of the module, never the same
// for two loads, on any PC.
std::string NewInstanceName() {
    std::random_device random;
    const std::uint64_t bits = (std::uint64_t(random()) << 32) ^ random() ^
                               std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}
}  // namespace

std::string CommandTooLong(std::size_t size) {
    return Result::Failure("Command too long (" + std::to_string(size) + " bytes, at most " +
                           std::to_string(kLongestCommand) + ")")
        .ToResponse();
}

std::string TooManyWaiting() {
    return Result::Failure("Too many commands waiting (at most " + std::to_string(kMostWaitingCommands) +
                           " commands or " + std::to_string(kMostWaitingBytes) + " bytes)")
        .ToResponse();
}

std::string ResponseTooLong() {
    return Result::Failure("Response too long").ToResponse();
}

std::string ResponseThatFits(const std::string& response, std::size_t longest, const std::string& path) {
    if (response.size() <= longest) return response;
    const std::string instead = ResponseTooLong();
    diag::LogDetail("  Response of ", response.size(), " bytes is too long for ", path, ", sending \"", instead,
                    "\" instead");
    return instead;
}

Session::Session(Deliver deliverTo, Superseded superseded, Handed handed, const ThreadOps& threads)
    : instance(NewInstanceName()),
      deliver(std::move(deliverTo)),
      thread([this](const std::string& command) { return Run(command); },
             [this](const std::string& command, const std::string& response) { Pending(command, response); },
             std::move(superseded), std::move(handed), threads, InstrumentThread::Bounds{kMostWaitingCommands, kMostWaitingBytes}) {}

void Session::Pending(const std::string& command, const std::string& response) {
    if (command != VersionQuery)
        diag::LogDetail("Virtual channel - Pending respone <-- \"", diag::Shown{response}, "\"");
    deliver(command, response);
}

Session::~Session() {
    DestroyInstrument();
}

void Session::DestroyInstrument() {
    instrument.reset();
}

bool Session::AnswerInstance(const std::string& command) {
    if (command != InstanceQuery) return false;
    diag::LogDetail("Virtual channel - Instance query answered: \"", instance, "\"");
    thread.HandOn(command, "OK|" + instance);
    return true;
}

std::string Session::Execute(const std::string& command) {
    if (AnswerInstance(command)) return "OK|" + instance;
    if (command.size() > kLongestCommand) {
        const std::string response = CommandTooLong(command.size());
        Refuse(command.size(), command, response);
        return response;
    }
    return thread.RunHere(command);
}

void Session::Submit(const std::string& command) {
    if (AnswerInstance(command)) return;
    if (command.size() > kLongestCommand) return RefuseTooLong(command.size());
    if (!thread.Post(command)) Refuse(command.size(), command, TooManyWaiting());
}

void Session::RefuseTooLong(std::size_t size) {
    Refuse(size, std::string(), CommandTooLong(size));
}

void Session::Refuse(std::size_t size, const std::string& command, const std::string& response) {
    diag::LogDetail("Virtual channel - Command of ", size, " bytes not run: \"",
                    diag::Shown{response}, "\"");
    thread.HandOn(command, response);
}

std::string Session::Run(const std::string& command) {
    if (!instrument) instrument.reset(new commands::Instrument());
    diag::LogDetail("Virtual channel - Execute: \"", diag::Shown{command}, "\"");
    if (command == VersionQuery) return DriverVersion;
    return instrument->Execute(command).ToResponse();
}

void Session::StopThenRelease(Release what) {
    const auto release = [this, what] {
        if (what == Release::Driver) ReleaseDriver();
        else ReleaseHostedDriver();
    };
    std::vector<std::string> dropped;
    const bool ended = thread.Stop(kStopWaitMs, &dropped, release);
    for (const std::string& command : dropped)
        diag::LogDetail("Virtual channel - Command dropped at close: \"", diag::Shown{command}, "\"");
    if (ended) return release();
    // What it waits on is a driver host: ended, the call returns at once
    // (and the thread releases the rest, as it was left to do).
    if (driver::EndHostsInCall() > 0 && thread.Stop(kEndedHostWaitMs, &dropped, {})) {
        diag::LogDetail("Virtual channel - A command still ran after ", kStopWaitMs,
                        " ms: its driver host was ended");
        return;
    }
    diag::LogDetail("Virtual channel - A command still runs after ", kStopWaitMs,
                    " ms: it finishes alone, then the driver is released");
}

void Session::ReleaseDriver() {
    if (instrument) instrument->ReleaseDriver();
}

void Session::ReleaseHostedDriver() {
    if (instrument) instrument->ReleaseHostedDriver();
}

}  // namespace relay
