// kestav-host --listen: the stand-in engine keeps the real module loaded (and,
// through it, the driver host and the instrument driver) and serves its two
// channels to one local server-side program at a time over the local loop's
// named pipe (server/LoopProtocol.h). The engine's rules hold: packets of at
// most the engine's largest write less its channel byte, every response from
// the data channel, writes longer than that refused whole, HPC or queued
// writes as the engine offers them. A second program gets a clear refusal.
#pragma once

#include <atomic>
#include <ostream>
#include <string>

#include "server/LoopProtocol.h"

namespace platform {
struct Pipe;
}

namespace standin {

class Engine;

struct ListenerOptions {
    std::string name = loop::kDefaultName;
    bool quiet = false;  // print each command and response as it goes
    int sessions = 0;    // end after this many sessions; 0: until stopped
    // A program that sends nothing for this long loses its session, so that
    // a silent one cannot hold the loop for good.
    int idleSeconds = 600;
    // A client without the Kestav module: the channels are served, every
    // write is taken, and nothing ever answers (the engine is not used).
    bool withoutModule = false;
};

class Listener {
public:
    // `engine` has the module loaded and opened (unless withoutModule); this
    // thread is its thread.
    Listener(Engine& engine, const ListenerOptions& options, std::ostream& out);
    // Serves sessions until Stop, or until `sessions` have ended. 0, or 5 when
    // the pipe cannot be made (another listener has the name).
    int Run();
    // From any thread: Run returns soon after.
    void Stop() { stopping_ = true; }
    // From any thread: the program's session ends as if its pipe broke (the
    // engine and module stay); the next program is served. For tests.
    void DropSession() { dropping_ = true; }

private:
    // One session with a connected program.
    void Serve(platform::Pipe* pipe, platform::Pipe* spare);
    // Sends the engine's new responses to the program; false when the pipe broke.
    bool Forward(platform::Pipe* pipe, std::size_t* forwarded, bool* awaiting);
    void Print(const char* arrow, const std::string& bytes);

    Engine& engine_;
    ListenerOptions options_;
    std::ostream& out_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> dropping_{false};
};

}  // namespace standin
