// The module's exchange with a driver host that answers anything: commands
// through the session core with every driver isolated, and a stand-in host
// in this process that serves each request from the recording driver as the
// real one does, unless the input tells it to answer with bytes of its own
// (any claimed length, any frame), to end, or to hang. Whatever the host
// does, each command gets a response of the protocol, and a host that broke
// the rules is ended, never believed.
//
// The stand-in host replaces the process layer (platform/HostProcess.h) for
// this program: the module's HostedDriver, Spectro, Instrument and session
// are the real ones.
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/HostProtocol.h"
#include "driver/Spectro.h"
#include "platform/HostProcess.h"
#include "platform/Names.h"
#include "platform/Registry.h"
#include "relay/Session.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// What the host does with the next request.
struct Behaviour {
    enum Kind { Serve, Bytes, End, Hang } kind = Serve;
    std::string bytes;  // Bytes: written over the answer area, length field and all
};
std::deque<Behaviour> script;
int hostsRunning = 0;

driver::Spectro& HostsDriver() {
    static driver::Spectro spectro;
    return spectro;
}

}  // namespace

namespace platform {

const bool kDriverHostAvailable = true;
const bool kOtherX86DriverHost = false;

// Sections of hosts that ended, kept for the next start: a fresh megabyte
// for every start spent this target's time in page faults.
std::vector<std::vector<std::uint8_t>> spareSections;

struct HostProcess {
    std::vector<std::uint8_t> section;
    std::vector<std::uint8_t> handshake;
    bool answered = false;  // the last request's fate: answered, or not (ended, hanging)
    bool ended = false;
};

HostProcess* StartHostProcess(const std::string&, const std::string&, std::size_t sectionSize, std::uint32_t, HostHandles* handles,
                              std::uint32_t*) {
    *handles = HostHandles{1, 2, 3};
    ++hostsRunning;
    auto* host = new HostProcess;
    if (!spareSections.empty()) {
        host->section.swap(spareSections.back());
        spareSections.pop_back();
    }
    host->section.assign(sectionSize, 0);  // as a new section: all zero
    return host;
}
std::uint32_t HostProcessId(const HostProcess*) { return 4242; }
std::uint8_t* HostSection(HostProcess* host) { return host->section.data(); }

bool HostSend(HostProcess* host, const std::vector<std::uint8_t>& message) {
    driverhost::SetUp setUp;
    if (!driverhost::Decode(message.data(), message.size(), &setUp)) __builtin_trap();  // the module's own
    driverhost::Handshake handshake;
    handshake.bitness = std::uint32_t(sizeof(void*) * 8);
    // Loaded once: a host's own start is not what is tried here.
    static std::string loaded;
    if (loaded != setUp.library || !HostsDriver().IsBound()) {
        loaded = setUp.library;
        if (!HostsDriver().LoadDriver(setUp.library)) handshake.loadError = HostsDriver().LoadError();
    }
    host->handshake.clear();
    driverhost::Encode(handshake, &host->handshake);
    return true;
}
HostWait HostReceive(HostProcess* host, std::vector<std::uint8_t>* message, std::uint32_t) {
    *message = host->handshake;
    return HostWait::Done;
}

void HostSignalRequest(HostProcess* host) {
    std::uint8_t* section = host->section.data();
    // The module's request is always one a host can read.
    const std::size_t length = driverhost::ClaimedLength(section, driverhost::kRequestArea);
    if (length == 0 || length > driverhost::kRequestArea) __builtin_trap();
    driverhost::Request request;
    if (!driverhost::Decode(section, length, &request)) __builtin_trap();
    Behaviour next;
    if (!script.empty() && request.operation != driverhost::Operation::Quit) {
        next = script.front();
        script.pop_front();
    }
    host->answered = next.kind == Behaviour::Serve || next.kind == Behaviour::Bytes;
    host->ended = next.kind == Behaviour::End;
    std::uint8_t* area = section + driverhost::kRequestArea;
    if (next.kind == Behaviour::Serve) {
        driverhost::Answer answer;
        if (request.operation != driverhost::Operation::Quit) HostsDriver().Serve(request, &answer);
        std::vector<std::uint8_t> frame;
        driverhost::EncodeToFit(std::move(answer), &frame);
        std::memcpy(area, frame.data(), frame.size());
    } else if (next.kind == Behaviour::Bytes) {
        std::memcpy(area, next.bytes.data(), std::min(next.bytes.size(), driverhost::kAnswerArea));
    }
    if (host->answered) (void)driverhost::PostAnswer(section);
}
HostWait HostAwaitAnswer(HostProcess* host, std::uint32_t) {
    return host->answered ? HostWait::Done : host->ended ? HostWait::Exited : HostWait::TimedOut;
}
std::uint32_t HostExitCode(const HostProcess*) { return 0xC0000005u; }
std::string ExitCodeText(std::uint32_t code) { return std::to_string(code); }
// A host here never blocks the thread waiting for it: nothing to cut short.
void AbortHostProcess(HostProcess*) {}
std::uint32_t EndHostProcess(HostProcess* host, std::uint32_t) {
    spareSections.push_back(std::move(host->section));
    delete host;
    --hostsRunning;
    return 0;
}

}  // namespace platform

namespace {

relay::Session& TheSession() {
    static relay::Session session([](const std::string&, const std::string&) {}, {}, {});
    return session;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Prepare();
    platform::WriteMachineDword(platform::View::Own, names::kPreferenceKey, names::kIsolateDriverSetting.name, 1);
    if (TheSession().Execute("Init|recording|") != "OK" || hostsRunning != 1) __builtin_trap();
    std::atexit([] { TheSession().StopThenRelease(relay::Session::Release::HostedDriver); });
    return 0;
}

// The input: records of one byte (what), then for a command or an answer two
// bytes of length and the bytes. 0: a command, run; 1: the host answers the
// next request with these bytes; 2: the host ends during the next request;
// 3: it hangs in it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > fuzz::kMaximumInput) return 0;
    script.clear();
    const std::uint8_t* at = data;
    const std::uint8_t* const end = data + size;
    while (at < end) {
        const std::uint8_t what = *at++ & 3;
        if (what == 1) {
            script.push_back({Behaviour::Bytes, fuzz::TakeRecord(at, end)});
        } else if (what == 2 || what == 3) {
            script.push_back({what == 2 ? Behaviour::End : Behaviour::Hang, {}});
        } else {
            std::string command = fuzz::TakeRecord(at, end);
            // Never a driver that is not the recording one; its fault switches
            // (crash, sleep, wait) are the tests', not input.
            if (command.compare(0, 4, "Init") == 0) command = "Init|recording|";
            if (command.find("@fault") != std::string::npos) continue;
            const std::string response = TheSession().Execute(command);
            if (!fuzz::IsResponse(response)) __builtin_trap();
            // A host that ended or hung is gone: never two at once.
            if (hostsRunning > 1) __builtin_trap();
        }
    }
    // Whatever happened, the driver answers again (after a new Init when the
    // host was ended).
    script.clear();
    if (hostsRunning == 0 && TheSession().Execute("Init|recording|") != "OK") __builtin_trap();
    if (TheSession().Execute("IsConnected").compare(0, 3, "OK|") != 0) __builtin_trap();
    static unsigned runs = 0;
    if (++runs % 4096 == 0) fuzz::ForgetRecordedCalls();
    return 0;
}
