// kestav-check --self-test <driver>: what an instrument maker runs before
// shipping a driver. It loads the driver as Init does, but always in the
// driver host (so that a crash or a hang is reported, never suffered), calls
// each of the 31 entry points once with typical arguments, in the order of a
// measuring session, and prints a table: entry point, result, time and a
// verdict with its reason.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace check {

struct SelfTestOptions {
    // The folder of KestavDriverHost32.exe and KestavDriverHost64.exe.
    std::string hostFolder;
    // How long one call may take before it counts as hung (and the host is
    // ended); a call over kSlowSeconds that does return is "slow".
    std::uint32_t timeoutSeconds = 30;
};

// Verdicts other than "ok": missing export, wrong calling convention, crash,
// hang, null text, a text longer than a response can carry, slower than 5 s.
constexpr double kSlowSeconds = 5.0;

// Returns 0 when every verdict is "ok", 1 otherwise.
int RunSelfTest(const std::string& driverPath, const SelfTestOptions& options, std::ostream& out);

}  // namespace check
