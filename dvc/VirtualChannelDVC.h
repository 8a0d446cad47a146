// The Remote Desktop transport's one object between the client's channels
// and the command processor, the counterpart of VirtualChannelICA: commands
// from KstCmd1 and KstDta1 run on the instrument thread (never on the
// client's callback thread, so no callback waits), and each newest response
// goes out on KstDta1 when it is open, else on KstCmd1, through the
// channel's Write, which copies it and returns at once. Knows no COM: the
// plug-in (dvc/Plugin.cpp) hands it channels as writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <boost/function.hpp>

#include "platform/Lock.h"
#include "relay/Session.h"

namespace dvc {

enum class Channel { Command = 0, Data = 1 };

// The longest response that goes out whole; a longer one becomes
// "ERROR|Response too long".
constexpr std::size_t kLongestResponse = 1024 * 1024;

class VirtualChannelDVC {
public:
    // Writes one whole message on an open channel; false when the client
    // refuses it.
    using Writer = boost::function<bool(const std::string& bytes)>;

    VirtualChannelDVC();
    ~VirtualChannelDVC();
    VirtualChannelDVC(const VirtualChannelDVC&) = delete;
    VirtualChannelDVC& operator=(const VirtualChannelDVC&) = delete;

    // The plug-in was initialized: the settings are read and logged.
    void Open();
    // A (new) connection of `channel`; the token names it when it closes.
    std::uint64_t ChannelOpened(Channel channel, const Writer& writer);
    // No write reaches that connection after this returns. A token of an
    // earlier connection, replaced meanwhile, changes nothing.
    void ChannelClosed(Channel channel, std::uint64_t token);
    // One message from the client: queued for the instrument thread, or
    // answered at once with an error when it is too long or too many wait.
    void Receive(Channel channel, const std::string& bytes);
    // The plug-in ends: queued commands are dropped, a running one gets a
    // second to finish, and the driver (or its host) is released after it.
    void Terminate();

private:
    void Send(const std::string& command, const std::string& response);

    platform::Mutex channelLock;  // the writers, between the client's threads and ours
    Writer writers[2];
    std::uint64_t tokens[2] = {0, 0};
    std::uint64_t lastToken = 0;
    relay::Session session;
};

VirtualChannelDVC& GetVirtualChannelDVC();

// The channel's name, "KstCmd1" or "KstDta1".
const char* ChannelName(Channel channel);

}  // namespace dvc
