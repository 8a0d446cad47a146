#include "driver/HostedDriver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "diag/LogFile.h"
#include "driver/LibrariesBeside.h"
#include "platform/Lock.h"
#include "platform/Text.h"

namespace driver {

std::string ExitCodeText(std::uint32_t code) { return platform::ExitCodeText(code); }

namespace {
// How long the host may take to start and to load the driver, at least.
constexpr std::uint32_t kMinimumStartMs = 10000;
// What Init answers when the host ended or hung while loading a driver.
constexpr std::uint32_t kProcessAborted = 1067;  // ERROR_PROCESS_ABORTED
constexpr std::uint32_t kTimedOut = 1460;        // ERROR_TIMEOUT
constexpr std::uint32_t kPathTooLong = 206;      // ERROR_FILENAME_EXCED_RANGE

// Why the system would not start the host, in words an administrator acts on.
std::string StartFailure(std::uint32_t error) {
    switch (error) {
        case 2:  // ERROR_FILE_NOT_FOUND
        case 3:  // ERROR_PATH_NOT_FOUND
            return ": it is not there";
        case 5:  // ERROR_ACCESS_DENIED
            return ": access denied";
        case 193:  // ERROR_BAD_EXE_FORMAT
        case 216:  // ERROR_EXE_MACHINE_TYPE_MISMATCH
            return ": it is not a program this system can run";
        case 225:  // ERROR_VIRUS_INFECTED
        case 226:  // ERROR_VIRUS_DELETED
            return ": the antivirus blocks it";
        case 1260:  // ERROR_ACCESS_DISABLED_BY_POLICY (software restriction, AppLocker)
        case 4551:  // ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION (application control)
            return ": a policy of this PC blocks it";
        default:
            return "";
    }
}

std::uint32_t TimeoutMs(std::uint32_t seconds) {
    return seconds > 4000000u ? 4000000000u : seconds * 1000u;
}
std::uint32_t StartMs(std::uint32_t timeoutMs) {
    return timeoutMs > kMinimumStartMs ? timeoutMs : kMinimumStartMs;
}
// How long a host that was asked to quit may take before it is ended.
constexpr std::uint32_t kQuitGraceMs = 2000;
// How long the caller watches for the answer before it sleeps until the host
// signals it.
constexpr std::chrono::microseconds kWatchAnswer(500);

// The hosts a call waits on right now. A host is listed only while its owner
// waits in HostAwaitAnswer, never while it is reaped or freed, so ending one
// from another thread is safe.
struct CallsWaiting {
    platform::Mutex lock;
    std::vector<HostedDriver*> hosts;
};
CallsWaiting& Waiting() {
    static CallsWaiting waiting;
    return waiting;
}
}  // namespace

std::size_t EndHostsInCall() {
    CallsWaiting& waiting = Waiting();
    std::lock_guard<platform::Mutex> lock(waiting.lock);
    for (HostedDriver* host : waiting.hosts) host->EndNow();
    return waiting.hosts.size();
}

void HostedDriver::EndNow() {
    ended_ = true;
    platform::AbortHostProcess(process_);
}

std::unique_ptr<HostedDriver> HostedDriver::Start(const std::string& program,
                                                  const std::string& library,
                                                  std::uint32_t timeoutSeconds,
                                                  std::uint32_t* error) {
    const std::uint32_t timeoutMs = TimeoutMs(timeoutSeconds);
    const std::uint32_t startMs = StartMs(timeoutMs);
    platform::HostHandles handles;
    platform::HostProcess* process =
        platform::StartHostProcess(program, DriverFolder(library), driverhost::kSectionSize, startMs, &handles,
                                   error);
    if (process == nullptr) {
        diag::LogDetail("Driver host \"", platform::ShownPath(program), "\" could not be started (error ", *error,
                        StartFailure(*error),
                        "); the driver runs in-process only where IsolateDriver is 0");
        return nullptr;
    }
    std::unique_ptr<HostedDriver> host(new HostedDriver(process, timeoutMs));

    driverhost::SetUp setUp;
    setUp.section = handles.section;
    setUp.requestEvent = handles.requestEvent;
    setUp.answerEvent = handles.answerEvent;
    setUp.sectionSize = static_cast<std::uint32_t>(driverhost::kSectionSize);
    setUp.library = library;
    std::vector<std::uint8_t> message;
    driverhost::Encode(setUp, &message);
    const bool sent = platform::HostSend(process, message);
    const platform::HostWait received =
        sent ? platform::HostReceive(process, &message, startMs) : platform::HostWait::Exited;
    if (received != platform::HostWait::Done ||
        !driverhost::Decode(message.data(), message.size(), &host->handshake_)) {
        diag::LogDetail("Driver host (pid ", platform::HostProcessId(process),
                        ") gave no handshake");
        *error = kProcessAborted;
        return nullptr;
    }
    if (host->handshake_.loadError != 0) {
        *error = host->handshake_.loadError;
        return nullptr;  // the host ends by itself after saying so
    }
    diag::LogDetail("Driver host started (pid ", platform::HostProcessId(process), ", ",
                    host->handshake_.bitness, "-bit)");
    host->serving_ = true;
    *error = 0;
    return host;
}

HostedDriver::HostedDriver(platform::HostProcess* process, std::uint32_t timeoutMs)
    : process_(process), processId_(platform::HostProcessId(process)), timeoutMs_(timeoutMs) {}

bool HostedDriver::Unload() {
    driverhost::Request unload;
    unload.operation = driverhost::Operation::Unload;
    try {
        Exchange(unload, timeoutMs_);
        return true;
    } catch (const DriverStopped&) {
    } catch (const DriverNotResponding&) {
    }
    return false;
}

bool HostedDriver::Load(const std::string& library, std::uint32_t timeoutSeconds,
                        std::uint32_t* error) {
    timeoutMs_ = TimeoutMs(timeoutSeconds);
    driverhost::Request load;
    load.operation = driverhost::Operation::Load;
    load.textCount = 1;
    load.texts[0] = library;
    try {
        Exchange(load, StartMs(timeoutMs_));
    } catch (const DriverNotResponding&) {
        *error = kTimedOut;
        return false;
    } catch (const RequestTooLarge&) {
        *error = kPathTooLong;  // the host stays
        return false;
    } catch (const DriverStopped&) {
        *error = kProcessAborted;
        return false;
    }
    driverhost::Handshake handshake;
    if (!answer_.hasText ||
        !driverhost::Decode(reinterpret_cast<const std::uint8_t*>(answer_.text.data()),
                            answer_.text.size(), &handshake) ||
        handshake.bitness != handshake_.bitness) {
        diag::LogDetail("Driver host (pid ", processId_, ") answered a load with no handshake: ended");
        platform::EndHostProcess(process_, 0);
        process_ = nullptr;
        *error = kProcessAborted;
        return false;
    }
    handshake_ = handshake;
    *error = handshake_.loadError;
    return *error == 0;
}

HostedDriver::~HostedDriver() {
    if (process_ == nullptr) return;
    // Asked to quit, it unloads the driver and ends with 0; a host that does
    // not is ended.
    const bool bound = serving_;
    if (bound) {
        std::vector<std::uint8_t> frame;
        driverhost::Request quit;
        quit.operation = driverhost::Operation::Quit;
        driverhost::Encode(quit, &frame);
        std::memcpy(platform::HostSection(process_), frame.data(), frame.size());
        (void)Transact(kQuitGraceMs);
    }
    const std::uint32_t pid = platform::HostProcessId(process_);
    const std::uint32_t code = platform::EndHostProcess(process_, kQuitGraceMs);
    if (bound) diag::LogDetail("Driver host ended (pid ", pid, ", exit code ", ExitCodeText(code), ")");
}

const driverhost::Answer& HostedDriver::Call(const driverhost::Request& request) {
    Exchange(request, timeoutMs_);
    if (answer_.status == driverhost::AnswerStatus::TextTooLong) throw DriverTextTooLong();
    return answer_;
}

void HostedDriver::Stopped() {
    const std::uint32_t code = platform::HostExitCode(process_);
    if (ended_)
        diag::LogDetail("Driver host (pid ", platform::HostProcessId(process_),
                        ") ended during a call: the session is closing");
    else
        diag::LogDetail("Driver host (pid ", platform::HostProcessId(process_),
                        ") stopped during a call, exit code ", ExitCodeText(code));
    platform::EndHostProcess(process_, 0);
    process_ = nullptr;
    throw DriverStopped{code};
}

platform::HostWait HostedDriver::Transact(std::uint32_t timeoutMs) {
    std::uint8_t* section = platform::HostSection(process_);
    driverhost::BeginExchange(section);
    platform::HostSignalRequest(process_);
    // Watched for a short while (most driver calls are over by then), yielding
    // the processor to the host; the host's end is seen once this thread waits.
    const auto until = std::chrono::steady_clock::now() + kWatchAnswer;
    do {
        if (driverhost::AnswerPosted(section)) return platform::HostWait::Done;
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
    if (!driverhost::SettleBlocking(section)) return platform::HostWait::Done;
    CallsWaiting& waiting = Waiting();
    {
        std::lock_guard<platform::Mutex> lock(waiting.lock);
        waiting.hosts.push_back(this);
    }
    // Ended meanwhile, the host is seen to end here like any other.
    const platform::HostWait waited = platform::HostAwaitAnswer(process_, timeoutMs);
    std::lock_guard<platform::Mutex> lock(waiting.lock);
    waiting.hosts.erase(std::find(waiting.hosts.begin(), waiting.hosts.end(), this));
    return waited;
}

void HostedDriver::Exchange(const driverhost::Request& request, std::uint32_t timeoutMs) {
    if (process_ == nullptr) throw DriverStopped();
    frame_.clear();
    driverhost::Encode(request, &frame_);
    if (frame_.size() > driverhost::kRequestArea) {
        diag::LogDetail("Driver host: a request of ", frame_.size(),
                        " bytes does not fit the request area of ", driverhost::kRequestArea,
                        " bytes: not sent");
        throw RequestTooLarge();
    }
    std::uint8_t* section = platform::HostSection(process_);
    std::memcpy(section, frame_.data(), frame_.size());

    switch (Transact(timeoutMs)) {
        case platform::HostWait::Done:
            break;
        case platform::HostWait::Exited:
            Stopped();
            break;
        case platform::HostWait::TimedOut:
            diag::LogDetail("Driver host (pid ", platform::HostProcessId(process_),
                            ") did not answer within ", timeoutMs / 1000,
                            " s: ended");
            platform::EndHostProcess(process_, 0);
            process_ = nullptr;
            throw DriverNotResponding();
    }
    // Copied out before it is looked at, so the host cannot change it between
    // the checks and the use.
    const std::uint8_t* area = section + driverhost::kRequestArea;
    const std::size_t length = driverhost::ClaimedLength(area, driverhost::kAnswerArea);
    if (length == 0 || length > driverhost::kAnswerArea) Stopped();
    frame_.assign(area, area + length);
    answer_ = driverhost::Answer();
    if (!driverhost::Decode(frame_.data(), frame_.size(), &answer_) ||
        answer_.status == driverhost::AnswerStatus::Refused) {
        diag::LogDetail("Driver host (pid ", platform::HostProcessId(process_),
                        ") sent an answer that does not read: ended");
        platform::EndHostProcess(process_, 0);
        process_ = nullptr;
        throw DriverStopped();
    }
}

}  // namespace driver
