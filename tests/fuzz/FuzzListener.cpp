// The listener's session (kestav-host --listen) with a program that sends
// anything: raw messages of any size, writes and queries on either channel,
// pauses, a second program knocking, a pipe that breaks. The listener, the
// stand-in engine and the module are the real ones; the pipe layer
// (platform/Pipe.h) is replaced for this program by pipes in memory. Every
// frame the listener sends must be one of the loop, the welcome first, a
// refusal only to the second program, and no packet longer than the
// engine's largest write allows.
#include <cstdint>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "ica/EngineRecords.h"
#include "platform/Names.h"
#include "platform/Pipe.h"
#include "platform/Registry.h"
#include "server/LoopProtocol.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tools/host/Engine.h"
#include "tools/host/Listener.h"

extern "C" ica::EngineStatus KST_CDECL Load(ica::LinkRecord* link);

namespace {

// What the program does next.
struct Step {
    enum Kind { Message, Pause, Knock, Break } kind = Message;
    std::vector<std::uint8_t> bytes;
};
std::deque<Step> steps;
bool connected = false;     // the program has not been accepted yet this input
bool brokenNextSend = false;
std::size_t largestPacket = 0;
standin::Engine* engine = nullptr;
platform::Pipe* spare = nullptr;  // the session's instance for a second program

}  // namespace

namespace platform {

struct Pipe {
    bool spare = false;
    bool welcomed = false;
    bool knocked = false;
};

Pipe* CreatePipeInstance(const std::string&, bool first, std::uint32_t*) {
    auto* pipe = new Pipe;
    pipe->spare = !first;
    if (pipe->spare) spare = pipe;
    return pipe;
}
PipeWait AcceptPipeClient(Pipe* pipe, std::uint32_t) {
    if (pipe->spare) {
        if (!pipe->knocked) return PipeWait::TimedOut;
        pipe->knocked = false;
        return PipeWait::Done;
    }
    if (connected) return PipeWait::TimedOut;
    connected = true;
    return PipeWait::Done;
}
void DisconnectPipeClient(Pipe*) {}
Pipe* ConnectPipe(const std::string&, std::uint32_t, std::uint32_t* error) {
    *error = 2;
    return nullptr;
}

bool PipeSend(Pipe* pipe, const std::vector<std::uint8_t>& message) {
    loop::Frame frame;
    if (!loop::Decode(message.data(), message.size(), &frame)) __builtin_trap();
    if (pipe->spare) {
        if (frame.kind != loop::Kind::Busy) __builtin_trap();
        return true;
    }
    if (!pipe->welcomed) {
        if (frame.kind != loop::Kind::Welcome) __builtin_trap();
        pipe->welcomed = true;
    } else if (frame.kind != loop::Kind::Written && frame.kind != loop::Kind::Queried &&
               frame.kind != loop::Kind::Packet) {
        __builtin_trap();
    }
    if (frame.kind == loop::Kind::Packet && frame.bytes.size() > largestPacket) __builtin_trap();
    if (brokenNextSend) {
        brokenNextSend = false;
        return false;
    }
    return true;
}

PipeWait PipeReceive(Pipe* pipe, std::vector<std::uint8_t>* message, std::uint32_t, std::size_t maximumSize) {
    if (pipe->spare) return PipeWait::Closed;
    while (!steps.empty()) {
        Step step = std::move(steps.front());
        steps.pop_front();
        switch (step.kind) {
            case Step::Pause:
                return PipeWait::TimedOut;
            case Step::Knock:
                if (spare != nullptr) spare->knocked = true;
                continue;
            case Step::Break:
                brokenNextSend = true;
                continue;
            case Step::Message:
                if (step.bytes.size() > maximumSize) return PipeWait::TooLarge;
                *message = std::move(step.bytes);
                return PipeWait::Done;
        }
    }
    return PipeWait::Closed;  // the program went
}
bool PipeServerIsCurrentUser(Pipe*) { return false; }
void InterruptPipe(Pipe*) {}
void ClosePipe(Pipe* pipe) {
    if (pipe == spare) spare = nullptr;
    delete pipe;
}

}  // namespace platform

namespace {

std::vector<std::uint8_t> Encoded(const loop::Frame& frame) {
    std::vector<std::uint8_t> message;
    loop::Encode(frame, &message);
    return message;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Prepare();
    // Each command runs inside the engine's write: the same path every time.
    platform::WriteMachineDword(platform::View::Own, names::kPreferenceKey, names::kInstrumentThread, 0);
    engine = new standin::Engine();
    std::string error;
    if (!engine->UseLoad(&Load, &error) || engine->Open() != 0) __builtin_trap();
    largestPacket = engine->maximumWrite >= 2 ? engine->maximumWrite - 1u : 0u;
    engine->Deliver("KstCmd1", "Init|recording|");
    return 0;
}

// The input: records of one byte (what), some with two bytes of length and
// the bytes. 0: a raw message; 1, 2: a write of these bytes on KstCmd1 or
// KstDta1; 3: a query; 4: a pause; 5: a second program knocks; 6: the pipe
// breaks on the listener's next send.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > fuzz::kMaximumInput) return 0;
    steps.clear();
    const std::uint8_t* at = data;
    const std::uint8_t* const end = data + size;
    while (at < end) {
        const std::uint8_t what = *at++ % 7;
        Step step;
        if (what == 0) {
            const std::string bytes = fuzz::TakeRecord(at, end);
            step.bytes.assign(bytes.begin(), bytes.end());
        } else if (what <= 3) {
            loop::Frame frame;
            frame.kind = what == 3 ? loop::Kind::Query : loop::Kind::Write;
            frame.channel = what == 2 ? loop::Channel::Data : loop::Channel::Command;
            if (what != 3) {
                frame.bytes = fuzz::TakeRecord(at, end);
                // Never a driver that is not the recording one; its fault
                // switches are the tests', not input.
                if (frame.bytes.compare(0, 4, "Init") == 0) frame.bytes = "Init|recording|";
                if (frame.bytes.find("@fault") != std::string::npos) continue;
            }
            step.bytes = Encoded(frame);
        } else {
            step.kind = what == 4 ? Step::Pause : what == 5 ? Step::Knock : Step::Break;
        }
        steps.push_back(std::move(step));
    }
    connected = false;
    brokenNextSend = false;
    std::ostringstream out;
    standin::ListenerOptions options;
    options.quiet = true;
    options.sessions = 1;
    standin::Listener listener(*engine, options, out);
    if (listener.Run() != 0 || !connected) __builtin_trap();
    static unsigned runs = 0;
    if (++runs % 4096 == 0) fuzz::ForgetRecordedCalls();
    return 0;
}
