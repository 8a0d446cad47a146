// The instrument thread: commands run here, one after another in arrival
// order, so that the engine's thread never waits on an instrument. The write
// hook only queues; the thread is started on the first command queued and
// ended when the driver is closed or unloaded (never from DllMain).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <boost/function.hpp>

#include "platform/Platform.h"

namespace relay {

class InstrumentThread {
public:
    using Runner = boost::function<void(const std::string& command, std::uint64_t sequence)>;

    InstrumentThread() = default;
    // Never waits: a thread still running then is one on its way out of an
    // unloaded module, or one the process is ending anyway.
    ~InstrumentThread() = default;
    InstrumentThread(const InstrumentThread&) = delete;
    InstrumentThread& operator=(const InstrumentThread&) = delete;

    // Queues one command for `runner`, starting the thread when none runs.
    // False when no thread can be started (the caller then runs it itself).
    bool Post(const std::string& command, std::uint64_t sequence, const Runner& runner);
    // A command queued or running.
    bool Busy();
    // Ends the thread: queued commands are dropped (into *dropped) and a
    // running one gets up to waitMs to finish. True when the thread has
    // ended; false when it is still inside a command: it then finishes that
    // alone, calls `afterAbandon` and leaves.
    bool Stop(std::uint32_t waitMs, std::vector<std::string>* dropped,
              const boost::function<void()>& afterAbandon);

private:
    struct Item {
        std::string command;
        std::uint64_t sequence;
    };
    static void Main(void* self);
    void Loop();

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Item> queue;
    Runner runner;
    platform::ModuleThread* thread = nullptr;
    bool alive = false;
    bool running = false;
    bool stopping = false;
    bool abandoned = false;
    boost::function<void()> afterAbandon;
};

}  // namespace relay
