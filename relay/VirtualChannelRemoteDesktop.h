// The Remote Desktop transport's one object between the client's channels
// and the command processor, the counterpart of VirtualChannelICA: commands
// from KstCmd1 and KstDta1 run on the instrument thread (never on the
// client's callback thread, so no callback waits), and each newest response
// goes out on KstDta1 when it is open, else on KstCmd1, through the
// channel's Write, which returns at once. No lock of ours is held while a
// client's Write runs: a client may deliver data or close a channel from
// inside it. Knows no COM: the plug-ins hand it
// channels as writers, dynamic ones (dvc/Plugin.cpp, freerdp/Plugin.cpp) and
// static ones (svc/StaticPlugin.cpp). A client that loads both kinds from the
// one file runs one instrument: a response goes back by the kind of channel
// its command came on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/function.hpp>

#include "platform/Lock.h"
#include "relay/Session.h"

namespace relay::rd {

enum class Channel { Command = 0, Data = 1 };
// The kind of virtual channel a plug-in serves: its log lines say "DVC:" or "SVC:".
enum class Kind { Dynamic = 0, Static = 1 };

// The longest response that goes out whole; a longer one becomes
// "ERROR|Response too long".
constexpr std::size_t kLongestResponse = 1024 * 1024;

class VirtualChannelRemoteDesktop {
public:
    // Writes one whole message on an open channel; false when the client
    // refuses it.
    using Writer = boost::function<bool(const std::string& bytes)>;

    VirtualChannelRemoteDesktop();
    ~VirtualChannelRemoteDesktop();
    VirtualChannelRemoteDesktop(const VirtualChannelRemoteDesktop&) = delete;
    VirtualChannelRemoteDesktop& operator=(const VirtualChannelRemoteDesktop&) = delete;

    // The plug-in was initialized: the settings are read and logged.
    void Open(Kind kind);
    // A (new) connection of `channel`; the token names it when it closes.
    std::uint64_t ChannelOpened(Channel channel, const Writer& writer, Kind kind);
    // No write reaches that connection after this returns (it waits for a
    // write in progress on another thread). A token of an earlier
    // connection, replaced meanwhile, changes nothing.
    void ChannelClosed(Channel channel, std::uint64_t token, Kind kind);
    // One message from the client: queued for the instrument thread, or
    // answered at once with an error when it is too long or too many wait.
    void Receive(Channel channel, const std::string& bytes, Kind kind);
    // A message announced longer than any command, of which nothing was
    // kept: answered at once with the command-too-long error.
    void ReceiveTooLong(Channel channel, std::size_t size, Kind kind);
    // The plug-in ends: its writers go. When no plug-in of the other kind is
    // open, queued commands are dropped, a running one gets a second to
    // finish, and the driver (or its host) is released after it.
    void Terminate(Kind kind);

private:
    // The kind the newest message's response goes back by.
    void Arrived(Kind kind);
    // The newest response, kept for Write (the session's lock is held).
    void Keep(const std::string& response);
    // Writes what Keep kept, with no lock held: one thread writes at a time,
    // and takes what others kept meanwhile before it leaves.
    void Write();
    // Until no other thread is inside a client's Write.
    void WaitForWriter(std::unique_lock<platform::Mutex>& lock);

    platform::Mutex channelLock;  // the writers, between the client's threads and ours
    platform::ConditionVariable written;
    std::string outgoing;         // the newest response not yet written
    std::string sending;          // the one being written (the writing thread's alone)
    bool hasOutgoing = false;
    bool writing = false;         // a thread is in Write
    bool inWrite = false;         // that thread is inside a client's Write
    std::thread::id writer;       // which
    Writer writers[2][2];         // [kind][channel]
    std::uint64_t tokens[2][2] = {{0, 0}, {0, 0}};
    std::uint64_t lastToken = 0;
    bool open[2] = {false, false};  // each kind's plug-in, between Open and Terminate
    Kind newestFrom = Kind::Dynamic;  // the kind of channel the newest command came on
    relay::Session session;
};

VirtualChannelRemoteDesktop& GetVirtualChannelRemoteDesktop();

// The channel's name, "KstCmd1" or "KstDta1".
const char* ChannelName(Channel channel);
// "DVC" or "SVC", as log lines begin.
const char* KindName(Kind kind);

}  // namespace relay::rd
