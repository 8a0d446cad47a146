// The session core every transport shares: the Instrument (made with the
// first command of any kind), the instrument thread with its rule that only
// the newest command is answered, the release of the instrument driver only
// after a command still running has ended, and every bound on what a sender
// can make the client hold. A transport is glue around it: bytes in through
// Execute or Submit, each newest response out through the Deliver callback,
// sent on the thread that transport's client wants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/function.hpp>

#include "relay/InstrumentThread.h"

namespace commands {
class Instrument;
}

namespace relay {

extern const char* const DriverVersion;  // "1.6.0"
extern const char* const VersionQuery;   // "KestavClientDriverVersion"
// Answered at once, never queued behind a running command, with a text that
// names this load of the module ("OK|<16 hex digits>"): the client library
// tells by it whether the client it reaches after a disconnect is the one it
// had. Like any command, it supersedes a response not sent yet.
extern const char* const InstanceQuery;  // "KestavClientDriverInstance"

// The longest command any transport runs: the most one ICA write carries.
constexpr std::size_t kLongestCommand = 0xFFFF;
// What may wait for the instrument thread at once, by count and by bytes.
constexpr std::size_t kMostWaitingCommands = 64;
constexpr std::size_t kMostWaitingBytes = 1024 * 1024;
// How long a stop waits for a running command; then the command's driver
// host is ended, and the command given a moment more to return. A command
// of a driver in-process is left to finish alone.
constexpr std::uint32_t kStopWaitMs = 1000;
constexpr std::uint32_t kEndedHostWaitMs = 500;

// The answers to commands that are not run:
//   "ERROR|Command too long (70000 bytes, at most 65535)"
//   "ERROR|Too many commands waiting (at most 64 commands or 1048576 bytes)"
std::string CommandTooLong(std::size_t size);
std::string TooManyWaiting();
// What goes out instead of a response longer than its path carries:
// "ERROR|Response too long".
std::string ResponseTooLong();
// The response as a path that carries at most `longest` bytes takes it:
// itself, or ResponseTooLong(), logged with both lengths and the path's
// words ("  Response of 70003 bytes is too long for HPC, sending ... instead";
// `path`: "HPC", "a message of at most 1048576 bytes").
std::string ResponseThatFits(const std::string& response, std::size_t longest, const std::string& path);

class Session {
public:
    // Takes the newest command's response, with the session's lock held: it
    // must not block, nor call into the session. The session has logged it as
    // the pending response already.
    using Deliver = InstrumentThread::Ready;
    // A newer command has arrived: a response delivered but not sent yet is
    // to be dropped (same lock).
    using Superseded = InstrumentThread::Superseded;
    // Right after Deliver, with no lock of the session held: where a
    // transport that writes to its client at once does so.
    using Handed = InstrumentThread::Handed;

    Session(Deliver deliver, Superseded superseded, Handed handed, const ThreadOps& threads = kModuleThreads);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs one command on the caller's thread and returns its response,
    // which is also delivered if no newer command has arrived meanwhile.
    std::string Execute(const std::string& command);
    // Queues one command for the instrument thread and returns at once. A
    // command too long, or one that does not fit beside those waiting, is
    // not run: its error is delivered at once, as the newest response.
    void Submit(const std::string& command);
    // A command of `size` bytes, longer than any, of which nothing was kept:
    // its error is delivered at once, as the newest response.
    void RefuseTooLong(std::size_t size);

    enum class Release { Driver, HostedDriver };
    // Ends the instrument thread (queued commands are dropped and logged)
    // and then releases the instrument driver, or only its driver host: at
    // once, or, when a command still runs after kStopWaitMs, by the thread
    // when that command is done. Returns within kStopWaitMs and
    // kEndedHostWaitMs whatever the driver does: a driver host a command
    // still waits on is ended.
    void StopThenRelease(Release what);

    // Releases the instrument driver library (or its host) right away.
    void ReleaseDriver();
    void ReleaseHostedDriver();
    // Destroys the Instrument (and with it the binding) now, so that its
    // last lines come before the transport's own last line.
    void DestroyInstrument();

private:
    std::string Run(const std::string& command);
    // Logs the newest response as pending (not the version query's) and hands it to the transport.
    void Pending(const std::string& command, const std::string& response);
    void Refuse(std::size_t size, const std::string& command, const std::string& response);
    // The instance query's answer, handed on at once; false for any other command.
    bool AnswerInstance(const std::string& command);

    const std::string instance;  // this load's name
    Deliver deliver;

    std::unique_ptr<commands::Instrument> instrument;
    InstrumentThread thread;
};

}  // namespace relay
