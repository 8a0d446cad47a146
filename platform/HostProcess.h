// The driver host process, as the module sees it: started with a private
// pipe (a socket pair on Linux) for set-up, then one shared section and two
// events (eventfds) for the calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Whether this build can run an instrument driver in a driver host process.
extern const bool kDriverHostAvailable;
// Whether the driver host of the other x86 width ships beside the module
// (Windows: KestavDriverHost32 and 64 both), or only the module's own (Linux).
extern const bool kOtherX86DriverHost;

struct HostProcess;
// Handle values of the shared section and of its two events in the host.
struct HostHandles {
    std::uint64_t section = 0, requestEvent = 0, answerEvent = 0;
};
// Starts `program` with the name of a fresh private pipe as its argument, in
// a job that ends it when this process ends, waits (at most timeoutMs) until
// it has connected, and gives it an unnamed shared section of `sectionSize`
// bytes and two events. Null with *error (the system's code) on failure.
// `libraryFolder`: where its loader looks first for the libraries a driver
// needs by name (Linux: LD_LIBRARY_PATH, ahead of the client's own), so that
// one beside the driver without a SONAME is found; Windows' loader searches
// the folder Init sets anyway.
HostProcess* StartHostProcess(const std::string& program, const std::string& libraryFolder,
                              std::size_t sectionSize, std::uint32_t timeoutMs, HostHandles* handles,
                              std::uint32_t* error);
std::uint32_t HostProcessId(const HostProcess* host);
std::uint8_t* HostSection(HostProcess* host);
enum class HostWait { Done, Exited, TimedOut };
bool HostSend(HostProcess* host, const std::vector<std::uint8_t>& message);
HostWait HostReceive(HostProcess* host, std::vector<std::uint8_t>* message, std::uint32_t timeoutMs);
// Signals the request event.
void HostSignalRequest(HostProcess* host);
// Waits for the answer event, the host's end or the timeout.
HostWait HostAwaitAnswer(HostProcess* host, std::uint32_t timeoutMs);
std::uint32_t HostExitCode(const HostProcess* host);  // once it has exited
// An exit code as the log and the self-test show it: in hex on Windows
// (0xC0000005), as a shell shows it elsewhere ("139 (SIGSEGV)").
std::string ExitCodeText(std::uint32_t code);
// Ends the host at once, from any thread, while its owner may be waiting on
// it (HostAwaitAnswer then sees it end); frees nothing.
void AbortHostProcess(HostProcess* host);
// Gives the host up to graceMs to end by itself, then ends it; frees all.
// Returns its exit code.
std::uint32_t EndHostProcess(HostProcess* host, std::uint32_t graceMs);

}  // namespace platform
