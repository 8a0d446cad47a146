// A stand-in FreeRDP client for the FreeRDP add-in: it loads the add-in as
// FreeRDP does (dlopen, DVCPluginEntry with the entry points, Initialize with
// a channel manager whose listeners it keeps), opens and closes channel
// connections and delivers each message as a wStream on a thread of its own
// (FreeRDP's drdynvc thread), overwriting the bytes as soon as the call
// returns, and records what the add-in writes. Initialize and Terminated run
// on the caller's thread, as FreeRDP runs them on its main thread; Connected
// and Disconnected are never called, as FreeRDP never calls them.
// Compiled once for each FreeRDP major, against that major's headers, so the
// structures handed to the add-in are the ones that major's FreeRDP hands.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

struct FreeRdpWrite {
    std::string channel;  // "KstCmd1" or "KstDta1"
    std::string bytes;
};

class FreeRdpClient {
public:
    FreeRdpClient();
    // Terminated (when the add-in was initialized and not terminated yet),
    // then the library unloaded.
    ~FreeRdpClient();
    FreeRdpClient(const FreeRdpClient&) = delete;
    FreeRdpClient& operator=(const FreeRdpClient&) = delete;

    // What FreeRDP's RegisterPlugin and the manager's CreateListener answer
    // (for the listener of one channel name); CHANNEL_RC_OK unless set.
    void FailRegistration(std::uint32_t code);
    void FailListener(const std::string& name, std::uint32_t code);

    // dlopen and DVCPluginEntry: the entry's result, or 0xFFFFFFFF with
    // *error set when the library or its entry point cannot be found.
    std::uint32_t Load(const std::string& path, std::string* error);
    // The name the add-in registered under ("" when none).
    std::string RegisteredName() const;
    // The registered plug-in's Initialize, on the caller's thread.
    std::uint32_t Initialize();
    // The listeners the add-in created: "<name> (flags <n>)".
    std::vector<std::string> Listeners() const;

    // A connection from the server to a listener of that name, accepted or
    // refused by the add-in, then (when accepted) its OnOpen: on the drdynvc
    // thread. False when there is no such listener or it refused.
    bool Open(const std::string& name);
    // A connection accepted but closed before it was opened.
    bool OpenWithoutOnOpen(const std::string& name);
    // The newest connection of that name closes (OnClose), on the drdynvc thread.
    void Close(const std::string& name);
    // One message on the newest connection of that name, on the drdynvc
    // thread; returns once OnDataReceived has returned, with its result.
    std::uint32_t Deliver(const std::string& name, const std::string& bytes);
    // Deliver, then wait (at most maxWaitMs) until the add-in writes.
    std::vector<FreeRdpWrite> Run(const std::string& name, const std::string& command, int maxWaitMs = 30000);
    // The registered plug-in's Terminated, on the caller's thread; every
    // connection is gone after it (a later write counts as after close).
    std::uint32_t Terminated();
    // The end of a session as FreeRDP ends it: every open connection closed
    // (OnClose on the drdynvc thread), then Terminated.
    std::uint32_t End();

    // dlclose; what was recorded stays.
    void Unload();

    std::vector<FreeRdpWrite> WritesSince(std::size_t first) const;
    std::size_t WriteCount() const;
    // Writes the add-in made on a connection after its OnClose.
    int WritesAfterClose() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace testing_support
