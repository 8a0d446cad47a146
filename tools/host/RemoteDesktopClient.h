// A stand-in Remote Desktop client for the DVC plug-in, for the tests and for
// administrators (kestav-host --dvc): it loads the plug-in by path as a
// client does, calls VirtualChannelGetInstance (first for the count), plays
// the channel manager (listeners, channel connections), delivers each
// message through OnDataReceived from a thread of its own (one per channel)
// with a buffer it overwrites as soon as the call returns, and records what
// the plug-in writes (copying it, as the client's Write does). Windows only:
// elsewhere LoadPlugin says so.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace standin {

struct DvcMessage {
    std::string channel;  // "KstCmd1" or "KstDta1"
    std::string bytes;
};

class RemoteDesktopClient {
public:
    RemoteDesktopClient();
    ~RemoteDesktopClient();
    RemoteDesktopClient(const RemoteDesktopClient&) = delete;
    RemoteDesktopClient& operator=(const RemoteDesktopClient&) = delete;

    // Loads the plug-in, gets its object and initializes it (it creates its
    // listeners). False with *error set otherwise.
    bool LoadPlugin(const std::string& path, std::string* error);
    // What VirtualChannelGetInstance answered (count-only call, wrong IID).
    std::int32_t CountOnlyResult(std::uint32_t* count);
    std::int32_t WrongInterfaceResult();

    void Connected();
    void Disconnected(std::uint32_t code);
    // A channel connection from the server: the plug-in's listener is asked
    // to accept it. False when there is no listener or it refuses.
    bool OpenChannel(const std::string& name);
    // The server closes it: the plug-in's OnClose.
    void CloseChannel(const std::string& name);
    // A channel of that name opened again before the earlier one closed:
    // the earlier one's OnClose arrives now, late. False when there is none.
    bool CloseEarlierChannel(const std::string& name);
    // One message on the channel, delivered on that channel's thread; returns
    // once OnDataReceived has returned.
    bool Deliver(const std::string& name, const std::string& bytes);
    // Deliver, then wait (at most maxWaitMs) until the plug-in writes.
    std::vector<DvcMessage> Run(const std::string& name, const std::string& command, int maxWaitMs = 30000);
    // Terminated, then the plug-in object released, then the library.
    void Terminate();
    // Terminated only: the client keeps the plug-in object for now.
    void Terminated();
    void Unload();

    std::size_t SentCount();
    std::vector<DvcMessage> SentSince(std::size_t first);
    // Writes the plug-in made on a channel it had been told was closed.
    int WritesAfterClose();
    // References the plug-in holds on the host's objects (manager,
    // listeners, channels) beyond the host's own.
    long OutstandingReferences();
    double lastDeliveryMicroseconds = 0;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace standin
