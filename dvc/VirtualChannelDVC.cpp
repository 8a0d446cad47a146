#include "dvc/VirtualChannelDVC.h"

#include "diag/LogFile.h"
#include "diag/Settings.h"
#include "driver/HostProtocol.h"
#include "packaging/Names.h"

// A driver in the driver host can answer as long a text as one in-process.
static_assert(dvc::kLongestResponse <= driverhost::kLongestText,
              "the host's answer area holds a whole response");

namespace dvc {

namespace {
const std::string kResponseTooLong = "ERROR|Response too long";
}  // namespace

const char* ChannelName(Channel channel) {
    return channel == Channel::Command ? names::kCommandChannel : names::kDataChannel;
}

VirtualChannelDVC::VirtualChannelDVC()
    : session([this](const std::string& command,
                     const std::string& response) { Send(command, response); },
              {}) {
    diag::LogLine("VirtualChannelDVC (", __DATE__, " - ", __TIME__, ")");
}

VirtualChannelDVC::~VirtualChannelDVC() {
    session.DestroyInstrument();
    diag::LogLine("~VirtualChannelDVC");
}

void VirtualChannelDVC::Open() {
    diag::LogLine("DVC: Plug-in initialized");
    diag::LogSettings();
    // The client's callbacks must never wait: commands always run on the
    // instrument thread here, whatever InstrumentThread says.
    diag::LogDetail("Instrument thread: on");
}

std::uint64_t VirtualChannelDVC::ChannelOpened(Channel channel, const Writer& writer) {
    diag::LogLine("DVC: Channel \"", ChannelName(channel), "\" connected");
    std::lock_guard<platform::Mutex> lock(channelLock);
    writers[int(channel)] = writer;
    return tokens[int(channel)] = ++lastToken;
}

void VirtualChannelDVC::ChannelClosed(Channel channel, std::uint64_t token) {
    {
        std::lock_guard<platform::Mutex> lock(channelLock);
        if (tokens[int(channel)] != token) return;
        writers[int(channel)].clear();
        tokens[int(channel)] = 0;
    }
    diag::LogLine("DVC: Channel \"", ChannelName(channel), "\" closed");
}

void VirtualChannelDVC::Receive(Channel channel, const std::string& bytes) {
    diag::LogLine("DVC: Data arrival");
    diag::LogDetail("Data (channel: ", ChannelName(channel), ", size: ", bytes.size(), "): \"",
                    diag::Shown{bytes}, "\"");
    session.Submit(bytes);
}

void VirtualChannelDVC::Send(const std::string& command, const std::string& response) {
    if (command != relay::VersionQuery)
        diag::LogDetail("Virtual channel - Pending respone <-- \"", diag::Shown{response}, "\"");
    const std::string* bytes = &response;
    if (response.size() > kLongestResponse) {
        diag::LogDetail("  Response of ", response.size(), " bytes is too long for a message of at most ",
                        kLongestResponse, " bytes, sending \"", kResponseTooLong, "\" instead");
        bytes = &kResponseTooLong;
    }
    std::lock_guard<platform::Mutex> lock(channelLock);
    for (const Channel channel : {Channel::Data, Channel::Command}) {
        if (writers[int(channel)].empty()) continue;
        if (writers[int(channel)](*bytes))
            diag::LogDetail("DVC: Response sent on \"", ChannelName(channel), "\" (\"", diag::Shown{*bytes},
                            "\")");
        else
            diag::LogDetail("DVC: The client refused the response on \"", ChannelName(channel), "\"");
        return;
    }
    diag::LogDetail("DVC: No channel is open: response dropped (\"", diag::Shown{*bytes}, "\")");
}

void VirtualChannelDVC::Terminate() {
    diag::LogLine("DVC: Terminated");
    {
        std::lock_guard<platform::Mutex> lock(channelLock);
        writers[0].clear();
        writers[1].clear();
        tokens[0] = tokens[1] = 0;
    }
    session.StopThenRelease(relay::Session::Release::Driver);
}

namespace {
// Constructed when the plug-in is loaded, destroyed when it is unloaded: one
// per process, as there is one instrument per PC.
VirtualChannelDVC theVirtualChannel;
}  // namespace

VirtualChannelDVC& GetVirtualChannelDVC() {
    return theVirtualChannel;
}

}  // namespace dvc
