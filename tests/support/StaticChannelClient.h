// A stand-in client of static virtual channels, as mstsc, Horizon's VC
// bridge and FreeRDP serve a static plug-in: it loads the module, calls
// VirtualChannelEntryEx (or VirtualChannelEntry) with its procedures, takes
// the channels the plug-in registers, sends the connection's events and the
// server's messages in chunks with their flags and total length, all on the
// caller's thread (the client's main thread), and records what the plug-in
// writes (from any thread). A write's bytes are read when the client
// completes it, as a real client sends them later: a plug-in that freed or
// reused them before the completion event is caught there. Tests may hold
// the completions back, and send chunks of any shape.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

struct StaticWrite {
    std::string channel;  // "KstCmd1" or "KstDta1"
    std::string bytes;    // as read at completion
};

class StaticChannelClient {
public:
    StaticChannelClient();
    // Disconnected and terminated (when entered), writes cancelled, the library unloaded.
    ~StaticChannelClient();
    StaticChannelClient(const StaticChannelClient&) = delete;
    StaticChannelClient& operator=(const StaticChannelClient&) = delete;

    enum class Entry { Extended, Classic };
    // Loads the library and calls its entry point: 1 when the plug-in takes
    // part, 0 when it declined, -1 (with *error) when there is none.
    int Load(const std::string& path, Entry entry, std::string* error);
    // The names the plug-in registered, in order.
    std::vector<std::string> Registered() const;
    // What the client's init and open procedures answer (CHANNEL_RC_*).
    void FailInit(std::uint32_t code);
    void FailOpen(const std::string& name, std::uint32_t code);
    // What the write procedure answers (0: it takes the write).
    void FailWrites(std::uint32_t code);

    // The init events: INITIALIZED then CONNECTED (the plug-in opens its channels);
    // DISCONNECTED leaves open what the plug-in does not close (as FreeRDP does).
    void Connect();
    void Disconnect();
    void Terminate();
    bool IsOpen(const std::string& name) const;

    // One data event as the client sends it (on a name not open: a handle it never gave).
    void Chunk(const std::string& name, const std::string& bytes, std::uint32_t total, std::uint32_t flags);
    // A whole message in chunks of at most `chunk` bytes.
    void Send(const std::string& name, const std::string& message, std::size_t chunk = 1600);
    // Send, then wait (at most maxWaitMs) for a write, completing writes as they come.
    std::vector<StaticWrite> Run(const std::string& name, const std::string& command, int maxWaitMs = 30000);

    // Whether writes are completed at once (the default) or held back.
    void HoldWrites(bool hold);
    std::size_t HeldWrites() const;
    // Completes (or cancels) every write held, on the caller's thread.
    void CompleteWrites(bool cancel = false);
    // A completion event for bytes the plug-in never wrote.
    void CompleteUnknownWrite(void* userData);
    // Runs once, inside the plug-in's next write, on the writing thread, as
    // a client that delivers events from inside its write procedure.
    void InsideNextWrite(std::function<void()> action);

    // Waits until the plug-in has made `count` writes in all.
    bool WaitForWrites(std::size_t count, int maxWaitMs = 30000) const;
    std::vector<StaticWrite> WritesSince(std::size_t first) const;
    std::size_t WriteCount() const;
    // Writes on a channel handle not open at the time.
    int WritesNotOpen() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace testing_support
