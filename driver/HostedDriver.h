// The module's end of an instrument driver that runs in the driver host
// (KestavDriverHost32.exe or KestavDriverHost64.exe): it starts the host,
// hands it the driver (and, later in the session, the next one), sends each
// call as a request frame through the shared section and waits for the
// answer, the host's end or the time limit. A host that has crashed or hangs
// costs the command, never the session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/EntryPoints.h"
#include "driver/HostProtocol.h"
#include "platform/HostProcess.h"

namespace driver {

// The host ended during a call (a crash in the driver), or answered what no
// driver host answers.
struct DriverStopped {
    std::uint32_t exitCode = 0;  // the host's, when it ended by itself
};
// An exit code as the log and the self-test show it: in hex on Windows, as
// its exception codes are known (0xC0000005); as a shell does on Linux.
std::string ExitCodeText(std::uint32_t code);
// A call did not return within the time limit; the host has been ended.
struct DriverNotResponding {};
// The driver answered a text longer than any response can carry.
struct DriverTextTooLong {};
// A request too large for the section's request area: not sent, and the
// driver host is kept.
struct RequestTooLarge {};

// Ends, from any thread, every driver host of this process that a call is
// waiting on now; each such call then throws DriverStopped. For the end of a
// session, which must not wait for a driver. Returns how many were ended.
std::size_t EndHostsInCall();

class HostedDriver final : public RemoteEntries {
public:
    // Starts `program` for the library at `library` (a full path). Null when
    // the host cannot be started (*error: the system's code) or the driver
    // does not load there (*error: the loader's code, 126 or 127).
    static std::unique_ptr<HostedDriver> Start(const std::string& program,
                                               const std::string& library,
                                               std::uint32_t timeoutSeconds, std::uint32_t* error);
    ~HostedDriver();
    HostedDriver(const HostedDriver&) = delete;
    HostedDriver& operator=(const HostedDriver&) = delete;

    const driverhost::Handshake& Handshake() const { return handshake_; }
    // Ends the host at once (EndHostsInCall, with the list's lock held).
    void EndNow();
    const driverhost::Answer& Call(const driverhost::Request& request) override;

    // A host of this session kept for the next driver: false once it has
    // ended (a crash or a hang during a call, a load or an unload).
    bool Alive() const { return process_ != nullptr; }
    std::uint32_t ProcessId() const { return processId_; }
    // Releases the driver and keeps the host; false when the host failed
    // meanwhile (it has been ended).
    bool Unload();
    // Loads the driver at `library` in this host, which has none bound now.
    // False with *error: the loader's code (the host stays, with no driver),
    // or ERROR_PROCESS_ABORTED / ERROR_TIMEOUT when the host crashed or hung
    // doing it (it has been ended).
    bool Load(const std::string& library, std::uint32_t timeoutSeconds, std::uint32_t* error);

private:
    HostedDriver(platform::HostProcess* process, std::uint32_t timeoutMs);
    // Sends `request` and decodes the answer, waiting at most timeoutMs;
    // throws as Call does.
    void Exchange(const driverhost::Request& request, std::uint32_t timeoutMs);
    // Signals the request in the shared section and waits for its answer.
    platform::HostWait Transact(std::uint32_t timeoutMs);
    void Stopped();

    platform::HostProcess* process_;
    std::uint32_t processId_ = 0;
    bool ended_ = false;  // by EndHostsInCall, during a call (under its lock)
    bool serving_ = false;  // past its handshake, answering requests
    std::uint32_t timeoutMs_;
    driverhost::Handshake handshake_;
    driverhost::Answer answer_;
    std::vector<std::uint8_t> frame_;
};

}  // namespace driver
