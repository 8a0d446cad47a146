// The instrument thread: commands run on a thread of the module's own, one
// after another in arrival order, so that no transport's thread ever waits on
// an instrument. Each command is numbered as it arrives, and only the newest
// command's response is handed on: a response still being worked out, or
// finished but not yet taken, when a newer command arrives is dropped.
//
// It knows no transport: it hands each newest response to a callback, and
// the transport sends it on a thread of its choosing (the ICA engine's own
// thread, at its next poll). Started with the first command (never from
// DllMain); ended when the transport closes or unloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <boost/function.hpp>

#include "platform/Lock.h"

namespace relay {

// How the thread is started and waited for: the module's own threads
// (platform/Thread.h), or a test's.
struct ThreadOps {
    // Null when no thread can be started.
    void* (*start)(void (*body)(void*), void* argument);
    // True once the thread has ended; false when it still runs after timeoutMs.
    bool (*wait)(void* thread, std::uint32_t timeoutMs);
    void (*release)(void* thread);
};
extern const ThreadOps kModuleThreads;

class InstrumentThread {
public:
    // Runs one command and returns its response text.
    using Runner = boost::function<std::string(const std::string& command)>;
    // Takes the newest command's response. Called with this object's lock
    // held, so that no newer command can slip in between the check and the
    // hand-over: it must not block, nor call into this object.
    using Ready = boost::function<void(const std::string& command, const std::string& response)>;
    // A newer command has arrived: a response handed on but not yet sent is
    // to be dropped. Called with this object's lock held, as Ready.
    using Superseded = boost::function<void()>;
    // Called right after Ready, on the same thread, with no lock of this
    // object held: where a transport writes what Ready took to its client,
    // which may call back into the module meanwhile.
    using Handed = boost::function<void()>;

    // What may wait at once; beyond either bound Post refuses a command.
    struct Bounds {
        std::size_t commands;
        std::size_t bytes;
    };
    static constexpr Bounds kUnbounded{~std::size_t(0), ~std::size_t(0)};

    InstrumentThread(Runner runner, Ready ready, Superseded superseded, Handed handed,
                     const ThreadOps& threads = kModuleThreads, Bounds bounds = kUnbounded);
    // Never waits: a thread still running then is one on its way out of an
    // unloaded module (it holds the module, so this object outlives it), or
    // one the process is ending anyway.
    ~InstrumentThread();
    InstrumentThread(const InstrumentThread&) = delete;
    InstrumentThread& operator=(const InstrumentThread&) = delete;

    // Queues one command and returns at once; true. When no thread can be
    // started, the command runs right here instead, before Post returns.
    // False, and nothing else changes, when the command does not fit beside
    // those waiting.
    [[nodiscard]] bool Post(const std::string& command);
    // Answers a command without running it: it becomes the newest, and
    // `response` is handed on at once.
    void HandOn(const std::string& command, const std::string& response);
    // Runs one command on the caller's thread, under the same rules: never
    // at the same time as another command, numbered, handed on if newest.
    // Returns its response.
    std::string RunHere(const std::string& command);

    // Ends the thread: queued commands are dropped (into *dropped) and a
    // running one gets up to waitMs to finish. True when no thread runs any
    // more. False when it is still inside a command: it then finishes that
    // alone, runs `afterwards` (and what earlier stops left it to run) and
    // ends; a later Stop waits for that same thread again. A Post before it
    // has ended hands it new work instead, and nothing is run afterwards.
    bool Stop(std::uint32_t waitMs, std::vector<std::string>* dropped,
              const boost::function<void()>& afterwards);

private:
    struct Item {
        std::string command;
        std::uint64_t sequence;
    };
    static void Main(void* self);
    void Loop();
    // Runs `command` (one at a time) and hands its response on if it is
    // still the newest; `lock` is held on entry and on return.
    void RunAndHandOn(const Item& item, std::unique_lock<platform::Mutex>& lock);
    // Ready, then (with `lock` let go meanwhile) Handed.
    void Hand(const std::string& command, const std::string& response, std::unique_lock<platform::Mutex>& lock);

    const Runner runner;
    const Ready ready;
    const Superseded superseded;
    const Handed handed;
    const ThreadOps threads;
    const Bounds bounds;

    platform::Mutex mutex;
    platform::ConditionVariable wake;
    std::deque<Item> queue;
    std::size_t queuedBytes = 0;
    std::uint64_t newest = 0;  // the number of the last command that arrived
    void* thread = nullptr;
    std::vector<void*> retired;  // ended threads, released with this object
    int waiters = 0;             // Stops waiting on `thread` right now
    bool alive = false;          // a thread runs Loop
    bool stopping = false;
    std::vector<boost::function<void()>> afterwards;
    platform::Mutex running;  // held while a command runs: never two at once
};

}  // namespace relay
