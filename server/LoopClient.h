// The program's end of the local loop (kestav-host --listen): one connection
// per process, shared by its channels. A thread of its own reads the pipe and
// keeps each channel's packets in a queue, so that reads and writes from any
// threads never wait on each other, as with WFAPI.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/Pipe.h"
#include "server/LoopProtocol.h"

namespace loop {

// The loop's name for this process: KESTAV_LOOP, or "default".
std::string NameFromEnvironment();

class LoopClient {
public:
    // NotOwnLoop: a pipe of that name exists, but another user serves it.
    enum class Status { Done, NoListener, NotOwnLoop, Busy, Disconnected, TooLong, NoChannel, TimedOut };

    // Connects and waits for the listener's welcome. Null with *status (and
    // the listener's *reason when it is busy).
    static std::unique_ptr<LoopClient> Connect(const std::string& name, std::uint32_t timeoutMs,
                                               Status* status, std::string* reason);
    ~LoopClient();
    LoopClient(const LoopClient&) = delete;
    LoopClient& operator=(const LoopClient&) = delete;

    const Frame& Welcome() const { return welcome_; }
    bool Connected();

    // One write into a channel, taken whole or refused whole.
    Status Write(Channel channel, const std::string& bytes);
    // The next packet the module sent on `channel`, waiting at most timeoutMs.
    Status Read(Channel channel, std::uint32_t timeoutMs, std::string* packet);
    // Drops what has arrived on `channel` and is not read yet.
    void Purge(Channel channel);
    // The module's data for a channel (its information record).
    Status Query(Channel channel, std::string* data);

private:
    explicit LoopClient(platform::Pipe* pipe);
    void ReadPipe();
    // Sends `frame` and waits for the listener's answer of kind `answer`.
    Status Ask(const Frame& frame, Kind answer, Frame* reply);

    platform::Pipe* pipe_;
    Frame welcome_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> packets_[2];
    std::optional<Frame> reply_;
    bool closed_ = false;
    std::mutex askLock_;  // one question to the listener at a time
    std::thread reader_;
};

}  // namespace loop
