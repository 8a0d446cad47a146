#include "tools/host/Listener.h"

#include <chrono>
#include <thread>

#include "platform/Pipe.h"
#include "tools/host/Engine.h"

namespace standin {

namespace {
constexpr std::uint32_t kIdleWaitMs = 1;  // between polls while no command is out
// While a response is awaited the engine is polled in a tight loop (the
// module's poll costs no system call), and the pipes are looked at only this
// often: each look is a call into the system, and a busy loop of them would
// slow down the very module it waits for.
constexpr std::chrono::microseconds kLookWhileAwaiting(1000);
std::vector<std::uint8_t> Encoded(const loop::Frame& frame) {
    std::vector<std::uint8_t> message;
    loop::Encode(frame, &message);
    return message;
}
}  // namespace

Listener::Listener(Engine& engine, const ListenerOptions& options, std::ostream& out)
    : engine_(engine), options_(options), out_(out) {}

void Listener::Print(const char* arrow, const std::string& bytes) {
    if (!options_.quiet) out_ << arrow << " " << Printable(bytes) << std::endl;
}

int Listener::Run() {
    const std::string name = loop::PipeName(options_.name);
    std::uint32_t error = 0;
    platform::Pipe* pipe = platform::CreatePipeInstance(name, true, &error);
    if (pipe == nullptr) {
        out_ << "kestav-host: cannot listen on \\\\.\\pipe\\" << name << " (error " << error
             << (error == 5 ? ": another listener uses this name" : "") << ")" << std::endl;
        return 5;
    }
    out_ << "listening on \\\\.\\pipe\\" << name << " (set " << loop::kNameVariable << "="
         << options_.name << " for the stand-in wfapi and the client library)" << std::endl;
    int served = 0;
    while (!stopping_ && (options_.sessions == 0 || served < options_.sessions)) {
        // Between sessions the engine still polls, as a real one does.
        if (!options_.withoutModule) (void)engine_.Poll();
        if (platform::AcceptPipeClient(pipe, 100) != platform::PipeWait::Done) continue;
        // A spare instance answers any second program with a refusal.
        platform::Pipe* spare = platform::CreatePipeInstance(name, false, &error);
        Serve(pipe, spare);
        // The next program gets an instance of its own: nothing the last one
        // left unread in this one (the rest of a message refused for its
        // size) reaches it. Made while this one still stands, so the name is
        // never free for another user's listener.
        // The spare goes before the program sees its session end: a program
        // that reconnects at once must find the fresh instance, not the spare
        // that is about to close without a word.
        platform::Pipe* fresh = platform::CreatePipeInstance(name, false, &error);
        if (spare != nullptr) platform::ClosePipe(spare);
        if (fresh != nullptr) {
            platform::ClosePipe(pipe);
            pipe = fresh;
        } else {
            platform::DisconnectPipeClient(pipe);
        }
        ++served;
    }
    platform::ClosePipe(pipe);
    return 0;
}

void Listener::Serve(platform::Pipe* pipe, platform::Pipe* spare) {
    loop::Frame welcome;
    welcome.kind = loop::Kind::Welcome;
    welcome.version = loop::kProtocolVersion;
    welcome.maximumPacket = engine_.maximumWrite >= 2 ? engine_.maximumWrite - 1u : 0u;
    welcome.hpc = engine_.hpc ? 1 : 0;
    if (!platform::PipeSend(pipe, Encoded(welcome))) return;
    if (!options_.quiet) out_ << "session opened" << std::endl;
    std::size_t forwarded = engine_.SentCount();
    bool awaiting = false;  // a command is out and its response not yet sent
    std::vector<std::uint8_t> message;
    auto lastLook = std::chrono::steady_clock::now();
    auto lastFrame = lastLook;
    const auto idleLimit = std::chrono::seconds(options_.idleSeconds);
    while (!stopping_) {
        if (dropping_.exchange(false)) break;
        if (awaiting && std::chrono::steady_clock::now() - lastLook < kLookWhileAwaiting) {
            (void)engine_.Poll();
            if (!Forward(pipe, &forwarded, &awaiting)) return;
            if (awaiting) std::this_thread::yield();
            continue;
        }
        lastLook = std::chrono::steady_clock::now();
        if (spare != nullptr && platform::AcceptPipeClient(spare, 0) == platform::PipeWait::Done) {
            loop::Frame busy;
            busy.kind = loop::Kind::Busy;
            busy.bytes = "another program is using this loop; one session at a time";
            (void)platform::PipeSend(spare, Encoded(busy));
            platform::DisconnectPipeClient(spare);
            if (!options_.quiet) out_ << "refused a second program: one session at a time" << std::endl;
        }
        const platform::PipeWait got =
            platform::PipeReceive(pipe, &message, awaiting ? 0 : kIdleWaitMs, loop::kLongestFrame);
        if (got == platform::PipeWait::Closed) break;
        if (got == platform::PipeWait::TooLarge) {
            out_ << "a program sent a message longer than " << loop::kLongestFrame
                 << " bytes: session ended" << std::endl;
            break;
        }
        if (got == platform::PipeWait::Done) lastFrame = lastLook;
        if (!awaiting && lastLook - lastFrame > idleLimit) {
            out_ << "a program sent nothing for " << options_.idleSeconds << " s: session ended" << std::endl;
            break;
        }
        loop::Frame frame;
        if (got == platform::PipeWait::Done) {
            if (!loop::Decode(message.data(), message.size(), &frame) ||
                (frame.kind != loop::Kind::Write && frame.kind != loop::Kind::Query)) {
                out_ << "a program sent what no program of the loop sends: session ended" << std::endl;
                break;
            }
            loop::Frame reply;
            reply.channel = frame.channel;
            if (frame.kind == loop::Kind::Query) {
                reply.kind = loop::Kind::Queried;
                std::uint8_t record[64] = {};
                std::uint16_t count = sizeof record;
                if (!options_.withoutModule && engine_.Info(record, &count) == ica::kStatusSuccess)
                    reply.bytes.assign(reinterpret_cast<const char*>(record), ica::kModuleInfoLength);
            } else {
                reply.kind = loop::Kind::Written;
                const std::size_t usable = engine_.maximumWrite >= 2 ? engine_.maximumWrite - 1u : 0xFFFFu;
                if (frame.bytes.size() > usable) {
                    reply.status = loop::WriteStatus::TooLong;
                    if (!options_.quiet)
                        out_ << "refused a write of " << frame.bytes.size() << " bytes (at most " << usable
                             << ")" << std::endl;
                } else if (options_.withoutModule) {
                    Print(">", frame.bytes);
                    if (!options_.quiet) out_ << "  (no module on this client: nothing answers)" << std::endl;
                    reply.status = loop::WriteStatus::Done;
                } else {
                    Print(">", frame.bytes);
                    const bool delivered = engine_.Deliver(loop::ChannelName(frame.channel), frame.bytes);
                    reply.status = delivered ? loop::WriteStatus::Done : loop::WriteStatus::NoChannel;
                    awaiting = delivered;
                }
            }
            if (!platform::PipeSend(pipe, Encoded(reply))) break;
        }
        if (options_.withoutModule) continue;
        (void)engine_.Poll();
        if (!Forward(pipe, &forwarded, &awaiting)) return;
        if (awaiting) std::this_thread::yield();
    }
    if (!options_.quiet) out_ << "session closed" << std::endl;
}

bool Listener::Forward(platform::Pipe* pipe, std::size_t* forwarded, bool* awaiting) {
    for (const SentResponse& sent : engine_.SentSince(*forwarded)) {
        ++*forwarded;
        loop::Frame packet;
        packet.kind = loop::Kind::Packet;
        packet.channel = sent.channel == engine_.channelNumbers[loop::ChannelName(loop::Channel::Command)]
                             ? loop::Channel::Command
                             : loop::Channel::Data;
        packet.bytes = sent.bytes;
        Print("<", sent.bytes);
        if (!platform::PipeSend(pipe, Encoded(packet))) return false;
        *awaiting = false;
    }
    if (engine_.sent.size() > 1024 && engine_.SentCount() == *forwarded) {
        engine_.sent.clear();
        *forwarded = 0;
    }
    return true;
}

}  // namespace standin
